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

    static Logger* getInstance();

    void configure(const std::string& name, int mode, int fileLevel, int consoleLevel);
    void write(unsigned level, const std::string& sourceName, unsigned line,
               const std::string& message);

    // True when a message of this level reaches a sink (or would print the one notice of an
    // unconfigured logger), so callers can skip formatting messages nobody reads.
    bool wants(unsigned level) const;

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
