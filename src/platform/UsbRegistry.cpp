// Which registry is in force, and the sysfs registry's keys built from the USB devices present.
#include "platform/UsbRegistry.h"

#include <algorithm>
#include <atomic>
#include <cwctype>
#include <vector>

#include "platform/Strings.h"
#include "platform/Sysfs.h"

namespace platform {

namespace {

std::atomic<UsbRegistry*> installed{nullptr};

// Four hex digits at `pos`, as lower-case text; empty when they are not there.
std::string hexId(const std::wstring& text, std::size_t pos) {
    if (pos + 4 > text.size()) {
        return std::string();
    }
    std::string id;
    for (std::size_t i = pos; i < pos + 4; ++i) {
        if (!std::iswxdigit(text[i])) {
            return std::string();
        }
        id.push_back(static_cast<char>(text[i]));
    }
    return id;
}

class SysfsKey : public UsbRegistry::Key {
  public:
    explicit SysfsKey(std::vector<sysfs::UsbDevice> devices) : devices_(std::move(devices)) {}

    bool subKeyName(std::size_t index, std::wstring& name) override {
        if (index >= devices_.size()) {
            return false;
        }
        name = toWide(devices_[index].serial);
        return true;
    }

    bool subKeyValue(const std::wstring& subKey, const std::wstring& valueName,
                     std::wstring& value) override {
        if (toLower(valueName) != L"parentidprefix") {
            return false;
        }
        for (const auto& d : devices_) {
            if (toWide(d.serial) == subKey) {
                value = toWide(d.kernelName);
                return true;
            }
        }
        return false;
    }

  private:
    std::vector<sysfs::UsbDevice> devices_;
};

}  // namespace

UsbRegistry& usbRegistry() {
    if (UsbRegistry* r = installed.load()) {
        return *r;
    }
    static SysfsUsbRegistry system;
    return system;
}

void installUsbRegistry(UsbRegistry* registry) {
    installed.store(registry);
}

void restoreUsbRegistry() {
    installed.store(nullptr);
}

std::unique_ptr<UsbRegistry::Key> SysfsUsbRegistry::openLocalMachineKey(const std::wstring& path) {
    static const std::wstring branch = L"system\\currentcontrolset\\enum\\usb\\vid_";
    const std::wstring key = toLower(path);
    if (key.size() != branch.size() + 13 || key.compare(0, branch.size(), branch) != 0 ||
        key.compare(branch.size() + 4, 5, L"&pid_") != 0) {
        return nullptr;
    }
    const std::string vendor = hexId(key, branch.size());
    const std::string product = hexId(key, branch.size() + 9);
    if (vendor.empty() || product.empty()) {
        return nullptr;
    }
    std::vector<sysfs::UsbDevice> matches;
    for (auto& d : sysfs::usbDevices(root_)) {
        if (d.vendor == vendor && d.product == product && !d.serial.empty()) {
            matches.push_back(d);
        }
    }
    if (matches.empty()) {
        return nullptr;
    }
    std::stable_sort(matches.begin(), matches.end(),
                     [](const sysfs::UsbDevice& a, const sysfs::UsbDevice& b) {
                         return a.kernelName.size() > b.kernelName.size();
                     });
    return std::make_unique<SysfsKey>(std::move(matches));
}

}  // namespace platform
