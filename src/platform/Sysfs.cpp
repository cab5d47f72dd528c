// Directory walks, link resolution and attribute reads on sysfs.
#include "platform/Sysfs.h"

#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

#include "platform/Strings.h"

namespace platform {
namespace sysfs {

namespace {

bool isFile(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool readUsbDevice(const std::string& dir, const std::string& name, UsbDevice& device) {
    if (!isFile(dir + "/idVendor") || !isFile(dir + "/idProduct")) {
        return false;
    }
    device.kernelName = name;
    device.vendor = toLower(readAttribute(dir + "/idVendor"));
    device.product = toLower(readAttribute(dir + "/idProduct"));
    device.serial = readAttribute(dir + "/serial");
    return true;
}

}  // namespace

std::string readAttribute(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line)) {
        return std::string();
    }
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) {
        line.pop_back();
    }
    return line;
}

std::vector<UsbDevice> usbDevices(const std::string& root) {
    std::vector<UsbDevice> out;
    const std::string base = root + "/bus/usb/devices";
    DIR* dir = ::opendir(base.c_str());
    if (dir == nullptr) {
        return out;
    }
    while (dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        // Interfaces ("1-1:1.0") and dot entries are not devices.
        if (name.empty() || name[0] == '.' || name.find(':') != std::string::npos) {
            continue;
        }
        UsbDevice device;
        if (readUsbDevice(base + "/" + name, name, device)) {
            out.push_back(device);
        }
    }
    ::closedir(dir);
    std::sort(out.begin(), out.end(),
              [](const UsbDevice& a, const UsbDevice& b) { return a.kernelName < b.kernelName; });
    return out;
}

bool isCamera(const UsbDevice& device) {
    return std::strtoul(device.vendor.c_str(), nullptr, 16) == kCameraVendorId &&
           std::strtoul(device.product.c_str(), nullptr, 16) == kCameraProductId;
}

std::string udevRuleAdvice(int error) {
    if (error != EACCES && error != EPERM) {
        return std::string();
    }
    return " (the udev rule 70-kelvix.rules gives the camera's nodes to the logged-in user and "
           "the plugdev group: see the README's Troubleshooting)";
}

bool usbDeviceOfNode(const std::string& root, const std::string& deviceClass,
                     const std::string& node, UsbDevice& device) {
    const std::string link = root + "/class/" + deviceClass + "/" + node + "/device";
    char resolved[PATH_MAX];
    if (::realpath(link.c_str(), resolved) == nullptr) {
        return false;
    }
    char top[PATH_MAX];
    if (::realpath(root.c_str(), top) == nullptr) {
        return false;
    }
    const std::string rootDir = top;
    // The link names the USB interface (or a HID device below it); the USB device is the
    // nearest ancestor with ids.
    std::string dir = resolved;
    for (int depth = 0;
         depth < 4 && dir.size() > rootDir.size() && dir.compare(0, rootDir.size(), rootDir) == 0;
         ++depth) {
        const std::size_t slash = dir.find_last_of('/');
        const std::string name = dir.substr(slash == std::string::npos ? 0 : slash + 1);
        if (name.find(':') == std::string::npos && readUsbDevice(dir, name, device)) {
            return true;
        }
        if (slash == std::string::npos || slash == 0) {
            break;
        }
        dir.erase(slash);
    }
    return false;
}

std::wstring videoDevicePath(const std::string& root, const std::string& nodePath) {
    const std::size_t slash = nodePath.find_last_of('/');
    const std::string node = nodePath.substr(slash == std::string::npos ? 0 : slash + 1);
    std::string path = nodePath;
    UsbDevice device;
    if (usbDeviceOfNode(root, "video4linux", node, device)) {
        path += "?usb#vid_" + device.vendor + "&pid_" + device.product + "#" + device.kernelName;
    }
    return toWide(path);
}

bool isHidrawNode(const std::string& root, const std::string& nodePath, UsbDevice& usb) {
    struct stat st;
    if (::stat(nodePath.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) {
        return false;
    }
    const std::string number =
        std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
    const std::string base = root + "/class/hidraw";
    DIR* dir = ::opendir(base.c_str());
    if (dir == nullptr) {
        return false;
    }
    bool listed = false;
    while (dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.empty() || name[0] == '.' || readAttribute(base + "/" + name + "/dev") != number) {
            continue;
        }
        listed = true;
        usbDeviceOfNode(root, "hidraw", name, usb);
        break;
    }
    ::closedir(dir);
    return listed;
}

std::string videoNodeOfPath(const std::wstring& devicePath) {
    const std::string path = toNarrow(devicePath);
    return path.substr(0, path.find('?'));
}

}  // namespace sysfs
}  // namespace platform
