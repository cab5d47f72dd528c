// The control-device interface between the library and a camera's control channel. Kelvix picks
// the implementation (ImagerHID for a camera, PlaybackControlDevice for a recording); the chain
// calls it on the frame thread, Kelvix's setters on the application's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kelvix/export.h"

// Records and the interface type of the HID command set; only passed through here by pointer
// or value.
enum TPifType : std::int32_t;
struct tagAutonomousSettings;
struct tagAutonomousPifAOConfig;
struct tagAutonomousAreaConfig;

// The control channel of one camera: everything the library asks of the camera besides the
// video stream. The operations keep their order (implementations and callers rely on the
// layout); the data part holds calibration values the processing chain writes and the
// implementation reads.
//
// Threads: the imager owns it. The chain calls it on the frame path and from the imager's
// settings, under the imager lock; the imager's chip-heating and revision calls come from
// application threads without that lock. Implementations serialise their camera exchanges, not
// their cached values.
class KELVIX_DEBUG_API BaseControlDevice {
  public:
    BaseControlDevice() = default;
    BaseControlDevice(const BaseControlDevice&) = delete;
    BaseControlDevice& operator=(const BaseControlDevice&) = delete;

    virtual ~BaseControlDevice();

    // Connection and identity. Init (re)connects the camera with these ids: 0 once found (a
    // camera that could not be opened fails every command), 1 already connected (without
    // force), E_FAIL not found. InitPif detects the process interface.
    virtual std::int32_t Init(std::uint32_t vendorId, std::uint32_t productId, std::uint32_t serial,
                              bool force, bool* sameDevice) = 0;
    virtual std::int32_t Init(std::uint32_t vendorId, std::uint32_t productId, bool force) = 0;
    virtual std::int32_t InitPif() = 0;
    virtual std::int32_t SetPifType(TPifType type, std::uint8_t argument) = 0;
    virtual std::int32_t GetBuffer(std::uint8_t* dst, std::int32_t capacity) = 0;
    virtual std::uint32_t GetSerialNumber() = 0;
    virtual std::uint16_t GetFWRevision() = 0;
    virtual std::uint16_t GetHWRevision() = 0;

    // Process interface channels.
    virtual void GetPifAICount(std::uint16_t* count) = 0;
    virtual void GetPifDICount(std::uint16_t* count) = 0;
    virtual void GetPifAOCount(std::uint16_t* count) = 0;
    virtual void GetPifDOCount(std::uint16_t* count) = 0;
    virtual void GetPifExtraCount(std::uint16_t* count) = 0;
    virtual void GetPifIn(std::uint16_t* value, std::uint8_t chan) = 0;
    virtual void SetPifOut(std::uint16_t value, std::uint8_t chan) = 0;
    virtual void SetPifDigitalOut(std::uint8_t value, std::uint8_t chan) = 0;
    virtual void HoldPifOutputs(bool hold) = 0;
    virtual void FailSafe(bool on) = 0;

    // Chip heating and shutter flag.
    virtual std::int32_t SetTecEnable(bool on) = 0;
    virtual void GetTecEnable(bool* on) = 0;
    virtual void SetTempTec(float degC) = 0;
    virtual void GetTempTec(float* degC) = 0;
    virtual std::int32_t GetFlag(std::int32_t* state) = 0;
    virtual std::int32_t SetFlag(bool closed) = 0;
    virtual std::int32_t SetFlagCycle(std::uint16_t cycles) = 0;
    virtual void SetTec_A(std::uint16_t value) = 0;
    virtual void GetTec_A(std::uint16_t* value) = 0;
    virtual std::int32_t SetTec_B(std::uint16_t value) = 0;
    virtual void GetTec_B(std::uint16_t* value) = 0;
    virtual std::int32_t SetTec_C(std::uint16_t value) = 0;
    virtual void GetTec_C(std::uint16_t* value) = 0;
    virtual std::int32_t SetTec_D(std::uint16_t value) = 0;
    virtual void GetTec_D(std::uint16_t* value) = 0;

    // Detector trims, bias, power and video format.
    virtual void SetSkim(std::uint16_t value) = 0;
    virtual void SetSkim_Ext(std::uint16_t value) = 0;
    virtual void GetSkim(std::uint16_t* value) = 0;
    virtual void SetSkim_Adjust(std::uint16_t value) = 0;
    virtual void GetSkim_Adjust(std::uint16_t* value) = 0;
    virtual void SetFid(std::uint16_t value) = 0;
    virtual void SetFid_Ext(std::uint16_t value) = 0;
    virtual void GetFid(std::uint16_t* value) = 0;
    virtual void SetFid_Adjust(std::uint16_t value) = 0;
    virtual void GetFid_Adjust(std::uint16_t* value) = 0;
    virtual std::int32_t SetBiasEnable(bool on) = 0;
    virtual void GetBiasEnable(bool* on) = 0;
    virtual std::int32_t SetPowerEnable(bool on) = 0;
    virtual void GetPowerEnable(bool* on) = 0;
    virtual void GetAntiFlicker(bool* on) = 0;
    virtual std::int32_t SetAntiFlicker(bool on) = 0;
    virtual std::int32_t SetClippedFormatPosition(std::uint16_t x, std::uint16_t y) = 0;
    virtual void GetClippedFormatPosition(std::uint16_t* x, std::uint16_t* y) = 0;
    virtual bool GetShortImagerCaps() = 0;

    // Process interface modes and levels.
    virtual std::int32_t GetPIFInMode(std::uint8_t chan) = 0;
    virtual void SetPIFInMode(std::int32_t mode, std::uint8_t chan) = 0;
    virtual std::int32_t GetPIFInDigitalMode(std::uint8_t chan) = 0;
    virtual void SetPIFInDigitalMode(std::int32_t mode, std::uint8_t chan) = 0;
    virtual std::int32_t GetPIFOutMode(std::uint8_t chan) = 0;
    virtual void SetPIFOutMode(std::int32_t mode, std::uint8_t chan) = 0;
    virtual void SetPIFOutOutputMode(std::int32_t mode, std::uint8_t chan) = 0;
    virtual void SetPIFOutDigitalMode(std::int32_t mode, std::uint8_t chan) = 0;
    virtual std::uint16_t GetPIFInFlagThreshold() = 0;
    virtual std::int32_t SetPIFInFlagThreshold(std::uint16_t threshold) = 0;
    virtual bool GetPIFInFlagOpenIfLower() = 0;
    virtual std::int32_t SetPIFInFlagOpenIfLower(bool lower) = 0;
    virtual void SetPIFOutFlagOpen(std::uint16_t value, std::int16_t chan) = 0;
    virtual void GetPIFOutFlagOpen(std::uint16_t* value, std::int16_t chan) = 0;
    virtual void SetPIFOutFlagClosed(std::uint16_t value, std::int16_t chan) = 0;
    virtual void GetPIFOutFlagClosed(std::uint16_t* value, std::int16_t chan) = 0;
    virtual void SetPIFOutFlagMoving(std::uint16_t value, std::int16_t chan) = 0;
    virtual void GetPIFOutFlagMoving(std::uint16_t* value, std::int16_t chan) = 0;
    virtual void SetPIFOutFrameSync(std::uint16_t value, std::int16_t chan) = 0;
    virtual void GetPIFOutFrameSync(std::uint16_t* value, std::int16_t chan) = 0;
    virtual void SetPIFOutSamplePointTable(std::int32_t* points, std::int32_t count, double factor,
                                           double offset, bool percent, std::int16_t chan) = 0;

    // Autonomous mode; the queued configurations go out through ProcessDeferredCommands.
    virtual std::int32_t ConfigAutonomousSettings(tagAutonomousSettings* settings) = 0;
    virtual std::int32_t ConfigAutonomousPifAO_ForMeasureArea(tagAutonomousPifAOConfig* cfg) = 0;
    virtual std::int32_t ConfigAutonomousPifAO_ForAlarm(tagAutonomousPifAOConfig* cfg) = 0;
    virtual std::int32_t ConfigAutonomousPifAO_ForTInt(tagAutonomousPifAOConfig* cfg) = 0;
    virtual std::int32_t ConfigAutonomousMeasureArea(tagAutonomousAreaConfig* area) = 0;
    virtual std::int32_t ConfigAutonomousCalculatedArea(tagAutonomousAreaConfig* area) = 0;
    // Sends the queued configurations whose delay has passed; the chain calls it every frame.
    virtual std::int32_t ProcessDeferredCommands() = 0;

    virtual bool GetPIFInDigitalFlagLowActive() = 0;
    virtual std::int32_t SetPIFInDigitalFlagLowActive(bool lowActive) = 0;
    virtual std::uint16_t GetPIFInThreshold() = 0;
    virtual std::uint16_t SetPIFInThreshold(std::uint16_t threshold) = 0;
    virtual bool GetPIFInDigitalLowActive() = 0;
    virtual void SetPIFInDigitalLowActive(bool lowActive) = 0;

    // Temperatures (degrees Celsius, -100 when not read), corrected by the data part.
    virtual std::int32_t GetTempChip(float* degC) = 0;
    virtual std::int32_t GetTempBox(float* degC) = 0;
    virtual std::int32_t GetTempFlag(float* degC) = 0;
    virtual std::int32_t GetTempOptics(float* degC) = 0;

    // Focus motor, flash, interface identity, laser.
    virtual void GetFocusmotorRange(std::uint16_t* first, std::uint16_t* second) = 0;
    virtual std::int32_t GetFocusmotorPos(std::uint16_t* position) = 0;
    virtual void SetFocusmotorPos(std::uint16_t position) = 0;
    virtual std::int32_t QueryFlashMemory(std::uint32_t address) = 0;
    virtual std::int32_t GetPifType() = 0;
    virtual std::uint8_t GetPifInfoFlag() = 0;
    virtual std::int32_t SetLaserEnable(bool on) = 0;
    virtual void GetLaserEnable(bool* on) = 0;
    virtual bool GetChecksumValid() = 0;
    virtual std::int32_t CheckFlagSource() = 0;

    // Firmware transfers.
    virtual std::int32_t FirmwareRead(std::uint8_t* data, std::uint16_t length) = 0;
    virtual std::int32_t FirmwareWrite(std::uint8_t* data, std::uint16_t length) = 0;
    virtual void ControlJTAGPort(std::uint8_t* command, std::uint8_t* data, std::uint8_t noAnswer,
                                 std::uint16_t bitCount, std::uint8_t mode) = 0;
    virtual bool MCSFirmwareCheck(std::uint8_t* image, std::int32_t length) = 0;
    virtual bool MCSFirmwareWrite(std::uint8_t* image, std::int32_t length) = 0;

    // The camera family by hardware and firmware revision, which selects command variants.
    virtual std::int32_t GetDeviceClass() = 0;
    virtual bool GetPifChannelAddress(std::int32_t list, std::uint8_t index, std::uint8_t* device,
                                      std::uint8_t* channel) = 0;
    virtual std::int32_t SetTCPIPConfig(std::uint32_t address, std::uint32_t mask,
                                        std::uint32_t gateway) = 0;
    virtual std::int32_t GetTCPIPConfig(std::uint32_t* address, std::uint32_t* mask,
                                        std::uint32_t* gateway) = 0;

    // Data part. The per-channel arrays answer the neutral scaling (offset 0, gain 1) for a
    // channel outside the list and ignore writes to it.
    float getTecMaxTemperature() const { return tecMaxTemperature; }
    void setTecMaxTemperature(float v) { tecMaxTemperature = v; }
    float getTecMinTemperature() const { return tecMinTemperature; }
    void setTecMinTemperature(float v) { tecMinTemperature = v; }
    float getBoxOffset() const { return boxOffset; }
    void setBoxOffset(float v) { boxOffset = v; }
    float getChipGain() const { return chipGain; }
    void setChipGain(float v) { chipGain = v; }
    float getChipOffset() const { return chipOffset; }
    void setChipOffset(float v) { chipOffset = v; }
    float getFlagOffset() const { return flagOffset; }
    void setFlagOffset(float v) { flagOffset = v; }
    float getOpticsOffset() const { return opticsOffset; }
    void setOpticsOffset(float v) { opticsOffset = v; }
    float getTecOffset() const { return tecOffset; }
    void setTecOffset(float v) { tecOffset = v; }
    float getTecGain() const { return tecGain; }
    void setTecGain(float v) { tecGain = v; }

    float getPifInOffset(std::uint8_t chan) const { return entry(pifInOffset, chan, 0.0f); }
    void setPifInOffset(std::uint8_t chan, float v) { setEntry(pifInOffset, chan, v); }
    float getPifInGain(std::uint8_t chan) const { return entry(pifInGain, chan, 1.0f); }
    void setPifInGain(std::uint8_t chan, float v) { setEntry(pifInGain, chan, v); }
    float getPifOutOffset(std::uint8_t chan) const { return entry(pifOutOffset, chan, 0.0f); }
    void setPifOutOffset(std::uint8_t chan, float v) { setEntry(pifOutOffset, chan, v); }
    float getPifOutGain(std::uint8_t chan) const { return entry(pifOutGain, chan, 1.0f); }
    void setPifOutGain(std::uint8_t chan, float v) { setEntry(pifOutGain, chan, v); }

    std::int32_t getFlagSource() const { return flagSource; }
    void setFlagSource(std::int32_t v) { flagSource = v; }
    std::uint16_t getFocusRangeSecond() const { return focusRangeSecond; }
    void setFocusRangeSecond(std::uint16_t v) { focusRangeSecond = v; }
    std::uint16_t getFocusRangeFirst() const { return focusRangeFirst; }
    void setFocusRangeFirst(std::uint16_t v) { focusRangeFirst = v; }

  protected:
    // Sizes the scaling arrays to the interface's channel counts, every entry neutral.
    void resetPifScaling(std::size_t analogInputs, std::size_t analogOutputs);

    float tecMaxTemperature = 55.0f;  // degC, upper bound of the chip reference
    float tecMinTemperature = 0.0f;   // degC, lower bound
    float boxOffset = 0.0f;           // K
    float chipGain = 1.0f;
    float chipOffset = 0.0f;    // K
    float flagOffset = 0.0f;    // K
    float opticsOffset = 0.0f;  // K
    float tecOffset = 294.5f;
    float tecGain = 13.055f;
    std::vector<float> pifInOffset;  // one per analog input
    std::vector<float> pifInGain;
    std::vector<float> pifOutOffset;  // one per analog output
    std::vector<float> pifOutGain;
    std::int32_t flagSource = 0;
    std::uint16_t focusRangeSecond = 0;
    std::uint16_t focusRangeFirst = 0;

  private:
    static float entry(const std::vector<float>& a, std::uint8_t chan, float neutral) {
        return chan < a.size() ? a[chan] : neutral;
    }
    static void setEntry(std::vector<float>& a, std::uint8_t chan, float v) {
        if (chan < a.size()) {
            a[chan] = v;
        }
    }
};
