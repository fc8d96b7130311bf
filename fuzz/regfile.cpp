// The .reg reader (UTF-16LE or UTF-8, any line ends) on any bytes. A file it
// accepts must come back the same through the writer (parse(format(d)) == d,
// line numbers aside), and import into the simulated registry; one it refuses
// is a located ParseError, nothing else.
#include <string_view>

#include "fuzz/fuzz.h"
#include "tools/lib/regfile.h"

namespace {

using namespace mivo::regfile;

bool same(const Document &a, const Document &b)
{
    if (a.keys.size() != b.keys.size()) return false;
    for (size_t k = 0; k < a.keys.size(); k++) {
        const Key &x = a.keys[k], &y = b.keys[k];
        if (x.path != y.path || x.remove != y.remove || x.values.size() != y.values.size()) return false;
        for (size_t v = 0; v < x.values.size(); v++) {
            const Value &p = x.values[v], &q = y.values[v];
            if (p.name != q.name || p.type != q.type || p.data != q.data || p.remove != q.remove) return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char *>(data), size);
    Document document;
    try {
        document = parse(bytes, "fuzz.reg");
    } catch (const ParseError &e) {
        fuzz::check(e.line >= 1, "a parse error names its line");
        return 0;
    }
    const std::string text = format(document);
    Document again;
    try {
        again = parse(text, "formatted.reg");
    } catch (const ParseError &e) {
        fuzz::fail("the writer's text does not parse: " + std::string(e.what()));
    }
    fuzz::check(same(document, again), "parse(format(d)) gives d back");
    fuzz::check(parse(encode_regedit(text), "regedit.reg").keys.size() == document.keys.size(),
                "regedit's encoding of the text reads the same");

    // An accepted file imports (apply throws on a path the reader should
    // have refused).
    sim::reset();
    apply(document);
    fuzz::check_kernel();
    return 0;
}
