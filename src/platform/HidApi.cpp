// hidapi's entry points as this library exports them. Devices come from the HID backend in
// force (the system library or the simulated camera).
//
// The system library calls some of its own entry points (hid_read_timeout, hid_close,
// hid_init, ...) through the dynamic linker, which binds them to these. Every handle and
// device record made here is registered; a pointer that is not is the system library's own and
// goes straight back to it, in its own layout.
#include "platform/HidApi.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <mutex>
#include <unordered_set>

#include "platform/HidBackend.h"
#include "platform/SystemHid.h"

struct hid_device_ {
    std::unique_ptr<platform::HidHandle> handle;
    hid_device_info* info = nullptr;
};

namespace {

std::mutex ownMutex;

std::unordered_set<const void*>& owned() {
    static std::unordered_set<const void*> set;
    return set;
}

void adopt(const void* p) {
    std::lock_guard<std::mutex> lock(ownMutex);
    owned().insert(p);
}

void disown(const void* p) {
    std::lock_guard<std::mutex> lock(ownMutex);
    owned().erase(p);
}

// A handle or record of the system library's.
bool foreign(const void* p) {
    if (p == nullptr) {
        return false;
    }
    std::lock_guard<std::mutex> lock(ownMutex);
    return owned().count(p) == 0;
}

const platform::SystemHidApi& sys() {
    return platform::systemHidApi();
}

// Calls the system library's entry point on one of its own handles (`fallback` when it lacks
// that entry point).
template <typename R, typename... P, typename... A>
R passBack(R (*fn)(void*, P...), R fallback, hid_device* dev, A... args) {
    return fn ? fn(dev, args...) : fallback;
}

wchar_t* dupText(const std::wstring& s) {
    auto* out = static_cast<wchar_t*>(std::malloc((s.size() + 1) * sizeof(wchar_t)));
    if (out) {
        std::wmemcpy(out, s.c_str(), s.size() + 1);
    }
    return out;
}

hid_device_info* makeInfo(const platform::HidDeviceEntry& e) {
    auto* info = static_cast<hid_device_info*>(std::calloc(1, sizeof(hid_device_info)));
    if (!info) {
        return nullptr;
    }
    info->path = strdup(e.path.c_str());
    info->vendor_id = e.vendorId;
    info->product_id = e.productId;
    info->serial_number = e.hasSerial ? dupText(e.serial) : nullptr;
    info->release_number = e.releaseNumber;
    info->manufacturer_string = dupText(e.manufacturer);
    info->product_string = dupText(e.product);
    info->usage_page = e.usagePage;
    info->usage = e.usage;
    info->interface_number = e.interfaceNumber;
    info->in_use = e.inUse ? 1 : 0;
    info->next = nullptr;
    info->bus_type = static_cast<hid_bus_type>(e.busType);
    adopt(info);
    return info;
}

void freeInfo(hid_device_info* info) {
    disown(info);
    std::free(info->path);
    std::free(info->serial_number);
    std::free(info->manufacturer_string);
    std::free(info->product_string);
    std::free(info);
}

int copyString(const std::wstring& s, wchar_t* out, size_t maxlen) {
    if (!out || maxlen == 0) {
        return -1;
    }
    std::wcsncpy(out, s.c_str(), maxlen);
    out[maxlen - 1] = L'\0';
    return 0;
}

// hid_open found no device to open on this thread's last call; a failed open of a device that
// was found leaves its path and reason with the backend.
thread_local bool openFoundNothing = false;

hid_device* wrap(std::unique_ptr<platform::HidHandle> handle) {
    if (!handle) {
        return nullptr;
    }
    auto* dev = new hid_device_;
    dev->handle = std::move(handle);
    adopt(dev);
    return dev;
}

}  // namespace

namespace platform {
namespace hid {

hid_device_info* enumerate(unsigned short vendorId, unsigned short productId) {
    hid_device_info* head = nullptr;
    hid_device_info** tail = &head;
    for (const HidDeviceEntry& e : hidBackend().enumerate(vendorId, productId)) {
        hid_device_info* info = makeInfo(e);
        if (!info) {
            break;
        }
        *tail = info;
        tail = &info->next;
    }
    return head;
}

void freeEnumeration(hid_device_info* devs) {
    while (devs) {
        hid_device_info* next = devs->next;
        freeInfo(devs);
        devs = next;
    }
}

hid_device* openPath(const char* path, int shared) {
    openFoundNothing = false;
    return path ? wrap(hidBackend().openPath(path, shared != 0)) : nullptr;
}

int write(hid_device* dev, const unsigned char* data, std::size_t length) {
    return dev ? dev->handle->write(data, length) : -1;
}

int readTimeout(hid_device* dev, unsigned char* data, std::size_t length, int milliseconds) {
    return dev ? dev->handle->readTimeout(data, length, milliseconds) : -1;
}

void close(hid_device* dev) {
    if (!dev) {
        return;
    }
    disown(dev);
    if (dev->info) {
        freeInfo(dev->info);
    }
    delete dev;
}

}  // namespace hid
}  // namespace platform

extern "C" {

int hid_init(void) {
    return platform::hidBackend().init();
}

int hid_exit(void) {
    return platform::hidBackend().exit();
}

hid_device_info* hid_enumerate(unsigned short vendor_id, unsigned short product_id) {
    return platform::hid::enumerate(vendor_id, product_id);
}

void hid_free_enumeration(hid_device_info* devs) {
    if (foreign(devs)) {
        if (sys().freeEnumeration) {
            sys().freeEnumeration(devs);
        }
        return;
    }
    platform::hid::freeEnumeration(devs);
}

hid_device* hid_open(unsigned short vendor_id, unsigned short product_id,
                     const wchar_t* serial_number, int shared) {
    // Never the system's own open: it would walk the enumeration in its own layout.
    platform::HidBackend& backend = platform::hidBackend();
    for (const platform::HidDeviceEntry& e : backend.enumerate(vendor_id, product_id)) {
        if (e.vendorId != vendor_id || e.productId != product_id) {
            continue;
        }
        if (serial_number && (!e.hasSerial || e.serial != serial_number)) {
            continue;
        }
        return platform::hid::openPath(e.path.c_str(), shared);
    }
    openFoundNothing = true;
    return nullptr;
}

hid_device* hid_open_path(const char* path, int shared) {
    return platform::hid::openPath(path, shared);
}

int hid_write(hid_device* dev, const unsigned char* data, size_t length) {
    if (foreign(dev)) {
        return passBack(sys().write, -1, dev, data, length);
    }
    return platform::hid::write(dev, data, length);
}

int hid_read_timeout(hid_device* dev, unsigned char* data, size_t length, int milliseconds) {
    if (foreign(dev)) {
        return passBack(sys().readTimeout, -1, dev, data, length, milliseconds);
    }
    return platform::hid::readTimeout(dev, data, length, milliseconds);
}

int hid_read(hid_device* dev, unsigned char* data, size_t length) {
    if (foreign(dev)) {
        return passBack(sys().read, -1, dev, data, length);
    }
    return dev ? dev->handle->read(data, length) : -1;
}

int hid_set_nonblocking(hid_device* dev, int nonblock) {
    if (foreign(dev)) {
        return passBack(sys().setNonblocking, -1, dev, nonblock);
    }
    return dev ? dev->handle->setNonblocking(nonblock) : -1;
}

int hid_send_feature_report(hid_device* dev, const unsigned char* data, size_t length) {
    if (foreign(dev)) {
        return passBack(sys().sendFeatureReport, -1, dev, data, length);
    }
    return dev ? dev->handle->sendFeatureReport(data, length) : -1;
}

int hid_get_feature_report(hid_device* dev, unsigned char* data, size_t length) {
    if (foreign(dev)) {
        return passBack(sys().getFeatureReport, -1, dev, data, length);
    }
    return dev ? dev->handle->getFeatureReport(data, length) : -1;
}

int hid_get_input_report(hid_device* dev, unsigned char* data, size_t length) {
    if (foreign(dev)) {
        return passBack(sys().getInputReport, -1, dev, data, length);
    }
    return dev ? dev->handle->getInputReport(data, length) : -1;
}

void hid_close(hid_device* dev) {
    if (foreign(dev)) {
        if (sys().close) {
            sys().close(dev);
        }
        return;
    }
    platform::hid::close(dev);
}

int hid_get_manufacturer_string(hid_device* dev, wchar_t* string, size_t maxlen) {
    if (foreign(dev)) {
        return passBack(sys().getManufacturerString, -1, dev, string, maxlen);
    }
    return dev ? copyString(dev->handle->info().manufacturer, string, maxlen) : -1;
}

int hid_get_product_string(hid_device* dev, wchar_t* string, size_t maxlen) {
    if (foreign(dev)) {
        return passBack(sys().getProductString, -1, dev, string, maxlen);
    }
    return dev ? copyString(dev->handle->info().product, string, maxlen) : -1;
}

int hid_get_serial_number_string(hid_device* dev, wchar_t* string, size_t maxlen) {
    if (foreign(dev)) {
        return passBack(sys().getSerialNumberString, -1, dev, string, maxlen);
    }
    if (!dev || !dev->handle->info().hasSerial) {
        return -1;
    }
    return copyString(dev->handle->info().serial, string, maxlen);
}

hid_device_info* hid_get_device_info(hid_device* dev) {
    if (foreign(dev)) {
        return static_cast<hid_device_info*>(
            passBack(sys().getDeviceInfo, static_cast<void*>(nullptr), dev));
    }
    if (!dev) {
        return nullptr;
    }
    if (!dev->info) {
        dev->info = makeInfo(dev->handle->info());
    }
    return dev->info;
}

int hid_get_indexed_string(hid_device* dev, int string_index, wchar_t* string, size_t maxlen) {
    if (foreign(dev)) {
        return passBack(sys().getIndexedString, -1, dev, string_index, string, maxlen);
    }
    return dev ? dev->handle->getIndexedString(string_index, string, maxlen) : -1;
}

const wchar_t* hid_error(hid_device* dev) {
    if (foreign(dev)) {
        return passBack(sys().error, static_cast<const wchar_t*>(nullptr), dev);
    }
    if (dev) {
        return dev->handle->error();
    }
    return openFoundNothing ? L"Device with requested VID/PID/(SerialNumber) not found"
                            : platform::hidBackend().error();
}

const hid_api_version* hid_version(void) {
    static const hid_api_version version = {0, 13, 1};
    return &version;
}

const char* hid_version_str(void) {
    return "0.13.1";
}

}  // extern "C"
