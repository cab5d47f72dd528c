// The HID transport: device lookup, exchanges and their limits, late and missing answers,
// concurrent commands, the system hidapi library and hidraw nodes held elsewhere.
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <thread>

#include "SimHidFixture.h"
#include "kelvix/hidapi.h"
#include "platform/HidBackend.h"
#include "platform/SystemHid.h"

using namespace kelvix_test;

namespace {

std::shared_ptr<sim::SimCamera> camera(sim::SimHidBackend& backend, const wchar_t* serialText,
                                       std::uint16_t revision) {
    auto cam = std::make_shared<sim::SimCamera>(0, revision);
    if (serialText) {
        cam->hid.serialString = serialText;
    } else {
        cam->hid.hasSerial = false;
    }
    backend.addCamera(cam);
    return cam;
}

}  // namespace

class HIDCommLookup : public SimHidTest {};

TEST_F(HIDCommLookup, WildcardTakesFirstDeviceWithSerialString) {
    platform::HidDeviceEntry keyboard;
    keyboard.vendorId = 0x046D;
    keyboard.productId = 0xC31C;
    keyboard.releaseNumber = 7;
    backend_.addOtherDevice(keyboard);  // no serial string: never matches
    camera(backend_, L"12346", 21);
    DEVICE_DESCRIPTION d;
    EXPECT_EQ(dev_.get_device_info(&d), 0);
    EXPECT_EQ(d.serialNumber, 12346u);
    EXPECT_EQ(d.vendorId, 0x0403);
    EXPECT_EQ(d.productId, 0xDE37);
    EXPECT_EQ(d.releaseNumber, 21u);
    EXPECT_EQ(d.matchCount, 1u);
    EXPECT_EQ(std::wstring(d.product), L"Kelvix Thermal Camera");
    EXPECT_EQ(dev_.get_hardware_rev(), 21);
    EXPECT_TRUE(dev_.is_found());
}

TEST_F(HIDCommLookup, SerialIsReadAsDecimalNumber) {
    camera(backend_, L"12346", 1);
    camera(backend_, nullptr, 2);
    camera(backend_, L"012345", 3);
    camera(backend_, L"12345", 4);
    DEVICE_DESCRIPTION d;
    d.serialNumber = 12345;
    ASSERT_EQ(dev_.get_device_info(&d), 0);
    EXPECT_EQ(d.releaseNumber, 3u);  // leading zero read as a number; 12346 passed over
    EXPECT_EQ(HIDComm::get_hw_revision(0, 0, 12345), 4);  // the last match decides
    EXPECT_EQ(HIDComm::get_hw_revision(0x0403, 0xDE37, 99), 0);

    DEVICE_DESCRIPTION none;
    none.serialNumber = 99;
    EXPECT_EQ(dev_.get_device_info(&none), 1);
    EXPECT_EQ(none.matchCount, 0u);
}

TEST_F(HIDCommLookup, DeviceHeldElsewhereIsInUseAndStillOpensShared) {
    auto cam = camera(backend_, L"777", 3100);
    cam->hid.inUse = true;
    EXPECT_TRUE(HIDDevice::IsDeviceUsed(0x0403, 0xDE37, 777));
    EXPECT_FALSE(HIDDevice::IsDeviceUsed(0x0403, 0xDE37, 778));

    hid_device_info* list = hid_enumerate(0x0403, 0xDE37);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->in_use, 1);
    EXPECT_EQ(std::wstring(list->serial_number), L"777");
    hid_free_enumeration(list);

    DEVICE_DESCRIPTION d = simDescription(777);
    EXPECT_TRUE(dev_.open_device(&d));
    EXPECT_EQ(dev_.get_send_buffer_len(), 41);
    EXPECT_EQ(dev_.get_receive_buffer_len(), 65);
}

TEST_F(HIDCommLookup, OpenNeedsExactIdsAndPassesOverDevicesThatFail) {
    auto broken = camera(backend_, L"5", 1);
    broken->hid.failOpen = true;
    auto good = camera(backend_, L"5", 2);
    DEVICE_DESCRIPTION wildcard;  // vendor and product 0 qualify nothing when opening
    EXPECT_FALSE(dev_.open_device(&wildcard));

    DEVICE_DESCRIPTION d = simDescription(5);
    ASSERT_TRUE(dev_.open_device(&d));
    EXPECT_EQ(d.releaseNumber, 2u);
    EXPECT_EQ(dev_.get_hardware_rev(), 2);
    EXPECT_EQ(backend_.openCount(), 1);
    EXPECT_EQ(dev_.close_device(), 0u);
    EXPECT_FALSE(dev_.is_connected());
}

TEST_F(HIDCommLookup, HidapiOpenMatchesIdsAndSerialString) {
    camera(backend_, L"0042", 1);
    auto second = camera(backend_, L"42", 2);
    hid_device* dev = hid_open(0x0403, 0xDE37, L"42", 1);
    ASSERT_NE(dev, nullptr);
    hid_device_info* info = hid_get_device_info(dev);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->release_number, 2);
    EXPECT_EQ(info->next, nullptr);
    wchar_t text[4];
    EXPECT_EQ(hid_get_serial_number_string(dev, text, 4), 0);
    EXPECT_EQ(std::wstring(text), L"42");
    EXPECT_EQ(hid_get_manufacturer_string(dev, text, 4), 0);
    EXPECT_EQ(std::wstring(text), L"Kel");  // cut and terminated
    hid_close(dev);
    // A failed open leaves its own reason, never an earlier call's.
    second->hid.failOpen = true;
    EXPECT_EQ(hid_open(0x0403, 0xDE37, L"42", 1), nullptr);
    EXPECT_EQ(std::wstring(hid_error(nullptr)), L"simulated HID device error");
    EXPECT_EQ(hid_open(0x0403, 0xDE38, nullptr, 0), nullptr);
    EXPECT_EQ(std::wstring(hid_error(nullptr)),
              L"Device with requested VID/PID/(SerialNumber) not found");
}

class HIDCommExchange : public SimHidTest {};

TEST_F(HIDCommExchange, CommandFramesAndLimitsPayload) {
    connect();
    std::uint8_t payload[41];
    for (int i = 0; i < 41; ++i) {
        payload[i] = static_cast<std::uint8_t>(i + 1);
    }
    std::uint8_t* answer = nullptr;
    EXPECT_EQ(dev_.Command(payload, 41, false, nullptr), -1);  // longer than the report
    EXPECT_TRUE(reports().empty());
    EXPECT_EQ(dev_.Command(payload, 40, true, &answer), 0);
    ASSERT_EQ(reports().size(), 1u);
    EXPECT_EQ(reports()[0].size(), 41u);
    EXPECT_EQ(reports()[0][0], 0);
    EXPECT_EQ(reports()[0][40], 40);
    EXPECT_NE(answer, nullptr);
    EXPECT_EQ(dev_.Command(nullptr, 0, false, nullptr), -1);
}

TEST_F(HIDCommExchange, SilenceAndUnplugFailCommands) {
    connect();
    std::uint8_t query[] = {0x34, 0x64};
    cam_->hid.silentReads = 1;
    EXPECT_EQ(dev_.Command(query, 2, true, nullptr), -1);  // at once, no real wait
    EXPECT_EQ(dev_.Command(query, 2, true, nullptr), 0);
    std::uint8_t flag = 0;
    cam_->hid.unplugged = true;
    EXPECT_EQ(dev_.SetFlag(true), -1);  // a failed write is a failed command
    EXPECT_EQ(dev_.GetFlag(&flag), -1);
    EXPECT_EQ(flag, 2);
    EXPECT_TRUE(dev_.is_connected());  // stays set until closed
}

TEST_F(HIDCommExchange, AllCommandsWithAnswerMakesSettersWait) {
    connect();
    cam_->hid.silentReads = 1;
    EXPECT_EQ(dev_.SetPwrCtl(true), 0);  // nobody reads, silence not consumed
    dev_.SetAllCommandsWithAnswer(true);
    EXPECT_EQ(dev_.SetPwrCtl(true), -1);
    EXPECT_EQ(dev_.SetPwrCtl(true), 0);
    DEVICE_DESCRIPTION d;
    dev_.get_device_info(&d);  // a lookup clears the flag and the connection
    EXPECT_FALSE(dev_.get_all_commands_with_answer());
    EXPECT_EQ(dev_.SetPwrCtl(true), -1);
}

// A camera whose answers queue up as the kernel queues input reports, and that answers late
// when told to: every answer byte is the query's second byte.
struct LatePeer : platform::HidBackend {
    struct Handle : platform::HidHandle {
        explicit Handle(LatePeer& p) : peer(p) {}
        int write(const unsigned char* d, std::size_t n) override {
            (peer.late ? peer.held : peer.queue).emplace_back(64, d[2]);
            return static_cast<int>(n);
        }
        int readTimeout(unsigned char* d, std::size_t n, int) override {
            if (peer.queue.empty()) {
                return 0;
            }
            std::memcpy(d, peer.queue.front().data(), std::min<std::size_t>(n, 64));
            peer.queue.pop_front();
            return 64;
        }
        int read(unsigned char* d, std::size_t n) override { return readTimeout(d, n, -1); }
        int setNonblocking(int) override { return 0; }
        int sendFeatureReport(const unsigned char*, std::size_t) override { return -1; }
        int getFeatureReport(unsigned char*, std::size_t) override { return -1; }
        int getInputReport(unsigned char*, std::size_t) override { return -1; }
        int getIndexedString(int, wchar_t*, std::size_t) override { return -1; }
        const wchar_t* error() override { return L""; }
        const platform::HidDeviceEntry& info() const override { return peer.entry; }
        LatePeer& peer;
    };
    LatePeer() {
        entry.path = "late:0";
        entry.vendorId = 0x0403;
        entry.productId = 0xDE37;
        entry.hasSerial = true;
        entry.serial = L"7";
        entry.releaseNumber = 30;
    }
    int init() override { return 0; }
    int exit() override { return 0; }
    std::vector<platform::HidDeviceEntry> enumerate(std::uint16_t, std::uint16_t) override {
        return {entry};
    }
    std::unique_ptr<platform::HidHandle> openPath(const std::string&, bool) override {
        return std::make_unique<Handle>(*this);
    }
    const wchar_t* error() override { return L""; }

    platform::HidDeviceEntry entry;
    bool late = false;
    std::deque<std::vector<std::uint8_t>> queue, held;
};

TEST(HIDCommLateAnswer, StaleAnswerIsNotTakenForTheNextQuery) {
    LatePeer peer;
    platform::ScopedHidBackend scoped(peer);
    HIDDevice dev;
    DEVICE_DESCRIPTION d = simDescription(7);
    ASSERT_TRUE(dev.OpenHIDDevice(&d));
    peer.late = true;
    std::uint16_t fw = 0;
    EXPECT_EQ(dev.GetFwCypVers(&fw), -1);
    peer.late = false;
    peer.queue.swap(peer.held);  // the answer arrives after its query gave up
    float t = 0;
    EXPECT_EQ(dev.GetTFlag(&t), 0);
    EXPECT_FLOAT_EQ(t, 0x6161 / 128.0f);
    EXPECT_EQ(dev.GetFwCypVers(&fw), 0);
    EXPECT_EQ(fw, 0x6767);
}

// Answers after the time-out (the camera answers in order): each query, GetFwCypVers and
// GetFlag in turn, gets its own answer or fails, within one time-out.
TEST_F(HIDCommExchange, AnswerAfterTheTimeOutIsNeverAnotherQuerysAnswer) {
    connect();
    cam_->flagState = 1;
    const std::vector<int> cases[] = {{1, 1500, -1, 0, 0},  // late answers, how late, results
                                      {3, 1100, -1, -1, -1},
                                      {1, 2900, -1, -1, 0, 0},      // later than a whole time-out
                                      {1, 60000, -1, -1, -1, -1}};  // the rest queued behind
    for (const std::vector<int>& c : cases) {
        cam_->hid.lateAnswers = c[0];
        cam_->hid.lateByMs = static_cast<std::uint32_t>(c[1]);
        for (std::size_t i = 2; i < c.size(); ++i) {
            const std::uint32_t start = clock_.tickMs();
            std::uint16_t fw = 0;
            std::uint8_t flag = 0;
            EXPECT_EQ(i % 2 ? dev_.GetFlag(&flag) : dev_.GetFwCypVers(&fw), c[i]);
            EXPECT_EQ(i % 2 ? flag : fw, c[i] ? (i % 2 ? 2 : 0) : (i % 2 ? 1 : 2250)) << c[1] << i;
            EXPECT_LE(clock_.tickMs() - start, 1000u);
        }
        dev_.CloseHIDDevice();
        ASSERT_TRUE(open(dev_, 12345));
    }
}

TEST(HIDCommThreaded, ExchangesOfOneTransportDoNotMix) {
    sim::SimHidBackend backend;
    platform::ScopedHidBackend scoped(backend);
    auto cam = std::make_shared<sim::SimCamera>(1, 3100, 2250);
    cam->tempFlag = 12.5f;
    backend.addCamera(cam);
    HIDDevice dev;
    DEVICE_DESCRIPTION d;
    d.vendorId = 0x0403;
    d.productId = 0xDE37;
    ASSERT_TRUE(dev.OpenHIDDevice(&d));
    int bad = 0;
    std::thread other([&] {
        for (int i = 0; i < 2000; ++i) {
            std::uint16_t fw = 0;
            if (dev.GetFwCypVers(&fw) != 0 || fw != 2250) {
                ++bad;
            }
        }
    });
    for (int i = 0; i < 2000; ++i) {
        float t = 0;
        if (dev.GetTFlag(&t) != 0 || t != 12.5f) {
            ++bad;
        }
    }
    other.join();
    EXPECT_EQ(bad, 0);
}

class HIDNode : public TempDirTest {};

// A plain file stands in for a hidraw node.
TEST_F(HIDNode, ExclusiveHolderShowsInUse) {
    writeFile("hidraw0", "");
    const std::string path = this->path("hidraw0");
    EXPECT_FALSE(platform::probeHidNode(path).inUse);
    {
        platform::HidNodeLock holder(path, true);
        EXPECT_EQ(holder.mode(), platform::HidNodeLock::Exclusive);
        platform::HidNodeState state = platform::probeHidNode(path);
        EXPECT_TRUE(state.openable);
        EXPECT_TRUE(state.inUse);
        platform::HidNodeLock shared(path, false);  // still opens, without a lock
        EXPECT_TRUE(shared.inUse());
        EXPECT_EQ(shared.mode(), platform::HidNodeLock::None);
    }
    {
        platform::HidNodeLock first(path, false);
        EXPECT_EQ(first.mode(), platform::HidNodeLock::Shared);
        EXPECT_FALSE(first.inUse());
        platform::HidNodeLock second(path, true);  // exclusive out of reach: falls back
        EXPECT_EQ(second.mode(), platform::HidNodeLock::Shared);
        EXPECT_TRUE(platform::probeHidNode(path).inUse);
    }
    EXPECT_FALSE(platform::probeHidNode(path).inUse);
    std::remove(path.c_str());
    EXPECT_FALSE(platform::probeHidNode(path).openable);
}

TEST(HIDSystemLibrary, StaysLoadedWhileAnyTransportLives) {
    platform::restoreHidBackend();
    auto first = std::make_unique<HIDComm>();
    auto second = std::make_unique<HIDComm>();
    DEVICE_DESCRIPTION d;
    d.serialNumber = 4000000000u;  // nothing matches; the lookup loads the library
    EXPECT_EQ(first->get_device_info(&d), 1);
    ASSERT_TRUE(platform::hidLibraryLoaded());
    first.reset();
    EXPECT_TRUE(platform::hidLibraryLoaded());
    second.reset();
    EXPECT_FALSE(platform::hidLibraryLoaded());
    hid_device_info* list = hid_enumerate(0xFFFF, 0xFFFF);  // loads it again on demand
    hid_free_enumeration(list);
    EXPECT_TRUE(platform::hidLibraryLoaded());
    hid_exit();
    EXPECT_FALSE(platform::hidLibraryLoaded());
}
