// The hidapi calls of the HID transport (HIDComm.cpp), the library's only user of them.
#pragma once

#include <cstddef>

#include "kelvix/hidapi.h"

// The library's own way into the hidapi functions it exports: the same code, bound inside the
// library, so that a program that also links the system hidapi cannot take the library's own
// calls over (the share flag and the in-use field exist only here).
namespace platform {
namespace hid {

hid_device_info* enumerate(unsigned short vendorId, unsigned short productId);
void freeEnumeration(hid_device_info* devs);
hid_device* openPath(const char* path, int shared);
int write(hid_device* dev, const unsigned char* data, std::size_t length);
int readTimeout(hid_device* dev, unsigned char* data, std::size_t length, int milliseconds);
void close(hid_device* dev);

}  // namespace hid
}  // namespace platform
