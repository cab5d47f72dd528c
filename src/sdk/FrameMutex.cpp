// First come, first served: each locker draws a ticket and waits for its turn.
#include "sdk/FrameMutex.h"

namespace zol {

void FrameMutex::lock() {
    const std::thread::id self = std::this_thread::get_id();
    std::unique_lock<std::mutex> lock(mutex_);
    if (depth_ > 0 && owner_ == self) {
        ++depth_;
        return;
    }
    const std::uint64_t ticket = nextTicket_++;
    turn_.wait(lock, [&] { return serving_ == ticket; });
    owner_ = self;
    depth_ = 1;
}

void FrameMutex::unlock() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (--depth_ > 0) {
            return;
        }
        owner_ = std::thread::id();
        ++serving_;
    }
    turn_.notify_all();
}

}  // namespace zol
