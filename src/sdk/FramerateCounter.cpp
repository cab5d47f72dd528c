// The ring of samples behind the rate: events counted between the oldest and the newest sample,
// over the time between them. Not guarded: one thread per counter.
#include "kelvix/FramerateCounter.h"

#include <algorithm>
#include <vector>

namespace zol {

FramerateCounter::FramerateCounter(double intervalMs, unsigned int window)
    : frameTimer(std::make_unique<Timer>()),
      reportTimer(std::make_unique<Timer>()),
      fps(0),
      interval(intervalMs),
      oldest(nullptr),
      newest(nullptr) {
    const std::size_t size = 1 + 2 * static_cast<std::size_t>(std::max(1u, window / 2));
    const double now = frameTimer->getTime();
    ring.reserve(size);
    for (std::size_t i = 0; i < size; ++i) {
        ring.push_back(Sample{static_cast<int>(i), 0, now, nullptr});
    }
    linkRing();
    oldest = &ring.front();
    newest = &ring.back();
}

FramerateCounter::~FramerateCounter() = default;

FramerateCounter::FramerateCounter(const FramerateCounter& other)
    : frameTimer(std::make_unique<Timer>(*other.frameTimer)),
      reportTimer(std::make_unique<Timer>(*other.reportTimer)),
      fps(other.fps),
      interval(other.interval),
      oldest(nullptr),
      newest(nullptr),
      ring(other.ring) {
    takePositions(other);
}

FramerateCounter& FramerateCounter::operator=(const FramerateCounter& other) {
    if (this != &other) {
        *frameTimer = *other.frameTimer;
        *reportTimer = *other.reportTimer;
        fps = other.fps;
        interval = other.interval;
        ring = other.ring;
        takePositions(other);
    }
    return *this;
}

void FramerateCounter::linkRing() {
    for (std::size_t i = 0; i < ring.size(); ++i) {
        ring[i].next = &ring[(i + 1) % ring.size()];
    }
}

void FramerateCounter::takePositions(const FramerateCounter& other) {
    // The copied samples still point into the other's ring.
    linkRing();
    oldest = ring.data() + (other.oldest - other.ring.data());
    newest = ring.data() + (other.newest - other.ring.data());
}

bool FramerateCounter::trigger(double* out) {
    Sample* s = oldest;
    s->count = newest->count + 1;
    s->timeMs = frameTimer->getTime();
    newest = s;
    oldest = s->next;

    const double span = newest->timeMs - oldest->timeMs;
    if (span > 1e-9) {
        fps = static_cast<double>(newest->count - oldest->count) * 1000.0 / span;
    }
    if (out != nullptr) {
        *out = fps;
    }
    if (reportTimer->getTime() > interval) {
        reportTimer->reset();
        return true;
    }
    return false;
}

double FramerateCounter::getFps() {
    return fps;
}

}  // namespace zol
