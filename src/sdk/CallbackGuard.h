// The guard around every call from the library into an application's code (its callbacks and
// clients): what that code throws stays there.
#pragma once

#include <atomic>
#include <exception>
#include <mutex>
#include <string>
#include <vector>

namespace zol {

// Calls application code for one owner (an imager, a camera's sample callback, a recording
// player). Anything the call throws is caught, logged as an ERROR that names the callback (once
// per name until rearm), and the frame goes on: an exception must neither end the process from
// a capture or worker thread nor unwind through the chain, whose own handlers would take it
// for a fault of the frame.
class CallbackGuard {
  public:
    // The camera named in the log lines (0: none yet).
    void setSerial(unsigned serial) { serial_ = serial; }
    // A new callback is to be reported again when it throws.
    void rearm();

    template <class Call>
    void operator()(const char* name, Call&& call) noexcept {
        try {
            call();
        } catch (const std::exception& e) {
            report(name, e.what());
        } catch (...) {
            report(name, nullptr);
        }
    }

  private:
    void report(const char* name, const char* what) noexcept;

    std::atomic<unsigned> serial_{0};
    std::mutex mutex_;
    std::vector<std::string> reported_;
};

}  // namespace zol
