// The debug build's file control device with the operations it leaves open filled in.
#pragma once

#include <cstdint>

#include "device/FileControlDevice.h"

// The smallest usable device: the operations the file device leaves open answer plainly;
// the process-interface input reads as 7 so that calls reaching it can be told apart.
class CompletedFileDevice : public FileControlDevice {
  public:
    using FileControlDevice::FileControlDevice;

    std::int32_t Init(std::uint32_t, std::uint32_t, std::uint32_t, bool, bool*) override {
        return 0;
    }
    std::int32_t Init(std::uint32_t, std::uint32_t, bool) override { return 0; }
    using FileControlDevice::Init;
    std::int32_t SetPifType(TPifType, std::uint8_t) override { return 0; }
    void GetPifAICount(std::uint16_t* c) override { *c = 0; }
    void GetPifDICount(std::uint16_t* c) override { *c = 0; }
    void GetPifAOCount(std::uint16_t* c) override { *c = 0; }
    void GetPifDOCount(std::uint16_t* c) override { *c = 0; }
    void GetPifExtraCount(std::uint16_t* c) override { *c = 0; }
    void GetPifIn(std::uint16_t* v, std::uint8_t) override { *v = 7; }
    void SetPifOut(std::uint16_t, std::uint8_t) override {}
    void SetPifDigitalOut(std::uint8_t, std::uint8_t) override {}
    void HoldPifOutputs(bool) override {}
    std::int32_t GetPIFInMode(std::uint8_t) override { return 7; }
    void SetPIFInMode(std::int32_t, std::uint8_t) override {}
    std::int32_t GetPIFInDigitalMode(std::uint8_t) override { return 7; }
    void SetPIFInDigitalMode(std::int32_t, std::uint8_t) override {}
    std::int32_t GetPIFOutMode(std::uint8_t) override { return 7; }
    void SetPIFOutMode(std::int32_t, std::uint8_t) override {}
    void SetPIFOutOutputMode(std::int32_t, std::uint8_t) override {}
    void SetPIFOutDigitalMode(std::int32_t, std::uint8_t) override {}
    std::uint16_t GetPIFInFlagThreshold() override { return 7; }
    std::int32_t SetPIFInFlagThreshold(std::uint16_t) override { return 0; }
    bool GetPIFInFlagOpenIfLower() override { return true; }
    std::int32_t SetPIFInFlagOpenIfLower(bool) override { return 0; }
    void SetPIFOutFlagOpen(std::uint16_t, std::int16_t) override {}
    void GetPIFOutFlagOpen(std::uint16_t* v, std::int16_t) override { *v = 7; }
    void SetPIFOutFlagClosed(std::uint16_t, std::int16_t) override {}
    void GetPIFOutFlagClosed(std::uint16_t* v, std::int16_t) override { *v = 7; }
    void SetPIFOutFlagMoving(std::uint16_t, std::int16_t) override {}
    void GetPIFOutFlagMoving(std::uint16_t* v, std::int16_t) override { *v = 7; }
    void SetPIFOutFrameSync(std::uint16_t, std::int16_t) override {}
    void GetPIFOutFrameSync(std::uint16_t* v, std::int16_t) override { *v = 7; }
    void SetPIFOutSamplePointTable(std::int32_t*, std::int32_t, double, double, bool,
                                   std::int16_t) override {}
    std::int32_t ConfigAutonomousSettings(tagAutonomousSettings*) override { return 0; }
    std::int32_t ConfigAutonomousPifAO_ForMeasureArea(tagAutonomousPifAOConfig*) override {
        return 0;
    }
    std::int32_t ConfigAutonomousPifAO_ForAlarm(tagAutonomousPifAOConfig*) override { return 0; }
    std::int32_t ConfigAutonomousPifAO_ForTInt(tagAutonomousPifAOConfig*) override { return 0; }
    std::int32_t ConfigAutonomousMeasureArea(tagAutonomousAreaConfig*) override { return 0; }
    std::int32_t ConfigAutonomousCalculatedArea(tagAutonomousAreaConfig*) override { return 0; }
    std::int32_t ProcessDeferredCommands() override { return 0; }
    bool GetPIFInDigitalFlagLowActive() override { return true; }
    std::int32_t SetPIFInDigitalFlagLowActive(bool) override { return 0; }
    std::uint16_t GetPIFInThreshold() override { return 7; }
    std::uint16_t SetPIFInThreshold(std::uint16_t) override { return 0; }
    bool GetPIFInDigitalLowActive() override { return true; }
    void SetPIFInDigitalLowActive(bool) override {}
    std::int32_t GetTempOptics(float* t) override {
        *t = 7;
        return 0;
    }
    void GetFocusmotorRange(std::uint16_t*, std::uint16_t*) override {}
    std::int32_t GetFocusmotorPos(std::uint16_t*) override { return 0; }
    void SetFocusmotorPos(std::uint16_t) override {}
    std::int32_t QueryFlashMemory(std::uint32_t) override { return 0; }
    std::int32_t GetPifType() override { return 0; }
    std::uint8_t GetPifInfoFlag() override { return 0; }
    std::int32_t GetDeviceClass() override { return 0; }
    bool GetPifChannelAddress(std::int32_t, std::uint8_t, std::uint8_t*, std::uint8_t*) override {
        return false;
    }
    std::int32_t SetTCPIPConfig(std::uint32_t, std::uint32_t, std::uint32_t) override { return 0; }
    std::int32_t GetTCPIPConfig(std::uint32_t*, std::uint32_t*, std::uint32_t*) override {
        return 0;
    }
};
