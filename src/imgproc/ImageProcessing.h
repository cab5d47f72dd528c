// The processing chain of one camera (ImageProcessing) and the records it exchanges with
// its imager. Owned by zol::Kelvix: frames run on the capture thread, configuration runs on
// the application's thread between frames.

#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "imgproc/ImagerMetadataRecord.h"
#include "imgproc/OpBase.h"
#include "imgproc/OpFlag.h"
#include "imgproc/SharedParameterBlock.h"
#include "kelvix/export.h"
#include "platform/HResult.h"

namespace zol {
class FrameMutex;
}  // namespace zol

class BaseControlDevice;
class Cali;
class CaliImageExtractor;
class OpCorr;
class OpDevice;
class OpEnergy2Temp;
class OpEnergyNormalize;
class OpMetadata;
class OpPostProcessing;
class OpREA_RadDistCorr;
class OpSource;
class TemperatureTable;
struct CaliTableParams;
struct CaliTempRange;
struct RadiationRecord;
struct TableModel;
namespace zol {
struct IRMeasurementField;
}

constexpr std::size_t kChainPathLength = 260;

// What the imager hands the chain once: identity, directories and the per-instance callbacks.
// Slot 3 of each callback table is the thermal output, slot 6 the visible output.
struct ImageProcessingConfig {
    static constexpr int kCallbackSlots = 7;
    static constexpr int kThermalSlot = 3;
    static constexpr int kVisibleSlot = 6;

    std::uint32_t serial = 0;
    wchar_t calibrationDirectory[kChainPathLength] = {};
    wchar_t tableDirectory[kChainPathLength] = {};  // the table files are looked up here
    wchar_t formatsDirectory[kChainPathLength] = {};
    FrameInitCallback initCallbacks[kCallbackSlots] = {};
    FrameDoneCallback doneCallbacks[kCallbackSlots] = {};
};

// The imager's view of the device frame: init writes the pixel buffer's address here (the
// buffer processRawFrame copies each raw frame into); the imager keeps its own timestamp and
// frame-number cells.
struct RawBufferRecord {
    std::uint8_t* buffer = nullptr;
    std::int64_t* timestamp = nullptr;
    std::uint64_t* frameNumber = nullptr;
};

// Copies of one frame's buffers handed to the snapshot callback; freed when it returns.
struct SnapshotRecord {
    std::uint16_t* energy = nullptr;
    std::uint16_t* temperatures = nullptr;
    std::uint16_t* unused = nullptr;
    std::uint16_t* visible = nullptr;
    FrameInitRecord formats[4] = {};
    FrameMetadataRecord* metadata = nullptr;
    std::uint8_t appRequest = 0;
    std::uint8_t pifRequest = 0;
    std::uint8_t thirdRequest = 0;
};

using SnapshotCallback = std::function<void(SnapshotRecord*)>;

struct RadiationParameters {
    std::uint8_t reset = 0;
    float emissivity = 1.0f;
    float transmissivity = 1.0f;
    float flagTemperature = 0.0f;
    float ambientTemperature = 0.0f;
    std::uint8_t index = 0;
    float secondAmbientTemperature = 0.0f;
};

// The processing graph of one camera and everything it shares: device frame, parameter block,
// temperature tables, metadata record and the link to the camera's control channel.
//
// Threads, as the lines below name them. At init: on the thread that builds the chain, while no
// frames flow and without the imager lock (init and destroyChain join the post-processing
// worker, which takes that lock for each frame). Frame path: on the thread that delivers the
// frames, one at a time, under the imager lock. Between frames: on any thread that holds the
// imager lock (zol::Kelvix's operations and frame callbacks do), or while no frames flow. Any
// thread: atomic values, no lock needed.
class ImageProcessing {
  public:
    // Constructed empty; the destructor runs destroyChain, so it has destroyChain's thread rule.
    ImageProcessing();
    ~ImageProcessing();
    ImageProcessing(const ImageProcessing&) = delete;
    ImageProcessing& operator=(const ImageProcessing&) = delete;

    // Builds the chain; -1 for a raw shape other than non-empty 16-bit, E_FAIL when the
    // calibration description of the configured serial is not loaded. At init; a chain built
    // before is destroyed first. `postProcessingHook` runs after each frame post-processing
    // passes on, on the thread that passes it.
    HRESULT init(BaseControlDevice* device, const ImageProcessingConfig* config,
                 const FrameInitRecord* raw, RawBufferRecord* rawBuffer,
                 std::function<void()> postProcessingHook = nullptr);
    // Adds the visible-image source under the device operator: at init, between init and
    // initOperators; E_UNEXPECTED before init.
    HRESULT addVisibleSource();
    // Initialises every operator from the device frame (each allocates its output): at init, after
    // init; E_NOTIMPL when "Formats.def" has no usable block for the raw stream.
    HRESULT initOperators();
    // The raw frame's way in: copies `raw` into the device frame (the buffer init announced in
    // the RawBufferRecord), advances its frame counter, stamps it, and runs process(). Frame
    // path (zol::Kelvix::process).
    HRESULT processRawFrame(const std::uint8_t* raw, std::size_t bytes, std::int64_t timestamp,
                            std::int64_t frameNumber);
    // Runs the device frame as it stands from the root operator down to the temperature output.
    // Frame path; first the control device's deferred commands and, every 5 s, the skim check.
    HRESULT process();

    // The radiometric record of the current range and the last frame: between frames.
    // `out` must hold 128 bytes; up to two analog values land at offsets 124 to 127.
    HRESULT getMetaData(ImagerMetadataRecord* out);
    // The loaded table's reference temperatures (degC), their energies and the wavelengths:
    // between frames; E_FAIL before init (it reads the record init creates).
    HRESULT getTemperatureTableParameters(double* refTemp1, double* refTemp2, double* refTemp3,
                                          std::int16_t* refValue1, std::int16_t* refValue2,
                                          std::int16_t* refValue3, double* wavelength1,
                                          double* wavelength2);
    // Selects the range (optic `text`, frame rate `rate`) that readCalibration and
    // loadTemperatureTable load next; E_INVALIDARG when the calibration description holds no
    // such optic or range, E_FAIL without the description. At init or between frames.
    HRESULT setTempRange(std::int32_t fov, const wchar_t* text, float tMin, float tMax,
                         std::int32_t rate);
    // Reads the selected range's correction data into every correction operator; E_FAIL when
    // one fails. At init or between frames.
    HRESULT readCalibration();
    // Loads the selected range's table file, sending the camera the range's fid, skim and bias,
    // or with modelTable builds the table from a model. At init or between frames.
    // E_INVALIDARG, with nothing sent to the camera, when the table path would not fit; the
    // failure of the file, its fit or its model (with an ERROR line naming camera and table).
    HRESULT loadTemperatureTable();
    // Rebuilds chain `index`'s lookup tables for the emissivity, transmissivity and ambient
    // temperature of `p` (p.reset: the identity); E_FAIL before a table is loaded or past the
    // last chain. At init or between frames.
    HRESULT setRadiationParameters(std::uint32_t index, const RadiationParameters& p);
    // setRadiationParameters with the flag temperature and the box temperature - 5 degC as the
    // ambient one; S_OK whatever that answers. At init or between frames.
    HRESULT updateRadiationParameters(std::uint32_t index, float emissivity, float transmissivity);

    // Send the calibration description's sensor offsets, and its TEC and process-interface
    // calibration, to the control device: at init.
    HRESULT applySensorOffsets();
    HRESULT applyTecCalibration();
    // Starts a flag cycle on the camera (SetFlagCycle with the description's FlagCycles): on the
    // frame path after a frame, or between frames.
    HRESULT applyFlagCycles();
    // The chip heating's reference := the first correction operator's calibration chip
    // temperature: at init, after readCalibration.
    HRESULT setAutoChipHeating();
    // Keeps a copy of `record` and sets the camera's process-interface channels from it: at init
    // or between frames.
    // E_INVALIDARG when `size` cannot hold the entries its channel counts announce.
    HRESULT configurePif(const PifConfigRecord* record);

    // The last frame's flag, box and chip temperature, asked of the device while still unknown
    // (-100): on the frame path or between frames.
    HRESULT getTempFlag(float* t);
    HRESULT getTempBox(float* t);
    HRESULT getTempChip(float* t);

    // Stops the post-processing worker, then releases the operators in reverse build order, the
    // tables and the records: at init, never under the imager lock nor from a frame callback.
    void destroyChain();

    // What the imager asks of the operators; each does nothing, or answers neutrally, while
    // its operator is missing.
    // Frequency of the source's first output format for this raw stream; 0 when none fits.
    // At init (it reads "Formats.def").
    unsigned queryOutputFrequency(unsigned width, unsigned height, unsigned rate);
    // What the flag operator calls on the frame path when the flag state changes: set at init.
    void setFlagStateCallback(FlagStateCallback callback);
    // 0 off, 1 on, 2 automatic; at init or between frames.
    void setFlagCorrectionMode(std::int32_t mode);
    // The description's FlagCycles as the flag operator took them (0: the flag gives no
    // offsets): at init or between frames.
    std::uint16_t getFlagCycles() const;
    // With the flag closed now, its offsets are summed afresh from the next frame; false
    // otherwise. Between frames.
    bool restartFlagSum();
    // Flag state of the last frame the metadata operator saw; 4 (unknown) before any.
    // Between frames.
    std::int32_t getLastFlagState() const;
    // The lock the post-processing worker holds for each frame it passes on. Set at init.
    void setFrameLock(zol::FrameMutex* lock);
    // Fraction of frames passed on, in [0, 1], from the next frame; any thread.
    void setOutputRate(double ratio);
    // Runs the operators behind post-processing on its worker thread from the next frame.
    // Any thread.
    void setUseMultiThreading(bool on);
    // Ends the post-processing worker once the frame it is passing on has finished; later
    // frames run on the thread that delivers them. Not from the worker, and not under a lock
    // its frames take.
    void stopWorker();
    // A thermal snapshot after the next processed frame; any thread.
    void requestSnapshot() { shared_.appSnapshotRequest = 1; }
    // The first energy image; null before the chain has one.
    // Each frame rewrites its pixels: read them between frames.
    const OpFrame* getEnergyFrame() const;
    // The operators down to the temperature output have their frames.
    // At init (after initOperators) or between frames.
    bool hasThermalOutput() const;

    // Set by the imager after init; null = no snapshots.
    SnapshotCallback snapshotCallback;
    // Tables built from the radiation model instead of the range's table file.
    bool modelTable = false;

    // The imager and the tests reach the parts of the chain through these.
    // Borrowed views, valid until destroyChain (the index getters: null past the last chain).
    // What they reach is not guarded: use it between frames.
    SharedParameterBlock& getShared() { return shared_; }
    BaseControlDevice* getDevice() const { return shared_.device; }
    OpFrame* getDeviceFrame() const { return deviceFrame_.get(); }
    OpDevice* getDeviceOperator() const { return device_; }
    OpSource* getSource() const { return source_; }
    OpSource* getVisibleSource() const { return visibleSource_; }
    OpMetadata* getMetadataOperator() const { return metadata_; }
    OpFlag* getFlag() const { return flag_; }
    OpREA_RadDistCorr* getRadialDistortion() const { return radialDistortion_; }
    OpPostProcessing* getPostProcessing() const { return postProcessing_; }
    OpCorr* getCorrection(std::size_t index) const;
    KELVIX_DEBUG_API OpEnergyNormalize* getEnergyNormalize(std::size_t index) const;
    KELVIX_DEBUG_API OpEnergy2Temp* getEnergy2Temp(std::size_t index) const;
    std::size_t getChainCount() const { return energy2Temp_.size(); }
    const TemperatureTable* getPrimaryTable() const { return primaryTable_.get(); }
    const TemperatureTable* getSecondaryTable() const { return secondaryTable_.get(); }
    const ImagerMetadataRecord* getMetadataRecord() const { return metadataRecord_.get(); }
    const ImageProcessingConfig& getConfig() const { return config_; }
    std::uint32_t getTickCount() const { return tickCount_; }
    // Chain index n + 1 measures field n; empty unless a caller adds fields.
    const std::vector<zol::IRMeasurementField*>& getMeasurementFields() const {
        return measurementFields_;
    }

#ifdef KELVIX_DEBUG_BUILD
    // Builds a measurement-field branch under the post-processing operator; the record stays
    // the caller's and must outlive the chain. E_INVALIDARG for a record the frame cannot
    // measure, E_FAIL when the correction data cannot be read.
    // After initOperators, while no frames flow: never from a frame callback, since it adds
    // successors to the operator that is passing the frame on.
    KELVIX_DEBUG_API HRESULT addMeasurementField(zol::IRMeasurementField* field);
    // Prepares a calibration-image extractor and asks the camera for its calibration memory.
    // Between frames; E_POINTER without a control device.
    KELVIX_DEBUG_API HRESULT readCalibrationMemory();
    // The extractor of the last readCalibrationMemory (null before one); the next call replaces
    // it. Between frames.
    CaliImageExtractor* getCalibrationImageExtractor() const {
        return extractor_.get();
    }

    // Forwarders to the control device.
    // Between frames. Each answers S_OK, doing nothing without a device, and E_POINTER for a
    // null result pointer; the focus-motor, PIF type and PIF info-flag ones E_POINTER without a
    // device, the anti-flicker pair E_NOTIMPL on cameras without anti-flicker.
    KELVIX_DEBUG_API HRESULT FailSafe(bool on);
    KELVIX_DEBUG_API HRESULT GetAntiFlicker(bool* on);
    KELVIX_DEBUG_API HRESULT SetAntiFlicker(bool on);
    KELVIX_DEBUG_API HRESULT GetBiasEnable(bool* on);
    KELVIX_DEBUG_API HRESULT SetBiasEnable(bool on);
    KELVIX_DEBUG_API HRESULT GetPowerEnable(bool* on);
    KELVIX_DEBUG_API HRESULT SetPowerEnable(bool on);
    KELVIX_DEBUG_API HRESULT GetLaserEnable(bool* on);
    KELVIX_DEBUG_API HRESULT SetLaserEnable(bool on);
    KELVIX_DEBUG_API HRESULT GetFid(std::uint16_t* value);
    KELVIX_DEBUG_API HRESULT SetFid(std::uint16_t value);
    KELVIX_DEBUG_API HRESULT GetSkim(std::uint16_t* value);
    KELVIX_DEBUG_API HRESULT SetSkim(std::uint16_t value);
    KELVIX_DEBUG_API HRESULT GetTec_A(std::uint16_t* value);
    KELVIX_DEBUG_API HRESULT GetTec_B(std::uint16_t* value);
    KELVIX_DEBUG_API HRESULT GetTec_C(std::uint16_t* value);
    KELVIX_DEBUG_API HRESULT GetTec_D(std::uint16_t* value);
    KELVIX_DEBUG_API HRESULT SetTec_A(std::uint16_t value);
    KELVIX_DEBUG_API HRESULT SetTec_B(std::uint16_t value);
    KELVIX_DEBUG_API HRESULT SetTec_C(std::uint16_t value);
    KELVIX_DEBUG_API HRESULT SetTec_D(std::uint16_t value);
    KELVIX_DEBUG_API HRESULT GetFocusmotorRange(std::uint16_t* first, std::uint16_t* second);
    KELVIX_DEBUG_API HRESULT SetFocusmotorPos(std::uint16_t position);
    KELVIX_DEBUG_API HRESULT GetPifAICount(std::uint16_t* count);
    KELVIX_DEBUG_API HRESULT GetPifAOCount(std::uint16_t* count);
    KELVIX_DEBUG_API HRESULT GetPifDICount(std::uint16_t* count);
    KELVIX_DEBUG_API HRESULT GetPifDOCount(std::uint16_t* count);
    KELVIX_DEBUG_API HRESULT GetPifExtraCount(std::uint16_t* count);
    KELVIX_DEBUG_API HRESULT GetPifType(std::int32_t* type);
    KELVIX_DEBUG_API HRESULT GetPifInfoFlag(std::uint8_t* flag);
    KELVIX_DEBUG_API HRESULT SetPifOut(std::uint16_t value, std::uint8_t chan);
    KELVIX_DEBUG_API HRESULT SetPifDigitalOut(std::uint8_t value, std::uint8_t chan);
    // Closes (non-zero) or opens the flag and tells the flag operator the new state.
    // Between frames.
    KELVIX_DEBUG_API HRESULT SetFlag(std::int32_t state);

    // Calibration description queries of this chain's camera.
    // They read its description record (Cali, under its own lock): any thread.
    KELVIX_DEBUG_API HRESULT getOpticsCount(std::int32_t* count);
    KELVIX_DEBUG_API HRESULT getOpticsFov(std::int32_t index, std::int32_t* fov);
    KELVIX_DEBUG_API HRESULT getOpticsIndex(std::int32_t fov, std::int32_t* index);
    KELVIX_DEBUG_API HRESULT getTempRangeCount(std::int32_t fov, std::int32_t* count);
    KELVIX_DEBUG_API HRESULT getTempRangeIndex(std::int32_t fov, float tMin, float tMax,
                                               std::int32_t* index);
    KELVIX_DEBUG_API HRESULT getTempRangeHi(std::int32_t fov, std::int32_t index, float* tHi);
    KELVIX_DEBUG_API HRESULT getTempRangeLo(std::int32_t fov, std::int32_t index, float* tLo);

    // The flag operator's correction mode (E_UNEXPECTED without it), the last frame's header
    // word and the source operators' frame sizes (0 x 0 and E_INVALIDARG without the
    // operator): between frames.
    KELVIX_DEBUG_API HRESULT getFlagCorrectionMode(std::int32_t* mode);
    KELVIX_DEBUG_API HRESULT getHeaderWord(std::uint16_t* word);
    KELVIX_DEBUG_API HRESULT getSourceSize(std::int32_t* width, std::int32_t* height);
    KELVIX_DEBUG_API HRESULT getVisibleSourceSize(std::int32_t* width, std::int32_t* height);
    // Copies `metadata` over the device frame's record (resized when the sizes differ), then
    // processes the frame.
    // Both on the frame path of a chain whose frames no imager delivers at the same time;
    // processFrame runs process() on the device frame as it stands.
    KELVIX_DEBUG_API HRESULT processWithMetadata(const FrameMetadataRecord* metadata);
    KELVIX_DEBUG_API HRESULT processFrame();
    // setTempRange for the optic without text and without a frame rate: at init or between
    // frames.
    KELVIX_DEBUG_API HRESULT setTempRange(std::int32_t fov, float tMin, float tMax);
#endif

  private:
    // This camera's description record; before init, the process-wide one.
    Cali* description() const;
    void runSkimCheck();
    void emitSnapshot(std::uint8_t app, std::uint8_t pif, std::uint8_t third);
    void fillMetadataFromModel(const ImagerMetadataModel& model);
    void updateRawLimits();
    // The kept value of one metadata temperature, read from the device while still unknown.
    float refreshedTemperature(float& kept, std::int32_t (BaseControlDevice::*getter)(float*));
    // The steps of loadTemperatureTable.
    HRESULT buildModelTable(const CaliTempRange& data);
    HRESULT loadFileTable(const CaliTempRange& data);
    void sendRangeSettings(const CaliTempRange& data);
    bool buildNormalization(const CaliTableParams& params, TableModel& model);
    void applyRadiationInFileScale(const RadiationRecord& r, float x);
    std::wstring tableFilePath(bool* fits) const;
    // ERROR for a table whose model cannot be built; the result to return.
    HRESULT modelBuildFailed(const std::wstring& path, HRESULT hr);

    // Constructs an operator, appends it to operators_ and returns the borrowed view.
    template <class Op, class... Args>
    Op* build(Args&&... args) {
        auto op = std::make_unique<Op>(std::forward<Args>(args)...);
        Op* view = op.get();
        operators_.push_back(std::move(op));
        return view;
    }

    // Every operator, in build order; destroyChain releases them in reverse. The typed pointers
    // below only borrow from it.
    std::vector<std::unique_ptr<OpBase>> operators_;
    OpDevice* device_ = nullptr;
    OpMetadata* metadata_ = nullptr;
    OpSource* source_ = nullptr;
    OpSource* visibleSource_ = nullptr;
    OpFlag* flag_ = nullptr;
    OpREA_RadDistCorr* radialDistortion_ = nullptr;
    OpPostProcessing* postProcessing_ = nullptr;
    std::vector<OpCorr*> correction_;
    std::vector<OpEnergyNormalize*> energyNormalize_;
    std::vector<OpEnergy2Temp*> energy2Temp_;
    // The callers' records of the measurement-field branches.
    std::vector<zol::IRMeasurementField*> measurementFields_;

    std::uint32_t nextTick_ = 0;
    std::uint32_t tickCount_ = 0;
    bool tickStarted_ = false;

    std::unique_ptr<OpFrame, OpFrameDeleter> deviceFrame_;
    ImageProcessingConfig config_;
    SharedParameterBlock shared_;
    std::vector<std::uint8_t> pifRecord_;  // the kept copy of the process-interface record
    std::unique_ptr<ImagerMetadataRecord, imager_metadata::Deleter> metadataRecord_;
    std::uint16_t metadataEntryCount_ = 0;
    std::uint16_t metadataCompanion_ = 0;

    // Owned. The correction operators read, through their slot, the table the pixel energies
    // are in: the file table, which is the secondary when the range normalises to a model, else
    // the primary.
    std::unique_ptr<TemperatureTable> primaryTable_;
    std::unique_ptr<TemperatureTable> secondaryTable_;
    TemperatureTable* correctionTable_ = nullptr;  // borrows one of the two
    bool primaryStale_ = true;
    std::unique_ptr<std::int16_t[]> normalizationTable_;
    int normalizationCount_ = 0;
    int normalizationOffset_ = 0;

    std::shared_ptr<CaliImageExtractor> extractor_;  // see readCalibrationMemory
    // The description of this chain's camera, held from init until the operators that read it
    // are gone.
    std::shared_ptr<Cali> cali_;
};
