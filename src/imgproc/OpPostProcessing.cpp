// The post-processing operator (OpPostProcessing) and its worker: the capture thread queues
// frames, the worker runs the rest of the chain.

#include "imgproc/OpPostProcessing.h"

#include <cmath>

OpPostProcessing::OpPostProcessing(OpBase* predecessor, SharedParameterBlock* shared,
                                   std::function<void()> frameHook)
    : OpBase(predecessor, 5, L"# Post Processing", shared), frameHook_(std::move(frameHook)) {
    thread_ = std::thread([this] { workerLoop(); });
}

OpPostProcessing::~OpPostProcessing() {
    stopWorker();
    std::lock_guard<std::mutex> lock(queueMutex_);
    for (OpFrame* f : queue_) {
        freeFrame(f);
    }
    queue_.clear();
    for (OpFrame* f : spare_) {
        freeFrame(f);
    }
    spare_.clear();
    // The output frame is the predecessor's or a queued one: never ours to free.
    frame = nullptr;
}

void OpPostProcessing::stopWorker() {
    running_ = false;
    dataEvent_.set();
    if (thread_.joinable()) {
        thread_.join();
    }
}

HRESULT OpPostProcessing::init(OpBase* predecessor) {
    ownsFrame_ = false;
    OpFrame* in = predecessor != nullptr ? predecessor->frame : nullptr;
    return setOutputFrame(&in);
}

std::size_t OpPostProcessing::queuedCount() {
    std::lock_guard<std::mutex> lock(queueMutex_);
    return queue_.size();
}

std::size_t OpPostProcessing::spareCount() {
    std::lock_guard<std::mutex> lock(queueMutex_);
    return spare_.size();
}

// Called with queueMutex_ held.
OpFrame* OpPostProcessing::takeSpare(const OpFrame* like) {
    while (!spare_.empty()) {
        OpFrame* f = spare_.back();
        spare_.pop_back();
        if (f->format->byteSize == like->format->byteSize) {
            return f;
        }
        freeFrame(f);
    }
    return nullptr;
}

// Called with queueMutex_ held.
void OpPostProcessing::recycle(OpFrame* f) {
    // A handful of records covers any backlog the worker can see; more would only hold memory.
    if (spare_.size() < 4) {
        spare_.push_back(f);
    } else {
        freeFrame(f);
    }
}

HRESULT OpPostProcessing::trigger() {
    const OpFrame* in = predecessor_ != nullptr ? predecessor_->frame : nullptr;
    if (!workerExited_ && useThread_ && in != nullptr) {
        std::unique_lock<std::mutex> lock(queueMutex_);
        OpFrame* copy = takeSpare(in);
        lock.unlock();
        // Frame records are reused, so a steady stream allocates nothing.
        if (copy == nullptr) {
            copy = allocateOutputFrame(in->format, in->format->contentKind);
        }
        *copy->format = *in->format;
        copy->metadata = copyMetadata(in->metadata, copy->metadata);
        std::memcpy(copy->pixels, in->pixels, static_cast<std::size_t>(in->format->byteSize));
        lock.lock();
        queue_.push_back(copy);
        lock.unlock();
        dataEvent_.set();
        return S_OK;
    }
    std::lock_guard<std::mutex> lock(queueMutex_);
    if (queue_.empty()) {
        frame = predecessor_ != nullptr ? predecessor_->frame : nullptr;
        passStep();
    }
    return S_OK;
}

void OpPostProcessing::passStep() {
    if (frame == nullptr || frame->metadata == nullptr) {
        return;
    }
    const std::int32_t cur = frame->metadata->flagState;
    if (!lastFlagStateSeen_) {
        lastFlagState_ = cur;
        lastFlagStateSeen_ = true;
    }
    const std::int32_t prev = lastFlagState_;
    lastFlagState_ = cur;

    accumulator_ += rate_;
    bool pass = false;
    if (accumulator_ >= 1.0) {
        accumulator_ -= std::floor(accumulator_);
        pass = true;
    } else {
        pass = cur != prev || cur == 1 ||
               (shared_ != nullptr &&
                (shared_->pifSnapshotRequest != 0 || shared_->appSnapshotRequest != 0));
    }
    if (!pass) {
        return;
    }
    run();
    if (frameHook_) {
        frameHook_();
    }
}

void OpPostProcessing::workerLoop() {
    while (running_) {
        bool empty;
        {
            std::lock_guard<std::mutex> lock(queueMutex_);
            empty = queue_.empty();
        }
        if (empty) {
            dataEvent_.wait();
            dataEvent_.reset();
            continue;  // re-checks running_ and the queue
        }
        for (;;) {
            std::size_t n;
            {
                std::lock_guard<std::mutex> lock(queueMutex_);
                if (queue_.empty()) {
                    break;
                }
                frame = queue_.front();
                n = queue_.size();
            }
            // Only the newest frame is worth processing; older ones are dropped.
            if (n == 1 && running_) {
                std::unique_lock<zol::FrameMutex> frameLock;
                if (zol::FrameMutex* lock = frameLock_) {
                    frameLock = std::unique_lock<zol::FrameMutex>(*lock);
                }
                passStep();
            }
            std::lock_guard<std::mutex> lock(queueMutex_);
            OpFrame* done = queue_.front();
            queue_.pop_front();
            recycle(done);
            frame = nullptr;
        }
    }
    workerExited_ = true;
}
