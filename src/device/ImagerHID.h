// ImagerHID, the control device for a camera on USB HID: Kelvix creates it for a live camera,
// and the chain and Kelvix's setters drive it. It holds the HIDDevice command set.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "device/BaseControlDevice.h"
#include "kelvix/HIDDevice.h"
#include "kelvix/export.h"

// The control channel of a camera on USB HID. Caches every value it sets, so the paired
// getters answer without a camera round trip, and holds autonomous-mode configurations back
// until a burst of changes has settled. Threads as for BaseControlDevice: the queue of held-back
// configurations has its own lock, the cached values have none.
class ImagerHID : public BaseControlDevice {
  public:
    ImagerHID();
    ~ImagerHID() override;

    std::int32_t Init(std::uint32_t vendorId, std::uint32_t productId, std::uint32_t serial,
                      bool force, bool* sameDevice) override;
    std::int32_t Init(std::uint32_t vendorId, std::uint32_t productId, bool force) override;
    std::int32_t InitPif() override;
    std::int32_t SetPifType(TPifType type, std::uint8_t argument) override;
    std::int32_t GetBuffer(std::uint8_t* dst, std::int32_t capacity) override;
    std::uint32_t GetSerialNumber() override;
    std::uint16_t GetFWRevision() override;
    std::uint16_t GetHWRevision() override;

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

    std::int32_t SetTecEnable(bool on) override;
    void GetTecEnable(bool* on) override;
    void SetTempTec(float degC) override;
    void GetTempTec(float* degC) override;
    std::int32_t GetFlag(std::int32_t* state) override;
    std::int32_t SetFlag(bool closed) override;
    std::int32_t SetFlagCycle(std::uint16_t cycles) override;
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

    std::int32_t GetTempChip(float* degC) override;
    std::int32_t GetTempBox(float* degC) override;
    std::int32_t GetTempFlag(float* degC) override;
    std::int32_t GetTempOptics(float* degC) override;

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

    // Delays of the queued configuration jobs, milliseconds.
    static constexpr std::uint32_t kConfigDelayMs = 2000;

#ifdef KELVIX_DEBUG_BUILD
    // Powers an open camera down and forgets it as a new connection does: 0; 1 when not open.
    KELVIX_DEBUG_API std::int32_t close();
    KELVIX_DEBUG_API static std::uint16_t getHWRevision(std::uint16_t vendorId,
                                                        std::uint16_t productId,
                                                        std::uint32_t serial);
    KELVIX_DEBUG_API static bool isDeviceUsed(std::uint16_t vendorId, std::uint16_t productId,
                                              std::uint32_t serial);
    // 0 whatever the HID layer answers.
    KELVIX_DEBUG_API std::int32_t setLogging(std::int32_t level, const wchar_t* path);
    bool isOpen() const {
        return open;
    }
#endif

  private:
    // A configuration held back until its deadline; a newer one with the same (type, index)
    // replaces it.
    struct DeferredJob {
        enum Type : std::uint16_t {
            MeasureArea = 1,
            CalculatedArea = 2,
            FocusPosition = 3,
            AutonomousSettings = 4
        };
        std::uint16_t type = 0;
        std::uint16_t index = 0;
        std::vector<std::uint8_t> buffer;
        std::uint32_t deadline = 0;  // millisecond tick
    };

    // Camera state kept by the setters.
    struct CameraState {
        std::uint16_t fid = 0;
        std::uint16_t skim = 0;
        std::uint16_t fidAdjust = 0;
        std::uint16_t skimAdjust = 0;
        std::uint16_t tecA = 0;
        std::uint16_t tecB = 0;
        std::uint16_t tecC = 0;
        std::uint16_t tecD = 0;
    };

    void reset();
    void powerDown();
    bool lookUp();
    void sizePifArrays();
    void queryPifDeviceInfo();
    bool isDeviceClass8() {
        return GetDeviceClass() == 8;
    }
    bool isExtendedFirmware() const {
        return fwRevision >= 3000 && fwRevision <= 3199;
    }
    std::int32_t pifType() const;
    std::size_t listCount(int list) const;
    bool channelAddress(int list, std::uint8_t index, std::uint8_t* device,
                        std::uint8_t* channel) const;
    std::uint16_t scaleOut(std::uint8_t chan, float value) const;
    void sendAnalogOut(std::uint8_t chan);
    void sendDigitalOut(std::uint8_t chan);
    bool acceptsLevelChannel(std::int16_t chan) const;
    void setLevel(std::uint16_t& level, std::uint16_t value, std::int16_t chan,
                  std::int32_t (HIDDevice::*send)(std::uint16_t*));
    void getLevel(std::uint16_t level, std::uint16_t* value, std::int16_t chan) const;
    float limitTec(float t) const;
    void queueJob(std::uint16_t type, std::uint16_t index, std::uint32_t delayMs,
                  const std::uint8_t* head, std::size_t headLength,
                  const std::vector<std::pair<const void*, std::size_t>>& tails);
    static void sendJob(HIDDevice& hid, DeferredJob& job);

    HIDDevice hid;

    // Cached settings.
    bool tecEnable = false;
    bool flagClosed = false;
    bool laserEnable = false;
    bool powerEnable = false;
    bool antiFlicker = false;
    std::uint16_t clipX = 0xFFFF;
    std::uint16_t clipY = 0xFFFF;

    // Per-channel values, sized by InitPif.
    std::vector<std::uint16_t> diValues;
    std::vector<std::uint16_t> aiValues;
    std::vector<std::uint16_t> aoValues;  // last DAC value per analog output
    std::vector<std::uint8_t> doStates;
    std::vector<std::uint16_t> extraValues;

    bool outputsHeld = false;
    bool biasEnable = false;
    bool open = false;

    // Identity.
    std::uint32_t vendorId = 0;
    std::uint32_t productId = 0;
    std::uint32_t serialNumber = 0;
    std::wstring manufacturer;  // empty when unknown
    std::wstring product;
    std::uint32_t releaseNumber = 0;
    std::uint32_t matchCounter = 0;
    std::uint32_t lastFlagArgument = 0;

    float tempTec = 25.0f;  // chip reference temperature, degC

    // Read on first use from whichever thread asks (an application's query, the frame path).
    std::atomic<std::uint16_t> fwRevision{0};  // 0: not read yet
    std::atomic<std::uint16_t> hwRevision{0};

    DEVICE_DESCRIPTION description{};
    CameraState state;

    // Process interface modes.
    std::vector<std::uint32_t> aiModes;
    std::vector<std::uint32_t> diModes;
    std::vector<std::uint32_t> aoModes;
    std::vector<std::uint32_t> doModes;
    std::vector<std::uint32_t> aoOutputModes;

    std::uint16_t aiFlagThreshold = 0;
    std::uint8_t aiFlagOpenIfLower = 0;
    std::uint16_t pifInThreshold = 0;
    std::uint16_t levelFlagOpen = 0;  // DAC units
    std::uint16_t levelFlagClosed = 0;
    std::uint16_t levelFlagMoving = 0;
    std::uint16_t levelFrameSync = 0;
    std::uint8_t diFlagLowActive = 0;
    std::uint8_t diLowActive = 1;

    std::unique_ptr<PifDeviceInfo> pifInfo;  // null before InitPif
    bool checksumValid = false;

    std::vector<std::uint32_t> lastSampleTable;  // (key, DAC) per point

    // Written by the application's thread, drained by the frame thread, which skips the
    // queue while a job is being queued.
    std::mutex jobMutex;
    std::list<DeferredJob> jobs;
};
