// Debug build: the measurement-field operator (OpMeasurementField), run behind
// post-processing on the capture thread or its worker.

#ifdef KELVIX_DEBUG_BUILD

#include "imgproc/OpMeasurementField.h"

#include "imgproc/OpMetadata.h"

OpMeasurementField::OpMeasurementField(OpBase* predecessor, int id, const wchar_t* name,
                                       SharedParameterBlock* shared, zol::IRMeasurementField* field,
                                       OpMetadata* metadata)
    : OpBase(predecessor, id, name, shared), field_(field), metadata_(metadata) {}

HRESULT OpMeasurementField::init(OpBase* predecessor) {
    if (predecessor == nullptr) {
        return E_POINTER;
    }
    OpFrame* adopted = predecessor->frame;  // not owned: ownsFrame_ stays false
    return setOutputFrame(&adopted);
}

HRESULT OpMeasurementField::trigger() {
    if (skipNext_) {
        skipNext_ = false;
        return S_OK;
    }
    // The flag state of the frame at hand, as the metadata operator passed it down.
    std::int32_t flagState = 0;
    if (frame != nullptr && frame->metadata != nullptr) {
        flagState = frame->metadata->flagState;
    } else if (metadata_ != nullptr) {
        flagState = metadata_->lastFlagState;
    }
    if (flagState != 0 || field_ == nullptr || frame == nullptr || frame->pixels == nullptr ||
        frame->format == nullptr) {
        return S_OK;
    }
    zol::IRMeasurementField& f = *field_;
    const std::int64_t width = frame->format->width;
    const std::int64_t height = frame->format->height;
    // A rectangle that left the frame or an empty one is not measured.
    if (f.copy == nullptr || f.w == 0 || f.h == 0 || f.x < 0 || f.y < 0 ||
        f.x + std::int64_t(f.w) > width || f.y + std::int64_t(f.h) > height) {
        return S_OK;
    }

    double sum = 0.0;
    std::uint16_t lo = 32767;
    std::uint16_t hi = 0;
    const std::uint16_t* pixels = frame->pixels;
    for (std::uint32_t i = 0; i < f.h; ++i) {
        const std::uint16_t* row = pixels + (f.y + i) * width + f.x;
        std::uint16_t* out = f.copy + std::size_t(i) * f.w;
        for (std::uint32_t j = 0; j < f.w; ++j) {
            const std::uint16_t v = row[j];
            out[j] = v;
            sum += v;
            lo = v < lo ? v : lo;
            hi = v > hi ? v : hi;
        }
    }
    if (f.callback != nullptr) {
        f.callback(field_);
    }
    const double count = double(std::uint64_t(f.w) * f.h);
    f.mean = static_cast<float>((sum / count - 1000.0) / 10.0);
    f.min = (static_cast<float>(lo) - 1000.0f) / 10.0f;
    f.max = (static_cast<float>(hi) - 1000.0f) / 10.0f;
    return S_OK;
}

#endif  // KELVIX_DEBUG_BUILD
