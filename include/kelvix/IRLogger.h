// The application's switch for the library's logging: thresholds of the console and of the log
// file.
#pragma once

#include "kelvix/export.h"

namespace zol {

// 1 switches a channel off; 2..5 switch it on at thresholds error .. debug.
enum IRLoggerVerbosityLevel {
    IRLOG_OFF = 1,
    IRLOG_ERROR = 2,
    IRLOG_WARNING = 3,
    IRLOG_INFO = 4,
    IRLOG_DEBUG = 5
};

// Applications configure the process-wide logger through this facade.
class KELVIX_API IRLogger {
  public:
    // Configures the process-wide logger; a null or empty fileName logs under the base name
    // "morvane.log". From any thread.
    static void setVerbosity(IRLoggerVerbosityLevel console, IRLoggerVerbosityLevel file,
                             const char* fileName);

  private:
    IRLogger() {}
};

}  // namespace zol
