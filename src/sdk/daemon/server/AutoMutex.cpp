// The scoped lock around the daemon handler's image commands.
#include "kelvix/AutoMutex.h"

AutoMutex::AutoMutex(std::mutex& mutex) : mutex(mutex) {
    mutex.lock();
}

AutoMutex::~AutoMutex() {
    mutex.unlock();
}
