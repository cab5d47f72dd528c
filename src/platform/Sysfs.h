// Reading the kernel's sysfs tree (under a root that tests point at a replica): USB devices, the
// USB device behind a video or hidraw node, and the display paths of video nodes. Used by the
// system HID backend, the sysfs USB registry and the V4L2 capture service.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {
namespace sysfs {

// A USB device as sysfs shows it (ids as the lower-case hex text of their attributes).
struct UsbDevice {
    std::string kernelName;  // e.g. "1-1.2"
    std::string vendor;      // "0403"
    std::string product;     // "de37"
    std::string serial;      // empty when the device has none
};

// The camera's USB ids. A node of the camera that cannot be opened is an error the user must
// see (usually a missing udev rule); other devices' nodes are none of our business.
constexpr std::uint16_t kCameraVendorId = 0x0403;
constexpr std::uint16_t kCameraProductId = 0xDE37;
bool isCamera(const UsbDevice& device);
// What an ERROR about a camera node that cannot be opened (errno-style `error`) adds: for a
// denied permission, the udev rule that grants it; nothing for other reasons.
std::string udevRuleAdvice(int error);

// First line of an attribute file without trailing white space; empty when unreadable.
std::string readAttribute(const std::string& path);

// Every USB device (not interface) under <root>/bus/usb/devices.
std::vector<UsbDevice> usbDevices(const std::string& root);

// The USB device that the node `node` ("video0") of the device class `deviceClass`
// ("video4linux") belongs to; false for non-USB nodes.
bool usbDeviceOfNode(const std::string& root, const std::string& deviceClass,
                     const std::string& node, UsbDevice& device);

// Whether sysfs lists the character device at `nodePath` in its hidraw class, compared by
// device number so that any name of the node counts. `usb` receives the USB device it belongs
// to, when it is one.
bool isHidrawNode(const std::string& root, const std::string& nodePath, UsbDevice& usb);

// Display path of a video node: the node path, and for a USB device "?usb#vid_<vendor>&
// pid_<product>#<kernel name>", so that the ids and the kernel name appear in this order.
std::wstring videoDevicePath(const std::string& root, const std::string& nodePath);

// The node path of a display path built by videoDevicePath.
std::string videoNodeOfPath(const std::wstring& devicePath);

}  // namespace sysfs
}  // namespace platform
