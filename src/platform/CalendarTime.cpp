// localtime_r behind localTimeOf.
#include "platform/CalendarTime.h"

#include <time.h>

namespace platform {

LocalTime localTimeOf(std::int64_t secondsSince1970) {
    const time_t secs = static_cast<time_t>(secondsSince1970);
    struct tm tm {};
    LocalTime t;
    if (localtime_r(&secs, &tm) == nullptr) {
        return t;
    }
    t.year = tm.tm_year + 1900;
    t.month = tm.tm_mon + 1;
    t.day = tm.tm_mday;
    t.hour = tm.tm_hour;
    t.minute = tm.tm_min;
    t.second = tm.tm_sec;
    return t;
}

}  // namespace platform
