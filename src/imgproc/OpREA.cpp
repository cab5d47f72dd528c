// The remapping operators (OpREA, OpREA_RadDistCorr), built when the chain is initialised
// and run on the capture thread.

#include "imgproc/OpREA.h"

#include <algorithm>
#include <cmath>

OpREA::OpREA(OpBase* predecessor, int id, const wchar_t* name, SharedParameterBlock* shared)
    : OpBase(predecessor, id, name, shared) {}

OpREA::~OpREA() = default;

void OpREA::buildTable(int width, int height) {
    centreX_ = width / 2;
    centreY_ = height / 2;
    const std::size_t n = static_cast<std::size_t>(std::max(width, 0)) * std::max(height, 0);
    copyMode_ = true;
    if (coefficient_ == 0.0) {
        // Every pixel maps onto itself: the frame is handed on, and no table is needed.
        std::vector<RemapEntry>().swap(table_);
        return;
    }
    table_.assign(n, RemapEntry{0, 1.0f});
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const double dx = x - centreX_;
            const double dy = y - centreY_;
            const double scale = 1.0 + coefficient_ * (dx * dx + dy * dy);
            const int sx = static_cast<int>(std::lround(centreX_ + dx * scale));
            const int sy = static_cast<int>(std::lround(centreY_ + dy * scale));
            const bool inside = sx >= 0 && sx < width && sy >= 0 && sy < height;
            const int index = y * width + x;
            table_[index].source = inside ? sy * width + sx : -1;
            copyMode_ = copyMode_ && table_[index].source == index;
        }
    }
    if (copyMode_) {
        std::vector<RemapEntry>().swap(table_);
    } else if (frame != nullptr) {
        keepOwnPixels();
    }
}

HRESULT OpREA::compute() {
    copyFixedMetadata();
    if (copyMode_) {
        passPixels();
        return S_OK;
    }
    useOwnPixels();
    const std::uint16_t* in = predecessor_->frame->pixels;
    std::uint16_t* out = frame->pixels;
    const std::size_t n = std::min<std::size_t>(table_.size(), pixelCount_);
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = table_[i].source >= 0 ? in[table_[i].source] : 0x8000;
    }
    return S_OK;
}

OpREA_RadDistCorr::OpREA_RadDistCorr(OpBase* predecessor, SharedParameterBlock* shared)
    : OpREA(predecessor, 7, L"# Rad. Dist. Corr", shared) {}

HRESULT OpREA_RadDistCorr::init(OpBase* predecessor) {
    if (predecessor == nullptr || predecessor->frame == nullptr) {
        return E_POINTER;
    }
    buildTable(predecessor->frame->format->width, predecessor->frame->format->height);
    const HRESULT hr = allocateLikePredecessor(predecessor, 1);
    if (copyMode_) {
        releaseOwnPixels();
    }
    return hr;
}
