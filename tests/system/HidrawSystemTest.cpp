// The exported hidapi over the system's libhidapi-hidraw.so.0. This program exports hidapi's
// names as the shared library does, so the system library's calls into itself land here; a
// pty stands in for the camera's hidraw node.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "SysfsReplica.h"
#include "SystemShim.h"
#include "common/TestEnv.h"
#include "kelvix/Logger.h"
#include "kelvix/hidapi.h"
#include "platform/Strings.h"
#include "platform/SystemHid.h"

namespace {

class HidrawSystem : public kelvix_test::TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(grantpt(master_), 0);
        ASSERT_EQ(unlockpt(master_), 0);
        node_ = ptsname(master_);
        slave_ = ::open(node_.c_str(), O_RDWR | O_NOCTTY);  // kept open: no hang-up
        termios raw{};
        ASSERT_EQ(tcgetattr(slave_, &raw), 0);
        cfmakeraw(&raw);
        ASSERT_EQ(tcsetattr(slave_, TCSANOW, &raw), 0);
        struct stat st;
        ASSERT_EQ(::stat(node_.c_str(), &st), 0);
        kelvix_test::replicateUsbCamera(
            path("sys"), "1-1.2", "20240001", {}, "hidraw0",
            std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev)));
        shim::acceptAsHidraw(st.st_rdev);
        backend_ = std::make_unique<platform::SystemHidBackend>(path("sys"));
        scopedBackend_ = std::make_unique<platform::ScopedHidBackend>(*backend_);
    }
    void TearDown() override {
        scopedBackend_.reset();
        backend_.reset();
        shim::reset();
        ::close(slave_);
        ::close(master_);
        TempDirTest::TearDown();
    }

    std::string node_;
    int master_ = -1, slave_ = -1;
    std::unique_ptr<platform::SystemHidBackend> backend_;
    std::unique_ptr<platform::ScopedHidBackend> scopedBackend_;
};

TEST_F(HidrawSystem, ReadsTimeOutsAndCloseGoThroughTheSystemLibrary) {
    hid_device* dev = hid_open_path(node_.c_str(), 1);
    ASSERT_NE(dev, nullptr);
    unsigned char report[41] = {0, 0x34, 0x64};
    EXPECT_EQ(hid_write(dev, report, sizeof(report)), 41);
    unsigned char seen[41] = {};
    EXPECT_EQ(::read(master_, seen, sizeof(seen)), 41);
    EXPECT_EQ(seen[1], 0x34);

    // hid_read of the system library goes on to hid_read_timeout through the dynamic linker.
    const std::string answer(64, 'a');
    ASSERT_EQ(::write(master_, answer.data(), answer.size()), 64);
    unsigned char got[65] = {};
    EXPECT_EQ(hid_read(dev, got, sizeof(got)), 64);
    EXPECT_EQ(got[63], 'a');
    EXPECT_EQ(hid_read_timeout(dev, got, sizeof(got), 20), 0);
    hid_device_info* info = hid_get_device_info(dev);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->in_use, 0);
    hid_close(dev);
}

TEST_F(HidrawSystem, OnlyNodesListedAsHidrawReachTheSystemLibrary) {
    writeFile("plain", "x");
    for (const std::string& other : {std::string("/dev/null"), path("plain")}) {
        EXPECT_EQ(hid_open_path(other.c_str(), 1), nullptr) << other;
        EXPECT_EQ(hid_open_path(other.c_str(), 0), nullptr) << other;
    }
    scopedBackend_.reset();  // the machine's own sysfs
    EXPECT_EQ(hid_open_path("/dev/null", 1), nullptr);
    EXPECT_EQ(hid_open_path(node_.c_str(), 1), nullptr);
}

// An exclusive holder in another process keeps shared and exclusive opens out.
TEST_F(HidrawSystem, ExclusiveHolderInAnotherProcessKeepsOthersOut) {
    int ready[2], done[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(done), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        hid_device* held = hid_open_path(node_.c_str(), 0);
        char c = held != nullptr ? 'y' : 'n';
        (void)!::write(ready[1], &c, 1);
        (void)!::read(done[0], &c, 1);
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    EXPECT_EQ(c, 'y');
    EXPECT_EQ(hid_open_path(node_.c_str(), 1), nullptr);
    EXPECT_EQ(hid_open_path(node_.c_str(), 0), nullptr);
    EXPECT_TRUE(platform::probeHidNode(node_).inUse);
    ASSERT_EQ(::write(done[1], &c, 1), 1);
    int status = 0;
    waitpid(child, &status, 0);
    for (int fd : {ready[0], ready[1], done[0], done[1]}) {
        ::close(fd);
    }
    hid_device* dev = hid_open_path(node_.c_str(), 1);
    EXPECT_NE(dev, nullptr);
    hid_close(dev);
}

TEST_F(HidrawSystem, CameraNodeThatCannotBeOpenedIsAnError) {
    zol::Logger::getInstance()->configure("kelvix", zol::Logger::ModeConsole, 0,
                                          zol::Logger::Error);
    shim::failOpen(node_, EACCES);
    testing::internal::CaptureStderr();
    EXPECT_EQ(hid_open_path(node_.c_str(), 1), nullptr);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("ERROR"), std::string::npos) << err;
    EXPECT_NE(err.find(node_ + ", the camera's HID interface: Permission denied (the udev rule "
                               "70-kelvix.rules"),
              std::string::npos)
        << err;
    EXPECT_EQ(
        std::wstring(hid_error(nullptr)),
        L"Failed to open a device with path '" + platform::toWide(node_) + L"': Permission denied");
    EXPECT_EQ(hid_open(0x0403, 0xDE37, L"no such camera", 1), nullptr);
    EXPECT_EQ(std::wstring(hid_error(nullptr)),
              L"Device with requested VID/PID/(SerialNumber) not found");
}

}  // namespace
