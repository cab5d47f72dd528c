// The simulated USB registry: maps each attached camera's serial to its parent id prefix, as the
// video device's lookup expects. ScopedSimVideo installs it.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "SimCamera.h"
#include "platform/UsbRegistry.h"

namespace sim {

// An in-memory USB enumeration branch: per vendor and product id an ordered list of sub-keys
// with string values. Key names compare case-insensitively.
class SimUsbRegistry : public platform::UsbRegistry {
  public:
    // Adds a sub-key (in index order after the existing ones) with its "ParentIdPrefix".
    void addInstance(std::uint16_t vendor, std::uint16_t product, const std::wstring& subKey,
                     const std::wstring& parentIdPrefix);
    // The camera's entry: sub-key named by its serial, its prefix as "ParentIdPrefix".
    void attach(const SimCamera& camera);
    void clear();

    // "SYSTEM\CurrentControlSet\Enum\USB\Vid_xxxx&Pid_xxxx".
    static std::wstring keyPath(std::uint16_t vendor, std::uint16_t product);

    std::unique_ptr<Key> openLocalMachineKey(const std::wstring& path) override;

  private:
    using Values = std::map<std::wstring, std::wstring>;
    using SubKeys = std::vector<std::pair<std::wstring, Values>>;
    std::mutex mutex_;
    std::map<std::wstring, SubKeys> keys_;  // by lower-case path
};

}  // namespace sim
