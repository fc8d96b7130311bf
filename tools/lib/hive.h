// Registry hive files (the format `reg save` writes), read and written through
// libhivex, in the shared Document form of regfile.h.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "tools/lib/regfile.h"

namespace mivo::hive {

// A hive that cannot be read or written. what() names the file and the cause.
struct HiveError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Reads a hive file as if it were mounted at mount_path: the hive's root key
// becomes mount_path, its subkeys the keys below it. The file is only read.
regfile::Document read(const std::string &file, std::string_view mount_path);

// Writes the keys of the document that lie at or below root_path into a new
// hive file whose root key is root_path (what `reg save root_path file` gives).
// Keys elsewhere and removal entries are not part of a hive and are refused.
void write(const std::string &file, const regfile::Document &document, std::string_view root_path);

// Whether the bytes begin like a hive file ("regf").
bool looks_like_hive(std::string_view first_bytes);

// A store file of either kind, by its content: a hive is read mounted at
// mount_path, anything else is parsed as .reg text (which names its own keys).
regfile::Document read_store_file(const std::string &file, std::string_view mount_path);

} // namespace mivo::hive
