// Temperature-table operations that only the debug build carries, for the debug
// library's callers between frames.
#ifdef KELVIX_DEBUG_BUILD

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "imgproc/TemperatureTable.h"
#include "platform/Paths.h"
#include "platform/Strings.h"

namespace {

constexpr int kMinFileLines = 8;

template <typename T>
bool bisect(const T* a, int count, T key, int* position) {
    if (position == nullptr) {
        return false;
    }
    *position = 0;
    if (a == nullptr || count <= 0 || key < a[0]) {
        return false;
    }
    if (key > a[count - 1]) {
        *position = count - 1;
        return false;
    }
    int lo = 0;
    int hi = count - 1;
    int middle = 0;
    while (lo <= hi) {
        middle = lo + (hi - lo) / 2;
        if (a[middle] == key) {
            *position = middle;
            return true;
        }
        if (a[middle] < key) {
            lo = middle + 1;
        } else {
            hi = middle - 1;
        }
    }
    *position = middle;
    return true;
}

}  // namespace

bool TemperatureTable::searchSorted(const std::int16_t* a, int count, std::int16_t key,
                                    int* position) {
    return bisect(a, count, key, position);
}

bool TemperatureTable::searchSorted(const std::uint16_t* a, int count, std::uint16_t key,
                                    int* position) {
    return bisect(a, count, key, position);
}

bool TemperatureTable::searchSorted(const std::int32_t* a, int count, std::int32_t key,
                                    int* position) {
    return bisect(a, count, key, position);
}

HRESULT TemperatureTable::loadFileA(const char* path, bool centi) {
    valid = 0;
    clearPoints();
    firstEnergyNeg = 0;
    rawMin = encodeTemperature(shared->tMin - 25.0f, centi);
    rawMax = encodeTemperature(shared->tMax + 25.0f, centi);
    if (path == nullptr) {
        return E_POINTER;
    }
    std::ifstream in;
    if (platform::fileExists(platform::toWide(path))) {
        in.open(path);
    }
    if (!in.is_open()) {
        return E_ACCESSDENIED;
    }
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    if (static_cast<int>(lines.size()) < kMinFileLines) {
        return E_FAIL;
    }
    resizePoints(static_cast<std::int32_t>(lines.size()));
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::istringstream fields(lines[i]);
        std::vector<std::string> tokens;
        for (std::string t; fields >> t;) {
            tokens.push_back(t);
        }
        // Two tokens: energy, temperature; three: an index first. Other lines stay zero.
        if (tokens.size() != 2 && tokens.size() != 3) {
            continue;
        }
        const std::size_t e = tokens.size() - 2;
        const int energy = std::atoi(tokens[e].c_str());
        const double t = std::strtod(tokens[e + 1].c_str(), nullptr);
        temperatures[i] = static_cast<float>(t);
        rawTemperatures[i] = encodeTemperature(temperatures[i], centi);
        energies[i] = energy;
        if (i == 0) {
            firstEnergyNeg = -energy;
        }
    }
    // The extension to energy 0 allocates one point per energy below the first one.
    if (energies[0] < kEnergyMin || energies[0] > kEnergyMax) {
        clearPoints();
        firstEnergyNeg = 0;
        return E_FAIL;
    }
    extendToZeroEnergy();
    return S_OK;
}

float TemperatureTable::temperatureOfPoint(std::int16_t index) const {
    if (pointCount <= 0 || temperatures.empty()) {
        return 0.0f;
    }
    const std::int64_t i = std::clamp<std::int64_t>(
        std::int64_t(index) + energyOffset, 0, static_cast<std::int64_t>(temperatures.size()) - 1);
    return temperatures[static_cast<std::size_t>(i)];
}

float TemperatureTable::energyOfRaw(std::uint16_t raw) const {
    if (rawTemperatures.empty()) {
        return 0.0f;
    }
    int position = 0;
    if (!searchSorted(rawTemperatures.data(), static_cast<int>(rawTemperatures.size()),
                      static_cast<std::int32_t>(raw), &position)) {
        return 0.0f;
    }
    return static_cast<float>(energies[static_cast<std::size_t>(position)]);
}

std::int16_t TemperatureTable::lutIndexOf(float t, bool centi) const {
    const auto key = static_cast<std::int16_t>(encodeTemperature(t, centi));
    int position = 0;
    if (!searchSorted(lut.data(), static_cast<int>(lut.size()), key, &position)) {
        return 0;
    }
    return static_cast<std::int16_t>(
        std::clamp<std::int64_t>(std::int64_t(position) - energyOffset, -32767, 32767));
}

bool TemperatureTable::searchSamplePoints(double tolerance, std::vector<SamplePoint>& out) const {
    out.clear();
    const int step = shared != nullptr && shared->temperatureUnit >= 2 ? 10 : 1;
    const int size = std::min<int>(lutSize, static_cast<int>(lut.size()));
    int lastPos = 0;
    int lastValue = 0;
    for (int pos = 0; pos < size; ++pos) {
        const int v = lut[static_cast<std::size_t>(pos)];
        if (v < rawMin) {
            continue;
        }
        bool take = out.empty();
        const int d = pos - lastPos;
        if (!take && d >= 10) {
            const int middle = lastPos + d / 2;
            const int reference = lut[static_cast<std::size_t>(middle)];
            const int difference = lastValue + (v - lastValue) / 2 - reference;
            const double relative = reference != 0 ? static_cast<double>(difference) / reference
                                                   : (difference < 0 ? -HUGE_VAL : HUGE_VAL);
            take = std::abs(difference) > step && (relative <= -tolerance || relative >= tolerance);
        }
        if (!take) {
            continue;
        }
        if (static_cast<int>(out.size()) == kMaxSamplePoints) {
            out.clear();
            return false;
        }
        out.push_back(SamplePoint{static_cast<std::int16_t>(pos), static_cast<std::int16_t>(v)});
        lastPos = pos;
        lastValue = v;
        if (v >= rawMax) {
            break;
        }
    }
    return !out.empty();
}

bool TemperatureTable::samplePoints(std::vector<SamplePoint>& out) const {
    out.clear();
    if (shared == nullptr || !shared->samplePointRequest) {
        return false;
    }
    if (shared->samplePoints) {
        const auto* list = static_cast<const std::int16_t*>(shared->sampleList);
        const int size = std::min<int>(lutSize, static_cast<int>(lut.size()));
        if (list == nullptr || shared->sampleCount <= 0 || size <= 0) {
            return false;
        }
        // Levels come from the correction file: held to the table.
        for (std::int32_t j = 0; j < shared->sampleCount; ++j) {
            const int level = std::clamp<int>(list[2 * j + 1], 0, size - 1);
            out.push_back(SamplePoint{list[2 * j], lut[static_cast<std::size_t>(level)]});
        }
        return true;
    }
    for (double tolerance : {0.001, 0.01, 0.02}) {
        if (searchSamplePoints(tolerance, out)) {
            return true;
        }
    }
    return false;
}

bool TemperatureTable::mapSamplePointsToIndices(std::vector<SamplePoint>& points,
                                                const std::int16_t* sorted, int count, int offset) {
    if (sorted == nullptr || count <= 0) {
        return false;
    }
    for (SamplePoint& p : points) {
        int position = 0;
        searchSorted(sorted, count, p.position, &position);
        p.position = static_cast<std::int16_t>(position - offset);
    }
    return true;
}

#endif  // KELVIX_DEBUG_BUILD
