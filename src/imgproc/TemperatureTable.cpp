// Loading, fitting and building the temperature tables (TemperatureTable) for
// ImageProcessing::loadTemperatureTable, on the imager's thread between frames.

#include "imgproc/TemperatureTable.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <sstream>
#include <string>
#include <string_view>

#include "platform/Paths.h"
#include "platform/Strings.h"
#include "sdk/Log.h"

namespace {

constexpr int kMinFileLines = 8;
// A table has one line per energy of the LUT's domain; no camera's table comes near this.
constexpr std::size_t kMaxFileLines = 65536;
// "energy temperature" needs a few dozen characters.
constexpr std::size_t kMaxLineLength = 4095;
// No model of a 16-bit camera needs more points than this.
constexpr std::int64_t kMaxModelPoints = 65536;
constexpr std::int64_t kMaxModelSamples = 1 << 20;
// The wavelength fit: each round walks at most this many steps (a sound table needs about 20),
// and never below the shortest wavelength any thermal camera sees.
constexpr int kMaxFitSteps = 1000;
constexpr double kMinWavelength = 0.1e-6;
// Energy counts the fitted line may miss the middle reference by: half a table line.
constexpr double kFitTolerance = 0.5;
// How far a table may stop short of a reference temperature, degC.
constexpr float kReferenceReach = 0.05f;

}  // namespace

TemperatureTable::TemperatureTable(const SharedParameterBlock* s) : lut(lut::kSize), shared(s) {
    for (int i = 0; i < lut::kSize; ++i) {
        lut[i] = static_cast<std::int16_t>(i - lut::kIdentityOffset);
    }
}

void TemperatureTable::clearPoints() {
    temperatures.clear();
    rawTemperatures.clear();
    energies.clear();
    pointCount = 0;
    energyOffset = 0;
}

void TemperatureTable::resizePoints(std::int32_t n) {
    temperatures.assign(n, 0.0f);
    rawTemperatures.assign(n, 0);
    energies.assign(n, 0.0);
    pointCount = n;
}

void TemperatureTable::computeBounds(float tMin, float tMax, bool centi) {
    float d = 25.0f;
    if (shared->revision2100 || (shared->extendedRange && shared->tMin != shared->tMinExt)) {
        d = 0.0f;
    }
    rawMin = encodeTemperature(tMin - d, centi);
    rawMax = encodeTemperature(tMax + d, centi);
}

HRESULT TemperatureTable::loadFile(const std::wstring& path, bool centi) {
    valid = 0;
    clearPoints();
    sourceModel = TableModel();
    computeBounds(shared->tMin, shared->tMax, centi);

    std::string buffer;
    const platform::FileReadResult read = platform::readRegularFile(path, buffer);
    if (const char* reason = platform::refusalReason(read)) {
        KLOG_ERROR("Temperature table " << platform::toNarrow(path) << " refused: " << reason);
        return E_FAIL;
    }
    if (read != platform::FileReadResult::Read) {
        return E_ACCESSDENIED;
    }

    // Parsed as read, so that memory follows the points, not the line feeds. A line that does
    // not parse keeps its point index (zero values) so that energies stay in step with line
    // numbers; unparsable lines at the end are dropped.
    source = platform::toNarrow(path);
    const auto refuse = [&](std::size_t line, const std::string& why) {
        KLOG_ERROR("Temperature table " << source << " refused at line " << line << ": " << why);
        clearPoints();
        firstEnergyNeg = 0;
        return E_FAIL;
    };
    firstEnergyNeg = 0;
    std::size_t lines = 0;
    std::int32_t kept = 0;
    std::size_t pos = 0;
    std::string_view text;
    for (;;) {
        const platform::LineRead got = platform::nextLine(buffer, pos, kMaxLineLength, text);
        if (got == platform::LineRead::End || got == platform::LineRead::Unterminated) {
            break;  // only lines ending in a line feed count
        }
        ++lines;
        if (got == platform::LineRead::TooLong) {
            return refuse(lines, "longer than " + std::to_string(kMaxLineLength) + " characters");
        }
        if (lines > kMaxFileLines) {
            return refuse(lines, "more than " + std::to_string(kMaxFileLines) + " lines");
        }
        const std::string line(text);
        int energy = 0;
        double temperature = 0.0;
        if (std::sscanf(line.c_str(), "%i%lf", &energy, &temperature) != 2) {
            temperatures.push_back(0.0f);
            rawTemperatures.push_back(0);
            energies.push_back(0.0);
            continue;
        }
        if (!std::isfinite(static_cast<float>(temperature))) {
            // One such point would make the fit, and with it every reading, meaningless.
            return refuse(lines, "no finite temperature");
        }
        if (lines == 1 && (energy < kEnergyMin || energy > kEnergyMax)) {
            // The extension down to energy 0 would be unbounded.
            return refuse(lines, "first energy " + std::to_string(energy) + " outside " +
                                     std::to_string(kEnergyMin) + ".." +
                                     std::to_string(kEnergyMax));
        }
        temperatures.push_back(static_cast<float>(temperature));
        rawTemperatures.push_back(encodeTemperature(temperatures.back(), centi));
        energies.push_back(energy);
        if (lines == 1) {
            firstEnergyNeg = -energy;
        }
        kept = static_cast<std::int32_t>(energies.size());
    }
    if (kept < kMinFileLines) {
        return refuse(lines, "values up to line " + std::to_string(kept) + " only, at least " +
                                 std::to_string(kMinFileLines) + " lines needed");
    }
    temperatures.resize(kept);
    rawTemperatures.resize(kept);
    energies.resize(kept);
    pointCount = kept;

    extendToZeroEnergy();
    return S_OK;
}

void TemperatureTable::extendToZeroEnergy() {
    if (firstEnergyNeg >= 0) {
        return;
    }
    const std::int32_t n = -firstEnergyNeg;
    const float t0 = pointCount > 0 ? temperatures[0] : 0.0f;
    const std::int32_t r0 = pointCount > 0 ? rawTemperatures[0] : 0;
    temperatures.insert(temperatures.begin(), n, t0);
    rawTemperatures.insert(rawTemperatures.begin(), n, r0);
    std::vector<double> lead(n);
    for (std::int32_t i = 0; i < n; ++i) {
        lead[i] = i;
    }
    energies.insert(energies.begin(), lead.begin(), lead.end());
    pointCount += n;
    energyOffset = 0;
    firstEnergyNeg = 0;
}

HRESULT TemperatureTable::findRisingStart(float& t) const {
    if (pointCount <= 0 || temperatures.empty()) {
        return E_FAIL;
    }
    t = shared->tMin;
    float previous = 0.0f;
    int run = 0;
    std::int32_t runStart = 0;
    for (std::int32_t i = 1; i < pointCount; ++i) {
        if (temperatures[i] < shared->tMin) {
            continue;
        }
        const float step = temperatures[i] - temperatures[i - 1];
        bool counts = false;
        if (step < previous) {
            run = 0;
        }
        if (run > 0) {
            counts = step > previous;
        } else if (step != previous) {
            runStart = i;
            counts = step > previous;
        } else {
            run = 0;
        }
        if (counts) {
            if (run == 9) {
                t = std::floor(temperatures[runStart]);
                return S_OK;
            }
            ++run;
        }
        previous = step;
    }
    return S_FALSE;
}

HRESULT TemperatureTable::fitReferencePoints(TableModel& out) {
    const float tMin = shared->tMin;
    const float tMax = shared->tMax;
    refT1 = tMin;
    refT3 = tMax;
    if (tMin == -20.0f && tMax == 100.0f) {
        refT1 = 25.0, refT2 = 50.0, refT3 = 100.0;
    } else if (tMin == 0.0f && tMax == 250.0f) {
        refT1 = 25.0, refT2 = 100.0, refT3 = 200.0;
    } else if (tMin == 150.0f && tMax == 900.0f) {
        refT1 = 200.0, refT2 = 500.0, refT3 = 900.0;
    } else {
        refT2 = (static_cast<double>(tMin) + tMax) / 2.0;
    }

    const auto refuse = [this]() {
        valid = 0;
        clearPoints();
        return E_FAIL;
    };
    // Beyond its points a table gives its end point's energy, not the reference's. A table
    // that stops short of a reference by less than half a step of the encoding (rounded
    // temperatures) takes its end point there.
    const float first = pointCount > 0 ? temperatures[0] : 0.0f;
    const float last = pointCount > 0 ? temperatures[pointCount - 1] : 0.0f;
    const auto energyAt = [&](double ref) {
        return temperatureToEnergy(std::min(std::max(static_cast<float>(ref), first), last));
    };
    for (const double ref : {refT1, refT2, refT3}) {
        if (pointCount > 0 && !(ref >= first - kReferenceReach && ref <= last + kReferenceReach)) {
            KLOG_ERROR("Temperature table " << source << " refused: its points span " << first
                                            << " to " << last << " degC, not the reference " << ref
                                            << " degC");
            return refuse();
        }
    }
    refE1 = energyAt(refT1);
    refE2 = energyAt(refT2);
    refE3 = energyAt(refT3);
    if (refE1 == refE2 || refE1 == refE3 || refE2 == refE3) {
        return refuse();
    }
    std::string why;
    const double lambda = fitWavelength(&why);
    if (lambda == 0.0) {
        KLOG_ERROR("Temperature table " << source << " refused: no wavelength between "
                                        << kMinWavelength * 1e6 << " and 12 um fits its points ("
                                        << why << ")");
        return refuse();
    }
    out.lambda = lambda * 1000000.0;
    out.T1 = refT1;
    out.T3 = refT3;
    out.E1 = static_cast<std::int16_t>(truncToInt32(refE1));
    out.E3 = static_cast<std::int16_t>(truncToInt32(refE3));
    valid = 1;
    return S_OK;
}

double TemperatureTable::planckTerm(double lambda, double t) {
    return 1.0 / (std::exp(kPlanckC2 / (lambda * (t + 273.15))) - 1.0);
}

double TemperatureTable::fitWavelength(std::string* why) const {
    auto error = [this](double lambda) {
        const double p1 = planckTerm(lambda, refT1);
        const double p2 = planckTerm(lambda, refT2);
        const double p3 = planckTerm(lambda, refT3);
        return std::fabs(refE3 + (refE3 - refE1) / (p3 - p1) * (p2 - p3) - refE2);
    };
    const auto none = [why](const char* reason, double value, const char* unit) {
        if (why != nullptr) {
            std::ostringstream text;
            text << reason << value << unit;
            *why = text.str();
        }
        return 0.0;
    };
    double lambda = 12e-6;
    double step = -1e-6;
    bool moved = false;
    for (int round = 0; round < 7; ++round) {
        double err = error(lambda);
        if (err <= 1e9) {
            // A flat error would walk on for ever, and below the shortest wavelength the
            // Planck terms underflow and the error turns NaN.
            for (int steps = 0;; ++steps) {
                lambda += step;
                const double next = error(lambda);
                if (steps == kMaxFitSteps) {
                    return none("the error stays flat over ", kMaxFitSteps, " steps");
                }
                if (lambda < kMinWavelength || std::isnan(next)) {
                    return none("the best lies below ", kMinWavelength * 1e6, " um");
                }
                if (next > err) {
                    break;
                }
                err = next;
                moved = true;
            }
        }
        lambda -= 2.0 * step;
        step /= 10.0;
    }
    // Worse at every step: the best lies beyond the search's upper edge, the points are
    // straighter than any Planck curve.
    if (!moved) {
        return none("the best lies beyond ", lambda * 1e6, " um");
    }
    const double miss = error(lambda);
    if (!(miss <= kFitTolerance)) {
        return none("its line misses the middle reference by ", miss, " counts");
    }
    return lambda;
}

float TemperatureTable::temperatureToEnergy(float t) const {
    return static_cast<float>(energyOfTemperature(t));
}

double TemperatureTable::energyOfTemperature(float t) const {
    if (pointCount <= 0) {
        return 0.0;
    }
    if (t < temperatures[0]) {
        return energies[0];
    }
    if (t > temperatures[pointCount - 1]) {
        return energies[pointCount - 1];
    }
    const auto run = std::equal_range(temperatures.begin(), temperatures.begin() + pointCount, t);
    const std::int32_t first = static_cast<std::int32_t>(run.first - temperatures.begin());
    const std::int32_t past = static_cast<std::int32_t>(run.second - temperatures.begin());
    if (first < past) {
        // A run of equal temperatures (the extension below the first line, a table held at
        // either end, a rounded plateau) takes its point where the table rises: the last one
        // at the start, the first at the end, the middle one inside.
        std::int32_t i = first + (past - 1 - first) / 2;
        if (first == 0) {
            i = past - 1;
        } else if (past == pointCount) {
            i = first;
        }
        return energies[i];
    }
    // temperatures[first - 1] < t < temperatures[first]
    const std::int32_t i = std::max(first - 1, 0);
    const std::int32_t j = std::min(i + 1, pointCount - 1);
    const float e0 = static_cast<float>(energies[i]);
    const float e1 = static_cast<float>(energies[j]);
    const float t0 = temperatures[i];
    const float t1 = temperatures[j];
    if (t1 == t0) {
        return e0;
    }
    return e0 + (e1 - e0) * (t - t0) / (t1 - t0);
}

double TemperatureTable::modelEnergy(const TableModel& m, double t) {
    const double lambda = m.lambda * 1e-6;
    const double p3 = planckTerm(lambda, m.T3);
    const double slope = (static_cast<double>(m.E3) - m.E1) / (p3 - planckTerm(lambda, m.T1));
    return m.E3 - slope * p3 + planckTerm(lambda, t) * slope;
}

double TemperatureTable::ambientEnergy(float t) const {
    if (pointCount <= 0 || !(sourceModel.lambda > 0.0) || !std::isfinite(t) ||
        (t > temperatures[0] && t < temperatures[pointCount - 1])) {
        return temperatureToEnergy(t);
    }
    // Cold or hot surroundings: a clamped lookup would make the reading jump at the table's
    // end. The points below the first real one repeat its temperature (extendToZeroEnergy).
    const std::int32_t end = t <= temperatures[0] ? 0 : pointCount - 1;
    return energyOfTemperature(temperatures[end]) + modelEnergy(sourceModel, t) -
           modelEnergy(sourceModel, temperatures[end]);
}

std::int32_t TemperatureTable::searchEnergies(double e) const {
    if (e <= energies[0]) {
        return 0;
    }
    if (e >= energies[pointCount - 1]) {
        return pointCount - 1;
    }
    // Last point whose energy is not above e.
    auto it = std::upper_bound(energies.begin(), energies.begin() + pointCount, e);
    return static_cast<std::int32_t>(it - energies.begin()) - 1;
}

double TemperatureTable::energyAtIndex(std::int32_t i) const {
    if (!shared->revision2100) {
        return i;
    }
    if (pointCount <= 0) {
        return 0.0;
    }
    if (!shared->samplePoints) {
        return energies[std::clamp(i, 0, pointCount - 1)];
    }
    if (i <= rawTemperatures[0]) {
        return energies[0];
    }
    if (i >= rawTemperatures[pointCount - 1]) {
        return energies[pointCount - 1];
    }
    auto it = std::upper_bound(rawTemperatures.begin(), rawTemperatures.begin() + pointCount, i);
    const std::int32_t k = static_cast<std::int32_t>(it - rawTemperatures.begin()) - 1;
    const std::int32_t r0 = rawTemperatures[k];
    const std::int32_t r1 = rawTemperatures[k + 1];
    if (r1 == r0) {
        return energies[k];
    }
    return energies[k] + (energies[k + 1] - energies[k]) * (i - r0) / static_cast<double>(r1 - r0);
}

std::int32_t TemperatureTable::energyToRaw(double e) const {
    if (pointCount <= 0) {
        return 0;
    }
    if (!shared->revision2100) {
        return rawTemperatures[std::clamp(truncToInt32(e), 0, pointCount - 1)];
    }
    const std::int32_t k = searchEnergies(e);
    if (!shared->samplePoints || k == pointCount - 1 || e < energies[0]) {
        return rawTemperatures[k];
    }
    const double e0 = energies[k];
    const double e1 = energies[k + 1];
    if (e1 == e0) {
        return rawTemperatures[k];
    }
    const double r =
        rawTemperatures[k] + (rawTemperatures[k + 1] - rawTemperatures[k]) * (e - e0) / (e1 - e0);
    return truncToInt32(r);
}

std::int32_t TemperatureTable::energyToIndex(double e) const {
    if (pointCount <= 0) {
        return 0;
    }
    if (!shared->revision2100) {
        return std::clamp(truncToInt32(e), 0, pointCount - 1);
    }
    return searchEnergies(e);
}

HRESULT TemperatureTable::buildFromModel(const TableModel& model, float tMin, float tMax,
                                         float floorT, bool centi) {
    const auto fail = [this]() {
        valid = 0;
        clearPoints();
        firstEnergyNeg = 0;
        return E_FAIL;
    };
    if (!std::isfinite(model.T1) || !std::isfinite(model.T3) || !std::isfinite(model.lambda) ||
        model.T1 == model.T3 || !(model.lambda > 0.0) || !std::isfinite(tMin) ||
        !std::isfinite(tMax) || !std::isfinite(floorT)) {
        return fail();
    }
    computeBounds(tMin, tMax, centi);
    const std::int32_t s = centi ? 100 : 10;
    const std::int64_t start =
        static_cast<std::int64_t>(std::min(rawMin, encodeTemperature(floorT, centi))) - s;
    const std::int64_t n = static_cast<std::int64_t>(rawMax) - start + s;
    if (n < 2 || n > kMaxModelSamples) {
        return fail();
    }

    refT1 = model.T1;
    refT3 = model.T3;
    refE1 = model.E1;
    refE3 = model.E3;

    const double lambda = model.lambda * 1e-6;
    const double p1 = planckTerm(lambda, model.T1);
    const double p3 = planckTerm(lambda, model.T3);
    const double slope = (static_cast<double>(model.E3) - model.E1) / (p3 - p1);
    std::vector<double> q(static_cast<std::size_t>(n));
    std::int64_t knee = 0;
    for (std::int64_t k = 0; k < n; ++k) {
        const double p =
            planckTerm(lambda, decodeTemperature(static_cast<double>(start + k), centi));
        q[k] = model.E3 - slope * p3 + p * slope;
        if (!std::isfinite(q[k])) {
            return fail();
        }
        if (shared->revision2100 && knee == 0 && k > 1 && q[k] - q[k - 1] > 1.0) {
            knee = k;
        }
    }
    if (q[0] < -32768.0 || q[n - 1] > 32767.0 || q[n - 1] < q[0]) {
        return fail();
    }
    const std::int64_t qFirst = static_cast<std::int64_t>(q[0]);
    const std::int64_t qLast = static_cast<std::int64_t>(q[n - 1]);
    const std::int64_t count =
        knee > 0 ? knee + qLast - static_cast<std::int64_t>(q[knee]) + 1 : qLast - qFirst + 1;
    if (count < 1 || count > kMaxModelPoints) {
        return fail();
    }
    resizePoints(static_cast<std::int32_t>(count));
    energyOffset = static_cast<std::int32_t>(std::floor(q[0] + 0.5));
    firstEnergyNeg = -energyOffset;

    std::int64_t j = 1;
    for (std::int64_t k = 0; k < count; ++k) {
        double energy;
        double r;
        if (knee > 0 && k < knee) {
            energy = q[k];
            r = static_cast<double>(start + k);
        } else {
            energy = knee > 0 ? static_cast<double>(static_cast<std::int64_t>(q[knee]) - knee + k +
                                                    energyOffset)
                              : static_cast<double>(k + energyOffset);
            while (j < n - 1 && q[j] < energy) {
                ++j;
            }
            const double dq = q[j] - q[j - 1];
            const double frac = dq != 0.0 ? (energy - q[j - 1]) / dq : 0.0;
            r = static_cast<double>(start + j - 1) + frac;
        }
        temperatures[k] = static_cast<float>(decodeTemperature(r, centi));
        rawTemperatures[k] = truncToInt32(r);
        energies[k] = energy;
    }
    extendToZeroEnergy();
    sourceModel = model;
    valid = 1;
    return S_OK;
}

void TemperatureTable::applyRadiation(const RadiationRecord& r, float x, bool /*centi*/) {
    x = std::clamp(x, 0.1f, 1.1f);
    if (pointCount <= 0) {
        for (int i = 0; i < lutSize; ++i) {
            lut[i] = static_cast<std::int16_t>(i - lut::kIdentityOffset);
        }
        energyOffset = lut::kIdentityOffset;
        return;
    }
    energyOffset = firstEnergyNeg;
    const double g = ambientEnergy(r.ambient) + energyOffset;
    const std::int32_t lo = rawMin - 1;
    const std::int32_t hi = rawMax + 1;
    for (int i = 0; i < lutSize; ++i) {
        const double h = (energyAtIndex(i) - g) / x + g;
        lut[i] = static_cast<std::int16_t>(std::clamp(energyToRaw(h), lo, hi));
    }
    lut[lutSize - 2] = lut[lutSize - 3];
    lut[lutSize - 1] = lut[lutSize - 2];
    generation += 1;
}

bool TemperatureTable::buildNormalizationLut(const TableModel& model, float tMin, float tMax,
                                             bool centi, std::unique_ptr<std::int16_t[]>& out,
                                             int* count, int* offset) const {
    if (count == nullptr || offset == nullptr) {
        return false;
    }
    float floorT = pointCount > 0 ? temperatures[0] : -5.0f;
    if (shared->revision2100 && !(floorT > -5.0f)) {
        floorT = -5.0f;
    }
    TemperatureTable temp(shared);
    if (FAILED(temp.buildFromModel(model, tMin, tMax, floorT, centi))) {
        return false;
    }
    *offset = firstEnergyNeg;
    *count = std::min(pointCount, lut::kSize);
    out.reset(new std::int16_t[*count]);
    for (int i = 0; i < *count; ++i) {
        out[i] = static_cast<std::int16_t>(truncToInt32(temp.temperatureToEnergy(temperatures[i])));
    }
    return true;
}
