// The null-object control device: answers every command without a camera. The base of
// PlaybackControlDevice and of the tests' stand-in devices.
#pragma once

#include <cstdint>
#include <type_traits>

#include "device/BaseControlDevice.h"

// A control device with no camera behind it: every command is accepted and ignored, queries
// answer zeros, the temperatures -100 and the flag the "no answer" state 2 (both failing with
// -1). Devices that stand in for a camera derive from it and override what they really do.
class InertControlDevice : public BaseControlDevice {
  public:
    InertControlDevice() = default;
    ~InertControlDevice() override;

    std::int32_t Init(std::uint32_t vendorId, std::uint32_t productId, std::uint32_t serial,
                      bool force, bool* sameDevice) override {
        put(sameDevice, false);
        return 0;
    }
    std::int32_t Init(std::uint32_t vendorId, std::uint32_t productId, bool force) override {
        return 0;
    }
    std::int32_t InitPif() override { return 0; }
    std::int32_t SetPifType(TPifType type, std::uint8_t argument) override { return 0; }
    std::int32_t GetBuffer(std::uint8_t* dst, std::int32_t capacity) override { return 0; }
    std::uint32_t GetSerialNumber() override { return 0; }
    std::uint16_t GetFWRevision() override { return 0; }
    std::uint16_t GetHWRevision() override { return 0; }

    void GetPifAICount(std::uint16_t* count) override { put(count); }
    void GetPifDICount(std::uint16_t* count) override { put(count); }
    void GetPifAOCount(std::uint16_t* count) override { put(count); }
    void GetPifDOCount(std::uint16_t* count) override { put(count); }
    void GetPifExtraCount(std::uint16_t* count) override { put(count); }
    void GetPifIn(std::uint16_t* value, std::uint8_t chan) override { put(value); }
    void SetPifOut(std::uint16_t value, std::uint8_t chan) override {}
    void SetPifDigitalOut(std::uint8_t value, std::uint8_t chan) override {}
    void HoldPifOutputs(bool hold) override {}
    void FailSafe(bool on) override {}

    std::int32_t SetTecEnable(bool on) override { return 0; }
    void GetTecEnable(bool* on) override { put(on); }
    void SetTempTec(float degC) override {}
    void GetTempTec(float* degC) override { put(degC); }
    std::int32_t GetFlag(std::int32_t* state) override {
        put(state, 2);
        return -1;
    }
    std::int32_t SetFlag(bool closed) override { return 0; }
    std::int32_t SetFlagCycle(std::uint16_t cycles) override { return 0; }
    void SetTec_A(std::uint16_t value) override {}
    void GetTec_A(std::uint16_t* value) override { put(value); }
    std::int32_t SetTec_B(std::uint16_t value) override { return 0; }
    void GetTec_B(std::uint16_t* value) override { put(value); }
    std::int32_t SetTec_C(std::uint16_t value) override { return 0; }
    void GetTec_C(std::uint16_t* value) override { put(value); }
    std::int32_t SetTec_D(std::uint16_t value) override { return 0; }
    void GetTec_D(std::uint16_t* value) override { put(value); }

    void SetSkim(std::uint16_t value) override {}
    void SetSkim_Ext(std::uint16_t value) override {}
    void GetSkim(std::uint16_t* value) override { put(value); }
    void SetSkim_Adjust(std::uint16_t value) override {}
    void GetSkim_Adjust(std::uint16_t* value) override { put(value); }
    void SetFid(std::uint16_t value) override {}
    void SetFid_Ext(std::uint16_t value) override {}
    void GetFid(std::uint16_t* value) override { put(value); }
    void SetFid_Adjust(std::uint16_t value) override {}
    void GetFid_Adjust(std::uint16_t* value) override { put(value); }
    std::int32_t SetBiasEnable(bool on) override { return 0; }
    void GetBiasEnable(bool* on) override { put(on); }
    std::int32_t SetPowerEnable(bool on) override { return 0; }
    void GetPowerEnable(bool* on) override { put(on); }
    void GetAntiFlicker(bool* on) override { put(on); }
    std::int32_t SetAntiFlicker(bool on) override { return 0; }
    std::int32_t SetClippedFormatPosition(std::uint16_t x, std::uint16_t y) override { return 0; }
    void GetClippedFormatPosition(std::uint16_t* x, std::uint16_t* y) override {
        put(x);
        put(y);
    }
    bool GetShortImagerCaps() override { return false; }

    std::int32_t GetPIFInMode(std::uint8_t chan) override { return 0; }
    void SetPIFInMode(std::int32_t mode, std::uint8_t chan) override {}
    std::int32_t GetPIFInDigitalMode(std::uint8_t chan) override { return 0; }
    void SetPIFInDigitalMode(std::int32_t mode, std::uint8_t chan) override {}
    std::int32_t GetPIFOutMode(std::uint8_t chan) override { return 0; }
    void SetPIFOutMode(std::int32_t mode, std::uint8_t chan) override {}
    void SetPIFOutOutputMode(std::int32_t mode, std::uint8_t chan) override {}
    void SetPIFOutDigitalMode(std::int32_t mode, std::uint8_t chan) override {}
    std::uint16_t GetPIFInFlagThreshold() override { return 0; }
    std::int32_t SetPIFInFlagThreshold(std::uint16_t threshold) override { return 0; }
    bool GetPIFInFlagOpenIfLower() override { return false; }
    std::int32_t SetPIFInFlagOpenIfLower(bool lower) override { return 0; }
    void SetPIFOutFlagOpen(std::uint16_t value, std::int16_t chan) override {}
    void GetPIFOutFlagOpen(std::uint16_t* value, std::int16_t chan) override { put(value); }
    void SetPIFOutFlagClosed(std::uint16_t value, std::int16_t chan) override {}
    void GetPIFOutFlagClosed(std::uint16_t* value, std::int16_t chan) override { put(value); }
    void SetPIFOutFlagMoving(std::uint16_t value, std::int16_t chan) override {}
    void GetPIFOutFlagMoving(std::uint16_t* value, std::int16_t chan) override { put(value); }
    void SetPIFOutFrameSync(std::uint16_t value, std::int16_t chan) override {}
    void GetPIFOutFrameSync(std::uint16_t* value, std::int16_t chan) override { put(value); }
    void SetPIFOutSamplePointTable(std::int32_t* points, std::int32_t count, double factor,
                                   double offset, bool percent, std::int16_t chan) override {}

    std::int32_t ConfigAutonomousSettings(tagAutonomousSettings* settings) override { return 0; }
    std::int32_t ConfigAutonomousPifAO_ForMeasureArea(tagAutonomousPifAOConfig* cfg) override {
        return 0;
    }
    std::int32_t ConfigAutonomousPifAO_ForAlarm(tagAutonomousPifAOConfig* cfg) override {
        return 0;
    }
    std::int32_t ConfigAutonomousPifAO_ForTInt(tagAutonomousPifAOConfig* cfg) override { return 0; }
    std::int32_t ConfigAutonomousMeasureArea(tagAutonomousAreaConfig* area) override { return 0; }
    std::int32_t ConfigAutonomousCalculatedArea(tagAutonomousAreaConfig* area) override {
        return 0;
    }
    std::int32_t ProcessDeferredCommands() override { return 0; }

    bool GetPIFInDigitalFlagLowActive() override { return false; }
    std::int32_t SetPIFInDigitalFlagLowActive(bool lowActive) override { return 0; }
    std::uint16_t GetPIFInThreshold() override { return 0; }
    std::uint16_t SetPIFInThreshold(std::uint16_t threshold) override { return 0; }
    bool GetPIFInDigitalLowActive() override { return false; }
    void SetPIFInDigitalLowActive(bool lowActive) override {}

    std::int32_t GetTempChip(float* degC) override { return noTemperature(degC); }
    std::int32_t GetTempBox(float* degC) override { return noTemperature(degC); }
    std::int32_t GetTempFlag(float* degC) override { return noTemperature(degC); }
    std::int32_t GetTempOptics(float* degC) override { return noTemperature(degC); }

    void GetFocusmotorRange(std::uint16_t* first, std::uint16_t* second) override {
        put(first);
        put(second);
    }
    std::int32_t GetFocusmotorPos(std::uint16_t* position) override {
        put(position);
        return 0;
    }
    void SetFocusmotorPos(std::uint16_t position) override {}
    std::int32_t QueryFlashMemory(std::uint32_t address) override { return 0; }
    std::int32_t GetPifType() override { return 0; }
    std::uint8_t GetPifInfoFlag() override { return 0; }
    std::int32_t SetLaserEnable(bool on) override { return 0; }
    void GetLaserEnable(bool* on) override { put(on); }
    bool GetChecksumValid() override { return false; }
    std::int32_t CheckFlagSource() override { return 0; }

    std::int32_t FirmwareRead(std::uint8_t* data, std::uint16_t length) override { return 0; }
    std::int32_t FirmwareWrite(std::uint8_t* data, std::uint16_t length) override { return 0; }
    void ControlJTAGPort(std::uint8_t* command, std::uint8_t* data, std::uint8_t noAnswer,
                         std::uint16_t bitCount, std::uint8_t mode) override {}
    bool MCSFirmwareCheck(std::uint8_t* image, std::int32_t length) override { return false; }
    bool MCSFirmwareWrite(std::uint8_t* image, std::int32_t length) override { return false; }

    std::int32_t GetDeviceClass() override { return 0; }
    bool GetPifChannelAddress(std::int32_t list, std::uint8_t index, std::uint8_t* device,
                              std::uint8_t* channel) override {
        put(device);
        put(channel);
        return false;
    }
    std::int32_t SetTCPIPConfig(std::uint32_t address, std::uint32_t mask,
                                std::uint32_t gateway) override {
        return 0;
    }
    std::int32_t GetTCPIPConfig(std::uint32_t* address, std::uint32_t* mask,
                                std::uint32_t* gateway) override {
        put(address);
        put(mask);
        put(gateway);
        return 0;
    }

  protected:
    // Stores value through out unless out is null.
    template <typename T>
    static void put(T* out, typename std::remove_cv<T>::type value = {}) {
        if (out != nullptr) {
            *out = value;
        }
    }

  private:
    static std::int32_t noTemperature(float* degC) {
        put(degC, -100.0f);
        return -1;
    }
};
