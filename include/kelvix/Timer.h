#pragma once

#include "kelvix/export.h"

namespace zol {

// Millisecond stopwatch on the high-resolution counter.
class KELVIX_API Timer {
  public:
    Timer();
    // Milliseconds since the last start; restarts the timer.
    double reset();
    // Milliseconds since the last start.
    double getTime();

  private:
    double getTimeNow();

    double startMs;
    double frequency;
};

}  // namespace zol
