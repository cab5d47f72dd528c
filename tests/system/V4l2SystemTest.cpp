// The video device on the V4L2 backend and the sysfs registry, against an emulated UVC camera
// and a replica of the sysfs layout.
#include <linux/videodev2.h>

#include <cstring>
#include <filesystem>

#include "SysfsReplica.h"
#include "SystemShim.h"
#include "common/TestEnv.h"
#include "kelvix/IRDeviceDS.h"
#include "kelvix/Logger.h"
#include "platform/UsbRegistry.h"
#include "platform/V4l2Capture.h"

namespace {

using kelvix_test::waitUntil;

std::atomic<int> frames{0}, frameSize{0};

void onFrame(unsigned char*, int size, zol::IRDevice*) {
    frameSize = size;
    ++frames;
}

class V4l2System : public kelvix_test::TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        zol::Logger::getInstance()->configure("kelvix", zol::Logger::ModeConsole, 0,
                                              zol::Logger::Warning);
        kelvix_test::replicateUsbCamera(path("sys"), "1-1.2", "20240001", {"video0", "video1"},
                                        "hidraw0", "240:0");
        std::filesystem::create_directories(path("dev"));
        writeFile("dev/video0", "");
        plug();
        capture_ = std::make_unique<platform::V4l2CaptureService>(path("dev"), path("sys"));
        registry_ = std::make_unique<platform::SysfsUsbRegistry>(path("sys"));
        scopedCapture_ = std::make_unique<platform::ScopedCaptureService>(*capture_);
        scopedRegistry_ = std::make_unique<platform::ScopedUsbRegistry>(*registry_);
    }
    void TearDown() override {
        device_.reset();
        scopedCapture_.reset();
        scopedRegistry_.reset();
        shim::reset();
        TempDirTest::TearDown();
    }

    // The camera (again) at dev/video0.
    void plug() {
        node_ = std::make_shared<shim::V4l2Node>(std::vector<shim::Format>{
            {V4L2_PIX_FMT_Y16, 160, 120, {30, 9}}, {V4L2_PIX_FMT_YUYV, 80, 60, {1}}});
        shim::addV4l2Node(path("dev/video0"), node_);
    }

    zol::IRDeviceDS* open(int formatIndex) {
        zol::IRDeviceParams params;
        params.serial = 20240001;
        params.videoFormatIndex = formatIndex;
        zol::IRDeviceDS* d = zol::IRDeviceDS::createInstance(params);
        if (d != nullptr && d != device_.get()) {
            device_.reset(d);
        }
        return d;
    }

    static bool framesArrive(int n) {
        const int before = frames;
        return waitUntil([&] { return frames >= before + n; });
    }

    std::shared_ptr<shim::V4l2Node> node_;
    std::unique_ptr<platform::V4l2CaptureService> capture_;
    std::unique_ptr<platform::SysfsUsbRegistry> registry_;
    std::unique_ptr<platform::ScopedCaptureService> scopedCapture_;
    std::unique_ptr<platform::ScopedUsbRegistry> scopedRegistry_;
    std::unique_ptr<zol::IRDeviceDS> device_;
};

using V4l2SystemThreaded = V4l2System;

TEST_F(V4l2SystemThreaded, FormatsInterruptionsStallsAndRestarts) {
    node_->interrupts = 5;  // the first calls are interrupted by signals
    zol::IRDeviceDS* d = open(1);
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(d->getFriendlyName(), "Kelvix Thermal Camera");
    EXPECT_EQ(d->getWidth(), 160u);  // capability 2 = entry 1: 160 x 120 at 9 Hz
    EXPECT_EQ(d->getFrequency(), 9u);
    d->setCallback(onFrame);
    testing::internal::CaptureStderr();
    ASSERT_EQ(d->startStreaming(), 0);
    ASSERT_TRUE(framesArrive(3));
    EXPECT_EQ(frameSize, 160 * 120 * 2);

    // Two stalls: the poll times out again and again, one warning per stall names the node.
    for (int stall = 0; stall < 2; ++stall) {
        const int seen = node_->timeouts;
        node_->stalled = true;
        ASSERT_TRUE(waitUntil([&] { return node_->timeouts >= seen + 3; }));
        node_->stalled = false;
        ASSERT_TRUE(framesArrive(2));
    }
    EXPECT_EQ(node_->lastTimeoutMs, 1000);  // three periods of 111 ms are less than 1 s
    EXPECT_EQ(d->stopStreaming(), 0);
    EXPECT_FALSE(node_->streaming);
    EXPECT_EQ(d->startStreaming(), 0);
    EXPECT_TRUE(framesArrive(2));
    const std::string err = testing::internal::GetCapturedStderr();
    const std::string warning = "No frame from " + path("dev/video0") + " for 1000 ms";
    const std::size_t first = err.find(warning);
    const std::size_t second = err.find(warning, first + 1);
    EXPECT_TRUE(first != std::string::npos && second != std::string::npos) << err;
    EXPECT_EQ(err.find(warning, second + 1), std::string::npos) << err;

    // The slow format: three frame periods.
    EXPECT_EQ(d->stopStreaming(), 0);
    d = open(2);  // a device of its own, sharing the camera
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->getFrequency(), 1u);
    node_->stalled = true;
    EXPECT_EQ(d->startStreaming(), 0);
    EXPECT_TRUE(waitUntil([&] { return node_->lastTimeoutMs == 3000; }));
}

TEST_F(V4l2SystemThreaded, UnpluggedCameraEndsTheStreamUntilItIsBackAgain) {
    zol::IRDeviceDS* d = open(0);
    ASSERT_NE(d, nullptr);
    d->setCallback(onFrame);
    ASSERT_EQ(d->startStreaming(), 0);
    ASSERT_TRUE(framesArrive(2));

    testing::internal::CaptureStderr();
    node_->unplugged = true;
    EXPECT_TRUE(waitUntil([&] { return d->startStreaming() != 0; }));
    EXPECT_NE(d->startStreaming(), 0);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("ERROR"), std::string::npos) << err;
    EXPECT_NE(err.find("Capture from " + path("dev/video0") + " stopped"), std::string::npos)
        << err;

    plug();  // back again: the imager's reconnect opens the same serial again
    d = open(0);
    ASSERT_NE(d, nullptr);
    d->setCallback(onFrame);  // the device it replaced took its callback along
    EXPECT_EQ(d->startStreaming(), 0);
    EXPECT_TRUE(framesArrive(2));
    EXPECT_EQ(d->stopStreaming(), 0);
}

TEST_F(V4l2System, CameraNodeThatCannotBeOpenedIsAnError) {
    writeFile("dev/video1", "");  // the metadata node: no ERROR of its own
    shim::failOpen(path("dev/video0"), EACCES);
    shim::failOpen(path("dev/video1"), EACCES);
    testing::internal::CaptureStderr();
    EXPECT_EQ(open(0), nullptr);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("ERROR"), std::string::npos) << err;
    EXPECT_EQ(err.find("Cannot open"), err.rfind("Cannot open")) << err;
    EXPECT_NE(err.find(path("dev/video0") + ", a video node of the camera: Permission denied (the "
                                            "udev rule 70-kelvix.rules"),
              std::string::npos)
        << err;
}

}  // namespace
