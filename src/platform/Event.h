// Manual-reset events that threads wait on: the post-processing worker's and the daemon
// worker's wake-ups, and named events shared inside the process ("wakeUp", on which the video
// device's run blocks until the console handler ends it).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace platform {

// A manual-reset event: once set it stays set, waking every waiter, until reset.
class Event {
  public:
    explicit Event(bool initiallySet = false) : set_(initiallySet) {}
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void set();
    void reset();
    bool isSet() const;
    void wait();
    // True when the event was set within `ms` milliseconds of real time.
    bool waitFor(std::uint32_t ms);

    // The process-wide event of this name; every holder of one name shares one object,
    // which lives as long as somebody holds it.
    static std::shared_ptr<Event> named(const std::string& name, bool initiallySet = false);

  private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool set_;
};

}  // namespace platform
