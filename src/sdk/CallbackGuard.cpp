// What a guarded call threw, logged once per callback name.
#include "sdk/CallbackGuard.h"

#include <algorithm>

#include "sdk/Log.h"

namespace zol {

void CallbackGuard::rearm() {
    std::lock_guard<std::mutex> lock(mutex_);
    reported_.clear();
}

void CallbackGuard::report(const char* name, const char* what) noexcept {
    try {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (std::find(reported_.begin(), reported_.end(), name) != reported_.end()) {
                return;
            }
            reported_.emplace_back(name);
        }
        const std::string reason =
            what != nullptr ? std::string("\"") + what + "\"" : "an exception of unknown type";
        KLOG_ERROR("The application's " << name << " of camera " << serial_ << " threw " << reason
                                        << "; caught, frames go on (reported once)");
    } catch (...) {
        // Nothing more can be told: the frame goes on all the same.
    }
}

}  // namespace zol
