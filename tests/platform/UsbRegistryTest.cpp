// The sysfs USB registry on a fake sysfs tree: cameras by serial and their video paths.
#include <gtest/gtest.h>

#include <filesystem>

#include "common/TestEnv.h"
#include "kelvix/Logger.h"
#include "platform/Sysfs.h"
#include "platform/UsbRegistry.h"
#include "platform/V4l2Capture.h"

namespace {

namespace fs = std::filesystem;

// A fake sysfs tree: USB devices with their interfaces, and video nodes linked to them.
class SysfsTreeTest : public kelvix_test::TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        root_ = path("sys");
    }

    void usbDevice(const std::string& kernel, const std::string& vendor, const std::string& product,
                   const std::string& serial) {
        const std::string dev = "sys/bus/usb/devices/" + kernel;
        fs::create_directories(path(dev + "/" + kernel + ":1.0"));
        writeFile(dev + "/idVendor", vendor + "\n");
        writeFile(dev + "/idProduct", product + "\n");
        if (!serial.empty()) {
            writeFile(dev + "/serial", serial + "\n");
        }
    }

    void videoNode(const std::string& node, const std::string& target) {
        fs::create_directories(root_ + "/class/video4linux/" + node);
        fs::create_directory_symlink(target, root_ + "/class/video4linux/" + node + "/device");
    }

    std::vector<std::pair<std::wstring, std::wstring>> entries(platform::UsbRegistry::Key& key) {
        std::vector<std::pair<std::wstring, std::wstring>> out;
        std::wstring name;
        for (std::size_t i = 0; key.subKeyName(i, name); ++i) {
            std::wstring prefix;
            EXPECT_TRUE(key.subKeyValue(name, L"ParentIdPrefix", prefix));
            out.emplace_back(name, prefix);
        }
        return out;
    }

    std::string root_;
};

TEST_F(SysfsTreeTest, CamerasBecomeSubKeysNamedBySerialWithTheirKernelName) {
    usbDevice("1-1", "0403", "de37", "11111111");
    usbDevice("1-1.2", "0403", "DE37", "22222222");
    usbDevice("2-1", "0403", "de37", "");          // no serial: no sub-key
    usbDevice("2-2", "0403", "6001", "33333333");  // another product of the vendor
    usbDevice("usb1", "1d6b", "0002", "0000:00:14.0");
    platform::SysfsUsbRegistry registry(root_);

    // Key names compare case-insensitively; longer kernel names come first.
    auto key =
        registry.openLocalMachineKey(L"SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_0403&Pid_de37");
    ASSERT_NE(key, nullptr);
    using E = std::vector<std::pair<std::wstring, std::wstring>>;
    EXPECT_EQ(entries(*key), (E{{L"22222222", L"1-1.2"}, {L"11111111", L"1-1"}}));
    std::wstring value;
    EXPECT_FALSE(key->subKeyValue(L"22222222", L"Other", value));
    EXPECT_FALSE(key->subKeyValue(L"44444444", L"ParentIdPrefix", value));

    auto ftdi =
        registry.openLocalMachineKey(L"system\\currentcontrolset\\enum\\usb\\VID_0403&PID_6001");
    ASSERT_NE(ftdi, nullptr);
    EXPECT_EQ(entries(*ftdi), (E{{L"33333333", L"2-2"}}));

    EXPECT_EQ(
        registry.openLocalMachineKey(L"SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_046d&Pid_0825"),
        nullptr);
    EXPECT_EQ(
        registry.openLocalMachineKey(L"SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_04&Pid_de37"),
        nullptr);
    EXPECT_EQ(registry.openLocalMachineKey(L"SOFTWARE\\Vid_0403&Pid_de37"), nullptr);
    EXPECT_EQ(platform::SysfsUsbRegistry(path("missing"))
                  .openLocalMachineKey(L"SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_0403&Pid_de37"),
              nullptr);
}

TEST_F(SysfsTreeTest, VideoPathsCarryIdsThenKernelNameOfTheirUsbDevice) {
    usbDevice("1-1.2", "0403", "DE37", "22222222");
    videoNode("video0", root_ + "/bus/usb/devices/1-1.2/1-1.2:1.0");
    fs::create_directories(root_ + "/devices/platform/vivid.0");
    videoNode("video4", root_ + "/devices/platform/vivid.0");

    const std::wstring usb = platform::sysfs::videoDevicePath(root_, "/dev/video0");
    EXPECT_EQ(usb, L"/dev/video0?usb#vid_0403&pid_de37#1-1.2");
    EXPECT_EQ(platform::sysfs::videoNodeOfPath(usb), "/dev/video0");
    EXPECT_EQ(platform::sysfs::videoDevicePath(root_, "/dev/video4"), L"/dev/video4");
    EXPECT_EQ(platform::sysfs::videoDevicePath(root_, "/dev/video9"), L"/dev/video9");
}

TEST_F(SysfsTreeTest, V4l2ListsNothingWithoutCaptureNodesAndSaysSo) {
    zol::Logger::getInstance()->configure("kelvix", zol::Logger::ModeConsole, 0,
                                          zol::Logger::Debug);
    fs::create_directories(path("dev"));
    writeFile("dev/video0", "not a device");  // no V4L2 answer: passed over
    writeFile("dev/videox", "");
    platform::V4l2CaptureService service(path("dev"), root_);
    std::vector<platform::CaptureDevice> devices(1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(service.videoInputDevices(devices), S_OK);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(devices.empty());
    EXPECT_NE(err.find("DEBUG [V4l2Capture:"), std::string::npos) << err;
    EXPECT_NE(err.find("No video capture device in " + path("dev")), std::string::npos) << err;

    // A graph whose source cannot be opened has no stream configuration and renders nothing.
    std::unique_ptr<platform::CaptureGraph> graph;
    ASSERT_EQ(service.createGraph(graph), S_OK);
    platform::CaptureDevice missing;
    missing.displayName = platform::sysfs::videoDevicePath(root_, path("dev/video7"));
    EXPECT_TRUE(FAILED(graph->addSource(missing, L"x")));
    int count = 0, size = 0;
    EXPECT_EQ(graph->streamCapabilityCount(count, size), E_NOINTERFACE);
    EXPECT_TRUE(FAILED(graph->renderPreview()));
}

}  // namespace
