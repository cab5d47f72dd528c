#pragma once

#include <cstddef>

namespace platform {

// Entry points of the system HID library in its own form, for calls that the library makes
// back into itself. Valid while the library is loaded.
struct SystemHidApi {
    int (*init)() = nullptr;
    int (*exit)() = nullptr;
    void* (*enumerate)(unsigned short, unsigned short) = nullptr;
    void (*freeEnumeration)(void*) = nullptr;
    void* (*open)(unsigned short, unsigned short, const wchar_t*) = nullptr;
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

}  // namespace platform
