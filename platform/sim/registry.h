// Controls of the simulated configuration registry for tests and tools (C++20).
// Driver code never includes this; it reads the registry through ZwOpenKey,
// ZwQueryKey, ZwEnumerateKey, ZwEnumerateValueKey, ZwQueryValueKey and ZwClose.
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
//   Strings here are UTF-8; the kernel side sees UTF-16.
//
// Enumeration order
//   ZwEnumerateKey and ZwEnumerateValueKey return subkeys and values in the
//   order they were created; setting an existing value keeps its place, and
//   deleting one closes the gap. (Windows keeps values in creation order too but
//   sorts subkeys by name; a test that relies on subkey order states it by the
//   order it creates them, which the .reg loader follows line by line.)
//
// Size probes
//   A query whose buffer cannot hold the fixed part of the record answers
//   STATUS_BUFFER_TOO_SMALL and writes nothing; one whose buffer holds the fixed
//   part but not the name or data answers STATUS_BUFFER_OVERFLOW with the fixed
//   part filled (and as much of a name as fits; no partial value data). Both set
//   *ResultLength to the full size. Missing keys and values answer
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

// Malformed .reg input. what() is "FILE:LINE: message"; the parts are kept too.
// LINE is the 1-based line the faulty entry starts on (for a value continued
// over several lines, the line where the fault is).
struct RegParseError : std::runtime_error {
    RegParseError(std::string file, int line, std::string message);
    std::string file;
    int line;
    std::string message;
};

// ---------------------------------------------------------------- .reg import
// Imports a regedit export into the tree, as double-clicking the file would:
// keys are created with their parents, values set or replaced, "[-KEY]" deletes
// a key with its subtree and "name"=- deletes a value. The text is checked
// whole before anything is applied, so a malformed file changes nothing.
//
// Accepted: the header "Windows Registry Editor Version 5.00" (or "REGEDIT4")
// as the first non-blank line; UTF-8 text (with or without BOM) or UTF-16LE
// with BOM; CRLF or LF; blank lines and ';' comments between entries;
// [KEY] sections; value lines  "name"=...  or  @=...  with
//   "text"                     REG_SZ (escapes \\ and \"), stored with its NUL
//   dword:xxxxxxxx             REG_DWORD, 1 to 8 hex digits
//   hex:aa,bb,...              REG_BINARY (may be empty: hex:)
//   hex(N):aa,bb,...           raw bytes of type N (hex), e.g. hex(2) REG_EXPAND_SZ,
//                              hex(7) REG_MULTI_SZ, hex(b) REG_QWORD
//   -                          delete the value
// A hex list continues on the next line after a trailing '\' (regedit wraps
// long values that way); the next line's leading blanks are skipped.
// source_name is the FILE part of error messages.
void reg_load_string(std::string_view text, std::string_view source_name = "<string>");
// Reads the file (the FILE part of errors is the path) and imports it. A file
// that cannot be read is a RegParseError at line 0.
void reg_load_file(const std::string &path);

// ---------------------------------------------------------------- .reg export
// The subtree at key_path (default: all of HKEY_LOCAL_MACHINE) as .reg text:
// the header, a blank line, then one [HKEY_...] section per key in enumeration
// order, the key itself first, each followed by its values and a blank line.
// REG_SZ whose data is UTF-16 text with exactly one terminating NUL is written
// "text"; a 4-byte REG_DWORD dword:xxxxxxxx; REG_BINARY hex:; everything else
// hex(N):. Hex lists wrap at 80 columns with ",\" as regedit does. Loading the
// output back gives the same subtree, order included. Throws std::out_of_range
// when key_path does not exist.
std::string reg_export(std::string_view key_path = "HKEY_LOCAL_MACHINE");
// Writes reg_export(key_path) to a file: UTF-8 by default, or UTF-16LE with a
// BOM (regedit's own encoding). Throws std::runtime_error when it cannot write.
void reg_export_file(const std::string &path, std::string_view key_path = "HKEY_LOCAL_MACHINE",
                     bool utf16 = false);

// ---------------------------------------------------------------- editing
// Creates the key and any missing parents; an existing key is left as it is.
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
// REG_SZ: the UTF-8 text as UTF-16LE followed by a NUL unit.
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
// Registry key handles currently open (ZwOpenKey not yet matched by ZwClose).
size_t reg_open_handles();

} // namespace sim
