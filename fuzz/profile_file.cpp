// Profile files (TOML) on any text. A file that parses without error is
// written back by to_toml, and that text parses to the same profile (id,
// name, dead zone and every bind's 34 bytes) and the same store settings;
// errors are diagnostics, never anything thrown.
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz.h"
#include "tools/lib/profile_file.h"

namespace {

using namespace mivo::profile;

bool same(const ProfileFile &a, const ProfileFile &b)
{
    if (a.profile.id != b.profile.id || a.profile.name != b.profile.name ||
        a.profile.dead_zone != b.profile.dead_zone || a.profile.binds.size() != b.profile.binds.size() ||
        a.store_key != b.store_key || a.is_default != b.is_default || a.default_profile != b.default_profile)
        return false;
    for (size_t i = 0; i < a.profile.binds.size(); i++)
        if (a.profile.binds[i].bytes != b.profile.binds[i].bytes) return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    std::vector<Diagnostic> diagnostics;
    const std::optional<ProfileFile> file = parse_profile(text, "fuzz.toml", diagnostics);
    for (const Diagnostic &d : diagnostics) format_diagnostic(d);
    fuzz::check(file.has_value() != has_errors(diagnostics), "a profile comes back exactly when there is no error");
    if (!file) return 0;

    for (const Bind &bind : file->profile.binds) describe_bind(bind, file->profile.dead_zone);
    check({*file});

    const std::string written = to_toml(file->profile, file->store_key, file->is_default, file->default_profile);
    std::vector<Diagnostic> again_diagnostics;
    const std::optional<ProfileFile> again = parse_profile(written, "written.toml", again_diagnostics);
    if (!again) {
        std::string why;
        for (const Diagnostic &d : again_diagnostics) why += "\n  " + format_diagnostic(d);
        fuzz::fail("to_toml wrote a file that does not parse:\n" + written + why);
    }
    fuzz::check(same(*file, *again), "to_toml's text parses to the same profile");
    return 0;
}
