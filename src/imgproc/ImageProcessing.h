#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "imgproc/ImagerMetadataRecord.h"
#include "imgproc/OpBase.h"
#include "imgproc/SharedParameterBlock.h"
#include "imgproc/TemperatureTable.h"

class BaseControlDevice;
class OpCorr;
class OpDevice;
class OpEnergy2Temp;
class OpEnergyNormalize;
class OpFlag;
class OpMetadata;
class OpPostProcessing;
class OpREA_RadDistCorr;
class OpSource;

// What the imager hands the chain at init: serial, directories and the frame callbacks.
struct ChainConfig {
    static constexpr int kCallbackSlots = 7;
    static constexpr int kThermalSlot = 3;
    static constexpr int kVisibleSlot = 6;

    std::uint32_t serial = 0;
    std::wstring calibrationDirectory;
    std::wstring tableDirectory;  // where the table and correction files are looked up
    std::wstring formatsDirectory;
    FrameInitCallback initCallbacks[kCallbackSlots] = {};
    FrameDoneCallback doneCallbacks[kCallbackSlots] = {};
};

// The imager's raw-frame cells: the chain writes the buffer address, the imager fills the rest.
struct RawBufferRecord {
    std::uint8_t* buffer = nullptr;
    std::int64_t* timestamp = nullptr;
    std::uint64_t* frameNumber = nullptr;
};

struct RadiationParameters {
    std::uint8_t reset = 0;
    float emissivity = 1.0f;
    float transmissivity = 1.0f;
    float flagTemperature = 0.0f;
    float ambient = 20.0f;
    std::uint8_t index = 0;
    float ambient2 = 0.0f;
};

// Copies of one frame's buffers handed to the snapshot callback (freed after it returns).
struct SnapshotRecord {
    std::int16_t* energy = nullptr;
    std::uint16_t* temperature = nullptr;
    std::uint16_t* unused = nullptr;
    std::uint16_t* visible = nullptr;
    FrameInitRecord formats[4] = {};
    FrameMetadataRecord* metadata = nullptr;
    std::uint8_t applicationRequest = 0;
    std::uint8_t pifRequest = 0;
    std::uint8_t thirdRequest = 0;
};

using SnapshotCallback = std::function<void(SnapshotRecord*)>;

// The processing chain of one camera: builds and owns the operator graph, the device frame, the
// shared parameter block, the temperature tables and the imager metadata record, and drives the
// camera's control device where the chain needs it.
class ImageProcessing {
  public:
    ImageProcessing();
    ~ImageProcessing();
    ImageProcessing(const ImageProcessing&) = delete;
    ImageProcessing& operator=(const ImageProcessing&) = delete;

    HRESULT init(BaseControlDevice* device, const ChainConfig& config, const FrameInitRecord& raw,
                 RawBufferRecord* rawBuffer, std::function<void()> postProcessingHook);
    HRESULT addVisibleSource();
    HRESULT initOperators();
    HRESULT process();

    HRESULT getMetaData(ImagerMetadataRecord* out);  // out holds 128 bytes
    HRESULT getTemperatureTableParameters(double* t1, double* t2, double* t3, std::int16_t* v1,
                                          std::int16_t* v2, std::int16_t* v3, double* lambda1,
                                          double* lambda2);
    HRESULT setTempRange(std::int32_t fov, const wchar_t* text, float tMin, float tMax,
                         std::int32_t rate);
    HRESULT readCalibration();
    HRESULT loadTemperatureTable();
    HRESULT setRadiationParameters(std::uint32_t index, const RadiationParameters& p);
    HRESULT updateRadiationParameters(std::uint32_t index, float emissivity, float transmissivity);
    HRESULT applySensorOffsets();
    HRESULT applyTecCalibration();
    HRESULT applyFlagCycles();
    HRESULT setAutoChipHeating();
    HRESULT configurePif(const PifConfigRecord* record);
    HRESULT getTempFlag(float* t);
    HRESULT getTempBox(float* t);
    HRESULT getTempChip(float* t);

    SnapshotCallback snapshotCallback;
    // Builds the tables from a fixed model instead of the table files (nothing sets it).
    bool modelTable = false;

    // For the imager and tests.
    OpFrame* getDeviceFrame() const { return deviceFrame_; }
    SharedParameterBlock& shared() { return shared_; }
    OpSource* getSource() const { return source_.get(); }
    OpMetadata* getMetadataOp() const { return metadata_.get(); }
    OpFlag* getFlag() const { return flag_.get(); }
    OpPostProcessing* getPostProcessing() const { return post_.get(); }
    OpCorr* getCorrection(std::size_t i) const;
    OpEnergyNormalize* getNormalize(std::size_t i) const;
    OpEnergy2Temp* getEnergy2Temp(std::size_t i) const;
    const TemperatureTable* getPrimaryTable() const { return primary_.get(); }
    const ImagerMetadataRecord* getKeptMetadata() const { return metadataRecord_; }

  private:
    void destroyChain();
    void resetShared();
    void skimCheck();
    void emitSnapshot(std::uint8_t application, std::uint8_t pif);
    bool findSelectedRange(int* optic, int* range) const;
    HRESULT refreshTemp(float& kept, std::int32_t (BaseControlDevice::*query)(float*), float* t);

    std::unique_ptr<OpDevice> root_;
    std::unique_ptr<OpMetadata> metadata_;
    std::unique_ptr<OpSource> source_;
    std::unique_ptr<OpSource> visible_;
    std::unique_ptr<OpFlag> flag_;
    std::unique_ptr<OpREA_RadDistCorr> distortion_;
    std::unique_ptr<OpPostProcessing> post_;
    std::vector<std::unique_ptr<OpCorr>> corrections_;
    std::vector<std::unique_ptr<OpEnergyNormalize>> normalizers_;
    std::vector<std::unique_ptr<OpEnergy2Temp>> toTemperature_;

    std::uint32_t nextTick_ = 0;
    std::uint32_t tickCounter_ = 0;
    OpFrame* deviceFrame_ = nullptr;
    ChainConfig config_;
    SharedParameterBlock shared_;
    std::vector<std::uint8_t> pifConfig_;
    ImagerMetadataRecord* metadataRecord_ = nullptr;
    std::uint16_t pifEntryCount_ = 2;
    std::uint16_t pifCompanion_ = 1;
    std::unique_ptr<TemperatureTable> primary_;
    std::unique_ptr<TemperatureTable> secondary_;
    TemperatureTable* tableSlot_ = nullptr;  // what the correction operators look at
    std::unique_ptr<std::int16_t[]> normTable_;
    int normCount_ = 0;
    int normOffset_ = 0;
    bool primaryStale_ = true;
    BaseControlDevice* device_ = nullptr;
};
