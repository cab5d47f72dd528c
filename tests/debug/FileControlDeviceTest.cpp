// The debug build's camera-less control device: identity, TEC values and the warnings of what it
// does not support.
#include <gtest/gtest.h>

#include <string>
#include <type_traits>

#include "CompletedFileDevice.h"
#include "kelvix/Logger.h"

namespace {

static_assert(std::is_abstract_v<FileControlDevice>, "a subclass completes the device");

// Warning lines on the console, captured per call.
class FileControlDeviceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        zol::Logger::getInstance()->configure("filedevice", zol::Logger::ModeConsole, 0,
                                              zol::Logger::Warning);
    }

    template <typename F>
    std::string logOf(F call) {
        testing::internal::CaptureStderr();
        call();
        return testing::internal::GetCapturedStderr();
    }

    // Exactly one warning line of this device with `text`.
    static void expectWarning(const std::string& log, const std::string& text) {
        EXPECT_EQ(0u, log.find("WARNING [filecontroldevice:")) << log;
        EXPECT_NE(std::string::npos, log.find("s :" + text + "\n")) << log;
        EXPECT_EQ(log.size() - 1, log.find('\n')) << log;
    }

    CompletedFileDevice device_{1, 2000, 12345678};
};

TEST_F(FileControlDeviceTest, IdentityTrimsAndTecValues) {
    EXPECT_EQ(1, device_.GetHWRevision());
    EXPECT_EQ(2000, device_.GetFWRevision());
    EXPECT_EQ(12345678u, device_.GetSerialNumber());

    BaseControlDevice& d = device_;
    std::uint16_t v = 99;
    for (auto get :
         {&BaseControlDevice::GetTec_A, &BaseControlDevice::GetTec_B, &BaseControlDevice::GetTec_C,
          &BaseControlDevice::GetTec_D, &BaseControlDevice::GetSkim, &BaseControlDevice::GetFid}) {
        v = 99;
        (d.*get)(&v);
        EXPECT_EQ(0, v);
    }
    EXPECT_EQ("", logOf([&] { EXPECT_EQ(0, d.SetTec_D(0xFFFF)); }));
    d.GetTec_D(&v);
    EXPECT_EQ(0xFFFF, v);

    // Plain and extended-register setters share one value.
    d.SetSkim_Ext(11);
    d.GetSkim(&v);
    EXPECT_EQ(11, v);
    d.SetFid_Ext(20);
    d.GetFid(&v);
    EXPECT_EQ(20, v);
    d.SetFid(21);
    d.GetFid(&v);
    EXPECT_EQ(21, v);
    d.GetSkim(&v);
    EXPECT_EQ(11, v);
}

TEST_F(FileControlDeviceTest, UnsupportedOperationsWarnAndLeaveOutArgumentsAlone) {
    BaseControlDevice& d = device_;
    float t = 12.5f;
    expectWarning(logOf([&] { EXPECT_EQ(-1, d.GetTempBox(&t)); }), "GetTempBox not implemented");
    EXPECT_EQ(12.5f, t);
    std::int32_t state = 5;
    expectWarning(logOf([&] { EXPECT_EQ(-1, d.GetFlag(&state)); }), "GetFlag not implemented");
    EXPECT_EQ(5, state);
    // Commands that did nothing do not report success.
    expectWarning(logOf([&] { EXPECT_EQ(-1, d.SetFlagCycle(1)); }), "SetFlagCycle not implemented");
    std::uint8_t buffer[4] = {1, 2, 3, 4};
    expectWarning(logOf([&] { EXPECT_EQ(0, d.GetBuffer(buffer, 4)); }),
                  "GetBuffer not implemented");
    EXPECT_EQ(1, buffer[0]);
    std::uint16_t x = 3, y = 4;
    expectWarning(logOf([&] { d.GetClippedFormatPosition(&x, &y); }),
                  "GetClippedFormatPosition not implemented");
    EXPECT_EQ(3, x);
    EXPECT_EQ(4, y);

    // Below the warning level nothing is written.
    zol::Logger::getInstance()->configure("filedevice", zol::Logger::ModeConsole, 0,
                                          zol::Logger::Error);
    EXPECT_EQ("", logOf([&] { d.FailSafe(true); }));
}

TEST_F(FileControlDeviceTest, CallsOutsideTheInterfaceOnlyWarn) {
    FileControlDevice& f = device_;
    expectWarning(logOf([&] { EXPECT_TRUE(f.SendCommand(1, 2, 3)); }),
                  "SendCommand not implemented");
    expectWarning(logOf([&] { EXPECT_EQ(0, f.Init(1u, 2u)); }), "Init not implemented");
    std::uint16_t v = 3;
    expectWarning(logOf([&] { f.GetPifIn(&v, 0); }), "GetPifIn not implemented");
    EXPECT_EQ(3, v);
    const FileControlDevice& constDevice = device_;
    expectWarning(logOf([&] { EXPECT_EQ(0, constDevice.GetPIFInThreshold()); }),
                  "GetPIFInThreshold not implemented");
    expectWarning(logOf([&] { f.SetPIFInOpenIfLower(1); }), "SetPIFInOpenIfLower not implemented");

    // They neither take the place of nor hide the interface's operations of the same names.
    BaseControlDevice& d = device_;
    std::uint16_t in = 0, out = 0;
    std::int32_t results[5] = {};
    EXPECT_EQ("", logOf([&] {
                  d.GetPifIn(&v, 0);
                  f.GetPifIn(&in, std::uint8_t{0});
                  f.GetPIFOutFlagOpen(&out, std::int16_t{0});
                  results[0] = d.GetPIFInThreshold();
                  results[1] = f.GetPIFInFlagThreshold();
                  results[2] = f.GetPIFInMode(std::uint8_t{0});
                  results[3] = f.GetPIFInDigitalLowActive();
                  results[4] = f.Init(1, 2, false);
              }));
    EXPECT_EQ(7, v);
    EXPECT_EQ(7, in);
    EXPECT_EQ(7, out);
    EXPECT_EQ(7, results[0]);
    EXPECT_EQ(7, results[1]);
    EXPECT_EQ(7, results[2]);
    EXPECT_EQ(1, results[3]);
    EXPECT_EQ(0, results[4]);
}

}  // namespace
