// SimCamera, one simulated camera: the state its HID channel (SimHid) and its video channel
// (SimVideo) share under one mutex. Tests, the quick-start example, the chain benchmark, the
// fuzz targets and KELVIX_SIMULATOR (SimEnvironment) create them.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "SimHidState.h"
#include "SimVideoSide.h"

namespace sim {

class SimPhysics;

// A thermal camera in software. One object per serial holds the state that its HID control
// channel and its video channel share; the library reaches it only through the platform
// interfaces (HID backend, capture service, USB registry), as it would a real camera.
class SimCamera {
  public:
    explicit SimCamera(std::uint32_t serial, std::uint16_t hwRevision = 3100,
                       std::uint16_t fwRevision = 2250);
    ~SimCamera();

    std::uint32_t serial() const { return serial_; }
    std::uint16_t hwRevision() const { return hwRevision_; }
    std::uint16_t fwRevision() const { return fwRevision_; }

    // Guards the shared state below; held briefly by either channel.
    std::mutex& mutex() { return mutex_; }

    // Shared camera state (degrees Celsius; flag state as the frame header carries it).
    int flagState = 0;
    float tempChip = 40.0f;
    float tempFlag = 30.0f;
    float tempBox = 30.0f;
    float tempOptics = 30.0f;

    // Sensor and radiometry (SimPhysics::of creates it); renders the raw frames.
    std::shared_ptr<SimPhysics> physics;

    // HID control channel (enumeration, answers, flash, injected faults).
    SimHidState hid;
    // Video channel (SimVideo.h).
    SimVideoSide video;

  private:
    std::uint32_t serial_;
    std::uint16_t hwRevision_;
    std::uint16_t fwRevision_;
    std::mutex mutex_;
};

}  // namespace sim
