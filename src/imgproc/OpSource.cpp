// The source operator (OpSource): format selection while the chain is built, unpacking of
// every raw frame on the capture thread.

#include "imgproc/OpSource.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "device/BaseControlDevice.h"
#include "sdk/Log.h"

namespace {

constexpr std::int64_t kTicksPerSecond = 10000000;

// Reads of the header bytes: fields outside the sub-frame's header keep their defaults.
class HeaderBytes {
  public:
    explicit HeaderBytes(const std::vector<std::int16_t>& words)
        : words_(words), size_(words.size() * 2) {}
    bool has(std::size_t offset, std::size_t length) const { return offset + length <= size_; }
    std::uint8_t at(std::size_t k) const {
        const auto w = static_cast<std::uint16_t>(words_[k / 2]);
        return static_cast<std::uint8_t>((k & 1) ? (w >> 8) : (w & 0xFF));
    }
    std::uint16_t be16(std::size_t k) const {
        return static_cast<std::uint16_t>((at(k) << 8) | at(k + 1));
    }
    std::uint16_t le16(std::size_t k) const {
        return static_cast<std::uint16_t>(at(k) | (at(k + 1) << 8));
    }
    std::uint32_t be32(std::size_t k) const {
        return (std::uint32_t(at(k)) << 24) | (std::uint32_t(at(k + 1)) << 16) |
               (std::uint32_t(at(k + 2)) << 8) | std::uint32_t(at(k + 3));
    }
    std::size_t size() const { return size_; }

  private:
    const std::vector<std::int16_t>& words_;
    std::size_t size_;
};

}  // namespace

OpSource::OpSource(OpBase* predecessor, int id, const wchar_t* name, SharedParameterBlock* shared,
                   int channel)
    : OpBase(predecessor, id, name, shared), channel_(channel) {}

OpSource::~OpSource() = default;

HRESULT OpSource::readFormat(FormatDefinition& def, const FormatRequest& request, int channel) {
    FormatCamera camera;
    if (shared_ != nullptr) {
        camera.formatsDir = shared_->formatsDirectory;
        camera.hardwareRevision = shared_->hardwareRevision;
        camera.firmwareRevision = shared_->firmwareRevision;
    }
    return readFormatDefinition(def, request, channel, camera);
}

void OpSource::useDefaultFormat(int inWidth, int inHeight) {
    format_.reset(new FormatDefinition());
    FormatDefinition& d = *format_;
    d.name = "DefaultFormat";
    d.inWidth = inWidth;
    d.inHeight = inHeight;
    d.outWidth = inWidth & ~1;
    d.outHeight = inHeight & ~1;
    d.subFrameCount = 1;
    d.subFrames.resize(1);
    SegmentRun run;
    run.start = 0;
    run.repeat = d.outHeight;
    run.segments.push_back(Segment{kSegmentData, d.outWidth});
    d.subFrames[0].runs.push_back(run);
}

namespace {

// One repeat of a run: its "d" and "m" segments that hold words, at their offsets, and the
// words the repeat spans; all in 64 bits, so no count a file may hold can overflow.
struct RunShape {
    struct Piece {
        std::int32_t kind;
        std::int64_t offset;
        std::int64_t count;
    };
    std::vector<Piece> pieces;
    std::int64_t data = 0;
    std::int64_t meta = 0;
    std::int64_t span = 0;
    std::int64_t lastUsedEnd = -1;  // end of the last "d" or "m" segment, -1 for none
};

bool shapeOf(const SegmentRun& run, RunShape& shape) {
    shape = RunShape{};
    for (const Segment& seg : run.segments) {
        if (seg.count < 0) {
            return false;
        }
        if (seg.kind != kSegmentSkip) {
            shape.lastUsedEnd = shape.span + seg.count;
            if (seg.count > 0) {
                shape.pieces.push_back({seg.kind, shape.span, seg.count});
            }
            (seg.kind == kSegmentData ? shape.data : shape.meta) += seg.count;
        }
        shape.span += seg.count;
    }
    return true;
}

// adds `perRepeat` x repeat to `total`; false when that passes `limit`.
bool addRepeated(std::int64_t& total, std::int64_t perRepeat, std::int64_t repeat,
                 std::int64_t limit) {
    if (perRepeat != 0 && repeat > (limit - total) / perRepeat) {
        return false;
    }
    total += perRepeat * repeat;
    return true;
}

}  // namespace

bool OpSource::buildIndexTables(FormatDefinition& def, std::int64_t rawWords,
                                std::int64_t pixelCount) {
    if (def.subFrameCount < 1 ||
        def.subFrames.size() != static_cast<std::size_t>(def.subFrameCount) || pixelCount < 0 ||
        pixelCount > rawWords) {
        return false;
    }
    spans_.assign(def.subFrames.size(), {});
    for (std::size_t s = 0; s < def.subFrames.size(); ++s) {
        SubFrameLayout& sub = def.subFrames[s];
        // Count first, per run and without walking its repeats: a layout that disagrees with
        // the output or the raw frame is refused before a single index is written.
        std::vector<RunShape> shapes(sub.runs.size());
        std::int64_t dataWords = 0;
        std::int64_t metaWords = 0;
        for (std::size_t r = 0; r < sub.runs.size(); ++r) {
            const SegmentRun& run = sub.runs[r];
            RunShape& shape = shapes[r];
            if (run.start < 0 || run.repeat < 0 || !shapeOf(run, shape)) {
                return false;
            }
            // The last used word of the last repeat must lie inside the raw frame.
            if (run.repeat > 0 && shape.lastUsedEnd >= 0) {
                std::int64_t reach = run.start + shape.lastUsedEnd;
                if (reach > rawWords || !addRepeated(reach, shape.span, run.repeat - 1, rawWords)) {
                    return false;
                }
            }
            if (!addRepeated(dataWords, shape.data, run.repeat, pixelCount) ||
                !addRepeated(metaWords, shape.meta, run.repeat, sub.headerWordCount)) {
                return false;
            }
        }
        if (dataWords != pixelCount || metaWords != sub.headerWordCount ||
            sub.headerWords.size() != static_cast<std::size_t>(sub.headerWordCount)) {
            return false;
        }
        sub.headerIndex.assign(static_cast<std::size_t>(sub.headerWordCount), 0);
        // Every position written below lies inside the raw frame, so it fits 32 bits; only
        // repeats that hold words are walked, so the walk is as long as the tables.
        std::int32_t pixel = 0;
        std::int32_t header = 0;
        std::vector<CopySpan>& spans = spans_[s];
        for (std::size_t r = 0; r < sub.runs.size(); ++r) {
            const RunShape& shape = shapes[r];
            if (shape.pieces.empty()) {
                continue;
            }
            std::int64_t base = sub.runs[r].start;
            for (std::int32_t k = 0; k < sub.runs[r].repeat; ++k, base += shape.span) {
                for (const RunShape::Piece& piece : shape.pieces) {
                    const auto position = static_cast<std::int32_t>(base + piece.offset);
                    const auto count = static_cast<std::int32_t>(piece.count);
                    if (piece.kind == kSegmentData) {
                        if (!spans.empty() &&
                            spans.back().source + spans.back().count == position &&
                            spans.back().target + spans.back().count == pixel) {
                            spans.back().count += count;
                        } else {
                            spans.push_back(CopySpan{position, pixel, count});
                        }
                        pixel += count;
                    } else {
                        for (std::int32_t i = 0; i < count; ++i) {
                            sub.headerIndex[header++] = position + i;
                        }
                    }
                }
            }
        }
    }
    return true;
}

HRESULT OpSource::init(OpBase* predecessor) {
    if (predecessor == nullptr || predecessor->frame == nullptr ||
        predecessor->frame->format == nullptr) {
        return E_POINTER;
    }
    const OpFrameFormat& in = *predecessor->frame->format;
    OpFrameFormat out = in;

    FormatRequest request;
    request.width = in.width;
    request.height = in.height;
    // A stream without a frame period asks for 0 Hz rather than dividing by it.
    request.frequency =
        in.avgTimePerFrame > 0 ? static_cast<double>(kTicksPerSecond / in.avgTimePerFrame) : 0.0;

    spans_.clear();
    format_.reset(new FormatDefinition());
    HRESULT hr = readFormat(*format_, request, channel_);
    const std::int64_t rawWords = static_cast<std::int64_t>(std::max(in.byteSize, 0)) / 2;
    bool usable = hr == S_OK;
    if (usable && format_->inWidth == in.width && format_->inHeight == in.height) {
        // The layout must stay inside the raw frame and fill exactly the output.
        usable = buildIndexTables(*format_, rawWords,
                                  std::int64_t{format_->outWidth} * format_->outHeight);
        if (!usable) {
            KLOG_ERROR("Formats.def block \""
                       << format_->name << "\" does not fit the raw frame of " << in.width << " x "
                       << in.height << " words");
        }
    }
    if (usable) {
        formatFound_ = true;
        if (channel_ == 1 && shared_ != nullptr) {
            shared_->visibleFormatAvailable = 1;
        }
    } else {
        KLOG_ERROR(
            "Inconsistent configuration: Please check <videoformatindex> with respect to <fov> "
            "and <temperature> range.");
        KLOG_ERROR("Requested format "
                   << ", In: " << format_->inWidth << "x" << format_->inHeight << "@"
                   << format_->inFrequency << "Hz"
                   << ", OUT: " << format_->outWidth << "x" << format_->outHeight << "@"
                   << format_->outFrequency << "Hz");
        useDefaultFormat(in.width, in.height);
        formatFound_ = false;
    }
    if (format_->inWidth != in.width || format_->inHeight != in.height) {
        return E_INVALIDARG;
    }
    out.width = format_->outWidth;
    out.height = format_->outHeight;
    out.avgTimePerFrame = in.avgTimePerFrame / format_->subFrameCount;
    out.pixelCount = out.width * out.height;
    out.byteSize = out.pixelCount * out.bitCount / 8;

    const bool visibleFailed = channel_ == 1 && !formatFound_;
    if (visibleFailed) {
        reset();
    }
    OpFrame* f = allocateOutputFrame(&out, 1);
    ownsFrame_ = true;
    HRESULT setResult = setOutputFrame(&f);
    if (!formatFound_) {
        buildIndexTables(*format_, rawWords, out.pixelCount);
    }
    if (handsOnRawPixels()) {
        releaseOwnPixels();
    }
    const std::uint16_t hw = shared_ != nullptr ? shared_->hardwareRevision : 0;
    revision21to99_ = hw >= 21 && hw <= 99;
    if (shared_ != nullptr) {
        shared_->hasDeviceRes = format_->hasDeviceRes;
        shared_->deviceResWidth = format_->deviceResWidth;
        shared_->deviceResHeight = format_->deviceResHeight;
        shared_->deviceResValue = format_->deviceResValue;
        shared_->deviceResOffsetX = format_->deviceResOffsetX;
        shared_->deviceResOffsetY = format_->deviceResOffsetY;
        if (shared_->device != nullptr) {
            pifType_ = shared_->device->GetPifType();
        }
    }
    if (setResult < 0) {
        return setResult;
    }
    return visibleFailed ? 1 : S_OK;
}

HRESULT OpSource::trigger() {
    if (channel_ == 1 && (shared_ == nullptr || shared_->visibleFormatAvailable == 0)) {
        return S_OK;
    }
    if (!format_) {
        return E_UNEXPECTED;
    }
    HRESULT result = S_OK;
    try {
        for (int s = 0; s < format_->subFrameCount; ++s) {
            subFrameIndex_ = static_cast<std::uint16_t>(s);
            result = run();
            if (result < 0) {
                return result;
            }
            ++subFramesProcessed_;
        }
    } catch (const char*) {
        return E_UNEXPECTED;
    }
    return result;
}

HRESULT OpSource::compute() {
    frame->metadata = copyMetadata(predecessor_->frame->metadata, frame->metadata);
    FrameMetadataRecord* m = frame->metadata;
    const int subFrames = format_->subFrameCount;
    if (subFrames > 1) {
        m->timestamp += static_cast<std::int64_t>(subFrameIndex_) * frame->format->avgTimePerFrame;
        m->frameCounter = m->frameCounter * static_cast<std::uint32_t>(subFrames) + subFrameIndex_;
    }
    m->settleMarker = 0;

    if (subFrameIndex_ >= spans_.size() || subFrameIndex_ >= format_->subFrames.size()) {
        return E_UNEXPECTED;  // init refused the format: no tables to unpack with
    }
    SubFrameLayout& sub = format_->subFrames[subFrameIndex_];
    if (sub.headerIndex.size() != static_cast<std::size_t>(sub.headerWordCount)) {
        return E_UNEXPECTED;
    }
    const std::uint16_t* raw = predecessor_->frame->pixels;
    if (sub.headerWordCount > 0) {
        for (std::int32_t j = 0; j < sub.headerWordCount; ++j) {
            sub.headerWords[j] = static_cast<std::int16_t>(raw[sub.headerIndex[j]]);
        }
        decodeHeader(sub);
    }
    const std::vector<CopySpan>& spans = spans_[subFrameIndex_];
    if (isOneStretch(spans)) {
        // The image is one stretch of the raw frame: hand that on.
        passPixels(predecessor_->frame->pixels + spans[0].source);
        return S_OK;
    }
    useOwnPixels();
    std::uint16_t* out = frame->pixels;
    for (const CopySpan& span : spans) {
        std::memcpy(out + span.target, raw + span.source,
                    static_cast<std::size_t>(span.count) * sizeof(std::uint16_t));
    }
    return S_OK;
}

bool OpSource::isOneStretch(const std::vector<CopySpan>& spans) const {
    return spans.size() == 1 && spans[0].target == 0 && spans[0].count == pixelCount_;
}

bool OpSource::handsOnRawPixels() const {
    if (spans_.empty()) {
        return false;
    }
    for (const std::vector<CopySpan>& spans : spans_) {
        if (!isOneStretch(spans)) {
            return false;
        }
    }
    return true;
}

void OpSource::decodeHeader(const SubFrameLayout& sub) {
    const HeaderBytes h(sub.headerWords);
    FrameMetadataRecord* m = frame->metadata;

    if (h.has(11, 1)) {
        const std::uint8_t flag = h.at(11);
        m->flagState = flag <= 3 ? flag : 0;
    }
    if (h.has(2, 2)) {
        const float c = static_cast<float>(h.be16(2));
        m->tempChip = revision21to99_ ? 91.9264f - c * 0.02838844f
                                      : 86.926f - (c * 3.3f / 4096.0f) / 0.029096f;
    }
    if (h.has(4, 2)) {
        m->tempFlag = static_cast<float>(static_cast<std::int16_t>(h.be16(4))) * 0.0078125f;
    }
    if (h.has(7, 2)) {
        m->tempBox = static_cast<float>(static_cast<std::int16_t>(h.be16(7))) * 0.0078125f;
    }
    if (h.has(0, 2)) {
        m->tempOptics = static_cast<float>(static_cast<std::int16_t>(h.be16(0))) * 0.0078125f;
    }

    BaseControlDevice* device = shared_ != nullptr ? shared_->device : nullptr;
    if (device != nullptr) {
        std::uint16_t n = 0;
        std::uint16_t d = 0;
        device->GetPifAICount(&n);
        device->GetPifDICount(&d);
        if (n != analogChannels_) {
            analogWork_.assign(n, 0.0f);
            analogChannels_ = n;
        }
        m = frame->metadata = resizeMetadata(frame->metadata, n);
        m->digitalInputCount = d;

        if (pifType_ == 4) {
            // "k;v0;v1;...": text values in volts from byte 35 on, first channel in byte 34.
            if (h.has(34, 1)) {
                const unsigned k = h.at(34);
                std::size_t cursor = 35;
                for (unsigned i = 0; i < 9 && k + i < analogChannels_; ++i) {
                    std::size_t semi = cursor;
                    while (semi < h.size() && h.at(semi) != ';') {
                        ++semi;
                    }
                    if (semi >= h.size()) {
                        break;
                    }
                    char text[33];
                    const std::size_t length = std::min<std::size_t>(semi - cursor, 32);
                    for (std::size_t c = 0; c < length; ++c) {
                        text[c] = static_cast<char>(h.at(cursor + c));
                    }
                    text[length] = '\0';
                    char* end = nullptr;
                    const float volts = std::strtof(text, &end);
                    if (end != text) {
                        analogWork_[k + i] = std::clamp(volts, 0.0f, 10.24f) * 100.0f;
                    }
                    cursor = semi + 1;
                }
            }
        } else {
            for (unsigned i = 0; i < analogChannels_; ++i) {
                const std::size_t at = i == 1 ? 13 : 9;
                if (h.has(at, 2)) {
                    analogWork_[i] = static_cast<float>(h.be16(at) >> 2);
                }
            }
        }

        m->tempChip = m->tempChip * device->getChipGain() + device->getChipOffset();
        m->tempFlag += device->getFlagOffset();
        m->tempBox += device->getBoxOffset();
        m->tempOptics += device->getOpticsOffset();
        for (unsigned i = 0; i < analogChannels_; ++i) {
            const auto channel = static_cast<std::uint8_t>(i & 0xFF);
            float v =
                analogWork_[i] * device->getPifInGain(channel) + device->getPifInOffset(channel);
            v = std::clamp(std::floor(v + 0.5f), 0.0f, 1023.0f);
            analogWork_[i] = v;
            m->setAnalog(i, static_cast<std::uint16_t>(static_cast<int>(v) & 0x3FF));
        }
    }

    if (h.has(19, 1)) {
        m->digitalInputBits = (h.at(19) >> 4) & 1u;
    }
    if (h.has(21, 4)) {
        m->hwFrameCounter = h.be32(21);
    }
    if (h.has(31, 2)) {
        m->headerWord = h.le16(31);
    }
}

HRESULT OpSource::queryFormats(const FormatRequest* request, FormatInfo formats[2], int* count) {
    if (request == nullptr || formats == nullptr || count == nullptr) {
        return E_POINTER;
    }
    static const GUID kNoGuid{};
    for (int i = 0; i < 2; ++i) {
        FormatDefinition def;
        HRESULT hr = readFormat(def, *request, i);
        if (hr == S_OK && def.guid == kNoGuid) {
            hr = E_FAIL;
        }
        if (hr != S_OK) {
            return i == 0 ? hr : S_OK;
        }
        formats[i] = FormatInfo{def.outWidth, def.outHeight, def.outFrequency};
        *count = i + 1;
    }
    return S_OK;
}
