// The system hidapi (libhidapi-hidraw.so.0) as the default HID backend: loaded with dlopen on
// first use and unloaded when its last user lets go; opens hold a flock on the hidraw node, so
// that another user of this library shows as "in use".
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "platform/HidBackend.h"

namespace platform {

// Entry points of the system HID library in its own form, taken from it with dlsym. Valid
// while the library is loaded.
struct SystemHidApi {
    int (*init)() = nullptr;
    int (*exit)() = nullptr;
    void* (*enumerate)(unsigned short, unsigned short) = nullptr;
    void (*freeEnumeration)(void*) = nullptr;
    void* (*openPath)(const char*) = nullptr;
    int (*write)(void*, const unsigned char*, std::size_t) = nullptr;
    int (*readTimeout)(void*, unsigned char*, std::size_t, int) = nullptr;
    int (*read)(void*, unsigned char*, std::size_t) = nullptr;
    int (*setNonblocking)(void*, int) = nullptr;
    int (*sendFeatureReport)(void*, const unsigned char*, std::size_t) = nullptr;
    int (*getFeatureReport)(void*, unsigned char*, std::size_t) = nullptr;
    int (*getInputReport)(void*, unsigned char*, std::size_t) = nullptr;
    void (*close)(void*) = nullptr;
    int (*getManufacturerString)(void*, wchar_t*, std::size_t) = nullptr;
    int (*getProductString)(void*, wchar_t*, std::size_t) = nullptr;
    int (*getSerialNumberString)(void*, wchar_t*, std::size_t) = nullptr;
    void* (*getDeviceInfo)(void*) = nullptr;
    int (*getIndexedString)(void*, int, wchar_t*, std::size_t) = nullptr;
    const wchar_t* (*error)(void*) = nullptr;
    const void* (*version)() = nullptr;
    const char* (*versionStr)() = nullptr;
};

const SystemHidApi& systemHidApi();

// HID devices through the system's hidraw library. Only nodes that sysfs (under `sysRoot`)
// lists in its hidraw class reach the library's open: it frees the handle of any other node
// and then writes into it. Opens hold a lock on the node that keeps others out as the share
// modes say.
class SystemHidBackend : public HidBackend {
  public:
    explicit SystemHidBackend(std::string sysRoot = "/sys") : sysRoot_(std::move(sysRoot)) {}

    int init() override;
    int exit() override;
    std::vector<HidDeviceEntry> enumerate(std::uint16_t vendorId, std::uint16_t productId) override;
    std::unique_ptr<HidHandle> openPath(const std::string& path, bool shared) override;
    const wchar_t* error() override;

  private:
    std::string sysRoot_;
};

// Probes a device node the way enumeration does: `openable` false when the node cannot be
// opened read-write at all (errno-style code in `error`); `inUse` when another descriptor
// holds a lock on it, shared or exclusive.
struct HidNodeState {
    bool openable = false;
    bool inUse = false;
    int error = 0;
};
HidNodeState probeHidNode(const std::string& path);

// The lock on a device node held while a device is open, on a descriptor of its own. An
// exclusive request takes an exclusive lock when nobody else holds one, else falls back to a
// shared lock; a shared request takes a shared lock. Mode None: an exclusive holder keeps
// this user out (or the node cannot be opened, `error` set).
class HidNodeLock {
  public:
    enum Mode { None, Shared, Exclusive };
    HidNodeLock(const std::string& path, bool exclusive);
    ~HidNodeLock();
    HidNodeLock(const HidNodeLock&) = delete;
    HidNodeLock& operator=(const HidNodeLock&) = delete;
    Mode mode() const { return mode_; }
    // Whether another user held the node when the lock was taken.
    bool inUse() const { return inUse_; }
    int error() const { return error_; }

  private:
    int fd_ = -1;
    Mode mode_ = None;
    bool inUse_ = false;
    int error_ = 0;
};

}  // namespace platform
