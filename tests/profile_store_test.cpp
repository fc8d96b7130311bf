// The profile store as compile writes it and the driver loads it: the keys and
// values of a worked store, profiles and binds in the files' order after the
// driver's real rebuild, and decompile reading a store exactly as the loader
// does, so that compile(decompile(store)) is the store again.
#include <gmock/gmock.h>

#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "core/core.h"
#include "platform/sim/registry.h"
#include "tests/support/bytes.h"
#include "tests/support/sim_test.h"
#include "tools/lib/profile_file.h"
#include "tools/lib/profile_store.h"

using namespace mivo::profile;
using mivo::regfile::Document;
using test_bytes::hex;

namespace {

const WCHAR kServicePath[] = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\mivo";
const std::string kLayout(kLayoutKey);
const std::filesystem::path kSourceDir = std::filesystem::path(__FILE__).parent_path().parent_path();

// What a profile amounts to in the driver, for comparing loads.
struct Loaded {
    int id;
    std::string name;
    int dead_zone;
    std::vector<test_bytes::Bytes> binds;
    bool operator==(const Loaded &) const = default;
};

void PrintTo(const Loaded &p, std::ostream *os)
{
    *os << "{id " << p.id << " \"" << p.name << "\" dz " << p.dead_zone << ", " << p.binds.size() << " binds}";
}

std::vector<Loaded> from_store(const Store &store)
{
    std::vector<Loaded> out;
    for (const Profile &p : store.profiles) {
        Loaded l{p.id, p.name, p.dead_zone, {}};
        for (const Bind &b : p.binds)
            l.binds.emplace_back(b.bytes.begin(), b.bytes.end());
        out.push_back(l);
    }
    return out;
}

std::string describe_document(const Document &d)
{
    std::string out;
    for (auto &k : d.keys) {
        out += (k.remove ? "[-" : "[") + k.path + "]\n";
        for (auto &v : k.values) {
            out += "  \"" + v.name + "\" " + std::to_string(v.type) + ":";
            for (uint8_t b : v.data) {
                char buf[4];
                std::snprintf(buf, sizeof buf, " %02X", b);
                out += buf;
            }
            out += "\n";
        }
    }
    return out;
}

std::vector<ProfileFile> read_files(const std::vector<std::string> &paths)
{
    std::vector<Diagnostic> diagnostics;
    std::vector<ProfileFile> files;
    for (const std::string &path : paths)
        if (auto f = read_profile((kSourceDir / path).string(), diagnostics))
            files.push_back(*f);
    EXPECT_FALSE(has_errors(diagnostics));
    return files;
}

const std::vector<std::string> kExamples = {
    "examples/profiles/flight.toml",      "examples/profiles/cad.toml",         "examples/profiles/media.toml",
    "examples/profiles/set/1-desktop.toml", "examples/profiles/set/2-game.toml", "examples/profiles/set/3-media.toml"};

class ProfileStore : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        std::memset(&ext_, 0, sizeof(ext_));
        RtlInitUnicodeString(&dx->RegistryPath, kServicePath);
    }

    void TearDown() override
    {
        MIVO_Delete_Profil(dx);
        MIVO_Led_Queue_Clear(dx);
        SimTest::TearDown();
    }

    // The driver's real rebuild over the imported store: its list without the
    // base profile, which ends it.
    std::vector<Loaded> driver_load(const Document &d)
    {
        mivo::regfile::apply(d);
        MIVO_InitState(dx);
        std::vector<Loaded> out;
        for (PROFIL *p = dx->ProfilList; p != nullptr; p = p->Next) {
            if (p->Profil_Id == BASE_PROFIL_ID) {
                EXPECT_EQ(p->Next, nullptr) << "the base profile ends the list";
                break;
            }
            std::string name;
            for (const WCHAR *c = p->Profil_Name; *c; c++)
                name += char(*c);
            Loaded l{p->Profil_Id, name, p->DeadZone, {}};
            for (BIND *b = p->Binds; b != nullptr; b = b->Next) {
                auto *bytes = reinterpret_cast<const uint8_t *>(b);
                l.binds.emplace_back(bytes, bytes + BIND_PERSISTED_SIZE);
            }
            out.push_back(l);
        }
        return out;
    }

    DEVICE_EXTENSION ext_;
    PDEVICE_EXTENSION dx = &ext_;
};

Bind bind_of(const std::string &hex_text)
{
    Bind b;
    auto bytes = hex(hex_text);
    std::copy(bytes.begin(), bytes.end(), b.bytes.begin());
    return b;
}

} // namespace

// A worked store: the Layout key's default, then each profile's id and dead
// zone sign-extended, its name with its NUL, and its binds last first.
TEST_F(ProfileStore, CompileWritesTheStoreLayout)
{
    Store store;
    store.default_id = -5;
    Profile p;
    p.id = -5, p.name = "Ab", p.dead_zone = 50;
    p.binds = {bind_of("01 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00 02 00 00 00 03"),
               bind_of("00 00 00 00 02 00 00 00 00 00 00 00 00 00 00 00 01 00 00 00 02")};
    store.profiles = {p};
    Profile q;
    q.id = 300, q.name = "é";
    store.profiles.push_back(q);
    const char *binary_tail = " 00 00 00 00 00 00 00 00 00 00 00 00 00\n";
    EXPECT_EQ(describe_document(compile(store)),
              "[" + kLayout + "]\n  \"Default_Profil\" 4: FB FF FF FF\n" +
              "[" + kLayout + "\\Layout - 01]\n  \"Profil_Id\" 4: 2C 01 00 00\n  \"Profil_Name\" 1: E9 00 00 00\n"
              "  \"DeadZone\" 4: 00 00 00 00\n" +
              "[" + kLayout + "\\Layout - 02]\n  \"Profil_Id\" 4: FB FF FF FF\n  \"Profil_Name\" 1: 41 00 62 00 00 00\n"
              "  \"DeadZone\" 4: 32 00 00 00\n"
              "  \"Bind - 02\" 3: 00 00 00 00 02 00 00 00 00 00 00 00 00 00 00 00 01 00 00 00 02" + binary_tail +
              "  \"Bind - 01\" 3: 01 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00 02 00 00 00 03" + binary_tail)
        << "the first profile is stored under the last name, which the driver enumerates last and lists first";
}

// compile -> the registry -> the driver's own rebuild: the profiles stand in
// the order of the files and each holds the binds its file says, in order.
TEST_F(ProfileStore, TheDriverLoadsWhatTheFilesSay)
{
    struct {
        const char *what;
        size_t count; // profiles made up beside the examples
    } cases[] = {{"the examples", 0}, {"a dozen more: names of two digits", 12}, {"a hundred more: three", 100}};
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        sim::reg_clear();
        std::vector<ProfileFile> files = read_files(kExamples);
        for (size_t n = 0; n < c.count; n++) {
            ProfileFile f;
            f.profile.id = int16_t(100 + n);
            f.profile.binds.push_back(bind_of("01 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00 02 00 00 00 " +
                                              std::to_string(n % 8)));
            files.push_back(f);
        }
        Store store = make_store(files);
        Document d = compile(store, subkey_names_for(files));
        EXPECT_EQ(driver_load(d), from_store(store));
        EXPECT_EQ(dx->DefaultProfilId, 10) << "the set's desktop profile says it is the default";
        ASSERT_NE(dx->CurrentProfil, nullptr);
        EXPECT_EQ(dx->CurrentProfil->Profil_Id, 10);
        MIVO_Delete_Profil(dx);
    }
}

// Whether stored names keep the files' order is decided by the registry's own
// folding: "é" folds to "É", which sorts before "Ê" although "é" is above it.
TEST_F(ProfileStore, NamedStoreKeysAreJudgedInTheRegistrysOrder)
{
    const std::vector<std::vector<std::string>> orders = {
        {"Layout - \xC3\x8A", "Layout - \xC3\xA9"}, {"Layout - \xC3\xA9", "Layout - \xC3\x8A"},
        {"Layout - b", "Layout - A"}, {"Layout - A", "Layout - b"}};
    for (const auto &names : orders) {
        SCOPED_TRACE(names[0] + ", " + names[1]);
        sim::reg_clear();
        std::vector<ProfileFile> files(2);
        for (size_t n = 0; n < 2; n++) {
            files[n].profile.id = int16_t(n + 1);
            files[n].store_key = names[n];
        }
        Store store = make_store(files);
        bool kept = driver_load(compile(store, subkey_names_for(files))) == from_store(store);
        EXPECT_EQ(driver_order_matches(names), kept);
        MIVO_Delete_Profil(dx);
    }
}

// Decompile reads a store the way the driver loads it: the same profiles, in
// the same order, with the same binds, whatever the store holds that the
// driver skips; and compiling what it read gives a store the driver loads the
// same way again.
TEST_F(ProfileStore, DecompileLoadsWhatTheDriverLoads)
{
    auto sub = [](const std::string &name) { return kLayout + "\\" + name; };
    auto dword = [](uint32_t v) {
        return std::vector<uint8_t>{uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
    };
    auto bind = [](uint8_t tag, size_t size = kBindBytes) {
        std::vector<uint8_t> record(kBindBytes, 0);
        record[0] = 1, record[4] = tag, record[16] = 99, record[20] = tag, record[33] = 0x44; // an action code the driver does not know
        std::vector<uint8_t> b(size, 0xEE); // cut, or padded with bytes the driver must not read
        std::copy_n(record.begin(), std::min(size, kBindBytes), b.begin());
        return b;
    };
    Document d;
    d.keys.push_back({kLayout, false, {{"Default_Profil", 4, dword(0x00020007)}}});
    d.keys.push_back({sub("Layout - b"), false,
                      {{"Profil_Id", 4, dword(0x00010007)},
                       {"Profil_Name", 1, {'B', 0, 'e', 0, 0, 0, 'x', 0}},
                       {"DeadZone", 4, dword(0xFFFFFFCE)},
                       {"Bind - 1", 3, bind(1, 20)},
                       {"Bind - x", 4, dword(5)},
                       {"bind - 4", 3, bind(4)},
                       {"Bind - 3", 3, bind(3, 40)},
                       {"Comment", 1, {'x', 0, 0, 0}}}});
    d.keys.push_back({sub("Layout - A"), false, {{"Profil_Id", 4, dword(5)}, {"Bind - 9", 3, bind(9)}}});
    d.keys.push_back({sub("Layout - dup"), false, {{"Profil_Id", 4, dword(5)}, {"Bind - 1", 3, bind(2)}}});
    d.keys.push_back({sub("Layout - base"), false, {{"Profil_Id", 4, dword(0xFFFF)}}});
    d.keys.push_back({sub("Layout - no id"), false, {{"Profil_Id", 11, {1, 0, 0, 0, 0, 0, 0, 0}}}});
    d.keys.push_back({sub("layout - lower"), false, {{"Profil_Id", 4, dword(8)}}});
    d.keys.push_back({sub("Other"), false, {{"Profil_Id", 4, dword(9)}}});
    d.keys.push_back({sub("Layout - gone"), false, {{"Profil_Id", 4, dword(11)}}});
    d.keys.push_back({sub("Layout - gone"), true, {}}); // a later section removes it again

    Decompiled read = decompile(d, "foreign.reg");
    std::vector<Loaded> loaded = driver_load(d);
    EXPECT_EQ(from_store(read.store), loaded);
    EXPECT_EQ(read.store.default_id, 7);
    EXPECT_EQ(read.subkeys, (std::vector<std::string>{"Layout - b", "Layout - A"}))
        << "names compile would not choose are kept, so the order survives";
    ASSERT_EQ(loaded.size(), 2u) << "7 and 5; the duplicate, -1, the one without a dword id and the others skipped";
    EXPECT_EQ(loaded[0].dead_zone, -50);
    EXPECT_EQ(loaded[0].name, "Be");
    EXPECT_EQ(loaded[0].binds.size(), 2u);
    EXPECT_FALSE(has_errors(read.diagnostics));

    MIVO_Delete_Profil(dx);
    sim::reg_clear();
    Document again = compile(read.store, read.subkeys);
    EXPECT_EQ(driver_load(again), loaded);
    EXPECT_EQ(describe_document(compile(decompile(again).store, decompile(again).subkeys)), describe_document(again));
}

// compile(decompile(compile(files))) is compile(files) byte for byte, for the
// examples and for stores of records that names cannot say. (Through the files
// decompile writes: the mivo-profile tests; every record's written form: the
// profile file tests.)
TEST(ProfileStoreRoundTrip, CompileOfDecompileIsTheSameStore)
{
    std::mt19937 rng(7);
    std::vector<ProfileFile> odd(2);
    odd[0].profile.id = 40, odd[0].profile.name = "Odd \"quoted\" \\ name", odd[0].profile.dead_zone = -3;
    odd[0].store_key = "Layout - zz odd"; // sorts after the numbered name, so it is listed first
    odd[1].profile.id = -32768;
    for (int n = 0; n < 60; n++) {
        Bind b;
        for (auto &x : b.bytes)
            x = uint8_t(rng());
        b.bytes[0] = uint8_t(n % 4), b.bytes[1] = b.bytes[2] = b.bytes[3] = 0;
        b.bytes[16] = uint8_t(n % 13);
        odd[n % 2].profile.binds.push_back(b);
    }
    struct {
        const char *what;
        std::vector<ProfileFile> files;
        std::optional<int16_t> default_id;
    } cases[] = {
        {"the examples", read_files(kExamples), std::nullopt},
        {"unknown actions, odd source types, a store key, a default no file defines", odd, int16_t(77)},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        Store store = make_store(c.files, c.default_id);
        Document first = compile(store, subkey_names_for(c.files));
        Decompiled read = decompile(first);
        EXPECT_FALSE(has_errors(read.diagnostics));
        EXPECT_EQ(describe_document(compile(read.store, read.subkeys)), describe_document(first));
    }
}
