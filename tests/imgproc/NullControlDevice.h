#pragma once

#include "device/BaseControlDevice.h"

// A control device that answers every operation with zeros; tests override what they need.
class NullControlDevice : public BaseControlDevice {
  public:
    std::int32_t Init(std::uint32_t vendorId, std::uint32_t productId, std::uint32_t serial,
                      bool force, bool* sameDevice) override {
        return {};
    }
    std::int32_t Init(std::uint32_t vendorId, std::uint32_t productId, bool force) override {
        return {};
    }
    std::int32_t InitPif() override { return {}; }
    std::int32_t SetPifType(TPifType type, std::uint8_t argument) override { return {}; }
    std::int32_t GetBuffer(std::uint8_t* dst, std::int32_t capacity) override { return {}; }
    std::uint32_t GetSerialNumber() override { return {}; }
    std::uint16_t GetFWRevision() override { return {}; }
    std::uint16_t GetHWRevision() override { return {}; }
    void GetPifAICount(std::uint16_t* count) override {}
    void GetPifDICount(std::uint16_t* count) override {}
    void GetPifAOCount(std::uint16_t* count) override {}
    void GetPifDOCount(std::uint16_t* count) override {}
    void GetPifExtraCount(std::uint16_t* count) override {}
    void GetPifIn(std::uint16_t* value, std::uint8_t chan) override {}
    void SetPifOut(std::uint16_t value, std::uint8_t chan) override {}
    void SetPifDigitalOut(std::uint8_t value, std::uint8_t chan) override {}
    void HoldPifOutputs(bool hold) override {}
    void FailSafe(bool on) override {}
    std::int32_t SetTecEnable(bool on) override { return {}; }
    void GetTecEnable(bool* on) override {}
    void SetTempTec(float degC) override {}
    void GetTempTec(float* degC) override {}
    std::int32_t GetFlag(std::int32_t* state) override { return {}; }
    std::int32_t SetFlag(bool closed) override { return {}; }
    std::int32_t SetFlagCycle(std::uint16_t cycles) override { return {}; }
    void SetTec_A(std::uint16_t value) override {}
    void GetTec_A(std::uint16_t* value) override {}
    std::int32_t SetTec_B(std::uint16_t value) override { return {}; }
    void GetTec_B(std::uint16_t* value) override {}
    std::int32_t SetTec_C(std::uint16_t value) override { return {}; }
    void GetTec_C(std::uint16_t* value) override {}
    std::int32_t SetTec_D(std::uint16_t value) override { return {}; }
    void GetTec_D(std::uint16_t* value) override {}
    void SetSkim(std::uint16_t value) override {}
    void SetSkim_Ext(std::uint16_t value) override {}
    void GetSkim(std::uint16_t* value) override {}
    void SetSkim_Adjust(std::uint16_t value) override {}
    void GetSkim_Adjust(std::uint16_t* value) override {}
    void SetFid(std::uint16_t value) override {}
    void SetFid_Ext(std::uint16_t value) override {}
    void GetFid(std::uint16_t* value) override {}
    void SetFid_Adjust(std::uint16_t value) override {}
    void GetFid_Adjust(std::uint16_t* value) override {}
    std::int32_t SetBiasEnable(bool on) override { return {}; }
    void GetBiasEnable(bool* on) override {}
    std::int32_t SetPowerEnable(bool on) override { return {}; }
    void GetPowerEnable(bool* on) override {}
    void GetAntiFlicker(bool* on) override {}
    std::int32_t SetAntiFlicker(bool on) override { return {}; }
    std::int32_t SetClippedFormatPosition(std::uint16_t x, std::uint16_t y) override { return {}; }
    void GetClippedFormatPosition(std::uint16_t* x, std::uint16_t* y) override {}
    bool GetShortImagerCaps() override { return {}; }
    std::int32_t GetPIFInMode(std::uint8_t chan) override { return {}; }
    void SetPIFInMode(std::int32_t mode, std::uint8_t chan) override {}
    std::int32_t GetPIFInDigitalMode(std::uint8_t chan) override { return {}; }
    void SetPIFInDigitalMode(std::int32_t mode, std::uint8_t chan) override {}
    std::int32_t GetPIFOutMode(std::uint8_t chan) override { return {}; }
    void SetPIFOutMode(std::int32_t mode, std::uint8_t chan) override {}
    void SetPIFOutOutputMode(std::int32_t mode, std::uint8_t chan) override {}
    void SetPIFOutDigitalMode(std::int32_t mode, std::uint8_t chan) override {}
    std::uint16_t GetPIFInFlagThreshold() override { return {}; }
    std::int32_t SetPIFInFlagThreshold(std::uint16_t threshold) override { return {}; }
    bool GetPIFInFlagOpenIfLower() override { return {}; }
    std::int32_t SetPIFInFlagOpenIfLower(bool lower) override { return {}; }
    void SetPIFOutFlagOpen(std::uint16_t value, std::int16_t chan) override {}
    void GetPIFOutFlagOpen(std::uint16_t* value, std::int16_t chan) override {}
    void SetPIFOutFlagClosed(std::uint16_t value, std::int16_t chan) override {}
    void GetPIFOutFlagClosed(std::uint16_t* value, std::int16_t chan) override {}
    void SetPIFOutFlagMoving(std::uint16_t value, std::int16_t chan) override {}
    void GetPIFOutFlagMoving(std::uint16_t* value, std::int16_t chan) override {}
    void SetPIFOutFrameSync(std::uint16_t value, std::int16_t chan) override {}
    void GetPIFOutFrameSync(std::uint16_t* value, std::int16_t chan) override {}
    void SetPIFOutSamplePointTable(std::int32_t* points, std::int32_t count, double factor,
                                   double offset, bool percent, std::int16_t chan) override {}
    std::int32_t ConfigAutonomousSettings(tagAutonomousSettings* settings) override { return {}; }
    std::int32_t ConfigAutonomousPifAO_ForMeasureArea(tagAutonomousPifAOConfig* cfg) override {
        return {};
    }
    std::int32_t ConfigAutonomousPifAO_ForAlarm(tagAutonomousPifAOConfig* cfg) override {
        return {};
    }
    std::int32_t ConfigAutonomousPifAO_ForTInt(tagAutonomousPifAOConfig* cfg) override {
        return {};
    }
    std::int32_t ConfigAutonomousMeasureArea(tagAutonomousAreaConfig* area) override { return {}; }
    std::int32_t ConfigAutonomousCalculatedArea(tagAutonomousAreaConfig* area) override {
        return {};
    }
    std::int32_t ProcessDeferredCommands() override { return {}; }
    bool GetPIFInDigitalFlagLowActive() override { return {}; }
    std::int32_t SetPIFInDigitalFlagLowActive(bool lowActive) override { return {}; }
    std::uint16_t GetPIFInThreshold() override { return {}; }
    std::uint16_t SetPIFInThreshold(std::uint16_t threshold) override { return {}; }
    bool GetPIFInDigitalLowActive() override { return {}; }
    void SetPIFInDigitalLowActive(bool lowActive) override {}
    std::int32_t GetTempChip(float* degC) override { return {}; }
    std::int32_t GetTempBox(float* degC) override { return {}; }
    std::int32_t GetTempFlag(float* degC) override { return {}; }
    std::int32_t GetTempOptics(float* degC) override { return {}; }
    void GetFocusmotorRange(std::uint16_t* first, std::uint16_t* second) override {}
    std::int32_t GetFocusmotorPos(std::uint16_t* position) override { return {}; }
    void SetFocusmotorPos(std::uint16_t position) override {}
    std::int32_t QueryFlashMemory(std::uint32_t address) override { return {}; }
    std::int32_t GetPifType() override { return {}; }
    std::uint8_t GetPifInfoFlag() override { return {}; }
    std::int32_t SetLaserEnable(bool on) override { return {}; }
    void GetLaserEnable(bool* on) override {}
    bool GetChecksumValid() override { return {}; }
    std::int32_t CheckFlagSource() override { return {}; }
    std::int32_t FirmwareRead(std::uint8_t* data, std::uint16_t length) override { return {}; }
    std::int32_t FirmwareWrite(std::uint8_t* data, std::uint16_t length) override { return {}; }
    void ControlJTAGPort(std::uint8_t* command, std::uint8_t* data, std::uint8_t noAnswer,
                         std::uint16_t bitCount, std::uint8_t mode) override {}
    bool MCSFirmwareCheck(std::uint8_t* image, std::int32_t length) override { return {}; }
    bool MCSFirmwareWrite(std::uint8_t* image, std::int32_t length) override { return {}; }
    std::int32_t GetDeviceClass() override { return {}; }
    bool GetPifChannelAddress(std::int32_t list, std::uint8_t index, std::uint8_t* device,
                              std::uint8_t* channel) override {
        return {};
    }
    std::int32_t SetTCPIPConfig(std::uint32_t address, std::uint32_t mask,
                                std::uint32_t gateway) override {
        return {};
    }
    std::int32_t GetTCPIPConfig(std::uint32_t* address, std::uint32_t* mask,
                                std::uint32_t* gateway) override {
        return {};
    }
};
