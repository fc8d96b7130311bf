// Controls of the simulated configuration registry for tests and tools (C++20).
// Driver code never includes this; it reads the registry through ZwOpenKey,
// ZwQueryKey, ZwEnumerateKey, ZwEnumerateValueKey, ZwQueryValueKey and ZwClose,
// and writes it through ZwCreateKey, ZwSetValueKey, ZwDeleteValueKey and
// ZwDeleteKey (a key without subkeys; deleting a deleted key succeeds).
//
// The tree
//   One tree under \Registry, with the hives \Registry\Machine and
//   \Registry\User always present. Paths given here may be written either way:
//     kernel form   \Registry\Machine\System\CurrentControlSet\Services\mivo
//     regedit form  HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\mivo
//   (HKEY_LOCAL_MACHINE, or HKLM, is \Registry\Machine; HKEY_USERS, or HKU, is
//   \Registry\User). Names are matched case-insensitively as Windows does
//   (ASCII, Latin-1, Greek and Cyrillic letters fold; other characters compare
//   as they are); a key or value keeps the spelling it was created with.
//   Strings here are UTF-8; the kernel side sees UTF-16. A key lies at most
//   512 levels below its hive, as Windows allows; deeper ones are refused.
//
// Enumeration order
//   As a hive keeps them: ZwEnumerateKey returns subkeys sorted by name, the
//   names upper-cased unit by unit and compared ordinally, whatever order
//   they were created in; ZwEnumerateValueKey returns values in the order they
//   were first written (setting an existing value keeps its place, deleting
//   one closes the gap). Names are found through an index, so a key with tens
//   of thousands of values or subkeys costs no more per lookup than a small one.
//
// IRQL
//   Every Zw routine must be called at PASSIVE_LEVEL; a call above it is listed
//   by sim::problems(), as for the other simulated routines.
//
// Size probes
//   A query whose buffer cannot hold the fixed part of the record answers
//   STATUS_BUFFER_TOO_SMALL and writes nothing; one whose buffer holds the fixed
//   part but not the name or data answers STATUS_BUFFER_OVERFLOW with the fixed
//   part filled (lengths in full) and as much of the name or data as fits. Both
//   set *ResultLength to the full size. No key has a class name: ClassLength is
//   0 and ClassOffset -1. Missing keys and values answer
//   STATUS_OBJECT_NAME_NOT_FOUND, an index past the end STATUS_NO_MORE_ENTRIES,
//   a handle to a key deleted since it was opened STATUS_KEY_DELETED.
//   Information classes served: KeyBasicInformation and KeyFullInformation
//   (ZwQueryKey), KeyBasicInformation (ZwEnumerateKey), KeyValueBasicInformation
//   and KeyValuePartialInformation (ZwEnumerateValueKey, ZwQueryValueKey); any
//   other answers STATUS_INVALID_PARAMETER.
//
// Handles
//   ZwOpenKey takes an absolute path, or a path relative to an open key given as
//   RootDirectory; one trailing backslash is allowed. Each open key is a handle
//   of the kernel's handle table: ZwClose closes it, and one left open is listed
//   by sim::problems(). sim::reset() empties the tree back to the two hives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// Value types, as in the kernel headers.
constexpr uint32_t kRegNone = 0;
constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegExpandSz = 2;
constexpr uint32_t kRegBinary = 3;
constexpr uint32_t kRegDword = 4;
constexpr uint32_t kRegMultiSz = 7;
constexpr uint32_t kRegQword = 11;

struct RegValue {
    std::string name; // "" is the key's default value (@ in a .reg file)
    uint32_t type = kRegNone;
    std::vector<uint8_t> data; // exactly the bytes ZwQueryValueKey returns
};

// Registry text files (.reg) and hive files are read and written by the
// tools' library (tools/lib/regfile.h, tools/lib/hive.h) through the calls
// below.

// ---------------------------------------------------------------- editing
// Creates the key and any missing parents; an existing key is left as it is.
// A key deeper than the limit below its hive is refused (std::invalid_argument).
void reg_create_key(std::string_view key_path);
// Deletes the key with its subtree; false when it did not exist. Handles still
// open on a deleted key answer STATUS_KEY_DELETED. A hive cannot be deleted
// (std::invalid_argument).
bool reg_delete_key(std::string_view key_path);
// Sets a value, creating the key (and parents) when missing. An existing value
// of that name (any case) is replaced in place and keeps its spelling.
void reg_set_value(std::string_view key_path, std::string_view name, uint32_t type, std::vector<uint8_t> data);
void reg_set_dword(std::string_view key_path, std::string_view name, uint32_t value);
void reg_set_qword(std::string_view key_path, std::string_view name, uint64_t value);
// REG_SZ data: the UTF-8 text as UTF-16LE followed by a NUL unit.
std::vector<uint8_t> reg_string_data(std::string_view text);
void reg_set_string(std::string_view key_path, std::string_view name, std::string_view text);
void reg_set_binary(std::string_view key_path, std::string_view name, std::vector<uint8_t> data);
// Deletes one value; false when the key or the value did not exist.
bool reg_delete_value(std::string_view key_path, std::string_view name);
// Empties the tree back to the two hives (what sim::reset() does).
void reg_clear();

// ---------------------------------------------------------------- inspection
bool reg_key_exists(std::string_view key_path);
// Subkey names and values of a key in enumeration order; empty when the key is
// missing.
std::vector<std::string> reg_subkeys(std::string_view key_path);
std::vector<RegValue> reg_values(std::string_view key_path);
std::optional<RegValue> reg_get_value(std::string_view key_path, std::string_view name);
// The key's path in regedit form with each name spelled as stored; none when
// the key is missing.
std::optional<std::string> reg_stored_path(std::string_view key_path);
// Registry key handles currently open (ZwOpenKey not yet matched by ZwClose).
size_t reg_open_handles();
// A name as the registry matches and orders it: each UTF-16 unit upper-cased.
// Two names are the same key or value when their folded forms are equal, and
// subkeys enumerate in the order of their folded forms' UTF-16 units.
std::u16string reg_fold_name(std::string_view name);

// ---------------------------------------------------------------- limits
// How many levels below its hive a key may lie (512, Windows' limit, after
// every sim::reset()); returns the previous limit. Tests raise it to build
// trees no hive could hold and see them torn down.
size_t reg_set_depth_limit(size_t levels);

} // namespace sim
