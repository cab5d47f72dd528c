// The daemon's run, the process-wide daemon that the console handler stops (or a stop request
// kept for the next one), and the parameter printout.
#include "sdk/daemon/server/IRDaemon.h"

#include <iomanip>
#include <sstream>

#include "kelvix/DaemonCamHandler.h"
#include "kelvix/IRDeviceDS.h"
#include "kelvix/Kelvix.h"
#include "platform/Event.h"
#include "platform/Strings.h"
#include "sdk/Log.h"

namespace {

// The process's daemon, for the console control handler.
std::mutex registryMutex;
IRDaemon* currentDaemon = nullptr;
// A stop request that came while there was no daemon.
bool stopPending = false;

const char* const kWakeUpEvent = "wakeUp";

}  // namespace

IRDaemon::IRDaemon() : wakeUp(platform::Event::named(kWakeUpEvent, false)) {
    std::lock_guard<std::mutex> lock(registryMutex);
    currentDaemon = this;
    if (stopPending) {
        stopPending = false;
        wakeUp->set();
    }
}

IRDaemon::~IRDaemon() {
    {
        std::lock_guard<std::mutex> lock(registryMutex);
        if (currentDaemon == this) {
            currentDaemon = nullptr;
        }
    }
    setDevice(nullptr);
}

bool IRDaemon::consoleHandler(platform::ConsoleEvent event) {
    std::lock_guard<std::mutex> lock(registryMutex);
    if (currentDaemon != nullptr) {
        currentDaemon->stop();
    } else {
        stopPending = true;
    }
    return true;
}

void IRDaemon::stop() {
    std::lock_guard<std::mutex> lock(deviceMutex);
    if (device != nullptr) {
        device->exit();
    }
    // The device's exit reaches only a run that already waits.
    wakeUp->set();
}

// Replaces the current device; the old one is deleted outside the lock, since stopping its
// stream waits for the capture thread.
void IRDaemon::setDevice(std::unique_ptr<zol::IRDeviceDS> next) {
    std::unique_ptr<zol::IRDeviceDS> old;
    {
        std::lock_guard<std::mutex> lock(deviceMutex);
        old = std::move(device);
        device = std::move(next);
    }
}

bool IRDaemon::run(zol::IRDeviceParams& params, int port) {
    zol::IRDeviceDS* found = nullptr;
    try {
        found = zol::IRDeviceDS::createInstance(params);
    } catch (int result) {
        KLOG_ERROR("Video device could not be opened, error 0x" << std::hex << std::setw(8)
                                                                << std::setfill('0')
                                                                << static_cast<unsigned>(result));
        return false;
    }
    if (found == nullptr) {
        KLOG_ERROR("IR Imager device could not be found");
        return false;
    }
    setDevice(std::unique_ptr<zol::IRDeviceDS>(found));  // found borrows from here on

    std::unique_ptr<zol::Kelvix> imager = std::make_unique<zol::Kelvix>();
    if (!imager->init(&params, found->getFrequency(), found->getWidth(), found->getHeight(),
                      found->controlledViaHID(), 0, 0)) {
        imager.reset();
        setDevice(nullptr);
        return false;
    }
    if (imager->getWidth() == 0 || imager->getHeight() == 0) {
        KLOG_ERROR(
            "Image streams not available or wrongly configured. Check connection of camera and "
            "config file.");
        setDevice(nullptr);
        return false;
    }
    KLOG_INFO("Connected camera, serial: " << found->getSerial()
                                           << ", HW(Rev.): " << imager->getHWRevision()
                                           << ", FW(Rev.): " << imager->getFWRevision());
    KLOG_INFO("Thermal channel: " << imager->getWidth() << "x" << imager->getHeight() << "@"
                                  << params.framerate << "Hz");

    std::unique_ptr<zol::DaemonCamHandler> handler =
        std::make_unique<zol::DaemonCamHandler>(imager.get(), port);
    handler->start();
    found->setClient(handler.get());

    if (found->startStreaming() != 0) {
        KLOG_ERROR(
            "Error occurred in starting stream ... aborting. You may need to reconnect the "
            "camera.");
        setDevice(nullptr);
        handler.reset();
        return false;
    }
    found->run();
    // The endpoint goes first: a worker blocked on its client ends the process now, before
    // stopping the stream waits for the capture thread.
    handler->shutdown();
    found->stopStreaming();
    setDevice(nullptr);
    handler.reset();
    return true;
}

void printParameters(const zol::IRDeviceParams& p, std::ostream& out) {
    std::ostringstream text;
    text << "serial: " << p.serial << "\n";
    text << "fov: " << p.fov << "\n";
    if (p.opticsText != nullptr) {
        text << "opticsText: " << platform::toNarrow(p.opticsText) << "\n";
    }
    if (p.formatsPath != nullptr) {
        text << "formatsPath: " << platform::toNarrow(p.formatsPath) << "\n";
    }
    if (p.caliPath != nullptr) {
        text << "caliPath: " << platform::toNarrow(p.caliPath) << "\n";
    }
    text << "tMin: " << p.tMin << "\n";
    text << "tMax: " << p.tMax << "\n";
    text << "framerate: " << p.framerate << "\n";
    text << "videoFormatIndex: " << p.videoFormatIndex << "\n";
    text << "bispectral: " << p.bispectral << "\n";
    text << "average: " << p.average << "\n";
    text << "autoFlag: " << p.autoFlag << "\n";
    text << "minInterval: " << p.minInterval << "\n";
    text << "maxInterval: " << p.maxInterval << "\n";
    text << "pifInMode: " << p.pifInMode << "\n";
    text << "tChipMode: " << p.tChipMode << "\n";
    text << "tChipFixedValue: " << p.tChipFixedValue << "\n";
    out << text.str() << std::flush;
}
