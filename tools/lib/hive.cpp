// Hive files through libhivex (hive.h). libhivex reads and edits hives but
// cannot start one, so a new hive begins as the smallest one Windows itself
// would load: a base block, one bin, a root key and its security cell.

#include "tools/lib/hive.h"

#include <hivex.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <utility>
#include <vector>

namespace mivo::hive {

namespace {

using regfile::Document;
using regfile::Key;
using regfile::Value;

// ---------------------------------------------------------------- paths
std::string upper_ascii(std::string_view s) {
    std::string out(s);
    for (char &c : out) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 0x20);
    }
    return out;
}

bool starts_nocase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && upper_ascii(s.substr(0, prefix.size())) == upper_ascii(prefix);
}

// A key path in either form (\Registry\Machine\..., HKLM\...) in regedit form,
// without a trailing backslash.
std::string regedit_form(std::string_view path) {
    static const std::pair<std::string_view, std::string_view> roots[] = {
        {"\\Registry\\Machine", "HKEY_LOCAL_MACHINE"}, {"\\Registry\\User", "HKEY_USERS"},
        {"HKEY_LOCAL_MACHINE", "HKEY_LOCAL_MACHINE"},  {"HKLM", "HKEY_LOCAL_MACHINE"},
        {"HKEY_USERS", "HKEY_USERS"},                  {"HKU", "HKEY_USERS"},
    };
    while (path.size() > 1 && path.back() == '\\')
        path.remove_suffix(1);
    for (auto [from, to] : roots) {
        if (starts_nocase(path, from) && (path.size() == from.size() || path[from.size()] == '\\'))
            return std::string(to) + std::string(path.substr(from.size()));
    }
    return std::string(path);
}

size_t depth_of(std::string_view path) {
    size_t n = 0;
    for (char c : path)
        n += c == '\\';
    return n;
}

[[noreturn]] void fail(const std::string &file, const std::string &what, int error = 0) {
    std::string message = file + ": " + what;
    if (error)
        message += std::string(": ") + std::strerror(error);
    throw HiveError(message);
}

struct HiveCloser {
    void operator()(hive_h *h) const { hivex_close(h); }
};
using Hive = std::unique_ptr<hive_h, HiveCloser>;

// libhivex hands out malloc'd results.
struct Freer {
    void operator()(void *p) const { std::free(p); }
};
template <typename T> using Owned = std::unique_ptr<T, Freer>;

// ---------------------------------------------------------------- an empty hive
void put16(std::vector<uint8_t> &b, size_t at, uint16_t v) { std::memcpy(&b[at], &v, 2); }
void put32(std::vector<uint8_t> &b, size_t at, uint32_t v) { std::memcpy(&b[at], &v, 4); }
// Byte by byte: GCC 12 at -O3 reports a false -Warray-bounds on vector::insert
// into these small vectors of known size.
void append(std::vector<uint8_t> &to, const std::vector<uint8_t> &from) {
    for (uint8_t b : from)
        to.push_back(b);
}

// The root key's security: owner Administrators, group SYSTEM, and a DACL
// giving both full access, inherited by subkeys (libhivex gives each new key
// its parent's security cell).
std::vector<uint8_t> security_descriptor() {
    const std::vector<uint8_t> system = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};                       // S-1-5-18
    const std::vector<uint8_t> admins = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 0x02, 0, 0}; // S-1-5-32-544
    auto ace = [](const std::vector<uint8_t> &sid) {
        std::vector<uint8_t> a(8);
        a[0] = 0;    // ACCESS_ALLOWED_ACE_TYPE
        a[1] = 0x02; // CONTAINER_INHERIT_ACE
        put16(a, 2, static_cast<uint16_t>(8 + sid.size()));
        put32(a, 4, 0xF003F); // KEY_ALL_ACCESS
        append(a, sid);
        return a;
    };
    std::vector<uint8_t> a1 = ace(system), a2 = ace(admins);
    std::vector<uint8_t> acl(8);
    acl[0] = 2; // ACL_REVISION
    put16(acl, 2, static_cast<uint16_t>(8 + a1.size() + a2.size()));
    put16(acl, 4, 2);
    append(acl, a1);
    append(acl, a2);

    std::vector<uint8_t> sd(20);
    sd[0] = 1;                          // revision
    put16(sd, 2, 0x8004);               // SE_SELF_RELATIVE | SE_DACL_PRESENT
    put32(sd, 4, 20);                   // owner
    put32(sd, 8, 20 + uint32_t(admins.size())); // group
    put32(sd, 16, 20 + uint32_t(admins.size() + system.size())); // DACL
    append(sd, admins);
    append(sd, system);
    append(sd, acl);
    return sd;
}

size_t align8(size_t n) { return (n + 7) & ~size_t(7); }

std::vector<uint8_t> empty_hive(std::string_view root_name) {
    constexpr size_t kBase = 0x1000, kBin = 0x1000, kBinHeader = 0x20;
    std::vector<uint8_t> f(kBase + kBin, 0);

    // Base block.
    std::memcpy(&f[0], "regf", 4);
    put32(f, 0x04, 1);     // primary sequence number
    put32(f, 0x08, 1);     // secondary: equal, so the hive was written whole
    put32(f, 0x14, 1);     // major version
    put32(f, 0x18, 5);     // minor version
    put32(f, 0x1C, 0);     // primary file
    put32(f, 0x20, 1);     // direct memory load
    put32(f, 0x24, kBinHeader); // root cell, from the first bin
    put32(f, 0x28, kBin);  // size of the bins
    put32(f, 0x2C, 1);     // clustering factor
    uint32_t sum = 0;
    for (size_t i = 0; i < 0x1FC; i += 4) {
        uint32_t d;
        std::memcpy(&d, &f[i], 4);
        sum ^= d;
    }
    put32(f, 0x1FC, sum);

    // One bin.
    std::memcpy(&f[kBase], "hbin", 4);
    put32(f, kBase + 0x04, 0);
    put32(f, kBase + 0x08, kBin);

    // The root key. A cell's size is negative while it is in use.
    const size_t nk = kBinHeader;
    const size_t nk_size = align8(0x50 + root_name.size());
    const size_t sk = nk + nk_size;
    std::vector<uint8_t> sd = security_descriptor();
    const size_t sk_size = align8(0x18 + sd.size());
    put32(f, kBase + nk, static_cast<uint32_t>(-static_cast<int32_t>(nk_size)));
    std::memcpy(&f[kBase + nk + 0x04], "nk", 2);
    put16(f, kBase + nk + 0x06, 0x2C); // KEY_HIVE_ENTRY | KEY_NO_DELETE | KEY_COMP_NAME
    put32(f, kBase + nk + 0x20, 0xFFFFFFFF); // no subkeys
    put32(f, kBase + nk + 0x24, 0xFFFFFFFF); // no volatile subkeys
    put32(f, kBase + nk + 0x2C, 0xFFFFFFFF); // no values
    put32(f, kBase + nk + 0x30, static_cast<uint32_t>(sk));
    put32(f, kBase + nk + 0x34, 0xFFFFFFFF); // no class name
    put16(f, kBase + nk + 0x4C, static_cast<uint16_t>(root_name.size()));
    std::memcpy(&f[kBase + nk + 0x50], root_name.data(), root_name.size());

    put32(f, kBase + sk, static_cast<uint32_t>(-static_cast<int32_t>(sk_size)));
    std::memcpy(&f[kBase + sk + 0x04], "sk", 2);
    put32(f, kBase + sk + 0x08, static_cast<uint32_t>(sk)); // the only one: linked to itself
    put32(f, kBase + sk + 0x0C, static_cast<uint32_t>(sk));
    put32(f, kBase + sk + 0x10, 1);
    put32(f, kBase + sk + 0x14, static_cast<uint32_t>(sd.size()));
    std::memcpy(&f[kBase + sk + 0x18], sd.data(), sd.size());

    // The rest of the bin is one free cell.
    const size_t free_cell = sk + sk_size;
    put32(f, kBase + free_cell, static_cast<uint32_t>(kBin - free_cell));
    return f;
}

// Folded for matching names as the registry does for the names a store uses.
std::string key_of(std::string_view name) { return upper_ascii(name); }

} // namespace

// ---------------------------------------------------------------- public
Document read(const std::string &file, std::string_view mount_path) {
    const std::string mount = regedit_form(mount_path);
    errno = 0;
    Hive h(hivex_open(file.c_str(), 0));
    if (!h)
        fail(file, "cannot open as a hive", errno);
    hive_node_h root = hivex_root(h.get());
    if (!root)
        fail(file, "no root key", errno);

    Document doc;
    struct Pending {
        hive_node_h node;
        std::string path;
    };
    // Depth first by an explicit stack; each key at most once, so a damaged
    // hive whose lists loop back cannot keep the walk going.
    std::vector<Pending> stack{{root, mount}};
    std::set<hive_node_h> seen{root};
    while (!stack.empty()) {
        Pending p = std::move(stack.back());
        stack.pop_back();
        if (depth_of(p.path) > regfile::kMaxKeyDepth)
            fail(file, "a key deeper than " + std::to_string(regfile::kMaxKeyDepth) + " levels");
        Key key;
        key.path = p.path;

        errno = 0;
        Owned<hive_value_h> values(hivex_node_values(h.get(), p.node));
        if (!values)
            fail(file, "unreadable values under " + p.path, errno);
        for (hive_value_h *v = values.get(); *v; v++) {
            Owned<char> name(hivex_value_key(h.get(), *v));
            hive_type type;
            size_t length = 0;
            Owned<char> data(hivex_value_value(h.get(), *v, &type, &length));
            if (!name || !data)
                fail(file, "an unreadable value under " + p.path, errno);
            Value value;
            value.name = name.get();
            value.type = static_cast<uint32_t>(type);
            value.data.assign(data.get(), data.get() + length);
            key.values.push_back(std::move(value));
        }

        errno = 0;
        Owned<hive_node_h> children(hivex_node_children(h.get(), p.node));
        if (!children)
            fail(file, "unreadable subkeys under " + p.path, errno);
        size_t count = 0;
        while (children.get()[count])
            count++;
        for (size_t i = count; i-- > 0;) {
            hive_node_h child = children.get()[i];
            Owned<char> name(hivex_node_name(h.get(), child));
            if (!name)
                fail(file, "an unreadable key name under " + p.path, errno);
            if (!seen.insert(child).second)
                fail(file, "a key listed twice under " + p.path);
            stack.push_back({child, p.path + "\\" + name.get()});
        }
        doc.keys.push_back(std::move(key));
    }
    return doc;
}

void write(const std::string &file, const Document &document, std::string_view root_path) {
    const std::string root = regedit_form(root_path);
    const std::string root_key = key_of(root);

    // Checked whole before the file is touched.
    for (const Key &k : document.keys) {
        std::string at = key_of(regedit_form(k.path));
        if (at != root_key && (at.size() <= root_key.size() || at.compare(0, root_key.size(), root_key) != 0 ||
                               at[root_key.size()] != '\\'))
            throw HiveError(file + ": key " + k.path + " is not under " + root);
        if (k.remove)
            throw HiveError(file + ": a hive holds no removal, as [-" + k.path + "] asks");
        for (const Value &v : k.values) {
            if (v.remove)
                throw HiveError(file + ": a hive holds no removal, as \"" + v.name + "\"=- under " + k.path + " asks");
        }
    }

    std::string root_name = root.substr(root.rfind('\\') + 1);
    for (char c : root_name) {
        if (static_cast<unsigned char>(c) >= 0x80)
            root_name = "ROOT"; // a compressed name holds Latin-1 only; the name is not what a mount uses
    }
    {
        std::vector<uint8_t> bytes = empty_hive(root_name);
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out)
            fail(file, "cannot write", errno);
    }
    auto fail_and_remove = [&](const std::string &what, int error) {
        std::remove(file.c_str());
        fail(file, what, error);
    };

    errno = 0;
    Hive h(hivex_open(file.c_str(), HIVEX_OPEN_WRITE));
    if (!h)
        fail_and_remove("cannot open the new hive", errno);

    // Keys by folded path below the root; values of each, later sections
    // replacing earlier values of the same name, as an import would.
    std::map<std::string, hive_node_h> nodes{{root_key, hivex_root(h.get())}};
    std::map<hive_node_h, std::vector<Value>> values;
    for (const Key &k : document.keys) {
        std::string path = regedit_form(k.path);
        std::string folded_path = key_of(path);
        hive_node_h node = nodes[root_key];
        size_t pos = root.size();
        while (pos < path.size()) {
            size_t end = std::min(path.find('\\', pos + 1), path.size());
            std::string name = path.substr(pos + 1, end - pos - 1);
            std::string at = folded_path.substr(0, end);
            auto it = nodes.find(at);
            if (it == nodes.end()) {
                errno = 0;
                hive_node_h child = hivex_node_add_child(h.get(), node, name.c_str());
                if (!child)
                    fail_and_remove("cannot add the key " + path.substr(0, end), errno);
                it = nodes.emplace(at, child).first;
            }
            node = it->second;
            pos = end;
        }
        std::vector<Value> &list = values[node];
        for (const Value &v : k.values) {
            auto same = std::find_if(list.begin(), list.end(),
                                     [&](const Value &o) { return key_of(o.name) == key_of(v.name); });
            if (same != list.end())
                *same = v;
            else
                list.push_back(v);
        }
    }
    for (auto &[node, list] : values) {
        std::vector<std::string> names;
        std::vector<hive_set_value> set;
        names.reserve(list.size());
        for (Value &v : list) {
            names.push_back(v.name);
            set.push_back({names.back().data(), static_cast<hive_type>(v.type), v.data.size(),
                           reinterpret_cast<char *>(v.data.data())});
        }
        errno = 0;
        if (hivex_node_set_values(h.get(), node, set.size(), set.data(), 0) != 0)
            fail_and_remove("cannot set the values of a key", errno);
    }
    errno = 0;
    if (hivex_commit(h.get(), nullptr, 0) != 0)
        fail_and_remove("cannot write", errno);
}

bool looks_like_hive(std::string_view first_bytes) { return first_bytes.substr(0, 4) == "regf"; }

Document read_store_file(const std::string &file, std::string_view mount_path) {
    char start[4] = {};
    std::ifstream in(file, std::ios::binary);
    in.read(start, sizeof start);
    if (looks_like_hive(std::string_view(start, static_cast<size_t>(in.gcount()))))
        return read(file, mount_path);
    return regfile::read_file(file);
}

} // namespace mivo::hive
