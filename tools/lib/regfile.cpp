// Stand-in until the .reg library lands.
#include "tools/lib/regfile.h"

namespace mivo::regfile {
ParseError::ParseError(std::string file_, int line_, std::string message_)
    : std::runtime_error(file_ + ":" + std::to_string(line_) + ": " + message_), file(std::move(file_)), line(line_),
      message(std::move(message_)) {}
Document parse(std::string_view, std::string_view source_name) { throw ParseError(std::string(source_name), 0, "not built yet"); }
Document read_file(const std::string &path) { throw ParseError(path, 0, "not built yet"); }
std::string format(const Document &) { return {}; }
std::string encode_regedit(std::string_view) { return {}; }
void write_file(const std::string &, const Document &, bool) { throw std::runtime_error("not built yet"); }
void apply(const Document &) {}
Document snapshot(std::string_view) { return {}; }
} // namespace mivo::regfile
