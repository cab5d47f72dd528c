// The guard with which tests put a stand-in for one of the platform's replaceable services
// (clock, HID backend, capture service, USB registry, shell) in force. Each service offers one
// install/restore pair beside its accessor; its guard, declared there too, calls that pair.
#pragma once

namespace platform {

// Installs `standIn` (not owned) for the guard's lifetime; destruction goes back to the
// system's service.
template <typename Service, void (*Install)(Service*), void (*Restore)()>
class ScopedInstall {
  public:
    explicit ScopedInstall(Service& standIn) { Install(&standIn); }
    ~ScopedInstall() { Restore(); }
    ScopedInstall(const ScopedInstall&) = delete;
    ScopedInstall& operator=(const ScopedInstall&) = delete;
};

}  // namespace platform
