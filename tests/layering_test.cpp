// The driver's folders depend one way: a folder includes only the headers of
// the folders below it. A newcomer can read what may call what from the names.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>

namespace {

namespace fs = std::filesystem;

// Each driver folder and the folders it may include from.
const std::map<std::string, std::set<std::string>> kMayInclude = {
    {"context", {"platform", "context"}},
    {"profiles", {"platform", "context", "profiles"}},
    {"core", {"platform", "context", "profiles", "core"}},
    {"usb", {"platform", "context", "usb"}},
    {"hid", {"platform", "context", "usb", "hid"}},
    {"driver", {"platform", "context", "profiles", "core", "usb", "hid", "driver"}},
};

TEST(Layering, DriverFoldersIncludeOnlyWhatLiesBelowThem)
{
    const fs::path root = MIVO_SOURCE_DIR;
    const std::regex include(R"re(^\s*#\s*include\s*"([^/"]+)/)re");
    int files = 0;
    for (const auto &[folder, allowed] : kMayInclude) {
        for (const auto &entry : fs::directory_iterator(root / folder)) {
            std::ifstream in(entry.path());
            std::string line;
            for (int n = 1; std::getline(in, line); n++) {
                std::smatch m;
                if (std::regex_search(line, m, include)) {
                    EXPECT_TRUE(allowed.count(m[1])) << fs::relative(entry.path(), root).string() << ":" << n
                                                     << " includes from " << m[1] << "/";
                }
            }
            files++;
        }
    }
    EXPECT_GT(files, 20) << "the driver's sources were not found under " << root;
}

} // namespace
