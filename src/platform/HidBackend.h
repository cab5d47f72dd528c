// Where HID devices come from, for the exported hidapi (HidApi.cpp) and through it the HID
// transport: the system library (SystemHid) or a stand-in that a test or SimEnvironment
// installs; and the count of users that keeps the system library loaded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/ScopedInstall.h"

namespace platform {

// One HID interface as enumeration sees it.
struct HidDeviceEntry {
    std::string path;
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    bool hasSerial = false;  // a device may have no serial-number string at all
    std::wstring serial;
    std::uint16_t releaseNumber = 0;
    std::wstring manufacturer;
    std::wstring product;
    std::uint16_t usagePage = 0;
    std::uint16_t usage = 0;
    int interfaceNumber = -1;
    bool inUse = false;  // another handle holds the device
    int busType = 0;
};

// An open HID device.
class HidHandle {
  public:
    virtual ~HidHandle() = default;
    virtual int write(const unsigned char* data, std::size_t length) = 0;
    // Negative `ms` blocks; 0 returned on time-out, -1 on error.
    virtual int readTimeout(unsigned char* data, std::size_t length, int ms) = 0;
    virtual int read(unsigned char* data, std::size_t length) = 0;
    virtual int setNonblocking(int nonblock) = 0;
    virtual int sendFeatureReport(const unsigned char* data, std::size_t length) = 0;
    virtual int getFeatureReport(unsigned char* data, std::size_t length) = 0;
    virtual int getInputReport(unsigned char* data, std::size_t length) = 0;
    virtual int getIndexedString(int index, wchar_t* text, std::size_t maxlen) = 0;
    virtual const wchar_t* error() = 0;
    virtual const HidDeviceEntry& info() const = 0;
};

// Where HID devices come from: the system's HID library or the simulated camera.
class HidBackend {
  public:
    virtual ~HidBackend() = default;
    virtual int init() = 0;
    virtual int exit() = 0;
    virtual std::vector<HidDeviceEntry> enumerate(std::uint16_t vendorId,
                                                  std::uint16_t productId) = 0;
    // shared: open shared at once; else try an exclusive open first, then shared.
    virtual std::unique_ptr<HidHandle> openPath(const std::string& path, bool shared) = 0;
    // The last error of a call without a device: after a failed openPath, its path and reason.
    virtual const wchar_t* error() = 0;
};

// The backend in force: the system one unless a test installed another.
HidBackend& hidBackend();
// Installs a backend (not owned) in place of the system's; restore goes back to the system's.
void installHidBackend(HidBackend* backend);
void restoreHidBackend();
// Installs a backend for the lifetime of the guard.
using ScopedHidBackend = ScopedInstall<HidBackend, installHidBackend, restoreHidBackend>;

// Users of the system HID library: it is loaded on demand and unloaded (hidapi marked
// uninitialised) when the last user lets go. Open devices count as users too.
void retainHidLibrary();
void releaseHidLibrary();
bool hidLibraryLoaded();

}  // namespace platform
