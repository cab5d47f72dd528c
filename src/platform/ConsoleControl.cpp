// The signal thread: sigwait() on the blocked set, then the handler in force; an event it does
// not handle ends the process with 128 + the signal number, as the signal would have.
#include "platform/ConsoleControl.h"

#include <signal.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace platform {

namespace {

std::atomic<ConsoleHandler> currentHandler{nullptr};

ConsoleEvent eventOf(int signal) {
    switch (signal) {
        case SIGINT:
            return kConsoleInterrupt;
        case SIGHUP:
            return kConsoleClose;
        default:
            return kConsoleShutdown;
    }
}

bool ignoredAtStart(int signal) {
    struct sigaction action {};
    return sigaction(signal, nullptr, &action) == 0 && action.sa_handler == SIG_IGN;
}

void waitForSignals(sigset_t set) {
    for (;;) {
        int signal = 0;
        if (sigwait(&set, &signal) != 0) {
            continue;
        }
        const ConsoleHandler handler = currentHandler.load();
        if (handler == nullptr || !handler(eventOf(signal))) {
            std::_Exit(128 + signal);
        }
    }
}

}  // namespace

bool installConsoleControlHandler(ConsoleHandler handler) {
    currentHandler = handler;
    static std::once_flag started;
    bool ok = true;
    std::call_once(started, [&ok] {
        sigset_t set;
        sigemptyset(&set);
        for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
            if (!ignoredAtStart(signal)) {
                sigaddset(&set, signal);
            }
        }
        if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) {
            ok = false;
            return;
        }
        std::thread(waitForSignals, set).detach();
    });
    return ok;
}

}  // namespace platform
