// The imager (zol::Kelvix): one camera's processing from raw frames to temperature images and
// callbacks. Applications, the daemon, the USB client and the file reader each hold one.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "kelvix/IRDeviceParams.h"
#include "kelvix/IRFrameMetadata.h"
#include "kelvix/KelvixClient.h"
#include "kelvix/RawdataHeader.h"
#include "kelvix/export.h"

class BaseControlDevice;
class ImageProcessing;
struct RawBufferRecord;

namespace zol {

class CallbackGuard;
class FlagAutomation;
class FrameMutex;

// Application callbacks; `arg` is the user argument handed to `process`. Whatever a callback or
// client throws is caught where the imager calls it and logged as an ERROR naming the callback
// (once, until a callback is set again); the frame and the frames after it go on.
using ThermalFrameCallback = void (*)(unsigned short* data, unsigned int width, unsigned int height,
                                      IRFrameMetadata meta, void* arg);
using VisibleFrameCallback = void (*)(unsigned char* yuv, unsigned int width, unsigned int height,
                                      IRFrameMetadata meta, void* arg);
using FlagStateChangeCallback = void (*)(EnumFlagState state, void* arg);
using ThermalFrameEventCallback = void (*)(unsigned short* temperatures, unsigned short* energy,
                                           unsigned int width, unsigned int height,
                                           IRFrameMetadata meta, void* arg);
using VisibleFrameEventCallback = void (*)(unsigned char* yuv, unsigned int width,
                                           unsigned int height, IRFrameMetadata meta, void* arg);
using ProcessExitCallback = void (*)(void* arg);

// The imager of one camera: owns its control device and processing chain, turns each raw frame
// into a temperature image for the callbacks and runs the shutter-flag automation. At most 16
// instances live at a time; construct and destroy them from one thread. A 17th constructor
// logs an ERROR and ends the process (abort).
//
// Threads. Frames arrive on the video device's capture thread (process); with multi-threading
// on, the back of the chain and the thermal-frame callbacks run on the post-processing worker.
// Each frame runs under the imager lock, and every operation below that changes or reads what
// the chain uses takes that lock too: it takes effect, or reads its copy, between two frames.
// The lock goes to its callers in the order they asked for it, so an operation waits for the
// frame in progress (its callbacks included) and for the front of the chain of a frame whose
// capture thread asked before it (without frames it does not wait); a slow callback slows
// every caller by its own time. The callbacks run under the lock: from a callback, this
// imager's own operations may be called (they run at once, on the callback's thread), but a
// callback must not wait for a thread that is calling into this imager, nor call into another
// imager. From a callback, init and reconnect refuse
// with an ERROR and false, the video device's stopStreaming with an ERROR and -1; destroying
// the imager (or its video device) there logs an ERROR and ends the process. Lock order: the locks
// a caller holds when it calls in (a client's imager lock), then the imager lock, then the locks
// the callbacks take (a client's frame lock), then the control channel's own.
class KELVIX_API Kelvix {
  public:
    static constexpr unsigned kMaxInstances = 16;

    Kelvix();
    ~Kelvix();
    Kelvix(const Kelvix&) = delete;
    Kelvix& operator=(const Kelvix&) = delete;

    // cameraRate: the camera's frame rate (Hz); widthIn x heightIn: raw 16-bit frame size.
    // hwRev and fwRev describe the camera when it is not controlled over HID (recordings).
    // init, reconnect and destruction: from one thread, while no frame is being processed (the
    // stream stopped) and no other thread calls into the imager.
    bool init(IRDeviceParams* params, unsigned cameraRate, unsigned widthIn, unsigned heightIn,
              bool useHID, unsigned short hwRev = 0, unsigned short fwRev = 0);
    bool reconnect(IRDeviceParams* params, unsigned cameraRate, unsigned widthIn, unsigned heightIn,
                   bool useHID, unsigned short hwRev = 0, unsigned short fwRev = 0);
    // List of missing calibration files (free with delete[]); null or empty when complete.
    // From the thread that runs init.
    wchar_t* checkCalibration();

    // One raw frame of widthIn x heightIn 16-bit pixels; userArg goes to every callback. From
    // the thread that delivers the frames (one at a time), under the imager lock.
    void process(unsigned char* raw, void* userArg);
    // The same for a delivered sample of `size` bytes: one of another size than widthIn x
    // heightIn 16-bit pixels (another owner of the camera switched its format, a truncated
    // sample) is dropped, with an ERROR at the first of a run of them.
    void process(unsigned char* raw, int size, void* userArg);
    // Plain values, from any thread, without the imager lock.
    void forceFlagEvent(float delayMs);
    void setAutoFlag(bool on);
    bool getAutoFlag() const;
    void raiseSnapshotEvent();
    // From any thread, under the imager lock.
    bool isFlagOpen();

    // Range and radiation: from any thread, under the imager lock; the next frame is the first
    // one processed with the new values.
    bool setTempRange(int tMin, int tMax);
    // Emissivity and transmissivity in [0, 1], an ambient temperature in degC (not above -273.15,
    // NaN and -INFINITY included: the housing's minus 5). Other values (+INFINITY among them) are
    // refused with a WARNING naming the value; nothing changes.
    void setRadiationParameters(float emissivity, float transmissivity, float tAmbient);

    // Device temperatures and chip heating (-100 / false before a successful init), from any
    // thread. The temperatures are the chain's and the chip heating is set by range changes
    // too: both under the imager lock. The revisions come from the control channel's caches.
    float getTempFlag();
    float getTempBox();
    float getTempChip();
    void enableChipHeating(bool on);
    bool isChipHeatingEnabled();
    void setTempChipReference(float t);
    float getTempChipReference();
    unsigned getHWRevision();
    unsigned getFWRevision();

    // Geometry (0 before the values exist): plain values, from any thread.
    unsigned getWidth() const { return width_; }
    unsigned getHeight() const { return height_; }
    unsigned getVisibleWidth() const { return visibleWidth_; }
    unsigned getVisibleHeight() const { return visibleHeight_; }
    unsigned getWidthIn() const { return widthIn_; }
    unsigned getHeightIn() const { return heightIn_; }
    // True when a delivered sample of `size` bytes is one raw frame of this imager's size.
    bool holdsRawFrame(int size) const {
        return size > 0 && static_cast<unsigned long long>(size) ==
                               2ull * static_cast<unsigned long long>(widthIn_) * heightIn_;
    }
    unsigned short getBitCount() const { return bitCount_; }
    long long getAvgTimePerFrame() const { return avgTimePerFrame_; }
    float getMaxFramerate() const { return maxFramerate_; }
    float getHWInterval() const { return hwInterval_; }
    bool hasBispectralTechnology() const { return visibleWidth_ != 0 && visibleHeight_ != 0; }

    // Copies of the energy image (E_POINTER without one) and of the 128-byte metadata record
    // (128, or -1 for a smaller buffer or before init), and the table parameters: from any
    // thread, taken under the imager lock, so they describe one frame and one range.
    int getEnergyBuffer(unsigned short*& buffer);
    int getMetaData(unsigned char*& buffer, int size);
    bool getTemperatureTableParameters(double* refTemp1, double* refTemp2, double* refTemp3,
                                       short* refValue1, short* refValue2, short* refValue3,
                                       double* wavelength1, double* wavelength2);

    // Registration: from any thread (also from a callback), under the imager lock. Once one
    // returns, no frame reaches the callback or client it replaced: that one may be destroyed.
    void setThermalFrameCallback(ThermalFrameCallback cb);
    void setVisibleFrameCallback(VisibleFrameCallback cb);
    void setFlagStateCallback(FlagStateChangeCallback cb);
    void setThermalFrameEventCallback(ThermalFrameEventCallback cb);
    void setVisibleFrameEventCallback(VisibleFrameEventCallback cb);
    void setProcessExitCallback(ProcessExitCallback cb);
    void setClient(KelvixClient* client);
    // The chain itself is not guarded: use it from a callback or while no frames flow. What
    // changes its shape (measurement fields, a visible source, destruction) or runs it only
    // while no frames flow: ImageProcessing.h says which operations may run between frames.
    ImageProcessing* getImageProcessingChain() const { return chain_.get(); }

    // Plain values, from any thread: multi-threading takes effect from the next frame.
    void setUseMultiThreading(bool on);
    void activateTrace(bool on);
    static std::string getVersion();
    // From any thread, under the imager lock.
    void printTrace(unsigned n);
    void initRawdataHeader(RawdataHeader& header);

    // Handlers the per-instance callbacks of the chain lead to, on the frame path; those that
    // fill the image buffers take the imager lock themselves.
    void onFlagState(unsigned state);
    void onThermalFrameInit(unsigned width, unsigned height, unsigned short bitCount,
                            long long avgTimePerFrame);
    void onThermalFrame(unsigned short* temperatures, IRFrameMetadata meta);
    void onVisibleFrameInit(unsigned width, unsigned height);
    void onVisibleFrame(unsigned char* yuv, IRFrameMetadata meta);
    void onSnapshotEvent(unsigned short* temperatures, unsigned short* energy,
                         unsigned char* visible, IRFrameMetadata meta);
    void onProcessExit();

    // This imager's slot among the live ones (0 to kMaxInstances - 1): a plain value.
    unsigned getInstanceIndex() const { return instanceIndex_; }

  private:
    struct WorkingDirectories;
    // The steps of init, in order.
    bool argumentsValid(const IRDeviceParams* params, unsigned cameraRate, bool useHID,
                        unsigned short hwRev, unsigned short fwRev) const;
    WorkingDirectories takeDirectories(const IRDeviceParams& params);
    bool loadCalibrationDescription(const std::wstring& caliDir, std::uint32_t serial);
    void adoptParameters(const IRDeviceParams& params, unsigned cameraRate, unsigned widthIn,
                         unsigned heightIn);
    // Configured range, else the first of the first optic (whose text `params` then receives).
    bool selectTemperatureRange(IRDeviceParams& params);
    bool formatDefinitionsFound(const std::wstring& formatsDir) const;
    bool calibrationComplete();
    bool determineFieldOfView(const std::wstring& caliDir);
    bool openControlDevice(bool useHID, unsigned short hwRev, unsigned short fwRev);
    bool buildChain(const WorkingDirectories& dirs, unsigned cameraRate, unsigned widthIn,
                    unsigned heightIn);
    // TEC calibration, sensor offsets and the process-interface input that raises snapshots.
    void configureCamera();
    void limitOutputFramerate();
    bool initOperatorsAndTables();
    void applyChipHeating();
    // The energy image's buffer, once images have a size and a snapshot callback is set; under
    // the frame lock.
    void keepEnergyBuffer();

    void freeMemory();
    void runFlagAutomation();
    void startFlag();
    void* userArg() const;
    bool failChain(const char* reason);
    // ERROR and true when called from this imager's own frame or callback.
    bool refusedInOwnFrame(const char* operation) const;
    // "<what> of camera <serial> for <range> degC could not be loaded"
    std::string rangeFailure(const char* what) const;
    bool usesFlagOffsets() const;
    // Temperatures from the chain, each read from the device while still unknown.
    float chainTemperature(int which);

    bool initialised_ = false;
    std::uint32_t serial_ = 0;
    int fov_ = 0;
    std::unique_ptr<wchar_t[]> opticsText_;
    std::unique_ptr<wchar_t[]> formatsPath_;
    std::unique_ptr<wchar_t[]> caliPath_;
    int tMin_ = 0;
    int tMax_ = 0;
    float framerate_ = 0.0f;
    int videoFormatIndex_ = 0;
    int bispectral_ = 0;
    int average_ = 0;
    int pifMode_ = 0;
    int tChipMode_ = 0;
    float tChipFixedValue_ = 0.0f;
    std::atomic<unsigned> widthIn_{0};
    std::atomic<unsigned> heightIn_{0};
    std::atomic<unsigned> width_{0};
    std::atomic<unsigned> height_{0};
    std::atomic<long long> avgTimePerFrame_{0};
    std::atomic<unsigned short> bitCount_{0};
    // The imager lock: held for each frame on the capture thread and on the post-processing
    // worker, so what the chain reads (tables, corrections, records, the image buffers) is
    // changed and read only between two frames. Recursive, for callbacks that call back; first
    // come, first served.
    std::unique_ptr<FrameMutex> frameMutex_;
    // Around every call into the application's callbacks and client.
    std::unique_ptr<CallbackGuard> guard_;
    std::atomic<bool> wrongSizeReported_{false};
    std::unique_ptr<unsigned short[]> temperatureBuffer_;
    std::unique_ptr<unsigned short[]> energyBuffer_;
    std::size_t imageCapacity_ = 0;  // pixels the two buffers hold (or are to hold)
    std::atomic<unsigned> visibleWidth_{0};
    std::atomic<unsigned> visibleHeight_{0};
    std::unique_ptr<unsigned char[]> visibleBuffer_;
    std::atomic<ThermalFrameCallback> thermalFrameCallback_{nullptr};
    std::atomic<VisibleFrameCallback> visibleFrameCallback_{nullptr};
    std::atomic<FlagStateChangeCallback> flagStateCallback_{nullptr};
    std::atomic<ThermalFrameEventCallback> thermalFrameEventCallback_{nullptr};
    std::atomic<VisibleFrameEventCallback> visibleFrameEventCallback_{nullptr};
    std::atomic<ProcessExitCallback> processExitCallback_{nullptr};
    std::atomic<KelvixClient*> client_{nullptr};
    float maxFramerate_ = 0.0f;
    unsigned cameraFramerate_ = 0;
    unsigned outputFramerate_ = 0;  // F, the frequency of the camera's first output format
    float emissivity_ = 1.0f;
    float transmissivity_ = 1.0f;
    std::unique_ptr<FlagAutomation> flags_;
    std::unique_ptr<BaseControlDevice> controlDevice_;
    std::unique_ptr<RawBufferRecord> rawBufferRecord_;
    std::unique_ptr<std::int64_t> timestampCell_;
    std::unique_ptr<std::uint64_t> frameNumberCell_;
    std::unique_ptr<ImageProcessing> chain_;
    // This camera's calibration description record, held while the imager is initialised:
    // cameras of other serials in the process keep theirs.
    std::shared_ptr<const void> calibration_;
    unsigned instanceIndex_ = 0;
    float hwInterval_ = 0.0f;
    std::atomic<unsigned> flagState_{0};
    // Flag state at this instance's previous thermal frame.
    unsigned previousFlagState_ = 0;
    bool previousFlagStateSet_ = false;
    // Set by the first refreshed image: before it no thermal frame reaches the callbacks.
    std::atomic<bool> imageReady_{false};
    // The camera's settings changed (start, range change) and the flag has not closed since:
    // the offsets in use were not taken in these settings, so the image is not refreshed.
    std::atomic<bool> awaitingFlag_{true};
    // The active range's temperature table loaded; without it no image is refreshed.
    std::atomic<bool> tableLoaded_{false};
};

}  // namespace zol
