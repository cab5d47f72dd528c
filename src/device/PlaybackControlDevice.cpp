#include "device/PlaybackControlDevice.h"

namespace {

constexpr float kNoTemperature = -100.0f;

template <typename T>
void put(T* out, T value) {
    if (out != nullptr) {
        *out = value;
    }
}

std::int32_t noTemperature(float* degC) {
    put(degC, kNoTemperature);
    return -1;
}

}  // namespace

PlaybackControlDevice::PlaybackControlDevice(std::uint32_t serial, std::uint16_t hwRevision,
                                             std::uint16_t fwRevision)
    : serial_(serial), hwRevision_(hwRevision), fwRevision_(fwRevision) {}

PlaybackControlDevice::~PlaybackControlDevice() = default;

std::int32_t PlaybackControlDevice::Init(std::uint32_t, std::uint32_t, std::uint32_t, bool,
                                         bool* sameDevice) {
    put(sameDevice, false);
    return 0;
}

std::int32_t PlaybackControlDevice::Init(std::uint32_t, std::uint32_t, bool) {
    return 0;
}

std::int32_t PlaybackControlDevice::InitPif() {
    return 0;
}

std::uint32_t PlaybackControlDevice::GetSerialNumber() {
    return serial_;
}

std::uint16_t PlaybackControlDevice::GetFWRevision() {
    return fwRevision_;
}

std::uint16_t PlaybackControlDevice::GetHWRevision() {
    return hwRevision_;
}

std::int32_t PlaybackControlDevice::SetTecEnable(bool on) {
    tecEnable_ = on;
    return 0;
}

void PlaybackControlDevice::GetTecEnable(bool* on) {
    put(on, tecEnable_);
}

void PlaybackControlDevice::SetTempTec(float degC) {
    tempTec_ = degC;
}

void PlaybackControlDevice::GetTempTec(float* degC) {
    put(degC, tempTec_);
}

void PlaybackControlDevice::SetTec_A(std::uint16_t value) {
    tecA_ = value;
}

void PlaybackControlDevice::GetTec_A(std::uint16_t* value) {
    put(value, tecA_);
}

std::int32_t PlaybackControlDevice::SetTec_B(std::uint16_t value) {
    tecB_ = value;
    return 0;
}

void PlaybackControlDevice::GetTec_B(std::uint16_t* value) {
    put(value, tecB_);
}

std::int32_t PlaybackControlDevice::SetTec_C(std::uint16_t value) {
    tecC_ = value;
    return 0;
}

void PlaybackControlDevice::GetTec_C(std::uint16_t* value) {
    put(value, tecC_);
}

std::int32_t PlaybackControlDevice::SetTec_D(std::uint16_t value) {
    tecD_ = value;
    return 0;
}

void PlaybackControlDevice::GetTec_D(std::uint16_t* value) {
    put(value, tecD_);
}

void PlaybackControlDevice::SetSkim(std::uint16_t value) {
    skim_ = value;
}

void PlaybackControlDevice::SetSkim_Ext(std::uint16_t value) {
    skim_ = value;
}

void PlaybackControlDevice::GetSkim(std::uint16_t* value) {
    put(value, skim_);
}

void PlaybackControlDevice::SetSkim_Adjust(std::uint16_t value) {
    skimAdjust_ = value;
}

void PlaybackControlDevice::GetSkim_Adjust(std::uint16_t* value) {
    put(value, skimAdjust_);
}

void PlaybackControlDevice::SetFid(std::uint16_t value) {
    fid_ = value;
}

void PlaybackControlDevice::SetFid_Ext(std::uint16_t value) {
    fid_ = value;
}

void PlaybackControlDevice::GetFid(std::uint16_t* value) {
    put(value, fid_);
}

void PlaybackControlDevice::SetFid_Adjust(std::uint16_t value) {
    fidAdjust_ = value;
}

void PlaybackControlDevice::GetFid_Adjust(std::uint16_t* value) {
    put(value, fidAdjust_);
}

std::int32_t PlaybackControlDevice::SetBiasEnable(bool on) {
    biasEnable_ = on;
    return 0;
}

void PlaybackControlDevice::GetBiasEnable(bool* on) {
    put(on, biasEnable_);
}

std::int32_t PlaybackControlDevice::GetTempChip(float* degC) {
    return noTemperature(degC);
}

std::int32_t PlaybackControlDevice::GetTempBox(float* degC) {
    return noTemperature(degC);
}

std::int32_t PlaybackControlDevice::GetTempFlag(float* degC) {
    return noTemperature(degC);
}

std::int32_t PlaybackControlDevice::GetTempOptics(float* degC) {
    return noTemperature(degC);
}

std::int32_t PlaybackControlDevice::GetFlag(std::int32_t* state) {
    put(state, std::int32_t{2});
    return -1;
}

std::int32_t PlaybackControlDevice::SetPifType(TPifType type, std::uint8_t argument) {
    return {};
}

std::int32_t PlaybackControlDevice::GetBuffer(std::uint8_t* dst, std::int32_t capacity) {
    return {};
}

void PlaybackControlDevice::GetPifAICount(std::uint16_t* count) {
    if (count != nullptr) {
        *count = {};
    }
}

void PlaybackControlDevice::GetPifDICount(std::uint16_t* count) {
    if (count != nullptr) {
        *count = {};
    }
}

void PlaybackControlDevice::GetPifAOCount(std::uint16_t* count) {
    if (count != nullptr) {
        *count = {};
    }
}

void PlaybackControlDevice::GetPifDOCount(std::uint16_t* count) {
    if (count != nullptr) {
        *count = {};
    }
}

void PlaybackControlDevice::GetPifExtraCount(std::uint16_t* count) {
    if (count != nullptr) {
        *count = {};
    }
}

void PlaybackControlDevice::GetPifIn(std::uint16_t* value, std::uint8_t chan) {
    if (value != nullptr) {
        *value = {};
    }
}

void PlaybackControlDevice::SetPifOut(std::uint16_t value, std::uint8_t chan) {}

void PlaybackControlDevice::SetPifDigitalOut(std::uint8_t value, std::uint8_t chan) {}

void PlaybackControlDevice::HoldPifOutputs(bool hold) {}

void PlaybackControlDevice::FailSafe(bool on) {}

std::int32_t PlaybackControlDevice::SetFlag(bool closed) {
    return {};
}

std::int32_t PlaybackControlDevice::SetFlagCycle(std::uint16_t cycles) {
    return {};
}

std::int32_t PlaybackControlDevice::SetPowerEnable(bool on) {
    return {};
}

void PlaybackControlDevice::GetPowerEnable(bool* on) {
    if (on != nullptr) {
        *on = {};
    }
}

void PlaybackControlDevice::GetAntiFlicker(bool* on) {
    if (on != nullptr) {
        *on = {};
    }
}

std::int32_t PlaybackControlDevice::SetAntiFlicker(bool on) {
    return {};
}

std::int32_t PlaybackControlDevice::SetClippedFormatPosition(std::uint16_t x, std::uint16_t y) {
    return {};
}

void PlaybackControlDevice::GetClippedFormatPosition(std::uint16_t* x, std::uint16_t* y) {
    if (x != nullptr) {
        *x = {};
    }
    if (y != nullptr) {
        *y = {};
    }
}

bool PlaybackControlDevice::GetShortImagerCaps() {
    return {};
}

std::int32_t PlaybackControlDevice::GetPIFInMode(std::uint8_t chan) {
    return {};
}

void PlaybackControlDevice::SetPIFInMode(std::int32_t mode, std::uint8_t chan) {}

std::int32_t PlaybackControlDevice::GetPIFInDigitalMode(std::uint8_t chan) {
    return {};
}

void PlaybackControlDevice::SetPIFInDigitalMode(std::int32_t mode, std::uint8_t chan) {}

std::int32_t PlaybackControlDevice::GetPIFOutMode(std::uint8_t chan) {
    return {};
}

void PlaybackControlDevice::SetPIFOutMode(std::int32_t mode, std::uint8_t chan) {}

void PlaybackControlDevice::SetPIFOutOutputMode(std::int32_t mode, std::uint8_t chan) {}

void PlaybackControlDevice::SetPIFOutDigitalMode(std::int32_t mode, std::uint8_t chan) {}

std::uint16_t PlaybackControlDevice::GetPIFInFlagThreshold() {
    return {};
}

std::int32_t PlaybackControlDevice::SetPIFInFlagThreshold(std::uint16_t threshold) {
    return {};
}

bool PlaybackControlDevice::GetPIFInFlagOpenIfLower() {
    return {};
}

std::int32_t PlaybackControlDevice::SetPIFInFlagOpenIfLower(bool lower) {
    return {};
}

void PlaybackControlDevice::SetPIFOutFlagOpen(std::uint16_t value, std::int16_t chan) {}

void PlaybackControlDevice::GetPIFOutFlagOpen(std::uint16_t* value, std::int16_t chan) {
    if (value != nullptr) {
        *value = {};
    }
}

void PlaybackControlDevice::SetPIFOutFlagClosed(std::uint16_t value, std::int16_t chan) {}

void PlaybackControlDevice::GetPIFOutFlagClosed(std::uint16_t* value, std::int16_t chan) {
    if (value != nullptr) {
        *value = {};
    }
}

void PlaybackControlDevice::SetPIFOutFlagMoving(std::uint16_t value, std::int16_t chan) {}

void PlaybackControlDevice::GetPIFOutFlagMoving(std::uint16_t* value, std::int16_t chan) {
    if (value != nullptr) {
        *value = {};
    }
}

void PlaybackControlDevice::SetPIFOutFrameSync(std::uint16_t value, std::int16_t chan) {}

void PlaybackControlDevice::GetPIFOutFrameSync(std::uint16_t* value, std::int16_t chan) {
    if (value != nullptr) {
        *value = {};
    }
}

void PlaybackControlDevice::SetPIFOutSamplePointTable(std::int32_t* points, std::int32_t count,
                                                      double factor, double offset, bool percent,
                                                      std::int16_t chan) {}

std::int32_t PlaybackControlDevice::ConfigAutonomousSettings(tagAutonomousSettings* settings) {
    return {};
}

std::int32_t PlaybackControlDevice::ConfigAutonomousPifAO_ForMeasureArea(
    tagAutonomousPifAOConfig* cfg) {
    return {};
}

std::int32_t PlaybackControlDevice::ConfigAutonomousPifAO_ForAlarm(tagAutonomousPifAOConfig* cfg) {
    return {};
}

std::int32_t PlaybackControlDevice::ConfigAutonomousPifAO_ForTInt(tagAutonomousPifAOConfig* cfg) {
    return {};
}

std::int32_t PlaybackControlDevice::ConfigAutonomousMeasureArea(tagAutonomousAreaConfig* area) {
    return {};
}

std::int32_t PlaybackControlDevice::ConfigAutonomousCalculatedArea(tagAutonomousAreaConfig* area) {
    return {};
}

std::int32_t PlaybackControlDevice::ProcessDeferredCommands() {
    return {};
}

bool PlaybackControlDevice::GetPIFInDigitalFlagLowActive() {
    return {};
}

std::int32_t PlaybackControlDevice::SetPIFInDigitalFlagLowActive(bool lowActive) {
    return {};
}

std::uint16_t PlaybackControlDevice::GetPIFInThreshold() {
    return {};
}

std::uint16_t PlaybackControlDevice::SetPIFInThreshold(std::uint16_t threshold) {
    return {};
}

bool PlaybackControlDevice::GetPIFInDigitalLowActive() {
    return {};
}

void PlaybackControlDevice::SetPIFInDigitalLowActive(bool lowActive) {}

void PlaybackControlDevice::GetFocusmotorRange(std::uint16_t* first, std::uint16_t* second) {
    if (first != nullptr) {
        *first = {};
    }
    if (second != nullptr) {
        *second = {};
    }
}

std::int32_t PlaybackControlDevice::GetFocusmotorPos(std::uint16_t* position) {
    if (position != nullptr) {
        *position = {};
    }
    return {};
}

void PlaybackControlDevice::SetFocusmotorPos(std::uint16_t position) {}

std::int32_t PlaybackControlDevice::QueryFlashMemory(std::uint32_t address) {
    return {};
}

std::int32_t PlaybackControlDevice::GetPifType() {
    return {};
}

std::uint8_t PlaybackControlDevice::GetPifInfoFlag() {
    return {};
}

std::int32_t PlaybackControlDevice::SetLaserEnable(bool on) {
    return {};
}

void PlaybackControlDevice::GetLaserEnable(bool* on) {
    if (on != nullptr) {
        *on = {};
    }
}

bool PlaybackControlDevice::GetChecksumValid() {
    return {};
}

std::int32_t PlaybackControlDevice::CheckFlagSource() {
    return {};
}

std::int32_t PlaybackControlDevice::FirmwareRead(std::uint8_t* data, std::uint16_t length) {
    return {};
}

std::int32_t PlaybackControlDevice::FirmwareWrite(std::uint8_t* data, std::uint16_t length) {
    return {};
}

void PlaybackControlDevice::ControlJTAGPort(std::uint8_t* command, std::uint8_t* data,
                                            std::uint8_t noAnswer, std::uint16_t bitCount,
                                            std::uint8_t mode) {}

bool PlaybackControlDevice::MCSFirmwareCheck(std::uint8_t* image, std::int32_t length) {
    return {};
}

bool PlaybackControlDevice::MCSFirmwareWrite(std::uint8_t* image, std::int32_t length) {
    return {};
}

std::int32_t PlaybackControlDevice::GetDeviceClass() {
    return {};
}

bool PlaybackControlDevice::GetPifChannelAddress(std::int32_t list, std::uint8_t index,
                                                 std::uint8_t* device, std::uint8_t* channel) {
    if (device != nullptr) {
        *device = {};
    }
    if (channel != nullptr) {
        *channel = {};
    }
    return {};
}

std::int32_t PlaybackControlDevice::SetTCPIPConfig(std::uint32_t address, std::uint32_t mask,
                                                   std::uint32_t gateway) {
    return {};
}

std::int32_t PlaybackControlDevice::GetTCPIPConfig(std::uint32_t* address, std::uint32_t* mask,
                                                   std::uint32_t* gateway) {
    if (address != nullptr) {
        *address = {};
    }
    if (mask != nullptr) {
        *mask = {};
    }
    if (gateway != nullptr) {
        *gateway = {};
    }
    return {};
}
