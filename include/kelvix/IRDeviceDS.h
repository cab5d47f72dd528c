// The video device on the platform's capture service (V4L2, or the simulated camera): created per
// camera serial, it streams raw frames to its callback and client on the capture thread.
#pragma once

#include <map>
#include <memory>
#include <mutex>

#include "kelvix/IRDevice.h"
#include "kelvix/IRDeviceParams.h"
#include "kelvix/export.h"

namespace platform {
class Event;
}  // namespace platform

namespace zol {

// The video channel on the platform's capture service: finds the camera by serial among the
// video-input devices, builds its graph (source -> sample grabber -> null renderer) with the
// configured format and delivers every sample on the capture thread. At most 16 cameras are
// open at a time; a camera whose last device is deleted gives its slot back. Create, stream and
// delete devices from one thread (the instance registry is not guarded); run() and exit() from
// any thread.
class KELVIX_API IRDeviceDS : public IRDevice {
  public:
    // The device of params.serial (0: the first camera found), its serial written back into
    // params; null when there is none. Failing platform calls throw their result code as int.
    // The caller owns the device and deletes it. For a camera that is open already (a non-zero
    // serial), the camera's graph is rebuilt and a further device of the same camera is
    // returned: every device of a camera (an owner) shares its graph, stream, name and format
    // (a new format index switches every owner's frames, with a WARNING), and the camera is
    // closed when the last of them is deleted. The camera has one client and one raw-frame
    // callback at a time: each owner sets its own, and the one in force is the one set last by
    // an owner that streams (a WARNING when it replaces another owner's). When that owner stops
    // streaming or is deleted, a remaining owner's comes back in force; nothing set through a
    // deleted owner is reached again. Serial 0 takes the lowest video node's camera,
    // HIDDevice the first in the HID enumeration: pass the serial written back to the HID side.
    static IRDeviceDS* createInstance(IRDeviceParams& params);
    // Instances created so far in this process (deleted ones included, further devices of an
    // open camera not). Same thread as creation.
    static int getId();

    ~IRDeviceDS() override;
    IRDeviceDS(const IRDeviceDS&) = delete;
    IRDeviceDS& operator=(const IRDeviceDS&) = delete;

    // True once a camera was found (a serial other than 0).
    bool isOpen() override;
    // Does not deliver frames: IRDEVICE_NOT_IMPLEMENTED, logged.
    IRDeviceError getFrame(unsigned char* buffer, double* timestamp) override;
    // Runs renderer, grabber and source: 0, or -1 at the first that fails. This owner streams
    // (as it does from its creation): what it set may be in force.
    int startStreaming() override;
    // This owner no longer streams: once it returns, nothing it set gets frames. While another
    // owner of the camera streams, the camera goes on for that one (0); otherwise it stops source,
    // grabber and renderer, and stopping the source waits for the capture thread.
    // From a frame callback (the capture thread, or an imager's worker) it refuses with an
    // ERROR and -1. Destroying the device there ends the process with an ERROR.
    int stopStreaming() override;
    // Frames reach client->onRawFrame on the capture thread (null withdraws this owner's). From
    // any thread; once it returns, the client it replaced is no longer in use (it waits for the
    // frame in progress; on the capture thread itself it takes effect at once). Exceptions out
    // of the client are caught and logged as an ERROR (once); frames go on.
    void setClient(KelvixClient* client) override;
    // Waits on the process-wide event "wakeUp" until exit() signals it.
    void run() override;
    // Wakes a waiting run(); does nothing while no run() waits.
    void exit() override;

    // The video device's name, at most 79 characters.
    const char* getFriendlyName();
    // Frames reach `callback` as (sample buffer, length, this device) on the capture thread:
    // the function and this device are kept and read as one pair. From any thread; replaced,
    // withdrawn and guarded as setClient's client.
    void setCallback(IRRawFrameCallback callback);

  private:
    friend struct IRDeviceDSTestAccess;
    struct Camera;  // what every device of one camera shares

    explicit IRDeviceDS(std::shared_ptr<Camera> camera);
    static IRDeviceDS* createVideoGraph(unsigned long requested, int formatIndex);
    static unsigned long determineSerialNumber(wchar_t* devicePath);
    static std::map<unsigned long, Camera*>& instances();
    void takeFormat();

    static int _id;

    std::shared_ptr<Camera> camera;
    std::mutex wakeMutex;
    std::shared_ptr<platform::Event> wakeEvent;  // held while run() waits
};

}  // namespace zol
