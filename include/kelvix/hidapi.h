/* The HID device API that libkelvix exports: hidapi's functions, with an extra "in use" field
 * in the device record and a share flag on the two open calls. Compiles as C.
 * Do not include the system's hidapi.h in the same translation unit: the record differs.
 * Threads as in hidapi: enumerate and open from any thread, use each handle from one thread at
 * a time. */
#ifndef KELVIX_HIDAPI_H
#define KELVIX_HIDAPI_H

#include <stddef.h>
#include <wchar.h>

#include "kelvix/export.h"

#ifdef __cplusplus
extern "C" {
#endif

struct hid_api_version {
    int major;
    int minor;
    int patch;
};

struct hid_device_;
typedef struct hid_device_ hid_device;

typedef enum {
    HID_API_BUS_UNKNOWN = 0x00,
    HID_API_BUS_USB = 0x01,
    HID_API_BUS_BLUETOOTH = 0x02,
    HID_API_BUS_I2C = 0x03,
    HID_API_BUS_SPI = 0x04
} hid_bus_type;

struct hid_device_info {
    char* path;
    unsigned short vendor_id;
    unsigned short product_id;
    wchar_t* serial_number; /* null when the device has no serial-number string */
    unsigned short release_number;
    wchar_t* manufacturer_string;
    wchar_t* product_string;
    unsigned short usage_page;
    unsigned short usage;
    int interface_number;
    /* 1 when another handle holds the device, so that it could only be opened shared. */
    int in_use;
    struct hid_device_info* next;
    hid_bus_type bus_type;
};

/* Start and end of the HID backend in force (the system library or the simulated camera). */
KELVIX_API int hid_init(void);
KELVIX_API int hid_exit(void);
/* The matching devices (0 matches any id) as a list that hid_free_enumeration frees. */
KELVIX_API struct hid_device_info* hid_enumerate(unsigned short vendor_id,
                                                 unsigned short product_id);
KELVIX_API void hid_free_enumeration(struct hid_device_info* devs);
/* shared non-zero opens shared at once; zero tries an exclusive open first, then shared. */
KELVIX_API hid_device* hid_open(unsigned short vendor_id, unsigned short product_id,
                                const wchar_t* serial_number, int shared);
KELVIX_API hid_device* hid_open_path(const char* path, int shared);
/* Reports on an open handle, the report id first; hid_read_timeout waits up to `milliseconds`.
 * -1 on failure. */
KELVIX_API int hid_write(hid_device* dev, const unsigned char* data, size_t length);
KELVIX_API int hid_read_timeout(hid_device* dev, unsigned char* data, size_t length,
                                int milliseconds);
KELVIX_API int hid_read(hid_device* dev, unsigned char* data, size_t length);
KELVIX_API int hid_set_nonblocking(hid_device* dev, int nonblock);
KELVIX_API int hid_send_feature_report(hid_device* dev, const unsigned char* data, size_t length);
KELVIX_API int hid_get_feature_report(hid_device* dev, unsigned char* data, size_t length);
KELVIX_API int hid_get_input_report(hid_device* dev, unsigned char* data, size_t length);
/* Closes the handle; it and its device record are gone afterwards. */
KELVIX_API void hid_close(hid_device* dev);
/* The device's strings, at most maxlen characters with the terminator; -1 without one. */
KELVIX_API int hid_get_manufacturer_string(hid_device* dev, wchar_t* string, size_t maxlen);
KELVIX_API int hid_get_product_string(hid_device* dev, wchar_t* string, size_t maxlen);
KELVIX_API int hid_get_serial_number_string(hid_device* dev, wchar_t* string, size_t maxlen);
/* The record belongs to the device and lives until hid_close. */
KELVIX_API struct hid_device_info* hid_get_device_info(hid_device* dev);
KELVIX_API int hid_get_indexed_string(hid_device* dev, int string_index, wchar_t* string,
                                      size_t maxlen);
/* The last error of the handle, or of the library for a null handle. */
KELVIX_API const wchar_t* hid_error(hid_device* dev);
/* The version of the hidapi interface this library gives. */
KELVIX_API const struct hid_api_version* hid_version(void);
KELVIX_API const char* hid_version_str(void);

#ifdef __cplusplus
}
#endif

#endif /* KELVIX_HIDAPI_H */
