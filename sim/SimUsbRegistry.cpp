// The in-memory keys and their case-insensitive lookup.
#include "SimUsbRegistry.h"

#include <cwchar>

#include "SimVideo.h"
#include "platform/Strings.h"

namespace sim {

namespace {

class SimKey : public platform::UsbRegistry::Key {
  public:
    explicit SimKey(std::vector<std::pair<std::wstring, std::map<std::wstring, std::wstring>>> s)
        : subKeys_(std::move(s)) {}

    bool subKeyName(std::size_t index, std::wstring& name) override {
        if (index >= subKeys_.size()) {
            return false;
        }
        name = subKeys_[index].first;
        return true;
    }

    bool subKeyValue(const std::wstring& subKey, const std::wstring& valueName,
                     std::wstring& value) override {
        for (const auto& entry : subKeys_) {
            if (platform::toLower(entry.first) == platform::toLower(subKey)) {
                auto it = entry.second.find(platform::toLower(valueName));
                if (it == entry.second.end()) {
                    return false;
                }
                value = it->second;
                return true;
            }
        }
        return false;
    }

  private:
    std::vector<std::pair<std::wstring, std::map<std::wstring, std::wstring>>> subKeys_;
};

}  // namespace

std::wstring SimUsbRegistry::keyPath(std::uint16_t vendor, std::uint16_t product) {
    wchar_t text[96];
    std::swprintf(text, 96, L"SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_%04x&Pid_%04x", vendor,
                  product);
    return text;
}

void SimUsbRegistry::addInstance(std::uint16_t vendor, std::uint16_t product,
                                 const std::wstring& subKey, const std::wstring& parentIdPrefix) {
    std::lock_guard<std::mutex> lock(mutex_);
    Values values;
    values[L"parentidprefix"] = parentIdPrefix;
    keys_[platform::toLower(keyPath(vendor, product))].emplace_back(subKey, values);
}

void SimUsbRegistry::attach(const SimCamera& camera) {
    addInstance(0x0403, 0xDE37, std::to_wstring(camera.serial()), simParentIdPrefix(camera));
}

void SimUsbRegistry::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    keys_.clear();
}

std::unique_ptr<platform::UsbRegistry::Key> SimUsbRegistry::openLocalMachineKey(
    const std::wstring& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = keys_.find(platform::toLower(path));
    if (it == keys_.end()) {
        return nullptr;
    }
    return std::make_unique<SimKey>(it->second);
}

}  // namespace sim
