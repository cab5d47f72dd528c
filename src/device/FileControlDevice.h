// Debug build only: a camera-less control device with which an application of libkelvixd feeds
// the processing chain from elsewhere (installed under include/kelvix/debug).
#pragma once

#ifdef KELVIX_DEBUG_BUILD

#include <cstdint>

#include "device/BaseControlDevice.h"

// A control device without camera hardware, for feeding the processing chain from elsewhere:
// it reports the identity given at construction, keeps the detector trims and TEC values the
// chain writes so they can be read back, and answers the other operations it takes on with a
// warning in the log. Connection, the process interface, autonomous mode, focus motor, flash
// and network settings stay with a subclass. No hardware, no files. Not guarded: used like the
// imager's control device, from the frame path and the imager's settings.
class KELVIX_DEBUG_API FileControlDevice : public BaseControlDevice {
  public:
    // The identity the device reports.
    FileControlDevice(std::uint16_t hardwareRevision, std::uint16_t firmwareRevision,
                      std::uint32_t serialNumber);
    ~FileControlDevice() override;

    // Names shared with the interface keep the interface's overloads visible.
    using BaseControlDevice::GetPifIn;
    using BaseControlDevice::GetPIFInDigitalFlagLowActive;
    using BaseControlDevice::GetPIFInDigitalLowActive;
    using BaseControlDevice::GetPIFInDigitalMode;
    using BaseControlDevice::GetPIFInFlagOpenIfLower;
    using BaseControlDevice::GetPIFInFlagThreshold;
    using BaseControlDevice::GetPIFInMode;
    using BaseControlDevice::GetPIFInThreshold;
    using BaseControlDevice::GetPIFOutFlagClosed;
    using BaseControlDevice::GetPIFOutFlagMoving;
    using BaseControlDevice::GetPIFOutFlagOpen;
    using BaseControlDevice::GetPIFOutFrameSync;
    using BaseControlDevice::GetPIFOutMode;
    using BaseControlDevice::Init;
    using BaseControlDevice::SetPIFInDigitalFlagLowActive;
    using BaseControlDevice::SetPIFInDigitalLowActive;
    using BaseControlDevice::SetPIFInDigitalMode;
    using BaseControlDevice::SetPIFInFlagOpenIfLower;
    using BaseControlDevice::SetPIFInFlagThreshold;
    using BaseControlDevice::SetPIFInMode;
    using BaseControlDevice::SetPIFInThreshold;
    using BaseControlDevice::SetPifOut;
    using BaseControlDevice::SetPIFOutFlagClosed;
    using BaseControlDevice::SetPIFOutFlagMoving;
    using BaseControlDevice::SetPIFOutFlagOpen;
    using BaseControlDevice::SetPIFOutFrameSync;
    using BaseControlDevice::SetPIFOutMode;
    using BaseControlDevice::SetPIFOutSamplePointTable;

    // Identity, detector trims and TEC values.
    std::uint32_t GetSerialNumber() override;
    std::uint16_t GetFWRevision() override;
    std::uint16_t GetHWRevision() override;
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
    void SetFid(std::uint16_t value) override;
    void SetFid_Ext(std::uint16_t value) override;
    void GetFid(std::uint16_t* value) override;

    // Operations a device without hardware cannot carry out: each logs a warning and leaves
    // its out-arguments alone. Those with a status answer -1 (nothing was done), except where
    // callers expect the neutral answer noted.
    std::int32_t InitPif() override;                                            // 0
    std::int32_t GetBuffer(std::uint8_t* dst, std::int32_t capacity) override;  // 0 bytes
    void FailSafe(bool on) override;
    std::int32_t SetTecEnable(bool on) override;
    void GetTecEnable(bool* on) override;
    void SetTempTec(float degC) override;
    void GetTempTec(float* degC) override;
    std::int32_t GetFlag(std::int32_t* state) override;
    std::int32_t SetFlag(bool closed) override;
    std::int32_t SetFlagCycle(std::uint16_t cycles) override;
    void SetSkim_Adjust(std::uint16_t value) override;
    void GetSkim_Adjust(std::uint16_t* value) override;
    void SetFid_Adjust(std::uint16_t value) override;
    void GetFid_Adjust(std::uint16_t* value) override;
    std::int32_t SetBiasEnable(bool on) override;
    void GetBiasEnable(bool* on) override;
    std::int32_t SetPowerEnable(bool on) override;
    void GetPowerEnable(bool* on) override;
    void GetAntiFlicker(bool* on) override;
    std::int32_t SetAntiFlicker(bool on) override;
    std::int32_t SetClippedFormatPosition(std::uint16_t x, std::uint16_t y) override;
    void GetClippedFormatPosition(std::uint16_t* x, std::uint16_t* y) override;
    bool GetShortImagerCaps() override;  // false
    std::int32_t GetTempChip(float* degC) override;
    std::int32_t GetTempBox(float* degC) override;
    std::int32_t GetTempFlag(float* degC) override;
    std::int32_t SetLaserEnable(bool on) override;
    void GetLaserEnable(bool* on) override;
    bool GetChecksumValid() override;  // false
    std::int32_t CheckFlagSource() override;
    std::int32_t FirmwareRead(std::uint8_t* data, std::uint16_t length) override;
    std::int32_t FirmwareWrite(std::uint8_t* data, std::uint16_t length) override;
    void ControlJTAGPort(std::uint8_t* command, std::uint8_t* data, std::uint8_t noAnswer,
                         std::uint16_t bitCount, std::uint8_t mode) override;
    bool MCSFirmwareCheck(std::uint8_t* image, std::int32_t length) override;  // false
    bool MCSFirmwareWrite(std::uint8_t* image, std::int32_t length) override;  // false

    // Connection and process-interface calls outside the interface; they only log. Their parameter
    // lists (channels as 32-bit values, const getters) keep them apart from the interface's
    // operations of the same names.
    std::int32_t Init(std::uint32_t first, std::uint32_t second);                        // 0
    std::int32_t Init(std::uint32_t first, std::uint32_t second, std::uint32_t third);   // 0
    bool SendCommand(std::uint32_t command, std::uint32_t first, std::uint32_t second);  // true
    std::int32_t GetPIFInMode(std::int32_t chan);                                        // 0
    std::int32_t GetPIFInDigitalMode();                                                  // 0
    std::int32_t GetPIFOutMode(std::int32_t chan);                                       // 0
    std::uint16_t GetPIFInThreshold() const;                                             // 0
    std::uint16_t GetPIFInFlagThreshold() const;                                         // 0
    bool GetPIFInOpenIfLower() const;                                                    // false
    bool GetPIFInFlagOpenIfLower() const;                                                // false
    bool GetPIFInDigitalLowActive() const;                                               // false
    bool GetPIFInDigitalFlagLowActive() const;                                           // false
    void GetPifIn(std::uint16_t* value, std::int32_t chan);
    void GetPIFOutFlagOpen(std::uint16_t* value, std::int32_t chan);
    void GetPIFOutFlagClosed(std::uint16_t* value, std::int32_t chan);
    void GetPIFOutFlagMoving(std::uint16_t* value, std::int32_t chan);
    void GetPIFOutFrameSync(std::uint16_t* value, std::int32_t chan);
    void SetPifOut(std::uint16_t value, std::int32_t chan);
    void SetPIFInMode(std::int32_t mode, std::int32_t chan);
    void SetPIFOutMode(std::int32_t mode, std::int32_t chan);
    void SetPIFOutFlagOpen(std::uint16_t value, std::int32_t chan);
    void SetPIFOutFlagClosed(std::uint16_t value, std::int32_t chan);
    void SetPIFOutFlagMoving(std::uint16_t value, std::int32_t chan);
    void SetPIFOutFrameSync(std::uint16_t value, std::int32_t chan);
    void SetPIFOutSamplePointTable(std::int32_t* points, std::int32_t count, double factor,
                                   double offset, bool percent, std::int32_t chan);
    void SetPIFInDigitalMode(std::int32_t mode);
    void SetPIFInThreshold(std::int32_t threshold);
    void SetPIFInFlagThreshold(std::int32_t threshold);
    void SetPIFInOpenIfLower(std::int32_t lower);
    void SetPIFInFlagOpenIfLower(std::int32_t lower);
    void SetPIFInDigitalLowActive(std::int32_t lowActive);
    void SetPIFInDigitalFlagLowActive(std::int32_t lowActive);

  private:
    std::uint16_t skim = 0;
    std::uint16_t fid = 0;
    std::uint16_t tecA = 0;
    std::uint16_t tecB = 0;
    std::uint16_t tecC = 0;
    std::uint16_t tecD = 0;
    std::uint16_t hardwareRevision;
    std::uint16_t firmwareRevision;
    std::uint32_t serialNumber;
};

#endif  // KELVIX_DEBUG_BUILD
