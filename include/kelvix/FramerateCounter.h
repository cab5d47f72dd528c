// A rate meter for recurring events (the quick-start example counts its frames with it).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "kelvix/Timer.h"
#include "kelvix/export.h"

namespace zol {

// Measures the rate of recurring events over a sliding window of samples and says once per
// report interval that a report is due. Not guarded: one thread per counter.
class KELVIX_API FramerateCounter {
  public:
    // Reports every intervalMs; the window holds window / 2 * 2 + 1 samples (at least 3).
    explicit FramerateCounter(double intervalMs = 1000, unsigned int window = 30);
    virtual ~FramerateCounter();
    // Copies are independent: same start time, interval and samples, own timers and ring.
    FramerateCounter(const FramerateCounter& other);
    FramerateCounter& operator=(const FramerateCounter& other);

    // Counts one event; writes the current rate through `fps` when given. True when a report
    // is due (the report interval has passed since the last one).
    bool trigger(double* fps);
    // The rate at the last trigger, events per second (0 before the first).
    double getFps();

  private:
    struct Sample {
        int index;
        std::int64_t count;
        double timeMs;
        Sample* next;
    };

    // Links every sample of `ring` to the one after it, the last to the first.
    void linkRing();
    // After `ring` was copied from other's: links it and takes other's positions in it.
    void takePositions(const FramerateCounter& other);

    std::unique_ptr<Timer> frameTimer;
    std::unique_ptr<Timer> reportTimer;
    double fps;
    double interval;
    Sample* oldest;  // positions in ring
    Sample* newest;
    std::vector<Sample> ring;
};

}  // namespace zol
