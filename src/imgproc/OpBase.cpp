// The operator base (OpBase): frame allocation, successor wiring and the run that hands a
// frame down the graph, on the thread that runs the operator.

#include "imgproc/OpBase.h"

#include <algorithm>

#include "imgproc/TraceOp.h"
#include "platform/Clock.h"

OpBase::OpBase(OpBase* predecessor, int id, const wchar_t* name, SharedParameterBlock* shared)
    : id_(id),
      predecessor_(predecessor),
      shared_(shared),
      counterFrequency_(static_cast<double>(platform::Clock::kFrequency)) {
    lastRunTime_ = nowMs();
    if (predecessor_ != nullptr) {
        predecessor_->addSuccessor(this);
    }
    if (name != nullptr) {
        name_ = name;
    }
    // The tracer keys on 8-bit names: each wide character cast to a byte.
    traceName_.reserve(name_.size());
    for (wchar_t c : name_) {
        traceName_.push_back(static_cast<char>(c));
    }
    lastRunTime_ = nowMs();
}

OpBase::~OpBase() {
    state = Destroying;
    releaseFrame();
    frame = nullptr;
    successors_.clear();
    state = Destroyed;
}

double OpBase::nowMs() const {
    return static_cast<double>(platform::clock().ticks()) * 1000.0 / counterFrequency_;
}

HRESULT OpBase::trigger() {
    return run();
}

HRESULT OpBase::reset() {
    frameDoneCallback = nullptr;
    initCallback = nullptr;
    for (OpBase* op : successors_) {
        if (op == nullptr) {
            continue;
        }
        HRESULT hr = op->reset();
        if (hr < 0) {
            return hr;
        }
    }
    return S_OK;
}

HRESULT OpBase::setOutputFrame(OpFrame** newFrame) {
    state = Initialising;
    releaseFrame();
    frame = newFrame != nullptr ? *newFrame : nullptr;
    ownPixels_ = frame != nullptr ? frame->pixels : nullptr;
    if (frame != nullptr && frame->format != nullptr) {
        width_ = frame->format->width;
        height_ = frame->format->height;
        pixelCount_ = frame->format->pixelCount;
        if (initCallback != nullptr) {
            FrameInitRecord rec{static_cast<std::uint32_t>(frame->format->width),
                                static_cast<std::uint32_t>(frame->format->height),
                                frame->format->bitCount, frame->format->avgTimePerFrame};
            initCallback(&rec);
        }
    }
    return initSuccessors();
}

HRESULT OpBase::initSuccessors() {
    for (OpBase* op : successors_) {
        if (op == nullptr) {
            continue;
        }
        HRESULT hr = op->init(this);
        if (hr < 0) {
            return hr;
        }
    }
    state = Ready;
    return S_OK;
}

HRESULT OpBase::run() {
    if (frame == nullptr) {
        return E_FAIL;
    }
    lastRunTime_ = nowMs();
    if (state != Ready && state != Done) {
        return E_FAIL;
    }
    state = Processing;
    TraceOp* tracer = TraceOp::getInstance();
    const OpFrame* input = inputFrame();
    if (tracer->isActive()) {
        if (predecessor_ != nullptr) {
            if (input != nullptr) {
                tracer->recordPre(traceName_, reinterpret_cast<const std::int16_t*>(input->pixels),
                                  pixelCount_);
            }
        } else {
            tracer->recordPre(traceName_, reinterpret_cast<const std::int16_t*>(frame->pixels),
                              pixelCount_);
        }
    }
    if (predecessor_ != nullptr && input != nullptr && input->metadata != nullptr) {
        std::uint32_t marker = input->metadata->settleMarker;
        settleMarkerChanged = marker != lastSettleMarker_;
        lastSettleMarker_ = marker;
    }
    HRESULT result = compute();
    if (tracer->isActive()) {
        tracer->recordPost(traceName_, reinterpret_cast<const std::int16_t*>(frame->pixels),
                           pixelCount_);
    }
    state = Done;
    lastRunTime_ = nowMs();
    if (result != 0) {
        return result;
    }
    if (frameDoneCallback != nullptr) {
        FrameDoneRecord rec{frame->pixels, frame->metadata};
        frameDoneCallback(&rec);
    }
    for (OpBase* op : successors_) {
        if (op == nullptr) {
            continue;
        }
        HRESULT hr = op->trigger();
        if (hr < 0) {
            return hr;
        }
    }
    return S_OK;
}

void OpBase::addSuccessor(OpBase* op) {
    successors_.push_back(op);
}

OpBase* OpBase::findById(int id, bool searchUp, bool searchDown) {
    if (id_ == id) {
        return this;
    }
    if (searchUp && predecessor_ != nullptr) {
        if (OpBase* found = predecessor_->findById(id, true, false)) {
            return found;
        }
    }
    if (searchDown) {
        for (OpBase* op : successors_) {
            if (op == nullptr) {
                continue;
            }
            if (OpBase* found = op->findById(id, false, true)) {
                return found;
            }
        }
    }
    return nullptr;
}

namespace {

// Zeroed pixels for a frame of `byteSize` bytes, freed with delete[].
std::uint16_t* allocatePixels(std::int32_t byteSize) {
    return new std::uint16_t[(static_cast<std::size_t>(std::max(byteSize, 0)) + 1) / 2]();
}

}  // namespace

OpFrame* OpBase::allocateOutputFrame(const OpFrameFormat* format, unsigned contentKind) {
    OpFrame* f = new OpFrame();
    f->format = new OpFrameFormat(*format);
    f->format->contentKind = contentKind;
    f->metadata = allocateMetadata();
    f->pixels = allocatePixels(format->byteSize);
    return f;
}

void OpBase::freeFrame(OpFrame* f) {
    if (f == nullptr) {
        return;
    }
    delete f->format;
    delete[] f->pixels;
    freeMetadata(f->metadata);
    delete f;
}

namespace {

FrameMetadataRecord* allocateMetadataOfSize(std::size_t size) {
    return reinterpret_cast<FrameMetadataRecord*>(new std::uint8_t[size]());
}

}  // namespace

FrameMetadataRecord* OpBase::allocateMetadata() {
    FrameMetadataRecord* m = allocateMetadataOfSize(FrameMetadataRecord::kFixedSize);
    m->recordSize = 78;
    m->flagState = 4;
    m->tempChip = -100.0f;
    m->tempFlag = -100.0f;
    m->tempBox = -100.0f;
    m->tempOptics = -100.0f;
    m->digitalInputCount = 1;
    m->digitalInputBits = 0xFFFFFFFFu;
    m->analogCount = 1;
    m->analogValue0 = 0xFFFF;
    return m;
}

void OpBase::freeMetadata(FrameMetadataRecord* record) {
    delete[] reinterpret_cast<std::uint8_t*>(record);
}

FrameMetadataRecord* OpBase::copyMetadata(const FrameMetadataRecord* source,
                                          FrameMetadataRecord* destination) {
    if (destination == nullptr || source == nullptr) {
        return destination;
    }
    const std::size_t length = FrameMetadataRecord::sizeFor(source->analogCount);
    if (destination->recordSize != source->recordSize || destination->recordSize != length) {
        freeMetadata(destination);
        destination = allocateMetadataOfSize(length);
    }
    std::memcpy(destination, source, length);
    destination->recordSize = static_cast<std::uint16_t>(length);
    return destination;
}

FrameMetadataRecord* OpBase::resizeMetadata(FrameMetadataRecord* record, unsigned n) {
    if (record == nullptr) {
        return nullptr;
    }
    if (record->analogCount == n) {
        return record;
    }
    const std::size_t newSize = FrameMetadataRecord::sizeFor(n);
    FrameMetadataRecord* resized = allocateMetadataOfSize(newSize);
    std::memcpy(resized, record, std::min<std::size_t>(newSize, record->recordSize));
    const unsigned oldCount = record->analogCount;
    resized->recordSize = static_cast<std::uint16_t>(newSize);
    resized->analogCount = static_cast<std::uint16_t>(n);
    for (unsigned i = oldCount; i < n; ++i) {
        resized->setAnalog(i, 0xFFFF);
    }
    freeMetadata(record);
    return resized;
}

HRESULT OpBase::allocateLikePredecessor(OpBase* predecessor, unsigned contentKind) {
    if (predecessor == nullptr || predecessor->frame == nullptr ||
        predecessor->frame->format == nullptr) {
        return E_POINTER;
    }
    OpFrame* out = allocateOutputFrame(predecessor->frame->format, contentKind);
    ownsFrame_ = true;
    return setOutputFrame(&out);
}

void OpBase::copyPredecessorPixels() {
    const OpFrame* in = predecessor_->frame;
    std::size_t bytes =
        static_cast<std::size_t>(std::min(in->format->byteSize, frame->format->byteSize));
    std::memcpy(frame->pixels, in->pixels, bytes);
}

void OpBase::releaseFrame() {
    if (ownsFrame_ && frame != nullptr) {
        frame->pixels = ownPixels_;
        freeFrame(frame);
    }
}

void OpBase::releaseOwnPixels() {
    const OpFrame* in = predecessor_ != nullptr ? predecessor_->frame : nullptr;
    if (!ownsFrame_ || frame == nullptr || ownPixels_ == nullptr || in == nullptr ||
        in->pixels == nullptr || in->format->byteSize < frame->format->byteSize) {
        return;
    }
    delete[] ownPixels_;
    ownPixels_ = nullptr;
    frame->pixels = in->pixels;
}

void OpBase::keepOwnPixels() {
    if (ownsFrame_ && frame != nullptr && ownPixels_ == nullptr) {
        ownPixels_ = allocatePixels(frame->format->byteSize);
    }
}

void OpBase::passPixels(std::uint16_t* pixels) {
    const OpFrame* in = predecessor_->frame;
    if (pixels == nullptr) {
        pixels = in->pixels;
        // An input smaller than this output cannot stand in for it.
        if (in->format->byteSize < frame->format->byteSize) {
            useOwnPixels();
            copyPredecessorPixels();
            return;
        }
    }
    if (frame->pixels != pixels) {
        frame->pixels = pixels;
    }
}

void OpBase::copyFixedMetadata() {
    // The record first takes the predecessor's entry count, so that the size and count it
    // carries after the copy describe its own allocation; the entries beyond the first keep
    // this record's values.
    const FrameMetadataRecord* in = predecessor_->frame->metadata;
    frame->metadata = resizeMetadata(frame->metadata, in->analogCount);
    std::memcpy(frame->metadata, in, FrameMetadataRecord::kFixedSize);
}
