// Runs against the shared library, whose hidapi entry points then come first in the process's
// symbol lookup: the system HID library's calls to its own entry points must still reach its
// own code.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "kelvix/HIDComm.h"
#include "kelvix/hidapi.h"

TEST(HidApiExports, SystemLibraryKeepsItsOwnCalls) {
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() /
        ("kelvix-not-hidraw-" + std::to_string(reinterpret_cast<std::uintptr_t>(&path)));
    std::ofstream(path) << "x";
    // Not a device node: refused before the system library sees it.
    EXPECT_EQ(hid_open_path(path.c_str(), 1), nullptr);
    EXPECT_EQ(hid_open_path(path.c_str(), 0), nullptr);
    std::filesystem::remove(path);
    // Reaches the system library, which initialises itself through the dynamic linker.
    EXPECT_EQ(hid_open_path("/dev/hidraw-kelvix-none", 1), nullptr);

    hid_device_info* list = hid_enumerate(0, 0);
    for (hid_device_info* d = list; d; d = d->next) {
        EXPECT_TRUE(d->in_use == 0 || d->in_use == 1);
    }
    hid_free_enumeration(list);
    EXPECT_NE(hid_error(nullptr), nullptr);
    EXPECT_EQ(hid_open(0x0403, 0xDE37, L"no such camera", 1), nullptr);

    HIDComm comm;
    DEVICE_DESCRIPTION d;
    d.serialNumber = 4000000000u;
    EXPECT_EQ(comm.get_device_info(&d), 1);
    DEVICE_DESCRIPTION copy;
    copy = d;  // the library's exported assignment
    EXPECT_EQ(copy.serialNumber, 4000000000u);
    EXPECT_EQ(hid_exit(), 0);
}
