// The object namespace: device names, symbolic links, device interfaces and the configuration
// counts, one per machine.
//
// Names are compared without regard to case. \DosDevices\X, \??\X and \GLOBAL??\X are one
// namespace (stored as \??\X), so a link a driver makes as \DosDevices\COM3 is what
// Resolve(u"\\??\\COM3") finds.
//
// How the rest of the kernel uses it:
//  - IoCreateDevice with a name calls InsertDevice (a duplicate answers
//    STATUS_OBJECT_NAME_COLLISION and the device must not be created); IoDeleteDevice calls
//    RemoveDevice for every device, named or not.
//  - The PnP manager gives each PDO its instance id (SetDeviceInstanceId) before AddDevice;
//    IoRegisterDeviceInterface and the registry's device keys derive from it.
//  - Opening a file (Win32 CreateFile "\\.\COM3" → u"\\??\\COM3") calls Resolve, which follows
//    a link to its device (a link to a link is not followed: nothing makes one) and answers the
//    named device object (for an interface link, the PDO); the caller then
//    sends IRP_MJ_CREATE to the top of that device's stack. NULL: no such name, a dangling link, or
//    a disabled interface.
//
// The kernel routines (IoCreateSymbolicLink, IoDeleteSymbolicLink, IoRegisterDeviceInterface,
// IoSetDeviceInterfaceState) run at PASSIVE_LEVEL and report IrqlTooHigh above it.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host/wdm.h"

namespace emu {

class Namespace {
public:
    Namespace();
    Namespace(const Namespace &) = delete;
    Namespace &operator=(const Namespace &) = delete;

    // ---- Device names (the I/O manager) ------------------------------------------------------------
    // STATUS_OBJECT_NAME_COLLISION when a device or link already has the name,
    // STATUS_OBJECT_NAME_INVALID when it is not an absolute name ("\Device\X").
    NTSTATUS InsertDevice(std::u16string_view name, PDEVICE_OBJECT device);
    // Drops the device's name, instance id, interfaces and registry device keys. Links to it stay
    // and dangle, as on Windows.
    void RemoveDevice(PDEVICE_OBJECT device);
    std::optional<std::u16string> DeviceName(PDEVICE_OBJECT device) const;

    // ---- Lookup ----------------------------------------------------------------------------------------
    PDEVICE_OBJECT Resolve(std::u16string_view name) const;
    PDEVICE_OBJECT Resolve(std::string_view name) const;  // ASCII names, for CreateFileA-style callers

    // ---- Symbolic links (the routines, and tests) -------------------------------------------------------
    NTSTATUS CreateSymbolicLink(std::u16string_view link, std::u16string_view target);
    NTSTATUS DeleteSymbolicLink(std::u16string_view link);  // STATUS_OBJECT_NAME_NOT_FOUND if absent
    std::optional<std::u16string> LinkTarget(std::u16string_view link) const;

    // ---- Device interfaces ---------------------------------------------------------------------------------
    // e.g. u"USB\\VID_1209&PID_0001\\5&1a2b&0&1"; IoRegisterDeviceInterface fails with
    // STATUS_INVALID_DEVICE_REQUEST for a device without one (not a PDO).
    void SetDeviceInstanceId(PDEVICE_OBJECT pdo, std::u16string_view instanceId);
    std::optional<std::u16string> DeviceInstanceId(PDEVICE_OBJECT pdo) const;
    // The link is \??\<instance id with '\' as '#'>#{guid}[\reference]; the same PDO, class and
    // reference give the same link. Registered interfaces start disabled.
    NTSTATUS RegisterInterface(PDEVICE_OBJECT pdo, const GUID &interfaceClass, std::u16string_view reference,
                               std::u16string &link);
    // STATUS_OBJECT_NAME_EXISTS (a success) enabling an enabled one; STATUS_OBJECT_NAME_NOT_FOUND
    // disabling a disabled one or naming an unknown link.
    NTSTATUS SetInterfaceState(std::u16string_view link, bool enable);
    std::vector<std::u16string> EnabledInterfaces(const GUID &interfaceClass) const;
    bool InterfaceEnabled(std::u16string_view link) const;

    // ---- IoGetConfigurationInformation -------------------------------------------------------------------------
    // Lives as long as the machine; drivers update it in place (SerialCount++ per port).
    PCONFIGURATION_INFORMATION Configuration() { return &configuration_; }

private:
    struct Interface {
        PDEVICE_OBJECT pdo;
        GUID interfaceClass;
        std::u16string link;  // as handed to the driver
        bool enabled = false;
    };
    // Upper case, DOS aliases folded into \??\.
    static std::u16string Canonical(std::u16string_view name);
    bool NameTakenLocked(const std::u16string &canonical) const;

    mutable std::mutex lock_;
    std::map<std::u16string, std::pair<std::u16string, PDEVICE_OBJECT>> devices_;  // canonical → (name, device)
    std::map<std::u16string, std::u16string> links_;                               // canonical link → target
    std::map<std::u16string, Interface> interfaces_;                               // canonical link → interface
    std::map<PDEVICE_OBJECT, std::u16string> instanceIds_;
    CONFIGURATION_INFORMATION configuration_{};
};

}  // namespace emu
