// mivo.inf as Windows' setup reads it: every section a directive names is
// there, every %string% is defined, the device installs into the HID class
// with the service the driver's registry path names, and the service key
// gets the profile store's Layout key.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}

std::string trim(const std::string &s)
{
    size_t a = s.find_first_not_of(" \t\r"), b = s.find_last_not_of(" \t\r");
    return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

// Sections by lower-case name, each a list of (key, value) lines; a line
// without '=' has an empty key. Comments (';' outside quotes) are dropped.
using Inf = std::map<std::string, std::vector<std::pair<std::string, std::string>>>;

Inf read_inf(const std::string &path)
{
    std::ifstream in(path);
    EXPECT_TRUE(in) << path;
    Inf inf;
    std::string section, line;
    while (std::getline(in, line)) {
        bool quoted = false;
        for (size_t i = 0; i < line.size(); i++) {
            if (line[i] == '"') quoted = !quoted;
            if (line[i] == ';' && !quoted) line.resize(i);
        }
        line = trim(line);
        if (line.empty()) continue;
        if (line.front() == '[') {
            EXPECT_EQ(line.back(), ']') << line;
            section = lower(line.substr(1, line.size() - 2));
            EXPECT_EQ(inf.count(section), 0u) << "section [" << section << "] twice";
            inf[section];
            continue;
        }
        EXPECT_FALSE(section.empty()) << "a line before any section: " << line;
        size_t eq = line.find('=');
        inf[section].push_back(eq == std::string::npos ? std::pair{std::string(), line}
                                                       : std::pair{lower(trim(line.substr(0, eq))), trim(line.substr(eq + 1))});
    }
    return inf;
}

std::string value(const Inf &inf, const std::string &section, const std::string &key)
{
    auto s = inf.find(section);
    if (s == inf.end()) return "";
    for (const auto &[k, v] : s->second)
        if (k == key) return v;
    return "";
}

std::vector<std::string> fields(const std::string &v)
{
    std::vector<std::string> out;
    std::stringstream in(v);
    for (std::string f; std::getline(in, f, ',');) out.push_back(trim(f));
    return out;
}

TEST(Inf, SectionsStringsClassServiceAndStore)
{
    const Inf inf = read_inf(std::string(MIVO_SOURCE_DIR) + "/platform/wdm/mivo.inf.in");

    EXPECT_EQ(value(inf, "version", "signature"), "\"$WINDOWS NT$\"");
    EXPECT_EQ(value(inf, "version", "class"), "HIDClass");
    EXPECT_EQ(lower(value(inf, "version", "classguid")), "{745a17a0-74d3-11d0-b6fe-00a0c90f57da}");
    EXPECT_FALSE(value(inf, "version", "catalogfile").empty()) << "a signed package needs its catalog";

    // Manufacturer -> models section (decorated for x64) -> install sections.
    const std::vector<std::string> maker = fields(value(inf, "manufacturer", "%provider%"));
    ASSERT_EQ(maker.size(), 2u);
    const std::string models = lower(maker[0] + "." + maker[1]);
    ASSERT_TRUE(inf.count(models)) << models;
    const std::vector<std::string> model = fields(inf.at(models).at(0).second);
    ASSERT_EQ(model.size(), 2u);
    EXPECT_EQ(model[1], "@MIVO_HARDWARE_ID@") << "the hardware ID is the build's";
    const std::string install = lower(model[0]) + ".nt";
    ASSERT_TRUE(inf.count(install));
    EXPECT_TRUE(inf.count(lower(value(inf, install, "copyfiles"))));

    // The service: named as the driver's service key, a kernel driver started on demand.
    const std::vector<std::string> add = fields(value(inf, install + ".services", "addservice"));
    ASSERT_EQ(add.size(), 3u);
    EXPECT_EQ(add[0], "mivo");
    EXPECT_EQ(add[1], "0x00000002") << "the device's function driver";
    const std::string service = lower(add[2]);
    EXPECT_EQ(value(inf, service, "servicetype"), "1");
    EXPECT_EQ(value(inf, service, "starttype"), "3");
    EXPECT_EQ(value(inf, service, "servicebinary"), "%12%\\mivo.sys");
    const std::string store = lower(value(inf, service, "addreg"));
    ASSERT_TRUE(inf.count(store));
    EXPECT_EQ(fields(inf.at(store).at(0).second), (std::vector<std::string>{"HKR", "Layout", "Default_Profil", "0x00010001", "0"}))
        << "Default_Profil 0 as a DWORD in the service key's Layout";

    // Every %name% used is a string (or a numbered directory id).
    const std::regex token("%([^%]+)%");
    for (const auto &[section, lines] : inf) {
        if (section == "strings") continue;
        for (const auto &[key, v] : lines)
            for (const std::string &text : {key, v})
                for (std::sregex_iterator m(text.begin(), text.end(), token), end; m != end; ++m) {
                    const std::string name = (*m)[1];
                    if (std::all_of(name.begin(), name.end(), ::isdigit)) continue;
                    EXPECT_FALSE(value(inf, "strings", lower(name)).empty()) << "%" << name << "% in [" << section << "]";
                }
    }
}

} // namespace
