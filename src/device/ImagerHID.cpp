// Connection and identity, process-interface channels and their scaling, chip heating, flag and
// trims, temperatures, and the queue of deferred autonomous-mode jobs that the frame thread sends
// once their delay has passed.
#include "device/ImagerHID.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <cwchar>
#include <iterator>
#include <type_traits>

#include "platform/Clock.h"
#include "platform/HResult.h"
#include "platform/Strings.h"

namespace {

constexpr std::int32_t kPifTypeExtended = 4;

template <typename T>
T clampTo(float v, float lo, float hi) {
    if (!(v > lo)) {  // also for NaN
        return static_cast<T>(lo);
    }
    return static_cast<T>(v < hi ? v : hi);
}

void sleepMs(std::uint32_t ms) {
    platform::clock().sleepMs(ms);
}

std::wstring fromField(const wchar_t* src, std::size_t capacity) {
    std::size_t n = 0;
    while (n < capacity && src[n] != L'\0') {
        ++n;
    }
    return std::wstring(src, n);
}

std::size_t alignUp(std::size_t v, std::size_t a) {
    return (v + a - 1) / a * a;
}

static_assert(std::is_trivially_copyable<tagAutonomousSettings>::value, "copied bytewise");
static_assert(std::is_trivially_copyable<tagAutonomousAreaConfig>::value, "copied bytewise");

}  // namespace

ImagerHID::ImagerHID() {
    reset();
}

ImagerHID::~ImagerHID() {
    powerDown();
    {
        std::lock_guard<std::mutex> lock(jobMutex);
        jobs.clear();
    }
    pifInfo.reset();
    hid.CloseHIDDevice();
}

void ImagerHID::reset() {
    vendorId = 0;
    productId = 0;
    serialNumber = 0;
    manufacturer.clear();
    product.clear();
    releaseNumber = 0;
    matchCounter = 0;
    boxOffset = 0.0f;
    chipOffset = 0.0f;
    flagOffset = 0.0f;
    opticsOffset = 0.0f;
    chipGain = 1.0f;
    tecOffset = 294.5f;
    tecGain = 13.055f;
    tecMaxTemperature = 55.0f;
    tempTec = 25.0f;
    std::fill(pifInOffset.begin(), pifInOffset.end(), 0.0f);
    std::fill(pifInGain.begin(), pifInGain.end(), 1.0f);
    std::fill(pifOutOffset.begin(), pifOutOffset.end(), 0.0f);
    std::fill(pifOutGain.begin(), pifOutGain.end(), 1.0f);
    outputsHeld = false;
    diLowActive = 1;
    state = CameraState{};
    laserEnable = false;
    clipX = 0xFFFF;
    clipY = 0xFFFF;
    focusRangeFirst = 0;
    focusRangeSecond = 0;
}

// ---- connection ----------------------------------------------------------------------------

std::int32_t ImagerHID::Init(std::uint32_t vendor, std::uint32_t productIdArg, std::uint32_t serial,
                             bool force, bool* sameDevice) {
    const bool same = vendor == vendorId && productIdArg == productId && serial == serialNumber;
    if (sameDevice) {
        *sameDevice = same;
    }
    if (!force && same && open) {
        return 1;
    }
    powerDown();
    reset();
    vendorId = vendor;
    productId = productIdArg;
    serialNumber = serial;

    // Two lookups at once, then two more after growing pauses: a camera that was just plugged
    // in needs a moment to enumerate.
    bool found = lookUp() || lookUp();
    if (!found) {
        sleepMs(500);
        found = lookUp();
    }
    if (!found) {
        sleepMs(1000);
        found = lookUp();
    }
    if (!found) {
        return E_FAIL;
    }

    fwRevision = 0;
    for (int attempt = 0; attempt < 30; ++attempt) {
        open = hid.OpenHIDDevice(&description);
        GetHWRevision();
        if (isDeviceClass8()) {
            hid.SetAllCommandsWithAnswer(true);
        }
        if (GetFWRevision() != 0) {
            break;
        }
        hid.CloseHIDDevice();
        open = false;
        sleepMs(250);
    }
    if (open) {
        SetPowerEnable(true);
    }
    return 0;
}

std::int32_t ImagerHID::Init(std::uint32_t vendor, std::uint32_t productIdArg, bool force) {
    return Init(vendor, productIdArg, 0, force, nullptr);
}

bool ImagerHID::lookUp() {
    description.vendorId = static_cast<std::int32_t>(vendorId);
    description.productId = static_cast<std::int32_t>(productId);
    description.serialNumber = serialNumber;
    platform::copyBounded(description.manufacturer, std::size(description.manufacturer),
                          manufacturer);
    platform::copyBounded(description.product, std::size(description.product), product);
    description.releaseNumber = releaseNumber;
    description.matchCount = matchCounter;
    if (hid.GetHIDDeviceInfo(&description) != 0) {
        return false;
    }
    manufacturer = fromField(description.manufacturer, std::size(description.manufacturer));
    product = fromField(description.product, std::size(description.product));
    serialNumber = description.serialNumber;
    vendorId = static_cast<std::uint32_t>(description.vendorId);
    productId = static_cast<std::uint32_t>(description.productId);
    releaseNumber = description.releaseNumber;
    matchCounter = description.matchCount;
    return true;
}

void ImagerHID::powerDown() {
    if (!open) {
        return;
    }
    hid.SetFidFlex(0, false);
    hid.SetSkimFlex(0, false);
    if (!isDeviceClass8()) {
        hid.EnableBias(false);
        hid.SetLaserCtl(false);
    }
    hid.SetPwrCtl(false);
    hid.CloseHIDDevice();
    open = false;
}

std::int32_t ImagerHID::GetBuffer(std::uint8_t* dst, std::int32_t capacity) {
    if (!dst || capacity <= 0) {
        return 0;
    }
    // The query always delivers a whole answer; a smaller destination gets its first bytes.
    std::uint8_t answer[256] = {};
    std::uint32_t count = 0;
    if (hid.GetHIDBuf(answer, static_cast<std::int32_t>(sizeof(answer)), &count) != 0) {
        return 0;
    }
    std::size_t n = std::min<std::size_t>(count, static_cast<std::size_t>(capacity));
    std::memcpy(dst, answer, n);
    return static_cast<std::int32_t>(n);
}

std::uint32_t ImagerHID::GetSerialNumber() {
    return serialNumber;
}

std::uint16_t ImagerHID::GetFWRevision() {
    if (fwRevision == 0) {
        std::uint16_t read = 0;
        hid.GetFwCypVers(&read);
        fwRevision = read;
    }
    return fwRevision;
}

std::uint16_t ImagerHID::GetHWRevision() {
    hwRevision = hid.get_hardware_rev();
    return hwRevision;
}

std::int32_t ImagerHID::GetDeviceClass() {
    const unsigned r = hwRevision;
    const unsigned f = fwRevision;
    if (r <= 18) {
        return 1;
    }
    if (r >= 20 && r <= 399) {
        if (f >= 2000 && f <= 2199) {
            return 2;
        }
        if (f >= 2200 && f <= 2399) {
            return 3;
        }
        return 4;
    }
    if (r >= 400 && r <= 498) {
        return 5;
    }
    if (r >= 600 && r <= 698) {
        return 6;
    }
    if (r >= 2100 && r <= 2198) {
        return 7;
    }
    if (r >= 3000 && r <= 3198) {
        return 8;
    }
    if (r >= 3200 && r <= 3398) {
        return 9;
    }
    if (r >= 3400 && r <= 3598) {
        return 10;
    }
    if (r >= 3600 && r <= 3798) {
        return 11;
    }
    if (r >= 3800 && r <= 3998) {
        return 12;
    }
    return 0;
}

bool ImagerHID::GetShortImagerCaps() {
    if (GetFWRevision() == 0) {
        return false;
    }
    if (fwRevision < 1915) {
        return true;
    }
    return hid.GetVxHZVersion();
}

// ---- process interface ---------------------------------------------------------------------

std::int32_t ImagerHID::pifType() const {
    return pifInfo ? pifInfo->type : 0;
}

std::size_t ImagerHID::listCount(int list) const {
    if (!pifInfo || list < 0 || list > 4) {
        return 0;
    }
    return pifInfo->counts[list];
}

void ImagerHID::sizePifArrays() {
    const std::size_t ai = listCount(0), di = listCount(1), ao = listCount(2), dos = listCount(3),
                      extra = listCount(4);
    diValues.assign(di, 0);
    aiValues.assign(ai, 0);
    aoValues.assign(ao, 0);
    doStates.assign(dos, 0);
    extraValues.assign(extra, 0);
    aiModes.assign(ai, 0);
    diModes.assign(di, 0);
    aoModes.assign(ao, 0);
    doModes.assign(dos, 0);
    aoOutputModes.assign(ao, 0);
    resetPifScaling(ai, ao);
}

std::int32_t ImagerHID::InitPif() {
    pifInfo.reset();
    checksumValid = false;

    if (isExtendedFirmware()) {
        sleepMs(500);
        queryPifDeviceInfo();
        sizePifArrays();
        return -1;
    }

    _PIF_EEPROM eeprom{};
    const std::int32_t result = hid.GetPifEEPROM_Ex(&eeprom, 3, 500);
    std::int32_t type = 0;
    if (result >= 0) {
        const unsigned f = fwRevision;
        const bool newFirmware = (f >= 2022 && f <= 2199) || (f >= 2216 && f <= 2399) || f >= 2423;
        if (newFirmware) {
            type = eeprom.version >= 2 ? 2 : 1;
        } else {
            type = eeprom.version >= 2 ? 0 : 1;
        }
        checksumValid = result == 0;
    }
    const bool described = type != 0 && checksumValid;
    pifInfo = std::make_unique<PifDeviceInfo>(
        described ? PifDeviceInfo::describedByEeprom(type, eeprom.aiCount, eeprom.aoCount)
                  : PifDeviceInfo{});
    pifInfo->type = type;
    sizePifArrays();
    if (!described) {
        return static_cast<std::int32_t>(eeprom.identifier);
    }
    for (std::size_t i = 0;
         i < pifInOffset.size() && i < eeprom.aiCount && i < std::size(eeprom.ai); ++i) {
        const auto& e = eeprom.ai[i];
        pifInOffset[i] = static_cast<float>(e.offset) * 0.1f;
        pifInGain[i] = static_cast<float>(e.gain) * 0.1f / std::ldexp(1.0f, e.shift);
    }
    for (std::size_t i = 0;
         i < pifOutOffset.size() && i < eeprom.aoCount && i < std::size(eeprom.ao); ++i) {
        const auto& e = eeprom.ao[i];
        pifOutOffset[i] = static_cast<float>(e.offset) * 0.1f;
        pifOutGain[i] = static_cast<float>(e.gain) * 10.0f / std::ldexp(1.0f, e.shift);
    }
    return static_cast<std::int32_t>(eeprom.identifier);
}

std::int32_t ImagerHID::SetPifType(TPifType type, std::uint8_t argument) {
    if (!isExtendedFirmware()) {
        return -1;
    }
    if (hid.SetPifType(type, argument) != 0) {
        return -1;
    }
    sleepMs(500);
    queryPifDeviceInfo();
    sizePifArrays();
    return 0;
}

// The camera's own channel lists; an empty record (type 0) when it does not answer.
void ImagerHID::queryPifDeviceInfo() {
    PifDeviceInfo* fresh = nullptr;  // the command set hands over a record of its own
    if (hid.GetPifDeviceInfo(&fresh) == 0 && fresh != nullptr) {
        pifInfo.reset(fresh);
    } else {
        pifInfo = std::make_unique<PifDeviceInfo>();
    }
}

void ImagerHID::GetPifAICount(std::uint16_t* count) {
    if (count) {
        *count = static_cast<std::uint16_t>(listCount(0));
    }
}
void ImagerHID::GetPifDICount(std::uint16_t* count) {
    if (count) {
        *count = static_cast<std::uint16_t>(listCount(1));
    }
}
void ImagerHID::GetPifAOCount(std::uint16_t* count) {
    if (count) {
        *count = static_cast<std::uint16_t>(listCount(2));
    }
}
void ImagerHID::GetPifDOCount(std::uint16_t* count) {
    if (count) {
        *count = static_cast<std::uint16_t>(listCount(3));
    }
}
void ImagerHID::GetPifExtraCount(std::uint16_t* count) {
    if (count) {
        *count = static_cast<std::uint16_t>(listCount(4));
    }
}

bool ImagerHID::channelAddress(int list, std::uint8_t index, std::uint8_t* device,
                               std::uint8_t* channel) const {
    if (pifType() != kPifTypeExtended) {
        *device = 0;
        *channel = index;
        return false;
    }
    if (index >= listCount(list)) {
        return false;
    }
    const std::uint16_t id = pifInfo->lists[list][index];
    *device = static_cast<std::uint8_t>(id >> 8);
    *channel = static_cast<std::uint8_t>(id & 0xFF);
    return true;
}

bool ImagerHID::GetPifChannelAddress(std::int32_t list, std::uint8_t index, std::uint8_t* device,
                                     std::uint8_t* channel) {
    std::uint8_t d = 0, c = 0;
    const bool ok = channelAddress(list, index, &d, &c);
    if (device) {
        *device = d;
    }
    if (channel) {
        *channel = c;
    }
    return ok;
}

void ImagerHID::GetPifIn(std::uint16_t* value, std::uint8_t chan) {
    if (!value || chan >= aiValues.size()) {
        return;
    }
    hid.GetPifAI(&aiValues[chan], chan);
    const float v = aiValues[chan] * pifInGain[chan] + pifInOffset[chan];
    *value = clampTo<std::uint16_t>(v, 0.0f, 1100.0f);
}

std::uint16_t ImagerHID::scaleOut(std::uint8_t chan, float value) const {
    return clampTo<std::uint16_t>(getPifOutGain(chan) * value + getPifOutOffset(chan), 0.0f,
                                  1023.0f);
}

void ImagerHID::sendAnalogOut(std::uint8_t chan) {
    if (pifType() == kPifTypeExtended) {
        std::uint8_t d = 0, c = 0;
        channelAddress(2, chan, &d, &c);
        hid.SetPifAO(aoValues[chan], d, c);
    } else {
        hid.SetPif(&aoValues[chan], chan);
    }
}

void ImagerHID::sendDigitalOut(std::uint8_t chan) {
    std::uint8_t d = 0, c = 0;
    channelAddress(3, chan, &d, &c);
    hid.SetPifDO(doStates[chan] != 0, d, c);
}

void ImagerHID::SetPifOut(std::uint16_t value, std::uint8_t chan) {
    if (chan >= aoValues.size()) {
        return;
    }
    aoValues[chan] = scaleOut(chan, value);
    if (!outputsHeld) {
        sendAnalogOut(chan);
    }
}

void ImagerHID::SetPifDigitalOut(std::uint8_t value, std::uint8_t chan) {
    if (chan >= doStates.size()) {
        return;
    }
    doStates[chan] = value;
    if (!outputsHeld && pifType() == kPifTypeExtended) {
        sendDigitalOut(chan);
    }
}

void ImagerHID::HoldPifOutputs(bool hold) {
    if (hold == outputsHeld) {
        return;
    }
    outputsHeld = hold;
    if (hold) {
        return;
    }
    for (std::size_t i = 0; i < aoValues.size(); ++i) {
        sendAnalogOut(static_cast<std::uint8_t>(i));
    }
    if (pifType() == kPifTypeExtended) {
        for (std::size_t i = 0; i < doStates.size(); ++i) {
            sendDigitalOut(static_cast<std::uint8_t>(i));
        }
    }
}

void ImagerHID::FailSafe(bool on) {
    if (pifType() > 1) {
        hid.FailSafe(on);
    }
}

std::int32_t ImagerHID::GetPIFInMode(std::uint8_t chan) {
    return chan < aiModes.size() ? static_cast<std::int32_t>(aiModes[chan]) : 0;
}

void ImagerHID::SetPIFInMode(std::int32_t mode, std::uint8_t chan) {
    if (chan >= aiModes.size()) {
        return;
    }
    aiModes[chan] = static_cast<std::uint32_t>(mode);
    const std::uint8_t sent = mode == 1 ? 1 : 0;
    if (pifType() == kPifTypeExtended) {
        std::uint8_t d = 0, c = 0;
        channelAddress(0, chan, &d, &c);
        hid.SetPifAIModeEx(sent, d, c);
    } else {
        hid.SetPifAIMode(sent, chan);
    }
    CheckFlagSource();
}

std::int32_t ImagerHID::GetPIFInDigitalMode(std::uint8_t chan) {
    return chan < diModes.size() ? static_cast<std::int32_t>(diModes[chan]) : 0;
}

void ImagerHID::SetPIFInDigitalMode(std::int32_t mode, std::uint8_t chan) {
    if (chan >= diModes.size()) {
        return;
    }
    diModes[chan] = static_cast<std::uint32_t>(mode);
    const std::uint8_t sent = mode == 1 ? 1 : 0;
    if (pifType() == kPifTypeExtended) {
        std::uint8_t d = 0, c = 0;
        channelAddress(1, chan, &d, &c);
        hid.SetPifDIModeEx(sent, d, c);
    } else {
        hid.SetPifDIMode(sent);
    }
    CheckFlagSource();
}

std::int32_t ImagerHID::GetPIFOutMode(std::uint8_t chan) {
    return chan < aoModes.size() ? static_cast<std::int32_t>(aoModes[chan]) : 0;
}

void ImagerHID::SetPIFOutMode(std::int32_t mode, std::uint8_t chan) {
    if (chan >= aoModes.size()) {
        return;
    }
    aoModes[chan] = static_cast<std::uint32_t>(mode);
    if (pifType() == kPifTypeExtended) {
        std::uint8_t d = 0, c = 0;
        channelAddress(2, chan, &d, &c);
        hid.SetPifAOModeEx(static_cast<std::uint8_t>(mode), d, c);
    } else {
        hid.SetPifAOMode(static_cast<std::uint8_t>(mode), chan);
    }
}

void ImagerHID::SetPIFOutOutputMode(std::int32_t mode, std::uint8_t chan) {
    if (chan >= aoOutputModes.size()) {
        return;
    }
    aoOutputModes[chan] = static_cast<std::uint32_t>(mode);
    if (pifType() == kPifTypeExtended) {
        std::uint8_t d = 0, c = 0;
        channelAddress(2, chan, &d, &c);
        hid.SetPifAOOutputModeEx(mode == 1 ? 0 : 2, d, c);
    }
}

void ImagerHID::SetPIFOutDigitalMode(std::int32_t mode, std::uint8_t chan) {
    if (chan >= doModes.size()) {
        return;
    }
    doModes[chan] = static_cast<std::uint32_t>(mode);
    if (pifType() == kPifTypeExtended) {
        std::uint8_t d = 0, c = 0;
        channelAddress(3, chan, &d, &c);
        hid.SetPifDOModeEx(static_cast<std::uint8_t>(mode), d, c);
    }
}

std::uint16_t ImagerHID::GetPIFInFlagThreshold() {
    return aiFlagThreshold;
}

std::int32_t ImagerHID::SetPIFInFlagThreshold(std::uint16_t threshold) {
    aiFlagThreshold = std::min<std::uint16_t>(threshold, 1010);
    return hid.SetPifAIFlagThreshold(aiFlagThreshold);
}

bool ImagerHID::GetPIFInFlagOpenIfLower() {
    return aiFlagOpenIfLower != 0;
}

std::int32_t ImagerHID::SetPIFInFlagOpenIfLower(bool lower) {
    aiFlagOpenIfLower = lower ? 1 : 0;
    return hid.SetPifAIFlagOpenIfLower(lower);
}

bool ImagerHID::acceptsLevelChannel(std::int16_t chan) const {
    // Channel 0 always, also before the interface is known (its scaling then neutral); other
    // channels only on interfaces with several outputs.
    if (chan == 0) {
        return true;
    }
    return chan > 0 && static_cast<std::size_t>(chan) < aoValues.size() && pifType() > 1;
}

void ImagerHID::setLevel(std::uint16_t& level, std::uint16_t value, std::int16_t chan,
                         std::int32_t (HIDDevice::*send)(std::uint16_t*)) {
    if (!acceptsLevelChannel(chan)) {
        return;
    }
    level = scaleOut(static_cast<std::uint8_t>(chan), value);
    (hid.*send)(&level);
}

void ImagerHID::getLevel(std::uint16_t level, std::uint16_t* value, std::int16_t chan) const {
    if (!value || !acceptsLevelChannel(chan)) {
        return;
    }
    const auto c = static_cast<std::uint8_t>(chan);
    const float gain = getPifOutGain(c);
    if (gain == 0.0f) {
        *value = 0;
        return;
    }
    *value = clampTo<std::uint16_t>((level - getPifOutOffset(c)) / gain, 0.0f, 1100.0f);
}

void ImagerHID::SetPIFOutFlagOpen(std::uint16_t value, std::int16_t chan) {
    setLevel(levelFlagOpen, value, chan, &HIDDevice::SetPifAOFlagOpen);
}
void ImagerHID::GetPIFOutFlagOpen(std::uint16_t* value, std::int16_t chan) {
    getLevel(levelFlagOpen, value, chan);
}
void ImagerHID::SetPIFOutFlagClosed(std::uint16_t value, std::int16_t chan) {
    setLevel(levelFlagClosed, value, chan, &HIDDevice::SetPifAOFlagClosed);
}
void ImagerHID::GetPIFOutFlagClosed(std::uint16_t* value, std::int16_t chan) {
    getLevel(levelFlagClosed, value, chan);
}
void ImagerHID::SetPIFOutFlagMoving(std::uint16_t value, std::int16_t chan) {
    setLevel(levelFlagMoving, value, chan, &HIDDevice::SetPifAOFlagMoving);
}
void ImagerHID::GetPIFOutFlagMoving(std::uint16_t* value, std::int16_t chan) {
    getLevel(levelFlagMoving, value, chan);
}
void ImagerHID::SetPIFOutFrameSync(std::uint16_t value, std::int16_t chan) {
    setLevel(levelFrameSync, value, chan, &HIDDevice::SetPifAOFrameSync);
}
void ImagerHID::GetPIFOutFrameSync(std::uint16_t* value, std::int16_t chan) {
    getLevel(levelFrameSync, value, chan);
}

void ImagerHID::SetPIFOutSamplePointTable(std::int32_t* points, std::int32_t count, double factor,
                                          double offset, bool percent, std::int16_t chan) {
    if (!points || count <= 0 || chan < 0 || static_cast<std::size_t>(chan) >= aoValues.size()) {
        return;
    }
    std::vector<std::int16_t> table(static_cast<std::size_t>(count) * 2);
    std::vector<std::uint32_t> packed(static_cast<std::size_t>(count));
    const float gain = pifOutGain[chan], off = pifOutOffset[chan];
    for (std::int32_t i = 0; i < count; ++i) {
        const std::uint32_t p = static_cast<std::uint32_t>(points[i]);
        const std::uint16_t key = static_cast<std::uint16_t>(p & 0xFFFF);
        const double r = static_cast<double>(p >> 16);
        double value = (percent ? r * 0.01 : (r - 1000.0) * 0.1) * factor + offset;
        value = std::min(std::max(value, 0.0), 1024.0);
        const std::uint16_t dac =
            clampTo<std::uint16_t>(static_cast<float>(gain * value + off), 0.0f, 1023.0f);
        table[2 * i] = static_cast<std::int16_t>(key);
        table[2 * i + 1] = static_cast<std::int16_t>(dac);
        packed[i] = key | (static_cast<std::uint32_t>(dac) << 16);
    }
    if (packed == lastSampleTable) {
        return;
    }
    hid.SetPifAOSamplePointTable(table.data(), count);
    lastSampleTable = std::move(packed);
}

bool ImagerHID::GetPIFInDigitalFlagLowActive() {
    return diFlagLowActive != 0;
}

std::int32_t ImagerHID::SetPIFInDigitalFlagLowActive(bool lowActive) {
    diFlagLowActive = lowActive ? 1 : 0;
    return hid.SetPifDIFlagLowActive(lowActive);
}

std::uint16_t ImagerHID::GetPIFInThreshold() {
    return pifInThreshold;
}

std::uint16_t ImagerHID::SetPIFInThreshold(std::uint16_t threshold) {
    pifInThreshold = std::min<std::uint16_t>(threshold, 1010);
    return pifInThreshold;
}

bool ImagerHID::GetPIFInDigitalLowActive() {
    return diLowActive != 0;
}

void ImagerHID::SetPIFInDigitalLowActive(bool lowActive) {
    diLowActive = lowActive ? 1 : 0;
}

std::int32_t ImagerHID::GetPifType() {
    return pifType();
}

std::uint8_t ImagerHID::GetPifInfoFlag() {
    return pifInfo ? pifInfo->infoFlag : 0;
}

bool ImagerHID::GetChecksumValid() {
    return checksumValid;
}

std::int32_t ImagerHID::CheckFlagSource() {
    std::int32_t source = 0;
    for (std::size_t i = 0; i < diModes.size(); ++i) {
        if (diModes[i] == 1) {
            source = static_cast<std::int32_t>(i) + 1;
            break;
        }
    }
    if (source == 0) {
        for (std::size_t i = 0; i < aiModes.size(); ++i) {
            if (aiModes[i] == 1) {
                source = -1 - static_cast<std::int32_t>(i);
                break;
            }
        }
    }
    flagSource = source;
    return source;
}

// ---- chip heating, flag, trims -------------------------------------------------------------

float ImagerHID::limitTec(float t) const {
    return std::min(std::max(t, tecMinTemperature), tecMaxTemperature);
}

void ImagerHID::SetTempTec(float degC) {
    tempTec = degC;
    const float c = limitTec(degC);
    SetTec_A(clampTo<std::uint16_t>((tecOffset - c) * tecGain, 0.0f, 65535.0f));
}

void ImagerHID::GetTempTec(float* degC) {
    if (degC) {
        *degC = tempTec;
    }
}

void ImagerHID::SetTec_A(std::uint16_t value) {
    state.tecA = value;
    sleepMs(10);
    hid.SetTec_A(value);
    tempTec = tecGain == 0.0f ? 0.0f : limitTec(tecOffset - value / tecGain);
}

void ImagerHID::GetTec_A(std::uint16_t* value) {
    if (value) {
        *value = state.tecA;
    }
}

std::int32_t ImagerHID::SetTec_B(std::uint16_t value) {
    state.tecB = value;
    sleepMs(10);
    return hid.SetTec_B(value);
}
void ImagerHID::GetTec_B(std::uint16_t* value) {
    if (value) {
        *value = state.tecB;
    }
}
std::int32_t ImagerHID::SetTec_C(std::uint16_t value) {
    state.tecC = value;
    sleepMs(10);
    return hid.SetTec_C(value);
}
void ImagerHID::GetTec_C(std::uint16_t* value) {
    if (value) {
        *value = state.tecC;
    }
}
std::int32_t ImagerHID::SetTec_D(std::uint16_t value) {
    state.tecD = value;
    sleepMs(10);
    return hid.SetTec_D(value);
}
void ImagerHID::GetTec_D(std::uint16_t* value) {
    if (value) {
        *value = state.tecD;
    }
}

std::int32_t ImagerHID::SetTecEnable(bool on) {
    tecEnable = on;
    sleepMs(10);
    return hid.SetTecCtl(on);
}

void ImagerHID::GetTecEnable(bool* on) {
    if (on) {
        *on = tecEnable;
    }
}

std::int32_t ImagerHID::GetFlag(std::int32_t* stateOut) {
    const std::int32_t s = flagClosed ? 1 : 0;
    if (stateOut) {
        *stateOut = s;
    }
    return s;
}

std::int32_t ImagerHID::SetFlag(bool closed) {
    lastFlagArgument = closed ? 1 : 0;
    flagClosed = closed;
    return hid.SetFlag(closed);
}

std::int32_t ImagerHID::SetFlagCycle(std::uint16_t cycles) {
    return hid.SteuerFlagCycle(&cycles);
}

void ImagerHID::SetSkim(std::uint16_t value) {
    if (value == state.skim) {
        return;
    }
    state.skim = value;
    sleepMs(10);
    hid.SetSkimFlex(value, false);
}

void ImagerHID::SetSkim_Ext(std::uint16_t value) {
    if (value == state.skim) {
        return;
    }
    state.skim = value;
    sleepMs(10);
    hid.SetSkimFlex(value, true);
}

void ImagerHID::GetSkim(std::uint16_t* value) {
    if (value) {
        *value = state.skim;
    }
}
void ImagerHID::SetSkim_Adjust(std::uint16_t value) {
    state.skimAdjust = value;
}
void ImagerHID::GetSkim_Adjust(std::uint16_t* value) {
    if (value) {
        *value = state.skimAdjust;
    }
}

void ImagerHID::SetFid(std::uint16_t value) {
    if (value == state.fid) {
        return;
    }
    state.fid = value;
    sleepMs(10);
    hid.SetFidFlex(value, false);
}

void ImagerHID::SetFid_Ext(std::uint16_t value) {
    if (value == state.fid) {
        return;
    }
    state.fid = value;
    sleepMs(10);
    hid.SetFidFlex(value, true);
}

void ImagerHID::GetFid(std::uint16_t* value) {
    if (value) {
        *value = state.fid;
    }
}
void ImagerHID::SetFid_Adjust(std::uint16_t value) {
    state.fidAdjust = value;
}
void ImagerHID::GetFid_Adjust(std::uint16_t* value) {
    if (value) {
        *value = state.fidAdjust;
    }
}

std::int32_t ImagerHID::SetBiasEnable(bool on) {
    if (isDeviceClass8()) {
        return 8;
    }
    biasEnable = on;
    sleepMs(10);
    return hid.EnableBias(on);
}

void ImagerHID::GetBiasEnable(bool* on) {
    if (on) {
        *on = biasEnable;
    }
}

std::int32_t ImagerHID::SetPowerEnable(bool on) {
    powerEnable = on;
    return hid.SetPwrCtl(on);
}

void ImagerHID::GetPowerEnable(bool* on) {
    if (on) {
        *on = powerEnable;
    }
}

void ImagerHID::GetAntiFlicker(bool* on) {
    if (on) {
        *on = antiFlicker;
    }
}

std::int32_t ImagerHID::SetAntiFlicker(bool on) {
    antiFlicker = on;
    return static_cast<std::int32_t>(hid.SetAntiFlicker(on));
}

std::int32_t ImagerHID::SetClippedFormatPosition(std::uint16_t x, std::uint16_t y) {
    clipX = x;
    clipY = y;
    return hid.SetClippedFormatPosition(x, y);
}

void ImagerHID::GetClippedFormatPosition(std::uint16_t* x, std::uint16_t* y) {
    if (x) {
        *x = clipX;
    }
    if (y) {
        *y = clipY;
    }
}

std::int32_t ImagerHID::SetLaserEnable(bool on) {
    if (isDeviceClass8()) {
        return 8;
    }
    laserEnable = on;
    return hid.SetLaserCtl(on);
}

void ImagerHID::GetLaserEnable(bool* on) {
    if (on) {
        *on = laserEnable;
    }
}

// ---- temperatures, focus, flash ------------------------------------------------------------

std::int32_t ImagerHID::GetTempChip(float* degC) {
    float t = -100.0f;
    const std::int32_t r = hid.GetTchip(&t);
    if (degC) {
        *degC = t * chipGain + chipOffset;
    }
    return r;
}

std::int32_t ImagerHID::GetTempBox(float* degC) {
    float t = -100.0f;
    const std::int32_t r = hid.GetTBox(&t);
    if (degC) {
        *degC = t + boxOffset;
    }
    return r;
}

std::int32_t ImagerHID::GetTempFlag(float* degC) {
    float t = -100.0f;
    const std::int32_t r = hid.GetTFlag(&t);
    if (degC) {
        *degC = t + flagOffset;
    }
    return r;
}

std::int32_t ImagerHID::GetTempOptics(float* degC) {
    float t = -100.0f;
    const std::int32_t r = hid.GetTOptics(&t);
    if (degC) {
        *degC = t + opticsOffset;
    }
    return r;
}

void ImagerHID::GetFocusmotorRange(std::uint16_t* first, std::uint16_t* second) {
    if (focusRangeFirst == 0 && focusRangeSecond == 0) {
        hid.GetFocusmotorRange(&focusRangeFirst, &focusRangeSecond);
    }
    if (first) {
        *first = focusRangeFirst;
    }
    if (second) {
        *second = focusRangeSecond;
    }
}

std::int32_t ImagerHID::GetFocusmotorPos(std::uint16_t* position) {
    std::uint16_t p = 0;
    const std::int32_t r = hid.GetFocusmotorPos(&p);
    if (position) {
        *position = p;
    }
    return r;
}

std::int32_t ImagerHID::QueryFlashMemory(std::uint32_t address) {
    return hid.QueryFlashMemory(address);
}

std::int32_t ImagerHID::FirmwareRead(std::uint8_t* data, std::uint16_t length) {
    return hid.FirmwareRead(data, length);
}

std::int32_t ImagerHID::FirmwareWrite(std::uint8_t* data, std::uint16_t length) {
    return hid.FirmwareWrite(data, length);
}

void ImagerHID::ControlJTAGPort(std::uint8_t* command, std::uint8_t* data, std::uint8_t noAnswer,
                                std::uint16_t bitCount, std::uint8_t mode) {
    hid.ControlJTAGPort(command, data, noAnswer, bitCount, mode);
}

bool ImagerHID::MCSFirmwareCheck(std::uint8_t* image, std::int32_t length) {
    return hid.MCSFirmwareCheck(image, length);
}

bool ImagerHID::MCSFirmwareWrite(std::uint8_t* image, std::int32_t length) {
    return hid.MCSFirmwareWrite(image, length);
}

std::int32_t ImagerHID::SetTCPIPConfig(std::uint32_t address, std::uint32_t mask,
                                       std::uint32_t gateway) {
    return hid.SetTCPIPConfig(address, mask, gateway);
}

std::int32_t ImagerHID::GetTCPIPConfig(std::uint32_t* address, std::uint32_t* mask,
                                       std::uint32_t* gateway) {
    return hid.GetTCPIPConfig(address, mask, gateway);
}

// ---- autonomous mode and deferred jobs -----------------------------------------------------

std::int32_t ImagerHID::ConfigAutonomousPifAO_ForMeasureArea(tagAutonomousPifAOConfig* cfg) {
    if (!cfg) {
        return -1;
    }
    channelAddress(2, cfg->aoIndex, &cfg->device, &cfg->channel);
    return hid.ConfigAutonomousPifAO_ForMeasureArea(cfg);
}

std::int32_t ImagerHID::ConfigAutonomousPifAO_ForAlarm(tagAutonomousPifAOConfig* cfg) {
    if (!cfg) {
        return -1;
    }
    channelAddress(2, cfg->aoIndex, &cfg->device, &cfg->channel);
    return hid.ConfigAutonomousPifAO_ForAlarm(cfg);
}

std::int32_t ImagerHID::ConfigAutonomousPifAO_ForTInt(tagAutonomousPifAOConfig* cfg) {
    if (!cfg) {
        return -1;
    }
    channelAddress(2, cfg->aoIndex, &cfg->device, &cfg->channel);
    return hid.ConfigAutonomousPifAO_ForTInt(cfg);
}

void ImagerHID::queueJob(std::uint16_t type, std::uint16_t index, std::uint32_t delayMs,
                         const std::uint8_t* head, std::size_t headLength,
                         const std::vector<std::pair<const void*, std::size_t>>& tails) {
    // The record comes first, each array after it at an offset its elements may sit on.
    std::size_t length = headLength;
    for (const auto& t : tails) {
        length = alignUp(length, alignof(float)) + t.second;
    }
    std::lock_guard<std::mutex> lock(jobMutex);
    DeferredJob job;
    for (auto it = jobs.begin(); it != jobs.end(); ++it) {
        if (it->type == type && it->index == index) {
            job = std::move(*it);
            jobs.erase(it);
            break;
        }
    }
    job.type = type;
    job.index = index;
    job.deadline = platform::clock().tickMs() + delayMs;
    job.buffer.assign(length, 0);
    std::memcpy(job.buffer.data(), head, headLength);
    std::size_t pos = headLength;
    for (const auto& t : tails) {
        pos = alignUp(pos, alignof(float));
        if (t.first) {
            std::memcpy(job.buffer.data() + pos, t.first, t.second);
        }
        pos += t.second;
    }
    jobs.push_back(std::move(job));
}

std::int32_t ImagerHID::ConfigAutonomousSettings(tagAutonomousSettings* settings) {
    if (!settings) {
        return -1;
    }
    queueJob(DeferredJob::AutonomousSettings, 0, kConfigDelayMs,
             reinterpret_cast<const std::uint8_t*>(settings), sizeof(*settings), {});
    return 0;
}

std::int32_t ImagerHID::ConfigAutonomousMeasureArea(tagAutonomousAreaConfig* area) {
    if (!area) {
        return -1;
    }
    queueJob(DeferredJob::MeasureArea, area->areaIndex, kConfigDelayMs,
             reinterpret_cast<const std::uint8_t*>(area), sizeof(*area),
             {{area->pixelMask, area->pixelCount}});
    return 0;
}

std::int32_t ImagerHID::ConfigAutonomousCalculatedArea(tagAutonomousAreaConfig* area) {
    if (!area) {
        return -1;
    }
    const std::size_t entries = std::max<std::int16_t>(area->entryCount, 0);
    const std::size_t values = std::max<std::int16_t>(area->valueCount, 0);
    const std::size_t flags = std::max<std::int16_t>(area->flagCount, 0);
    queueJob(DeferredJob::CalculatedArea, area->areaIndex, kConfigDelayMs,
             reinterpret_cast<const std::uint8_t*>(area), sizeof(*area),
             {{area->entries, entries * sizeof(std::uint16_t)},
              {area->values, values * sizeof(float)},
              {area->flags, flags}});
    return 0;
}

void ImagerHID::SetFocusmotorPos(std::uint16_t position) {
    queueJob(DeferredJob::FocusPosition, 0, 0, reinterpret_cast<const std::uint8_t*>(&position),
             sizeof(position), {});
}

void ImagerHID::sendJob(HIDDevice& hid, DeferredJob& job) {
    std::uint8_t* base = job.buffer.data();
    switch (job.type) {
        case DeferredJob::MeasureArea: {
            tagAutonomousAreaConfig area;
            std::memcpy(&area, base, sizeof(area));
            area.pixelMask = base + alignUp(sizeof(area), alignof(float));
            hid.ConfigAutonomousMeasureArea(&area);
            break;
        }
        case DeferredJob::CalculatedArea: {
            tagAutonomousAreaConfig area;
            std::memcpy(&area, base, sizeof(area));
            std::size_t pos = alignUp(sizeof(area), alignof(float));
            area.entries = reinterpret_cast<std::uint16_t*>(base + pos);
            pos = alignUp(pos + std::max<std::int16_t>(area.entryCount, 0) * sizeof(std::uint16_t),
                          alignof(float));
            area.values = reinterpret_cast<float*>(base + pos);
            pos = alignUp(pos + std::max<std::int16_t>(area.valueCount, 0) * sizeof(float),
                          alignof(float));
            area.flags = base + pos;
            hid.ConfigAutonomousCalculatedArea(&area);
            break;
        }
        case DeferredJob::FocusPosition: {
            std::uint16_t position = 0;
            std::memcpy(&position, base, sizeof(position));
            hid.SetFocusmotorPos(position);
            break;
        }
        case DeferredJob::AutonomousSettings: {
            tagAutonomousSettings settings;
            std::memcpy(&settings, base, sizeof(settings));
            hid.ConfigAutonomousSettings(&settings);
            break;
        }
        default:
            break;
    }
}

std::int32_t ImagerHID::ProcessDeferredCommands() {
    // Due jobs leave the queue under the lock and are sent outside it, so a job queued
    // meanwhile never touches a buffer being sent. A queue busy with queuing is skipped.
    std::list<DeferredJob> due;
    {
        std::unique_lock<std::mutex> lock(jobMutex, std::try_to_lock);
        if (!lock.owns_lock() || jobs.empty()) {
            return 0;
        }
        const std::uint32_t now = platform::clock().tickMs();
        for (auto it = jobs.begin(); it != jobs.end();) {
            const bool isDue =
                !it->buffer.empty() && now != it->deadline && platform::reached(now, it->deadline);
            auto next = std::next(it);
            if (isDue) {
                due.splice(due.end(), jobs, it);
            }
            it = next;
        }
    }
    for (auto& job : due) {
        sendJob(hid, job);
    }
    return static_cast<std::int32_t>(due.size());
}
