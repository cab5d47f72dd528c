// The daemon's camera handler: frames in on the capture thread (the newest kept under the buffer
// lock), requests served on its worker thread, and the shutdown that ends a worker blocked on
// the network.
#include "kelvix/DaemonCamHandler.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "kelvix/AutoMutex.h"
#include "kelvix/ImageBuilder.h"
#include "kelvix/Kelvix.h"
#include "platform/Event.h"
#include "sdk/Log.h"

namespace zol {

namespace {

constexpr unsigned kInitialWidth = 640;
constexpr unsigned kInitialHeight = 480;
constexpr int kInitialPalette = eIron;
constexpr int kInitialPaletteScale = eMinMax;
// How long a stop waits for the worker, which needs no more than a frame's rendering to notice
// its closed endpoint; the daemon must be gone within a second of a stop.
constexpr int kStopLimitMs = 500;

// Other threads (the capture thread among them) may still run: no static destructors.
[[noreturn]] void endProcess() {
    std::cout.flush();
    std::fflush(nullptr);
    std::_Exit(-1);
}

}  // namespace

DaemonCamHandler::DaemonCamHandler(Kelvix* imager, int port)
    : dataEvent(std::make_unique<platform::Event>(false)),
      bridge(std::make_unique<DirectBridge>(port)),
      width(kInitialWidth),
      height(kInitialHeight),
      frameCounter(1),
      frameBuffer(static_cast<std::size_t>(kInitialWidth) * kInitialHeight, 0),
      lastSentCounter(0),
      imager(imager),
      palette(kInitialPalette),
      paletteScale(kInitialPaletteScale),
      flag67(false),
      stop(false),
      exited(false) {
    if (imager != nullptr) {
        imager->setClient(this);
    }
}

DaemonCamHandler::~DaemonCamHandler() {
    shutdown();
    if (thread.joinable()) {
        thread.join();
    }
    if (imager != nullptr) {
        imager->setClient(nullptr);
    }
}

bool DaemonCamHandler::start() {
    thread = std::thread(&DaemonCamHandler::threadProc, this);
    return true;
}

unsigned DaemonCamHandler::threadProc(void* handler) {
    static_cast<DaemonCamHandler*>(handler)->worker();
    return 0;
}

void DaemonCamHandler::waitForData() {
    dataEvent->wait();
    dataEvent->reset();
}

void DaemonCamHandler::wakeUp() {
    dataEvent->set();
}

// The imager keeps the worker's settings apart from its frames itself.
void DaemonCamHandler::onRawFrame(unsigned char* raw, int size) {
    if (imager != nullptr) {
        imager->process(raw, size, nullptr);
    }
}

void DaemonCamHandler::onThermalFrame(unsigned short* data, unsigned int w, unsigned int h,
                                      IRFrameMetadata meta, void* arg) {
    {
        std::lock_guard<std::mutex> lock(bufferMutex);
        const std::size_t count = static_cast<std::size_t>(w) * h;
        if (frameBuffer.size() != count || w != width || h != height) {
            width = w;
            height = h;
            frameBuffer.assign(count, 0);
        }
        if (data != nullptr) {
            std::copy(data, data + count, frameBuffer.begin());
        }
        ++frameCounter;
    }
    wakeUp();
}

// One wait, not a loop: shutdown wakes the worker this way too, and whatever the buffer holds
// then is served. The event is cleared before the buffer lock goes, so that a wake-up left
// over from a frame already sent does not serve that frame twice; a frame counted after the
// check sets the event only after the lock is released.
void DaemonCamHandler::waitForNewFrame(std::unique_lock<std::mutex>& buffer) {
    if (frameCounter != lastSentCounter) {
        return;
    }
    dataEvent->reset();
    buffer.unlock();
    waitForData();
    buffer.lock();
}

void DaemonCamHandler::takeFrame(Scratch& scratch, unsigned& w, unsigned& h, unsigned& counter) {
    std::unique_lock<std::mutex> buffer(bufferMutex);
    waitForNewFrame(buffer);
    scratch.frame.assign(frameBuffer.begin(), frameBuffer.end());
    w = width;
    h = height;
    counter = frameCounter;
    lastSentCounter = frameCounter;
}

void DaemonCamHandler::sendPalette(ImageBuilder& builder, Scratch& scratch, unsigned w, unsigned h,
                                   unsigned counter) {
    builder.setPaletteScalingMethod(static_cast<EnumTervanPaletteScalingMethod>(paletteScale));
    builder.setPalette(static_cast<EnumTervanColoringPalette>(palette));
    builder.setData(w, h, scratch.frame.data());
    const unsigned rowWidth = builder.getStride();
    scratch.rgb.resize(static_cast<std::size_t>(rowWidth) * h * 3);
    builder.convertTemperatureToPaletteImage(scratch.rgb.data(), false);
    bridge->sendPaletteImage(scratch.rgb.data(), rowWidth, h, counter);
}

void DaemonCamHandler::serve(unsigned command, ImageBuilder& builder, Scratch& scratch) {
    switch (command) {
        case 0: {
            // Sent from a copy: a client that stops reading, or a repair waiting for the next
            // client, must not hold the capture thread up at the buffer lock.
            AutoMutex hold(commandMutex);
            unsigned w, h, counter;
            takeFrame(scratch, w, h, counter);
            bridge->sendThermalImage(scratch.frame.data(), w, h, counter);
            break;
        }
        case 1: {
            AutoMutex hold(commandMutex);
            unsigned w, h, counter;
            takeFrame(scratch, w, h, counter);
            sendPalette(builder, scratch, w, h, counter);
            break;
        }
        case 2: {
            AutoMutex hold(commandMutex);
            unsigned w, h, counter;
            takeFrame(scratch, w, h, counter);
            // The palette image only follows a thermal image that reached the client.
            if (bridge->sendThermalImage(scratch.frame.data(), w, h, counter)) {
                sendPalette(builder, scratch, w, h, counter);
            }
            break;
        }
        case 3: {
            const std::pair<bool, bridge::ThermalCamConfig> record = bridge->receiveConfig();
            if (record.first) {
                setConfig(record.second);
            }
            break;
        }
        case 4:
            std::cout << "forceFlag" << std::endl;
            if (imager != nullptr) {
                imager->forceFlagEvent(0);
            }
            break;
        case 6: {
            std::lock_guard<std::mutex> lock(flagMutex);
            flag67 = true;
            break;
        }
        case 7: {
            std::lock_guard<std::mutex> lock(flagMutex);
            flag67 = false;
            break;
        }
        default:
            break;
    }
}

void DaemonCamHandler::worker() {
    ImageBuilder builder(true);
    Scratch scratch;
    std::cout << "wait for client..." << std::endl;
    if (!bridge->connect()) {
        std::unique_lock<std::mutex> lock(stopMutex);
        if (stop) {
            exited = true;
            return;
        }
        lock.unlock();
        std::cout << "error at connecting will exit ... what?: " << bridge->getError() << std::endl;
        endProcess();
    }
    std::cout << "client connected" << std::endl;
    std::unique_lock<std::mutex> lock(stopMutex);
    while (!stop) {
        lock.unlock();
        serve(bridge->waitForCommand(), builder, scratch);
        lock.lock();
    }
    exited = true;
}

void DaemonCamHandler::setConfig(const bridge::ThermalCamConfig& record) {
    if (record.palette.first) {
        palette = record.palette.second;
        return;
    }
    if (record.paletteScale.first) {
        paletteScale = record.paletteScale.second;
        return;
    }
    if (record.autoFlag.first) {
        std::cout << "setAutoFlag(" << (record.autoFlag.second ? "true" : "false") << std::endl;
        if (imager != nullptr) {
            imager->setAutoFlag(record.autoFlag.second);
        }
        return;
    }
    if (record.fourthValue.first || record.fifthValue.first) {
        return;
    }
    if (!record.tMin.first && !record.tMax.first) {
        return;
    }
    if (imager != nullptr) {
        imager->setTempRange(record.tMin.first ? record.tMin.second : config.tMin.second,
                             record.tMax.first ? record.tMax.second : config.tMax.second);
    }
}

// A worker between two commands sees the stop request and leaves. Every other one looks only
// after the request has been withdrawn again, and finds the endpoint closed: one waiting for a
// client or blocked on its client is woken by the close, one waiting for a frame only after it,
// so that it cannot finish the request on a connection still open. Each of them ends the
// process, whatever the timing.
void DaemonCamHandler::shutdown() {
    {
        std::lock_guard<std::mutex> lock(stopMutex);
        stop = true;
    }
    {
        std::lock_guard<std::mutex> lock(stopMutex);
        bridge->close();
        if (!stop) {
            return;
        }
        stop = false;
    }
    wakeUp();
    // Without a worker nobody would ever set the exited flag.
    if (!thread.joinable()) {
        return;
    }
    // A worker that only now starts listening would reopen the endpoint: close it again.
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStopLimitMs);
    while (!exited) {
        if (std::chrono::steady_clock::now() > end) {
            KLOG_ERROR("Worker did not stop within " << kStopLimitMs << " ms");
            endProcess();
        }
        wakeUp();
        bridge->close();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace zol
