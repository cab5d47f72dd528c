#pragma once

#include <cstdint>

#include "device/BaseControlDevice.h"

// Control device for frames that come from a recording instead of a camera: it answers the
// identity it was given, keeps the trims and chip-heating values it is told (so their getters
// answer them back), reports no device temperatures (-100) and ignores camera-only commands.
class PlaybackControlDevice : public BaseControlDevice {
  public:
    PlaybackControlDevice(std::uint32_t serial, std::uint16_t hwRevision, std::uint16_t fwRevision);
    ~PlaybackControlDevice() override;

    // Identity and connection: always "connected".
    std::int32_t Init(std::uint32_t vendorId, std::uint32_t productId, std::uint32_t serial,
                      bool force, bool* sameDevice) override;
    std::int32_t Init(std::uint32_t vendorId, std::uint32_t productId, bool force) override;
    std::int32_t InitPif() override;
    std::uint32_t GetSerialNumber() override;
    std::uint16_t GetFWRevision() override;
    std::uint16_t GetHWRevision() override;

    // Values kept as told.
    std::int32_t SetTecEnable(bool on) override;
    void GetTecEnable(bool* on) override;
    void SetTempTec(float degC) override;
    void GetTempTec(float* degC) override;
    void SetTec_A(std::uint16_t value) override;
    void GetTec_A(std::uint16_t* value) override;
    std::int32_t SetTec_B(std::uint16_t value) override;
    void GetTec_B(std::uint16_t* value) override;
    std::int32_t SetTec_C(std::uint16_t value) override;
    void GetTec_C(std::uint16_t* value) override;
    std::int32_t SetTec_D(std::uint16_t value) override;
    void GetTec_D(std::uint16_t* value) override;
    void SetSkim(std::uint16_t value) override;
    void SetSkim_Ext(std::uint16_t value) override;
    void GetSkim(std::uint16_t* value) override;
    void SetSkim_Adjust(std::uint16_t value) override;
    void GetSkim_Adjust(std::uint16_t* value) override;
    void SetFid(std::uint16_t value) override;
    void SetFid_Ext(std::uint16_t value) override;
    void GetFid(std::uint16_t* value) override;
    void SetFid_Adjust(std::uint16_t value) override;
    void GetFid_Adjust(std::uint16_t* value) override;
    std::int32_t SetBiasEnable(bool on) override;
    void GetBiasEnable(bool* on) override;

    // No camera: the temperatures are -100 and the flag state is the "no answer" state 2.
    std::int32_t GetTempChip(float* degC) override;
    std::int32_t GetTempBox(float* degC) override;
    std::int32_t GetTempFlag(float* degC) override;
    std::int32_t GetTempOptics(float* degC) override;
    std::int32_t GetFlag(std::int32_t* state) override;

    // Camera-only commands: accepted and ignored; queries answer zeros.
    std::int32_t SetPifType(TPifType type, std::uint8_t argument) override;
    std::int32_t GetBuffer(std::uint8_t* dst, std::int32_t capacity) override;
    void GetPifAICount(std::uint16_t* count) override;
    void GetPifDICount(std::uint16_t* count) override;
    void GetPifAOCount(std::uint16_t* count) override;
    void GetPifDOCount(std::uint16_t* count) override;
    void GetPifExtraCount(std::uint16_t* count) override;
    void GetPifIn(std::uint16_t* value, std::uint8_t chan) override;
    void SetPifOut(std::uint16_t value, std::uint8_t chan) override;
    void SetPifDigitalOut(std::uint8_t value, std::uint8_t chan) override;
    void HoldPifOutputs(bool hold) override;
    void FailSafe(bool on) override;
    std::int32_t SetFlag(bool closed) override;
    std::int32_t SetFlagCycle(std::uint16_t cycles) override;
    std::int32_t SetPowerEnable(bool on) override;
    void GetPowerEnable(bool* on) override;
    void GetAntiFlicker(bool* on) override;
    std::int32_t SetAntiFlicker(bool on) override;
    std::int32_t SetClippedFormatPosition(std::uint16_t x, std::uint16_t y) override;
    void GetClippedFormatPosition(std::uint16_t* x, std::uint16_t* y) override;
    bool GetShortImagerCaps() override;
    std::int32_t GetPIFInMode(std::uint8_t chan) override;
    void SetPIFInMode(std::int32_t mode, std::uint8_t chan) override;
    std::int32_t GetPIFInDigitalMode(std::uint8_t chan) override;
    void SetPIFInDigitalMode(std::int32_t mode, std::uint8_t chan) override;
    std::int32_t GetPIFOutMode(std::uint8_t chan) override;
    void SetPIFOutMode(std::int32_t mode, std::uint8_t chan) override;
    void SetPIFOutOutputMode(std::int32_t mode, std::uint8_t chan) override;
    void SetPIFOutDigitalMode(std::int32_t mode, std::uint8_t chan) override;
    std::uint16_t GetPIFInFlagThreshold() override;
    std::int32_t SetPIFInFlagThreshold(std::uint16_t threshold) override;
    bool GetPIFInFlagOpenIfLower() override;
    std::int32_t SetPIFInFlagOpenIfLower(bool lower) override;
    void SetPIFOutFlagOpen(std::uint16_t value, std::int16_t chan) override;
    void GetPIFOutFlagOpen(std::uint16_t* value, std::int16_t chan) override;
    void SetPIFOutFlagClosed(std::uint16_t value, std::int16_t chan) override;
    void GetPIFOutFlagClosed(std::uint16_t* value, std::int16_t chan) override;
    void SetPIFOutFlagMoving(std::uint16_t value, std::int16_t chan) override;
    void GetPIFOutFlagMoving(std::uint16_t* value, std::int16_t chan) override;
    void SetPIFOutFrameSync(std::uint16_t value, std::int16_t chan) override;
    void GetPIFOutFrameSync(std::uint16_t* value, std::int16_t chan) override;
    void SetPIFOutSamplePointTable(std::int32_t* points, std::int32_t count, double factor,
                                   double offset, bool percent, std::int16_t chan) override;
    std::int32_t ConfigAutonomousSettings(tagAutonomousSettings* settings) override;
    std::int32_t ConfigAutonomousPifAO_ForMeasureArea(tagAutonomousPifAOConfig* cfg) override;
    std::int32_t ConfigAutonomousPifAO_ForAlarm(tagAutonomousPifAOConfig* cfg) override;
    std::int32_t ConfigAutonomousPifAO_ForTInt(tagAutonomousPifAOConfig* cfg) override;
    std::int32_t ConfigAutonomousMeasureArea(tagAutonomousAreaConfig* area) override;
    std::int32_t ConfigAutonomousCalculatedArea(tagAutonomousAreaConfig* area) override;
    std::int32_t ProcessDeferredCommands() override;
    bool GetPIFInDigitalFlagLowActive() override;
    std::int32_t SetPIFInDigitalFlagLowActive(bool lowActive) override;
    std::uint16_t GetPIFInThreshold() override;
    std::uint16_t SetPIFInThreshold(std::uint16_t threshold) override;
    bool GetPIFInDigitalLowActive() override;
    void SetPIFInDigitalLowActive(bool lowActive) override;
    void GetFocusmotorRange(std::uint16_t* first, std::uint16_t* second) override;
    std::int32_t GetFocusmotorPos(std::uint16_t* position) override;
    void SetFocusmotorPos(std::uint16_t position) override;
    std::int32_t QueryFlashMemory(std::uint32_t address) override;
    std::int32_t GetPifType() override;
    std::uint8_t GetPifInfoFlag() override;
    std::int32_t SetLaserEnable(bool on) override;
    void GetLaserEnable(bool* on) override;
    bool GetChecksumValid() override;
    std::int32_t CheckFlagSource() override;
    std::int32_t FirmwareRead(std::uint8_t* data, std::uint16_t length) override;
    std::int32_t FirmwareWrite(std::uint8_t* data, std::uint16_t length) override;
    void ControlJTAGPort(std::uint8_t* command, std::uint8_t* data, std::uint8_t noAnswer,
                         std::uint16_t bitCount, std::uint8_t mode) override;
    bool MCSFirmwareCheck(std::uint8_t* image, std::int32_t length) override;
    bool MCSFirmwareWrite(std::uint8_t* image, std::int32_t length) override;
    std::int32_t GetDeviceClass() override;
    bool GetPifChannelAddress(std::int32_t list, std::uint8_t index, std::uint8_t* device,
                              std::uint8_t* channel) override;
    std::int32_t SetTCPIPConfig(std::uint32_t address, std::uint32_t mask,
                                std::uint32_t gateway) override;
    std::int32_t GetTCPIPConfig(std::uint32_t* address, std::uint32_t* mask,
                                std::uint32_t* gateway) override;

  private:
    std::uint32_t serial_;
    std::uint16_t hwRevision_;
    std::uint16_t fwRevision_;
    bool tecEnable_ = false;
    float tempTec_ = 0.0f;
    std::uint16_t tecA_ = 0, tecB_ = 0, tecC_ = 0, tecD_ = 0;
    std::uint16_t skim_ = 0, skimAdjust_ = 0;
    std::uint16_t fid_ = 0, fidAdjust_ = 0;
    bool biasEnable_ = false;
};
