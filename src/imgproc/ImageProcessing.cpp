#include "imgproc/ImageProcessing.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "device/BaseControlDevice.h"
#include "imgproc/Cali.h"
#include "imgproc/OpCorr.h"
#include "imgproc/OpDevice.h"
#include "imgproc/OpEnergy2Temp.h"
#include "imgproc/OpEnergyNormalize.h"
#include "imgproc/OpFlag.h"
#include "imgproc/OpMetadata.h"
#include "imgproc/OpPostProcessing.h"
#include "imgproc/OpREA.h"
#include "imgproc/OpSource.h"
#include "kelvix/HIDDevice.h"
#include "kelvix/IRCalibrationManager.h"
#include "platform/Clock.h"
#include "platform/Strings.h"
#include "sdk/Log.h"

namespace {

constexpr std::int64_t kEpochTo0001 = 62135596800LL;

std::int16_t hundredths(float t) {
    const float v = t * 100.0f;
    return static_cast<std::int16_t>(truncToInt32(v >= 0.0f ? v + 0.5f : v - 0.5f));
}

std::uint16_t permille(float v) {
    return static_cast<std::uint16_t>(truncToInt32((v + 0.0005f) * 1000.0f));
}

template <typename T>
T* copyBuffer(const OpFrame* f) {
    if (f == nullptr || f->format == nullptr || f->pixels == nullptr) {
        return nullptr;
    }
    const std::size_t bytes =
        static_cast<std::size_t>(f->format->width) * f->format->height * f->format->bitCount / 8;
    T* copy = new T[(bytes + sizeof(T) - 1) / sizeof(T)];
    std::memcpy(copy, f->pixels, bytes);
    return copy;
}

FrameInitRecord describe(const OpFrame* f) {
    if (f == nullptr || f->format == nullptr) {
        return FrameInitRecord{};
    }
    return FrameInitRecord{static_cast<std::uint32_t>(f->format->width),
                           static_cast<std::uint32_t>(f->format->height), f->format->bitCount,
                           f->format->avgTimePerFrame};
}

}  // namespace

ImageProcessing::ImageProcessing() = default;

ImageProcessing::~ImageProcessing() {
    destroyChain();
}

OpCorr* ImageProcessing::getCorrection(std::size_t i) const {
    return i < corrections_.size() ? corrections_[i].get() : nullptr;
}

OpEnergyNormalize* ImageProcessing::getNormalize(std::size_t i) const {
    return i < normalizers_.size() ? normalizers_[i].get() : nullptr;
}

OpEnergy2Temp* ImageProcessing::getEnergy2Temp(std::size_t i) const {
    return i < toTemperature_.size() ? toTemperature_[i].get() : nullptr;
}

void ImageProcessing::destroyChain() {
    // The post-processing worker runs the operators behind it: stop it before they go.
    post_.reset();
    toTemperature_.clear();
    normalizers_.clear();
    corrections_.clear();
    distortion_.reset();
    flag_.reset();
    metadata_.reset();
    visible_.reset();
    source_.reset();
    root_.reset();
    OpBase::freeFrame(deviceFrame_);
    deviceFrame_ = nullptr;
    primary_.reset();
    secondary_.reset();
    tableSlot_ = nullptr;
    normTable_.reset();
    normCount_ = 0;
    shared_.opticsText.clear();
    shared_.pifConfig = nullptr;
    pifConfig_.clear();
    imager_metadata::release(metadataRecord_);
    metadataRecord_ = nullptr;
}

void ImageProcessing::resetShared() {
    SharedParameterBlock& s = shared_;
    s.serial = config_.serial;
    s.hardwareRevision = s.firmwareRevision = 0;
    s.fov = 0;
    s.opticsText.clear();
    s.frameRate = 0;
    s.temperatureUnit = 0;
    s.highResolution = s.extendedRange = 0;
    s.flagState = 0;
    s.pifSnapshotRequest = s.appSnapshotRequest = s.thirdSnapshotRequest = 0;
    s.secondTrigger = s.inputLevel = 0;
    s.visibleFormatAvailable = s.revision2100 = s.samplePoints = s.lacksShortCaps = 0;
    s.hasDeviceRes = false;
    s.pendingSkimDelta = 0;
    s.flagsSinceSkimChange = 0;
    s.adjustedSkim = 0;
    s.sampleList = nullptr;
    s.calibrationDirectory = config_.calibrationDirectory.c_str();
    s.tableDirectory = config_.tableDirectory.c_str();
    s.formatsDirectory = config_.formatsDirectory.c_str();
    s.device = device_;
}

HRESULT ImageProcessing::init(BaseControlDevice* device, const ChainConfig& config,
                              const FrameInitRecord& raw, RawBufferRecord* rawBuffer,
                              std::function<void()> postProcessingHook) {
    destroyChain();
    config_ = config;
    Cali* cali = Cali::getInstance();
    if (!cali->isLoaded() || cali->getSerial() != static_cast<int>(config_.serial)) {
        KLOG_ERROR("Calibration files are not loaded");
        return E_FAIL;
    }
    device_ = device;
    resetShared();
    if (device_ != nullptr) {
        const std::uint32_t serial = device_->GetSerialNumber();
        if (serial != 0 && serial == config_.serial) {
            shared_.hardwareRevision = device_->GetHWRevision();
            shared_.firmwareRevision = device_->GetFWRevision();
            shared_.lacksShortCaps = device_->GetShortImagerCaps() ? 0 : 1;
            shared_.revision2100 =
                static_cast<std::uint16_t>(shared_.hardwareRevision - 2100) <= 99 ? 1 : 0;
        }
    }
    if (raw.width == 0 || raw.height == 0 || raw.bitCount != 16) {
        return -1;
    }

    OpFrameFormat format;
    format.width = static_cast<std::int32_t>(raw.width);
    format.height = static_cast<std::int32_t>(raw.height);
    format.pixelCount = format.width * format.height;
    format.byteSize = format.pixelCount * raw.bitCount / 8;
    format.avgTimePerFrame = raw.avgTimePerFrame;
    format.bitCount = raw.bitCount;
    deviceFrame_ = OpBase::allocateOutputFrame(&format, 0);
    KLOG_DEBUG("Source buffer size: " << format.byteSize << " Width: " << format.width
                                      << " Height: " << format.height);
    if (rawBuffer != nullptr) {
        rawBuffer->buffer = reinterpret_cast<std::uint8_t*>(deviceFrame_->pixels);
    }

    pifEntryCount_ = 2;
    pifCompanion_ = 1;
    metadataRecord_ =
        imager_metadata::initParameters(metadataRecord_, pifEntryCount_, pifCompanion_);

    root_ = std::make_unique<OpDevice>(&shared_);
    source_ = std::make_unique<OpSource>(root_.get(), 1, L"# Source", &shared_, 0);
    metadata_ = std::make_unique<OpMetadata>(source_.get(), &shared_);
    flag_ = std::make_unique<OpFlag>(metadata_.get(), &shared_, cali);
    distortion_ = std::make_unique<OpREA_RadDistCorr>(flag_.get(), &shared_);
    post_ = std::make_unique<OpPostProcessing>(distortion_.get(), &shared_,
                                               std::move(postProcessingHook));
    corrections_.push_back(std::make_unique<OpCorr>(post_.get(), &shared_, cali));
    corrections_.back()->setTableSlot(&tableSlot_);
    normalizers_.push_back(
        std::make_unique<OpEnergyNormalize>(corrections_.back().get(), &shared_));
    toTemperature_.push_back(std::make_unique<OpEnergy2Temp>(normalizers_.back().get(), &shared_));
    toTemperature_.back()->initCallback = config_.initCallbacks[ChainConfig::kThermalSlot];
    toTemperature_.back()->frameDoneCallback = config_.doneCallbacks[ChainConfig::kThermalSlot];
    return S_OK;
}

HRESULT ImageProcessing::addVisibleSource() {
    if (root_ == nullptr) {
        return E_UNEXPECTED;
    }
    visible_ = std::make_unique<OpSource>(root_.get(), 2, L"# Source Visible", &shared_, 1);
    visible_->initCallback = config_.initCallbacks[ChainConfig::kVisibleSlot];
    visible_->frameDoneCallback = config_.doneCallbacks[ChainConfig::kVisibleSlot];
    return S_OK;
}

HRESULT ImageProcessing::initOperators() {
    if (root_ == nullptr || deviceFrame_ == nullptr) {
        return E_UNEXPECTED;
    }
    FrameMetadataRecord* m = OpBase::resizeMetadata(deviceFrame_->metadata, 1);
    deviceFrame_->metadata = m;
    m->hwFrameCounter = 0;
    m->frameCounter = 0;
    m->recordSize = static_cast<std::uint16_t>(FrameMetadataRecord::sizeFor(m->analogCount));
    m->timestamp = 0;
    m->flagState = 4;
    m->digitalInputBits = 0xFFFFFFFFu;
    for (unsigned i = 0; i < m->analogCount; ++i) {
        m->setAnalog(i, 0xFFFF);
    }
    m->tempChip = m->tempFlag = m->tempBox = m->tempOptics = -100.0f;
    const OpFrameFormat* f = deviceFrame_->format;
    KLOG_DEBUG("Source buffer size: " << f->byteSize << " Width: " << f->width
                                      << " Height: " << f->height);
    const HRESULT hr = root_->attach(deviceFrame_);
    return source_->isFormatFound() ? hr : E_NOTIMPL;
}

void ImageProcessing::skimCheck() {
    if (flag_ == nullptr || device_ == nullptr || shared_.hardwareRevision < 20 ||
        flag_->isSkimAdjustActive()) {
        return;
    }
    int optic = -1, range = -1;
    if (!findSelectedRange(&optic, &range)) {
        return;
    }
    CaliOpticsKey key;
    Cali* cali = Cali::getInstance();
    CaliTempRange data;
    if (!cali->getOptics(optic, &key) || !cali->getTempRangeData(key, range, &data)) {
        return;
    }
    std::uint16_t skim = 0;
    bool bias = false;
    device_->GetSkim(&skim);
    device_->GetBiasEnable(&bias);
    if (skim != data.Skim && bias) {
        device_->SetSkim_Adjust(data.Skim);
    }
}

bool ImageProcessing::findSelectedRange(int* optic, int* range) const {
    Cali* cali = Cali::getInstance();
    const wchar_t* text = shared_.opticsText.c_str();
    *optic = cali->findOpticsIndex(shared_.fov, text);
    *range = cali->findTempRange(shared_.fov, text, shared_.tMin, shared_.tMax);
    return *optic >= 0 && *range >= 0;
}

HRESULT ImageProcessing::process() {
    const std::uint32_t now = platform::clock().tickMs();
    if (platform::reached(now, nextTick_)) {
        ++tickCounter_;
        if (tickCounter_ % 50 == 0) {
            skimCheck();
        }
        nextTick_ += 100;
        if (platform::reached(now, nextTick_)) {
            nextTick_ = now + 100;
        }
    }
    if (device_ != nullptr) {
        device_->ProcessDeferredCommands();
    }
    if (deviceFrame_ != nullptr) {
        FrameMetadataRecord* m = deviceFrame_->metadata;
        m->settleMarker = m->frameCounter > 2 ? 1 : 0;
        const unsigned analog =
            shared_.pifConfig != nullptr ? shared_.pifConfig->analogInputCount : 0;
        deviceFrame_->metadata = OpBase::resizeMetadata(m, analog);
    }
    if (root_ == nullptr) {
        return E_UNEXPECTED;
    }
    HRESULT hr;
    try {
        hr = root_->trigger();
    } catch (const char*) {
        hr = E_UNEXPECTED;
    }
    if (shared_.pifSnapshotRequest) {
        emitSnapshot(0, 1);
        shared_.pifSnapshotRequest = 0;
    } else if (shared_.appSnapshotRequest) {
        emitSnapshot(1, 1);
        shared_.appSnapshotRequest = 0;
    }
    if (shared_.pendingSkimDelta != 0 && device_ != nullptr) {
        std::uint16_t skim = 0;
        device_->GetSkim(&skim);
        const std::uint16_t adjusted = static_cast<std::uint16_t>(skim + shared_.pendingSkimDelta);
        shared_.adjustedSkim = adjusted;
        device_->SetSkim_Adjust(adjusted);
        shared_.pendingSkimDelta = 0;
        shared_.flagsSinceSkimChange = 0;
    }
    return hr;
}

void ImageProcessing::emitSnapshot(std::uint8_t application, std::uint8_t pif) {
    if (!snapshotCallback) {
        return;
    }
    SnapshotRecord r;
    const OpFrame* energy = normalizers_.empty() ? nullptr : normalizers_[0]->frame;
    const OpFrame* temperature = toTemperature_.empty() ? nullptr : toTemperature_[0]->frame;
    const OpFrame* visible = visible_ != nullptr ? visible_->frame : nullptr;
    r.energy = copyBuffer<std::int16_t>(energy);
    r.temperature = copyBuffer<std::uint16_t>(temperature);
    r.visible = copyBuffer<std::uint16_t>(visible);
    r.formats[0] = describe(energy);
    r.formats[1] = describe(temperature);
    r.formats[3] = describe(visible);
    if (temperature != nullptr && temperature->metadata != nullptr) {
        r.metadata = OpBase::copyMetadata(temperature->metadata, OpBase::allocateMetadata());
    }
    r.applicationRequest = application;
    r.pifRequest = pif;
    r.thirdRequest = 0;
    snapshotCallback(&r);
    delete[] r.energy;
    delete[] r.temperature;
    delete[] r.visible;
    OpBase::freeMetadata(r.metadata);
}

HRESULT ImageProcessing::setTempRange(std::int32_t fov, const wchar_t* text, float tMin, float tMax,
                                      std::int32_t rate) {
    Cali* cali = Cali::getInstance();
    if (!cali->isLoaded() || cali->getSerial() != static_cast<int>(shared_.serial)) {
        KLOG_ERROR("Calibration files are not loaded for serial " << shared_.serial);
        return E_FAIL;
    }
    const int optic = cali->findOpticsIndex(fov, text);
    const int range = cali->findTempRange(fov, text, tMin, tMax);
    const int r = cali->findFramerate(fov, text, tMin, tMax, rate);
    if (optic < 0 || range < 0 || r < -1) {
        return E_INVALIDARG;
    }
    shared_.fov = fov;
    shared_.opticsText = text != nullptr ? text : L"";

    CaliOpticsKey key{fov, shared_.opticsText};
    CaliTempRange data;
    cali->getTempRangeData(key, range, &data);
    const std::int16_t frameRate = static_cast<std::int16_t>(r >= 0 ? rate : 0);
    const std::int16_t decimal = static_cast<std::int16_t>(data.Decimal);
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
    for (auto& c : corrections_) {
        if (FAILED(c->readCalibration())) {
            result = E_FAIL;
        }
    }
    return result;
}

HRESULT ImageProcessing::loadTemperatureTable() {
    int optic = -1, range = -1;
    if (!findSelectedRange(&optic, &range)) {
        KLOG_ERROR("Invalid temperature table params given, Optics: " << optic
                                                                      << ", TempRange: " << range);
        return E_INVALIDARG;
    }
    Cali* cali = Cali::getInstance();
    CaliOpticsKey key{shared_.fov, shared_.opticsText};
    CaliTempRange data;
    cali->getTempRangeData(key, range, &data);

    normCount_ = 0;
    normTable_.reset();
    secondary_.reset();
    primary_ = std::make_unique<TemperatureTable>(&shared_);
    tableSlot_ = primary_.get();
    primaryStale_ = false;

    ImagerMetadataModel meta;
    if (modelTable) {
        TableModel model;
        model.T1 = -5.0;
        model.T3 = shared_.tMax;
        model.E1 = 0;
        model.E3 = 15000;
        model.lambda = data.tableParams.Lambda > 0.3 ? data.tableParams.Lambda : 1.1;
        primary_->buildFromModel(model, shared_.tMin, shared_.tMax, -5.0f, false);
        meta = ImagerMetadataModel{model.T1, model.T3, model.E1, model.E3, model.lambda,
                                   0.0,      -100.0,   0,        true};
        imager_metadata::fillFromModel(metadataRecord_, meta, shared_);
        return S_OK;
    }

    shared_.energyAtTMin = shared_.energyAtTMax = 0.0f;
    wchar_t stem[260];
    wchar_t path[260];
    bool built = Cali::makeFileName(static_cast<int>(shared_.serial), shared_.fov,
                                    shared_.opticsText.c_str(), shared_.tMin, shared_.tMax,
                                    shared_.frameRate, stem, 260);
    if (built) {
        const std::wstring name = std::wstring(L"Kennlinie-") + stem;
        built = zol::IRCalibrationManager::getInstance()->createConfigFilepath(
            path, config_.tableDirectory.c_str(), 260, name.c_str(), L".prn");
    }
    if (!built) {
        KLOG_ERROR("Calibration file path not valid: " << platform::toNarrow(stem));
        return E_FAIL;
    }

    if (device_ != nullptr) {
        device_->SetFid(data.Fid);
        if (shared_.adjustedSkim != 0 && data.Skim == shared_.calibratedSkim) {
            device_->SetSkim_Adjust(shared_.adjustedSkim);
        } else {
            device_->SetSkim(data.Skim);
            shared_.adjustedSkim = 0;
            shared_.pendingSkimDelta = 0;
        }
        shared_.calibratedSkim = data.Skim;
        platform::clock().sleepMs(100);
        device_->SetBiasEnable(true);
        platform::clock().sleepMs(100);
    }

    TableModel model;
    const HRESULT loaded = primary_->loadFile(path, false);
    if (FAILED(loaded)) {
        KLOG_ERROR("Loading primary table failed: " << platform::toNarrow(path));
        return loaded;
    }
    if (shared_.revision2100) {
        float start = 600.0f;
        if (FAILED(primary_->findRisingStart(start))) {
            start = 600.0f;
        }
        shared_.risingStartTemp = start;
    }
    const HRESULT fitted = primary_->fitReferencePoints(model);
    if (FAILED(fitted)) {
        return fitted;
    }
    if (data.tableParams.Normalize) {
        secondary_ = std::make_unique<TemperatureTable>(*primary_);
        if (data.tableParams.Lambda > 0.0) {
            model.T1 = data.tableParams.T1;
            model.T3 = data.tableParams.T3;
            model.E1 = data.tableParams.E1;
            model.E3 = data.tableParams.E3;
            model.lambda = data.tableParams.Lambda;
        }
        std::unique_ptr<std::int16_t[]> table;
        int count = 0, offset = 0;
        if (primary_->buildNormalizationLut(model, shared_.tMin, shared_.tMax, false, table, &count,
                                            &offset) &&
            table != nullptr && count > 0) {
            normTable_ = std::move(table);
            normCount_ = count;
            normOffset_ = offset;
            for (auto& n : normalizers_) {
                n->loadLut(normTable_.get(), normCount_, static_cast<std::int16_t>(normOffset_));
            }
        }
    }
    if (model.lambda > 0.0) {
        primary_->buildFromModel(model, shared_.tMin, shared_.tMax, -5.0f, false);
        meta = ImagerMetadataModel{model.T1, model.T3, model.E1, model.E3, model.lambda,
                                   0.0,      -100.0,   0,        false};
        imager_metadata::fillFromModel(metadataRecord_, meta, shared_);
    }
    return S_OK;
}

HRESULT ImageProcessing::setRadiationParameters(std::uint32_t index, const RadiationParameters& p) {
    if (primary_ == nullptr || index >= toTemperature_.size()) {
        return E_FAIL;
    }
    OpEnergy2Temp* toTemp = toTemperature_[index].get();
    OpEnergyNormalize* norm = index < normalizers_.size() ? normalizers_[index].get() : nullptr;
    if (p.reset) {
        toTemp->resetToIdentity();
        if (norm != nullptr) {
            norm->resetToIdentity();
        }
    } else {
        RadiationRecord r;
        r.emissivity = p.emissivity;
        r.transmissivity = p.transmissivity;
        r.ambient = p.ambient;
        primary_->applyRadiation(r, p.emissivity * p.transmissivity, false);
        toTemp->loadLut(primary_->lut.data(), primary_->lutSize,
                        static_cast<std::int16_t>(primary_->energyOffset));
        if (norm != nullptr) {
            if (normTable_ != nullptr) {
                norm->loadLut(normTable_.get(), normCount_, static_cast<std::int16_t>(normOffset_));
            } else {
                norm->resetToIdentity();
            }
        }
        if (index == 0 && metadataRecord_ != nullptr) {
            metadataRecord_->emissivity = permille(p.emissivity);
            metadataRecord_->transmissivity = permille(p.transmissivity);
            metadataRecord_->ambientRaw = imager_metadata::toRaw(p.ambient);
            metadataRecord_->secondAmbientRaw =
                p.index == index ? 0 : imager_metadata::toRaw(p.ambient2);
        }
    }
    if (index == 0) {
        shared_.energyAtTMin = primary_->temperatureToEnergy(shared_.tMin);
        shared_.energyAtTMax = primary_->temperatureToEnergy(shared_.tMax);
    }
    if (index < corrections_.size()) {
        corrections_[index]->updateDeviation();
    }
    return S_OK;
}

HRESULT ImageProcessing::updateRadiationParameters(std::uint32_t index, float emissivity,
                                                   float transmissivity) {
    float flag = -100.0f, box = -100.0f;
    getTempFlag(&flag);
    KLOG_DEBUG("Update flag temperature: " << flag);
    getTempBox(&box);
    KLOG_DEBUG("Update box temperature: " << box);
    RadiationParameters p;
    p.reset = 0;
    p.emissivity = emissivity;
    p.transmissivity = transmissivity;
    p.flagTemperature = flag;
    p.ambient = box - 5.0f;
    p.index = 0;
    p.ambient2 = 0.0f;
    setRadiationParameters(index, p);
    return S_OK;
}

HRESULT ImageProcessing::refreshTemp(float& kept, std::int32_t (BaseControlDevice::*query)(float*),
                                     float* t) {
    if (t == nullptr) {
        return E_POINTER;
    }
    if (kept == -100.0f && device_ != nullptr) {
        (device_->*query)(&kept);
    }
    *t = kept;
    return S_OK;
}

HRESULT ImageProcessing::getTempFlag(float* t) {
    if (metadata_ == nullptr) {
        return E_UNEXPECTED;
    }
    return refreshTemp(metadata_->lastFlagTemp, &BaseControlDevice::GetTempFlag, t);
}

HRESULT ImageProcessing::getTempBox(float* t) {
    if (metadata_ == nullptr) {
        return E_UNEXPECTED;
    }
    return refreshTemp(metadata_->lastBoxTemp, &BaseControlDevice::GetTempBox, t);
}

HRESULT ImageProcessing::getTempChip(float* t) {
    if (metadata_ == nullptr) {
        return E_UNEXPECTED;
    }
    return refreshTemp(metadata_->lastChipTemp, &BaseControlDevice::GetTempChip, t);
}

HRESULT ImageProcessing::getTemperatureTableParameters(double* t1, double* t2, double* t3,
                                                       std::int16_t* v1, std::int16_t* v2,
                                                       std::int16_t* v3, double* lambda1,
                                                       double* lambda2) {
    if (!t1 || !t2 || !t3 || !v1 || !v2 || !v3 || !lambda1 || !lambda2) {
        return E_POINTER;
    }
    const ImagerMetadataRecord* r = metadataRecord_;
    if (r == nullptr) {
        return E_UNEXPECTED;
    }
    *t1 = (r->refTemp1Raw - 1000) * 0.1;
    *t2 = (r->refTemp2Raw - 1000) * 0.1;
    *t3 = (r->refTemp3Raw - 1000) * 0.1;
    *v1 = static_cast<std::int16_t>(r->refValue1);
    *v2 = static_cast<std::int16_t>(r->refValue2);
    *v3 = static_cast<std::int16_t>(r->refValue3);
    *lambda1 = r->wavelength1 * 1e-6;
    *lambda2 = r->wavelength2 * 1e-6;
    return S_OK;
}

HRESULT ImageProcessing::getMetaData(ImagerMetadataRecord* out) {
    if (out == nullptr) {
        return E_POINTER;
    }
    std::uint8_t bytes[ImagerMetadataRecord::kFixedSize] = {};
    auto* r = reinterpret_cast<ImagerMetadataRecord*>(bytes);
    if (metadataRecord_ != nullptr) {
        std::memcpy(bytes, metadataRecord_, ImagerMetadataRecord::kFixedSize);
    }
    r->recordSize = ImagerMetadataRecord::kFixedSize;
    r->version = ImagerMetadataRecord::kVersion;
    r->serial = shared_.serial;
    r->decimal = 0;
    r->zero22 = 0;

    Cali* cali = Cali::getInstance();
    r->opticIndex = 255;
    r->rangeIndex = 255;
    for (int i = 0; i < cali->getOpticsCount(); ++i) {
        CaliOptics o;
        if (cali->getOpticsData(i, &o) && o.FOV == shared_.fov) {
            r->opticIndex = static_cast<std::uint8_t>(i);
            break;
        }
    }
    const int optic = cali->findOptics(CaliOpticsKey{shared_.fov, L""});
    CaliOptics o;
    if (optic >= 0 && cali->getOpticsData(optic, &o)) {
        const float lo = (r->tMinRaw - 1000) * 0.1f;
        const float hi = (r->tMaxRaw - 1000) * 0.1f;
        for (std::size_t i = 0; i < o.ranges.size(); ++i) {
            if (o.ranges[i].TempLo == lo && o.ranges[i].TempHi == hi) {
                r->rangeIndex = static_cast<std::uint8_t>(i);
                break;
            }
        }
    }
    r->time = (platform::clock().systemTimeMs() / 1000 + kEpochTo0001) * 10000000LL +
              (platform::clock().systemTimeMs() % 1000) * 10000LL;

    float flag = -100.0f, chip = -100.0f, box = -100.0f;
    getTempFlag(&flag);
    getTempChip(&chip);
    getTempBox(&box);
    r->tempFlag100 = hundredths(flag);
    r->tempChip100 = hundredths(chip);
    r->tempBox100 = hundredths(box);
    if (metadata_ != nullptr) {
        r->tempOptics100 = hundredths(metadata_->lastOpticsTemp);
        const std::size_t n = std::min<std::size_t>(metadata_->lastAnalogValues.size(), 2);
        // The returned 128 bytes have room for two analog values, at offsets 124 and 126.
        for (std::size_t i = 0; i < n; ++i) {
            std::memcpy(bytes + sizeof(ImagerMetadataRecord) + 2 * i,
                        &metadata_->lastAnalogValues[i], 2);
        }
        r->digitalInputBits = metadata_->lastDigitalWord;
        r->hwFrameCounter = metadata_->lastHwFrameCounter;
        r->flagState = static_cast<std::uint8_t>(metadata_->lastFlagState);
    }
    std::memcpy(out, bytes, ImagerMetadataRecord::kFixedSize);
    return S_OK;
}

HRESULT ImageProcessing::applySensorOffsets() {
    if (device_ == nullptr) {
        return S_OK;
    }
    const CaliMain m = Cali::getInstance()->getMain();
    device_->setBoxOffset(m.TempBoxOffset);
    device_->setChipGain(m.TempChipFactor);
    device_->setChipOffset(m.TempChipOffset);
    device_->setFlagOffset(m.TempFlagOffset);
    device_->setOpticsOffset(m.TempOpticsOffset);
    return S_OK;
}

HRESULT ImageProcessing::applyTecCalibration() {
    if (device_ == nullptr) {
        return S_OK;
    }
    const CaliMain m = Cali::getInstance()->getMain();
    device_->setTecOffset(m.TempTECOffset);
    device_->setTecGain(m.TempTECGain);
    if (shared_.hardwareRevision < 20) {
        // The device keeps these arrays per channel; a device without channels keeps none.
        device_->setPifInOffset(0, m.PifInOffset);
        device_->setPifInGain(0, m.PifInGain);
        device_->setPifOutOffset(0, m.PifOutOffset);
        device_->setPifOutGain(0, m.PifOutGain);
    } else {
        device_->setTecMaxTemperature(80.0f);
        device_->setTecMinTemperature(0.0f);
    }
    device_->SetTec_D(m.TecD);
    device_->SetTec_B(m.TecB);
    device_->SetTec_C(m.TecC);
    return S_OK;
}

HRESULT ImageProcessing::applyFlagCycles() {
    if (device_ != nullptr) {
        device_->SetFlagCycle(Cali::getInstance()->getMain().FlagCycles);
    }
    return S_OK;
}

HRESULT ImageProcessing::setAutoChipHeating() {
    if (device_ != nullptr && !corrections_.empty()) {
        const float t = corrections_[0]->getCaliChipTemp();
        device_->SetTempTec(t);
        device_->SetTempTec(t);
    }
    return S_OK;
}

HRESULT ImageProcessing::configurePif(const PifConfigRecord* record) {
    if (record == nullptr) {
        return E_POINTER;
    }
    const std::size_t size = std::max<std::size_t>(record->size, PifConfigRecord::kHeaderSize);
    pifConfig_.assign(reinterpret_cast<const std::uint8_t*>(record),
                      reinterpret_cast<const std::uint8_t*>(record) + size);
    const auto* pif = reinterpret_cast<const PifConfigRecord*>(pifConfig_.data());
    shared_.pifConfig = pif;
    if (device_ != nullptr) {
        const unsigned hw = shared_.hardwareRevision;
        const bool rev3000 = hw >= 3000 && hw <= 3199;
        std::size_t e = 0;
        for (unsigned i = 0; i < pif->digitalInputCount; ++i, ++e) {
            const PifConfigEntry* entry = pif->entry(e);
            if (entry == nullptr) {
                break;
            }
            device_->SetPIFInDigitalMode(entry->mode, static_cast<std::uint8_t>(i));
            if (entry->mode == 1) {
                device_->SetPIFInDigitalFlagLowActive(pif->diLowActive != 0);
            } else if (entry->mode != 0) {
                device_->SetPIFInDigitalLowActive(pif->diLowActive != 0);
            }
        }
        for (unsigned j = 0; j < pif->analogInputCount; ++j, ++e) {
            const PifConfigEntry* entry = pif->entry(e);
            if (entry == nullptr) {
                break;
            }
            device_->SetPIFInMode(entry->mode, static_cast<std::uint8_t>(j));
            if (entry->mode == 1) {
                device_->SetPIFInFlagOpenIfLower(pif->aiOpenIfLower != 0);
                device_->SetPIFInFlagThreshold(pif->aiFlagThreshold);
            }
        }
        for (unsigned k = 0; k < pif->analogOutputCount; ++k, ++e) {
            const PifConfigEntry* entry = pif->entry(e);
            if (entry == nullptr) {
                break;
            }
            const auto chan = static_cast<std::uint8_t>(k);
            const std::int32_t mode = entry->mode;
            if (mode == 1) {
                device_->SetPIFOutMode(1, chan);
                device_->SetPIFOutFlagOpen(pif->aoLevelFlagOpen, static_cast<std::int16_t>(k));
                device_->SetPIFOutFlagClosed(pif->aoLevelFlagClosed, static_cast<std::int16_t>(k));
                device_->SetPIFOutFlagMoving(pif->aoLevelFlagMoving, static_cast<std::int16_t>(k));
            } else if (mode == 5) {
                device_->SetPIFOutMode(5, chan);
                device_->SetPIFOutFrameSync(pif->aoLevelFrameSync, static_cast<std::int16_t>(k));
            } else if (mode == 6) {
                device_->SetPIFOutMode(shared_.revision2100 ? 6 : 0, chan);
            } else if (mode == 9 || mode == 10 || mode == 11) {
                device_->SetPIFOutMode(rev3000 && entry->enable ? mode : 0, chan);
                tagAutonomousPifAOConfig cfg;
                cfg.aoIndex = chan;
                cfg.functionType = mode;
                cfg.selector = static_cast<std::uint8_t>(entry->outputMode);
                if (mode == 10) {
                    cfg.lowerLevel = static_cast<std::int16_t>(entry->alarmLevel1);
                    cfg.upperLevel = static_cast<std::int16_t>(entry->alarmLevel2);
                    device_->ConfigAutonomousPifAO_ForAlarm(&cfg);
                } else {
                    const double slope =
                        entry->value2 == entry->value1
                            ? 1.0
                            : (static_cast<double>(entry->output2) - entry->output1) /
                                  (entry->value2 - entry->value1);
                    cfg.first = slope;
                    cfg.second = entry->output1 - entry->value1 * slope;
                    if (mode == 9) {
                        cfg.value = entry->areaWord;
                        device_->ConfigAutonomousPifAO_ForMeasureArea(&cfg);
                    } else {
                        device_->ConfigAutonomousPifAO_ForTInt(&cfg);
                    }
                }
            } else {
                device_->SetPIFOutMode(0, chan);
            }
            device_->SetPIFOutOutputMode(entry->outputMode, chan);
        }
        for (unsigned m = 0; m < pif->digitalOutputCount; ++m, ++e) {
            const PifConfigEntry* entry = pif->entry(e);
            if (entry == nullptr) {
                break;
            }
            std::int32_t mode = 0;
            if (entry->mode == 1 || entry->mode == 5) {
                mode = entry->mode;
            } else if (entry->mode == 10 && rev3000) {
                mode = 10;
            }
            device_->SetPIFOutDigitalMode(mode, static_cast<std::uint8_t>(m));
        }
    }
    if (metadata_ != nullptr) {
        metadata_->refreshConfiguration();
    }
    return S_OK;
}
