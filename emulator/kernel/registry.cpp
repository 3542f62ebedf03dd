// The in-memory registry and the kernel's registry routines over it.
#include "emulator/kernel/registry.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "emulator/kernel/kernel_internal.h"
#include "emulator/kernel/machine.h"
#include "emulator/kernel/namespace.h"
#include "emulator/kernel/rtl_string.h"
#include "emulator/kernel/verifier.h"

namespace emu {

struct Registry::Key {
    struct Entry {
        std::u16string name;
        ULONG type;
        std::vector<uint8_t> data;
    };
    std::u16string name;
    Key *parent = nullptr;
    std::map<std::u16string, std::unique_ptr<Key>> children;  // by upper-cased name
    std::vector<Entry> values;                               // in creation order

    Entry *find(std::u16string_view n) {
        for (auto &e : values)
            if (EqualNoCase(e.name, n)) return &e;
        return nullptr;
    }
    bool erase(std::u16string_view n) {
        auto it = std::find_if(values.begin(), values.end(), [&](const Entry &e) { return EqualNoCase(e.name, n); });
        if (it == values.end()) return false;
        values.erase(it);
        return true;
    }
    void set(std::u16string_view n, ULONG type, std::vector<uint8_t> data) {
        if (Entry *e = find(n)) {
            e->type = type;
            e->data = std::move(data);
        } else {
            values.push_back({std::u16string(n), type, std::move(data)});
        }
    }
};

namespace {

// Splits a relative key path; false when a component is empty ("a\\b", "a\").
bool Split(std::u16string_view path, std::vector<std::u16string_view> &parts) {
    parts.clear();
    if (path.empty()) return true;
    size_t start = 0;
    for (;;) {
        size_t end = path.find(u'\\', start);
        auto part = path.substr(start, end == std::u16string_view::npos ? std::u16string_view::npos : end - start);
        if (part.empty()) return false;
        parts.push_back(part);
        if (end == std::u16string_view::npos) return true;
        start = end + 1;
    }
}

// "\Registry\rest" → "rest"; nullopt when the path is not under \Registry.
std::optional<std::u16string_view> UnderRoot(std::u16string_view path) {
    constexpr std::u16string_view root = u"\\Registry";
    if (path.size() < root.size() || !EqualNoCase(path.substr(0, root.size()), root)) return std::nullopt;
    auto rest = path.substr(root.size());
    if (rest.empty()) return rest;
    if (rest[0] != u'\\') return std::nullopt;
    return rest.substr(1);
}

bool IsStringType(ULONG type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// String data as the query routines hand it out: whole characters, ending in a terminator (two for
// REG_MULTI_SZ) even when the value was stored without one.
std::vector<uint8_t> Terminated(ULONG type, std::vector<uint8_t> data) {
    if (data.size() % 2) data.push_back(0);
    auto endsWithNul = [&](size_t at) {
        return data.size() >= at * 2 && data[data.size() - at * 2] == 0 && data[data.size() - at * 2 + 1] == 0;
    };
    if (!endsWithNul(1)) data.insert(data.end(), {0, 0});
    if (type == REG_MULTI_SZ && !endsWithNul(2)) data.insert(data.end(), {0, 0});
    return data;
}

ACCESS_MASK MapAccess(ACCESS_MASK access) {
    constexpr ACCESS_MASK kGenericRead = 0x80000000, kGenericWrite = 0x40000000, kGenericExecute = 0x20000000,
                          kGenericAll = 0x10000000, kMaximumAllowed = 0x02000000;
    ACCESS_MASK granted = access & 0x00FFFFFF;
    if (access & kGenericRead) granted |= KEY_READ;
    if (access & kGenericWrite) granted |= KEY_WRITE;
    if (access & kGenericExecute) granted |= KEY_EXECUTE;
    if (access & (kGenericAll | kMaximumAllowed)) granted |= KEY_ALL_ACCESS;
    return granted;
}

std::string PathText(std::u16string_view path) { return Narrow(path); }

}  // namespace

// ---- The service ----------------------------------------------------------------------------------

Registry::Registry() : root_(std::make_unique<Key>()) {
    root_->name = u"Registry";
    for (auto path : {kServicesPath, kControlPath, kEnumPath, kDeviceMapPath,
                      std::u16string_view(u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion"),
                      std::u16string_view(u"\\Registry\\User\\CurrentUser")})
        CreateKey(path);
}

Registry::~Registry() = default;

Registry::Key *Registry::FindLocked(Key *from, std::u16string_view relative) const {
    std::vector<std::u16string_view> parts;
    if (!from || !Split(relative, parts)) return nullptr;
    for (auto part : parts) {
        auto it = from->children.find(Upcase(part));
        if (it == from->children.end()) return nullptr;
        from = it->second.get();
    }
    return from;
}

Registry::Key *Registry::CreateLocked(Key *from, std::u16string_view relative) {
    std::vector<std::u16string_view> parts;
    if (!from || !Split(relative, parts)) return nullptr;
    for (auto part : parts) {
        auto &slot = from->children[Upcase(part)];
        if (!slot) {
            slot = std::make_unique<Key>();
            slot->name = part;
            slot->parent = from;
        }
        from = slot.get();
    }
    return from;
}

Registry::Key *Registry::FindAbsoluteLocked(std::u16string_view path) const {
    auto rest = UnderRoot(path);
    return rest ? FindLocked(root_.get(), *rest) : nullptr;
}

std::u16string Registry::PathOfLocked(const Key *key) const {
    std::u16string path;
    for (; key; key = key->parent) path = u"\\" + key->name + path;
    return path;
}

HANDLE Registry::InsertHandleLocked(Key *key, ACCESS_MASK access) {
    uintptr_t value = nextHandle_;
    nextHandle_ += 4;
    handles_[value] = {key, access};
    return reinterpret_cast<HANDLE>(value);
}

void Registry::CreateKey(std::u16string_view path) {
    std::lock_guard g(lock_);
    auto rest = UnderRoot(path);
    if (!rest || !CreateLocked(root_.get(), *rest))
        throw std::invalid_argument("not a registry path: " + PathText(path));
}

bool Registry::KeyExists(std::u16string_view path) const {
    std::lock_guard g(lock_);
    return FindAbsoluteLocked(path) != nullptr;
}

void Registry::SetValue(std::u16string_view path, std::u16string_view name, ULONG type, std::span<const uint8_t> data) {
    CreateKey(path);
    std::lock_guard g(lock_);
    FindAbsoluteLocked(path)->set(name, type, std::vector<uint8_t>(data.begin(), data.end()));
}

void Registry::SetString(std::u16string_view path, std::u16string_view name, std::u16string_view text, ULONG type) {
    std::u16string terminated(text);
    terminated.push_back(0);
    SetValue(path, name, type,
             std::span(reinterpret_cast<const uint8_t *>(terminated.data()), terminated.size() * sizeof(char16_t)));
}

void Registry::SetDword(std::u16string_view path, std::u16string_view name, ULONG value) {
    SetValue(path, name, REG_DWORD, std::span(reinterpret_cast<const uint8_t *>(&value), sizeof value));
}

bool Registry::DeleteValue(std::u16string_view path, std::u16string_view name) {
    std::lock_guard g(lock_);
    Key *key = FindAbsoluteLocked(path);
    return key && key->erase(name);
}

std::optional<Registry::Value> Registry::GetValue(std::u16string_view path, std::u16string_view name) const {
    std::lock_guard g(lock_);
    Key *key = FindAbsoluteLocked(path);
    if (!key) return std::nullopt;
    auto *e = key->find(name);
    if (!e) return std::nullopt;
    return Value{e->type, e->data};
}

std::optional<std::u16string> Registry::GetString(std::u16string_view path, std::u16string_view name) const {
    auto v = GetValue(path, name);
    if (!v || (v->type != REG_SZ && v->type != REG_EXPAND_SZ)) return std::nullopt;
    std::u16string text(v->data.size() / 2, u'\0');
    std::memcpy(text.data(), v->data.data(), text.size() * 2);
    return text.substr(0, text.find(u'\0'));
}

void Registry::SetDeviceKeyPath(PDEVICE_OBJECT pdo, std::u16string_view instanceKeyPath) {
    std::lock_guard g(lock_);
    deviceKeys_[pdo] = instanceKeyPath;
}

void Registry::ForgetDevice(PDEVICE_OBJECT pdo) {
    std::lock_guard g(lock_);
    deviceKeys_.erase(pdo);
}

std::optional<std::u16string> Registry::DeviceKeyPath(PDEVICE_OBJECT pdo) const {
    {
        std::lock_guard g(lock_);
        auto it = deviceKeys_.find(pdo);
        if (it != deviceKeys_.end()) return it->second;
    }
    // Not under lock_: the namespace is another service with its own lock.
    if (auto id = Machine::current().service<Namespace>().DeviceInstanceId(pdo))
        return std::u16string(kEnumPath) + u"\\" + *id;
    return std::nullopt;
}

size_t Registry::OpenHandleCount() const {
    std::lock_guard g(lock_);
    return handles_.size();
}

std::vector<std::u16string> Registry::OpenHandlePaths() const {
    std::lock_guard g(lock_);
    std::vector<std::u16string> paths;
    for (auto &[value, h] : handles_) paths.push_back(PathOfLocked(h.key));
    return paths;
}

// ---- The kernel routines' side ----------------------------------------------------------------------

struct RegistryRoutines {
    using Key = Registry::Key;
    using Entry = Registry::Key::Entry;

    static Registry &R() { return Machine::current().service<Registry>(); }

    static bool Passive(const char *routine) {
        KIRQL irql = CurrentIrql();
        if (irql >= DISPATCH_LEVEL) {
            Report(Violation::RegistryAtDispatch, routine, "called at IRQL " + std::to_string(irql));
            return false;
        }
        return RequireIrql(routine, PASSIVE_LEVEL);
    }

    // A handle the registry never gave out, or one already closed: a driver bug on any kernel.
    static Registry::Handle *HandleLocked(Registry &r, HANDLE handle, const char *routine) {
        auto it = r.handles_.find(reinterpret_cast<uintptr_t>(handle));
        if (it != r.handles_.end()) return &it->second;
        Report(Violation::InvalidParameter, routine, "not an open registry key handle: " + Hex(handle));
        return nullptr;
    }

    // The key an Rtl*Registry* routine names. `createLeaf`: the last key may be created when its
    // parent exists, as RtlWriteRegistryValue and RtlCreateRegistryKey do (never more than one level).
    static NTSTATUS ResolveLocked(Registry &r, const char *routine, ULONG relativeTo, PCWSTR path, bool createLeaf,
                                  ACCESS_MASK needed, Key **out) {
        if (relativeTo & RTL_REGISTRY_HANDLE) {
            auto *h = HandleLocked(r, reinterpret_cast<HANDLE>(const_cast<PWSTR>(path)), routine);
            if (!h) return STATUS_INVALID_HANDLE;
            if ((h->access & needed) != needed) return STATUS_ACCESS_DENIED;
            *out = h->key;
            return STATUS_SUCCESS;
        }
        std::u16string full;
        auto rel = View(path);
        switch (relativeTo & ~ULONG(RTL_REGISTRY_OPTIONAL)) {
        case RTL_REGISTRY_ABSOLUTE: full = rel; break;
        case RTL_REGISTRY_SERVICES: full = Registry::kServicesPath; break;
        case RTL_REGISTRY_CONTROL: full = Registry::kControlPath; break;
        case RTL_REGISTRY_WINDOWS_NT: full = u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion"; break;
        case RTL_REGISTRY_DEVICEMAP: full = Registry::kDeviceMapPath; break;
        case RTL_REGISTRY_USER: full = u"\\Registry\\User\\CurrentUser"; break;
        default: return STATUS_INVALID_PARAMETER;
        }
        if ((relativeTo & ~ULONG(RTL_REGISTRY_OPTIONAL)) != RTL_REGISTRY_ABSOLUTE && !rel.empty()) {
            if (rel[0] != u'\\') full += u'\\';
            full += rel;
        }
        auto under = UnderRoot(full);
        if (!under) return STATUS_OBJECT_PATH_SYNTAX_BAD;
        std::vector<std::u16string_view> parts;
        if (!Split(*under, parts)) return STATUS_OBJECT_NAME_INVALID;
        if (Key *key = r.FindLocked(r.root_.get(), *under)) {
            *out = key;
            return STATUS_SUCCESS;
        }
        if (!createLeaf || parts.empty()) return STATUS_OBJECT_NAME_NOT_FOUND;
        Key *parent = r.root_.get();
        for (size_t i = 0; i + 1 < parts.size() && parent; i++) parent = r.FindLocked(parent, parts[i]);
        if (!parent) return STATUS_OBJECT_NAME_NOT_FOUND;
        *out = r.CreateLocked(parent, parts.back());
        return STATUS_SUCCESS;
    }

    static NTSTATUS OpenKey(const char *routine, PHANDLE keyHandle, ACCESS_MASK access, POBJECT_ATTRIBUTES oa) {
        if (!keyHandle || !oa || !oa->ObjectName) return STATUS_INVALID_PARAMETER;
        auto name = View(*oa->ObjectName);
        Registry &r = R();
        std::lock_guard g(r.lock_);
        Key *base;
        std::u16string_view relative;
        if (oa->RootDirectory) {
            auto *h = HandleLocked(r, oa->RootDirectory, routine);
            if (!h) return STATUS_INVALID_HANDLE;
            if (!name.empty() && name[0] == u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
            base = h->key;
            relative = name;
        } else {
            if (name.empty() || name[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
            auto under = UnderRoot(name);
            if (!under) return STATUS_OBJECT_NAME_NOT_FOUND;
            base = r.root_.get();
            relative = *under;
        }
        std::vector<std::u16string_view> parts;
        if (!Split(relative, parts)) return STATUS_OBJECT_NAME_INVALID;
        Key *key = r.FindLocked(base, relative);
        if (!key) return STATUS_OBJECT_NAME_NOT_FOUND;
        *keyHandle = r.InsertHandleLocked(key, MapAccess(access));
        return STATUS_SUCCESS;
    }

    static NTSTATUS FillValueInformation(const Entry &v, KEY_VALUE_INFORMATION_CLASS infoClass, PVOID buffer,
                                         ULONG length, PULONG resultLength) {
        const ULONG nameBytes = ULONG(v.name.size() * sizeof(WCHAR));
        const ULONG dataBytes = ULONG(v.data.size());
        auto *out = static_cast<uint8_t *>(buffer);
        // Copies `bytes` of `src` to `offset`, clipped at the caller's length.
        auto put = [&](ULONG offset, const void *src, ULONG bytes) {
            if (offset >= length) return;
            std::memcpy(out + offset, src, std::min(bytes, length - offset));
        };
        ULONG fixed, full;
        switch (infoClass) {
        case KeyValueBasicInformation: {
            fixed = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
            full = fixed + nameBytes;
            if (resultLength) *resultLength = full;
            if (length < fixed) return STATUS_BUFFER_TOO_SMALL;
            KEY_VALUE_BASIC_INFORMATION head{0, v.type, nameBytes, {0}};
            put(0, &head, fixed);
            put(fixed, v.name.data(), nameBytes);
            break;
        }
        case KeyValuePartialInformation: {
            fixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
            full = fixed + dataBytes;
            if (resultLength) *resultLength = full;
            if (length < fixed) return STATUS_BUFFER_TOO_SMALL;
            KEY_VALUE_PARTIAL_INFORMATION head{0, v.type, dataBytes, {0}};
            put(0, &head, fixed);
            put(fixed, v.data.data(), dataBytes);
            break;
        }
        case KeyValueFullInformation: {
            fixed = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
            ULONG dataOffset = (fixed + nameBytes + 3) & ~3u;
            full = dataOffset + dataBytes;
            if (resultLength) *resultLength = full;
            if (length < fixed) return STATUS_BUFFER_TOO_SMALL;
            KEY_VALUE_FULL_INFORMATION head{0, v.type, dataOffset, dataBytes, nameBytes, {0}};
            put(0, &head, fixed);
            put(fixed, v.name.data(), nameBytes);
            put(dataOffset, v.data.data(), dataBytes);
            break;
        }
        default:
            return STATUS_INVALID_PARAMETER;
        }
        return length < full ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
    }

    // ---- RtlQueryRegistryValues -----------------------------------------------------------------------

    // One value as an entry receives it, copied out so no lock is held while the driver's routine runs.
    struct Delivery {
        std::u16string name;  // terminated by c_str() for the routine's PWSTR
        ULONG type;
        std::vector<uint8_t> data;
    };

    static NTSTATUS Direct(const RTL_QUERY_REGISTRY_TABLE &e, ULONG type, std::vector<uint8_t> data) {
        if (IsStringType(type)) {
            auto *dst = static_cast<PUNICODE_STRING>(e.EntryContext);
            if (data.size() > MAXUSHORT) return STATUS_BUFFER_TOO_SMALL;
            if (!dst->Buffer) {
                auto *buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, data.size(), kRtlStringTag));
                if (!buffer) return STATUS_NO_MEMORY;
                dst->Buffer = buffer;
                dst->MaximumLength = USHORT(data.size());
            } else if (data.size() > dst->MaximumLength) {
                return STATUS_BUFFER_TOO_SMALL;
            }
            std::memcpy(dst->Buffer, data.data(), data.size());
            dst->Length = USHORT(data.size() - sizeof(WCHAR));
            return STATUS_SUCCESS;
        }
        if (data.size() <= sizeof(ULONG)) {
            std::memcpy(e.EntryContext, data.data(), data.size());
            return STATUS_SUCCESS;
        }
        // Larger data: the destination starts with its size; negative means "data only", otherwise
        // the first two ULONGs receive the length and the type.
        LONG header;
        std::memcpy(&header, e.EntryContext, sizeof header);
        auto *dst = static_cast<uint8_t *>(e.EntryContext);
        if (header < 0) {
            if (int64_t(data.size()) > -int64_t(header)) return STATUS_BUFFER_TOO_SMALL;
            std::memcpy(dst, data.data(), data.size());
            return STATUS_SUCCESS;
        }
        if (int64_t(data.size()) + 2 * int64_t(sizeof(ULONG)) > header) return STATUS_BUFFER_TOO_SMALL;
        ULONG len = ULONG(data.size());
        std::memcpy(dst, &len, sizeof len);
        std::memcpy(dst + sizeof(ULONG), &type, sizeof type);
        std::memcpy(dst + 2 * sizeof(ULONG), data.data(), data.size());
        return STATUS_SUCCESS;
    }

    static NTSTATUS Deliver(const RTL_QUERY_REGISTRY_TABLE &e, Delivery d, PVOID context) {
        if (IsStringType(d.type)) d.data = Terminated(d.type, std::move(d.data));
        if (e.Flags & RTL_QUERY_REGISTRY_DIRECT) return Direct(e, d.type, std::move(d.data));
        auto call = [&](ULONG type, void *data, size_t bytes) {
            return e.QueryRoutine(d.name.data(), type, bytes ? data : nullptr, ULONG(bytes), context, e.EntryContext);
        };
        bool expand = !(e.Flags & RTL_QUERY_REGISTRY_NOEXPAND);
        if (d.type == REG_MULTI_SZ && expand) {
            // One call per string, each a REG_SZ with its terminator.
            auto *chars = reinterpret_cast<char16_t *>(d.data.data());
            size_t count = d.data.size() / 2, i = 0;
            while (i < count && chars[i]) {
                size_t len = std::char_traits<char16_t>::length(chars + i);
                NTSTATUS s = call(REG_SZ, chars + i, (len + 1) * sizeof(WCHAR));
                if (!NT_SUCCESS(s)) return s;
                i += len + 1;
            }
            return STATUS_SUCCESS;
        }
        // No environment variables are defined here: expansion leaves the text as it is.
        ULONG type = d.type == REG_EXPAND_SZ && expand ? ULONG(REG_SZ) : d.type;
        return call(type, d.data.data(), d.data.size());
    }

    static std::optional<Delivery> DefaultOf(const RTL_QUERY_REGISTRY_TABLE &e) {
        if (e.DefaultType == REG_NONE) return std::nullopt;
        size_t bytes = e.DefaultLength;
        if (bytes == 0 && e.DefaultData && IsStringType(e.DefaultType)) {
            auto *chars = static_cast<const char16_t *>(e.DefaultData);
            if (e.DefaultType == REG_MULTI_SZ) {
                size_t i = 0;
                while (chars[i]) i += std::char_traits<char16_t>::length(chars + i) + 1;
                bytes = (i + 1) * sizeof(WCHAR);
            } else {
                bytes = (std::char_traits<char16_t>::length(chars) + 1) * sizeof(WCHAR);
            }
        }
        auto *p = static_cast<const uint8_t *>(e.DefaultData);
        return Delivery{std::u16string(View(e.Name)), e.DefaultType, p ? std::vector<uint8_t>(p, p + bytes) : std::vector<uint8_t>()};
    }

    static NTSTATUS QueryValues(ULONG relativeTo, PCWSTR path, PRTL_QUERY_REGISTRY_TABLE table, PVOID context) {
        Registry &r = R();
        Key *top;
        {
            std::lock_guard g(r.lock_);
            NTSTATUS s = ResolveLocked(r, "RtlQueryRegistryValues", relativeTo, path, false, KEY_QUERY_VALUE, &top);
            if (!NT_SUCCESS(s)) return s;
        }
        Key *current = top;  // NULL while a SUBKEY entry named a key that does not exist
        for (auto *e = table; e->QueryRoutine || e->Name; ++e) {
            const bool required = e->Flags & RTL_QUERY_REGISTRY_REQUIRED;
            const bool wholeKey = !e->Name || (e->Flags & (RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_TOPKEY));
            if (e->Flags & RTL_QUERY_REGISTRY_TOPKEY) {
                current = top;
            } else if (e->Flags & RTL_QUERY_REGISTRY_SUBKEY) {
                std::lock_guard g(r.lock_);
                current = r.FindLocked(top, View(e->Name));
                if (!current && required) return STATUS_OBJECT_NAME_NOT_FOUND;
            }
            if (!e->QueryRoutine && !(e->Flags & RTL_QUERY_REGISTRY_DIRECT)) {
                if (e->Flags & (RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_TOPKEY)) continue;
                return STATUS_INVALID_PARAMETER;
            }
            if (wholeKey && (e->Flags & RTL_QUERY_REGISTRY_DIRECT)) return STATUS_INVALID_PARAMETER;

            if (wholeKey && (e->Flags & RTL_QUERY_REGISTRY_NOVALUE)) {
                NTSTATUS s = e->QueryRoutine(nullptr, REG_NONE, nullptr, 0, context, e->EntryContext);
                if (!NT_SUCCESS(s)) return s;
                continue;
            }
            std::vector<Delivery> found;
            {
                std::lock_guard g(r.lock_);
                if (current) {
                    if (wholeKey) {
                        for (auto &v : current->values) found.push_back({v.name, v.type, v.data});
                    } else if (auto *v = current->find(View(e->Name))) {
                        found.push_back({v->name, v->type, v->data});
                    }
                }
            }
            if (found.empty()) {
                if (!wholeKey)
                    if (auto d = DefaultOf(*e)) found.push_back(std::move(*d));
                if (found.empty()) {
                    if (required) return STATUS_OBJECT_NAME_NOT_FOUND;
                    continue;
                }
            }
            for (auto &d : found) {
                std::u16string name = d.name;
                NTSTATUS s = Deliver(*e, std::move(d), context);
                if (!NT_SUCCESS(s)) return s;
                if ((e->Flags & RTL_QUERY_REGISTRY_DELETE) && current) {
                    std::lock_guard g(r.lock_);
                    current->erase(name);
                }
            }
        }
        return STATUS_SUCCESS;
    }

    // ---- The routines' bodies ---------------------------------------------------------------------------

    static NTSTATUS WriteValue(ULONG relativeTo, PCWSTR path, PCWSTR valueName, ULONG type, PVOID data,
                               ULONG length) {
        if (length && !data) return STATUS_INVALID_PARAMETER;
        Registry &r = R();
        std::lock_guard g(r.lock_);
        Key *key;
        NTSTATUS s = ResolveLocked(r, "RtlWriteRegistryValue", relativeTo, path, true, KEY_SET_VALUE, &key);
        if (!NT_SUCCESS(s)) return s;
        auto *p = static_cast<const uint8_t *>(data);
        key->set(View(valueName), type, std::vector<uint8_t>(p, p + length));
        return STATUS_SUCCESS;
    }

    static NTSTATUS DeleteValue(ULONG relativeTo, PCWSTR path, PCWSTR valueName) {
        Registry &r = R();
        std::lock_guard g(r.lock_);
        Key *key;
        NTSTATUS s = ResolveLocked(r, "RtlDeleteRegistryValue", relativeTo, path, false, KEY_SET_VALUE, &key);
        if (!NT_SUCCESS(s)) return s;
        return key->erase(View(valueName)) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
    }

    static NTSTATUS Close(HANDLE handle) {
        Registry &r = R();
        std::lock_guard g(r.lock_);
        if (!HandleLocked(r, handle, "ZwClose")) return STATUS_INVALID_HANDLE;
        r.handles_.erase(reinterpret_cast<uintptr_t>(handle));
        return STATUS_SUCCESS;
    }

    // Runs `fn(key)` on the key behind `handle` when the handle grants `needed`.
    template <class Fn> static NTSTATUS WithKey(const char *routine, HANDLE handle, ACCESS_MASK needed, Fn fn) {
        Registry &r = R();
        std::lock_guard g(r.lock_);
        auto *h = HandleLocked(r, handle, routine);
        if (!h) return STATUS_INVALID_HANDLE;
        if ((h->access & needed) != needed) return STATUS_ACCESS_DENIED;
        return fn(*h->key);
    }

    static NTSTATUS OpenDeviceKey(PDEVICE_OBJECT device, ULONG keyType, ACCESS_MASK access, PHANDLE out) {
        if (!device || !out) return STATUS_INVALID_PARAMETER;
        Registry &r = R();
        std::optional<std::u16string> path;
        switch (keyType & ~ULONG(PLUGPLAY_REGKEY_CURRENT_HWPROFILE)) {
        case PLUGPLAY_REGKEY_DEVICE:
            path = r.DeviceKeyPath(device);
            if (path) *path += u"\\Device Parameters";
            break;
        default:
            return STATUS_INVALID_PARAMETER;
        }
        // Only a PDO the PnP manager knows has these keys (an FDO passed by mistake lands here).
        if (!path) return STATUS_INVALID_DEVICE_REQUEST;
        std::lock_guard g(r.lock_);
        auto under = UnderRoot(*path);
        Key *key = under ? r.CreateLocked(r.root_.get(), *under) : nullptr;
        if (!key) return STATUS_INVALID_DEVICE_REQUEST;
        *out = r.InsertHandleLocked(key, MapAccess(access));
        return STATUS_SUCCESS;
    }
};

}  // namespace emu

using namespace emu;
using RR = emu::RegistryRoutines;

namespace {
// The answer of a registry routine the verifier refused to run.
constexpr NTSTATUS kRefused = STATUS_INVALID_DEVICE_STATE;

std::u16string_view ValueNameOf(PUNICODE_STRING name) { return name ? View(*name) : std::u16string_view(); }
}  // namespace

extern "C" {

NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                      PVOID Context, PVOID Environment) {
    UNREFERENCED_PARAMETER(Environment);
    if (!RR::Passive("RtlQueryRegistryValues")) return kRefused;
    if (!QueryTable) return STATUS_INVALID_PARAMETER;
    return RR::QueryValues(RelativeTo, Path, QueryTable, Context);
}

NTSTATUS NTAPI RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                                     PVOID ValueData, ULONG ValueLength) {
    if (!RR::Passive("RtlWriteRegistryValue")) return kRefused;
    return RR::WriteValue(RelativeTo, Path, ValueName, ValueType, ValueData, ValueLength);
}

NTSTATUS NTAPI RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName) {
    if (!RR::Passive("RtlDeleteRegistryValue")) return kRefused;
    return RR::DeleteValue(RelativeTo, Path, ValueName);
}

NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes) {
    if (!RR::Passive("ZwOpenKey")) return kRefused;
    return RR::OpenKey("ZwOpenKey", KeyHandle, DesiredAccess, ObjectAttributes);
}

NTSTATUS NTAPI ZwClose(HANDLE Handle) {
    if (!RR::Passive("ZwClose")) return kRefused;
    return RR::Close(Handle);
}

NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                               KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                               ULONG Length, PULONG ResultLength) {
    if (!RR::Passive("ZwQueryValueKey")) return kRefused;
    return RR::WithKey("ZwQueryValueKey", KeyHandle, KEY_QUERY_VALUE, [&](auto &key) {
        auto *v = key.find(ValueNameOf(ValueName));
        if (!v) return STATUS_OBJECT_NAME_NOT_FOUND;
        return RR::FillValueInformation(*v, KeyValueInformationClass, KeyValueInformation, Length, ResultLength);
    });
}

NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                       PHANDLE DevInstRegKey) {
    if (!RR::Passive("IoOpenDeviceRegistryKey")) return kRefused;
    return RR::OpenDeviceKey(DeviceObject, DevInstKeyType, DesiredAccess, DevInstRegKey);
}

}  // extern "C"
