// The USB registry branch in which the video device (IRDeviceDS) finds the serial of a video
// device: the sub-key whose parent id prefix its device path holds. Backends: sysfs
// (SysfsUsbRegistry) and the simulated camera's.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "platform/ScopedInstall.h"

namespace platform {

// The USB enumeration branch of the system registry: keys with sub-keys and string values.
class UsbRegistry {
  public:
    class Key {
      public:
        virtual ~Key() = default;
        // Name of the sub-key at `index` (index order); false past the last one.
        virtual bool subKeyName(std::size_t index, std::wstring& name) = 0;
        // A string value of a sub-key; false when the sub-key or the value is missing.
        virtual bool subKeyValue(const std::wstring& subKey, const std::wstring& valueName,
                                 std::wstring& value) = 0;
    };

    virtual ~UsbRegistry() = default;
    // Opens a key of the local machine's hive (names compare case-insensitively); null when
    // it does not exist.
    virtual std::unique_ptr<Key> openLocalMachineKey(const std::wstring& path) = 0;
};

// The registry in use: the installed one, else the system's (sysfs).
UsbRegistry& usbRegistry();
// Installs a registry (not owned) in place of the system's; restore goes back to the system's.
void installUsbRegistry(UsbRegistry* registry);
void restoreUsbRegistry();
// Installs a registry for the lifetime of the guard.
using ScopedUsbRegistry = ScopedInstall<UsbRegistry, installUsbRegistry, restoreUsbRegistry>;

// The registry built from sysfs: the key "SYSTEM\CurrentControlSet\Enum\USB\Vid_xxxx&Pid_xxxx"
// holds one sub-key per USB device with these ids and a serial, named by the serial, whose
// "ParentIdPrefix" is the device's kernel name (as video device paths carry it). Sub-keys with
// longer kernel names come first, so a kernel name that is part of another ("1-1" in "1-1.2")
// is never matched against the other's path.
class SysfsUsbRegistry : public UsbRegistry {
  public:
    explicit SysfsUsbRegistry(std::string root = "/sys") : root_(std::move(root)) {}
    std::unique_ptr<Key> openLocalMachineKey(const std::wstring& path) override;

  private:
    std::string root_;
};

}  // namespace platform
