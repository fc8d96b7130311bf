// Stand-in until the hive reader and writer land.
#include "tools/lib/hive.h"

namespace mivo::hive {
regfile::Document read(const std::string &file, std::string_view) { throw HiveError(file + ": not built yet"); }
void write(const std::string &file, const regfile::Document &, std::string_view) { throw HiveError(file + ": not built yet"); }
bool looks_like_hive(std::string_view first_bytes) { return first_bytes.substr(0, 4) == "regf"; }
regfile::Document read_store_file(const std::string &file, std::string_view) { throw HiveError(file + ": not built yet"); }
} // namespace mivo::hive
