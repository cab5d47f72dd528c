// Debug build: the tracer's destructor, so that a debug caller can delete the singleton
// (the next getInstance creates a new one).

#ifdef KELVIX_DEBUG_BUILD

#include "imgproc/TraceOp.h"

TraceOp::~TraceOp() {
    input_.clear();
    output_.clear();
    names_.clear();
    TraceOp* self = this;
    instance_.compare_exchange_strong(self, nullptr);
}

#endif  // KELVIX_DEBUG_BUILD
