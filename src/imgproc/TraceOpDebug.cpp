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
