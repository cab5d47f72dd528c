#include "kelvix/FramerateCounter.h"

#include <algorithm>
#include <vector>

namespace zol {

FramerateCounter::FramerateCounter(double intervalMs, unsigned int window)
    : frameTimer(new Timer()),
      reportTimer(new Timer()),
      fps(0),
      interval(intervalMs),
      oldest(nullptr),
      newest(nullptr) {
    const std::size_t size = 1 + 2 * static_cast<std::size_t>(std::max(1u, window / 2));
    const double now = frameTimer->getTime();
    Sample* first = nullptr;
    for (std::size_t i = 0; i < size; ++i) {
        Sample* s = new Sample{static_cast<int>(i), 0, now, nullptr};
        if (first == nullptr) {
            first = s;
        } else {
            newest->next = s;
        }
        newest = s;
    }
    newest->next = first;
    oldest = first;
}

FramerateCounter::~FramerateCounter() {
    freeRing();
    delete frameTimer;
    delete reportTimer;
}

FramerateCounter::FramerateCounter(const FramerateCounter& other)
    : frameTimer(new Timer(*other.frameTimer)),
      reportTimer(new Timer(*other.reportTimer)),
      fps(other.fps),
      interval(other.interval),
      oldest(nullptr),
      newest(nullptr) {
    copyFrom(other);
}

FramerateCounter& FramerateCounter::operator=(const FramerateCounter& other) {
    if (this != &other) {
        *frameTimer = *other.frameTimer;
        *reportTimer = *other.reportTimer;
        fps = other.fps;
        interval = other.interval;
        freeRing();
        copyFrom(other);
    }
    return *this;
}

void FramerateCounter::copyFrom(const FramerateCounter& other) {
    // Rebuild the ring in the other's order, keeping each sample's place.
    std::vector<Sample*> copies;
    const Sample* s = other.oldest;
    do {
        copies.push_back(new Sample{s->index, s->count, s->timeMs, nullptr});
        s = s->next;
    } while (s != other.oldest);
    for (std::size_t i = 0; i < copies.size(); ++i) {
        copies[i]->next = copies[(i + 1) % copies.size()];
    }
    oldest = copies.front();
    newest = copies.back();  // the newest always precedes the oldest
}

void FramerateCounter::freeRing() {
    if (oldest == nullptr) {
        return;
    }
    Sample* s = oldest->next;
    while (s != oldest) {
        Sample* next = s->next;
        delete s;
        s = next;
    }
    delete oldest;
    oldest = nullptr;
    newest = nullptr;
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
