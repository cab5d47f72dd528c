// Building, configuring and driving the processing chain (ImageProcessing) for zol::Kelvix:
// process on the capture thread, everything else between frames under the imager lock.

#include "imgproc/ImageProcessing.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "device/BaseControlDevice.h"
#include "imgproc/Cali.h"
#include "imgproc/FrameLimits.h"
#include "imgproc/OpCorr.h"
#include "imgproc/OpDevice.h"
#include "imgproc/OpEnergy2Temp.h"
#include "imgproc/OpEnergyNormalize.h"
#include "imgproc/OpFlag.h"
#include "imgproc/OpMetadata.h"
#include "imgproc/OpPostProcessing.h"
#include "imgproc/OpREA.h"
#include "imgproc/OpSource.h"
#include "imgproc/TemperatureEncoding.h"
#include "imgproc/TemperatureTable.h"
#include "kelvix/HIDDevice.h"
#include "kelvix/IRCalibrationManager.h"
#include "platform/Clock.h"
#include "platform/Strings.h"
#include "sdk/Log.h"

namespace {

constexpr std::uint32_t kTickMs = 100;
constexpr std::uint32_t kSkimCheckTicks = 50;  // every 5 s
constexpr float kUnknownTemperature = -100.0f;
// The tables are built in the standard encoding (tenths of a degree), never the centi-degree one.
constexpr bool kDecimalMode = false;
// 100-ns units between 0001-01-01 and 1970-01-01.
constexpr std::int64_t kEpochOffsetSeconds = 62135596800LL;

std::int16_t centi(float t) {
    return roundClamped<std::int16_t>(t * 100.0f);
}

std::uint16_t permille(float v) {
    return static_cast<std::uint16_t>(static_cast<std::int32_t>((v + 0.0005f) * 1000.0f));
}

bool isRevision2100(std::uint16_t hw) {
    return static_cast<std::uint16_t>(hw - 2100) <= 99;
}

bool isRevision3000(std::uint16_t hw) {
    return hw >= 3000 && hw <= 3199;
}

void configureDigitalInput(BaseControlDevice& device, const PifConfigRecord& pif,
                           const PifConfigEntry& entry, unsigned channel) {
    device.SetPIFInDigitalMode(entry.mode, static_cast<std::uint8_t>(channel));
    if (entry.mode == 1) {
        device.SetPIFInDigitalFlagLowActive(pif.diLowActive != 0);
    } else if (entry.mode != 0) {
        device.SetPIFInDigitalLowActive(pif.diLowActive != 0);
    }
}

void configureAnalogInput(BaseControlDevice& device, const PifConfigRecord& pif,
                          const PifConfigEntry& entry, unsigned channel) {
    device.SetPIFInMode(entry.mode, static_cast<std::uint8_t>(channel));
    if (entry.mode == 1) {
        device.SetPIFInFlagOpenIfLower(pif.aiOpenIfLower != 0);
        device.SetPIFInFlagThreshold(pif.aiFlagThreshold);
    }
}

// Modes 9 (measure area), 10 (alarm) and 11 (internal temperature) run on the camera itself.
void configureAutonomousOutput(BaseControlDevice& device, const PifConfigEntry& entry,
                               std::uint8_t chan, std::uint16_t hw) {
    const bool on = isRevision3000(hw) && entry.enable != 0;
    device.SetPIFOutMode(on ? entry.mode : 0, chan);
    tagAutonomousPifAOConfig cfg;
    cfg.aoIndex = chan;
    cfg.functionType = entry.mode;
    cfg.selector = static_cast<std::uint8_t>(entry.outputMode);
    if (entry.mode == 10) {
        cfg.lowerLevel = static_cast<std::int16_t>(entry.alarmLevel1);
        cfg.upperLevel = static_cast<std::int16_t>(entry.alarmLevel2);
        device.ConfigAutonomousPifAO_ForAlarm(&cfg);
        return;
    }
    const double slope = entry.value2 == entry.value1 ? 1.0
                                                      : (double(entry.output2) - entry.output1) /
                                                            (entry.value2 - entry.value1);
    cfg.first = slope;
    cfg.second = entry.output1 - entry.value1 * slope;
    if (entry.mode == 9) {
        cfg.value = entry.areaWord;
        device.ConfigAutonomousPifAO_ForMeasureArea(&cfg);
    } else {
        device.ConfigAutonomousPifAO_ForTInt(&cfg);
    }
}

void configureAnalogOutput(BaseControlDevice& device, const PifConfigRecord& pif,
                           const PifConfigEntry& entry, unsigned channel, std::uint16_t hw) {
    const auto chan = static_cast<std::uint8_t>(channel);
    const auto chan16 = static_cast<std::int16_t>(channel);
    switch (entry.mode) {
        case 1:
            device.SetPIFOutMode(1, chan);
            device.SetPIFOutFlagOpen(pif.aoLevelFlagOpen, chan16);
            device.SetPIFOutFlagClosed(pif.aoLevelFlagClosed, chan16);
            device.SetPIFOutFlagMoving(pif.aoLevelFlagMoving, chan16);
            break;
        case 5:
            device.SetPIFOutMode(5, chan);
            device.SetPIFOutFrameSync(pif.aoLevelFrameSync, chan16);
            break;
        case 6:
            device.SetPIFOutMode(isRevision2100(hw) ? 6 : 0, chan);
            break;
        case 9:
        case 10:
        case 11:
            configureAutonomousOutput(device, entry, chan, hw);
            break;
        default:
            device.SetPIFOutMode(0, chan);
            break;
    }
    device.SetPIFOutOutputMode(entry.outputMode, chan);
}

void configureDigitalOutput(BaseControlDevice& device, const PifConfigEntry& entry,
                            unsigned channel, std::uint16_t hw) {
    std::int32_t mode = 0;
    if (entry.mode == 1 || entry.mode == 5) {
        mode = entry.mode;
    } else if (entry.mode == 10 && isRevision3000(hw)) {
        mode = 10;
    }
    device.SetPIFOutDigitalMode(mode, static_cast<std::uint8_t>(channel));
}

std::unique_ptr<std::uint16_t[]> copyPixels(const OpFrame* f, FrameInitRecord* format) {
    if (f == nullptr || f->format == nullptr || f->pixels == nullptr) {
        return nullptr;
    }
    const OpFrameFormat& fmt = *f->format;
    *format =
        FrameInitRecord{static_cast<std::uint32_t>(fmt.width),
                        static_cast<std::uint32_t>(fmt.height), fmt.bitCount, fmt.avgTimePerFrame};
    const std::size_t bytes = static_cast<std::size_t>(std::max(fmt.width, 0)) *
                              std::max(fmt.height, 0) * fmt.bitCount / 8;
    std::unique_ptr<std::uint16_t[]> copy(new std::uint16_t[(bytes + 1) / 2]());
    std::memcpy(copy.get(), f->pixels, bytes);
    return copy;
}

}  // namespace

ImageProcessing::ImageProcessing() = default;

ImageProcessing::~ImageProcessing() {
    destroyChain();
}

OpCorr* ImageProcessing::getCorrection(std::size_t index) const {
    return index < correction_.size() ? correction_[index] : nullptr;
}

OpEnergyNormalize* ImageProcessing::getEnergyNormalize(std::size_t index) const {
    return index < energyNormalize_.size() ? energyNormalize_[index] : nullptr;
}

OpEnergy2Temp* ImageProcessing::getEnergy2Temp(std::size_t index) const {
    return index < energy2Temp_.size() ? energy2Temp_[index] : nullptr;
}

HRESULT ImageProcessing::init(BaseControlDevice* device, const ImageProcessingConfig* config,
                              const FrameInitRecord* raw, RawBufferRecord* rawBuffer,
                              std::function<void()> postProcessingHook) {
    destroyChain();
    if (config == nullptr || raw == nullptr) {
        return E_POINTER;
    }
    config_ = *config;

    cali_ = Cali::held(static_cast<int>(config_.serial));
    if (cali_ == nullptr) {
        KLOG_ERROR("Calibration files are not loaded");
        return E_FAIL;
    }
    Cali* cali = cali_.get();

    shared_.clear();
    shared_.serial = config_.serial;
    shared_.calibrationDirectory = config_.calibrationDirectory;
    shared_.tableDirectory = config_.tableDirectory;
    shared_.formatsDirectory = config_.formatsDirectory;
    if (device != nullptr) {
        const std::uint32_t serial = device->GetSerialNumber();
        if (serial != 0 && serial == config_.serial) {
            shared_.hardwareRevision = device->GetHWRevision();
            shared_.firmwareRevision = device->GetFWRevision();
            shared_.lacksShortCaps = device->GetShortImagerCaps() ? 0 : 1;
            shared_.revision2100 = isRevision2100(shared_.hardwareRevision) ? 1 : 0;
        }
    }
    shared_.device = device;

    if (raw->width == 0 || raw->height == 0 || raw->bitCount != 16) {
        return -1;
    }
    if (std::int64_t{raw->width} * raw->height > kMaxFramePixels) {
        KLOG_ERROR("Raw frame of " << raw->width << " x " << raw->height
                                   << " pixels is larger than any camera delivers");
        return -1;
    }

    OpFrameFormat format;
    format.width = static_cast<std::int32_t>(raw->width);
    format.height = static_cast<std::int32_t>(raw->height);
    format.pixelCount = format.width * format.height;
    format.byteSize = format.pixelCount * raw->bitCount / 8;
    format.avgTimePerFrame = raw->avgTimePerFrame;
    format.bitCount = raw->bitCount;
    format.contentKind = 0;
    KLOG_DEBUG("Source buffer size: " << format.byteSize << " Width: " << format.width
                                      << " Height: " << format.height);
    deviceFrame_.reset(OpBase::allocateOutputFrame(&format, 0));
    if (rawBuffer != nullptr) {
        rawBuffer->buffer = reinterpret_cast<std::uint8_t*>(deviceFrame_->pixels);
    }

    metadataEntryCount_ = 2;
    metadataCompanion_ = 1;
    metadataRecord_.reset(imager_metadata::initParameters(metadataRecord_.release(),
                                                          metadataEntryCount_, metadataCompanion_));
    std::memset(metadataRecord_.get(), 0, ImagerMetadataRecord::kFixedSize);
    metadataRecord_->entryCount = metadataEntryCount_;
    metadataRecord_->companion = metadataCompanion_;

    device_ = build<OpDevice>(&shared_);
    source_ = build<OpSource>(device_, 1, L"# Source", &shared_, 0);
    metadata_ = build<OpMetadata>(source_, &shared_);
    flag_ = build<OpFlag>(metadata_, &shared_, cali);
    radialDistortion_ = build<OpREA_RadDistCorr>(flag_, &shared_);
    postProcessing_ =
        build<OpPostProcessing>(radialDistortion_, &shared_, std::move(postProcessingHook));
    auto* corr = build<OpCorr>(postProcessing_, &shared_, cali);
    corr->setTableSlot(&correctionTable_);
    correction_.push_back(corr);
    energyNormalize_.push_back(build<OpEnergyNormalize>(correction_.back(), &shared_));
    energy2Temp_.push_back(build<OpEnergy2Temp>(energyNormalize_.back(), &shared_));

    energy2Temp_.back()->initCallback = config_.initCallbacks[ImageProcessingConfig::kThermalSlot];
    energy2Temp_.back()->frameDoneCallback =
        config_.doneCallbacks[ImageProcessingConfig::kThermalSlot];
    return S_OK;
}

HRESULT ImageProcessing::addVisibleSource() {
    if (device_ == nullptr) {
        return E_UNEXPECTED;
    }
    if (visibleSource_ == nullptr) {
        visibleSource_ = build<OpSource>(device_, 2, L"# Source Visible", &shared_, 1);
        visibleSource_->initCallback = config_.initCallbacks[ImageProcessingConfig::kVisibleSlot];
        visibleSource_->frameDoneCallback =
            config_.doneCallbacks[ImageProcessingConfig::kVisibleSlot];
    }
    return S_OK;
}

HRESULT ImageProcessing::initOperators() {
    if (device_ == nullptr || deviceFrame_ == nullptr) {
        return E_UNEXPECTED;
    }
    FrameMetadataRecord* m = deviceFrame_->metadata;
    m->hwFrameCounter = 0;
    m->frameCounter = 0;
    m->recordSize = static_cast<std::uint16_t>(FrameMetadataRecord::sizeFor(m->analogCount));
    m->timestamp = 0;
    m->flagState = 4;
    m->digitalInputBits = 0xFFFFFFFFu;
    for (unsigned i = 0; i < m->analogCount; ++i) {
        m->setAnalog(i, 0xFFFF);
    }
    m->tempChip = m->tempFlag = m->tempBox = m->tempOptics = kUnknownTemperature;
    const OpFrameFormat& f = *deviceFrame_->format;
    KLOG_DEBUG("Source buffer size: " << f.byteSize << " Width: " << f.width
                                      << " Height: " << f.height);
    const HRESULT hr = device_->attach(deviceFrame_.get());
    return source_->isFormatFound() ? hr : E_NOTIMPL;
}

HRESULT ImageProcessing::processRawFrame(const std::uint8_t* raw, std::size_t bytes,
                                         std::int64_t timestamp, std::int64_t frameNumber) {
    if (OpFrame* device = deviceFrame_.get()) {
        if (raw != nullptr) {
            const auto capacity = static_cast<std::size_t>(device->format->byteSize);
            std::memcpy(device->pixels, raw, std::min(bytes, capacity));
        }
        if (FrameMetadataRecord* m = device->metadata) {
            m->frameCounter += 1;
            m->timestamp = timestamp;
            m->frameNumber = frameNumber;
        }
    }
    return process();
}

HRESULT ImageProcessing::process() {
    const std::uint32_t now = platform::clock().tickMs();
    if (!tickStarted_) {
        nextTick_ = now;
        tickStarted_ = true;
    }
    if (platform::reached(now, nextTick_)) {
        ++tickCount_;
        if (tickCount_ % kSkimCheckTicks == 0) {
            runSkimCheck();
        }
        nextTick_ += kTickMs;
        if (platform::reached(now, nextTick_)) {
            nextTick_ = now + kTickMs;
        }
    }
    BaseControlDevice* device = shared_.device;
    if (device != nullptr) {
        device->ProcessDeferredCommands();
    }

    if (device_ == nullptr || deviceFrame_ == nullptr) {
        return E_UNEXPECTED;
    }
    FrameMetadataRecord* m = deviceFrame_->metadata;
    m->settleMarker = m->frameCounter > 2 ? 1 : 0;
    const unsigned analogInputs =
        shared_.pifConfig != nullptr ? shared_.pifConfig->analogInputCount : 0;
    deviceFrame_->metadata = OpBase::resizeMetadata(m, analogInputs);

    HRESULT hr;
    try {
        hr = device_->trigger();
    } catch (const char*) {
        return E_UNEXPECTED;
    }

    if (shared_.pifSnapshotRequest != 0) {
        emitSnapshot(0, 1, 0);
        shared_.pifSnapshotRequest = 0;
    } else if (shared_.appSnapshotRequest != 0) {
        emitSnapshot(1, 1, 0);
        shared_.appSnapshotRequest = 0;
    }

    if (shared_.pendingSkimDelta != 0 && device != nullptr) {
        std::uint16_t skim = 0;
        device->GetSkim(&skim);
        const auto adjusted = static_cast<std::uint16_t>(skim + shared_.pendingSkimDelta);
        shared_.adjustedSkim = adjusted;
        device->SetSkim_Ext(adjusted);
        shared_.pendingSkimDelta = 0;
        shared_.flagsSinceSkimChange = 0;
    }
    return hr;
}

void ImageProcessing::runSkimCheck() {
    BaseControlDevice* device = shared_.device;
    if (flag_ == nullptr || device == nullptr || shared_.hardwareRevision < 20 ||
        flag_->isSkimAdjustActive()) {
        return;
    }
    Cali* cali = description();
    const wchar_t* text = shared_.opticsText.c_str();
    const int optic = cali->findOpticsIndex(shared_.fov, text);
    const int range = cali->findTempRange(shared_.fov, text, shared_.tMin, shared_.tMax);
    if (optic < 0 || range < 0) {
        return;
    }
    CaliTempRange data;
    if (!cali->getTempRangeData(CaliOpticsKey{shared_.fov, shared_.opticsText}, range, &data)) {
        return;
    }
    std::uint16_t skim = 0;
    bool bias = false;
    device->GetSkim(&skim);
    device->GetBiasEnable(&bias);
    if (skim != data.Skim && bias) {
        device->SetSkim_Ext(data.Skim);
    }
}

void ImageProcessing::emitSnapshot(std::uint8_t app, std::uint8_t pif, std::uint8_t third) {
    if (!snapshotCallback) {
        return;
    }
    SnapshotRecord record;
    const OpEnergyNormalize* norm = getEnergyNormalize(0);
    const OpEnergy2Temp* temp = getEnergy2Temp(0);
    // The copies live until the callback returns; the record only points at them.
    std::unique_ptr<std::uint16_t[]> energy, temperatures, visible;
    if (norm != nullptr) {
        energy = copyPixels(norm->frame, &record.formats[0]);
    }
    if (temp != nullptr) {
        temperatures = copyPixels(temp->frame, &record.formats[1]);
    }
    if (visibleSource_ != nullptr) {
        visible = copyPixels(visibleSource_->frame, &record.formats[3]);
    }
    record.energy = energy.get();
    record.temperatures = temperatures.get();
    record.visible = visible.get();
    if (temp != nullptr && temp->frame != nullptr && temp->frame->metadata != nullptr) {
        record.metadata = OpBase::copyMetadata(temp->frame->metadata, OpBase::allocateMetadata());
    }
    record.appRequest = app;
    record.pifRequest = pif;
    record.thirdRequest = third;
    snapshotCallback(&record);
    OpBase::freeMetadata(record.metadata);
}

HRESULT ImageProcessing::setTempRange(std::int32_t fov, const wchar_t* text, float tMin, float tMax,
                                      std::int32_t rate) {
    Cali* cali = description();
    if (!cali->isLoaded() || cali->getSerial() != static_cast<int>(shared_.serial)) {
        KLOG_ERROR("Calibration files are not loaded for serial " << shared_.serial);
        return E_FAIL;
    }
    const wchar_t* t = text != nullptr ? text : L"";
    const int optic = cali->findOpticsIndex(fov, t);
    const int range = cali->findTempRange(fov, t, tMin, tMax);
    const int r = cali->findFramerate(fov, t, tMin, tMax, rate);
    if (optic < 0 || range < 0 || r < -1) {
        return E_INVALIDARG;
    }
    shared_.fov = fov;
    shared_.opticsText = t;

    CaliTempRange data;
    cali->getTempRangeData(CaliOpticsKey{fov, t}, range, &data);
    const auto frameRate = static_cast<std::int16_t>(r >= 0 ? rate : 0);
    const auto decimal = static_cast<std::int16_t>(data.Decimal);
    if (tMin != shared_.tMin || tMax != shared_.tMax || frameRate != shared_.frameRate ||
        decimal != shared_.decimal) {
        primaryStale_ = true;
    }
    shared_.tMin = shared_.tMinExt = tMin;
    shared_.tMax = shared_.tMaxExt = tMax;
    shared_.tMinExt = data.TempLoExt;
    shared_.tMaxExt = data.TempHiExt;
    shared_.decimal = decimal;
    shared_.frameRate = frameRate;
    return S_OK;
}

HRESULT ImageProcessing::readCalibration() {
    HRESULT result = S_OK;
    for (OpCorr* corr : correction_) {
        if (corr != nullptr && FAILED(corr->readCalibration())) {
            result = E_FAIL;
        }
    }
    return result;
}

void ImageProcessing::fillMetadataFromModel(const ImagerMetadataModel& model) {
    imager_metadata::fillFromModel(metadataRecord_.get(), model, shared_);
}

std::wstring ImageProcessing::tableFilePath(bool* fits) const {
    wchar_t stem[kChainPathLength] = {};
    const bool named = Cali::makeFileName(static_cast<int>(shared_.serial), shared_.fov,
                                          shared_.opticsText.c_str(), shared_.tMin, shared_.tMax,
                                          shared_.frameRate, stem, kChainPathLength);
    const std::wstring name = std::wstring(L"Kennlinie-") + stem;
    wchar_t path[kChainPathLength] = {};
    *fits = named && zol::IRCalibrationManager::getInstance()->createConfigFilepath(
                         path, config_.tableDirectory, kChainPathLength, name.c_str(), L".prn");
    if (*fits) {
        return path;
    }
    // The whole path as it would have been, for the message.
    std::wstring dir = config_.tableDirectory;
    return dir + L"/" + name + L".prn";
}

HRESULT ImageProcessing::modelBuildFailed(const std::wstring& path, HRESULT hr) {
    KLOG_ERROR("Temperature table of camera "
               << shared_.serial
               << " cannot be built from its model: " << platform::toNarrow(path));
    return FAILED(hr) ? hr : E_FAIL;
}

HRESULT ImageProcessing::loadTemperatureTable() {
    Cali* cali = description();
    const wchar_t* text = shared_.opticsText.c_str();
    const int optic = cali->findOpticsIndex(shared_.fov, text);
    const int range = cali->findTempRange(shared_.fov, text, shared_.tMin, shared_.tMax);
    if (optic < 0 || range < 0) {
        KLOG_ERROR("Invalid temperature table params given, Optics: " << optic
                                                                      << ", TempRange: " << range);
        return E_INVALIDARG;
    }
    CaliTempRange data;
    cali->getTempRangeData(CaliOpticsKey{shared_.fov, shared_.opticsText}, range, &data);

    normalizationCount_ = 0;
    normalizationTable_.reset();
    secondaryTable_.reset();
    primaryTable_ = std::make_unique<TemperatureTable>(&shared_);
    correctionTable_ = primaryTable_.get();
    primaryStale_ = false;
    shared_.energyAtTMin = shared_.energyAtTMax = 0.0f;
    const HRESULT hr = modelTable ? buildModelTable(data) : loadFileTable(data);
    if (SUCCEEDED(hr)) {
        // The range limits in the energies of the table the correction works in.
        shared_.energyAtTMin = correctionTable_->temperatureToEnergy(shared_.tMin);
        shared_.energyAtTMax = correctionTable_->temperatureToEnergy(shared_.tMax);
    }
    return hr;
}

// The primary table from a model alone (no table file).
HRESULT ImageProcessing::buildModelTable(const CaliTempRange& data) {
    TableModel model;
    model.T1 = -5.0;
    model.T3 = shared_.tMax;
    model.E1 = 0;
    model.E3 = 15000;
    model.lambda = data.tableParams.Lambda > 0.3 ? data.tableParams.Lambda : 1.1;
    const HRESULT hr =
        primaryTable_->buildFromModel(model, shared_.tMin, shared_.tMax, -5.0f, kDecimalMode);
    ImagerMetadataModel shown{model.T1, model.T3, model.E1, model.E3, model.lambda,
                              0.0,      -100.0,   0,        true};
    fillMetadataFromModel(shown);
    if (FAILED(hr)) {
        bool fits = false;
        return modelBuildFailed(tableFilePath(&fits), hr);
    }
    return S_OK;
}

// The range's table file, fitted; with Normalize its normalisation onto a model, and with a
// wavelength the primary table rebuilt from that model.
HRESULT ImageProcessing::loadFileTable(const CaliTempRange& data) {
    metadataRecord_->tMinRaw = 0;
    metadataRecord_->tMaxRaw = 0;
    bool fits = false;
    const std::wstring path = tableFilePath(&fits);
    if (!fits) {
        // A cut path would name another file; the camera stays as it is.
        KLOG_ERROR("Calibration file path not valid: " << platform::toNarrow(path));
        return E_INVALIDARG;
    }
    sendRangeSettings(data);

    TableModel model;
    HRESULT hr = primaryTable_->loadFile(path, kDecimalMode);
    if (FAILED(hr)) {
        KLOG_ERROR("Loading primary table failed: " << platform::toNarrow(path));
        return hr;
    }
    if (shared_.revision2100) {
        float rising = 0.0f;
        shared_.risingStartTemp = FAILED(primaryTable_->findRisingStart(rising)) ? 600.0f : rising;
    }
    hr = primaryTable_->fitReferencePoints(model);
    if (FAILED(hr)) {
        KLOG_ERROR("Temperature table of camera "
                   << shared_.serial << " cannot be fitted: " << platform::toNarrow(path));
        return hr;
    }
    if (data.tableParams.Normalize && !buildNormalization(data.tableParams, model)) {
        return modelBuildFailed(path, E_FAIL);
    }
    if (model.lambda > 0.0) {
        hr = primaryTable_->buildFromModel(model, shared_.tMin, shared_.tMax, -5.0f, kDecimalMode);
        if (FAILED(hr)) {
            return modelBuildFailed(path, hr);
        }
        ImagerMetadataModel shown{model.T1, model.T3, model.E1, model.E3, model.lambda,
                                  0.0,      -100.0,   0,        false};
        fillMetadataFromModel(shown);
    }
    return S_OK;
}

// Fid, skim and bias of the range: the adjusted skim survives a reload of the same range.
void ImageProcessing::sendRangeSettings(const CaliTempRange& data) {
    BaseControlDevice* device = shared_.device;
    if (device == nullptr) {
        return;
    }
    device->SetFid(data.Fid);
    if (shared_.adjustedSkim != 0 && data.Skim == shared_.calibratedSkim) {
        device->SetSkim_Ext(shared_.adjustedSkim);
    } else {
        device->SetSkim(data.Skim);
        shared_.adjustedSkim = 0;
        shared_.pendingSkimDelta = 0;
        shared_.flagsSinceSkimChange = 0;
    }
    shared_.calibratedSkim = data.Skim;
    platform::clock().sleepMs(100);
    device->SetBiasEnable(true);
    platform::clock().sleepMs(100);
}

// The pixel energies stay in the file table's scale (kept as the secondary table); the
// normalisation maps them onto the model that replaces the primary afterwards: the range's
// own, or without a wavelength of its own the fitted one in `model`.
bool ImageProcessing::buildNormalization(const CaliTableParams& params, TableModel& model) {
    secondaryTable_ = std::make_unique<TemperatureTable>(*primaryTable_);
    correctionTable_ = secondaryTable_.get();
    if (params.Lambda > 0.0) {
        model.T1 = params.T1;
        model.T3 = params.T3;
        model.E1 = params.E1;
        model.E3 = params.E3;
        model.lambda = params.Lambda;
    }
    // Beyond the file's points its energies follow the model they are normalised onto.
    secondaryTable_->sourceModel = model;
    int offset = 0;
    if (!primaryTable_->buildNormalizationLut(model, shared_.tMin, shared_.tMax, kDecimalMode,
                                              normalizationTable_, &normalizationCount_, &offset) ||
        !normalizationTable_ || normalizationCount_ == 0) {
        normalizationCount_ = 0;
        normalizationTable_.reset();
        return false;
    }
    normalizationOffset_ = offset;
    for (OpEnergyNormalize* norm : energyNormalize_) {
        norm->loadLut(normalizationTable_.get(), normalizationCount_,
                      static_cast<std::int16_t>(normalizationOffset_));
    }
    return true;
}

void ImageProcessing::updateRawLimits() {
    metadataRecord_->tMinRaw = imager_metadata::toRaw(shared_.tMin);
    metadataRecord_->tMaxRaw = imager_metadata::toRaw(shared_.tMax);
}

HRESULT ImageProcessing::setRadiationParameters(std::uint32_t index, const RadiationParameters& p) {
    if (primaryTable_ == nullptr || index >= energy2Temp_.size()) {
        return E_FAIL;
    }
    OpEnergy2Temp* temp = energy2Temp_[index];
    OpEnergyNormalize* norm = getEnergyNormalize(index);
    if (p.reset) {
        temp->resetToIdentity();
        if (norm != nullptr) {
            norm->resetToIdentity();
        }
    } else {
        RadiationRecord r;
        r.emissivity = p.emissivity;
        r.transmissivity = p.transmissivity;
        r.ambient = p.ambientTemperature;
        const float x = p.emissivity * p.transmissivity;
        primaryTable_->applyRadiation(r, x, false);
        if (normalizationTable_ && normalizationCount_ != 0 && secondaryTable_ && x != 1.0f) {
            applyRadiationInFileScale(r, x);
        }
        temp->loadLut(primaryTable_->lut.data(), static_cast<int>(primaryTable_->lut.size()),
                      static_cast<std::int16_t>(primaryTable_->energyOffset));
        if (norm != nullptr) {
            if (normalizationTable_ && normalizationCount_ != 0) {
                norm->loadLut(normalizationTable_.get(), normalizationCount_,
                              static_cast<std::int16_t>(normalizationOffset_));
            } else {
                norm->resetToIdentity();
            }
        }
        if (index == 0) {
            metadataRecord_->emissivity = permille(p.emissivity);
            metadataRecord_->transmissivity = permille(p.transmissivity);
            metadataRecord_->ambientRaw = imager_metadata::toRaw(p.ambientTemperature);
            metadataRecord_->secondAmbientRaw =
                p.index == index ? 0 : imager_metadata::toRaw(p.secondAmbientTemperature);
            updateRawLimits();
        }
    }
    if (OpCorr* corr = getCorrection(index)) {
        corr->updateDeviation();
    }
    return S_OK;
}

// With normalisation the pixel energies are the file table's, carried onto the model's scale
// only to be read. The scene's measured = x * object + (1 - x) * ambient holds in the file's
// energies, which are not a linear map of the model's: it is solved there, and each model
// energy reads what its temperature's file energy reads. At x = 1 the model's own LUT is exact.
void ImageProcessing::applyRadiationInFileScale(const RadiationRecord& r, float x) {
    TemperatureTable file(*secondaryTable_);  // the correction keeps reading the secondary
    file.applyRadiation(r, x, false);
    TemperatureTable& model = *primaryTable_;
    const int n = model.lutSize;
    for (int i = 0; i < n; ++i) {
        const float t = model.temperatures[model.energyToIndex(model.energyAtIndex(i))];
        const long e = std::lround(file.temperatureToEnergy(t)) + file.energyOffset;
        model.lut[i] = file.lut[std::clamp<long>(e, 0, file.lutSize - 1)];
    }
    model.lut[n - 2] = model.lut[n - 3];
    model.lut[n - 1] = model.lut[n - 2];
}

HRESULT ImageProcessing::updateRadiationParameters(std::uint32_t index, float emissivity,
                                                   float transmissivity) {
    float flagTemp = kUnknownTemperature;
    float boxTemp = kUnknownTemperature;
    getTempFlag(&flagTemp);
    KLOG_DEBUG("Update flag temperature: " << flagTemp);
    getTempBox(&boxTemp);
    KLOG_DEBUG("Update box temperature: " << boxTemp);
    RadiationParameters p;
    p.reset = 0;
    p.emissivity = emissivity;
    p.transmissivity = transmissivity;
    p.flagTemperature = flagTemp;
    p.ambientTemperature = boxTemp - 5.0f;
    p.index = 0;
    p.secondAmbientTemperature = 0.0f;
    setRadiationParameters(index, p);
    return S_OK;
}

float ImageProcessing::refreshedTemperature(float& kept,
                                            std::int32_t (BaseControlDevice::*getter)(float*)) {
    if (kept == kUnknownTemperature && shared_.device != nullptr) {
        float t = kUnknownTemperature;
        (shared_.device->*getter)(&t);
        kept = t;
    }
    return kept;
}

HRESULT ImageProcessing::getTempFlag(float* t) {
    if (t == nullptr) {
        return E_POINTER;
    }
    float fallback = kUnknownTemperature;
    *t = refreshedTemperature(metadata_ != nullptr ? metadata_->lastFlagTemp : fallback,
                              &BaseControlDevice::GetTempFlag);
    return S_OK;
}

HRESULT ImageProcessing::getTempBox(float* t) {
    if (t == nullptr) {
        return E_POINTER;
    }
    float fallback = kUnknownTemperature;
    *t = refreshedTemperature(metadata_ != nullptr ? metadata_->lastBoxTemp : fallback,
                              &BaseControlDevice::GetTempBox);
    return S_OK;
}

HRESULT ImageProcessing::getTempChip(float* t) {
    if (t == nullptr) {
        return E_POINTER;
    }
    float fallback = kUnknownTemperature;
    *t = refreshedTemperature(metadata_ != nullptr ? metadata_->lastChipTemp : fallback,
                              &BaseControlDevice::GetTempChip);
    return S_OK;
}

HRESULT ImageProcessing::getTemperatureTableParameters(double* refTemp1, double* refTemp2,
                                                       double* refTemp3, std::int16_t* refValue1,
                                                       std::int16_t* refValue2,
                                                       std::int16_t* refValue3, double* wavelength1,
                                                       double* wavelength2) {
    if (refTemp1 == nullptr || refTemp2 == nullptr || refTemp3 == nullptr || refValue1 == nullptr ||
        refValue2 == nullptr || refValue3 == nullptr || wavelength1 == nullptr ||
        wavelength2 == nullptr) {
        return E_POINTER;
    }
    if (metadataRecord_ == nullptr) {  // before init or after destroyChain
        return E_FAIL;
    }
    const ImagerMetadataRecord& r = *metadataRecord_;
    *refTemp1 = (r.refTemp1Raw - 1000.0) * 0.1;
    *refTemp2 = (r.refTemp2Raw - 1000.0) * 0.1;
    *refTemp3 = (r.refTemp3Raw - 1000.0) * 0.1;
    *refValue1 = static_cast<std::int16_t>(r.refValue1);
    *refValue2 = static_cast<std::int16_t>(r.refValue2);
    *refValue3 = static_cast<std::int16_t>(r.refValue3);
    *wavelength1 = r.wavelength1 * 1e-6;
    *wavelength2 = r.wavelength2 * 1e-6;
    return S_OK;
}

HRESULT ImageProcessing::getMetaData(ImagerMetadataRecord* out) {
    if (out == nullptr) {
        return E_POINTER;
    }
    std::uint8_t bytes[ImagerMetadataRecord::kFixedSize] = {};
    auto* o = reinterpret_cast<ImagerMetadataRecord*>(bytes);
    o->recordSize = ImagerMetadataRecord::kFixedSize;
    o->version = ImagerMetadataRecord::kVersion;
    if (metadataRecord_ != nullptr) {
        const ImagerMetadataRecord& k = *metadataRecord_;
        o->emissivity = k.emissivity;
        o->ambientRaw = k.ambientRaw;
        o->fov = k.fov;
        o->tMinRaw = k.tMinRaw;
        o->tMaxRaw = k.tMaxRaw;
        o->secondAmbientRaw = k.secondAmbientRaw;
        o->refTemp1Raw = k.refTemp1Raw;
        o->refTemp2Raw = k.refTemp2Raw;
        o->refValue1 = k.refValue1;
        o->refValue2 = k.refValue2;
        o->wavelength1 = k.wavelength1;
        o->refTemp3Raw = k.refTemp3Raw;
        o->refValue3 = k.refValue3;
        o->wavelength2 = k.wavelength2;
        o->transmissivity = k.transmissivity;
        o->tableMode = k.tableMode;
        o->frameRate = k.frameRate;
        o->tMinExtRaw = k.tMinExtRaw;
        o->tMaxExtRaw = k.tMaxExtRaw;
        o->reserved90 = k.reserved90;
        o->reserved92 = k.reserved92;
    }
    o->serial = shared_.serial;
    o->decimal = 0;

    Cali* cali = description();
    o->opticIndex = 255;
    o->rangeIndex = 255;
    const int count = cali->getOpticsCount();
    for (int i = 0; i < count && i < 255; ++i) {
        CaliOpticsKey key;
        if (cali->getOptics(i, &key) && key.FOV == static_cast<std::int32_t>(o->fov)) {
            o->opticIndex = static_cast<std::uint8_t>(i);
            break;
        }
    }
    const int optic = cali->findOptics(CaliOpticsKey{static_cast<std::int32_t>(o->fov), L""});
    if (optic >= 0) {
        CaliOpticsKey key{static_cast<std::int32_t>(o->fov), L""};
        CaliOptics data;
        if (cali->getOpticsData(optic, &data)) {
            const float lo = static_cast<float>((o->tMinRaw - 1000) * 0.1);
            const float hi = static_cast<float>((o->tMaxRaw - 1000) * 0.1);
            for (std::size_t j = 0; j < data.ranges.size() && j < 255; ++j) {
                if (data.ranges[j].TempLo == lo && data.ranges[j].TempHi == hi) {
                    o->rangeIndex = static_cast<std::uint8_t>(j);
                    break;
                }
            }
        }
    }

    const std::int64_t seconds = platform::clock().systemTimeMs() / 1000;
    o->time = (seconds + kEpochOffsetSeconds) * 10000000LL;
    o->zero22 = 0;

    float flag = kUnknownTemperature, chip = kUnknownTemperature, box = kUnknownTemperature;
    getTempFlag(&flag);
    getTempChip(&chip);
    getTempBox(&box);
    o->tempFlag100 = centi(flag);
    o->tempChip100 = centi(chip);
    o->tempBox100 = centi(box);
    o->tempOptics100 = centi(metadata_ != nullptr ? metadata_->lastOpticsTemp : 0.0f);

    if (metadata_ != nullptr) {
        // The 128 bytes leave room for two analog values.
        const std::size_t n = std::min<std::size_t>(metadata_->lastAnalogValues.size(), 2);
        for (std::size_t i = 0; i < n; ++i) {
            o->setEntry(static_cast<unsigned>(i), metadata_->lastAnalogValues[i]);
        }
        o->digitalInputBits = metadata_->lastDigitalWord;
        o->hwFrameCounter = metadata_->lastHwFrameCounter;
        o->flagState = static_cast<std::uint8_t>(metadata_->lastFlagState);
    }
    std::memcpy(out, bytes, sizeof(bytes));
    return S_OK;
}

HRESULT ImageProcessing::applySensorOffsets() {
    BaseControlDevice* device = shared_.device;
    if (device == nullptr) {
        return S_OK;
    }
    const CaliMain main = description()->getMain();
    device->setBoxOffset(main.TempBoxOffset);
    device->setChipGain(main.TempChipFactor);
    device->setChipOffset(main.TempChipOffset);
    device->setFlagOffset(main.TempFlagOffset);
    device->setOpticsOffset(main.TempOpticsOffset);
    return S_OK;
}

HRESULT ImageProcessing::applyTecCalibration() {
    BaseControlDevice* device = shared_.device;
    if (device == nullptr) {
        return S_OK;
    }
    const CaliMain main = description()->getMain();
    device->setTecOffset(main.TempTECOffset);
    device->setTecGain(main.TempTECGain);
    if (shared_.hardwareRevision < 20) {
        // Cameras without analog channels have no entries; the setters leave those alone.
        device->setPifInOffset(0, main.PifInOffset);
        device->setPifInGain(0, main.PifInGain);
        device->setPifOutOffset(0, main.PifOutOffset);
        device->setPifOutGain(0, main.PifOutGain);
    } else {
        device->setTecMaxTemperature(80.0f);
        device->setTecMinTemperature(0.0f);
    }
    device->SetTec_D(main.TecD);
    device->SetTec_B(main.TecB);
    device->SetTec_C(main.TecC);
    return S_OK;
}

HRESULT ImageProcessing::applyFlagCycles() {
    if (shared_.device != nullptr) {
        shared_.device->SetFlagCycle(description()->getMain().FlagCycles);
    }
    return S_OK;
}

HRESULT ImageProcessing::setAutoChipHeating() {
    OpCorr* corr = getCorrection(0);
    if (shared_.device != nullptr && corr != nullptr) {
        const float t = corr->getCaliChipTemp();
        shared_.device->SetTempTec(t);
        shared_.device->SetTempTec(t);
    }
    return S_OK;
}

HRESULT ImageProcessing::configurePif(const PifConfigRecord* record) {
    if (record == nullptr) {
        return E_POINTER;
    }
    const std::size_t channels = std::size_t(record->digitalInputCount) + record->analogInputCount +
                                 record->analogOutputCount + record->digitalOutputCount;
    if (record->size < PifConfigRecord::kHeaderSize + channels * PifConfigRecord::kEntrySize) {
        // Its channel entries would be read past its end.
        KLOG_ERROR("Process interface configuration too short: " << record->size << " bytes for "
                                                                 << channels << " channels");
        return E_INVALIDARG;
    }
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(record);
    pifRecord_.assign(bytes, bytes + record->size);
    const auto* kept = reinterpret_cast<const PifConfigRecord*>(pifRecord_.data());
    shared_.pifConfig = kept;

    if (BaseControlDevice* device = shared_.device) {
        // The entries stand in the order digital inputs, analog inputs, analog outputs,
        // digital outputs; channels count from 0 within each kind.
        const std::uint16_t hw = shared_.hardwareRevision;
        std::size_t e = 0;
        for (unsigned i = 0; i < kept->digitalInputCount; ++i) {
            configureDigitalInput(*device, *kept, *kept->entry(e++), i);
        }
        for (unsigned j = 0; j < kept->analogInputCount; ++j) {
            configureAnalogInput(*device, *kept, *kept->entry(e++), j);
        }
        for (unsigned k = 0; k < kept->analogOutputCount; ++k) {
            configureAnalogOutput(*device, *kept, *kept->entry(e++), k, hw);
        }
        for (unsigned m = 0; m < kept->digitalOutputCount; ++m) {
            configureDigitalOutput(*device, *kept->entry(e++), m, hw);
        }
    }
    if (metadata_ != nullptr) {
        metadata_->refreshConfiguration();
    }
    return S_OK;
}

unsigned ImageProcessing::queryOutputFrequency(unsigned width, unsigned height, unsigned rate) {
    if (source_ == nullptr) {
        return 0;
    }
    FormatRequest request;
    request.width = static_cast<std::int32_t>(width);
    request.height = static_cast<std::int32_t>(height);
    request.frequency = static_cast<double>(rate);
    FormatInfo formats[2];
    int count = 0;
    if (source_->queryFormats(&request, formats, &count) != S_OK || count <= 0) {
        return 0;
    }
    return static_cast<unsigned>(formats[0].frequency);
}

void ImageProcessing::setFlagStateCallback(FlagStateCallback callback) {
    if (flag_ != nullptr) {
        flag_->flagStateCallback = callback;
    }
}

void ImageProcessing::setFlagCorrectionMode(std::int32_t mode) {
    if (flag_ != nullptr) {
        flag_->correctionMode = mode;
        flag_->updateCorrectionMode();
    }
}

std::uint16_t ImageProcessing::getFlagCycles() const {
    return flag_ != nullptr ? flag_->getFlagCycles() : 0;
}

bool ImageProcessing::restartFlagSum() {
    return flag_ != nullptr && flag_->restartClosedSum();
}

std::int32_t ImageProcessing::getLastFlagState() const {
    return metadata_ != nullptr ? metadata_->lastFlagState : 4;
}

void ImageProcessing::setFrameLock(zol::FrameMutex* lock) {
    if (postProcessing_ != nullptr) {
        postProcessing_->setFrameLock(lock);
    }
}

void ImageProcessing::setOutputRate(double ratio) {
    if (postProcessing_ != nullptr) {
        postProcessing_->setRate(ratio);
    }
}

void ImageProcessing::setUseMultiThreading(bool on) {
    if (postProcessing_ != nullptr) {
        postProcessing_->setUseThread(on);
    }
}

const OpFrame* ImageProcessing::getEnergyFrame() const {
    const OpEnergyNormalize* norm = getEnergyNormalize(0);
    return norm != nullptr ? norm->frame : nullptr;
}

bool ImageProcessing::hasThermalOutput() const {
    const OpEnergy2Temp* last = getEnergy2Temp(0);
    return last != nullptr && last->frame != nullptr;
}

void ImageProcessing::stopWorker() {
    if (postProcessing_ != nullptr) {
        postProcessing_->stopWorker();
    }
}

void ImageProcessing::destroyChain() {
    // The post-processing worker stops first: it may be running the operators behind it.
    stopWorker();
    while (!operators_.empty()) {
        operators_.pop_back();
    }
    device_ = nullptr;
    metadata_ = nullptr;
    source_ = nullptr;
    visibleSource_ = nullptr;
    flag_ = nullptr;
    radialDistortion_ = nullptr;
    postProcessing_ = nullptr;
    correction_.clear();
    energyNormalize_.clear();
    energy2Temp_.clear();
    measurementFields_.clear();  // the callers' records
    deviceFrame_.reset();
    correctionTable_ = nullptr;
    primaryTable_.reset();
    secondaryTable_.reset();
    normalizationTable_.reset();
    normalizationCount_ = 0;
    shared_.opticsText.clear();
    shared_.pifConfig = nullptr;
    pifRecord_.clear();
    metadataRecord_.reset();
    cali_.reset();  // after the operators that read it
}

Cali* ImageProcessing::description() const {
    return cali_ != nullptr ? cali_.get() : Cali::getInstance();
}
