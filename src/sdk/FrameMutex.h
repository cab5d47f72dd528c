// The imager lock (FrameMutex): recursive, and granted in the order it was asked for, so that
// a thread that calls into an imager waits for the frame in progress, not for every frame
// that the capture thread or the worker asks for after it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace zol {

// A recursive mutex that hands itself on first come, first served. A plain mutex lets the
// thread that has just released it take it again at once: the worker that runs frame after
// frame, or the capture thread, keeps it while an application's thread waits for several frames.
class FrameMutex {
  public:
    FrameMutex() = default;
    FrameMutex(const FrameMutex&) = delete;
    FrameMutex& operator=(const FrameMutex&) = delete;

    void lock();
    void unlock();

  private:
    std::mutex mutex_;
    std::condition_variable turn_;
    std::uint64_t nextTicket_ = 0;
    std::uint64_t serving_ = 0;  // the ticket that holds the lock, or takes it next
    std::thread::id owner_;
    unsigned depth_ = 0;
};

}  // namespace zol
