// The process-wide logger the library writes to (through the macros of sdk/Log.h). Every call
// takes its mutex, so any thread may configure it and log.
#pragma once

#include <fstream>
#include <mutex>
#include <string>

#include "kelvix/export.h"

namespace zol {

// The process-wide logger: one text line per message to a dated file and/or the standard
// error stream, each sink with its own level threshold. Messages are dropped until the
// first configure().
class KELVIX_API Logger {
  public:
    enum Level : unsigned { Error = 0, Warning = 1, Info = 2, Debug = 3 };
    enum Mode : int { ModeFile = 1, ModeFileOff = 2, ModeConsole = 4, ModeConsoleOff = 8 };

    // The one logger, created on first use and never destroyed (logging may run at exit).
    static Logger* getInstance();

    // Opens the dated file "<name>_<d>_<m>_<y>_<h>-<m>-<s>.log" when mode has ModeFile and sets
    // the thresholds (Level values); until the first call, messages are dropped.
    void configure(const std::string& name, int mode, int fileLevel, int consoleLevel);
    // One line "LEVEL [source:line] @ seconds :message" to each sink whose threshold it meets.
    void write(unsigned level, const std::string& sourceName, unsigned line,
               const std::string& message);

    // True when a message of this level reaches a sink (or would print the one notice of an
    // unconfigured logger), so callers can skip formatting messages nobody reads.
    bool wants(unsigned level) const;

    // The file name in use; read it while no other thread configures the logger.
    const std::string& getFileName() const { return fileName; }

  private:
    Logger();
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    double secondsSinceStart() const;

    bool configured;
    std::string fileName;
    int mode;
    std::ofstream file;
    unsigned fileLevel;
    unsigned consoleLevel;
    double startMs;
    double frequency;
    mutable std::mutex mutex;
};

}  // namespace zol
