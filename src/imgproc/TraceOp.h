// The buffer tracer (TraceOp): a process-wide singleton that every operator records into
// from its frame thread and applications print from theirs.

#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kelvix/export.h"

// Process-wide diagnostic of the operator graph: while active it keeps, per operator name, the
// last input and output buffer of that operator and prints one pixel before and after each.
// The chains of every camera record into it from their frame threads while applications
// print: the buffers are kept under one lock.
class TraceOp {
  public:
    KELVIX_DEBUG_API static TraceOp* getInstance();
#ifdef KELVIX_DEBUG_BUILD
    // Frees every kept buffer; the next getInstance creates a new tracer.
    KELVIX_DEBUG_API ~TraceOp();
#endif

    void recordPre(const std::string& name, const std::int16_t* values, int count);
    void recordPost(const std::string& name, const std::int16_t* values, int count);
    void print(unsigned index);
    void setActive(bool active) {
        active_ = active;
    }
    bool isActive() const {
        return active_;
    }

    // Drops every recorded buffer (tests start from a clean tracer).
    void clear();

    std::size_t inputCount() {
        std::lock_guard<std::mutex> lock(mutex_);
        return input_.size();
    }
    std::size_t outputCount() {
        std::lock_guard<std::mutex> lock(mutex_);
        return output_.size();
    }
    std::vector<std::string> names() {
        std::lock_guard<std::mutex> lock(mutex_);
        return names_;
    }

  private:
    TraceOp() = default;
    TraceOp(const TraceOp&) = delete;
    TraceOp& operator=(const TraceOp&) = delete;

    struct Buffer {
        std::unique_ptr<std::int16_t[]> values;
        int count = 0;
    };
    static void store(Buffer& buffer, const std::int16_t* values, int count);

    std::map<std::string, Buffer> input_;
    std::map<std::string, Buffer> output_;
    std::mutex mutex_;
    std::vector<std::string> names_;
    std::atomic<bool> active_{false};

    static std::atomic<TraceOp*> instance_;
};
