// The calendar breakdown of a moment in the local time zone: the system clock's local time and
// the date and time a raw recording's header carries (IRFileWriter).
#pragma once

#include <cstdint>

#include "platform/Clock.h"

namespace platform {

// The local calendar time of a moment given in seconds since 1970-01-01 UTC.
LocalTime localTimeOf(std::int64_t secondsSince1970);

}  // namespace platform
