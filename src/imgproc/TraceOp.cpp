// The buffer tracer (TraceOp): lazy creation and the pre- and post-run records of the
// operators, under one lock.

#include "imgproc/TraceOp.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "sdk/Log.h"

std::atomic<TraceOp*> TraceOp::instance_{nullptr};

TraceOp* TraceOp::getInstance() {
    // Lives until the process ends (operators may record during static destruction), unless
    // a debug caller deletes it.
    TraceOp* instance = instance_.load(std::memory_order_acquire);
    if (instance == nullptr) {
        std::unique_ptr<TraceOp> created(new TraceOp());
        if (instance_.compare_exchange_strong(instance, created.get(), std::memory_order_acq_rel)) {
            instance = created.release();
        }
    }
    return instance;
}

void TraceOp::store(Buffer& buffer, const std::int16_t* values, int count) {
    if (buffer.count != count || !buffer.values) {
        buffer.values.reset(new std::int16_t[static_cast<std::size_t>(count)]);
        buffer.count = count;
    }
    std::copy(values, values + count, buffer.values.get());
}

void TraceOp::recordPre(const std::string& name, const std::int16_t* values, int count) {
    if (!active_ || values == nullptr || count <= 0) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = input_.find(name);
    if (it == input_.end()) {
        it = input_.emplace(name, Buffer()).first;
        names_.push_back(name);
    }
    store(it->second, values, count);
}

void TraceOp::recordPost(const std::string& name, const std::int16_t* values, int count) {
    if (!active_ || values == nullptr || count <= 0) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    store(output_[name], values, count);
}

void TraceOp::print(unsigned index) {
    if (!active_) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (input_.size() != output_.size()) {
        KLOG_ERROR(
            "Preprocessing and Postprocessing buffers are of different size ... ignoring print "
            "command.");
        return;
    }
    // The index comes from the application: it must lie inside every recorded buffer.
    for (const std::string& name : names_) {
        auto in = input_.find(name);
        auto out = output_.find(name);
        if (out == output_.end() || index >= static_cast<unsigned>(in->second.count) ||
            index >= static_cast<unsigned>(out->second.count)) {
            KLOG_ERROR("Trace index " << index << " outside the buffers of " << name
                                      << " ... ignoring print command.");
            return;
        }
    }
    for (const std::string& name : names_) {
        std::printf("%s: %d %d\n", name.c_str(), input_[name].values[index],
                    output_[name].values[index]);
    }
    std::fflush(stdout);
}

void TraceOp::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    input_.clear();
    output_.clear();
    names_.clear();
}
