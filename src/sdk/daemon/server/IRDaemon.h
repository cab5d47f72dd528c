// The daemon behind kelvixdaemon: opens one camera, builds its imager and handler, and serves until
// the console asks it to stop. run() holds the program's main thread; the console handler's
// signal thread stops it.
#pragma once

#include <memory>
#include <mutex>
#include <ostream>

#include "kelvix/IRDeviceParams.h"
#include "platform/ConsoleControl.h"

namespace platform {
class Event;
}

namespace zol {
class IRDeviceDS;
}

// The daemon: serves one camera to one TCP client from start to a stop request. One object at
// a time is the process's daemon, which the console control handler reaches.
class IRDaemon {
  public:
    static constexpr int kPort = 1337;

    IRDaemon();
    ~IRDaemon();
    IRDaemon(const IRDaemon&) = delete;
    IRDaemon& operator=(const IRDaemon&) = delete;

    // Opens the camera the parameters name (its serial written back), serves it on `port` and
    // returns once a stop request has ended the device's run. False when the camera cannot be
    // found, its imager cannot be initialised or it does not stream.
    bool run(zol::IRDeviceParams& params, int port = kPort);
    // Ends a run: at once when it is serving, or as soon as it gets there.
    void stop();

    // The console control handler: stops the process's daemon; every event counts as handled.
    static bool consoleHandler(platform::ConsoleEvent event);

  private:
    void setDevice(std::unique_ptr<zol::IRDeviceDS> next);

    std::mutex deviceMutex;                   // guards device against the console handler
    std::unique_ptr<zol::IRDeviceDS> device;  // the current video device, null when none
    // The event the device's run waits on, held so that a stop request that comes before the
    // run is waiting is not lost.
    std::shared_ptr<platform::Event> wakeUp;
};

// Writes the parameters one per line ("serial: 0", ...); the three paths only when present.
void printParameters(const zol::IRDeviceParams& params, std::ostream& out);
