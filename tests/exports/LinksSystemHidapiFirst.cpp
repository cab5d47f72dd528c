// An application that links the system hidapi ahead of libkelvix. Its own hid_* calls are the
// system library's; the library's own HID calls must still reach the library.
#include <hidapi/hidapi.h>

#include "kelvix/HIDComm.h"

int main() {
    hid_free_enumeration(hid_enumerate(0, 0));
    HIDComm comm;
    DEVICE_DESCRIPTION d;
    d.serialNumber = 4000000000u;  // no such camera
    return comm.get_device_info(&d) == 1 ? 0 : 1;
}
