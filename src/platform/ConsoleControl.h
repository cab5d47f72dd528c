// Console signals for kelvixdaemon: SIGINT, SIGTERM and SIGHUP go to one thread of their own,
// which runs the daemon's handler (IRDaemon::consoleHandler) instead of interrupting main.
#pragma once

namespace platform {

// Console events as the handler sees them: an interrupt (SIGINT), the console going away
// (SIGHUP) and a request to shut down (SIGTERM).
enum ConsoleEvent : unsigned {
    kConsoleInterrupt = 0,
    kConsoleClose = 2,
    kConsoleShutdown = 6,
};

// Returns true when it handled the event; otherwise the process ends as the signal would.
using ConsoleHandler = bool (*)(ConsoleEvent event);

// Call from main before any other thread starts: blocks SIGINT, SIGTERM and SIGHUP in the
// calling thread (threads started later inherit that) and starts one thread that waits for
// them and runs `handler`. Signals the process was started ignoring (a background job's
// SIGINT, nohup's SIGHUP) stay ignored. A second call only replaces the handler.
bool installConsoleControlHandler(ConsoleHandler handler);

}  // namespace platform
