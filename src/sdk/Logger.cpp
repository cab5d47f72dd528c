// The process-wide logger and the IRLogger facade: line format, dated file names, the one notice
// of an unconfigured logger. Every call takes the logger's mutex, so any thread may log.
#include "kelvix/Logger.h"

#include <atomic>
#include <iostream>
#include <sstream>

#include "kelvix/IRLogger.h"
#include "platform/Clock.h"

namespace zol {
namespace {

std::atomic<bool> notConfiguredNoticePrinted{false};

const char* levelName(unsigned level) {
    switch (level) {
        case Logger::Warning:
            return "WARNING ";
        case Logger::Info:
            return "INFO ";
        case Logger::Debug:
            return "DEBUG ";
        default:
            return "ERROR ";
    }
}

double counterMs(double frequency) {
    return static_cast<double>(platform::clock().ticks() * 1000) / frequency;
}

}  // namespace

Logger* Logger::getInstance() {
    static Logger* instance = new Logger();  // never destroyed: logging may run at exit
    return instance;
}

Logger::Logger()
    : configured(false),
      mode(ModeFile),
      fileLevel(0),
      consoleLevel(0),
      startMs(0),
      frequency(static_cast<double>(platform::Clock::kFrequency)) {
    startMs = counterMs(frequency);
}

double Logger::secondsSinceStart() const {
    return (counterMs(frequency) - startMs) / 1000.0;
}

void Logger::configure(const std::string& name, int newMode, int newFileLevel,
                       int newConsoleLevel) {
    std::lock_guard<std::mutex> lock(mutex);
    fileLevel = static_cast<unsigned>(newFileLevel);
    consoleLevel = static_cast<unsigned>(newConsoleLevel);
    if (mode & ModeFile) {
        file.close();
    }
    if (name != fileName) {
        platform::LocalTime t = platform::clock().localTime();
        std::ostringstream os;
        os << name << "_" << t.day << "_" << t.month << "_" << t.year << "_" << t.hour << "-"
           << t.minute << "-" << t.second << ".log";
        fileName = os.str();
    }
    if (newMode & ModeFile) {
        file.clear();
        file.open(fileName, std::ios::out | std::ios::app);
    }
    mode = newMode;
    configured = true;
}

bool Logger::wants(unsigned level) const {
    std::lock_guard<std::mutex> lock(mutex);
    if (!configured) {
        return !notConfiguredNoticePrinted.load();
    }
    return ((mode & ModeFile) && level <= fileLevel) ||
           ((mode & ModeConsole) && level <= consoleLevel);
}

void Logger::write(unsigned level, const std::string& sourceName, unsigned line,
                   const std::string& message) {
    std::lock_guard<std::mutex> lock(mutex);
    if (!configured) {
        if (!notConfiguredNoticePrinted.exchange(true)) {
            std::ostringstream os;
            os << "[" << sourceName << ":" << line << "] @ " << secondsSinceStart() << "s :"
               << " Logger not configured!" << std::endl;
            std::cerr << os.str();
        }
        return;
    }
    std::ostringstream os;
    os << levelName(level) << "[" << sourceName << ":" << line << "] @ " << secondsSinceStart()
       << "s :" << message << std::endl;
    const std::string text = os.str();
    if ((mode & ModeFile) && level <= fileLevel) {
        file << text;
        file.flush();
    }
    if ((mode & ModeConsole) && level <= consoleLevel) {
        std::cerr << text;
    }
}

void IRLogger::setVerbosity(IRLoggerVerbosityLevel console, IRLoggerVerbosityLevel fileLevel,
                            const char* fileName) {
    const std::string name = (fileName == nullptr || *fileName == '\0') ? "morvane.log" : fileName;
    const int mode = (console == IRLOG_OFF ? Logger::ModeConsoleOff : Logger::ModeConsole) +
                     (fileLevel == IRLOG_OFF ? Logger::ModeFileOff : Logger::ModeFile);
    auto threshold = [](IRLoggerVerbosityLevel v) {
        switch (v) {
            case IRLOG_WARNING:
                return 1;
            case IRLOG_INFO:
                return 2;
            case IRLOG_DEBUG:
                return 3;
            default:
                return 0;
        }
    };
    Logger::getInstance()->configure(name, mode, threshold(fileLevel), threshold(console));
}

}  // namespace zol
