// Registry text files (.reg), as regedit and `reg export` write them, and the
// in-memory form every store tool shares: mivo-profile compiles profiles into
// a Document and decompiles one, mivo-sim loads one into the simulated
// registry, and a hive file reads into one (hive.h).
//
// Paths are in regedit form (HKEY_LOCAL_MACHINE\SYSTEM\...), UTF-8 here; the
// registry itself holds UTF-16.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/registry.h"

namespace mivo::regfile {

// Value types, as in the Windows headers.
using sim::kRegBinary;
using sim::kRegDword;
using sim::kRegExpandSz;
using sim::kRegMultiSz;
using sim::kRegNone;
using sim::kRegQword;
using sim::kRegSz;

// The deepest key path Windows accepts, counted in keys below the root key
// (HKEY_LOCAL_MACHINE\a\b is two deep).
constexpr size_t kMaxKeyDepth = 512;

struct Value {
    std::string name;          // "" is the key's default value (@ in a .reg file)
    uint32_t type = kRegNone;
    std::vector<uint8_t> data; // exactly the bytes ZwQueryValueKey returns
    bool remove = false;       // "name"=- : delete the value
    int line = 0;              // where it stands in its file; 0 when made in memory
};

struct Key {
    std::string path;          // regedit form, no trailing backslash
    bool remove = false;       // [-KEY] : delete the key with its subtree
    std::vector<Value> values; // in file order
    int line = 0;
};

// A .reg file's content in file order: what importing it does, one section at
// a time.
struct Document {
    std::vector<Key> keys;
};

// Malformed input. what() is "FILE:LINE: message"; the parts are kept too.
// Messages quote at most a short, printable excerpt of the offending text.
struct ParseError : std::runtime_error {
    ParseError(std::string file, int line, std::string message);
    std::string file;
    int line;
    std::string message;
};

// Parses a file's bytes (UTF-16LE with BOM, or UTF-8 with or without BOM; CRLF
// or LF). source_name is the FILE of error messages. Throws ParseError; a
// malformed file yields nothing.
Document parse(std::string_view bytes, std::string_view source_name = "<string>");
// Reads and parses a file; one that cannot be read is a ParseError at line 0.
Document read_file(const std::string &path);

// The document as regedit text: the version 5 header, a blank line, each key
// section followed by its values and a blank line; LF line ends, UTF-8.
// parse(format(d)) gives d back (line numbers aside).
std::string format(const Document &document);
// Text as regedit writes its files: UTF-16LE with a BOM and CRLF line ends.
std::string encode_regedit(std::string_view utf8_text);
// Writes format(document) to a file, in regedit's encoding unless utf8 is set.
// Throws std::runtime_error when it cannot write.
void write_file(const std::string &path, const Document &document, bool utf8 = false);

// Imports the document into the simulated registry as double-clicking the
// file would: keys created with their parents, values set or replaced,
// removals carried out.
void apply(const Document &document);
// The subtree at key_path of the simulated registry as a document, the key
// itself first, then its subkeys depth first in enumeration order. Throws
// std::out_of_range when the key does not exist.
Document snapshot(std::string_view key_path);

} // namespace mivo::regfile
