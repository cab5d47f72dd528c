// A scoped lock on a std::mutex; the daemon's camera handler holds its command lock with it.
#pragma once

#include <mutex>

#include "kelvix/export.h"

// Holds a mutex for the lifetime of the object: the constructor waits for it without a time
// limit, the destructor releases it.
class KELVIX_API AutoMutex {
  public:
    // Locks; the destructor unlocks on the same thread, as std::mutex requires.
    explicit AutoMutex(std::mutex& mutex);
    ~AutoMutex();
    AutoMutex(const AutoMutex&) = delete;
    AutoMutex& operator=(const AutoMutex&) = delete;

  private:
    std::mutex& mutex;
};
