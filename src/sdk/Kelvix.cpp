// The imager (zol::Kelvix): initialisation, per-frame processing and flag automation, the
// handlers of the chain's callbacks and the settings. init and settings run on the
// application's thread; process and the handlers on the capture thread (or the worker).

#include "kelvix/Kelvix.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <iterator>
#include <limits>
#include <vector>

#include "device/ImagerHID.h"
#include "device/PlaybackControlDevice.h"
#include "imgproc/Cali.h"
#include "imgproc/IRMeasurementField.h"
#include "imgproc/ImageProcessing.h"
#include "imgproc/TraceOp.h"
#include "kelvix/IRCalibrationManager.h"
#include "kelvix/SimpleXML.h"
#include "platform/Clock.h"
#include "platform/HResult.h"
#include "platform/Paths.h"
#include "platform/Strings.h"
#include "sdk/CallbackGuard.h"
#include "sdk/FlagAutomation.h"
#include "sdk/FrameMutex.h"
#include "sdk/FrameThread.h"
#include "sdk/Log.h"
#include "sdk/RadiationLimits.h"
#include "sdk/kelvix_callback.h"

namespace zol {

namespace {

constexpr std::uint32_t kVendorId = 0x0403;
constexpr std::uint32_t kProductId = 0xDE37;
constexpr unsigned short kRawBitCount = 16;
constexpr float kFramerateWithoutShortCaps = 9.0f;
constexpr std::size_t kPathCapacity = 260;
constexpr std::int64_t kTicksPerSecond = 10'000'000;
constexpr float kNoTemperature = -100.0f;
constexpr int kMetaDataSize = 128;

enum Temperature { Box, Chip, Flag };

using FrameLock = std::lock_guard<FrameMutex>;

// Replaced between two frames: the frame in progress keeps the old value until it ends. What
// the new one throws is reported afresh.
template <class T>
void replaceBetweenFrames(FrameMutex& frameMutex, CallbackGuard& guard, std::atomic<T>& slot,
                          T value) {
    FrameLock lock(frameMutex);
    slot = value;
    guard.rearm();
}

std::unique_ptr<wchar_t[]> copyWide(const wchar_t* text) {
    if (text == nullptr) {
        return nullptr;
    }
    const std::size_t n = std::wcslen(text);
    std::unique_ptr<wchar_t[]> copy(new wchar_t[n + 1]);
    std::wmemcpy(copy.get(), text, n + 1);
    return copy;
}

// The text cut to what a 260-character buffer with its terminator holds.
std::wstring bounded(const wchar_t* text) {
    std::wstring s = text != nullptr ? text : L"";
    if (s.size() >= kPathCapacity) {
        s.resize(kPathCapacity - 1);
    }
    return s;
}

// Process-interface configuration of the imager: digital input 0 in mode 3 with level byte 1,
// so a change of that input raises the chain's snapshot request.
std::vector<std::uint8_t> snapshotInputConfig() {
    std::vector<std::uint8_t> bytes(PifConfigRecord::kHeaderSize + PifConfigRecord::kEntrySize, 0);
    PifConfigRecord header{};
    header.size = static_cast<std::uint16_t>(bytes.size());
    header.digitalInputCount = 1;
    header.diLowActive = 1;
    std::memcpy(bytes.data(), &header, sizeof header);
    PifConfigEntry entry{};
    entry.mode = 3;
    std::memcpy(bytes.data() + PifConfigRecord::kHeaderSize, &entry, sizeof entry);
    return bytes;
}

}  // namespace

Kelvix::Kelvix()
    : frameMutex_(std::make_unique<FrameMutex>()),
      guard_(std::make_unique<CallbackGuard>()),
      flags_(std::make_unique<FlagAutomation>()) {
    unsigned index = 0;
    while (index < kMaxInstances && kelvix_callback::instanceSlotUsed[index] != 0) {
        ++index;
    }
    if (index == kMaxInstances) {
        KLOG_ERROR("Maximum number of instances reached ... aborting");
        std::abort();
    }
    instanceIndex_ = index;
    kelvix_callback::instanceSlotUsed[index] = 1;
}

Kelvix::~Kelvix() {
    if (frame_thread::inFrameOf(this)) {
        // Its frame is still on the stack of this thread; the chain cannot go from under it.
        KLOG_ERROR("Imager of camera " << serial_
                                       << " destroyed from its own frame callback; destroy it "
                                          "from another thread. Ending the process.");
        std::abort();
    }
    freeMemory();
    kelvix_callback::instanceTable[instanceIndex_].store(nullptr, std::memory_order_release);
    kelvix_callback::instanceSlotUsed[instanceIndex_] = 0;
}

bool Kelvix::refusedInOwnFrame(const char* operation) const {
    if (!frame_thread::inFrameOf(this)) {
        return false;
    }
    KLOG_ERROR(operation << " of camera " << serial_
                         << " refused in its own frame callback: it rebuilds the chain that "
                            "runs the frame; call it from another thread");
    return true;
}

void* Kelvix::userArg() const {
    return kelvix_callback::instanceUserArg[instanceIndex_].load(std::memory_order_relaxed);
}

bool Kelvix::reconnect(IRDeviceParams* params, unsigned cameraRate, unsigned widthIn,
                       unsigned heightIn, bool useHID, unsigned short hwRev, unsigned short fwRev) {
    if (refusedInOwnFrame("reconnect")) {
        return false;
    }
    initialised_ = false;
    widthIn_ = 0;
    heightIn_ = 0;
    cameraFramerate_ = 0;
    freeMemory();
    return init(params, cameraRate, widthIn, heightIn, useHID, hwRev, fwRev);
}

wchar_t* Kelvix::checkCalibration() {
    IRCalibrationManager* manager = IRCalibrationManager::getInstance();
    if (caliPath_ != nullptr) {
        manager->setCalibrationDir(bounded(caliPath_.get()).c_str());
    }
    return manager->checkCalibration(serial_);
}

// The directories init works with: the configured ones, else the calibration manager's.
struct Kelvix::WorkingDirectories {
    std::wstring formats;
    std::wstring calibration;
};

// Initialisation, step by step; the first step that fails logs its ERROR line and ends it.
bool Kelvix::init(IRDeviceParams* params, unsigned cameraRate, unsigned widthIn, unsigned heightIn,
                  bool useHID, unsigned short hwRev, unsigned short fwRev) {
    if (initialised_) {
        return true;
    }
    if (refusedInOwnFrame("init")) {
        return false;
    }
    // Whatever an earlier, failed attempt built goes first.
    freeMemory();
    if (!argumentsValid(params, cameraRate, useHID, hwRev, fwRev)) {
        return false;
    }
    const WorkingDirectories dirs = takeDirectories(*params);
    if (!loadCalibrationDescription(dirs.calibration, params->serial)) {
        return false;
    }
    adoptParameters(*params, cameraRate, widthIn, heightIn);
    if (!selectTemperatureRange(*params) || !formatDefinitionsFound(dirs.formats) ||
        !calibrationComplete() || !determineFieldOfView(dirs.calibration) ||
        !openControlDevice(useHID, hwRev, fwRev) ||
        !buildChain(dirs, cameraRate, widthIn, heightIn)) {
        return false;
    }
    configureCamera();
    // A failed query leaves F at 0: the range is then chosen without a frame rate and every
    // frame is passed on.
    outputFramerate_ = chain_->queryOutputFrequency(widthIn, heightIn, cameraRate);
    if (chain_->setTempRange(fov_, opticsText_.get(), static_cast<float>(tMin_),
                             static_cast<float>(tMax_),
                             static_cast<std::uint16_t>(outputFramerate_)) != 0) {
        KLOG_ERROR(
            "Error setting temperature range and frame rate. Check videoformatindex for "
            "validity.");
        return false;
    }
    if (bispectral_ != 0) {
        chain_->addVisibleSource();
    }
    chain_->setFlagStateCallback(kelvix_callback::flagState[instanceIndex_]);
    chain_->snapshotCallback = kelvix_callback::snapshotEvent[instanceIndex_];
    limitOutputFramerate();
    if (!initOperatorsAndTables()) {
        return false;
    }
    chain_->setFlagCorrectionMode(2);  // automatic
    flags_->startFlag();               // the first raw frame triggers a flag
    applyChipHeating();
    FlagTemperatures last;
    chain_->getTempBox(&last.box);
    chain_->getTempChip(&last.chip);
    chain_->getTempFlag(&last.flag);
    flags_->setLastFlagTemperatures(last);
    flags_->setFirstFlagPending(true);
    initialised_ = true;
    return true;
}

bool Kelvix::argumentsValid(const IRDeviceParams* params, unsigned cameraRate, bool useHID,
                            unsigned short hwRev, unsigned short fwRev) const {
    if (params == nullptr || params->serial == 0) {
        KLOG_ERROR("Uninitialized video device passed (serial = "
                   << (params != nullptr ? params->serial : 0) << ")");
        return false;
    }
    if (!useHID && (hwRev == 0 || fwRev == 0)) {
        KLOG_ERROR("HWRev and FWRev must be passed, if HID is not used.");
        return false;
    }
    if (cameraRate == 0 || kTicksPerSecond / cameraRate == 0) {
        KLOG_ERROR("Invalid camera frame rate: " << cameraRate << " Hz");
        return false;
    }
    return true;
}

Kelvix::WorkingDirectories Kelvix::takeDirectories(const IRDeviceParams& params) {
    IRCalibrationManager* manager = IRCalibrationManager::getInstance();
    formatsPath_ = copyWide(params.formatsPath);
    caliPath_ = copyWide(params.caliPath);
    WorkingDirectories dirs;
    dirs.formats = bounded(formatsPath_ != nullptr ? formatsPath_.get() : manager->getFormatsDir());
    dirs.calibration =
        bounded(caliPath_ != nullptr ? caliPath_.get() : manager->getCalibrationDir());
    return dirs;
}

bool Kelvix::loadCalibrationDescription(const std::wstring& caliDir, std::uint32_t serial) {
    calibration_ = Cali::acquire(caliDir.c_str(), static_cast<int>(serial));
    if (calibration_ == nullptr) {
        KLOG_ERROR("Main calibration file missing or inaccessible: " << platform::toNarrow(
                       caliDir + L"/Cali-" + std::to_wstring(static_cast<int>(serial)) + L".xml"));
        return false;
    }
    return true;
}

void Kelvix::adoptParameters(const IRDeviceParams& params, unsigned cameraRate, unsigned widthIn,
                             unsigned heightIn) {
    serial_ = params.serial;
    guard_->setSerial(serial_);
    fov_ = params.fov;
    tMin_ = params.tMin;
    tMax_ = params.tMax;
    framerate_ = params.framerate;
    videoFormatIndex_ = params.videoFormatIndex;
    bispectral_ = params.bispectral;
    average_ = params.average;
    flags_->setAutoFlag(params.autoFlag != 0);
    flags_->setIntervals(params.minInterval, params.maxInterval);
    pifMode_ = params.pifInMode;
    tChipMode_ = params.tChipMode;
    tChipFixedValue_ = params.tChipFixedValue;
    kelvix_callback::instanceTable[instanceIndex_].store(this, std::memory_order_release);
    emissivity_ = transmissivity_ = 1.0f;
    flags_->start(FlagTemperatures{});
    maxFramerate_ = 0.0f;
    width_ = 0;
    height_ = 0;
    visibleWidth_ = 0;
    visibleHeight_ = 0;
    cameraFramerate_ = cameraRate;
    widthIn_ = widthIn;
    heightIn_ = heightIn;
    KLOG_INFO("Init thermal imager with size: " << widthIn << "x" << heightIn << "@" << cameraRate
                                                << " Hz");
}

bool Kelvix::selectTemperatureRange(IRDeviceParams& params) {
    IRCalibrationManager* manager = IRCalibrationManager::getInstance();
    if (params.caliPath != nullptr) {
        manager->setCalibrationDir(bounded(params.caliPath).c_str());
    }
    if (params.formatsPath != nullptr) {
        manager->setFormatsDir(bounded(params.formatsPath).c_str());
    }
    const std::vector<IROptics>* optics = manager->getAvailableOptics(serial_);

    opticsText_.reset();
    if (tMin_ == 0 && tMax_ == 0) {
        if (optics == nullptr || optics->empty() || optics->front().tempRanges.empty()) {
            KLOG_ERROR("No optics with a temperature range in the calibration of camera "
                       << serial_ << " and no range configured");
            return false;
        }
        const IROptics& first = optics->front();
        tMin_ = first.tempRanges.front().tMin;
        tMax_ = first.tempRanges.front().tMax;
        KLOG_DEBUG("No temperature range configuration specified. Setting default values tMin: "
                   << tMin_ << " , tMax: " << tMax_);
        if (params.opticsText == nullptr) {
            params.opticsText = copyWide(first.text.c_str()).release();  // the caller's now
        }
    }
    if (params.opticsText != nullptr) {
        opticsText_ = copyWide(params.opticsText);
    }
    return true;
}

bool Kelvix::formatDefinitionsFound(const std::wstring& formatsDir) const {
    std::wstring formatsFile = formatsDir;
    if (formatsFile.empty()) {
        std::wstring appData;
        if (platform::appDataFolder(appData)) {
            formatsFile = bounded(platform::joinPath(appData, L"Imager").c_str());
        }
    }
    platform::createDirectory(formatsFile);
    formatsFile = bounded(platform::joinPath(formatsFile, L"Formats.def").c_str());
    if (!platform::fileExists(formatsFile)) {
        KLOG_ERROR(
            "Formats.def file cannot be found. Check configuration of <formatspath> "
            "tag and existence of file.");
        return false;
    }
    return true;
}

bool Kelvix::calibrationComplete() {
    if (const std::unique_ptr<wchar_t[]> missing{checkCalibration()}) {
        const std::wstring list = missing.get();
        if (!list.empty()) {
            KLOG_ERROR("Missing calibration files " << platform::toNarrow(list));
            return false;
        }
    }
    return true;
}

bool Kelvix::determineFieldOfView(const std::wstring& caliDir) {
    if (fov_ != 0) {
        return true;
    }
    SimpleXML xml;
    const std::wstring path = caliDir + L"/Cali-" + std::to_wstring(serial_) + L".xml";
    if (xml.open(path.c_str(), L"CaliData") && xml.openNode(L"Temperature") &&
        xml.openNode(L"Optics") && xml.openNode(L"OpticsDef")) {
        int fov = 0;
        if (xml.getInt(L"FOV", &fov)) {
            fov_ = fov;
        }
    }
    if (fov_ == 0) {
        KLOG_ERROR("Unable to determine valid field of view");
        return false;
    }
    return true;
}

bool Kelvix::openControlDevice(bool useHID, unsigned short hwRev, unsigned short fwRev) {
    controlDevice_.reset();
    if (!useHID) {
        // Frames come from a recording: the chain gets a device that knows the recorded
        // camera's identity instead of a camera.
        KLOG_DEBUG("Using playback control interface (HWRev " << hwRev << ", FWRev " << fwRev
                                                              << ")");
        controlDevice_ = std::make_unique<PlaybackControlDevice>(serial_, hwRev, fwRev);
        return true;
    }
    KLOG_DEBUG("Using HID control interface");
    auto hid = std::make_unique<ImagerHID>();
    bool sameDevice = false;
    const std::int32_t connected = hid->Init(kVendorId, kProductId, serial_, false, &sameDevice);
    hid->InitPif();
    if (connected != 0) {
        KLOG_ERROR("udev device is NULL");
        return false;
    }
    controlDevice_ = std::move(hid);
    return true;
}

bool Kelvix::buildChain(const WorkingDirectories& dirs, unsigned cameraRate, unsigned widthIn,
                        unsigned heightIn) {
    // Identity, directories and this instance's frame callbacks.
    ImageProcessingConfig config;
    config.serial = serial_;
    platform::copyBounded(config.calibrationDirectory, std::size(config.calibrationDirectory),
                          dirs.calibration);
    platform::copyBounded(config.tableDirectory, std::size(config.tableDirectory),
                          dirs.calibration);
    platform::copyBounded(config.formatsDirectory, std::size(config.formatsDirectory),
                          dirs.formats);
    const unsigned slot = instanceIndex_;
    config.initCallbacks[ImageProcessingConfig::kThermalSlot] =
        kelvix_callback::thermalFrameInit[slot];
    config.doneCallbacks[ImageProcessingConfig::kThermalSlot] = kelvix_callback::thermalFrame[slot];
    if (bispectral_ != 0) {
        config.initCallbacks[ImageProcessingConfig::kVisibleSlot] =
            kelvix_callback::visibleFrameInit[slot];
        config.doneCallbacks[ImageProcessingConfig::kVisibleSlot] =
            kelvix_callback::visibleFrame[slot];
    }

    chain_ = std::make_unique<ImageProcessing>();
    timestampCell_ = std::make_unique<std::int64_t>(0);
    frameNumberCell_ = std::make_unique<std::uint64_t>(0);
    rawBufferRecord_ = std::make_unique<RawBufferRecord>();
    rawBufferRecord_->timestamp = timestampCell_.get();
    rawBufferRecord_->frameNumber = frameNumberCell_.get();
    maxFramerate_ = static_cast<float>(cameraRate);
    hwInterval_ = 1.0f / static_cast<float>(cameraRate);
    FrameInitRecord raw{};
    raw.width = widthIn;
    raw.height = heightIn;
    raw.bitCount = kRawBitCount;
    raw.avgTimePerFrame = kTicksPerSecond / cameraRate;
    KLOG_DEBUG("Frameconfig - width(in): "
               << widthIn << ", height(in): " << heightIn << ", interval: " << raw.avgTimePerFrame
               << ", max framerate: " << maxFramerate_ << ", HW interval: " << hwInterval_);

    if (chain_->init(controlDevice_.get(), &config, &raw, rawBufferRecord_.get(),
                     kelvix_callback::processExit[slot]) != 0) {
        return failChain("Error initializing image processing chain");
    }
    chain_->setFrameLock(frameMutex_.get());
    return true;
}

void Kelvix::configureCamera() {
    chain_->applyTecCalibration();
    chain_->applySensorOffsets();
    const std::vector<std::uint8_t> pif = snapshotInputConfig();
    chain_->configurePif(reinterpret_cast<const PifConfigRecord*>(pif.data()));
}

void Kelvix::limitOutputFramerate() {
    if (!controlDevice_->GetShortImagerCaps() && framerate_ > kFramerateWithoutShortCaps) {
        framerate_ = kFramerateWithoutShortCaps;
    }
    double ratio = 1.0;
    if (outputFramerate_ > 0) {
        ratio = static_cast<double>(framerate_) / outputFramerate_;
        ratio = ratio > 1.0 ? 1.0 : (ratio <= 0.0 ? 0.0 : ratio);
    }
    chain_->setOutputRate(ratio);
}

bool Kelvix::initOperatorsAndTables() {
    const HRESULT r = chain_->initOperators();
    // The calibration steps need the operators' frames; a chain that stopped earlier has none.
    HRESULT correction = E_FAIL;
    HRESULT table = E_FAIL;
    if (r == 0 || chain_->hasThermalOutput()) {
        correction = chain_->readCalibration();
        table = chain_->loadTemperatureTable();
        chain_->updateRadiationParameters(0, emissivity_, transmissivity_);
    }
    if (r != 0) {
        return failChain("Error initializing image processing chain");
    }
    // Without its correction data or its table every image would be wrong.
    if (FAILED(correction)) {
        return failChain(rangeFailure("Correction data").c_str());
    }
    if (FAILED(table)) {
        return failChain(rangeFailure("Temperature table").c_str());
    }
    imageReady_ = false;
    awaitingFlag_ = usesFlagOffsets();
    tableLoaded_ = true;
    return true;
}

void Kelvix::applyChipHeating() {
    if (tChipMode_ == 1) {
        chain_->setAutoChipHeating();
        KLOG_DEBUG("Automatic chip heating enabled");
    } else if (tChipMode_ == 2) {
        controlDevice_->SetTecEnable(true);
        controlDevice_->SetTempTec(tChipFixedValue_);
        KLOG_DEBUG("Manual chip heating enabled, fixed temperature: " << tChipFixedValue_);
    } else {
        controlDevice_->SetTecEnable(false);
        KLOG_DEBUG("Chip heating disabled");
    }
}

bool Kelvix::usesFlagOffsets() const {
    // A calibration without flag cycles takes no offsets from the flag.
    return chain_ != nullptr && chain_->getFlagCycles() != 0;
}

std::string Kelvix::rangeFailure(const char* what) const {
    return std::string(what) + " of camera " + std::to_string(serial_) + " for " +
           std::to_string(tMin_) + ".." + std::to_string(tMax_) + " degC could not be loaded";
}

bool Kelvix::failChain(const char* reason) {
    chain_.reset();
    KLOG_ERROR(reason);
    return false;
}

void Kelvix::freeMemory() {
    // The chain goes before the device: its worker and its operators still reach the device.
    // The worker is stopped outside the imager lock: it may be waiting for it.
    if (chain_ != nullptr) {
        // The worker ends its frame first: that frame's callbacks still reach the chain, the
        // device and the buffers.
        chain_->stopWorker();
        KLOG_DEBUG("Delete image processing");
        FrameLock lock(*frameMutex_);
        chain_.reset();
    }
    if (controlDevice_ != nullptr) {
        KLOG_DEBUG("Release imager");
        controlDevice_.reset();
    }
    calibration_.reset();
    {
        FrameLock lock(*frameMutex_);
        if (temperatureBuffer_ != nullptr) {
            KLOG_DEBUG("Delete buffer");
            temperatureBuffer_.reset();
        }
        if (rawBufferRecord_ != nullptr) {
            KLOG_DEBUG("Delete source buffer");
            rawBufferRecord_.reset();
            timestampCell_.reset();
            frameNumberCell_.reset();
        }
        if (energyBuffer_ != nullptr) {
            KLOG_DEBUG("Delete buffer (energy)");
            energyBuffer_.reset();
        }
        imageCapacity_ = 0;
        visibleBuffer_.reset();
    }
    if (flags_->hasTimers()) {
        KLOG_DEBUG("Delete timer");
        flags_->releaseFlagTimer();
    }
    if (flags_->hasManualTimer()) {
        KLOG_DEBUG("Delete manual timer");
        flags_->releaseManualTimer();
    }
}

// A raw frame's way: the video device's client hands it here on the capture thread; the chain
// copies it into its device frame and runs it through its operators (source, metadata, flag,
// radial distortion, post-processing, correction, energy normalisation, energy to temperature).
// The last operator's callback (kelvix_callback::thermalFrame) brings the temperatures back to
// onThermalFrame, on this thread or, with multi-threading, on the post-processing worker.
void Kelvix::process(unsigned char* raw, void* userArg) {
    if (!initialised_) {
        return;
    }
    FrameLock frame(*frameMutex_);
    kelvix_callback::instanceUserArg[instanceIndex_].store(userArg, std::memory_order_relaxed);
    *timestampCell_ = static_cast<std::int64_t>(platform::clock().tickMs() * 10000.0);
    *frameNumberCell_ += 1;
    chain_->processRawFrame(raw,
                            static_cast<std::size_t>(widthIn_) * heightIn_ * sizeof(std::uint16_t),
                            *timestampCell_, static_cast<std::int64_t>(*frameNumberCell_));
    runFlagAutomation();
}

void Kelvix::process(unsigned char* raw, int size, void* userArg) {
    if (!initialised_) {
        return;
    }
    if (!holdsRawFrame(size)) {
        // Another owner of the camera may have switched its format: one ERROR per run of them.
        if (!wrongSizeReported_.exchange(true)) {
            KLOG_ERROR("Imager of camera " << serial_ << " drops frames of " << size
                                           << " bytes: it takes " << widthIn_ << "x" << heightIn_
                                           << " frames of 16-bit pixels");
        }
        return;
    }
    wrongSizeReported_ = false;
    process(raw, userArg);
}

// After each frame: a pending flag is triggered, then the rules decide whether the next one
// brings a flag.
void Kelvix::runFlagAutomation() {
    if (flags_->takePending()) {
        chain_->applyFlagCycles();
    }
    switch (flags_->decide([this] {
        FlagTemperatures now;
        now.box = chainTemperature(Box);
        now.chip = chainTemperature(Chip);
        now.flag = chainTemperature(Flag);
        return now;
    })) {
        case FlagAutomation::Reason::Manual:
            KLOG_DEBUG("Manual control of shutter flag");
            break;
        case FlagAutomation::Reason::First:
            KLOG_DEBUG("First shutter flag after start");
            break;
        case FlagAutomation::Reason::Automatic:
            KLOG_DEBUG("Automatic control of shutter flag");
            break;
        case FlagAutomation::Reason::None:
            break;
    }
}

float Kelvix::chainTemperature(int which) {
    if (chain_ == nullptr) {
        return kNoTemperature;
    }
    float t = kNoTemperature;
    switch (which) {
        case Box:
            chain_->getTempBox(&t);
            break;
        case Chip:
            chain_->getTempChip(&t);
            break;
        default:
            chain_->getTempFlag(&t);
            break;
    }
    return t;
}

void Kelvix::forceFlagEvent(float delayMs) {
    flags_->forceFlag(delayMs);
}

void Kelvix::startFlag() {
    flags_->startFlag();
}

void Kelvix::setAutoFlag(bool on) {
    flags_->setAutoFlag(on);
}

bool Kelvix::getAutoFlag() const {
    return flags_->getAutoFlag();
}

void Kelvix::raiseSnapshotEvent() {
    if (chain_ != nullptr && initialised_) {
        chain_->requestSnapshot();
    }
}

bool Kelvix::isFlagOpen() {
    FrameLock lock(*frameMutex_);
    if (!initialised_ || chain_ == nullptr) {
        return false;
    }
    return chain_->getLastFlagState() == 0;
}

void Kelvix::onFlagState(unsigned state) {
    flagState_ = state;
    if (state == FlagClosed) {
        awaitingFlag_ = false;  // the offsets of this cycle are taken in the current settings
    }
    const auto flag = static_cast<EnumFlagState>(state);
    if (FlagStateChangeCallback cb = flagStateCallback_) {
        (*guard_)("flag state callback", [&] { cb(flag, userArg()); });
    }
    if (KelvixClient* client = client_) {
        (*guard_)("client (onFlagStateChange)",
                  [&] { client->onFlagStateChange(flag, userArg()); });
    }
}

void Kelvix::onThermalFrameInit(unsigned width, unsigned height, unsigned short bitCount,
                                long long avgTimePerFrame) {
    width_ = width;
    height_ = height;
    bitCount_ = bitCount;
    avgTimePerFrame_ = avgTimePerFrame;
    const std::size_t pixels = static_cast<std::size_t>(width) * height;
    {
        FrameLock lock(*frameMutex_);
        // A larger image than the buffers hold gets new ones; an equal or smaller one reuses them.
        if (temperatureBuffer_ == nullptr || pixels > imageCapacity_) {
            temperatureBuffer_.reset(new unsigned short[pixels]());
            energyBuffer_.reset();
            imageCapacity_ = pixels;
        }
        keepEnergyBuffer();
    }
    KLOG_DEBUG("Caught onFrameInit with size: " << width << "x" << height);
}

void Kelvix::onThermalFrame(unsigned short* temperatures, IRFrameMetadata meta) {
    FrameLock lock(*frameMutex_);
    const unsigned state = flagState_;
    if (!previousFlagStateSet_) {
        previousFlagState_ = state;
        previousFlagStateSet_ = true;
    }
    const unsigned w = width_;
    const unsigned h = height_;
    if (temperatureBuffer_ == nullptr) {
        return;
    }
    if (state == 0 && previousFlagState_ == 0 && !flags_->isFlagPending() && !awaitingFlag_ &&
        tableLoaded_ && temperatures != nullptr) {
        std::memcpy(temperatureBuffer_.get(), temperatures,
                    static_cast<std::size_t>(w) * h * sizeof(unsigned short));
        imageReady_ = true;
    }
    previousFlagState_ = state;
    if (!imageReady_) {
        return;  // nothing measured yet: the callbacks wait for the first image
    }
    unsigned short* image = temperatureBuffer_.get();
    if (ThermalFrameCallback cb = thermalFrameCallback_) {
        (*guard_)("thermal frame callback", [&] { cb(image, w, h, meta, userArg()); });
    }
    if (KelvixClient* client = client_) {
        (*guard_)("client (onThermalFrame)",
                  [&] { client->onThermalFrame(image, w, h, meta, userArg()); });
    }
}

void Kelvix::onVisibleFrameInit(unsigned width, unsigned height) {
    {
        FrameLock lock(*frameMutex_);
        visibleBuffer_.reset(new unsigned char[static_cast<std::size_t>(width) * height * 2]());
        visibleWidth_ = width;
        visibleHeight_ = height;
    }
    KLOG_DEBUG("Caught onVisibleFrameInit with size: " << width << "x" << height);
}

void Kelvix::onVisibleFrame(unsigned char* yuv, IRFrameMetadata meta) {
    FrameLock lock(*frameMutex_);
    const unsigned w = visibleWidth_;
    const unsigned h = visibleHeight_;
    if (visibleBuffer_ == nullptr) {
        return;
    }
    if (yuv != nullptr) {
        std::memcpy(visibleBuffer_.get(), yuv, static_cast<std::size_t>(w) * h * 2);
    }
    unsigned char* image = visibleBuffer_.get();
    if (VisibleFrameCallback cb = visibleFrameCallback_) {
        (*guard_)("visible frame callback", [&] { cb(image, w, h, meta, userArg()); });
    }
    if (KelvixClient* client = client_) {
        (*guard_)("client (onVisibleFrame)",
                  [&] { client->onVisibleFrame(image, w, h, meta, userArg()); });
    }
}

void Kelvix::onSnapshotEvent(unsigned short* temperatures, unsigned short* energy,
                             unsigned char* visible, IRFrameMetadata meta) {
    FrameLock lock(*frameMutex_);
    ThermalFrameEventCallback thermalEvent = thermalFrameEventCallback_;
    if (thermalEvent != nullptr && pifMode_ == 0) {
        const unsigned w = width_;
        const unsigned h = height_;
        const std::size_t bytes = static_cast<std::size_t>(w) * h * sizeof(unsigned short);
        // Like the thermal frames, no snapshot image before the first measured one.
        if (temperatures != nullptr && temperatureBuffer_ != nullptr && imageReady_) {
            std::memcpy(temperatureBuffer_.get(), temperatures, bytes);
            // Cameras without an energy image leave the last one in place.
            if (energy != nullptr && energyBuffer_ != nullptr) {
                std::memcpy(energyBuffer_.get(), energy, bytes);
            }
            unsigned short* t = temperatureBuffer_.get();
            unsigned short* e = energyBuffer_.get();
            (*guard_)("thermal frame event callback",
                      [&] { thermalEvent(t, e, w, h, meta, userArg()); });
            if (KelvixClient* client = client_) {
                (*guard_)("client (onThermalFrameEvent)",
                          [&] { client->onThermalFrameEvent(t, e, w, h, meta, userArg()); });
            }
        }
        const unsigned vw = visibleWidth_;
        const unsigned vh = visibleHeight_;
        if (vw != 0 && vh != 0 && visible != nullptr && visibleBuffer_ != nullptr) {
            std::memcpy(visibleBuffer_.get(), visible, static_cast<std::size_t>(vw) * vh * 2);
            unsigned char* v = visibleBuffer_.get();
            if (VisibleFrameEventCallback cb = visibleFrameEventCallback_) {
                (*guard_)("visible frame event callback", [&] { cb(v, vw, vh, meta, userArg()); });
            }
            if (KelvixClient* client = client_) {
                (*guard_)("client (onVisibleFrameEvent)",
                          [&] { client->onVisibleFrameEvent(v, vw, vh, meta, userArg()); });
            }
        }
    }
    if (pifMode_ == 1) {
        // The process-interface input acts as a flag trigger.
        flags_->forceFlag(0.0f);
    }
}

void Kelvix::setThermalFrameCallback(ThermalFrameCallback cb) {
    replaceBetweenFrames(*frameMutex_, *guard_, thermalFrameCallback_, cb);
}
void Kelvix::setVisibleFrameCallback(VisibleFrameCallback cb) {
    replaceBetweenFrames(*frameMutex_, *guard_, visibleFrameCallback_, cb);
}
void Kelvix::setFlagStateCallback(FlagStateChangeCallback cb) {
    replaceBetweenFrames(*frameMutex_, *guard_, flagStateCallback_, cb);
}
void Kelvix::setThermalFrameEventCallback(ThermalFrameEventCallback cb) {
    replaceBetweenFrames(*frameMutex_, *guard_, thermalFrameEventCallback_, cb);
    FrameLock lock(*frameMutex_);
    keepEnergyBuffer();
}

void Kelvix::keepEnergyBuffer() {
    // Only snapshot events hand out the energy image: its buffer waits for their callback.
    if (energyBuffer_ == nullptr && imageCapacity_ > 0 && thermalFrameEventCallback_ != nullptr) {
        energyBuffer_.reset(new unsigned short[imageCapacity_]());
    }
}
void Kelvix::setVisibleFrameEventCallback(VisibleFrameEventCallback cb) {
    replaceBetweenFrames(*frameMutex_, *guard_, visibleFrameEventCallback_, cb);
}
void Kelvix::setProcessExitCallback(ProcessExitCallback cb) {
    replaceBetweenFrames(*frameMutex_, *guard_, processExitCallback_, cb);
}
void Kelvix::setClient(KelvixClient* client) {
    replaceBetweenFrames(*frameMutex_, *guard_, client_, client);
}

void Kelvix::onProcessExit() {
    if (ProcessExitCallback cb = processExitCallback_) {
        (*guard_)("process exit callback", [&] { cb(userArg()); });
    }
}

bool Kelvix::setTempRange(int tMin, int tMax) {
    FrameLock lock(*frameMutex_);
    if (!initialised_ || chain_ == nullptr) {
        return false;
    }
    if (chain_->setTempRange(fov_, opticsText_.get(), static_cast<float>(tMin),
                             static_cast<float>(tMax),
                             static_cast<std::uint16_t>(outputFramerate_)) != 0) {
        return false;
    }
    // The camera takes the range's settings now: the image waits for offsets taken in them,
    // from the next closing of the flag or, when it is closed now, from its frames to come.
    awaitingFlag_ = usesFlagOffsets() && !chain_->restartFlagSum();
    tMin_ = tMin;
    tMax_ = tMax;
    const bool corrected = SUCCEEDED(chain_->readCalibration());
    const bool loaded = SUCCEEDED(chain_->loadTemperatureTable());
    tableLoaded_ = corrected && loaded;
    chain_->updateRadiationParameters(0, emissivity_, transmissivity_);
    // Measurement-field chains keep their own emissivity and transmissivity.
    const auto& fields = chain_->getMeasurementFields();
    for (std::size_t i = 0; i < fields.size(); ++i) {
        chain_->updateRadiationParameters(static_cast<std::uint32_t>(i + 1), fields[i]->emissivity,
                                          fields[i]->transmissivity);
    }
    flags_->startFlag();
    if (!corrected) {
        KLOG_ERROR(rangeFailure("Correction data"));
    }
    if (!loaded) {
        KLOG_ERROR(rangeFailure("Temperature table"));
    }
    return corrected && loaded;
}

void Kelvix::setRadiationParameters(float emissivity, float transmissivity, float tAmbient) {
    const std::string refusal = radiationParametersRefusal(emissivity, transmissivity, tAmbient);
    if (!refusal.empty()) {
        KLOG_WARNING(refusal);
        return;
    }
    FrameLock lock(*frameMutex_);
    emissivity_ = emissivity;
    transmissivity_ = transmissivity;
    if (!initialised_ || chain_ == nullptr) {
        return;  // used by the chain at init
    }
    RadiationParameters p;
    p.reset = 0;
    p.emissivity = emissivity;
    p.transmissivity = transmissivity;
    p.flagTemperature = getTempFlag();
    p.ambientTemperature = tAmbient > -273.15f ? tAmbient : getTempBox() - 5.0f;
    p.index = 0;
    p.secondAmbientTemperature = 0.0f;
    chain_->setRadiationParameters(0, p);
}

float Kelvix::getTempFlag() {
    FrameLock lock(*frameMutex_);
    return initialised_ ? chainTemperature(Flag) : kNoTemperature;
}

float Kelvix::getTempBox() {
    FrameLock lock(*frameMutex_);
    return initialised_ ? chainTemperature(Box) : kNoTemperature;
}

float Kelvix::getTempChip() {
    FrameLock lock(*frameMutex_);
    return initialised_ ? chainTemperature(Chip) : kNoTemperature;
}

void Kelvix::enableChipHeating(bool on) {
    FrameLock lock(*frameMutex_);
    if (initialised_ && controlDevice_ != nullptr) {
        controlDevice_->SetTecEnable(on);
    }
}

bool Kelvix::isChipHeatingEnabled() {
    FrameLock lock(*frameMutex_);
    bool on = false;
    if (initialised_ && controlDevice_ != nullptr) {
        controlDevice_->GetTecEnable(&on);
    }
    return on;
}

void Kelvix::setTempChipReference(float t) {
    FrameLock lock(*frameMutex_);
    if (!initialised_ || controlDevice_ == nullptr) {
        return;
    }
    t = t < 20.0f ? 20.0f : (t > 55.0f ? 55.0f : t);
    controlDevice_->SetTempTec(t);
}

float Kelvix::getTempChipReference() {
    FrameLock lock(*frameMutex_);
    float t = kNoTemperature;
    if (initialised_ && controlDevice_ != nullptr) {
        controlDevice_->GetTempTec(&t);
    }
    return t;
}

unsigned Kelvix::getHWRevision() {
    return controlDevice_ != nullptr ? controlDevice_->GetHWRevision() : 0u;
}

unsigned Kelvix::getFWRevision() {
    return controlDevice_ != nullptr ? controlDevice_->GetFWRevision() : 0u;
}

int Kelvix::getEnergyBuffer(unsigned short*& buffer) {
    FrameLock lock(*frameMutex_);
    if (buffer == nullptr || !initialised_ || chain_ == nullptr || chain_->getChainCount() == 0) {
        return E_POINTER;
    }
    const OpFrame* energy = chain_->getEnergyFrame();
    if (energy == nullptr || energy->pixels == nullptr || energy->format == nullptr) {
        return E_POINTER;
    }
    const OpFrameFormat& f = *energy->format;
    const std::size_t available = static_cast<std::size_t>(f.width) * f.height * f.bitCount / 8;
    std::size_t bytes = static_cast<std::size_t>(width_) * height_ * sizeof(unsigned short);
    bytes = bytes < available ? bytes : available;
    std::memcpy(buffer, energy->pixels, bytes);
    return 0;
}

int Kelvix::getMetaData(unsigned char*& buffer, int size) {
    if (size < kMetaDataSize || buffer == nullptr || !initialised_ || chain_ == nullptr) {
        return -1;
    }
    FrameLock lock(*frameMutex_);
    // The fixed part and the room for two process-interface entries.
    static_assert(sizeof(ImagerMetadataRecord) + 4 == kMetaDataSize, "metadata record size");
    alignas(ImagerMetadataRecord) unsigned char record[kMetaDataSize] = {};
    chain_->getMetaData(reinterpret_cast<ImagerMetadataRecord*>(record));
    std::memcpy(buffer, record, kMetaDataSize);
    return kMetaDataSize;
}

bool Kelvix::getTemperatureTableParameters(double* refTemp1, double* refTemp2, double* refTemp3,
                                           short* refValue1, short* refValue2, short* refValue3,
                                           double* wavelength1, double* wavelength2) {
    FrameLock lock(*frameMutex_);
    if (chain_ == nullptr) {
        return false;
    }
    return chain_->getTemperatureTableParameters(refTemp1, refTemp2, refTemp3, refValue1, refValue2,
                                                 refValue3, wavelength1, wavelength2) == 0;
}

void Kelvix::setUseMultiThreading(bool on) {
    if (chain_ != nullptr) {
        chain_->setUseMultiThreading(on);
    }
}

void Kelvix::activateTrace(bool on) {
    TraceOp::getInstance()->setActive(on);
}

void Kelvix::printTrace(unsigned n) {
    // This imager's trace as its last frame left it.
    FrameLock lock(*frameMutex_);
    TraceOp::getInstance()->print(n);
}

std::string Kelvix::getVersion() {
    return "-1";
}

void Kelvix::initRawdataHeader(RawdataHeader& header) {
    header.headerSize = 52;
    header.version = 1001;
    const platform::LocalTime now = platform::clock().localTime();
    char text[16];
    std::snprintf(text, sizeof text, "%04d%02d%02d", now.year, now.month, now.day);
    std::memcpy(header.date, text, sizeof header.date);
    std::snprintf(text, sizeof text, "%02d%02d%02d", now.hour, now.minute, now.second);
    std::memcpy(header.time, text, sizeof header.time);
    FrameLock lock(*frameMutex_);
    header.serial = serial_;
    header.width = widthIn_;
    header.height = heightIn_;
    header.bitCount = bitCount_;
    const auto rate = static_cast<std::int64_t>(maxFramerate_);
    header.avgTimePerFrame = rate >= 1 ? kTicksPerSecond / rate : 0;
    header.optics = static_cast<std::uint16_t>(fov_);
    header.tempMinRange = static_cast<std::uint16_t>(tMin_ * 10 + 1000);
    header.tempMaxRange = static_cast<std::uint16_t>(tMax_ * 10 + 1000);
    header.hwRev = controlDevice_ != nullptr ? controlDevice_->GetHWRevision() : 0;
    header.fwRev = controlDevice_ != nullptr ? controlDevice_->GetFWRevision() : 0;
    header.gpsStringBufferSize = 80;
}

}  // namespace zol
