// The capture service for real cameras, on V4L2; CaptureService.cpp takes it when no other
// service is installed.
#pragma once

#include <string>

#include "platform/CaptureService.h"

namespace platform {

// Capture service over V4L2: the video capture nodes (metadata nodes are skipped) named by
// their card, with display paths that carry their USB ids and kernel name. Each format,
// frame size and frame interval of a node is one entry, listed twice in the capabilities, so
// that capability 2 x n is entry n. Samples come from mmap streaming on a capture thread that
// stopping joins.
class V4l2CaptureService : public CaptureService {
  public:
    explicit V4l2CaptureService(std::string devDir = "/dev", std::string sysRoot = "/sys")
        : devDir_(std::move(devDir)), sysRoot_(std::move(sysRoot)) {}

    HRESULT videoInputDevices(std::vector<CaptureDevice>& devices) override;
    HRESULT createGraph(std::unique_ptr<CaptureGraph>& graph) override;

  private:
    std::string devDir_;
    std::string sysRoot_;
};

}  // namespace platform
