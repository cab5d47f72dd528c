#pragma once

#include <cstdint>

#include "kelvix/Timer.h"
#include "kelvix/export.h"

namespace zol {

// Measures the rate of recurring events over a sliding window of samples and says once per
// report interval that a report is due.
class KELVIX_API FramerateCounter {
  public:
    explicit FramerateCounter(double intervalMs = 1000, unsigned int window = 30);
    virtual ~FramerateCounter();
    // Copies are independent: same start time, interval and samples, own timers and ring.
    FramerateCounter(const FramerateCounter& other);
    FramerateCounter& operator=(const FramerateCounter& other);

    // Counts one event; writes the current rate through `fps` when given. True when a report
    // is due (the report interval has passed since the last one).
    bool trigger(double* fps);
    double getFps();

  private:
    struct Sample {
        int index;
        std::int64_t count;
        double timeMs;
        Sample* next;
    };

    void copyFrom(const FramerateCounter& other);
    void freeRing();

    Timer* frameTimer;
    Timer* reportTimer;
    double fps;
    double interval;
    Sample* oldest;
    Sample* newest;
};

}  // namespace zol
