#pragma once

#include "kelvix/IRFrameMetadata.h"
#include "kelvix/export.h"

namespace zol {

// Receiver of everything a camera produces: raw frames from the video device, processed
// frames, snapshot events and flag changes from the imager. Runs on the delivering thread.
class KELVIX_API KelvixClient {
  public:
    virtual ~KelvixClient();
    virtual void onRawFrame(unsigned char* data, int size) = 0;
    virtual void onThermalFrame(unsigned short* data, unsigned int width, unsigned int height,
                                IRFrameMetadata meta, void* arg) = 0;
    virtual void onThermalFrameEvent(unsigned short* /*temperatures*/, unsigned short* /*energy*/,
                                     unsigned int /*width*/, unsigned int /*height*/,
                                     IRFrameMetadata /*meta*/, void* /*arg*/) {}
    virtual void onVisibleFrame(unsigned char* /*yuv*/, unsigned int /*width*/,
                                unsigned int /*height*/, IRFrameMetadata /*meta*/, void* /*arg*/) {}
    virtual void onVisibleFrameEvent(unsigned char* /*yuv*/, unsigned int /*width*/,
                                     unsigned int /*height*/, IRFrameMetadata /*meta*/,
                                     void* /*arg*/) {}
    virtual void onFlagStateChange(EnumFlagState state, void* arg) = 0;
    virtual void onProcessExit(void* arg) = 0;
};

}  // namespace zol
