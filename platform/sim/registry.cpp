// The simulated configuration registry: a key/value tree under \Registry, the
// Zw routines that serve it to the driver, and the .reg import and export that
// tests and tools use (registry.h).

#include "platform/sim/registry.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>

#include "platform/sim/internal.h"

#ifndef STATUS_OBJECT_NAME_INVALID
#define STATUS_OBJECT_NAME_INVALID ((NTSTATUS)0xC0000033L)
#endif
#ifndef STATUS_OBJECT_PATH_SYNTAX_BAD
#define STATUS_OBJECT_PATH_SYNTAX_BAD ((NTSTATUS)0xC000003BL)
#endif
#ifndef STATUS_KEY_DELETED
#define STATUS_KEY_DELETED ((NTSTATUS)0xC000017CL)
#endif

namespace sim {

RegParseError::RegParseError(std::string file_, int line_, std::string message_)
    : std::runtime_error(file_ + ":" + std::to_string(line_) + ": " + message_), file(std::move(file_)),
      line(line_), message(std::move(message_)) {}

namespace {

// ---------------------------------------------------------------- text helpers

// Malformed UTF-8 becomes U+FFFD, one per offending byte.
std::u16string to_utf16(std::string_view s) {
    std::u16string out;
    size_t i = 0;
    while (i < s.size()) {
        unsigned char b = static_cast<unsigned char>(s[i]);
        size_t extra = b < 0x80 ? 0 : (b >> 5) == 6 ? 1 : (b >> 4) == 14 ? 2 : (b >> 3) == 30 ? 3 : 4;
        char32_t c = 0xFFFD;
        size_t used = 1;
        if (extra == 0) {
            c = b;
        } else if (extra < 4 && i + extra < s.size()) {
            char32_t acc = b & (0x3F >> extra);
            bool ok = true;
            for (size_t k = 1; k <= extra; k++) {
                unsigned char t = static_cast<unsigned char>(s[i + k]);
                if ((t & 0xC0) != 0x80) {
                    ok = false;
                    break;
                }
                acc = (acc << 6) | (t & 0x3F);
            }
            if (ok && acc <= 0x10FFFF) {
                c = acc;
                used = extra + 1;
            }
        }
        i += used;
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

std::string to_utf8(std::u16string_view s) { return sim::internal::utf16_to_utf8(s); }

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

struct Key {
    std::u16string name;
    Key *parent = nullptr; // none for \Registry and for deleted keys
    std::vector<std::shared_ptr<Key>> subkeys; // creation order
    std::vector<Value> values;                 // creation order
    bool deleted = false;
};

struct OpenKey {
    std::shared_ptr<Key> key;
    std::string path; // as opened, for the leak report
};

struct Registry {
    std::mutex lock;
    std::shared_ptr<Key> root;
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

void reset_tree(Registry &r) {
    r.root = new_key(u"Registry", nullptr);
    r.root->subkeys.push_back(new_key(u"Machine", r.root.get()));
    r.root->subkeys.push_back(new_key(u"User", r.root.get()));
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

Key *find_subkey(const Key &k, std::u16string_view name) {
    for (auto &s : k.subkeys) {
        if (same_name(s->name, name))
            return s.get();
    }
    return nullptr;
}

std::shared_ptr<Key> find_subkey_shared(const Key &k, std::u16string_view name) {
    for (auto &s : k.subkeys) {
        if (same_name(s->name, name))
            return s;
    }
    return nullptr;
}

Value *find_value(Key &k, std::u16string_view name) {
    for (auto &v : k.values) {
        if (same_name(v.name, name))
            return &v;
    }
    return nullptr;
}

void mark_deleted(Key &k) {
    k.deleted = true;
    k.parent = nullptr;
    for (auto &s : k.subkeys)
        mark_deleted(*s);
}

std::string kernel_path(const Key &k) {
    std::u16string p;
    for (const Key *c = &k; c; c = c->parent)
        p = u"\\" + c->name + p;
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
    // "\Registry\..." splits into "", "Registry", ...
    if (!parts.empty() && parts.front().empty()) {
        parts.erase(parts.begin());
        if (parts.empty() || !same_name(parts.front(), u"Registry"))
            throw std::invalid_argument("registry path outside \\Registry: " + std::string(path));
        parts.erase(parts.begin());
    } else if (!parts.empty()) {
        if (same_name(parts.front(), u"HKEY_LOCAL_MACHINE") || same_name(parts.front(), u"HKLM"))
            parts.front() = u"Machine";
        else if (same_name(parts.front(), u"HKEY_USERS") || same_name(parts.front(), u"HKU"))
            parts.front() = u"User";
        else
            throw std::invalid_argument("unsupported registry root: " + std::string(path));
    }
    if (!parts.empty() && parts.back().empty())
        parts.pop_back(); // one trailing backslash
    for (auto &c : parts) {
        if (c.empty())
            throw std::invalid_argument("empty key name in registry path: " + std::string(path));
    }
    if (parts.empty())
        throw std::invalid_argument("registry path names no hive: " + std::string(path));
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
    Key *k = r.root.get();
    for (size_t i = 0; i < parts.size(); i++) {
        Key *s = find_subkey(*k, parts[i]);
        if (!s) {
            if (i == 0)
                throw std::invalid_argument("no such hive: " + to_utf8(parts[0]));
            k->subkeys.push_back(new_key(parts[i], k));
            s = k->subkeys.back().get();
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
    for (auto it = parent->subkeys.begin(); it != parent->subkeys.end(); ++it) {
        if (same_name((*it)->name, parts.back())) {
            mark_deleted(**it);
            parent->subkeys.erase(it);
            return true;
        }
    }
    return false;
}

void set_value_locked(Key &k, std::u16string name, uint32_t type, std::vector<uint8_t> data) {
    if (Value *v = find_value(k, name)) {
        v->type = type;
        v->data = std::move(data);
        return;
    }
    k.values.push_back(Value{std::move(name), type, std::move(data)});
}

bool delete_value_locked(Key &k, std::u16string_view name) {
    for (auto it = k.values.begin(); it != k.values.end(); ++it) {
        if (same_name(it->name, name)) {
            k.values.erase(it);
            return true;
        }
    }
    return false;
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
    },
    [](std::vector<std::string> &out) {
        Registry &r = registry();
        std::lock_guard<std::mutex> guard(r.lock);
        for (auto &[object, ok] : r.open)
            out.push_back("registry key handle never closed: " + ok->path);
    });

// ---------------------------------------------------------------- query replies
// A reply is the whole record; fixed is the size of its part before the
// variable name or data. names_partial: a buffer that holds the fixed part
// gets as much of the name as fits (the key and value name records); value
// data is never delivered in part.
NTSTATUS deliver(const std::vector<uint8_t> &record, size_t fixed, bool names_partial, PVOID buffer, ULONG length,
                 PULONG result_length) {
    if (!result_length || (!buffer && length))
        return STATUS_INVALID_PARAMETER;
    *result_length = static_cast<ULONG>(record.size());
    if (length < fixed)
        return STATUS_BUFFER_TOO_SMALL;
    if (length < record.size()) {
        size_t n = names_partial ? length : fixed;
        std::memcpy(buffer, record.data(), n);
        return STATUS_BUFFER_OVERFLOW;
    }
    std::memcpy(buffer, record.data(), record.size());
    return STATUS_SUCCESS;
}

template <typename T> void put(std::vector<uint8_t> &rec, size_t offset, T v) {
    std::memcpy(rec.data() + offset, &v, sizeof v);
}

NTSTATUS key_basic(const Key &k, PVOID buffer, ULONG length, PULONG result_length) {
    constexpr size_t fixed = offsetof(KEY_BASIC_INFORMATION, Name);
    std::vector<uint8_t> name = utf16_bytes(k.name, false);
    std::vector<uint8_t> rec(fixed);
    put<LONGLONG>(rec, offsetof(KEY_BASIC_INFORMATION, LastWriteTime), 0);
    put<ULONG>(rec, offsetof(KEY_BASIC_INFORMATION, TitleIndex), 0);
    put<ULONG>(rec, offsetof(KEY_BASIC_INFORMATION, NameLength), static_cast<ULONG>(name.size()));
    rec.insert(rec.end(), name.begin(), name.end());
    return deliver(rec, fixed, true, buffer, length, result_length);
}

NTSTATUS key_full(const Key &k, PVOID buffer, ULONG length, PULONG result_length) {
    // The record ends where Class begins: no class name is ever stored.
    constexpr size_t fixed = offsetof(KEY_FULL_INFORMATION, Class);
    ULONG max_name = 0, max_value_name = 0, max_value_data = 0;
    for (auto &s : k.subkeys)
        max_name = std::max<ULONG>(max_name, static_cast<ULONG>(s->name.size() * 2));
    for (auto &v : k.values) {
        max_value_name = std::max<ULONG>(max_value_name, static_cast<ULONG>(v.name.size() * 2));
        max_value_data = std::max<ULONG>(max_value_data, static_cast<ULONG>(v.data.size()));
    }
    std::vector<uint8_t> rec(fixed);
    put<LONGLONG>(rec, offsetof(KEY_FULL_INFORMATION, LastWriteTime), 0);
    put<ULONG>(rec, offsetof(KEY_FULL_INFORMATION, TitleIndex), 0);
    put<ULONG>(rec, offsetof(KEY_FULL_INFORMATION, ClassOffset), static_cast<ULONG>(fixed));
    put<ULONG>(rec, offsetof(KEY_FULL_INFORMATION, ClassLength), 0);
    put<ULONG>(rec, offsetof(KEY_FULL_INFORMATION, SubKeys), static_cast<ULONG>(k.subkeys.size()));
    put<ULONG>(rec, offsetof(KEY_FULL_INFORMATION, MaxNameLen), max_name);
    put<ULONG>(rec, offsetof(KEY_FULL_INFORMATION, MaxClassLen), 0);
    put<ULONG>(rec, offsetof(KEY_FULL_INFORMATION, Values), static_cast<ULONG>(k.values.size()));
    put<ULONG>(rec, offsetof(KEY_FULL_INFORMATION, MaxValueNameLen), max_value_name);
    put<ULONG>(rec, offsetof(KEY_FULL_INFORMATION, MaxValueDataLen), max_value_data);
    return deliver(rec, fixed, false, buffer, length, result_length);
}

NTSTATUS value_info(const Value &v, KEY_VALUE_INFORMATION_CLASS cls, PVOID buffer, ULONG length,
                    PULONG result_length) {
    if (cls == KeyValueBasicInformation) {
        constexpr size_t fixed = offsetof(KEY_VALUE_BASIC_INFORMATION, Name);
        std::vector<uint8_t> name = utf16_bytes(v.name, false);
        std::vector<uint8_t> rec(fixed);
        put<ULONG>(rec, offsetof(KEY_VALUE_BASIC_INFORMATION, TitleIndex), 0);
        put<ULONG>(rec, offsetof(KEY_VALUE_BASIC_INFORMATION, Type), v.type);
        put<ULONG>(rec, offsetof(KEY_VALUE_BASIC_INFORMATION, NameLength), static_cast<ULONG>(name.size()));
        rec.insert(rec.end(), name.begin(), name.end());
        return deliver(rec, fixed, true, buffer, length, result_length);
    }
    if (cls == KeyValuePartialInformation) {
        constexpr size_t fixed = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
        std::vector<uint8_t> rec(fixed);
        put<ULONG>(rec, offsetof(KEY_VALUE_PARTIAL_INFORMATION, TitleIndex), 0);
        put<ULONG>(rec, offsetof(KEY_VALUE_PARTIAL_INFORMATION, Type), v.type);
        put<ULONG>(rec, offsetof(KEY_VALUE_PARTIAL_INFORMATION, DataLength), static_cast<ULONG>(v.data.size()));
        rec.insert(rec.end(), v.data.begin(), v.data.end());
        return deliver(rec, fixed, false, buffer, length, result_length);
    }
    return STATUS_INVALID_PARAMETER;
}

} // namespace
} // namespace sim

// ---------------------------------------------------------------- the Zw routines
using sim::Key;
using sim::Registry;

extern "C" NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes) {
    (void)DesiredAccess; // the simulated registry grants every access
    if (!KeyHandle || !ObjectAttributes || !ObjectAttributes->ObjectName)
        return STATUS_INVALID_PARAMETER;
    const UNICODE_STRING *name = ObjectAttributes->ObjectName;
    if (name->Length % 2 || name->Length > name->MaximumLength || (name->Length && !name->Buffer))
        return STATUS_INVALID_PARAMETER;
    std::u16string_view path(name->Buffer ? name->Buffer : u"", name->Length / 2);

    Registry &r = sim::registry();
    auto object = std::make_unique<sim::OpenKey>();
    {
        std::lock_guard<std::mutex> guard(r.lock);
        std::shared_ptr<Key> key;
        if (ObjectAttributes->RootDirectory) {
            NTSTATUS status = sim::key_from_handle(r, ObjectAttributes->RootDirectory, key);
            if (!NT_SUCCESS(status))
                return status;
            if (!path.empty() && path.front() == u'\\')
                return STATUS_OBJECT_PATH_SYNTAX_BAD;
        } else {
            if (path.empty() || path.front() != u'\\')
                return STATUS_OBJECT_PATH_SYNTAX_BAD;
            path.remove_prefix(1);
            size_t end = path.find(u'\\');
            std::u16string_view first = path.substr(0, end);
            if (!sim::same_name(first, u"Registry"))
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
            key = sim::find_subkey_shared(*key, part);
            if (!key)
                return STATUS_OBJECT_NAME_NOT_FOUND;
            path.remove_prefix(end == std::u16string_view::npos ? path.size() : end + 1);
        }
        object->key = key;
        object->path = sim::kernel_path(*key);
    }
    // The handle table is entered without this lock held: ZwClose calls back
    // into close_key, which takes it.
    void *raw = object.get();
    {
        std::lock_guard<std::mutex> guard(r.lock);
        r.open.emplace(raw, std::move(object));
    }
    HANDLE h = sim::internal::handle_open(sim::internal::HandleKind::RegistryKey, raw, sim::close_key);
    if (!h) {
        sim::close_key(raw);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *KeyHandle = h;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation,
                                     ULONG Length, PULONG ResultLength) {
    Registry &r = sim::registry();
    std::lock_guard<std::mutex> guard(r.lock);
    std::shared_ptr<Key> key;
    NTSTATUS status = sim::key_from_handle(r, KeyHandle, key);
    if (!NT_SUCCESS(status))
        return status;
    switch (KeyInformationClass) {
    case KeyBasicInformation:
        return sim::key_basic(*key, KeyInformation, Length, ResultLength);
    case KeyFullInformation:
        return sim::key_full(*key, KeyInformation, Length, ResultLength);
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

extern "C" NTSTATUS NTAPI ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                                         PVOID KeyInformation, ULONG Length, PULONG ResultLength) {
    Registry &r = sim::registry();
    std::lock_guard<std::mutex> guard(r.lock);
    std::shared_ptr<Key> key;
    NTSTATUS status = sim::key_from_handle(r, KeyHandle, key);
    if (!NT_SUCCESS(status))
        return status;
    if (KeyInformationClass != KeyBasicInformation)
        return STATUS_INVALID_PARAMETER;
    if (Index >= key->subkeys.size())
        return STATUS_NO_MORE_ENTRIES;
    return sim::key_basic(*key->subkeys[Index], KeyInformation, Length, ResultLength);
}

extern "C" NTSTATUS NTAPI ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index,
                                              KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                              PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
    Registry &r = sim::registry();
    std::lock_guard<std::mutex> guard(r.lock);
    std::shared_ptr<Key> key;
    NTSTATUS status = sim::key_from_handle(r, KeyHandle, key);
    if (!NT_SUCCESS(status))
        return status;
    if (KeyValueInformationClass != KeyValueBasicInformation && KeyValueInformationClass != KeyValuePartialInformation)
        return STATUS_INVALID_PARAMETER;
    if (Index >= key->values.size())
        return STATUS_NO_MORE_ENTRIES;
    return sim::value_info(key->values[Index], KeyValueInformationClass, KeyValueInformation, Length, ResultLength);
}

extern "C" NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                          KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                          PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
    Registry &r = sim::registry();
    std::lock_guard<std::mutex> guard(r.lock);
    std::shared_ptr<Key> key;
    NTSTATUS status = sim::key_from_handle(r, KeyHandle, key);
    if (!NT_SUCCESS(status))
        return status;
    if (!ValueName || ValueName->Length % 2 || (ValueName->Length && !ValueName->Buffer))
        return STATUS_INVALID_PARAMETER;
    if (KeyValueInformationClass != KeyValueBasicInformation && KeyValueInformationClass != KeyValuePartialInformation)
        return STATUS_INVALID_PARAMETER;
    std::u16string_view name(ValueName->Buffer ? ValueName->Buffer : u"", ValueName->Length / 2);
    const sim::Value *v = sim::find_value(*key, name);
    if (!v)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    return sim::value_info(*v, KeyValueInformationClass, KeyValueInformation, Length, ResultLength);
}

// ---------------------------------------------------------------- .reg import
namespace sim {
namespace {

struct Op {
    enum Kind { CreateKey, DeleteKey, SetValue, DeleteValue } kind;
    std::vector<std::u16string> path;
    std::u16string name;
    uint32_t type = REG_NONE;
    std::vector<uint8_t> data;
};

constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kHeader4 = "REGEDIT4";

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

bool starts_with_nocase(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); i++) {
        if (std::tolower(static_cast<unsigned char>(s[i])) != std::tolower(static_cast<unsigned char>(prefix[i])))
            return false;
    }
    return true;
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

    std::vector<Op> parse() {
        size_t i = 0;
        while (i < lines_.size() && trim(lines_[i]).empty())
            i++;
        if (i == lines_.size())
            fail(static_cast<int>(lines_.empty() ? 1 : lines_.size()),
                 "no header: expected \"" + std::string(kHeader5) + "\"");
        std::string_view header = trim(lines_[i]);
        if (header != kHeader5 && header != kHeader4)
            fail(line_no(i), "expected the header \"" + std::string(kHeader5) + "\", found \"" + std::string(header) + "\"");
        for (i++; i < lines_.size(); i++) {
            std::string_view line = trim(lines_[i]);
            if (line.empty() || line.front() == ';')
                continue;
            if (line.front() == '[')
                section(i, line);
            else if (line.front() == '"' || line.front() == '@')
                i = value(i, line);
            else
                fail(line_no(i), "expected [KEY], a \"name\"=value line or a ';' comment, found \"" +
                                     std::string(line.substr(0, 40)) + "\"");
        }
        return std::move(ops_);
    }

private:
    [[noreturn]] void fail(int line, std::string message) { throw RegParseError(file_, line, std::move(message)); }
    static int line_no(size_t index) { return static_cast<int>(index + 1); }

    void section(size_t i, std::string_view line) {
        size_t close = line.rfind(']');
        if (close == std::string_view::npos || close == 0)
            fail(line_no(i), "key section without its closing ']'");
        if (!trim(line.substr(close + 1)).empty())
            fail(line_no(i), "text after the closing ']' of a key section");
        std::string_view body = line.substr(1, close - 1);
        bool remove = !body.empty() && body.front() == '-';
        if (remove)
            body.remove_prefix(1);
        std::vector<std::u16string> parts;
        size_t start = 0;
        while (start <= body.size()) {
            size_t end = body.find('\\', start);
            if (end == std::string_view::npos)
                end = body.size();
            parts.push_back(to_utf16(body.substr(start, end - start)));
            start = end + 1;
        }
        if (parts.size() > 1 && parts.back().empty())
            parts.pop_back(); // one trailing backslash
        if (same_name(parts[0], u"HKEY_LOCAL_MACHINE") || same_name(parts[0], u"HKLM"))
            parts[0] = u"Machine";
        else if (same_name(parts[0], u"HKEY_USERS") || same_name(parts[0], u"HKU"))
            parts[0] = u"User";
        else if (parts[0].empty())
            fail(line_no(i), "empty key path");
        else
            fail(line_no(i), "unsupported root key \"" + to_utf8(parts[0]) +
                                 "\" (HKEY_LOCAL_MACHINE and HKEY_USERS are simulated)");
        for (auto &p : parts) {
            if (p.empty())
                fail(line_no(i), "empty key name in \"" + std::string(body) + "\"");
        }
        if (remove && parts.size() < 2)
            fail(line_no(i), "a hive cannot be deleted");
        current_ = parts;
        in_deleted_ = remove;
        ops_.push_back(Op{remove ? Op::DeleteKey : Op::CreateKey, parts, {}, REG_NONE, {}});
        have_section_ = true;
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
                    fail(line_no(i), std::string("unknown escape \\") + e + " (only \\\\ and \\\" are escapes)");
                out += e;
            } else {
                out += c;
            }
        }
        fail(line_no(i), "unterminated string: no closing '\"'");
    }

    // Returns the index of the last line the value used.
    size_t value(size_t i, std::string_view line) {
        if (!have_section_)
            fail(line_no(i), "value line before any [KEY] section");
        if (in_deleted_)
            fail(line_no(i), "value line under a deleted [-KEY] section");
        std::u16string name;
        size_t pos = 0;
        if (line.front() == '@') {
            pos = 1;
        } else {
            name = to_utf16(quoted(i, line, pos));
        }
        std::string_view rest = trim(line.substr(pos));
        if (rest.empty() || rest.front() != '=')
            fail(line_no(i), "expected '=' after the value name");
        rest = trim(rest.substr(1));

        Op op{Op::SetValue, current_, std::move(name), REG_NONE, {}};
        if (rest == "-") {
            op.kind = Op::DeleteValue;
        } else if (!rest.empty() && rest.front() == '"') {
            size_t p = 0;
            std::string text = quoted(i, rest, p);
            if (!trim(rest.substr(p)).empty())
                fail(line_no(i), "text after the closing '\"' of a string value");
            op.type = REG_SZ;
            op.data = utf16_bytes(to_utf16(text), true);
        } else if (starts_with_nocase(rest, "dword:")) {
            uint32_t v = 0;
            if (!parse_hex_number(trim(rest.substr(6)), 8, v))
                fail(line_no(i), "dword: expects 1 to 8 hex digits, found \"" + std::string(rest.substr(6)) + "\"");
            op.type = REG_DWORD;
            for (int b = 0; b < 4; b++)
                op.data.push_back(static_cast<uint8_t>(v >> (8 * b)));
        } else if (starts_with_nocase(rest, "hex")) {
            std::string_view after = rest.substr(3);
            op.type = REG_BINARY;
            if (!after.empty() && after.front() == '(') {
                size_t close = after.find(')');
                uint32_t type = 0;
                if (close == std::string_view::npos || !parse_hex_number(after.substr(1, close - 1), 8, type))
                    fail(line_no(i), "hex(N): expects a type of 1 to 8 hex digits");
                op.type = type;
                after.remove_prefix(close + 1);
            }
            if (after.empty() || after.front() != ':')
                fail(line_no(i), "expected ':' after hex");
            i = hex_list(i, after.substr(1), op.data);
        } else {
            fail(line_no(i), "unknown value format \"" + std::string(rest.substr(0, 40)) +
                                 "\" (expected \"text\", dword:, hex:, hex(N): or -)");
        }
        ops_.push_back(std::move(op));
        return i;
    }

    // Bytes "aa,bb,..." over as many lines as the trailing '\' continues it.
    size_t hex_list(size_t i, std::string_view first, std::vector<uint8_t> &out) {
        std::string joined;
        std::vector<size_t> line_of; // line index of each character of joined
        std::string_view cur = trim(first);
        while (!cur.empty() && cur.back() == '\\') {
            cur.remove_suffix(1);
            joined += cur;
            line_of.insert(line_of.end(), cur.size(), i);
            if (i + 1 >= lines_.size())
                fail(line_no(i), "line continuation '\\' at the end of the file");
            cur = trim(lines_[++i]);
        }
        joined += cur;
        line_of.insert(line_of.end(), cur.size(), i);

        if (trim(joined).empty())
            return i;
        size_t start = 0;
        while (true) {
            size_t end = joined.find(',', start);
            if (end == std::string::npos)
                end = joined.size();
            size_t where = line_of[std::min(start, joined.size() - 1)];
            std::string_view tok = trim(std::string_view(joined).substr(start, end - start));
            uint32_t v = 0;
            if (tok.empty())
                fail(line_no(where), "empty byte in a hex list");
            if (!parse_hex_number(tok, 2, v))
                fail(line_no(where), "bad byte \"" + std::string(tok) + "\" in a hex list (expected two hex digits)");
            out.push_back(static_cast<uint8_t>(v));
            if (end == joined.size())
                break;
            start = end + 1;
        }
        return i;
    }

    std::string file_;
    std::vector<std::string_view> lines_;
    std::vector<Op> ops_;
    std::vector<std::u16string> current_;
    bool have_section_ = false;
    bool in_deleted_ = false;
};

void apply(Registry &r, std::vector<Op> &ops) {
    for (auto &op : ops) {
        switch (op.kind) {
        case Op::CreateKey:
            walk_create(r, op.path);
            break;
        case Op::DeleteKey:
            delete_key_locked(r, op.path);
            break;
        case Op::SetValue:
            set_value_locked(*walk_create(r, op.path), std::move(op.name), op.type, std::move(op.data));
            break;
        case Op::DeleteValue:
            if (Key *k = walk(r, op.path))
                delete_value_locked(*k, op.name);
            break;
        }
    }
}

// ---------------------------------------------------------------- .reg export
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
    std::string line = v.name.empty() ? "@=" : "\"" + escape(to_utf8(v.name)) + "\"=";
    std::u16string text;
    if (v.type == REG_SZ && plain_text(v.data, text) && surrogates_paired(text)) {
        out += line + "\"" + escape(to_utf8(text)) + "\"\n";
        return;
    }
    if (v.type == REG_DWORD && v.data.size() == 4) {
        char buf[16];
        uint32_t d = v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) | (static_cast<uint32_t>(v.data[3]) << 24);
        std::snprintf(buf, sizeof buf, "dword:%08x", d);
        out += line + buf + "\n";
        return;
    }
    if (v.type == REG_BINARY) {
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

std::string regedit_path(const Key &k) {
    std::vector<const Key *> chain;
    for (const Key *c = &k; c && c->parent; c = c->parent)
        chain.push_back(c);
    std::string path;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        if (it == chain.rbegin())
            path = same_name((*it)->name, u"Machine") ? "HKEY_LOCAL_MACHINE" : "HKEY_USERS";
        else
            path += "\\" + to_utf8((*it)->name);
    }
    return path;
}

void write_key(const Key &k, const std::string &path, std::string &out) {
    out += "[" + path + "]\n";
    for (auto &v : k.values)
        write_value(v, out);
    out += "\n";
    for (auto &s : k.subkeys)
        write_key(*s, path + "\\" + to_utf8(s->name), out);
}

} // namespace

// ---------------------------------------------------------------- public controls
void reg_load_string(std::string_view text, std::string_view source_name) {
    std::string decoded = decode_text(text);
    std::vector<Op> ops = Parser(std::string(source_name), decoded).parse();
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    apply(r, ops);
}

void reg_load_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw RegParseError(path, 0, "cannot open the file");
    std::ostringstream bytes;
    bytes << in.rdbuf();
    reg_load_string(bytes.str(), path);
}

std::string reg_export(std::string_view key_path) {
    auto parts = parse_path(key_path);
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    Key *k = walk(r, parts);
    if (!k)
        throw std::out_of_range("no such registry key: " + std::string(key_path));
    std::string out = std::string(kHeader5) + "\n\n";
    write_key(*k, regedit_path(*k), out);
    return out;
}

void reg_export_file(const std::string &path, std::string_view key_path, bool utf16) {
    std::string text = reg_export(key_path);
    std::string bytes;
    if (utf16) {
        std::string crlf;
        for (char c : text) {
            if (c == '\n')
                crlf += '\r';
            crlf += c;
        }
        bytes = "\xFF\xFE";
        for (char16_t c : to_utf16(crlf)) {
            bytes += static_cast<char>(c & 0xFF);
            bytes += static_cast<char>(c >> 8);
        }
    } else {
        bytes = std::move(text);
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

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

void reg_set_string(std::string_view key_path, std::string_view name, std::string_view text) {
    reg_set_value(key_path, name, REG_SZ, utf16_bytes(to_utf16(text), true));
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
    for (auto &s : r.root->subkeys)
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
        for (auto &s : k->subkeys)
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

size_t reg_open_handles() {
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    return r.open.size();
}

} // namespace sim
