// The receiver interface of a camera's frames and events, implemented by the daemon's handler,
// the USB bridge client, the file reader and applications.
#pragma once

#include "kelvix/IRFrameMetadata.h"
#include "kelvix/export.h"

namespace zol {

// Receiver of everything a camera produces: raw frames from the video device, processed
// frames, snapshot events and flag changes from the imager. Runs on the delivering thread: the
// video device's capture thread, or for the imager's calls the thread that runs the back of the
// chain (the capture thread, or the post-processing worker with multi-threading on), under the
// imager lock. What an operation throws is caught where the library calls it and logged as an
// ERROR (once); the frames go on.
class KELVIX_API KelvixClient {
  public:
    virtual ~KelvixClient();
    // Every raw frame of the video device, as delivered (size in bytes), on the capture thread.
    virtual void onRawFrame(unsigned char* data, int size) = 0;
    // Every temperature image the imager hands out (raw = T * 10 + 1000); the buffer is the
    // imager's and valid during the call only.
    virtual void onThermalFrame(unsigned short* data, unsigned int width, unsigned int height,
                                IRFrameMetadata meta, void* arg) = 0;
    // A snapshot (application or process-interface request): temperatures and energy image;
    // the imager calls it only while a thermal-frame-event callback is set too.
    virtual void onThermalFrameEvent(unsigned short* /*temperatures*/, unsigned short* /*energy*/,
                                     unsigned int /*width*/, unsigned int /*height*/,
                                     IRFrameMetadata /*meta*/, void* /*arg*/) {}
    // The visible channel of a bispectral camera: each YUV 4:2:2 frame, and its snapshot.
    virtual void onVisibleFrame(unsigned char* /*yuv*/, unsigned int /*width*/,
                                unsigned int /*height*/, IRFrameMetadata /*meta*/, void* /*arg*/) {}
    virtual void onVisibleFrameEvent(unsigned char* /*yuv*/, unsigned int /*width*/,
                                     unsigned int /*height*/, IRFrameMetadata /*meta*/,
                                     void* /*arg*/) {}
    // The shutter-flag state each time the chain sees it change (on the capture thread).
    virtual void onFlagStateChange(EnumFlagState state, void* arg) = 0;
    // The imager does not call it: its end-of-frame notice goes to the process-exit callback.
    virtual void onProcessExit(void* arg) = 0;
};

}  // namespace zol
