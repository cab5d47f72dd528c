// Calibration description operations that only the debug build carries, for the
// debug library's callers on their own thread.
#ifdef KELVIX_DEBUG_BUILD

#include <cmath>
#include <cstdio>

#include "imgproc/Cali.h"

namespace {

int absTruncatedA(float t) {
    const double a = std::fabs(static_cast<double>(t));
    if (!(a < 2147483647.0)) {
        return a != a ? 0 : 2147483647;
    }
    return static_cast<int>(a);
}

}  // namespace

bool Cali::makeFileNameA(int serial, int fov, const char* text, float tMin, float tMax, int rate,
                         char* buffer, std::size_t length) {
    if (buffer == nullptr || length == 0) {
        return false;
    }
    const bool hasText = text != nullptr && text[0] != '\0';
    char rateText[16] = "";
    if (rate != 0) {
        std::snprintf(rateText, sizeof(rateText), "-%i", rate);
    }
    const int n =
        std::snprintf(buffer, length, "%i-%i%s%s-%s%i-%s%i%s", serial, fov, hasText ? "-" : "",
                      hasText ? text : "", tMin < 0 ? "M" : "", absTruncatedA(tMin),
                      tMax < 0 ? "M" : "", absTruncatedA(tMax), rateText);
    if (n < 0 || static_cast<std::size_t>(n) >= length) {
        buffer[0] = '\0';  // a cut stem would name another file
        return false;
    }
    return n > 0;
}

bool Cali::makeFileNameA(int serial, int fov, const char* text, const CaliTempPair& range, int rate,
                         char* buffer, std::size_t length) {
    return makeFileNameA(serial, fov, text, range.lo, range.hi, rate, buffer, length);
}

bool Cali::checkFramerate(const CaliOpticsKey& key, const CaliTempPair& range,
                          std::uint16_t* rate) const {
    if (rate == nullptr) {
        return false;
    }
    const int found = findFramerate(key.FOV, key.text.c_str(), range.lo, range.hi, *rate);
    if (found >= 0) {
        return true;
    }
    *rate = 0;
    return found == -1;
}

bool Cali::getTempRangeByFov(int fov, const wchar_t* text, int index, CaliTempPair* out) const {
    return getTempRange(CaliOpticsKey{fov, text != nullptr ? text : L""}, index, out);
}

int Cali::getTempRangeCountByFov(int fov, const wchar_t* text) const {
    return getTempRangeCount(CaliOpticsKey{fov, text != nullptr ? text : L""});
}

std::unique_ptr<CaliTempPair> Cali::getTempSpan(const CaliOpticsKey& key) const {
    std::lock_guard<std::mutex> lock(mutex);
    const int index = findOpticsLocked(key);
    if (index < 0) {
        return nullptr;
    }
    auto span = std::make_unique<CaliTempPair>(CaliTempPair{1000000.0f, -1000000.0f});
    for (const CaliTempRange& r : optics[static_cast<std::size_t>(index)].ranges) {
        span->lo = std::fmin(span->lo, r.TempLo);
        span->hi = std::fmax(span->hi, r.TempHi);
    }
    return span;
}

std::unique_ptr<CaliTempPair> Cali::getTempSpanAll() const {
    std::lock_guard<std::mutex> lock(mutex);
    if (optics.empty()) {
        return nullptr;
    }
    auto span = std::make_unique<CaliTempPair>(CaliTempPair{1000000.0f, -1000000.0f});
    for (const CaliOptics& o : optics) {
        for (const CaliTempRange& r : o.ranges) {
            span->lo = std::fmin(span->lo, r.TempLo);
            span->hi = std::fmax(span->hi, r.TempHi);
        }
    }
    return span;
}

#endif  // KELVIX_DEBUG_BUILD
