// The simulated configuration registry: a key/value tree under \Registry,
// indexed as a hive indexes it, and the Zw routines that serve it to the
// driver (registry.h). Registry files are read and written by the tools'
// library, through the editing calls here.

#include "platform/sim/registry.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "platform/sim/internal.h"

#ifndef STATUS_OBJECT_NAME_INVALID
#define STATUS_OBJECT_NAME_INVALID ((NTSTATUS)0xC0000033L)
#endif
#ifndef STATUS_OBJECT_PATH_SYNTAX_BAD
#define STATUS_OBJECT_PATH_SYNTAX_BAD ((NTSTATUS)0xC000003BL)
#endif

namespace sim {

namespace {

// ---------------------------------------------------------------- text helpers

std::u16string to_utf16(std::string_view s) { return sim::utf8_to_utf16(s); }

std::string to_utf8(std::u16string_view s) { return sim::utf16_to_utf8(s); }

// The registry compares names by upper-casing UTF-16 units. This covers the
// alphabets a profile name is likely to use; other units compare as they are.
char16_t fold(char16_t c) {
    if (c >= u'a' && c <= u'z')
        return static_cast<char16_t>(c - 0x20);
    if ((c >= 0xE0 && c <= 0xFE && c != 0xF7) || (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) ||
        (c >= 0x430 && c <= 0x44F))
        return static_cast<char16_t>(c - 0x20);
    if (c >= 0x450 && c <= 0x45F)
        return static_cast<char16_t>(c - 0x50);
    return c;
}

bool same_name(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++) {
        if (fold(a[i]) != fold(b[i]))
            return false;
    }
    return true;
}

std::vector<uint8_t> utf16_bytes(std::u16string_view s, bool with_nul) {
    std::vector<uint8_t> out;
    for (char16_t c : s) {
        out.push_back(static_cast<uint8_t>(c & 0xFF));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    if (with_nul) {
        out.push_back(0);
        out.push_back(0);
    }
    return out;
}

// ---------------------------------------------------------------- the tree
struct Value {
    std::u16string name;
    uint32_t type = REG_NONE;
    std::vector<uint8_t> data;
};

std::u16string folded(std::u16string_view name) {
    std::u16string out(name);
    for (char16_t &c : out)
        c = fold(c);
    return out;
}

// The folded form of a name to look up, in a buffer the thread keeps, so that
// a lookup allocates nothing once the buffer has grown to the longest name.
// Valid until the thread's next lookup.
const std::u16string &lookup_key(std::u16string_view name) {
    thread_local std::u16string key;
    key.assign(name);
    for (char16_t &c : key)
        c = fold(c);
    return key;
}

struct Key {
    Key() = default;
    Key(const Key &) = delete;
    Key &operator=(const Key &) = delete;
    ~Key();

    std::u16string name;
    Key *parent = nullptr; // none for \Registry and for deleted keys
    // Subkeys by folded name: a hive's index order, which is the order
    // ZwEnumerateKey reports, whatever order they were created in.
    std::map<std::u16string, std::shared_ptr<Key>> subkeys;
    // The index flattened for enumeration by position; rebuilt after a change
    // rather than kept up on every insert.
    mutable std::vector<Key *> by_position;
    mutable bool by_position_stale = true;
    std::vector<Value> values;                            // in write order
    std::unordered_map<std::u16string, size_t> value_at; // folded name -> index in values
    bool deleted = false;
};

// Both take the subkeys out of the way before a key goes, so that tearing
// down a tree thousands of levels deep costs no stack.
void detach_subkeys(Key &k, std::vector<std::shared_ptr<Key>> &pending) {
    for (auto &[name, s] : k.subkeys)
        pending.push_back(std::move(s));
    k.subkeys.clear();
    k.by_position.clear();
    k.by_position_stale = true;
}

Key::~Key() {
    std::vector<std::shared_ptr<Key>> pending;
    detach_subkeys(*this, pending);
    while (!pending.empty()) {
        std::shared_ptr<Key> k = std::move(pending.back());
        pending.pop_back();
        detach_subkeys(*k, pending);
    }
}

Key *subkey_at(const Key &k, size_t index) {
    if (k.by_position_stale) {
        k.by_position.clear();
        k.by_position.reserve(k.subkeys.size());
        for (auto &[name, s] : k.subkeys)
            k.by_position.push_back(s.get());
        k.by_position_stale = false;
    }
    return index < k.by_position.size() ? k.by_position[index] : nullptr;
}

struct OpenKey {
    std::shared_ptr<Key> key;
    std::string path; // as opened, for the leak report
};

constexpr size_t kMaxDepth = 512; // keys below a hive, as Windows allows

struct Registry {
    std::mutex lock;
    std::shared_ptr<Key> root;
    size_t depth_limit = kMaxDepth;
    // Objects behind the handle table's RegistryKey handles. Owned here, so
    // that a reset frees them whether or not the handle table closes first.
    std::map<void *, std::unique_ptr<OpenKey>> open;
};

std::shared_ptr<Key> new_key(std::u16string name, Key *parent) {
    auto k = std::make_shared<Key>();
    k->name = std::move(name);
    k->parent = parent;
    return k;
}

void add_subkey(Key &parent, std::shared_ptr<Key> k) {
    parent.subkeys.emplace(folded(k->name), std::move(k));
    parent.by_position_stale = true;
}

void reset_tree(Registry &r) {
    r.root = new_key(u"Registry", nullptr);
    add_subkey(*r.root, new_key(u"Machine", r.root.get()));
    add_subkey(*r.root, new_key(u"User", r.root.get()));
}

Registry &registry() {
    static Registry r;
    static std::once_flag once;
    std::call_once(once, [] {
        std::lock_guard<std::mutex> guard(r.lock);
        reset_tree(r);
    });
    return r;
}

// The simulated Zw routines hold the same IRQL contract as the real ones.
void require_passive(const char *routine) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        sim::report_problem(std::string(routine) + " above PASSIVE_LEVEL");
}

std::shared_ptr<Key> find_subkey_shared(const Key &k, std::u16string_view name) {
    auto it = k.subkeys.find(lookup_key(name));
    return it == k.subkeys.end() ? nullptr : it->second;
}

Key *find_subkey(const Key &k, std::u16string_view name) {
    auto it = k.subkeys.find(lookup_key(name));
    return it == k.subkeys.end() ? nullptr : it->second.get();
}

Value *find_value(Key &k, std::u16string_view name) {
    auto it = k.value_at.find(lookup_key(name));
    return it == k.value_at.end() ? nullptr : &k.values[it->second];
}

void mark_deleted(Key &top) {
    std::vector<Key *> pending{&top};
    while (!pending.empty()) {
        Key *k = pending.back();
        pending.pop_back();
        k->deleted = true;
        k->parent = nullptr;
        for (auto &[name, s] : k->subkeys)
            pending.push_back(s.get());
    }
}

std::vector<const Key *> chain_from_root(const Key &k) {
    std::vector<const Key *> chain;
    for (const Key *c = &k; c; c = c->parent)
        chain.push_back(c);
    return {chain.rbegin(), chain.rend()};
}

std::string kernel_path(const Key &k) {
    std::u16string p;
    for (const Key *c : chain_from_root(k))
        p += u"\\" + c->name;
    return to_utf8(p);
}

// A test-facing path, either form, as the components below \Registry.
// Throws std::invalid_argument for a path outside the two hives.
std::vector<std::u16string> parse_path(std::string_view path) {
    std::u16string p = to_utf16(path);
    std::vector<std::u16string> parts;
    size_t start = 0;
    while (start <= p.size()) {
        size_t end = p.find(u'\\', start);
        if (end == std::u16string::npos)
            end = p.size();
        parts.push_back(p.substr(start, end - start));
        start = end + 1;
    }
    std::string shown(path.substr(0, 80));
    // "\Registry\..." splits into "", "Registry", ...
    if (!parts.empty() && parts.front().empty()) {
        parts.erase(parts.begin());
        if (parts.empty() || !same_name(parts.front(), u"Registry"))
            throw std::invalid_argument("registry path outside \\Registry: " + shown);
        parts.erase(parts.begin());
    } else if (!parts.empty()) {
        if (same_name(parts.front(), u"HKEY_LOCAL_MACHINE") || same_name(parts.front(), u"HKLM"))
            parts.front() = u"Machine";
        else if (same_name(parts.front(), u"HKEY_USERS") || same_name(parts.front(), u"HKU"))
            parts.front() = u"User";
        else
            throw std::invalid_argument("unsupported registry root: " + shown);
    }
    if (!parts.empty() && parts.back().empty())
        parts.pop_back(); // one trailing backslash
    for (auto &c : parts) {
        if (c.empty())
            throw std::invalid_argument("empty key name in registry path: " + shown);
    }
    if (parts.empty())
        throw std::invalid_argument("registry path names no hive: " + shown);
    return parts;
}

Key *walk(Registry &r, const std::vector<std::u16string> &parts) {
    Key *k = r.root.get();
    for (auto &c : parts) {
        k = find_subkey(*k, c);
        if (!k)
            return nullptr;
    }
    return k;
}

Key *walk_create(Registry &r, const std::vector<std::u16string> &parts) {
    if (parts.size() - 1 > r.depth_limit)
        throw std::invalid_argument("registry key " + std::to_string(parts.size() - 1) +
                                    " levels below its hive; at most " + std::to_string(r.depth_limit) +
                                    " are allowed");
    Key *k = r.root.get();
    for (size_t i = 0; i < parts.size(); i++) {
        Key *s = find_subkey(*k, parts[i]);
        if (!s) {
            if (i == 0)
                throw std::invalid_argument("no such hive: " + to_utf8(parts[0]));
            auto created = new_key(parts[i], k);
            s = created.get();
            add_subkey(*k, std::move(created));
        }
        k = s;
    }
    return k;
}

bool delete_key_locked(Registry &r, const std::vector<std::u16string> &parts) {
    if (parts.size() < 2)
        throw std::invalid_argument("a hive cannot be deleted");
    std::vector<std::u16string> parent_parts(parts.begin(), parts.end() - 1);
    Key *parent = walk(r, parent_parts);
    if (!parent)
        return false;
    auto it = parent->subkeys.find(folded(parts.back()));
    if (it == parent->subkeys.end())
        return false;
    mark_deleted(*it->second);
    // An open handle may still hold the key; the subtree goes now either way.
    std::vector<std::shared_ptr<Key>> pending;
    detach_subkeys(*it->second, pending);
    parent->subkeys.erase(it);
    parent->by_position_stale = true;
    return true;
}

void set_value_locked(Key &k, std::u16string name, uint32_t type, std::vector<uint8_t> data) {
    if (Value *v = find_value(k, name)) {
        v->type = type;
        v->data = std::move(data);
        return;
    }
    k.value_at.emplace(folded(name), k.values.size());
    k.values.push_back(Value{std::move(name), type, std::move(data)});
}

bool delete_value_locked(Key &k, std::u16string_view name) {
    auto it = k.value_at.find(folded(name));
    if (it == k.value_at.end())
        return false;
    size_t gone = it->second;
    k.value_at.erase(it);
    k.values.erase(k.values.begin() + static_cast<std::ptrdiff_t>(gone));
    for (auto &[n, index] : k.value_at) {
        if (index > gone)
            index--;
    }
    return true;
}

// ---------------------------------------------------------------- handles
void close_key(void *object) {
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    r.open.erase(object);
}

// The key behind a handle, or the status to answer with.
NTSTATUS key_from_handle(Registry &r, HANDLE h, std::shared_ptr<Key> &out) {
    void *object = internal::handle_lookup(h, internal::HandleKind::RegistryKey);
    if (!object)
        return STATUS_INVALID_HANDLE;
    auto it = r.open.find(object);
    if (it == r.open.end())
        return STATUS_INVALID_HANDLE;
    if (it->second->key->deleted)
        return STATUS_KEY_DELETED;
    out = it->second->key;
    return STATUS_SUCCESS;
}

const internal::Registrar registrar(
    [] {
        Registry &r = registry();
        std::lock_guard<std::mutex> guard(r.lock);
        r.open.clear();
        reset_tree(r);
        r.depth_limit = kMaxDepth;
    },
    [](std::vector<std::string> &out) {
        Registry &r = registry();
        std::lock_guard<std::mutex> guard(r.lock);
        for (auto &[object, ok] : r.open)
            out.push_back("registry key handle never closed: " + ok->path);
    });

// ---------------------------------------------------------------- query replies
// A reply is a fixed part (head, `fixed` bytes) followed by a name or data
// (tail), written straight into the caller's buffer: a buffer that holds the
// fixed part gets as much of the tail as fits.
NTSTATUS deliver(const void *head, size_t fixed, const void *tail, size_t tail_size, PVOID buffer, ULONG length,
                 PULONG result_length) {
    if (!result_length || (!buffer && length))
        return STATUS_INVALID_PARAMETER;
    const size_t total = fixed + tail_size;
    *result_length = static_cast<ULONG>(total);
    if (length < fixed)
        return STATUS_BUFFER_TOO_SMALL;
    const size_t n = length >= total ? total : length;
    std::memcpy(buffer, head, fixed);
    if (n > fixed)
        std::memcpy(static_cast<uint8_t *>(buffer) + fixed, tail, n - fixed);
    return n < total ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

// Names are kept as UTF-16 units in host order, which is the little-endian
// order of the records.
static_assert(std::endian::native == std::endian::little, "the records' UTF-16 is the host's");

NTSTATUS key_basic(const Key &k, PVOID buffer, ULONG length, PULONG result_length) {
    KEY_BASIC_INFORMATION head{};
    head.NameLength = static_cast<ULONG>(k.name.size() * 2);
    return deliver(&head, offsetof(KEY_BASIC_INFORMATION, Name), k.name.data(), head.NameLength, buffer, length,
                   result_length);
}

NTSTATUS key_full(const Key &k, PVOID buffer, ULONG length, PULONG result_length) {
    // The record ends where Class begins: no class name is ever stored, and
    // a key without one has ClassOffset -1.
    constexpr size_t fixed = offsetof(KEY_FULL_INFORMATION, Class);
    ULONG max_name = 0, max_value_name = 0, max_value_data = 0;
    for (auto &[folded_name, s] : k.subkeys)
        max_name = std::max<ULONG>(max_name, static_cast<ULONG>(s->name.size() * 2));
    for (auto &v : k.values) {
        max_value_name = std::max<ULONG>(max_value_name, static_cast<ULONG>(v.name.size() * 2));
        max_value_data = std::max<ULONG>(max_value_data, static_cast<ULONG>(v.data.size()));
    }
    KEY_FULL_INFORMATION head{};
    head.ClassOffset = 0xFFFFFFFFu;
    head.SubKeys = static_cast<ULONG>(k.subkeys.size());
    head.MaxNameLen = max_name;
    head.Values = static_cast<ULONG>(k.values.size());
    head.MaxValueNameLen = max_value_name;
    head.MaxValueDataLen = max_value_data;
    return deliver(&head, fixed, nullptr, 0, buffer, length, result_length);
}

NTSTATUS value_info(const Value &v, KEY_VALUE_INFORMATION_CLASS cls, PVOID buffer, ULONG length,
                    PULONG result_length) {
    if (cls == KeyValueBasicInformation) {
        KEY_VALUE_BASIC_INFORMATION head{};
        head.Type = v.type;
        head.NameLength = static_cast<ULONG>(v.name.size() * 2);
        return deliver(&head, offsetof(KEY_VALUE_BASIC_INFORMATION, Name), v.name.data(), head.NameLength, buffer,
                       length, result_length);
    }
    if (cls == KeyValuePartialInformation) {
        KEY_VALUE_PARTIAL_INFORMATION head{};
        head.Type = v.type;
        head.DataLength = static_cast<ULONG>(v.data.size());
        return deliver(&head, offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data), v.data.data(), v.data.size(),
                       buffer, length, result_length);
    }
    return STATUS_INVALID_PARAMETER;
}

} // namespace
} // namespace sim

// ---------------------------------------------------------------- the Zw routines
using sim::Key;
using sim::Registry;

namespace sim {
namespace {

// ZwOpenKey and ZwCreateKey: the key an object name leads to, created as the
// last component when `create` asks for it (its parent must exist), and a
// handle to it.
NTSTATUS open_key(PHANDLE KeyHandle, POBJECT_ATTRIBUTES ObjectAttributes, bool create, PULONG disposition) {
    if (!KeyHandle || !ObjectAttributes || !ObjectAttributes->ObjectName)
        return STATUS_INVALID_PARAMETER;
    const UNICODE_STRING *name = ObjectAttributes->ObjectName;
    if (name->Length % 2 || name->Length > name->MaximumLength || (name->Length && !name->Buffer))
        return STATUS_INVALID_PARAMETER;
    std::u16string_view path(name->Buffer ? name->Buffer : u"", name->Length / 2);

    Registry &r = registry();
    auto object = std::make_unique<OpenKey>();
    bool created = false;
    {
        std::lock_guard<std::mutex> guard(r.lock);
        std::shared_ptr<Key> key;
        size_t depth = 0; // levels below \Registry
        if (ObjectAttributes->RootDirectory) {
            NTSTATUS status = key_from_handle(r, ObjectAttributes->RootDirectory, key);
            if (!NT_SUCCESS(status))
                return status;
            if (!path.empty() && path.front() == u'\\')
                return STATUS_OBJECT_PATH_SYNTAX_BAD;
            depth = chain_from_root(*key).size() - 1;
        } else {
            if (path.empty() || path.front() != u'\\')
                return STATUS_OBJECT_PATH_SYNTAX_BAD;
            path.remove_prefix(1);
            size_t end = path.find(u'\\');
            std::u16string_view first = path.substr(0, end);
            if (!same_name(first, u"Registry"))
                return STATUS_OBJECT_NAME_NOT_FOUND;
            path.remove_prefix(end == std::u16string_view::npos ? path.size() : end + 1);
            key = r.root;
        }
        // What is left: components separated by single backslashes, one
        // trailing backslash allowed (the driver opens "...\Layout\").
        while (!path.empty()) {
            size_t end = path.find(u'\\');
            std::u16string_view part = path.substr(0, end);
            if (part.empty())
                return STATUS_OBJECT_NAME_INVALID;
            path.remove_prefix(end == std::u16string_view::npos ? path.size() : end + 1);
            std::shared_ptr<Key> next = find_subkey_shared(*key, part);
            depth++;
            if (!next && create && path.empty()) {
                if (depth < 2) // \Registry itself holds only the hives
                    return STATUS_ACCESS_DENIED;
                if (depth - 1 > r.depth_limit)
                    return STATUS_INVALID_PARAMETER;
                next = new_key(std::u16string(part), key.get());
                add_subkey(*key, next);
                created = true;
            }
            if (!next)
                return STATUS_OBJECT_NAME_NOT_FOUND;
            key = std::move(next);
        }
        object->key = key;
        object->path = kernel_path(*key);
    }
    // The handle table is entered without this lock held: ZwClose calls back
    // into close_key, which takes it.
    void *raw = object.get();
    {
        std::lock_guard<std::mutex> guard(r.lock);
        r.open.emplace(raw, std::move(object));
    }
    HANDLE h = internal::handle_open(internal::HandleKind::RegistryKey, raw, close_key);
    if (!h) {
        close_key(raw);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *KeyHandle = h;
    if (disposition)
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return STATUS_SUCCESS;
}

// A value name as the Zw routines take it, or false when it is malformed.
bool value_name(PUNICODE_STRING ValueName, std::u16string_view &out) {
    if (!ValueName || ValueName->Length % 2 || (ValueName->Length && !ValueName->Buffer))
        return false;
    out = std::u16string_view(ValueName->Buffer ? ValueName->Buffer : u"", ValueName->Length / 2);
    return true;
}

// Runs `use` on the key behind a handle with the registry locked, or returns
// why the handle names no key.
template <typename Use> NTSTATUS with_key(HANDLE handle, Use use) {
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    std::shared_ptr<Key> key;
    NTSTATUS status = key_from_handle(r, handle, key);
    return NT_SUCCESS(status) ? use(*key) : status;
}

} // namespace
} // namespace sim

extern "C" NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes) {
    sim::require_passive("ZwOpenKey");
    (void)DesiredAccess; // the simulated registry grants every access
    return sim::open_key(KeyHandle, ObjectAttributes, false, nullptr);
}

extern "C" NTSTATUS NTAPI ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                      ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions,
                                      PULONG Disposition) {
    sim::require_passive("ZwCreateKey");
    (void)DesiredAccess;
    (void)TitleIndex; // ignored by Windows too
    (void)Class;
    if (CreateOptions & ~ULONG(REG_OPTION_VOLATILE))
        return STATUS_INVALID_PARAMETER;
    return sim::open_key(KeyHandle, ObjectAttributes, true, Disposition);
}

extern "C" NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                                        PVOID Data, ULONG DataSize) {
    sim::require_passive("ZwSetValueKey");
    (void)TitleIndex;
    std::u16string_view name;
    if (!sim::value_name(ValueName, name) || (DataSize && !Data))
        return STATUS_INVALID_PARAMETER;
    return sim::with_key(KeyHandle, [&](Key &key) {
        const auto *bytes = static_cast<const uint8_t *>(Data);
        sim::set_value_locked(key, std::u16string(name), Type, std::vector<uint8_t>(bytes, bytes + DataSize));
        return STATUS_SUCCESS;
    });
}

extern "C" NTSTATUS NTAPI ZwDeleteKey(HANDLE KeyHandle) {
    sim::require_passive("ZwDeleteKey");
    NTSTATUS status = sim::with_key(KeyHandle, [&](Key &key) {
        if (!key.subkeys.empty() || !key.parent || !key.parent->parent)
            return STATUS_CANNOT_DELETE; // a key with subkeys, a hive or \Registry
        Key *parent = key.parent;
        sim::mark_deleted(key);
        parent->subkeys.erase(sim::folded(key.name));
        parent->by_position_stale = true;
        return STATUS_SUCCESS;
    });
    return status == STATUS_KEY_DELETED ? STATUS_SUCCESS : status; // deleted already, through this handle or another
}

extern "C" NTSTATUS NTAPI ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName) {
    sim::require_passive("ZwDeleteValueKey");
    std::u16string_view name;
    if (!sim::value_name(ValueName, name))
        return STATUS_INVALID_PARAMETER;
    return sim::with_key(KeyHandle, [&](Key &key) {
        return sim::delete_value_locked(key, name) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
    });
}

extern "C" NTSTATUS NTAPI ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation,
                                     ULONG Length, PULONG ResultLength) {
    sim::require_passive("ZwQueryKey");
    return sim::with_key(KeyHandle, [&](Key &key) {
        switch (KeyInformationClass) {
        case KeyBasicInformation:
            return sim::key_basic(key, KeyInformation, Length, ResultLength);
        case KeyFullInformation:
            return sim::key_full(key, KeyInformation, Length, ResultLength);
        default:
            return STATUS_INVALID_PARAMETER;
        }
    });
}

extern "C" NTSTATUS NTAPI ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                                         PVOID KeyInformation, ULONG Length, PULONG ResultLength) {
    sim::require_passive("ZwEnumerateKey");
    return sim::with_key(KeyHandle, [&](Key &key) {
        if (KeyInformationClass != KeyBasicInformation)
            return STATUS_INVALID_PARAMETER;
        const Key *subkey = sim::subkey_at(key, Index);
        if (!subkey)
            return STATUS_NO_MORE_ENTRIES;
        return sim::key_basic(*subkey, KeyInformation, Length, ResultLength);
    });
}

extern "C" NTSTATUS NTAPI ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index,
                                              KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                              PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
    sim::require_passive("ZwEnumerateValueKey");
    return sim::with_key(KeyHandle, [&](Key &key) {
        if (KeyValueInformationClass != KeyValueBasicInformation && KeyValueInformationClass != KeyValuePartialInformation)
            return STATUS_INVALID_PARAMETER;
        if (Index >= key.values.size())
            return STATUS_NO_MORE_ENTRIES;
        return sim::value_info(key.values[Index], KeyValueInformationClass, KeyValueInformation, Length, ResultLength);
    });
}

extern "C" NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                          KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                          PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
    sim::require_passive("ZwQueryValueKey");
    return sim::with_key(KeyHandle, [&](Key &key) {
        std::u16string_view name;
        if (!sim::value_name(ValueName, name))
            return STATUS_INVALID_PARAMETER;
        if (KeyValueInformationClass != KeyValueBasicInformation && KeyValueInformationClass != KeyValuePartialInformation)
            return STATUS_INVALID_PARAMETER;
        const sim::Value *v = sim::find_value(key, name);
        if (!v)
            return STATUS_OBJECT_NAME_NOT_FOUND;
        return sim::value_info(*v, KeyValueInformationClass, KeyValueInformation, Length, ResultLength);
    });
}


namespace sim {

// ---------------------------------------------------------------- public controls
void reg_create_key(std::string_view key_path) {
    auto parts = parse_path(key_path);
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    walk_create(r, parts);
}

bool reg_delete_key(std::string_view key_path) {
    auto parts = parse_path(key_path);
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    return delete_key_locked(r, parts);
}

void reg_set_value(std::string_view key_path, std::string_view name, uint32_t type, std::vector<uint8_t> data) {
    auto parts = parse_path(key_path);
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    set_value_locked(*walk_create(r, parts), to_utf16(name), type, std::move(data));
}

void reg_set_dword(std::string_view key_path, std::string_view name, uint32_t value) {
    std::vector<uint8_t> data;
    for (int b = 0; b < 4; b++)
        data.push_back(static_cast<uint8_t>(value >> (8 * b)));
    reg_set_value(key_path, name, REG_DWORD, std::move(data));
}

void reg_set_qword(std::string_view key_path, std::string_view name, uint64_t value) {
    std::vector<uint8_t> data;
    for (int b = 0; b < 8; b++)
        data.push_back(static_cast<uint8_t>(value >> (8 * b)));
    reg_set_value(key_path, name, REG_QWORD, std::move(data));
}

std::vector<uint8_t> reg_string_data(std::string_view text) { return utf16_bytes(to_utf16(text), true); }

void reg_set_string(std::string_view key_path, std::string_view name, std::string_view text) {
    reg_set_value(key_path, name, REG_SZ, reg_string_data(text));
}

void reg_set_binary(std::string_view key_path, std::string_view name, std::vector<uint8_t> data) {
    reg_set_value(key_path, name, REG_BINARY, std::move(data));
}

bool reg_delete_value(std::string_view key_path, std::string_view name) {
    auto parts = parse_path(key_path);
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    Key *k = walk(r, parts);
    return k && delete_value_locked(*k, to_utf16(name));
}

void reg_clear() {
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    for (auto &[name, s] : r.root->subkeys)
        mark_deleted(*s);
    reset_tree(r);
}

bool reg_key_exists(std::string_view key_path) {
    auto parts = parse_path(key_path);
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    return walk(r, parts) != nullptr;
}

std::vector<std::string> reg_subkeys(std::string_view key_path) {
    auto parts = parse_path(key_path);
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    std::vector<std::string> out;
    if (Key *k = walk(r, parts)) {
        for (auto &[name, s] : k->subkeys)
            out.push_back(to_utf8(s->name));
    }
    return out;
}

std::vector<RegValue> reg_values(std::string_view key_path) {
    auto parts = parse_path(key_path);
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    std::vector<RegValue> out;
    if (Key *k = walk(r, parts)) {
        for (auto &v : k->values)
            out.push_back(RegValue{to_utf8(v.name), v.type, v.data});
    }
    return out;
}

std::optional<RegValue> reg_get_value(std::string_view key_path, std::string_view name) {
    auto parts = parse_path(key_path);
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    Key *k = walk(r, parts);
    if (!k)
        return std::nullopt;
    Value *v = find_value(*k, to_utf16(name));
    if (!v)
        return std::nullopt;
    return RegValue{to_utf8(v->name), v->type, v->data};
}

std::optional<std::string> reg_stored_path(std::string_view key_path) {
    auto parts = parse_path(key_path);
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    Key *k = walk(r, parts);
    if (!k)
        return std::nullopt;
    std::string path;
    for (const Key *c : chain_from_root(*k)) {
        if (!c->parent)
            continue; // \Registry itself
        if (c->parent->parent)
            path.append("\\").append(to_utf8(c->name)); // not "\\" + ...: GCC 12 -O3 reports a false -Wrestrict
        else
            path = same_name(c->name, u"Machine") ? "HKEY_LOCAL_MACHINE" : "HKEY_USERS";
    }
    return path;
}

size_t reg_set_depth_limit(size_t levels) {
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    return std::exchange(r.depth_limit, levels);
}

std::u16string reg_fold_name(std::string_view name) { return folded(to_utf16(name)); }

size_t reg_open_handles() {
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    return r.open.size();
}

} // namespace sim
