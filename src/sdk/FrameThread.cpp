// The calling thread's innermost frame scope, one chain per thread.
#include "sdk/FrameThread.h"

namespace frame_thread {

namespace {
thread_local const Scope* innermost = nullptr;
}

Scope::Scope(const void* owner) : owner_(owner), outer_(innermost) {
    innermost = this;
}

Scope::~Scope() {
    innermost = outer_;
}

bool inFrame() {
    return innermost != nullptr;
}

bool inFrameOf(const void* owner) {
    for (const Scope* s = innermost; s != nullptr; s = s->outer_) {
        if (s->owner_ == owner) {
            return true;
        }
    }
    return false;
}

}  // namespace frame_thread
