// The video device on the simulated capture service and the sysfs registry: lookup by serial,
// instances and slots, formats, names, and frames on the capture thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "SimVideo.h"
#include "common/TestEnv.h"
#include "kelvix/IRDeviceDS.h"
#include "kelvix/KelvixClient.h"
#include "kelvix/Logger.h"
#include "platform/Sysfs.h"
#include "platform/UsbRegistry.h"
#include "sdk/CallbackHandler.h"

namespace zol {
// Instances and their count are process-wide; each test starts from none.
struct IRDeviceDSTestAccess {
    static void reset() {
        IRDeviceDS::_id = 0;
        IRDeviceDS::instances().clear();
    }
    static const void* registered(unsigned long serial) {
        auto it = IRDeviceDS::instances().find(serial);
        return it == IRDeviceDS::instances().end() ? nullptr : it->second;
    }
    // The camera a device shares with the other devices of the same camera.
    static const void* cameraOf(IRDeviceDS* d) { return d ? d->camera.get() : nullptr; }
};
}  // namespace zol

namespace {

using zol::IRDeviceDS;
using zol::IRDeviceDSTestAccess;

std::shared_ptr<sim::SimCamera> makeCamera(std::uint32_t serial, const std::wstring& name,
                                           std::vector<sim::SimVideoCapability> caps = {
                                               {32, 24, 100000}}) {
    auto cam = std::make_shared<sim::SimCamera>(serial);
    cam->video.friendlyName = name;
    cam->video.capabilities = std::move(caps);
    return cam;
}

bool contains(const std::vector<std::string>& v, const std::string& s) {
    return std::find(v.begin(), v.end(), s) != v.end();
}

using kelvix_test::waitUntil;

class IRDeviceDSTest : public ::testing::Test {
  protected:
    void SetUp() override { IRDeviceDSTestAccess::reset(); }
    void TearDown() override {
        for (IRDeviceDS* d : owned_) {
            delete d;
        }
        IRDeviceDSTestAccess::reset();
    }

    IRDeviceDS* open(std::uint32_t serial, int formatIndex = -1) {
        zol::IRDeviceParams params;
        params.serial = serial;
        params.videoFormatIndex = formatIndex;
        IRDeviceDS* d = IRDeviceDS::createInstance(params);
        if (d != nullptr) {
            EXPECT_EQ(params.serial, d->getSerial());
            if (std::find(owned_.begin(), owned_.end(), d) == owned_.end()) {
                owned_.push_back(d);
            }
        }
        return d;
    }

    void forget(IRDeviceDS* d) { owned_.erase(std::find(owned_.begin(), owned_.end(), d)); }

    sim::ScopedSimVideo sim_;
    std::vector<IRDeviceDS*> owned_;
};

TEST_F(IRDeviceDSTest, SerialZeroTakesTheFirstListedCameraAndWritesItsSerialBack) {
    platform::CaptureDevice webcam;
    webcam.friendlyName = L"Webcam";
    webcam.displayName = L"usb#vid_046d&pid_0825&mi_00#6&1&0&0000";
    sim_.capture.addDevice(webcam);
    sim_.attach(makeCamera(111, L"Camera A"));
    sim_.attach(makeCamera(222, L"Camera B"));

    zol::IRDeviceParams params;  // serial 0
    IRDeviceDS* a = IRDeviceDS::createInstance(params);
    ASSERT_NE(a, nullptr);
    std::unique_ptr<IRDeviceDS> owner(a);
    EXPECT_EQ(params.serial, 111u);
    EXPECT_EQ(a->getSerial(), 111u);
    EXPECT_TRUE(a->isOpen());
    EXPECT_TRUE(a->controlledViaHID());
    EXPECT_STREQ(a->getFriendlyName(), "Camera A");
    EXPECT_EQ(a->getWidth(), 32u);
    EXPECT_EQ(a->getHeight(), 24u);
    EXPECT_EQ(a->getFrequency(), 100u);
    EXPECT_EQ(a->getHwRev(), 0);
    EXPECT_EQ(a->getRawBufferSize(), 0u);
    // createInstance leaves the graph run once.
    EXPECT_EQ(sim_.capture.events().back(), "run graph");

    IRDeviceDS* b = open(222);
    ASSERT_NE(b, nullptr);
    EXPECT_STREQ(b->getFriendlyName(), "Camera B");
    EXPECT_EQ(open(333), nullptr);
    EXPECT_EQ(IRDeviceDS::getId(), 2);
}

TEST_F(IRDeviceDSTest, SameSerialRebuildsTheInstanceWhileSerialZeroCreatesAnother) {
    sim_.attach(makeCamera(111, L"Camera"));
    IRDeviceDS* first = open(111);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(IRDeviceDS::getId(), 1);
    EXPECT_EQ(IRDeviceDSTestAccess::cameraOf(open(111)), IRDeviceDSTestAccess::cameraOf(first));
    EXPECT_EQ(IRDeviceDS::getId(), 1);

    IRDeviceDS* second = open(0);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second, first);
    EXPECT_EQ(IRDeviceDS::getId(), 2);
    EXPECT_EQ(IRDeviceDSTestAccess::registered(111), IRDeviceDSTestAccess::cameraOf(second));

    // A deleted instance leaves the registry, so the next request builds a new one instead of
    // reaching the deleted object; an older instance never removes the newer one's entry.
    delete first;
    forget(first);
    EXPECT_EQ(IRDeviceDSTestAccess::registered(111), IRDeviceDSTestAccess::cameraOf(second));
    delete second;
    forget(second);
    EXPECT_EQ(IRDeviceDSTestAccess::registered(111), nullptr);
    IRDeviceDS* third = open(111);
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(IRDeviceDS::getId(), 3);
    EXPECT_EQ(IRDeviceDSTestAccess::registered(111), IRDeviceDSTestAccess::cameraOf(third));
}

TEST_F(IRDeviceDSTest, FormatIndexSelectsCapabilityTwiceTheIndexWhenItExists) {
    sim_.attach(makeCamera(7, L"Camera",
                           {{10, 10, 333333},
                            {11, 11, 333333},
                            {12, 12, 333333},
                            {13, 13, 333333},
                            {14, 14, 370370}}));
    IRDeviceDS* d = open(7, 2);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->getWidth(), 14u);
    EXPECT_EQ(d->getHeight(), 14u);
    EXPECT_EQ(d->getFrequency(), 27u);  // 10,000,000 / 370,370
    EXPECT_TRUE(contains(sim_.capture.events(), "format 4"));

    // Capability 6 does not exist among 5; negative indices keep the device's format too.
    for (int index : {3, -1}) {
        sim_.capture.clearEvents();
        ASSERT_EQ(IRDeviceDSTestAccess::cameraOf(open(7, index)),
                  IRDeviceDSTestAccess::cameraOf(d));
        EXPECT_EQ(d->getWidth(), 10u) << index;
        EXPECT_EQ(d->getFrequency(), 30u) << index;
        for (const auto& e : sim_.capture.events()) {
            EXPECT_NE(e.rfind("format", 0), 0u) << index;
        }
    }

    // Without a stream configuration the format stays as it is.
    sim_.capture.fail(sim::SimCaptureCall::StreamConfig, E_NOINTERFACE);
    ASSERT_EQ(IRDeviceDSTestAccess::cameraOf(open(7, 2)), IRDeviceDSTestAccess::cameraOf(d));
    EXPECT_EQ(d->getWidth(), 10u);
}

TEST_F(IRDeviceDSTest, GraphFiltersAreNamedAfterTheDeviceAndRunInOrder) {
    auto cam = makeCamera(5, L"Friendly");
    cam->video.description = L"Camera";  // the description wins over the friendly name
    sim_.attach(cam);
    IRDeviceDS* d = open(5);
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(d->getFriendlyName(), "Camera");
    auto ev = sim_.capture.events();
    ASSERT_GE(ev.size(), 3u);
    EXPECT_EQ(ev[0], "add source Camera1");
    EXPECT_EQ(ev[1], "add grabber SG Camera1");
    EXPECT_EQ(ev[2], "add renderer NR Camera1");

    sim_.capture.clearEvents();
    EXPECT_EQ(d->startStreaming(), 0);
    EXPECT_EQ(d->stopStreaming(), 0);
    EXPECT_EQ(sim_.capture.events(),
              (std::vector<std::string>{"run renderer", "run grabber", "run source", "stop source",
                                        "stop grabber", "stop renderer"}));
    sim_.capture.fail(sim::SimCaptureCall::RunFilter, E_FAIL);
    EXPECT_EQ(d->startStreaming(), -1);
    sim_.capture.fail(sim::SimCaptureCall::StopFilter, E_FAIL);
    EXPECT_EQ(d->stopStreaming(), -1);
    sim_.capture.fail(sim::SimCaptureCall::RunFilter, S_OK);
    sim_.capture.fail(sim::SimCaptureCall::StopFilter, S_OK);
}

TEST_F(IRDeviceDSTest, LongNamesAreCutToTheirBuffers) {
    const std::wstring longName(100, L'x');
    sim_.attach(makeCamera(5, longName));
    IRDeviceDS* d = open(5);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(std::string(d->getFriendlyName()), std::string(79, 'x'));
    const auto ev = sim_.capture.events();
    EXPECT_EQ(ev[0], "add source " + std::string(78, 'x') + "1");
    EXPECT_EQ(ev[1], "add grabber SG " + std::string(76, 'x'));
    EXPECT_EQ(ev[2], "add renderer NR " + std::string(76, 'x'));
}

TEST_F(IRDeviceDSTest, DevicePathsMatchRegistryEntriesWhateverTheirCase) {
    auto cam = makeCamera(4711, L"Camera");
    cam->video.devicePath = L"\\\\?\\USB#VID_0403&PID_DE37&MI_00#7&ABC&0&0000#{X}\\GLOBAL";
    sim_.capture.attach(cam);
    // Entries are tried in index order: a non-numeric name, an empty prefix and a prefix that
    // is not in the path are passed over.
    sim_.registry.addInstance(0x0403, 0xDE37, L"FTDI-X", L"7&abc&0");
    sim_.registry.addInstance(0x0403, 0xDE37, L"99", L"");
    sim_.registry.addInstance(0x0403, 0xDE37, L"98", L"7&def&0");
    sim_.registry.addInstance(0x0403, 0xDE37, L"4711", L"7&abc&0");
    IRDeviceDS* d = open(0);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->getSerial(), 4711u);

    // The prefix counts only after the vendor and product ids.
    auto other = makeCamera(12, L"Other");
    other->video.devicePath = L"usb#7&fed&0#vid_0403&pid_de37&mi_00#x";
    sim_.capture.clear();
    sim_.capture.attach(other);
    sim_.registry.addInstance(0x0403, 0xDE37, L"12", L"7&fed&0");
    EXPECT_EQ(open(0), nullptr);
}

TEST_F(IRDeviceDSTest, DevicesWithoutPropertiesNameOrPathArePassedOver) {
    auto noBag = makeCamera(1, L"Camera");
    noBag->video.propertyBag = false;
    auto noName = makeCamera(2, L"");
    sim_.attach(noBag);
    sim_.attach(noName);
    EXPECT_EQ(open(0), nullptr);
    sim_.attach(makeCamera(3, L"Camera"));
    IRDeviceDS* d = open(0);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->getSerial(), 3u);
}

TEST_F(IRDeviceDSTest, SeventeenthLiveInstanceIsRefusedButRegisteredOnesStillRebuild) {
    zol::Logger::getInstance()->configure("kelvix", zol::Logger::ModeConsole, 0,
                                          zol::Logger::Error);
    sim_.attach(makeCamera(1, L"Camera"));
    std::vector<IRDeviceDS*> made;
    for (int i = 0; i < 16; ++i) {
        made.push_back(open(0));
        ASSERT_NE(made.back(), nullptr);
    }
    EXPECT_EQ(IRDeviceDS::getId(), 16);
    testing::internal::CaptureStderr();
    EXPECT_EQ(open(0), nullptr);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Reached maximum number of instances --> return NULL"), std::string::npos);
    EXPECT_EQ(IRDeviceDS::getId(), 16);
    EXPECT_EQ(IRDeviceDSTestAccess::cameraOf(open(1)), IRDeviceDSTestAccess::cameraOf(made.back()));
    // A deleted instance gives its slot back.
    delete made[3];
    forget(made[3]);
    EXPECT_NE(open(0), nullptr);
    EXPECT_EQ(IRDeviceDS::getId(), 17);
    EXPECT_EQ(open(0), nullptr);

    testing::internal::CaptureStderr();
    EXPECT_EQ(made[0]->getFrame(nullptr, nullptr), zol::IRDEVICE_NOT_IMPLEMENTED);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("[IRDeviceDS:"), std::string::npos);
}

TEST_F(IRDeviceDSTest, FailingPlatformCallsThrowTheirResultCodes) {
    sim_.attach(makeCamera(9, L"Camera"));
    sim_.capture.fail(sim::SimCaptureCall::ListDevices, E_ACCESSDENIED);
    EXPECT_THROW(
        try { open(9); } catch (int code) {
            EXPECT_EQ(code, E_ACCESSDENIED);
            throw;
        },
        int);
    sim_.capture.fail(sim::SimCaptureCall::ListDevices, S_OK);

    const sim::SimCaptureCall calls[] = {
        sim::SimCaptureCall::CreateGraph, sim::SimCaptureCall::SampleGrabber,
        sim::SimCaptureCall::SampleCallback, sim::SimCaptureCall::NullRenderer,
        sim::SimCaptureCall::Render};
    for (auto call : calls) {
        sim_.capture.fail(call, E_OUTOFMEMORY);
        int code = 0;
        try {
            open(9);
        } catch (int c) {
            code = c;
        }
        EXPECT_EQ(code, E_OUTOFMEMORY) << static_cast<int>(call);
        // The half-built instance is gone and not registered.
        EXPECT_EQ(IRDeviceDSTestAccess::registered(9), nullptr);
        sim_.capture.fail(call, S_OK);
    }
    // Registering the callback must succeed outright.
    sim_.capture.fail(sim::SimCaptureCall::SampleCallback, S_FALSE);
    EXPECT_THROW(open(9), int);
    sim_.capture.fail(sim::SimCaptureCall::SampleCallback, S_OK);

    // A graph that does not run is stopped again, and the device is still returned.
    sim_.capture.fail(sim::SimCaptureCall::RunGraph, E_FAIL);
    sim_.capture.clearEvents();
    EXPECT_NE(open(9), nullptr);
    EXPECT_EQ(sim_.capture.events().back(), "stop graph");
}

TEST(CallbackHandler, AnswersOnlyItsTwoInterfacesAndIsNotReferenceCounted) {
    zol::CallbackHandler handler;
    void* object = nullptr;
    EXPECT_EQ(handler.QueryInterface(platform::IID_ISampleGrabberCB, &object), S_OK);
    EXPECT_EQ(object, static_cast<zol::ISampleGrabberCB*>(&handler));
    object = nullptr;
    EXPECT_EQ(handler.QueryInterface(platform::IID_IUnknown, &object), S_OK);
    EXPECT_EQ(object, static_cast<platform::IUnknown*>(&handler));
    const GUID other = {0x1, 0x2, 0x3, {4, 5, 6, 7, 8, 9, 10, 11}};
    EXPECT_EQ(handler.QueryInterface(other, &object), E_NOINTERFACE);
    EXPECT_EQ(handler.AddRef(), 1u);
    EXPECT_EQ(handler.Release(), 2u);
    EXPECT_EQ(handler.SampleCB(0.0, nullptr), 0);
}

// The sysfs registry against video paths built from the same tree: two cameras on one hub
// whose kernel names contain each other, after the nodes of ports 1-10 and 11-1 (no numeric
// serial), whose kernel names hold the first camera's.
class IRDeviceDSSysfsTest : public kelvix_test::TempDirTest {};

TEST_F(IRDeviceDSSysfsTest, SysfsRegistryMapsVideoPathsToTheirCamerasSerials) {
    IRDeviceDSTestAccess::reset();
    const std::string root = path("sys");
    namespace fs = std::filesystem;
    auto mk = [](const std::string& p) { fs::create_directories(p); };
    auto put = [this](const std::string& name, const std::string& text) { writeFile(name, text); };
    for (auto [kernel, serial] : {std::pair<std::string, std::string>{"1-1", "11111111"},
                                  {"1-1.2", "22222222"},
                                  {"1-10", ""},
                                  {"11-1", "ABC"}}) {
        const std::string dev = "sys/bus/usb/devices/" + kernel;
        mk(path(dev + "/" + kernel + ":1.0"));
        put(dev + "/idVendor", "0403\n");
        put(dev + "/idProduct", "de37\n");
        put(dev + "/serial", serial + "\n");
    }
    mk(root + "/class/video4linux/video0");
    mk(root + "/class/video4linux/video2");
    fs::create_directory_symlink(root + "/bus/usb/devices/1-1.2/1-1.2:1.0",
                                 root + "/class/video4linux/video0/device");
    fs::create_directory_symlink(root + "/bus/usb/devices/1-1/1-1:1.0",
                                 root + "/class/video4linux/video2/device");

    platform::SysfsUsbRegistry registry(root);
    sim::ScopedSimVideo sim;
    platform::ScopedUsbRegistry sysfs(registry);  // in place of the simulated one
    for (auto [node, kernel] :
         {std::pair<std::string, std::string>{"video4", "1-10"}, {"video5", "11-1"}}) {
        mk(root + "/class/video4linux/" + node);
        fs::create_directory_symlink(root + "/bus/usb/devices/" + kernel + "/" + kernel + ":1.0",
                                     root + "/class/video4linux/" + node + "/device");
        auto other = makeCamera(1, L"Other");
        other->video.devicePath = platform::sysfs::videoDevicePath(root, "/dev/" + node);
        sim.capture.attach(other);
    }
    auto near = makeCamera(11111111, L"Near");
    near->video.devicePath = platform::sysfs::videoDevicePath(root, "/dev/video2");
    auto far = makeCamera(22222222, L"Far");
    far->video.devicePath = platform::sysfs::videoDevicePath(root, "/dev/video0");
    sim.capture.attach(far);
    sim.capture.attach(near);

    for (std::uint32_t serial : {11111111u, 22222222u}) {
        zol::IRDeviceParams params;
        params.serial = serial;
        std::unique_ptr<IRDeviceDS> d(IRDeviceDS::createInstance(params));
        ASSERT_NE(d, nullptr) << serial;
        EXPECT_STREQ(d->getFriendlyName(), serial == 11111111u ? "Near" : "Far");
    }
    IRDeviceDSTestAccess::reset();
}

// ---- frames on the capture thread ----

struct Seen {
    std::atomic<int> frames{0};
    std::atomic<int> size{0};
    std::atomic<zol::IRDevice*> device{nullptr};
    std::atomic<std::uint32_t> lastCounter{0};
    std::atomic<bool> counterIncreases{true};
    std::atomic<int> flagState{-1};
    std::thread::id thread;
    std::atomic<bool> sameThread{true};
    std::mutex m;

    void reset() {
        frames = 0;
        size = 0;
        device = nullptr;
        lastCounter = 0;
        counterIncreases = true;
        flagState = -1;
        sameThread = true;
    }

    void see(unsigned char* data, int n, zol::IRDevice* dev) {
        sim::SimFrameHeader h;
        if (sim::readSimFrameHeader(data, static_cast<std::size_t>(n), h)) {
            if (h.frameCounter <= lastCounter.load()) {
                counterIncreases = false;
            }
            lastCounter = h.frameCounter;
            flagState = h.flagState;
            if (data[2 * sim::kSimHeaderWords] != (sim::simPixel(0, h.frameCounter) & 0xFF)) {
                counterIncreases = false;
            }
        }
        size = n;
        device = dev;
        {
            std::lock_guard<std::mutex> lock(m);
            if (frames == 0) {
                thread = std::this_thread::get_id();
            } else if (thread != std::this_thread::get_id()) {
                sameThread = false;
            }
        }
        ++frames;
    }
};

Seen seenA, seenB;
void callbackA(unsigned char* d, int n, zol::IRDevice* dev) {
    seenA.see(d, n, dev);
}
void callbackB(unsigned char* d, int n, zol::IRDevice* dev) {
    seenB.see(d, n, dev);
}

class RecordingClient : public zol::KelvixClient {
  public:
    void onRawFrame(unsigned char* data, int size) override {
        ++inCall;  // a slow client's frames meet replacements in progress
        std::this_thread::sleep_for(delay);
        seen.see(data, size, nullptr);
        --inCall;
    }
    void onThermalFrame(unsigned short*, unsigned int, unsigned int, zol::IRFrameMetadata,
                        void*) override {}
    void onFlagStateChange(zol::EnumFlagState, void*) override {}
    void onProcessExit(void*) override {}
    Seen seen;
    std::atomic<int> inCall{0};
    std::chrono::milliseconds delay{0};
};

class IRDeviceDSThreaded : public IRDeviceDSTest {
  protected:
    void SetUp() override {
        IRDeviceDSTest::SetUp();
        seenA.reset();
        seenB.reset();
    }
};

TEST_F(IRDeviceDSThreaded, FramesReachCallbackAndClientOnTheCaptureThreadUntilStopped) {
    auto cam = sim_.attach(makeCamera(21, L"Camera", {{16, 8, 20000}}));  // 500 frames/s
    {
        std::lock_guard<std::mutex> lock(cam->mutex());
        cam->flagState = 1;
    }
    IRDeviceDS* d = open(21);
    ASSERT_NE(d, nullptr);
    RecordingClient client;
    d->setCallback(callbackA);
    d->setClient(&client);
    ASSERT_EQ(d->startStreaming(), 0);
    ASSERT_TRUE(waitUntil([&] { return seenA.frames >= 5 && client.seen.frames >= 5; }));
    ASSERT_EQ(d->stopStreaming(), 0);

    const int callbackFrames = seenA.frames;
    const int clientFrames = client.seen.frames;
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(seenA.frames, callbackFrames);  // nothing after stop returned
    EXPECT_EQ(client.seen.frames, clientFrames);

    EXPECT_EQ(seenA.device.load(), d);
    EXPECT_EQ(seenA.size, 16 * 8 * 2);
    EXPECT_EQ(client.seen.size, 16 * 8 * 2);
    EXPECT_EQ(seenA.flagState, 1);
    EXPECT_TRUE(seenA.counterIncreases);
    EXPECT_TRUE(seenA.sameThread);
    EXPECT_NE(seenA.thread, std::this_thread::get_id());
    EXPECT_EQ(seenA.thread, client.seen.thread);

    // Deleting a streaming device stops delivery before the device is gone.
    ASSERT_EQ(d->startStreaming(), 0);
    ASSERT_TRUE(waitUntil([&] { return seenA.frames > callbackFrames; }));
    delete d;
    forget(d);
}

TEST_F(IRDeviceDSThreaded, EachInstanceKeepsItsOwnCallbackSlotUpToTheSixteenth) {
    sim_.attach(makeCamera(31, L"Camera", {{16, 8, 20000}}));
    IRDeviceDS* first = open(0);
    for (int i = 0; i < 14; ++i) {
        ASSERT_NE(open(0), nullptr);
    }
    IRDeviceDS* last = open(0);  // the sixteenth: slot 15
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(IRDeviceDS::getId(), 16);
    first->setCallback(callbackA);
    last->setCallback(callbackB);
    ASSERT_EQ(first->startStreaming(), 0);
    ASSERT_EQ(last->startStreaming(), 0);
    ASSERT_TRUE(waitUntil([&] { return seenA.frames >= 3 && seenB.frames >= 3; }));
    first->stopStreaming();
    last->stopStreaming();
    EXPECT_EQ(seenA.device.load(), first);
    EXPECT_EQ(seenB.device.load(), last);
}

// Two owners of one camera; the client set through one is replaced, cleared, or goes with its
// owner while frames flow: once that returns, it is out of use, and the camera goes on for the
// other owner until the last owner is gone.
TEST_F(IRDeviceDSThreaded, ReplacedClientsAndDeletedOwnersAreOutOfUseOnReturn) {
    sim_.attach(makeCamera(51, L"Camera", {{16, 8, 20000}}));
    RecordingClient old[3], next;
    for (int way = 0; way < 3; ++way) {  // replace, clear, delete the owner that set it
        IRDeviceDS* owner = open(51);
        IRDeviceDS* other = open(51);
        ASSERT_NE(owner, other);
        old[way].delay = std::chrono::milliseconds(30);
        other->setClient(&old[way]);
        owner->setCallback(callbackA);
        ASSERT_EQ(owner->startStreaming(), 0);
        ASSERT_TRUE(waitUntil([&] { return old[way].inCall > 0; })) << way;
        if (way < 2) {
            other->setClient(way == 0 ? &next : nullptr);
        } else {
            delete other;
            forget(other);
        }
        EXPECT_EQ(old[way].inCall, 0) << way;
        const int oldFrames = old[way].seen.frames, delivered = seenA.frames;
        ASSERT_TRUE(waitUntil([&] { return seenA.frames > delivered + 3; })) << way;
        EXPECT_EQ(old[way].seen.frames, oldFrames) << way;  // the next open rebuilds the graph
    }
    EXPECT_GT(next.seen.frames, 0);
    EXPECT_EQ(IRDeviceDS::getId(), 1);
    ASSERT_EQ(owned_.front()->startStreaming(), 0);
    for (; !owned_.empty(); owned_.erase(owned_.begin())) {  // the streaming owner goes first
        EXPECT_NE(IRDeviceDSTestAccess::registered(51), nullptr);
        delete owned_.front();
    }
    EXPECT_EQ(IRDeviceDSTestAccess::registered(51), nullptr);
}

// Owners of one camera set their callbacks from two threads while frames flow: a function gets
// frames only with the device that set it. What an owner set is out of use once it stops or
// goes, and the other owner's is back in force. Throws are reported and frames go on.
std::atomic<zol::IRDevice*> ownerA{nullptr}, ownerB{nullptr};
std::atomic<int> strangers{0};
void pairA(unsigned char* d, int n, zol::IRDevice* dev) {
    strangers += dev != ownerA;
    seenA.see(d, n, dev);
    throw "raw";
}
void pairB(unsigned char* d, int n, zol::IRDevice* dev) {
    strangers += dev != ownerB;
    seenB.see(d, n, dev);
}

TEST_F(IRDeviceDSThreaded, CallbacksKeepTheirDevicesAndOwnersGiveThemBack) {
    zol::Logger::getInstance()->configure("kelvix", zol::Logger::ModeConsole, 0, 2);
    sim_.attach(makeCamera(61, L"Camera", {{16, 8, 20000}}));
    auto flowsTo = [](Seen& s) {
        const int n = s.frames;
        return waitUntil([&] { return s.frames > n + 3; });
    };
    testing::internal::CaptureStderr();
    for (int round = 0; round < 10; ++round) {
        IRDeviceDS* a = open(61);
        IRDeviceDS* b = open(61);
        ownerA = a;
        ownerB = b;
        RecordingClient clientA, clientB;
        a->setClient(&clientA);
        b->setClient(&clientB);
        std::atomic<int> ready{0};
        auto race = [&ready](IRDeviceDS* owner, zol::IRRawFrameCallback callback) {
            for (++ready; ready < 2;) {
            }
            owner->setCallback(callback);
        };
        std::thread setter(race, b, pairB);
        race(a, pairA);
        setter.join();
        for (const bool stop : {true, false}) {  // b stops streaming, then b goes
            ASSERT_TRUE(flowsTo(clientB.seen));
            EXPECT_EQ(stop ? b->stopStreaming() : (delete b, 0), 0);
            const int framesB = seenB.frames + clientB.seen.frames;
            ASSERT_TRUE(flowsTo(seenA) && flowsTo(clientA.seen)) << round;
            EXPECT_EQ(seenB.frames + clientB.seen.frames, framesB);
            EXPECT_EQ(stop ? b->startStreaming() : 0, 0);
        }
        forget(b);
        delete a;
        forget(a);
    }
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(strangers, 0);
    EXPECT_NE(log.find("raw frame callback of camera 61 threw an exception of unknown"),
              std::string::npos);
    EXPECT_NE(log.find("replaces the client another owner set"), std::string::npos);
}

TEST_F(IRDeviceDSThreaded, RunWaitsUntilExitFromAnotherThread) {
    sim_.attach(makeCamera(41, L"Camera"));
    IRDeviceDS* d = open(41);
    ASSERT_NE(d, nullptr);
    // An exit before any run is lost: the later run still waits.
    d->exit();
    std::atomic<bool> returned{false};
    std::thread waiter([&] {
        d->run();
        returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(returned);
    // exit may come before run has opened the event; repeat it until run returns.
    EXPECT_TRUE(waitUntil([&] {
        d->exit();
        return returned.load();
    }));
    waiter.join();

    // The event was reset: a second run waits again.
    returned = false;
    std::thread again([&] {
        d->run();
        returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(returned);
    EXPECT_TRUE(waitUntil([&] {
        d->exit();
        return returned.load();
    }));
    again.join();
}

}  // namespace
