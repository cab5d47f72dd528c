// Post-processing (OpPostProcessing): passes frames on at the requested rate and, with
// multi-threading, runs the operators behind it on a worker thread of its own.

#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "imgproc/OpBase.h"
#include "platform/Event.h"
#include "sdk/FrameMutex.h"

// Passes frames on at the requested fraction of the camera rate (always those around a flag
// change) and can run the rest of the chain on a worker thread of its own.
class OpPostProcessing : public OpBase {
  public:
    OpPostProcessing(OpBase* predecessor, SharedParameterBlock* shared,
                     std::function<void()> frameHook = nullptr);
    ~OpPostProcessing() override;
    // Ends and joins the worker (after the frame it is passing on); later frames are passed on
    // by the thread that triggers this operator.
    void stopWorker();

    HRESULT trigger() override;
    HRESULT init(OpBase* predecessor) override;
    HRESULT compute() override { return S_OK; }

    void setUseThread(bool on) { useThread_ = on; }
    bool getUseThread() const { return useThread_; }
    // Fraction of frames to pass on, limited to [0, 1] by the caller.
    void setRate(double rate) { rate_ = rate; }
    double getRate() const { return rate_; }
    bool workerExited() const { return workerExited_; }
    // The lock the worker holds for each frame it passes on (the imager's; null: none). Set
    // before frames flow.
    void setFrameLock(zol::FrameMutex* lock) { frameLock_ = lock; }

    // Frames waiting for the worker, and frame records kept for reuse.
    std::size_t queuedCount();
    std::size_t spareCount();

  protected:
    // The frame being passed on is this operator's input: on the worker it is the queued copy,
    // so the capture thread can fill the predecessor's frame meanwhile.
    const OpFrame* inputFrame() const override { return frame; }

  private:
    void workerLoop();
    void passStep();
    OpFrame* takeSpare(const OpFrame* like);
    void recycle(OpFrame* f);

    std::thread thread_;
    std::mutex queueMutex_;
    platform::Event dataEvent_;  // this operator's own: nobody else can wake the worker
    std::atomic<bool> running_{true};
    std::atomic<bool> workerExited_{false};
    std::atomic<bool> useThread_{false};
    std::deque<OpFrame*> queue_;
    std::vector<OpFrame*> spare_;
    std::atomic<double> rate_{1.0};
    std::atomic<zol::FrameMutex*> frameLock_{nullptr};
    double accumulator_ = 0.0;
    std::function<void()> frameHook_;
    // Flag state of the last frame this operator saw; per operator so that the frames of one
    // camera never decide which frames of another pass.
    bool lastFlagStateSeen_ = false;
    std::int32_t lastFlagState_ = 0;
};
