// Hive files: a profile store written as `reg save` would give it reads back
// the same, mounted where it is asked to be, and libhivex's own tools read
// it; a missing, cut or damaged hive is a HiveError that names the file.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tools/lib/hive.h"
#include "tools/lib/regfile.h"

namespace {

namespace rf = mivo::regfile;
namespace hv = mivo::hive;
using Bytes = std::vector<uint8_t>;

const std::string kService = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\mivo";

std::string temp(const std::string &name) { return ::testing::TempDir() + name; }

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void spill(const std::string &path, const std::string &bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), std::streamsize(bytes.size()));
}

rf::Value value(std::string name, uint32_t type, Bytes data) { return {std::move(name), type, std::move(data), false, 0}; }

// A profile store under the service key, with a value on the service key too.
rf::Document profile_store() {
    Bytes bind(34);
    for (size_t i = 0; i < bind.size(); i++)
        bind[i] = uint8_t(i * 7);
    rf::Document d;
    d.keys.push_back({kService, false, {value("Start", rf::kRegDword, {3, 0, 0, 0})}, 0});
    d.keys.push_back({kService + "\\Layout", false, {value("Default_Profil", rf::kRegDword, {1, 0, 0, 0})}, 0});
    d.keys.push_back({kService + "\\Layout\\Layout - 1", false,
                      {value("Profil_Id", rf::kRegDword, {1, 0, 0, 0}),
                       value("Profil_Name", rf::kRegSz, {'F', 0, 'l', 0, 'y', 0, 0, 0}),
                       value("DeadZone", rf::kRegDword, {40, 0, 0, 0}), value("Bind - 01", rf::kRegBinary, bind),
                       value("", rf::kRegQword, {1, 2, 3, 4, 5, 6, 7, 8})},
                      0});
    d.keys.push_back({kService + "\\Layout\\Layout - 0", false, {value("Profil_Id", rf::kRegDword, {2, 0, 0, 0})}, 0});
    return d;
}

TEST(Hive, AStoreWrittenReadsBackTheSameWhereverItIsMounted) {
    const std::string file = temp("mivo_hive_roundtrip.hiv");
    hv::write(file, profile_store(), kService);
    EXPECT_TRUE(hv::looks_like_hive(slurp(file)));

    // Subkeys come back in the hive's sorted order, values in the order set.
    rf::Document expected = profile_store();
    std::swap(expected.keys[2], expected.keys[3]);
    EXPECT_EQ(rf::format(hv::read(file, kService)), rf::format(expected));
    rf::Document elsewhere = hv::read(file, "\\Registry\\Machine\\SOFTWARE\\test\\");
    ASSERT_EQ(elsewhere.keys.size(), 4u);
    EXPECT_EQ(elsewhere.keys[3].path, "HKEY_LOCAL_MACHINE\\SOFTWARE\\test\\Layout\\Layout - 1");
    EXPECT_EQ(rf::format(hv::read_store_file(file, kService)), rf::format(expected)) << "known by its content";

    // libhivex's own command-line reader agrees.
    const std::string out = temp("mivo_hivexget.txt");
    std::string command = "hivexget '" + file + "' '\\Layout\\Layout - 1' Profil_Name > '" + out + "' 2>&1";
    if (std::system("command -v hivexget > /dev/null 2>&1") == 0) {
        EXPECT_EQ(std::system(command.c_str()), 0) << slurp(out);
        EXPECT_EQ(slurp(out), "Fly\n");
    }
    std::remove(out.c_str());
    std::remove(file.c_str());

    EXPECT_THROW(hv::write(file, profile_store(), kService + "\\Layout"), hv::HiveError) << "a key outside the root";
    rf::Document removal;
    removal.keys.push_back({kService + "\\Old", true, {}, 0});
    EXPECT_THROW(hv::write(file, removal, kService), hv::HiveError);
}

TEST(Hive, MissingCutOrDamagedHivesAreErrorsNamingTheFile) {
    const std::string good = temp("mivo_hive_good.hiv");
    hv::write(good, profile_store(), kService);
    const std::string bytes = slurp(good);
    std::remove(good.c_str());

    std::mt19937 random(7);
    std::string noise = "regf";
    while (noise.size() < 8192)
        noise += char(random());
    std::string bad_checksum = bytes;
    bad_checksum[0x1FC] ^= 1;
    std::string bad_cells = bytes; // every cell after the root's damaged
    for (size_t i = 0x1100; i < bytes.size(); i += 3)
        bad_cells[i] = char(random());
    const struct {
        const char *what;
        std::string bytes;
        bool refused; // or else damage libhivex cannot see, read as keys under the mount point
    } cases[] = {
        {"cut to 100 bytes", bytes.substr(0, 100), true},
        {"cut inside the bins", bytes.substr(0, 0x1800), true},
        {"noise after regf", noise, true},
        {"a wrong checksum", bad_checksum, true},
        {"damaged cells", bad_cells, false},
    };
    const std::string file = temp("mivo_hive_bad.hiv");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        spill(file, c.bytes);
        try {
            for (const rf::Key &k : hv::read(file, kService).keys)
                EXPECT_EQ(k.path.rfind(kService, 0), 0u) << k.path;
            EXPECT_FALSE(c.refused) << "accepted";
        } catch (const hv::HiveError &e) {
            EXPECT_EQ(std::string(e.what()).rfind(file + ": ", 0), 0u) << e.what();
        }
    }
    std::remove(file.c_str());
    try {
        hv::read(file, kService);
        ADD_FAILURE() << "read a missing file";
    } catch (const hv::HiveError &e) {
        EXPECT_EQ(std::string(e.what()).rfind(file + ": ", 0), 0u) << e.what();
    }
}

} // namespace
