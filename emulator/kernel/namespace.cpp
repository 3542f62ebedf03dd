// The object namespace and the I/O manager's naming routines over it.
#include "emulator/kernel/namespace.h"

#include <algorithm>
#include <cstdio>

#include "emulator/kernel/kernel_internal.h"
#include "emulator/kernel/machine.h"
#include "emulator/kernel/registry.h"
#include "emulator/kernel/rtl_string.h"

namespace emu {
namespace {

constexpr std::u16string_view kDosPrefix = u"\\??\\";

// Replaces a DOS-namespace alias at the front of `name` by \??\ (case kept for the rest).
std::u16string DosSpelling(std::u16string_view name) {
    for (std::u16string_view alias : {u"\\DosDevices\\", u"\\GLOBAL??\\"})
        if (name.size() >= alias.size() && EqualNoCase(name.substr(0, alias.size()), alias))
            return std::u16string(kDosPrefix) + std::u16string(name.substr(alias.size()));
    return std::u16string(name);
}

std::u16string GuidText(const GUID &g) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", unsigned(g.Data1),
                  unsigned(g.Data2), unsigned(g.Data3), g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                  g.Data4[5], g.Data4[6], g.Data4[7]);
    return Widen(text);
}

}  // namespace

Namespace::Namespace() { configuration_.Version = 0; }

std::u16string Namespace::Canonical(std::u16string_view name) { return Upcase(DosSpelling(name)); }

bool Namespace::NameTakenLocked(const std::u16string &canonical) const {
    if (devices_.count(canonical) || links_.count(canonical)) return true;
    auto it = interfaces_.find(canonical);
    return it != interfaces_.end() && it->second.enabled;
}

NTSTATUS Namespace::InsertDevice(std::u16string_view name, PDEVICE_OBJECT device) {
    if (name.empty() || name[0] != u'\\') return STATUS_OBJECT_NAME_INVALID;
    std::lock_guard g(lock_);
    auto key = Canonical(name);
    if (NameTakenLocked(key)) return STATUS_OBJECT_NAME_COLLISION;
    devices_[key] = {std::u16string(name), device};
    return STATUS_SUCCESS;
}

void Namespace::RemoveDevice(PDEVICE_OBJECT device) {
    {
        std::lock_guard g(lock_);
        std::erase_if(devices_, [&](auto &entry) { return entry.second.second == device; });
        std::erase_if(interfaces_, [&](auto &entry) { return entry.second.pdo == device; });
        instanceIds_.erase(device);
    }
    // Outside lock_: the registry asks this service for instance ids under its own calls.
    Machine::current().service<Registry>().ForgetDevice(device);
}

std::optional<std::u16string> Namespace::DeviceName(PDEVICE_OBJECT device) const {
    std::lock_guard g(lock_);
    for (auto &[key, entry] : devices_)
        if (entry.second == device) return entry.first;
    return std::nullopt;
}

PDEVICE_OBJECT Namespace::Resolve(std::u16string_view name) const {
    std::lock_guard g(lock_);
    auto key = Canonical(name);
    if (auto it = interfaces_.find(key); it != interfaces_.end()) return it->second.enabled ? it->second.pdo : nullptr;
    if (auto it = links_.find(key); it != links_.end()) key = Canonical(it->second);
    auto it = devices_.find(key);
    return it == devices_.end() ? nullptr : it->second.second;
}

PDEVICE_OBJECT Namespace::Resolve(std::string_view name) const { return Resolve(Widen(name)); }

NTSTATUS Namespace::CreateSymbolicLink(std::u16string_view link, std::u16string_view target) {
    if (link.empty() || link[0] != u'\\') return STATUS_OBJECT_NAME_INVALID;
    std::lock_guard g(lock_);
    auto key = Canonical(link);
    if (NameTakenLocked(key)) return STATUS_OBJECT_NAME_COLLISION;
    links_[key] = std::u16string(target);
    return STATUS_SUCCESS;
}

NTSTATUS Namespace::DeleteSymbolicLink(std::u16string_view link) {
    std::lock_guard g(lock_);
    return links_.erase(Canonical(link)) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

std::optional<std::u16string> Namespace::LinkTarget(std::u16string_view link) const {
    std::lock_guard g(lock_);
    auto it = links_.find(Canonical(link));
    if (it == links_.end()) return std::nullopt;
    return it->second;
}

void Namespace::SetDeviceInstanceId(PDEVICE_OBJECT pdo, std::u16string_view instanceId) {
    std::lock_guard g(lock_);
    instanceIds_[pdo] = instanceId;
}

std::optional<std::u16string> Namespace::DeviceInstanceId(PDEVICE_OBJECT pdo) const {
    std::lock_guard g(lock_);
    auto it = instanceIds_.find(pdo);
    if (it == instanceIds_.end()) return std::nullopt;
    return it->second;
}

NTSTATUS Namespace::RegisterInterface(PDEVICE_OBJECT pdo, const GUID &interfaceClass, std::u16string_view reference,
                                      std::u16string &link) {
    std::lock_guard g(lock_);
    auto id = instanceIds_.find(pdo);
    if (id == instanceIds_.end()) return STATUS_INVALID_DEVICE_REQUEST;
    std::u16string device = id->second;
    std::replace(device.begin(), device.end(), u'\\', u'#');
    std::u16string name = std::u16string(kDosPrefix) + device + u"#" + GuidText(interfaceClass);
    if (!reference.empty()) name += u"\\" + std::u16string(reference);
    auto key = Canonical(name);
    auto [it, inserted] = interfaces_.try_emplace(key, Interface{pdo, interfaceClass, name, false});
    link = it->second.link;
    return STATUS_SUCCESS;
}

NTSTATUS Namespace::SetInterfaceState(std::u16string_view link, bool enable) {
    std::lock_guard g(lock_);
    auto key = Canonical(link);
    auto it = interfaces_.find(key);
    if (it == interfaces_.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (enable) {
        if (it->second.enabled) return STATUS_OBJECT_NAME_EXISTS;
        if (devices_.count(key) || links_.count(key)) return STATUS_OBJECT_NAME_COLLISION;
        it->second.enabled = true;
        return STATUS_SUCCESS;
    }
    if (!it->second.enabled) return STATUS_OBJECT_NAME_NOT_FOUND;
    it->second.enabled = false;
    return STATUS_SUCCESS;
}

std::vector<std::u16string> Namespace::EnabledInterfaces(const GUID &interfaceClass) const {
    std::lock_guard g(lock_);
    std::vector<std::u16string> links;
    for (auto &[key, i] : interfaces_)
        if (i.enabled && IsEqualGUID(i.interfaceClass, interfaceClass)) links.push_back(i.link);
    return links;
}

bool Namespace::InterfaceEnabled(std::u16string_view link) const {
    std::lock_guard g(lock_);
    auto it = interfaces_.find(Canonical(link));
    return it != interfaces_.end() && it->second.enabled;
}

}  // namespace emu

using namespace emu;

namespace {
Namespace &Ns() { return Machine::current().service<Namespace>(); }
// The answer of a naming routine the verifier refused to run.
constexpr NTSTATUS kRefused = STATUS_INVALID_DEVICE_STATE;
}  // namespace

extern "C" {

NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
    if (!RequireIrql("IoCreateSymbolicLink", PASSIVE_LEVEL)) return kRefused;
    if (!SymbolicLinkName || !DeviceName) return STATUS_INVALID_PARAMETER;
    return Ns().CreateSymbolicLink(View(*SymbolicLinkName), View(*DeviceName));
}

NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
    if (!RequireIrql("IoDeleteSymbolicLink", PASSIVE_LEVEL)) return kRefused;
    if (!SymbolicLinkName) return STATUS_INVALID_PARAMETER;
    return Ns().DeleteSymbolicLink(View(*SymbolicLinkName));
}

NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID *InterfaceClassGuid,
                                         PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName) {
    if (!RequireIrql("IoRegisterDeviceInterface", PASSIVE_LEVEL)) return kRefused;
    if (!PhysicalDeviceObject || !InterfaceClassGuid || !SymbolicLinkName) return STATUS_INVALID_PARAMETER;
    std::u16string link;
    NTSTATUS status = Ns().RegisterInterface(PhysicalDeviceObject, *InterfaceClassGuid,
                                             ReferenceString ? View(*ReferenceString) : std::u16string_view(), link);
    if (!NT_SUCCESS(status)) return status;
    return AllocateUnicodeString(SymbolicLinkName, link);
}

NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
    if (!RequireIrql("IoSetDeviceInterfaceState", PASSIVE_LEVEL)) return kRefused;
    if (!SymbolicLinkName) return STATUS_INVALID_PARAMETER;
    return Ns().SetInterfaceState(View(*SymbolicLinkName), Enable != FALSE);
}

PCONFIGURATION_INFORMATION NTAPI IoGetConfigurationInformation(void) {
    RequireIrql("IoGetConfigurationInformation", PASSIVE_LEVEL);
    return Ns().Configuration();
}

}  // extern "C"
