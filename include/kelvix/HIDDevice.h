// The camera's HID command set (HIDDevice) and the records its commands fill: process interface,
// PIF EEPROM, autonomous-mode settings. The imager's control device (ImagerHID) drives it.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "kelvix/HIDComm.h"
#include "kelvix/export.h"

// Type of the process interface (PIF) attached to the camera.
enum TPifType : std::int32_t {
    PifTypeNone = 0,
    PifTypeBasic = 1,
    PifTypeStandard = 2,
    PifTypeExtended = 4,  // addressed per device and channel
};

struct DEVICE_SETUP;

// One scaling entry of the PIF EEPROM.
struct PIF_EEPROM_ENTRY {
    std::uint16_t gain = 0;
    std::int16_t offset = 0;
    std::uint8_t shift = 0;
};

typedef struct _PIF_EEPROM {
    std::uint8_t format = 0;  // 0x11 or 0x22
    std::uint8_t version = 0;
    std::uint32_t identifier = 0;
    std::uint8_t aiCount = 0;
    PIF_EEPROM_ENTRY ai[2];
    std::uint8_t aoCount = 0;
    PIF_EEPROM_ENTRY ao[3];
    std::uint8_t checksum = 0;
} PIF_EEPROM;

// Channels of the process interface. A channel id is device * 256 + index within the device.
struct KELVIX_API PifDeviceInfo {
    enum List { AnalogIn = 0, DigitalIn = 1, AnalogOut = 2, DigitalOut = 3, Extra = 4 };

    std::vector<std::uint16_t> lists[5];  // channel ids per list
    std::int32_t type = 0;                // TPifType
    std::uint8_t deviceCount = 0;
    std::uint8_t infoFlag = 0;
    std::uint8_t counts[5] = {};  // entries per list, equal to the list sizes
    std::uint8_t lastByte = 0;    // byte 3 of the device-information answer

    // Appends channels 0..n-1 of `device` to `list`; the count saturates at 255.
    void appendChannels(List list, std::uint8_t device, std::uint8_t n);
    // The record of an interface described by its EEPROM: one device, `aiCount` analog
    // inputs, one digital input, `aoCount` analog outputs, one extra entry.
    static PifDeviceInfo describedByEeprom(std::int32_t type, std::uint8_t aiCount,
                                           std::uint8_t aoCount);
};

struct tagAutonomousSettingsGroup {
    std::uint8_t selector = 0;
    double first = 0.0;
    double second = 0.0;
    double third = 0.0;
};

struct tagAutonomousSettings {
    tagAutonomousSettingsGroup group[4];
    std::uint8_t extra[4] = {};  // extra 1-4
    double temperature = 0.0;
    std::uint8_t tail[9] = {};  // tail 1-9 (tail 2 is not sent)
};

struct tagAutonomousPifAOConfig {
    std::uint8_t aoIndex = 0;
    std::uint8_t device = 0;
    std::uint8_t channel = 0;
    std::uint16_t value = 0;
    std::int32_t functionType = 0;  // 9 measure area, 10 alarm, 11 internal temperature
    std::uint8_t selector = 0;
    double first = 0.0;
    double second = 0.0;
    std::int16_t lowerLevel = 0;
    std::int16_t upperLevel = 0;
};

struct tagAutonomousAreaConfig {
    std::uint8_t areaIndex = 0;
    std::uint8_t option = 0;
    std::uint16_t words[5] = {};
    std::uint8_t setting1 = 0;
    std::uint8_t setting2 = 0;
    std::uint8_t setting3 = 0;
    std::uint8_t setting4 = 0;
    std::uint32_t pixelCount = 0;
    std::uint8_t* pixelMask = nullptr;  // one byte per pixel, non-zero = in the area
    std::uint8_t calculationOption = 0;
    std::int16_t entryCount = 0;
    std::int16_t valueCount = 0;
    std::int16_t flagCount = 0;
    std::uint16_t* entries = nullptr;
    float* values = nullptr;
    std::uint8_t* flags = nullptr;
};

// The camera's HID command set on top of the transport. Commands return 0 or -1; queries
// write a sentinel into their out-parameters on failure (flag state 2, temperatures -100).
// Threads as for HIDComm: each single-report command or query is one serialised exchange and may
// come from any thread. The transfers of several reports (flash, firmware, PIF device
// information, sample-point table, autonomous areas) are not atomic: send no other commands
// while one runs.
class KELVIX_API HIDDevice : public HIDComm {
  public:
    HIDDevice() = default;

    // Transport, under the command set's names (see HIDComm). Serial 0 takes the first camera in
    // the HID enumeration, which need not be the camera that IRDeviceDS::createInstance takes for
    // serial 0 (the one with the lowest video node): with the two classes, open the video device
    // first and pass its serial here, as the library itself does.
    std::int32_t GetHIDDeviceInfo(DEVICE_DESCRIPTION* desc) { return get_device_info(desc); }
    static bool IsDeviceUsed(std::uint16_t vendorId, std::uint16_t productId,
                             std::uint32_t serial) {
        return is_device_used(vendorId, productId, serial);
    }
    static std::uint16_t GetHWRev(std::uint16_t vendorId, std::uint16_t productId,
                                  std::uint32_t serial) {
        return get_hw_revision(vendorId, productId, serial);
    }
    bool OpenHIDDevice(DEVICE_DESCRIPTION* desc) { return open_device(desc); }
    std::uint32_t CloseHIDDevice() { return close_device(); }
    std::int32_t GetDeviceSetup(DEVICE_SETUP* setup);                  // -1
    std::int32_t SetLogging(std::int32_t level, const wchar_t* path);  // -1

    // Detector, chip heating, flag, power: one report each, 0 or -1.
    std::int32_t SetTec(std::uint32_t v);
    std::int32_t SetTec_A(std::uint32_t v);
    std::int32_t SetTec_B(std::uint32_t v);
    std::int32_t SetTec_C(std::uint32_t v);
    std::int32_t SetTec_D(std::uint32_t v);
    std::int32_t SetSkimFlex(std::uint32_t v, bool extended);
    std::int32_t SetFidFlex(std::uint32_t v, bool extended);
    std::int32_t EnableBias(bool on);
    std::int32_t SetFlag(bool closed);
    std::int32_t SteuerFlagCycle(std::uint16_t* cycles);
    std::int32_t SetPwrCtl(bool on);
    std::int32_t SetLaserCtl(bool on);
    std::int32_t SetTecCtl(bool on);
    std::int32_t SetFocusmotorPos(std::uint16_t position);
    std::int32_t QueryFlashMemory(std::uint32_t address);
    std::uint32_t SetAntiFlicker(bool on);  // 0, or 0xFFFFFFFF on failure
    std::int32_t SetClippedFormatPosition(std::uint16_t x, std::uint16_t y);
    std::int32_t SetTCPIPConfig(std::uint32_t address, std::uint32_t mask, std::uint32_t gateway);

    // Process interface: channel values, modes and flag signalling, one report each, 0 or -1.
    std::int32_t SetPif(std::uint16_t* value, std::uint8_t channel);
    std::int32_t SetPifAO(std::uint16_t value, std::uint8_t device, std::uint8_t channel);
    std::int32_t SetPifDO(bool on, std::uint8_t device, std::uint8_t channel);
    std::int32_t FailSafe(bool on);
    std::int32_t SetPifAIMode(std::uint8_t mode, std::uint8_t channel);
    std::int32_t SetPifAOMode(std::uint8_t mode, std::uint8_t channel);
    std::int32_t SetPifDIMode(std::uint8_t mode);
    std::int32_t SetPifAIModeEx(std::uint8_t mode, std::uint8_t device, std::uint8_t channel);
    std::int32_t SetPifAOModeEx(std::uint8_t mode, std::uint8_t device, std::uint8_t channel);
    std::int32_t SetPifAOOutputModeEx(std::uint8_t mode, std::uint8_t device, std::uint8_t channel);
    std::int32_t SetPifDOModeEx(std::uint8_t mode, std::uint8_t device, std::uint8_t channel);
    std::int32_t SetPifDIModeEx(std::uint8_t mode, std::uint8_t device, std::uint8_t channel);
    std::int32_t SetPifAOFlagOpen(std::uint16_t* level);
    std::int32_t SetPifAOFlagClosed(std::uint16_t* level);
    std::int32_t SetPifAOFlagMoving(std::uint16_t* level);
    std::int32_t SetPifAOFrameSync(std::uint16_t* level);
    std::int32_t SetPifAIFlagThreshold(std::uint16_t threshold);
    std::int32_t SetPifAIFlagOpenIfLower(bool lower);
    std::int32_t SetPifDIFlagLowActive(bool lowActive);
    std::int32_t SetPifType(TPifType type, std::uint8_t argument);

    // Queries: one report and its answer each.
    std::int32_t GetFlag(std::uint8_t* state);
    std::int32_t GetTchip(float* degC);
    std::int32_t GetTFlag(float* degC);
    std::int32_t GetTBox(float* degC);
    std::int32_t GetTOptics(float* degC);
    std::int32_t GetTproc(float* degC);  // not supported: 0.0 and -1
    std::int32_t GetFocusmotorRange(std::uint16_t* first, std::uint16_t* second);
    std::int32_t GetFocusmotorPos(std::uint16_t* position);
    std::int32_t GetPifAI(std::uint16_t* value, std::uint8_t channel);
    std::int32_t GetFwCypVers(std::uint16_t* revision);
    // Copies the status answer, at most `capacity` bytes; *count = bytes copied.
    std::int32_t GetHIDBuf(std::uint8_t* dst, std::int32_t capacity, std::uint32_t* count);
    // Whether the status answer (the one GetHIDBuf copies) marks the VxHZ variant.
    bool GetVxHZVersion();
    std::int32_t GetTCPIPConfig(std::uint32_t* address, std::uint32_t* mask,
                                std::uint32_t* gateway);
    bool GetTempSensorsHighResolution() const { return hardwareRevision_ >= 20; }
    std::int32_t GetHardwareRev(std::uint16_t* revision);

    // Serial flash (programmed from an MCS text image) and firmware blocks: several reports each.
    bool SimpleCommand(std::uint8_t opcode);
    bool WaitForNotBusy();
    bool MCSFirmwareWrite(std::uint8_t* text, std::int32_t length);
    bool MCSFirmwareCheck(std::uint8_t* text, std::int32_t length);
    std::int32_t FirmwareRead(std::uint8_t* data, std::uint16_t length);
    std::int32_t FirmwareWrite(std::uint8_t* data, std::uint16_t length);
    std::int32_t ControlJTAGPort(std::uint8_t* command, std::uint8_t* data, std::uint8_t noAnswer,
                                 std::uint16_t bitCount, std::uint8_t mode);

    // Process-interface EEPROM and device information.
    // 0 valid, 1 checksum wrong (header filled, counts 0), -1 no answer or unknown format.
    std::int32_t GetPifEEPROM(PIF_EEPROM* eeprom);
    std::int32_t GetPifEEPROM_Ex(PIF_EEPROM* eeprom, std::int32_t tries, std::int32_t sleepMs);
    // Replaces *info (deleted with delete) with a new record on success; on failure *info is
    // left as it was.
    std::int32_t GetPifDeviceInfo(PifDeviceInfo** info);
    // `points` holds `count` (key, level) pairs; at most 255 points.
    std::int32_t SetPifAOSamplePointTable(std::int16_t* points, std::int32_t count);

    // Autonomous mode: the settings the camera uses without a host, 0 or -1.
    std::int32_t ConfigAutonomousSettings(tagAutonomousSettings* settings);
    std::int32_t ConfigAutonomousPifAO_ForMeasureArea(tagAutonomousPifAOConfig* config);
    std::int32_t ConfigAutonomousPifAO_ForAlarm(tagAutonomousPifAOConfig* config);
    std::int32_t ConfigAutonomousPifAO_ForTInt(tagAutonomousPifAOConfig* config);
    std::int32_t ConfigAutonomousMeasureArea(tagAutonomousAreaConfig* area);
    std::int32_t ConfigAutonomousCalculatedArea(tagAutonomousAreaConfig* area);

    // Longest the flash may stay busy before WaitForNotBusy gives up.
    static constexpr std::uint32_t kFlashBusyLimitMs = 10000;
    static constexpr std::uint32_t kFlashSize = 0x80000;

  protected:
    // Fills `image` (kFlashSize bytes) from an MCS text; returns one past the highest byte
    // stored.
    static std::int32_t MCSFirmwarePrepare(const std::uint8_t* text, std::int32_t length,
                                           std::uint8_t* image);

  private:
    std::int32_t send(std::initializer_list<std::uint8_t> payload);
    std::int32_t query(std::initializer_list<std::uint8_t> payload, std::uint8_t* answer);
};
