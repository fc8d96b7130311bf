// Profiles as the tools hold them: what a profile file says, what a store in
// the registry holds, and what the driver will load, in one form. Each bind is
// kept as the 34 bytes the driver reads from its "Bind - NN" value, so nothing
// a store can hold is lost between files and stores.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace mivo::profile {

// The driver's service key and its profile store, in regedit form.
constexpr std::string_view kServiceKey = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\mivo";
constexpr std::string_view kLayoutKey = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\mivo\\Layout";

// Where something was written; file "" and line 0 for what no file wrote.
struct SourcePos {
    std::string file;
    int line = 0;
    int column = 0;
};

constexpr size_t kBindBytes = 34;

struct Bind {
    std::array<uint8_t, kBindBytes> bytes{}; // the persisted record, little-endian
    SourcePos where;
};

struct Profile {
    int16_t id = 0;
    std::string name;      // UTF-8; the driver keeps 49 UTF-16 units
    int16_t dead_zone = 0;
    // In the order the driver evaluates them: the first bind here is the head
    // of the driver's list. (The store holds them in the reverse order, since
    // the driver pushes each value it enumerates at the head.)
    std::vector<Bind> binds;
    SourcePos where;
};

struct Store {
    int16_t default_id = 0;         // "Default_Profil"
    std::vector<Profile> profiles;  // in file order
};

} // namespace mivo::profile
