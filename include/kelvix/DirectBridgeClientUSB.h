// The bridge client that opens a camera in the application's process, behind zol_kelvix_usb_init
// and the other C functions on an in-process connection.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "kelvix/DirectBridgeClient.h"
#include "kelvix/IRDeviceParams.h"
#include "kelvix/ImageBuilder.h"
#include "kelvix/KelvixClient.h"
#include "kelvix/export.h"

namespace zol {

class IRDeviceDS;
class Kelvix;

// The bridge client that drives one camera inside the application's process: it opens the
// video device, runs a zol::Kelvix on its frames and keeps the newest thermal frame for the
// getters, which wait at most 1000 ms for a frame they have not handed out yet. One
// process-wide instance; its getters and setters may be called from any thread.
class KELVIX_API DirectBridgeClientUSB : public KelvixClient, public DirectBridgeClient {
  public:
    // The process-wide client, created on first use; released at exit.
    static DirectBridgeClientUSB* getInstance();

    DirectBridgeClientUSB();
    ~DirectBridgeClientUSB() override;
    // The client owns its imager and device.
    DirectBridgeClientUSB(const DirectBridgeClientUSB&) = delete;
    DirectBridgeClientUSB& operator=(const DirectBridgeClientUSB&) = delete;

    // Stores the configuration file, the format directory (empty: the file's) and the log
    // file (empty: errors to the console only); ignored while connected.
    void init(const std::string& xmlConfig, const std::string& formatsDir,
              const std::string& logFile);
    // Opens the camera: configuration, video device, calibration check (and download of missing
    // files), imager, stream. True when connected (at once when already connected).
    virtual bool connect();
    // Does nothing: the frames arrive on the capture thread.
    void worker() {}

    // KelvixClient: frames from the video device and the imager (capture thread).
    void onRawFrame(unsigned char* raw, int size) override;
    void onThermalFrame(unsigned short* data, unsigned int width, unsigned int height,
                        IRFrameMetadata meta, void* arg) override;
    void onFlagStateChange(EnumFlagState /*state*/, void* /*arg*/) override {}
    void onProcessExit(void* /*arg*/) override {}

    // DirectBridgeClient.
    void release() override {}
    // Stops the stream and releases the imager; the device stays until destruction. False
    // when not connected.
    bool disconnect() override;
    std::pair<bool, ThermalImage*> getThermalImage() override;
    std::pair<bool, PaletteImage*> getPaletteImage() override;
    std::pair<bool, ThmPalImage> getThmPalImage() override;
    int setPalette(int palette) override;
    int setPaletteScale(int scale) override;
    // The four imager settings answer -1 while there is no imager; radiation parameters the
    // imager refuses answer -1 as well.
    int triggerFlag() override;
    int setFlagAutoMode(bool automatic) override;
    int setTempRange(int tMin, int tMax) override;
    int setRadiationParameters(float emissivity, float transmissivity, float tAmbient) override;

    // From any thread.
    bool isConnected() const;

  private:
    friend struct DirectBridgeClientUSBTestAccess;

    // Under the frame lock: true once a frame not yet handed out is there (marking it taken),
    // false after 1000 ms without one.
    bool waitForFrame(std::unique_lock<std::mutex>& lock);
    // Renders `frame` (frame width x height values) into `image`.
    void renderPalette(std::vector<std::uint16_t>& frame, unsigned width, unsigned height,
                       PaletteImage& image);
    // Stops the stream and deletes the imager, once no frame runs through it.
    void releaseImager();
    bool failConnect();
    // What destruction releases; also run at exit, before the video layer's own statics go.
    void shutdown();
    static void shutdownAtExit();

    std::string xmlConfig;
    std::string formatsDir;
    std::string logFile;
    std::atomic<bool> connected{false};
    IRDeviceParams params;
    std::unique_ptr<Kelvix> imager;  // guarded by imagerMutex
    std::vector<std::uint16_t> frameBuffer;
    unsigned frameWidth = 0;
    unsigned frameHeight = 0;
    ImageBuilder imageBuilder{true};
    int paletteScale = eMinMax;
    int palette = eIron;
    std::uint32_t lastReadCounter = 0xFFFFFFFFu;
    std::uint32_t frameCounter = 0xFFFFFFFFu;
    std::unique_ptr<IRDeviceDS> device;
    std::mutex frameMutex;
    std::condition_variable frameSignal;

    // Connecting and disconnecting; the imager pointer against the frames that may already
    // arrive while connecting and against the settings that reach it (the imager keeps its
    // settings apart from its frames itself); the builder and the palette settings against
    // concurrent renderings.
    std::mutex stateMutex;
    std::mutex imagerMutex;
    std::mutex builderMutex;
};

}  // namespace zol
