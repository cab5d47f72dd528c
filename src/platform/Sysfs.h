#pragma once

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

// First line of an attribute file without trailing white space; empty when unreadable.
std::string readAttribute(const std::string& path);

// Every USB device (not interface) under <root>/bus/usb/devices.
std::vector<UsbDevice> usbDevices(const std::string& root);

// The USB device a video node ("video0") belongs to; false for non-USB nodes.
bool usbDeviceOfVideoNode(const std::string& root, const std::string& node, UsbDevice& device);

// Display path of a video node: the node path, and for a USB device "?usb#vid_<vendor>&
// pid_<product>#<kernel name>", so that the ids and the kernel name appear in this order.
std::wstring videoDevicePath(const std::string& root, const std::string& nodePath);

// The node path of a display path built by videoDevicePath.
std::string videoNodeOfPath(const std::wstring& devicePath);

}  // namespace sysfs
}  // namespace platform
