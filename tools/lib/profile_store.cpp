#include "tools/lib/profile_store.h"

#include <algorithm>
#include <map>

#include "platform/sim/registry.h"
#include "profiles/profiles.h"
#include "tools/lib/profile_names.h"

namespace mivo::profile {

namespace {

using regfile::Value;

std::string padded(size_t number, size_t count)
{
    std::string digits = std::to_string(number);
    size_t width = std::max<size_t>(2, std::to_string(count).size());
    return std::string(width > digits.size() ? width - digits.size() : 0, '0') + digits;
}

Value dword_value(const std::string &name, int32_t v)
{
    uint32_t u = uint32_t(v);
    return Value{name, regfile::kRegDword, {uint8_t(u), uint8_t(u >> 8), uint8_t(u >> 16), uint8_t(u >> 24)}};
}

Value string_value(const std::string &name, const std::string &text)
{
    return Value{name, regfile::kRegSz, sim::reg_string_data(text)};
}

// The registry as importing the document leaves it, for the keys that matter.
struct Node {
    std::string path;
    std::vector<Value> values;
    int line = 0;
};

class Tree {
public:
    void apply(const regfile::Document &document)
    {
        for (const regfile::Key &key : document.keys) {
            std::string folded = fold_case(key.path);
            if (key.remove) {
                for (auto it = nodes_.begin(); it != nodes_.end();)
                    it = (it->first == folded || it->first.rfind(folded + "\\", 0) == 0) ? nodes_.erase(it) : ++it;
                continue;
            }
            // Parents come into being with their children.
            for (size_t cut = key.path.find('\\'); cut != std::string::npos; cut = key.path.find('\\', cut + 1))
                touch(key.path.substr(0, cut), key.line);
            Node &node = touch(key.path, key.line);
            for (const Value &v : key.values) {
                auto same = [&](const Value &w) { return fold_case(w.name) == fold_case(v.name); };
                auto it = std::find_if(node.values.begin(), node.values.end(), same);
                if (v.remove) {
                    if (it != node.values.end())
                        node.values.erase(it);
                } else if (it != node.values.end()) {
                    it->type = v.type, it->data = v.data, it->line = v.line;
                } else {
                    node.values.push_back(v);
                }
            }
        }
    }

    const Node *find(std::string_view path) const
    {
        auto it = nodes_.find(fold_case(path));
        return it == nodes_.end() ? nullptr : &it->second;
    }

    // Direct subkeys of a key, by their own names.
    std::vector<std::pair<std::string, const Node *>> children(std::string_view path) const
    {
        std::string prefix = fold_case(path) + "\\";
        std::vector<std::pair<std::string, const Node *>> out;
        for (auto &[folded, node] : nodes_)
            if (folded.rfind(prefix, 0) == 0 && folded.find('\\', prefix.size()) == std::string::npos)
                out.push_back({node.path.substr(prefix.size()), &node});
        return out;
    }

private:
    Node &touch(const std::string &path, int line)
    {
        auto [it, fresh] = nodes_.try_emplace(fold_case(path));
        if (fresh)
            it->second.path = path, it->second.line = line;
        return it->second;
    }

    std::map<std::string, Node> nodes_;
};

const Value *value_of(const Node &node, std::string_view name)
{
    for (const Value &v : node.values)
        if (fold_case(v.name) == fold_case(name))
            return &v;
    return nullptr;
}

// A value as the driver's dword reader takes it: only a 4-byte REG_DWORD.
std::optional<uint32_t> dword_of(const Value *v)
{
    if (v == nullptr || v->type != regfile::kRegDword || v->data.size() != 4)
        return std::nullopt;
    return uint32_t(v->data[0]) | uint32_t(v->data[1]) << 8 | uint32_t(v->data[2]) << 16 | uint32_t(v->data[3]) << 24;
}

} // namespace

std::string fold_case(std::string_view text)
{
    return utf16_to_utf8(sim::reg_fold_name(text));
}

std::string default_subkey_name(size_t position, size_t count)
{
    return std::string(kSubkeyPrefix) + padded(count - position, count);
}

std::vector<std::string> subkey_names_for(const std::vector<ProfileFile> &files)
{
    std::vector<std::string> out;
    for (size_t n = 0; n < files.size(); n++)
        out.push_back(files[n].store_key.empty() ? default_subkey_name(n, files.size()) : files[n].store_key);
    return out;
}

int compare_subkey_names(const std::string &a, const std::string &b)
{
    std::u16string x = sim::reg_fold_name(a), y = sim::reg_fold_name(b);
    return x < y ? -1 : x > y ? 1 : 0;
}

bool driver_order_matches(const std::vector<std::string> &subkeys)
{
    // Enumerated in ascending order and pushed at the head: the list is the
    // names in descending order.
    for (size_t n = 1; n < subkeys.size(); n++)
        if (compare_subkey_names(subkeys[n - 1], subkeys[n]) <= 0)
            return false;
    return true;
}

regfile::Document compile(const Store &store, const std::vector<std::string> &subkeys)
{
    regfile::Document doc;
    regfile::Key root;
    root.path = std::string(kLayoutKey);
    root.values.push_back(dword_value("Default_Profil", store.default_id));
    doc.keys.push_back(root);

    size_t count = store.profiles.size();
    std::vector<std::pair<std::string, const Profile *>> keys;
    for (size_t n = 0; n < count; n++) {
        bool named = n < subkeys.size() && !subkeys[n].empty();
        keys.push_back({named ? subkeys[n] : default_subkey_name(n, count), &store.profiles[n]});
    }
    std::stable_sort(keys.begin(), keys.end(),
                     [](auto &a, auto &b) { return compare_subkey_names(a.first, b.first) < 0; });

    for (auto &[name, profile] : keys) {
        regfile::Key key;
        key.path = std::string(kLayoutKey) + "\\" + name;
        key.values.push_back(dword_value("Profil_Id", profile->id));
        key.values.push_back(string_value("Profil_Name", profile->name));
        key.values.push_back(dword_value("DeadZone", profile->dead_zone));
        for (size_t n = profile->binds.size(); n-- > 0;) {
            const auto &bytes = profile->binds[n].bytes;
            key.values.push_back(Value{std::string(kBindPrefix) + padded(n + 1, profile->binds.size()),
                                       regfile::kRegBinary, std::vector<uint8_t>(bytes.begin(), bytes.end())});
        }
        doc.keys.push_back(std::move(key));
    }
    return doc;
}

regfile::Document replacing(regfile::Document document)
{
    regfile::Key removal;
    removal.path = std::string(kLayoutKey);
    removal.remove = true;
    document.keys.insert(document.keys.begin(), removal);
    return document;
}

Decompiled decompile(const regfile::Document &document, const std::string &source_name)
{
    Decompiled out;
    auto say = [&](Severity s, int line, std::string m) {
        out.diagnostics.push_back({s, SourcePos{source_name, line, 0}, std::move(m)});
    };
    Tree tree;
    tree.apply(document);
    const Node *root = tree.find(kLayoutKey);
    if (root == nullptr) {
        say(Severity::Error, 0, "no profile store here: no key " + std::string(kLayoutKey));
        return out;
    }

    const Value *def = value_of(*root, "Default_Profil");
    if (auto v = dword_of(def)) {
        out.store.default_id = int16_t(*v);
        if (int32_t(int16_t(*v)) != int32_t(*v))
            say(Severity::Note, def->line, "Default_Profil " + std::to_string(*v) + ": only its low 16 bits count");
    } else {
        say(def ? Severity::Warning : Severity::Note, def ? def->line : root->line,
            def ? "Default_Profil is not a 4-byte REG_DWORD: the driver takes 0" : "no Default_Profil: the driver takes 0");
    }

    auto children = tree.children(kLayoutKey);
    std::stable_sort(children.begin(), children.end(),
                     [](auto &a, auto &b) { return compare_subkey_names(a.first, b.first) < 0; });
    std::vector<std::pair<std::string, Profile>> loaded; // in enumeration order
    std::map<int16_t, std::string> ids = {{int16_t(BASE_PROFIL_ID), "the base profile"}};
    for (auto &[name, node] : children) {
        int line = node->line;
        if (name.rfind(kSubkeyPrefix, 0) != 0) {
            say(Severity::Note, line, "subkey \"" + name + "\" is not a profile: the driver loads only \"Layout - ...\"");
            continue;
        }
        if (utf16_units(name) > kMaxRegistryName) {
            say(Severity::Warning, line, "subkey name longer than 127 characters: the driver skips it");
            continue;
        }
        const Value *id_value = value_of(*node, "Profil_Id");
        auto id = dword_of(id_value);
        if (!id) {
            say(Severity::Warning, line, "\"" + name + "\" has no 4-byte REG_DWORD Profil_Id: the driver skips it");
            continue;
        }
        Profile p;
        p.id = int16_t(*id);
        p.where = SourcePos{source_name, line, 0};
        if (auto [it, fresh] = ids.emplace(p.id, "\"" + name + "\""); !fresh) {
            say(Severity::Warning, line, "\"" + name + "\" repeats profile id " + std::to_string(p.id) + " of " +
                                             it->second + ": the driver skips it");
            continue;
        }
        if (int32_t(p.id) != int32_t(*id))
            say(Severity::Note, id_value->line, "Profil_Id " + std::to_string(*id) + ": only its low 16 bits count");

        if (const Value *v = value_of(*node, "Profil_Name"); v && v->type == regfile::kRegSz) {
            std::u16string units;
            for (size_t n = 0; n + 1 < v->data.size(); n += 2)
                units += char16_t(v->data[n] | v->data[n + 1] << 8);
            units = units.substr(0, units.find(u'\0'));
            if (units.size() > PROFIL_NAME_CHARS - 1) {
                say(Severity::Note, v->line, "Profil_Name is cut to the 49 units the driver keeps");
                units.resize(PROFIL_NAME_CHARS - 1);
            }
            p.name = utf16_to_utf8(units);
        } else if (v != nullptr) {
            say(Severity::Note, v->line, "Profil_Name is not a REG_SZ: the driver keeps an empty name");
        }
        const Value *dz = value_of(*node, "DeadZone");
        if (auto v = dword_of(dz)) {
            p.dead_zone = int16_t(*v);
            if (int32_t(p.dead_zone) != int32_t(*v))
                say(Severity::Note, dz->line, "DeadZone " + std::to_string(*v) + ": only its low 16 bits count");
        } else if (dz != nullptr) {
            say(Severity::Note, dz->line, "DeadZone is not a 4-byte REG_DWORD: the driver takes 0");
        }

        std::vector<const Value *> bind_values;
        for (const Value &v : node->values) {
            bool bind_name = v.name.rfind(kBindPrefix, 0) == 0;
            if (bind_name && v.type == regfile::kRegBinary && utf16_units(v.name) <= kMaxRegistryName) {
                bind_values.push_back(&v);
                if (v.data.size() != kBindBytes)
                    say(Severity::Note, v.line, "\"" + v.name + "\" holds " + std::to_string(v.data.size()) +
                                                    " bytes: the driver reads 34, " +
                                                    (v.data.size() < kBindBytes ? "the rest as 0" : "the rest is ignored"));
            } else if (bind_name) {
                say(Severity::Warning, v.line, "\"" + v.name + "\" is not a bind the driver reads (" +
                                                   (v.type == regfile::kRegBinary ? "name too long" : "not REG_BINARY") +
                                                   "): ignored");
            } else if (fold_case(v.name) != "PROFIL_ID" && fold_case(v.name) != "PROFIL_NAME" &&
                       fold_case(v.name) != "DEADZONE") {
                say(Severity::Note, v.line, "value \"" + v.name + "\" is not read by the driver");
            }
        }
        // Each bind is pushed at the head: the last value written is the first bind.
        bool renamed = false;
        for (size_t n = bind_values.size(); n-- > 0;) {
            Bind bind;
            const Value &v = *bind_values[n];
            std::copy_n(v.data.begin(), std::min(v.data.size(), kBindBytes), bind.bytes.begin());
            bind.where = SourcePos{source_name, v.line, 0};
            size_t position = p.binds.size();
            renamed = renamed || v.name != std::string(kBindPrefix) + padded(position + 1, bind_values.size());
            p.binds.push_back(bind);
        }
        if (renamed)
            say(Severity::Note, line, "\"" + name + "\": compile names the binds \"Bind - NN\" by list position, "
                                      "not as here (the driver does not read the names)");
        loaded.push_back({name, std::move(p)});
    }

    // Each profile is pushed at the head too: the last subkey enumerated is first.
    size_t count = loaded.size();
    for (size_t n = 0; n < count; n++) {
        auto &[name, profile] = loaded[count - 1 - n];
        out.subkeys.push_back(name == default_subkey_name(n, count) ? "" : name);
        out.store.profiles.push_back(std::move(profile));
    }
    return out;
}

} // namespace mivo::profile
