// hidapi's entry points as this library exports them. Devices come from the HID backend in
// force (the system library or the simulated camera). The system library calls some of its
// own entry points through the dynamic linker; when those calls land here they are handed
// straight back to it, in its own record layout.
#include "kelvix/hidapi.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>

#include "platform/HidBackend.h"
#include "platform/SystemHid.h"

struct hid_device_ {
    std::unique_ptr<platform::HidHandle> handle;
    hid_device_info* info = nullptr;
};

namespace {

#define KELVIX_FROM_SYSTEM_LIBRARY() platform::hidLibraryContains(__builtin_return_address(0))

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
    return info;
}

void freeInfo(hid_device_info* info) {
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

hid_device* wrap(std::unique_ptr<platform::HidHandle> handle) {
    if (!handle) {
        return nullptr;
    }
    auto* dev = new hid_device_;
    dev->handle = std::move(handle);
    return dev;
}

}  // namespace

extern "C" {

int hid_init(void) {
    if (KELVIX_FROM_SYSTEM_LIBRARY()) {
        return platform::systemHidApi().init();
    }
    return platform::hidBackend().init();
}

int hid_exit(void) {
    return platform::hidBackend().exit();
}

hid_device_info* hid_enumerate(unsigned short vendor_id, unsigned short product_id) {
    if (KELVIX_FROM_SYSTEM_LIBRARY()) {
        return static_cast<hid_device_info*>(
            platform::systemHidApi().enumerate(vendor_id, product_id));
    }
    hid_device_info* head = nullptr;
    hid_device_info** tail = &head;
    for (const platform::HidDeviceEntry& e :
         platform::hidBackend().enumerate(vendor_id, product_id)) {
        hid_device_info* info = makeInfo(e);
        if (!info) {
            break;
        }
        *tail = info;
        tail = &info->next;
    }
    return head;
}

void hid_free_enumeration(hid_device_info* devs) {
    if (KELVIX_FROM_SYSTEM_LIBRARY()) {
        platform::systemHidApi().freeEnumeration(devs);
        return;
    }
    while (devs) {
        hid_device_info* next = devs->next;
        freeInfo(devs);
        devs = next;
    }
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
        return wrap(backend.openPath(e.path, shared != 0));
    }
    return nullptr;
}

hid_device* hid_open_path(const char* path, int shared) {
    if (KELVIX_FROM_SYSTEM_LIBRARY()) {
        return static_cast<hid_device*>(platform::systemHidApi().openPath(path));
    }
    if (!path) {
        return nullptr;
    }
    return wrap(platform::hidBackend().openPath(path, shared != 0));
}

int hid_write(hid_device* dev, const unsigned char* data, size_t length) {
    return dev ? dev->handle->write(data, length) : -1;
}

int hid_read_timeout(hid_device* dev, unsigned char* data, size_t length, int milliseconds) {
    if (KELVIX_FROM_SYSTEM_LIBRARY()) {
        return platform::systemHidApi().readTimeout(dev, data, length, milliseconds);
    }
    return dev ? dev->handle->readTimeout(data, length, milliseconds) : -1;
}

int hid_read(hid_device* dev, unsigned char* data, size_t length) {
    return dev ? dev->handle->read(data, length) : -1;
}

int hid_set_nonblocking(hid_device* dev, int nonblock) {
    return dev ? dev->handle->setNonblocking(nonblock) : -1;
}

int hid_send_feature_report(hid_device* dev, const unsigned char* data, size_t length) {
    return dev ? dev->handle->sendFeatureReport(data, length) : -1;
}

int hid_get_feature_report(hid_device* dev, unsigned char* data, size_t length) {
    return dev ? dev->handle->getFeatureReport(data, length) : -1;
}

int hid_get_input_report(hid_device* dev, unsigned char* data, size_t length) {
    return dev ? dev->handle->getInputReport(data, length) : -1;
}

void hid_close(hid_device* dev) {
    if (KELVIX_FROM_SYSTEM_LIBRARY()) {
        platform::systemHidApi().close(dev);
        return;
    }
    if (!dev) {
        return;
    }
    if (dev->info) {
        freeInfo(dev->info);
    }
    delete dev;
}

int hid_get_manufacturer_string(hid_device* dev, wchar_t* string, size_t maxlen) {
    return dev ? copyString(dev->handle->info().manufacturer, string, maxlen) : -1;
}

int hid_get_product_string(hid_device* dev, wchar_t* string, size_t maxlen) {
    return dev ? copyString(dev->handle->info().product, string, maxlen) : -1;
}

int hid_get_serial_number_string(hid_device* dev, wchar_t* string, size_t maxlen) {
    if (!dev || !dev->handle->info().hasSerial) {
        return -1;
    }
    return copyString(dev->handle->info().serial, string, maxlen);
}

hid_device_info* hid_get_device_info(hid_device* dev) {
    if (KELVIX_FROM_SYSTEM_LIBRARY()) {
        auto* get = platform::systemHidApi().getDeviceInfo;
        return get ? static_cast<hid_device_info*>(get(dev)) : nullptr;
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
    return dev ? dev->handle->getIndexedString(string_index, string, maxlen) : -1;
}

const wchar_t* hid_error(hid_device* dev) {
    return dev ? dev->handle->error() : platform::hidBackend().error();
}

const hid_api_version* hid_version(void) {
    static const hid_api_version version = {0, 13, 1};
    return &version;
}

const char* hid_version_str(void) {
    return "0.13.1";
}

}  // extern "C"
