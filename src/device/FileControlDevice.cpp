// The values it keeps; each operation it does not take on logs a warning under the source name
// "filecontroldevice".
#include "device/FileControlDevice.h"

#ifdef KELVIX_DEBUG_BUILD

#include "sdk/Log.h"

// One warning per call, under this device's own log source name.
#define FILE_DEVICE_NOT_IMPLEMENTED(name) \
    KELVIX_LOG_AS(::zol::Logger::Warning, "filecontroldevice", name << " not implemented")

namespace {

constexpr std::int32_t kNotDone = -1;

}  // namespace

FileControlDevice::FileControlDevice(std::uint16_t hardwareRevision, std::uint16_t firmwareRevision,
                                     std::uint32_t serialNumber)
    : hardwareRevision(hardwareRevision),
      firmwareRevision(firmwareRevision),
      serialNumber(serialNumber) {}

FileControlDevice::~FileControlDevice() = default;

std::uint32_t FileControlDevice::GetSerialNumber() {
    return serialNumber;
}
std::uint16_t FileControlDevice::GetFWRevision() {
    return firmwareRevision;
}
std::uint16_t FileControlDevice::GetHWRevision() {
    return hardwareRevision;
}

void FileControlDevice::SetTec_A(std::uint16_t value) {
    tecA = value;
}
void FileControlDevice::GetTec_A(std::uint16_t* value) {
    *value = tecA;
}
std::int32_t FileControlDevice::SetTec_B(std::uint16_t value) {
    tecB = value;
    return 0;
}
void FileControlDevice::GetTec_B(std::uint16_t* value) {
    *value = tecB;
}
std::int32_t FileControlDevice::SetTec_C(std::uint16_t value) {
    tecC = value;
    return 0;
}
void FileControlDevice::GetTec_C(std::uint16_t* value) {
    *value = tecC;
}
std::int32_t FileControlDevice::SetTec_D(std::uint16_t value) {
    tecD = value;
    return 0;
}
void FileControlDevice::GetTec_D(std::uint16_t* value) {
    *value = tecD;
}

// The plain and the extended-register setters share one trim value.
void FileControlDevice::SetSkim(std::uint16_t value) {
    skim = value;
}
void FileControlDevice::SetSkim_Ext(std::uint16_t value) {
    skim = value;
}
void FileControlDevice::GetSkim(std::uint16_t* value) {
    *value = skim;
}
void FileControlDevice::SetFid(std::uint16_t value) {
    fid = value;
}
void FileControlDevice::SetFid_Ext(std::uint16_t value) {
    fid = value;
}
void FileControlDevice::GetFid(std::uint16_t* value) {
    *value = fid;
}

// Operations without hardware behind them: a warning, out-arguments untouched.

std::int32_t FileControlDevice::InitPif() {
    FILE_DEVICE_NOT_IMPLEMENTED("InitPif");
    return 0;
}

std::int32_t FileControlDevice::GetBuffer(std::uint8_t* dst, std::int32_t capacity) {
    FILE_DEVICE_NOT_IMPLEMENTED("GetBuffer");
    return 0;
}

void FileControlDevice::FailSafe(bool on) {
    FILE_DEVICE_NOT_IMPLEMENTED("FailSafe");
}

std::int32_t FileControlDevice::SetTecEnable(bool on) {
    FILE_DEVICE_NOT_IMPLEMENTED("SetTecEnable");
    return kNotDone;
}

void FileControlDevice::GetTecEnable(bool* on) {
    FILE_DEVICE_NOT_IMPLEMENTED("GetTecEnable");
}

void FileControlDevice::SetTempTec(float degC) {
    FILE_DEVICE_NOT_IMPLEMENTED("SetTempTec");
}

void FileControlDevice::GetTempTec(float* degC) {
    FILE_DEVICE_NOT_IMPLEMENTED("GetTempTec");
}

std::int32_t FileControlDevice::GetFlag(std::int32_t* state) {
    FILE_DEVICE_NOT_IMPLEMENTED("GetFlag");
    return kNotDone;
}

std::int32_t FileControlDevice::SetFlag(bool closed) {
    FILE_DEVICE_NOT_IMPLEMENTED("SetFlag");
    return kNotDone;
}

std::int32_t FileControlDevice::SetFlagCycle(std::uint16_t cycles) {
    FILE_DEVICE_NOT_IMPLEMENTED("SetFlagCycle");
    return kNotDone;
}

void FileControlDevice::SetSkim_Adjust(std::uint16_t value) {
    FILE_DEVICE_NOT_IMPLEMENTED("SetSkim_Adjust");
}

void FileControlDevice::GetSkim_Adjust(std::uint16_t* value) {
    FILE_DEVICE_NOT_IMPLEMENTED("GetSkim_Adjust");
}

void FileControlDevice::SetFid_Adjust(std::uint16_t value) {
    FILE_DEVICE_NOT_IMPLEMENTED("SetFid_Adjust");
}

void FileControlDevice::GetFid_Adjust(std::uint16_t* value) {
    FILE_DEVICE_NOT_IMPLEMENTED("GetFid_Adjust");
}

std::int32_t FileControlDevice::SetBiasEnable(bool on) {
    FILE_DEVICE_NOT_IMPLEMENTED("SetBiasEnable");
    return kNotDone;
}

void FileControlDevice::GetBiasEnable(bool* on) {
    FILE_DEVICE_NOT_IMPLEMENTED("GetBiasEnable");
}

std::int32_t FileControlDevice::SetPowerEnable(bool on) {
    FILE_DEVICE_NOT_IMPLEMENTED("SetPowerEnable");
    return kNotDone;
}

void FileControlDevice::GetPowerEnable(bool* on) {
    FILE_DEVICE_NOT_IMPLEMENTED("GetPowerEnable");
}

void FileControlDevice::GetAntiFlicker(bool* on) {
    FILE_DEVICE_NOT_IMPLEMENTED("GetAntiFlicker");
}

std::int32_t FileControlDevice::SetAntiFlicker(bool on) {
    FILE_DEVICE_NOT_IMPLEMENTED("SetAntiFlicker");
    return kNotDone;
}

std::int32_t FileControlDevice::SetClippedFormatPosition(std::uint16_t x, std::uint16_t y) {
    FILE_DEVICE_NOT_IMPLEMENTED("SetClippedFormatPosition");
    return kNotDone;
}

void FileControlDevice::GetClippedFormatPosition(std::uint16_t* x, std::uint16_t* y) {
    FILE_DEVICE_NOT_IMPLEMENTED("GetClippedFormatPosition");
}

bool FileControlDevice::GetShortImagerCaps() {
    FILE_DEVICE_NOT_IMPLEMENTED("GetShortImagerCaps");
    return false;
}

std::int32_t FileControlDevice::GetTempChip(float* degC) {
    FILE_DEVICE_NOT_IMPLEMENTED("GetTempChip");
    return kNotDone;
}

std::int32_t FileControlDevice::GetTempBox(float* degC) {
    FILE_DEVICE_NOT_IMPLEMENTED("GetTempBox");
    return kNotDone;
}

std::int32_t FileControlDevice::GetTempFlag(float* degC) {
    FILE_DEVICE_NOT_IMPLEMENTED("GetTempFlag");
    return kNotDone;
}

std::int32_t FileControlDevice::SetLaserEnable(bool on) {
    FILE_DEVICE_NOT_IMPLEMENTED("SetLaserEnable");
    return kNotDone;
}

void FileControlDevice::GetLaserEnable(bool* on) {
    FILE_DEVICE_NOT_IMPLEMENTED("GetLaserEnable");
}

bool FileControlDevice::GetChecksumValid() {
    FILE_DEVICE_NOT_IMPLEMENTED("GetChecksumValid");
    return false;
}

std::int32_t FileControlDevice::CheckFlagSource() {
    FILE_DEVICE_NOT_IMPLEMENTED("CheckFlagSource");
    return kNotDone;
}

std::int32_t FileControlDevice::FirmwareRead(std::uint8_t* data, std::uint16_t length) {
    FILE_DEVICE_NOT_IMPLEMENTED("FirmwareRead");
    return -1;
}

std::int32_t FileControlDevice::FirmwareWrite(std::uint8_t* data, std::uint16_t length) {
    FILE_DEVICE_NOT_IMPLEMENTED("FirmwareWrite");
    return -1;
}

void FileControlDevice::ControlJTAGPort(std::uint8_t* command, std::uint8_t* data,
                                        std::uint8_t noAnswer, std::uint16_t bitCount,
                                        std::uint8_t mode) {
    FILE_DEVICE_NOT_IMPLEMENTED("ControlJTAGPort");
}

bool FileControlDevice::MCSFirmwareCheck(std::uint8_t* image, std::int32_t length) {
    FILE_DEVICE_NOT_IMPLEMENTED("MCSFirmwareCheck");
    return false;
}

bool FileControlDevice::MCSFirmwareWrite(std::uint8_t* image, std::int32_t length) {
    FILE_DEVICE_NOT_IMPLEMENTED("MCSFirmwareWrite");
    return false;
}

// Calls outside the interface.

std::int32_t FileControlDevice::Init(std::uint32_t first, std::uint32_t second) {
    FILE_DEVICE_NOT_IMPLEMENTED("Init");
    return 0;
}

std::int32_t FileControlDevice::Init(std::uint32_t first, std::uint32_t second,
                                     std::uint32_t third) {
    FILE_DEVICE_NOT_IMPLEMENTED("Init");
    return 0;
}

bool FileControlDevice::SendCommand(std::uint32_t command, std::uint32_t first,
                                    std::uint32_t second) {
    FILE_DEVICE_NOT_IMPLEMENTED("SendCommand");
    return true;
}

std::int32_t FileControlDevice::GetPIFInMode(std::int32_t chan) {
    FILE_DEVICE_NOT_IMPLEMENTED("GetPIFInMode");
    return 0;
}

std::int32_t FileControlDevice::GetPIFInDigitalMode() {
    FILE_DEVICE_NOT_IMPLEMENTED("GetPIFInDigitalMode");
    return 0;
}

std::int32_t FileControlDevice::GetPIFOutMode(std::int32_t chan) {
    FILE_DEVICE_NOT_IMPLEMENTED("GetPIFOutMode");
    return 0;
}

std::uint16_t FileControlDevice::GetPIFInThreshold() const {
    FILE_DEVICE_NOT_IMPLEMENTED("GetPIFInThreshold");
    return 0;
}

std::uint16_t FileControlDevice::GetPIFInFlagThreshold() const {
    FILE_DEVICE_NOT_IMPLEMENTED("GetPIFInFlagThreshold");
    return 0;
}

bool FileControlDevice::GetPIFInOpenIfLower() const {
    FILE_DEVICE_NOT_IMPLEMENTED("GetPIFInOpenIfLower");
    return false;
}

bool FileControlDevice::GetPIFInFlagOpenIfLower() const {
    FILE_DEVICE_NOT_IMPLEMENTED("GetPIFInFlagOpenIfLower");
    return false;
}

bool FileControlDevice::GetPIFInDigitalLowActive() const {
    FILE_DEVICE_NOT_IMPLEMENTED("GetPIFInDigitalLowActive");
    return false;
}

bool FileControlDevice::GetPIFInDigitalFlagLowActive() const {
    FILE_DEVICE_NOT_IMPLEMENTED("GetPIFInDigitalFlagLowActive");
    return false;
}

void FileControlDevice::GetPifIn(std::uint16_t* value, std::int32_t chan) {
    FILE_DEVICE_NOT_IMPLEMENTED("GetPifIn");
}

void FileControlDevice::GetPIFOutFlagOpen(std::uint16_t* value, std::int32_t chan) {
    FILE_DEVICE_NOT_IMPLEMENTED("GetPIFOutFlagOpen");
}

void FileControlDevice::GetPIFOutFlagClosed(std::uint16_t* value, std::int32_t chan) {
    FILE_DEVICE_NOT_IMPLEMENTED("GetPIFOutFlagClosed");
}

void FileControlDevice::GetPIFOutFlagMoving(std::uint16_t* value, std::int32_t chan) {
    FILE_DEVICE_NOT_IMPLEMENTED("GetPIFOutFlagMoving");
}

void FileControlDevice::GetPIFOutFrameSync(std::uint16_t* value, std::int32_t chan) {
    FILE_DEVICE_NOT_IMPLEMENTED("GetPIFOutFrameSync");
}

void FileControlDevice::SetPifOut(std::uint16_t value, std::int32_t chan) {
    FILE_DEVICE_NOT_IMPLEMENTED("SetPifOut");
}

void FileControlDevice::SetPIFInMode(std::int32_t mode, std::int32_t chan) {
    FILE_DEVICE_NOT_IMPLEMENTED("SetPIFInMode");
}

void FileControlDevice::SetPIFOutMode(std::int32_t mode, std::int32_t chan) {
    FILE_DEVICE_NOT_IMPLEMENTED("SetPIFOutMode");
}

void FileControlDevice::SetPIFOutFlagOpen(std::uint16_t value, std::int32_t chan) {
    FILE_DEVICE_NOT_IMPLEMENTED("SetPIFOutFlagOpen");
}

void FileControlDevice::SetPIFOutFlagClosed(std::uint16_t value, std::int32_t chan) {
    FILE_DEVICE_NOT_IMPLEMENTED("SetPIFOutFlagClosed");
}

void FileControlDevice::SetPIFOutFlagMoving(std::uint16_t value, std::int32_t chan) {
    FILE_DEVICE_NOT_IMPLEMENTED("SetPIFOutFlagMoving");
}

void FileControlDevice::SetPIFOutFrameSync(std::uint16_t value, std::int32_t chan) {
    FILE_DEVICE_NOT_IMPLEMENTED("SetPIFOutFrameSync");
}

void FileControlDevice::SetPIFOutSamplePointTable(std::int32_t* points, std::int32_t count,
                                                  double factor, double offset, bool percent,
                                                  std::int32_t chan) {
    FILE_DEVICE_NOT_IMPLEMENTED("SetPIFOutSamplePointTable");
}

void FileControlDevice::SetPIFInDigitalMode(std::int32_t mode) {
    FILE_DEVICE_NOT_IMPLEMENTED("SetPIFInDigitalMode");
}

void FileControlDevice::SetPIFInThreshold(std::int32_t threshold) {
    FILE_DEVICE_NOT_IMPLEMENTED("SetPIFInThreshold");
}

void FileControlDevice::SetPIFInFlagThreshold(std::int32_t threshold) {
    FILE_DEVICE_NOT_IMPLEMENTED("SetPIFInFlagThreshold");
}

void FileControlDevice::SetPIFInOpenIfLower(std::int32_t lower) {
    FILE_DEVICE_NOT_IMPLEMENTED("SetPIFInOpenIfLower");
}

void FileControlDevice::SetPIFInFlagOpenIfLower(std::int32_t lower) {
    FILE_DEVICE_NOT_IMPLEMENTED("SetPIFInFlagOpenIfLower");
}

void FileControlDevice::SetPIFInDigitalLowActive(std::int32_t lowActive) {
    FILE_DEVICE_NOT_IMPLEMENTED("SetPIFInDigitalLowActive");
}

void FileControlDevice::SetPIFInDigitalFlagLowActive(std::int32_t lowActive) {
    FILE_DEVICE_NOT_IMPLEMENTED("SetPIFInDigitalFlagLowActive");
}

#endif  // KELVIX_DEBUG_BUILD
