// The registry: an in-memory tree of keys and typed values, one per machine, behind the kernel's
// Zw*/Rtl* registry routines and IoOpenDeviceRegistryKey. Tests preload it (a device's PortName)
// and read back what the driver wrote (the SERIALCOMM device map).
//
// Paths are absolute kernel paths, "\Registry\Machine\...", compared without regard to case; a
// key keeps the spelling it was created with. The value named "" is the key's default value.
// A boot hive exists from the start: ...\CurrentControlSet\{Services,Enum} and
// \Registry\Machine\Hardware\DeviceMap.
//
// Every kernel routine here runs at PASSIVE_LEVEL only: a call at DISPATCH_LEVEL or above reports
// RegistryAtDispatch, at APC_LEVEL IrqlTooHigh; under a ReportCapture the call then does nothing
// and returns STATUS_INVALID_DEVICE_STATE.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host/wdm.h"

namespace emu {

class Registry {
public:
    static constexpr std::u16string_view kServicesPath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";
    static constexpr std::u16string_view kEnumPath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum";
    static constexpr std::u16string_view kDeviceMapPath = u"\\Registry\\Machine\\Hardware\\DeviceMap";
    // Where a serial driver publishes "\Device\X" = "COMn" (RtlWriteRegistryValue, RTL_REGISTRY_DEVICEMAP).
    static constexpr std::u16string_view kSerialCommPath = u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

    struct Value {
        ULONG type = REG_NONE;
        std::vector<uint8_t> data;
    };

    Registry();
    ~Registry();
    Registry(const Registry &) = delete;
    Registry &operator=(const Registry &) = delete;

    // ---- Test side: no IRQL rules, keys created on demand -----------------------------------------
    void CreateKey(std::u16string_view path);  // with every missing key on the way
    void SetValue(std::u16string_view path, std::u16string_view name, ULONG type, std::span<const uint8_t> data);
    // REG_SZ stored with its terminator, as the Win32 side stores it.
    void SetString(std::u16string_view path, std::u16string_view name, std::u16string_view text);
    void SetDword(std::u16string_view path, std::u16string_view name, ULONG value);
    bool DeleteValue(std::u16string_view path, std::u16string_view name);

    std::optional<Value> GetValue(std::u16string_view path, std::u16string_view name) const;
    // The text of a REG_SZ value up to its first terminator (or its end if it has none).
    std::optional<std::u16string> GetString(std::u16string_view path, std::u16string_view name) const;

    // ---- Device keys (IoOpenDeviceRegistryKey) --------------------------------------------------------
    // The PnP manager names a PDO's device instance key, e.g. ...\Enum\USB\VID_1209&PID_0001\5&1&0&1;
    // PLUGPLAY_REGKEY_DEVICE opens "<that>\Device Parameters", created on first use. Without an
    // explicit path, the instance id the Namespace holds for the PDO gives ...\Enum\<instance id>.
    void SetDeviceKeyPath(PDEVICE_OBJECT pdo, std::u16string_view instanceKeyPath);
    void ForgetDevice(PDEVICE_OBJECT pdo);  // the PDO is gone (Namespace::RemoveDevice calls this)
    std::optional<std::u16string> DeviceKeyPath(PDEVICE_OBJECT pdo) const;

    // ---- Handles ----------------------------------------------------------------------------------------
    // Key handles the Zw routines handed out and nobody closed yet: a driver that leaves one behind
    // at unload has leaked it.
    size_t OpenHandleCount() const;

private:
    friend struct RegistryRoutines;  // the kernel routines, in registry.cpp
    struct Key;
    struct Handle {
        Key *key;
        ACCESS_MASK access;
    };

    // All below: callers hold lock_. Keys are never deleted, so a Key* stays valid.
    Key *FindLocked(Key *from, std::u16string_view relative) const;
    Key *CreateLocked(Key *from, std::u16string_view relative);
    Key *FindAbsoluteLocked(std::u16string_view path) const;
    HANDLE InsertHandleLocked(Key *key, ACCESS_MASK access);

    mutable std::mutex lock_;
    std::unique_ptr<Key> root_;  // "\Registry"
    std::map<uintptr_t, Handle> handles_;
    uintptr_t nextHandle_ = 0x80000004;
    std::map<PDEVICE_OBJECT, std::u16string> deviceKeys_;
};

}  // namespace emu
