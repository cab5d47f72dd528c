// A replica of the sysfs layout of a USB camera, for the system-backend tests.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace kelvix_test {

// The sysfs layout a USB camera gets, under `root`: its device below /devices with its ids,
// the relative links of bus/usb/devices, class/video4linux and class/hidraw to it, the video
// nodes of its video interface (capture first, then metadata) and the hidraw node (device number
// `hidrawNumber`, "M:m") of its HID interface.
inline void replicateUsbCamera(const std::string& root, const std::string& kernel,
                               const std::string& serial, const std::vector<std::string>& videos,
                               const std::string& hidraw, const std::string& hidrawNumber) {
    namespace fs = std::filesystem;
    const fs::path dev = fs::path(root) / "devices/pci0000:00/0000:00:14.0/usb1/1-1" / kernel;
    auto put = [](const fs::path& file, const std::string& text) {
        fs::create_directories(file.parent_path());
        std::ofstream(file) << text << "\n";
    };
    auto link = [](const fs::path& target, const fs::path& at) {
        fs::create_directories(at.parent_path());
        fs::create_directory_symlink(fs::relative(target, at.parent_path()), at);
    };
    put(dev / "idVendor", "0403");
    put(dev / "idProduct", "de37");
    put(dev / "serial", serial);
    link(dev, fs::path(root) / "bus/usb/devices" / kernel);
    const fs::path video = dev / (kernel + ":1.0");
    link(video, fs::path(root) / "bus/usb/devices" / (kernel + ":1.0"));
    for (const std::string& node : videos) {
        put(video / "video4linux" / node / "name", "Kelvix Thermal Camera");
        put(video / "video4linux" / node / "index", std::to_string(&node - videos.data()));
        link(video, video / "video4linux" / node / "device");
        link(video / "video4linux" / node, fs::path(root) / "class/video4linux" / node);
    }
    const fs::path hid = dev / (kernel + ":1.2") / "0003:0403:DE37.0001";
    put(hid / "hidraw" / hidraw / "dev", hidrawNumber);
    link(hid, hid / "hidraw" / hidraw / "device");
    link(hid / "hidraw" / hidraw, fs::path(root) / "class/hidraw" / hidraw);
}

}  // namespace kelvix_test
