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

// REG_SZ data as the query routine is handed it: whole characters, ending in a terminator even when
// the value was stored without one.
std::vector<uint8_t> Terminated(std::vector<uint8_t> data) {
    if (data.size() % 2) data.push_back(0);
    if (data.size() < 2 || data[data.size() - 2] || data[data.size() - 1]) data.insert(data.end(), {0, 0});
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
    for (auto path : {kServicesPath, kEnumPath, kDeviceMapPath}) CreateKey(path);
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

void Registry::SetValue(std::u16string_view path, std::u16string_view name, ULONG type, std::span<const uint8_t> data) {
    CreateKey(path);
    std::lock_guard g(lock_);
    FindAbsoluteLocked(path)->set(name, type, std::vector<uint8_t>(data.begin(), data.end()));
}

void Registry::SetString(std::u16string_view path, std::u16string_view name, std::u16string_view text) {
    std::u16string terminated(text);
    terminated.push_back(0);
    SetValue(path, name, REG_SZ,
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
    if (!v || v->type != REG_SZ) return std::nullopt;
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

    // The key an Rtl*Registry* routine names: an absolute path, or one under the device map (the
    // two forms the driver uses; the others, and RTL_REGISTRY_HANDLE/OPTIONAL, are not implemented).
    // `createLeaf`: the last key may be created when its parent exists, as RtlWriteRegistryValue
    // does (never more than one level).
    static NTSTATUS ResolveLocked(Registry &r, ULONG relativeTo, PCWSTR path, bool createLeaf, Key **out) {
        auto rel = View(path);
        std::u16string full;
        if (relativeTo == RTL_REGISTRY_ABSOLUTE) {
            full = rel;
        } else if (relativeTo == RTL_REGISTRY_DEVICEMAP) {
            full = Registry::kDeviceMapPath;
            if (!rel.empty() && rel[0] != u'\\') full += u'\\';
            full += rel;
        } else {
            return STATUS_NOT_IMPLEMENTED;
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

    // KEY_VALUE_FULL_INFORMATION, the class the driver asks for (the basic and partial ones are not
    // implemented), clipped at the caller's length.
    static NTSTATUS FillValueInformation(const Entry &v, KEY_VALUE_INFORMATION_CLASS infoClass, PVOID buffer,
                                         ULONG length, PULONG resultLength) {
        if (infoClass != KeyValueFullInformation) return STATUS_NOT_IMPLEMENTED;
        const ULONG nameBytes = ULONG(v.name.size() * sizeof(WCHAR));
        const ULONG dataBytes = ULONG(v.data.size());
        auto *out = static_cast<uint8_t *>(buffer);
        auto put = [&](ULONG offset, const void *src, ULONG bytes) {
            if (offset >= length || !bytes) return;  // an empty value has no data to copy from
            std::memcpy(out + offset, src, std::min(bytes, length - offset));
        };
        const ULONG fixed = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
        const ULONG dataOffset = (fixed + nameBytes + 3) & ~3u;
        const ULONG full = dataOffset + dataBytes;
        if (resultLength) *resultLength = full;
        if (length < fixed) return STATUS_BUFFER_TOO_SMALL;
        KEY_VALUE_FULL_INFORMATION head{0, v.type, dataOffset, dataBytes, nameBytes, {0}};
        put(0, &head, fixed);
        put(fixed, v.name.data(), nameBytes);
        put(dataOffset, v.data.data(), dataBytes);
        return length < full ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
    }

    // ---- RtlQueryRegistryValues -----------------------------------------------------------------------

    // Only what the driver's table holds: entries with a query routine and a value name, no flags and
    // no default. Anything else is STATUS_NOT_IMPLEMENTED rather than answered half right; so is a
    // REG_EXPAND_SZ or REG_MULTI_SZ value, which Windows would expand or split first.
    static NTSTATUS QueryValues(ULONG relativeTo, PCWSTR path, PRTL_QUERY_REGISTRY_TABLE table, PVOID context) {
        Registry &r = R();
        Key *key;
        {
            std::lock_guard g(r.lock_);
            if (relativeTo != RTL_REGISTRY_ABSOLUTE) return STATUS_NOT_IMPLEMENTED;
            NTSTATUS s = ResolveLocked(r, relativeTo, path, false, &key);
            if (!NT_SUCCESS(s)) return s;
        }
        for (auto *e = table; e->QueryRoutine || e->Name; ++e) {
            if (e->Flags || !e->QueryRoutine || !e->Name || e->DefaultType != REG_NONE) return STATUS_NOT_IMPLEMENTED;
            // Copied out: no lock is held while the driver's routine runs.
            std::u16string name;
            ULONG type;
            std::vector<uint8_t> data;
            {
                std::lock_guard g(r.lock_);
                auto *v = key->find(View(e->Name));
                if (!v) continue;
                name = v->name;
                type = v->type;
                data = v->data;
            }
            if (type == REG_EXPAND_SZ || type == REG_MULTI_SZ) return STATUS_NOT_IMPLEMENTED;
            if (type == REG_SZ) data = Terminated(std::move(data));
            NTSTATUS s = e->QueryRoutine(name.data(), type, data.empty() ? nullptr : data.data(), ULONG(data.size()),
                                         context, e->EntryContext);
            if (!NT_SUCCESS(s)) return s;
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
        NTSTATUS s = ResolveLocked(r, relativeTo, path, true, &key);
        if (!NT_SUCCESS(s)) return s;
        auto *p = static_cast<const uint8_t *>(data);
        key->set(View(valueName), type, std::vector<uint8_t>(p, p + length));
        return STATUS_SUCCESS;
    }

    static NTSTATUS DeleteValue(ULONG relativeTo, PCWSTR path, PCWSTR valueName) {
        Registry &r = R();
        std::lock_guard g(r.lock_);
        Key *key;
        NTSTATUS s = ResolveLocked(r, relativeTo, path, false, &key);
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
