// Events on a mutex and a condition variable; the registry of named events holds them weakly,
// so an event lives as long as one of its holders.
#include "platform/Event.h"

#include <chrono>
#include <map>

namespace platform {

void Event::set() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        set_ = true;
    }
    cv_.notify_all();
}

void Event::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    set_ = false;
}

bool Event::isSet() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return set_;
}

void Event::wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return set_; });
}

bool Event::waitFor(std::uint32_t ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return set_; });
}

std::shared_ptr<Event> Event::named(const std::string& name, bool initiallySet) {
    static std::mutex registryMutex;
    static auto* registry = new std::map<std::string, std::weak_ptr<Event>>();
    std::lock_guard<std::mutex> lock(registryMutex);
    auto& slot = (*registry)[name];
    if (auto existing = slot.lock()) {
        return existing;
    }
    auto created = std::make_shared<Event>(initiallySet);
    slot = created;
    return created;
}

}  // namespace platform
