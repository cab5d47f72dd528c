// The system's command processor behind a replaceable interface: the C interface's
// zol_kelvix_daemon_kill runs its command through it; tests install a stand-in.
#pragma once

#include <string>

#include "platform/ScopedInstall.h"

namespace platform {

// Runs commands through the system's command processor.
class Shell {
  public:
    virtual ~Shell() = default;
    // The command's exit status; -1 when the command processor could not be started.
    virtual int run(const std::string& command) = 0;
};

// The shell in use: the installed one, else the system's.
Shell& shell();
// Installs a shell (not owned) in place of the system's; restore goes back to the system's.
void installShell(Shell* replacement);
void restoreShell();
// Installs a shell for the lifetime of the guard.
using ScopedShell = ScopedInstall<Shell, installShell, restoreShell>;

}  // namespace platform
