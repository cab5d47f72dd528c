// The video-channel interface's destructor and its two receiver setters (plain stores: set them
// before the stream starts).
#include "kelvix/IRDevice.h"

namespace zol {

IRDevice::~IRDevice() = default;

void IRDevice::setRawFrameCallback(IRRawFrameCallback callback) {
    rawFrameCallback_ = callback;
}

void IRDevice::setClient(KelvixClient* client) {
    client_ = client;
}

}  // namespace zol
