#include "platform/Sysfs.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
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

bool usbDeviceOfVideoNode(const std::string& root, const std::string& node, UsbDevice& device) {
    const std::string link = root + "/class/video4linux/" + node + "/device";
    char resolved[PATH_MAX];
    if (::realpath(link.c_str(), resolved) == nullptr) {
        return false;
    }
    char top[PATH_MAX];
    if (::realpath(root.c_str(), top) == nullptr) {
        return false;
    }
    const std::string rootDir = top;
    // The link names the USB interface; the device is the nearest ancestor with ids.
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
    if (usbDeviceOfVideoNode(root, node, device)) {
        path += "?usb#vid_" + device.vendor + "&pid_" + device.product + "#" + device.kernelName;
    }
    return toWide(path);
}

std::string videoNodeOfPath(const std::wstring& devicePath) {
    const std::string path = toNarrow(devicePath);
    return path.substr(0, path.find('?'));
}

}  // namespace sysfs
}  // namespace platform
