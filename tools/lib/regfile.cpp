// Registry text files: the reader takes what regedit and `reg export` write
// (either header, either encoding) and refuses anything else with the line it
// stands on; the writer produces regedit's own layout (regfile.h).

#include "tools/lib/regfile.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/sim/registry.h"
#include "platform/sim/sim.h"

namespace mivo::regfile {

ParseError::ParseError(std::string file_, int line_, std::string message_)
    : std::runtime_error(file_ + ":" + std::to_string(line_) + ": " + message_), file(std::move(file_)), line(line_),
      message(std::move(message_)) {}

namespace {

constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kHeader4 = "REGEDIT4";
// A message quotes no more than this many characters of a file.
constexpr size_t kExcerptChars = 40;

// ---------------------------------------------------------------- text
std::u16string to_utf16(std::string_view s) { return sim::utf8_to_utf16(s); }
std::string to_utf8(std::u16string_view s) { return sim::utf16_to_utf8(s); }

// Length of the valid UTF-8 sequence at s[i], or 0.
size_t utf8_sequence(std::string_view s, size_t i) {
    unsigned char b = static_cast<unsigned char>(s[i]);
    size_t n = (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size())
        return 0;
    for (size_t k = 1; k < n; k++) {
        if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80)
            return 0;
    }
    return n;
}

// The offending text as a message may quote it: a short start of it, quoted,
// with control characters and stray bytes written \xNN, so that neither a
// 10 MB word nor raw control bytes end up on someone's terminal.
std::string excerpt(std::string_view s) {
    std::string out = "\"";
    size_t chars = 0, i = 0;
    for (; i < s.size() && chars < kExcerptChars; chars++) {
        unsigned char b = static_cast<unsigned char>(s[i]);
        if (b >= 0x20 && b < 0x7F) {
            out += static_cast<char>(b);
            i++;
        } else if (size_t n = b >= 0x80 ? utf8_sequence(s, i) : 0) {
            out.append(s.substr(i, n));
            i += n;
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", b);
            out += buf;
            i++;
        }
    }
    out += "\"";
    if (i < s.size())
        out += "...";
    return out;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

bool equal_nocase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z')
            x = static_cast<char>(x - 0x20);
        if (y >= 'a' && y <= 'z')
            y = static_cast<char>(y - 0x20);
        if (x != y)
            return false;
    }
    return true;
}

bool starts_with_nocase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && equal_nocase(s.substr(0, prefix.size()), prefix);
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// 1 to max_digits hex digits, nothing else.
bool parse_hex_number(std::string_view s, size_t max_digits, uint32_t &out) {
    if (s.empty() || s.size() > max_digits)
        return false;
    uint32_t v = 0;
    for (char c : s) {
        int d = hex_digit(c);
        if (d < 0)
            return false;
        v = (v << 4) | static_cast<uint32_t>(d);
    }
    out = v;
    return true;
}

// The file's bytes as UTF-8 text: UTF-16 (by its BOM) is converted, a UTF-8
// BOM dropped.
std::string decode_text(std::string_view bytes) {
    auto u16 = [&](bool little) {
        std::u16string s;
        s.reserve(bytes.size() / 2);
        for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
            auto lo = static_cast<unsigned char>(bytes[i + (little ? 0 : 1)]);
            auto hi = static_cast<unsigned char>(bytes[i + (little ? 1 : 0)]);
            s += static_cast<char16_t>(lo | (hi << 8));
        }
        return to_utf8(s);
    };
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF && static_cast<unsigned char>(bytes[1]) == 0xFE)
        return u16(true);
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFE && static_cast<unsigned char>(bytes[1]) == 0xFF)
        return u16(false);
    if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF")
        bytes.remove_prefix(3);
    return std::string(bytes);
}

// A root key as the simulated registry knows it, spelled as regedit spells it;
// empty for any other.
std::string_view canonical_root(std::string_view root) {
    if (equal_nocase(root, "HKEY_LOCAL_MACHINE") || equal_nocase(root, "HKLM"))
        return "HKEY_LOCAL_MACHINE";
    if (equal_nocase(root, "HKEY_USERS") || equal_nocase(root, "HKU"))
        return "HKEY_USERS";
    return {};
}

// ---------------------------------------------------------------- reader
class Parser {
public:
    Parser(std::string file, std::string_view text) : file_(std::move(file)) {
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find('\n', start);
            if (end == std::string_view::npos)
                end = text.size();
            lines_.emplace_back(text.substr(start, end - start));
            start = end + 1;
        }
    }

    Document parse() {
        size_t i = 0;
        while (i < lines_.size() && trim(lines_[i]).empty())
            i++;
        if (i == lines_.size())
            fail(static_cast<int>(lines_.empty() ? 1 : lines_.size()),
                 "no header: expected \"" + std::string(kHeader5) + "\"");
        std::string_view header = trim(lines_[i]);
        if (header != kHeader5 && header != kHeader4)
            fail(line_no(i), "expected the header \"" + std::string(kHeader5) + "\" or \"" + std::string(kHeader4) +
                                 "\", found " + excerpt(header));
        for (i++; i < lines_.size(); i++) {
            std::string_view line = trim(lines_[i]);
            if (line.empty() || line.front() == ';')
                continue;
            if (line.front() == '[')
                section(i, line);
            else if (line.front() == '"' || line.front() == '@')
                i = value(i, line);
            else
                fail(line_no(i), "expected [KEY], a \"name\"=value line or a ';' comment, found " + excerpt(line));
        }
        return std::move(doc_);
    }

private:
    [[noreturn]] void fail(int line, std::string message) { throw ParseError(file_, line, std::move(message)); }
    static int line_no(size_t index) { return static_cast<int>(index + 1); }

    void section(size_t i, std::string_view line) {
        size_t close = line.rfind(']');
        if (close == std::string_view::npos || close == 0)
            fail(line_no(i), "key section without its closing ']'");
        if (!trim(line.substr(close + 1)).empty())
            fail(line_no(i), "text after the closing ']' of a key section: " + excerpt(line.substr(close + 1)));
        std::string_view body = line.substr(1, close - 1);
        bool remove = !body.empty() && body.front() == '-';
        if (remove)
            body.remove_prefix(1);
        if (body.size() > 1 && body.back() == '\\')
            body.remove_suffix(1); // one trailing backslash
        size_t first_end = std::min(body.find('\\'), body.size());
        std::string_view root = canonical_root(body.substr(0, first_end));
        if (first_end == 0)
            fail(line_no(i), "empty key path");
        if (root.empty())
            fail(line_no(i), "unsupported root key " + excerpt(body.substr(0, first_end)) +
                                 " (HKEY_LOCAL_MACHINE and HKEY_USERS are simulated)");
        // Counted without splitting: a hostile path may run to many thousand
        // levels, and it is refused before anything is built from it.
        size_t depth = 0;
        for (size_t p = first_end; p < body.size(); p = body.find('\\', p + 1)) {
            size_t next = std::min(body.find('\\', p + 1), body.size());
            if (next == p + 1)
                fail(line_no(i), "empty key name in " + excerpt(body));
            depth++;
            if (next == body.size())
                break;
        }
        if (depth > kMaxKeyDepth)
            fail(line_no(i), "key path " + std::to_string(depth) + " levels deep; the registry allows at most " +
                                 std::to_string(kMaxKeyDepth));
        if (remove && depth == 0)
            fail(line_no(i), "a root key cannot be deleted");
        Key key;
        key.path = std::string(root) + std::string(body.substr(first_end));
        key.remove = remove;
        key.line = line_no(i);
        doc_.keys.push_back(std::move(key));
    }

    // A quoted name or string starting at s[pos] == '"'; pos ends behind the
    // closing quote.
    std::string quoted(size_t i, std::string_view s, size_t &pos) {
        std::string out;
        for (pos++; pos < s.size(); pos++) {
            char c = s[pos];
            if (c == '"') {
                pos++;
                return out;
            }
            if (c == '\\') {
                if (pos + 1 >= s.size())
                    break;
                char e = s[++pos];
                if (e != '\\' && e != '"')
                    fail(line_no(i), "unknown escape " + excerpt(s.substr(pos - 1, 2)) +
                                         " (only \\\\ and \\\" are escapes)");
                out += e;
            } else {
                out += c;
            }
        }
        fail(line_no(i), "unterminated string: no closing '\"'");
    }

    // Returns the index of the last line the value used.
    size_t value(size_t i, std::string_view line) {
        if (doc_.keys.empty())
            fail(line_no(i), "value line before any [KEY] section");
        if (doc_.keys.back().remove)
            fail(line_no(i), "value line under a deleted [-KEY] section");
        Value v;
        v.line = line_no(i);
        size_t pos = 0;
        if (line.front() == '@')
            pos = 1;
        else
            v.name = quoted(i, line, pos);
        std::string_view rest = trim(line.substr(pos));
        if (rest.empty() || rest.front() != '=')
            fail(line_no(i), "expected '=' after the value name");
        rest = trim(rest.substr(1));

        if (rest == "-") {
            v.remove = true;
        } else if (!rest.empty() && rest.front() == '"') {
            size_t p = 0;
            std::string text = quoted(i, rest, p);
            if (!trim(rest.substr(p)).empty())
                fail(line_no(i), "text after the closing '\"' of a string value: " + excerpt(trim(rest.substr(p))));
            v.type = kRegSz;
            v.data = sim::reg_string_data(text);
        } else if (starts_with_nocase(rest, "dword:")) {
            uint32_t d = 0;
            if (!parse_hex_number(trim(rest.substr(6)), 8, d))
                fail(line_no(i), "dword: expects 1 to 8 hex digits, found " + excerpt(rest.substr(6)));
            v.type = kRegDword;
            for (int b = 0; b < 4; b++)
                v.data.push_back(static_cast<uint8_t>(d >> (8 * b)));
        } else if (starts_with_nocase(rest, "hex")) {
            std::string_view after = rest.substr(3);
            v.type = kRegBinary;
            if (!after.empty() && after.front() == '(') {
                size_t close = after.find(')');
                uint32_t type = 0;
                if (close == std::string_view::npos || !parse_hex_number(after.substr(1, close - 1), 8, type))
                    fail(line_no(i), "hex(N): expects a type of 1 to 8 hex digits");
                v.type = type;
                after.remove_prefix(close + 1);
            }
            if (after.empty() || after.front() != ':')
                fail(line_no(i), "expected ':' after hex");
            i = hex_list(i, after.substr(1), v.data);
        } else {
            fail(line_no(i), "unknown value format " + excerpt(rest) + " (expected \"text\", dword:, hex:, hex(N): or -)");
        }
        doc_.keys.back().values.push_back(std::move(v));
        return i;
    }

    // Bytes "aa,bb,..." over as many lines as a trailing '\' continues them;
    // each byte is read where it stands, so an error names its own line.
    size_t hex_list(size_t i, std::string_view cur, std::vector<uint8_t> &out) {
        bool expect_byte = false; // after a ',' another byte must follow
        while (true) {
            cur = trim(cur);
            bool continued = !cur.empty() && cur.back() == '\\';
            if (continued)
                cur.remove_suffix(1);
            size_t start = 0;
            while (start < cur.size()) {
                size_t end = std::min(cur.find(',', start), cur.size());
                std::string_view tok = trim(cur.substr(start, end - start));
                uint32_t b = 0;
                if (tok.empty())
                    fail(line_no(i), "empty byte in a hex list");
                if (!parse_hex_number(tok, 2, b))
                    fail(line_no(i), "bad byte " + excerpt(tok) + " in a hex list (expected two hex digits)");
                out.push_back(static_cast<uint8_t>(b));
                expect_byte = end < cur.size();
                start = end + 1;
            }
            if (!continued)
                break;
            if (i + 1 >= lines_.size())
                fail(line_no(i), "line continuation '\\' at the end of the file");
            cur = lines_[++i];
        }
        if (expect_byte)
            fail(line_no(i), "empty byte in a hex list");
        return i;
    }

    std::string file_;
    std::vector<std::string_view> lines_;
    Document doc_;
};

// ---------------------------------------------------------------- writer
std::string escape(std::string_view s) {
    std::string out;
    for (char c : s) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    return out;
}

// REG_SZ data that the quoted form reproduces byte for byte: UTF-16 text
// without control characters or lone surrogates, and one terminating NUL.
bool plain_text(const std::vector<uint8_t> &data, std::u16string &text) {
    if (data.size() < 2 || data.size() % 2)
        return false;
    size_t units = data.size() / 2;
    text.clear();
    for (size_t i = 0; i < units; i++) {
        char16_t c = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
        if (i + 1 == units)
            return c == 0;
        if (c < 0x20 || c == 0x7F)
            return false;
        text += c;
    }
    return false;
}

bool surrogates_paired(std::u16string_view s) {
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] >= 0xD800 && s[i] < 0xDC00) {
            if (i + 1 >= s.size() || s[i + 1] < 0xDC00 || s[i + 1] >= 0xE000)
                return false;
            i++;
        } else if (s[i] >= 0xDC00 && s[i] < 0xE000) {
            return false;
        }
    }
    return true;
}

void write_value(const Value &v, std::string &out) {
    std::string line = v.name.empty() ? "@=" : "\"" + escape(v.name) + "\"=";
    if (v.remove) {
        out += line + "-\n";
        return;
    }
    std::u16string text;
    if (v.type == kRegSz && plain_text(v.data, text) && surrogates_paired(text)) {
        out += line + "\"" + escape(to_utf8(text)) + "\"\n";
        return;
    }
    if (v.type == kRegDword && v.data.size() == 4) {
        char buf[16];
        uint32_t d = v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) | (static_cast<uint32_t>(v.data[3]) << 24);
        std::snprintf(buf, sizeof buf, "dword:%08x", d);
        out += line + buf + "\n";
        return;
    }
    if (v.type == kRegBinary) {
        line += "hex:";
    } else {
        char buf[24];
        std::snprintf(buf, sizeof buf, "hex(%x):", v.type);
        line += buf;
    }
    // regedit's wrapping: lines of at most 80 columns, each broken one ending
    // in ",\", the next starting with two blanks.
    for (size_t i = 0; i < v.data.size(); i++) {
        bool last = i + 1 == v.data.size();
        char tok[4];
        std::snprintf(tok, sizeof tok, last ? "%02x" : "%02x,", v.data[i]);
        if (line.size() + std::strlen(tok) + (last ? 0 : 1) > 80) {
            out += line + "\\\n";
            line = "  ";
        }
        line += tok;
    }
    out += line + "\n";
}

// A key path in the form the simulated registry takes, checked as parse()
// checks a file's, so that apply() refuses a bad document before it changes
// anything.
void check_path(const std::string &path) {
    size_t first_end = std::min(path.find('\\'), path.size());
    if (canonical_root(std::string_view(path).substr(0, first_end)).empty())
        throw std::invalid_argument("unsupported root key in " + excerpt(path));
    size_t depth = 0;
    for (size_t p = first_end; p < path.size(); p = path.find('\\', p + 1)) {
        size_t next = std::min(path.find('\\', p + 1), path.size());
        if (next == p + 1)
            throw std::invalid_argument("empty key name in " + excerpt(path));
        if (++depth > kMaxKeyDepth)
            throw std::invalid_argument("key path deeper than " + std::to_string(kMaxKeyDepth) + " levels: " +
                                        excerpt(path));
        if (next == path.size())
            break;
    }
}

} // namespace

// ---------------------------------------------------------------- public
Document parse(std::string_view bytes, std::string_view source_name) {
    std::string text = decode_text(bytes);
    return Parser(std::string(source_name), text).parse();
}

Document read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw ParseError(path, 0, "cannot open the file");
    std::ostringstream bytes;
    bytes << in.rdbuf();
    if (in.bad())
        throw ParseError(path, 0, "cannot read the file");
    return parse(bytes.str(), path);
}

std::string format(const Document &document) {
    std::string out = std::string(kHeader5) + "\n\n";
    for (const Key &k : document.keys) {
        out += (k.remove ? "[-" : "[") + k.path + "]\n";
        for (const Value &v : k.values)
            write_value(v, out);
        out += "\n";
    }
    return out;
}

std::string encode_regedit(std::string_view utf8_text) {
    std::u16string units;
    units.reserve(utf8_text.size() + utf8_text.size() / 16);
    std::u16string text = to_utf16(utf8_text);
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == u'\n' && (i == 0 || text[i - 1] != u'\r'))
            units += u'\r';
        units += text[i];
    }
    std::string bytes = "\xFF\xFE";
    bytes.reserve(2 + units.size() * 2);
    for (char16_t c : units) {
        bytes += static_cast<char>(c & 0xFF);
        bytes += static_cast<char>(c >> 8);
    }
    return bytes;
}

void write_file(const std::string &path, const Document &document, bool utf8) {
    std::string bytes = utf8 ? format(document) : encode_regedit(format(document));
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

void apply(const Document &document) {
    for (const Key &k : document.keys) {
        check_path(k.path);
        if (k.remove && k.path.find('\\') == std::string::npos)
            throw std::invalid_argument("a root key cannot be deleted: " + k.path);
    }
    for (const Key &k : document.keys) {
        if (k.remove) {
            sim::reg_delete_key(k.path);
            continue;
        }
        sim::reg_create_key(k.path);
        for (const Value &v : k.values) {
            if (v.remove)
                sim::reg_delete_value(k.path, v.name);
            else
                sim::reg_set_value(k.path, v.name, v.type, v.data);
        }
    }
}

Document snapshot(std::string_view key_path) {
    std::optional<std::string> top = sim::reg_stored_path(key_path);
    if (!top)
        throw std::out_of_range("no such registry key: " + std::string(key_path));
    Document doc;
    // Depth first by an explicit stack: a store may be as deep as the
    // registry allows, and the order is the one a regedit export has.
    std::vector<std::string> stack{*top};
    while (!stack.empty()) {
        Key k;
        k.path = std::move(stack.back());
        stack.pop_back();
        for (sim::RegValue &v : sim::reg_values(k.path)) {
            Value out;
            out.name = std::move(v.name);
            out.type = v.type;
            out.data = std::move(v.data);
            k.values.push_back(std::move(out));
        }
        std::vector<std::string> subkeys = sim::reg_subkeys(k.path);
        for (auto it = subkeys.rbegin(); it != subkeys.rend(); ++it)
            stack.push_back(k.path + "\\" + *it);
        doc.keys.push_back(std::move(k));
    }
    return doc;
}

} // namespace mivo::regfile
