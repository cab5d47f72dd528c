// The daemon's camera handler: receives one camera's frames and serves them to one TCP client on
// its worker thread. IRDaemon builds one per run; applications may serve a camera with it too.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "kelvix/DirectBridge.h"
#include "kelvix/KelvixClient.h"
#include "kelvix/ThermalCamConfig.h"
#include "kelvix/export.h"

namespace platform {
class Event;
}

namespace zol {

class ImageBuilder;
class Kelvix;

// The daemon's receiver of one camera's frames and its server for one TCP client. The video
// device hands it every raw frame (passed on to the imager) and the imager every thermal
// frame (the newest is kept); its worker thread accepts a client through a DirectBridge and
// answers image requests, configuration records and flag commands.
//
// Threads: the frame receivers run on the capture thread (or the imager's post-processing
// worker); worker() runs on the handler's own thread; construction, start, shutdown and
// destruction on the thread that owns the handler.
//
// Lock order: command mutex, then buffer mutex; the imager's lock, then buffer mutex.
class KELVIX_API DaemonCamHandler : public KelvixClient {
  public:
    // Serves `port`; becomes the imager's client. The worker is not started.
    DaemonCamHandler(Kelvix* imager, int port);
    ~DaemonCamHandler() override;
    DaemonCamHandler(const DaemonCamHandler&) = delete;
    DaemonCamHandler& operator=(const DaemonCamHandler&) = delete;

    // Starts the worker thread.
    bool start();
    // The worker thread's body: accepts a client, then serves its commands until shutdown.
    static unsigned threadProc(void* handler);
    void worker();
    // Applies the first set item of a configuration record (the range takes both of its items).
    // On the worker thread, which calls it for command 3.
    void setConfig(const bridge::ThermalCamConfig& config);
    // Stops the worker. A worker waiting for a client or blocked on its client cannot be
    // reached any more: it ends the process with exit code -1.
    void shutdown();

    // A whole raw frame goes through the imager; on the capture thread.
    void onRawFrame(unsigned char* raw, int size) override;
    // Keeps the frame as the newest and wakes the worker.
    void onThermalFrame(unsigned short* data, unsigned int width, unsigned int height,
                        IRFrameMetadata meta, void* arg) override;
    void onFlagStateChange(EnumFlagState /*state*/, void* /*arg*/) override {}
    void onProcessExit(void* /*arg*/) override {}

  private:
    void waitForData();
    void wakeUp();
    // With the buffer lock held: waits once for a frame newer than the last one sent.
    void waitForNewFrame(std::unique_lock<std::mutex>& buffer);
    // Buffers of the worker, reused from request to request.
    struct Scratch {
        std::vector<unsigned short> frame;
        std::vector<unsigned char> rgb;
    };
    void serve(unsigned command, ImageBuilder& builder, Scratch& scratch);
    // Copies the newest frame (after waiting for one) into scratch; gives its size and counter.
    void takeFrame(Scratch& scratch, unsigned& w, unsigned& h, unsigned& counter);
    void sendPalette(ImageBuilder& builder, Scratch& scratch, unsigned w, unsigned h,
                     unsigned counter);

    std::thread thread;
    std::mutex bufferMutex;
    std::mutex stopMutex;
    std::mutex flagMutex;
    std::mutex commandMutex;
    std::unique_ptr<platform::Event> dataEvent;
    std::unique_ptr<DirectBridge> bridge;
    unsigned width;
    unsigned height;
    unsigned frameCounter;
    std::vector<unsigned short> frameBuffer;  // raw = T * 10 + 1000
    unsigned lastSentCounter;
    Kelvix* imager;  // not owned
    bridge::ThermalCamConfig config;
    int palette;
    int paletteScale;
    bool flag67;  // set by command 6, cleared by command 7
    std::atomic<bool> stop;
    std::atomic<bool> exited;
};

}  // namespace zol
