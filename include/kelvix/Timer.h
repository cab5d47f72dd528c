// A millisecond stopwatch on the platform clock (a virtual clock in tests).
#pragma once

#include "kelvix/export.h"

namespace zol {

// Millisecond stopwatch on the high-resolution counter. Not guarded: one thread per timer.
class KELVIX_API Timer {
  public:
    // Starts at once.
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
