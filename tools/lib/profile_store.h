// Profiles <-> the driver's profile store in the registry (the Layout key of
// the service), in the shared Document form that .reg files, hive files and
// the simulated registry all go through.
//
// Order. The driver enumerates the profile subkeys in the registry's order
// (sorted by name, case-insensitively) and pushes each profile at the head of
// its list; the push-and-hold gesture then steps through that list. compile
// names the subkeys so that the list holds the profiles in Store order: of n
// profiles, the one at position i is stored as "Layout - <n - i>" (numbers
// padded to the same width), so the first profile file given is the first the
// gesture steps to. The driver enumerates a key's values in the order they were
// written and pushes each bind at the head too, so the binds of a profile are
// written last first, as "Bind - <position in the list>".
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tools/lib/profile_file.h"
#include "tools/lib/profile_model.h"
#include "tools/lib/regfile.h"

namespace mivo::profile {

// The subkey compile gives the profile at position (0-based) of count.
std::string default_subkey_name(size_t position, size_t count);
// The subkey names of the files' profiles: their store_key or the default.
std::vector<std::string> subkey_names_for(const std::vector<ProfileFile> &files);
// Key names as the registry matches them (each UTF-16 unit upper-cased, as
// the registry folds it).
std::string fold_case(std::string_view text);
// The registry's order of subkey names: negative when a enumerates before b.
int compare_subkey_names(const std::string &a, const std::string &b);
// Whether the driver's list would hold profiles stored under these names (in
// Store order) in that same order.
bool driver_order_matches(const std::vector<std::string> &subkeys);

// The store as registry keys rooted at kLayoutKey: the Layout key with
// "Default_Profil", then one subkey a profile in the registry's enumeration
// order, each with "Profil_Id", "Profil_Name", "DeadZone" and its binds.
// subkeys[i], when given and not empty, names profile i's subkey instead of
// default_subkey_name. Ids and dead zones are written sign-extended to 32 bits.
regfile::Document compile(const Store &store, const std::vector<std::string> &subkeys = {});
// The same document preceded by the removal of the old Layout key, so that
// importing it replaces the store rather than merging into it.
regfile::Document replacing(regfile::Document document);

struct Decompiled {
    Store store;                      // what the driver would load, in its list order
    std::vector<std::string> subkeys; // per profile: its subkey when compile would not choose it, else ""
    std::vector<Diagnostic> diagnostics;
};

// What the driver would load from the Layout key of a document (after the
// document's sections are applied in order): the subkeys it would skip, the
// values it would ignore, only the low 16 bits of dwords, names cut to 49
// units, binds padded or cut to 34 bytes, all reported as notes or warnings.
// compile(decompile(compile(s)).store, .subkeys) == compile(s).
Decompiled decompile(const regfile::Document &document, const std::string &source_name = "");

} // namespace mivo::profile
