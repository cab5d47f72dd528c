// The sensor's numbers: chip sensor counts, the bent radiometric curve and its inverse, per-pixel
// parameters drawn from a seed (the serial by default), and the rendering of header and pixels.
#include "SimPhysics.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <random>

#include "SimCamera.h"
#include "device/HidEncoding.h"

namespace sim {

using hidenc::putBe16;

namespace {

double planck(const TableModel& m, double t) {
    return TemperatureTable::planckTerm(m.lambda * 1e-6, t);
}

std::int16_t fixed7(double t) {
    return roundClamped<std::int16_t>(t * 128.0);
}

}  // namespace

// 3.3 V over 12 bits, 29.096 mV per degree below 86.926 degC (rev. 21..99 sensors: 28.38844
// m-degC per count below 91.9264 degC).
std::uint16_t chipCounts(double t, std::uint16_t hwRevision) {
    double c = (hwRevision >= 21 && hwRevision <= 99) ? (91.9264 - t) / 0.02838844
                                                      : (86.926 - t) * 0.029096 * 4096.0 / 3.3;
    return roundClamped<std::uint16_t>(c);
}

double RadiometricModel::modelEnergy(double t) const {
    const double p1 = planck(table, table.T1);
    const double p3 = planck(table, table.T3);
    const double slope = (static_cast<double>(table.E3) - table.E1) / (p3 - p1);
    return table.E3 + slope * (planck(table, t) - p3);
}

double RadiometricModel::energy(double t) const {
    const double span = table.T3 - table.T1;
    const double curve = span != 0.0 ? 4.0 * (t - table.T1) * (table.T3 - t) / (span * span) : 0.0;
    return modelEnergy(t) + bend * curve;
}

double RadiometricModel::temperature(double e) const {
    if (bend != 0.0) {
        // The bent curve rises through every range and stays above it up to 2000 degC.
        double lo = -270.0, hi = 2000.0;
        for (int i = 0; i < 100; ++i) {
            const double mid = 0.5 * (lo + hi);
            (energy(mid) < e ? lo : hi) = mid;
        }
        return 0.5 * (lo + hi);
    }
    const double p1 = planck(table, table.T1);
    const double p3 = planck(table, table.T3);
    const double slope = (static_cast<double>(table.E3) - table.E1) / (p3 - p1);
    const double p = (e - table.E3) / slope + p3;
    return TemperatureTable::kPlanckC2 / (table.lambda * 1e-6 * std::log1p(1.0 / p)) - 273.15;
}

SimPhysics& SimPhysics::of(SimCamera& camera) {
    std::lock_guard<std::mutex> lock(camera.mutex());
    if (!camera.physics) {
        Config config;
        config.seed = camera.serial();
        camera.physics = std::make_shared<SimPhysics>(camera, config);
    }
    return *camera.physics;
}

SimPhysics::SimPhysics(SimCamera& camera, const Config& config) : camera_(camera), config_(config) {
    const int n = pixelCount();
    std::mt19937 rng(config.seed);
    std::normal_distribution<double> unit(0.0, 1.0);
    responsivity_.resize(n);
    darkOffset_.resize(n);
    alpha_.resize(n);
    narcissus_.resize(n);
    for (int p = 0; p < n; ++p) {
        responsivity_[p] = config.responsivityMean *
                           std::clamp(1.0 + config.responsivitySpread * unit(rng), 0.5, 1.5);
        darkOffset_[p] = config.darkLevel + config.darkSpread * unit(rng);
        alpha_[p] = std::max(0.0, config.alphaMean + config.alphaSpread * unit(rng));
        narcissus_[p] = std::clamp(config.narcissusSpread * unit(rng), -100.0, 100.0);
    }
    deadMask_.assign(n, 0);
    std::uniform_int_distribution<int> pick(0, n - 1);
    while (static_cast<int>(dead_.size()) < std::min(config.deadPixels, n)) {
        const int p = pick(rng);
        if (!deadMask_[p]) {
            deadMask_[p] = 1;
            dead_.push_back(p);
        }
    }
    std::sort(dead_.begin(), dead_.end());
    noiseState_ = config.seed | 1u;
    seenHidFlagCycles_ = camera.hid.flagCycles;

    model_.table.T1 = 25.0;
    model_.table.T3 = 100.0;
    model_.table.E1 = 6000;  // the standard set's first range
    model_.table.E3 = 12000;
    model_.table.lambda = 9.5;
    scene_.assign(n, 25.0f);
    sceneEnergy_.assign(n, model_.energy(25.0));
}

int SimPhysics::centredSkim(const RadiometricModel& model, double tMin, double tMax) const {
    // The library's target for (min lo + 3 max hi) / 4, in counts.
    constexpr double kTarget = 11075.75;
    const double eLo = model.energy(tMin);
    const double eHi = model.energy(tMax);
    double lo = 1e300, hi = -1e300;
    for (int p = 0; p < pixelCount(); ++p) {
        if (!deadMask_[p]) {
            lo = std::min(lo, darkOffset_[p] + responsivity_[p] * eLo);
            hi = std::max(hi, darkOffset_[p] + responsivity_[p] * eHi);
        }
    }
    const double steps = ((lo + 3.0 * hi) / 4.0 - kTarget) / config_.skimCounts;
    return std::clamp(SimHidState::kPowerUpSkim + static_cast<int>(std::lround(steps)), 1, 4094);
}

void SimPhysics::applyModel(const RadiometricModel& model) {
    model_ = model;
    for (std::size_t p = 0; p < scene_.size(); ++p) {
        sceneEnergy_[p] = sceneEnergy(scene_[p]);
    }
}

void SimPhysics::followFid() {
    activeFid_ = camera_.hid.fid;
    for (const RangeSetting& r : ranges_) {
        if (r.fid == activeFid_) {
            applyModel(r.model);
            break;
        }
    }
}

void SimPhysics::setRanges(const std::vector<RangeSetting>& ranges) {
    std::lock_guard<std::mutex> lock(camera_.mutex());
    ranges_ = ranges;
    followFid();
}

void SimPhysics::setModel(const RadiometricModel& model) {
    std::lock_guard<std::mutex> lock(camera_.mutex());
    applyModel(model);
}

RadiometricModel SimPhysics::model() const {
    std::lock_guard<std::mutex> lock(camera_.mutex());
    return model_;
}

void SimPhysics::setUniformScene(float t) {
    setScene(std::vector<float>(pixelCount(), t));
}

void SimPhysics::setScene(const std::vector<float>& temperatures) {
    std::lock_guard<std::mutex> lock(camera_.mutex());
    const std::size_t n = std::min(temperatures.size(), scene_.size());
    for (std::size_t p = 0; p < n; ++p) {
        scene_[p] = temperatures[p];
        sceneEnergy_[p] = sceneEnergy(temperatures[p]);
    }
}

double SimPhysics::sceneEnergy(double t) const {
    return radiationX_ * model_.energy(t) + (1.0 - radiationX_) * model_.energy(ambient_);
}

void SimPhysics::setRadiation(double x, double ambient) {
    std::lock_guard<std::mutex> lock(camera_.mutex());
    radiationX_ = x;
    ambient_ = ambient;
    applyModel(model_);
}

void SimPhysics::setBlackbodyScene(float target, float left, float right) {
    const int w = config_.layout.width;
    const int h = config_.layout.height;
    std::vector<float> t(pixelCount());
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const bool inside = x >= w / 4 && x < 3 * w / 4 && y >= h / 4 && y < 3 * h / 4;
            t[y * w + x] = inside ? target : left + (right - left) * x / std::max(1, w - 1);
        }
    }
    setScene(t);
}

void SimPhysics::advance(double seconds) {
    std::lock_guard<std::mutex> lock(camera_.mutex());
    // First-order lags toward a warmed-up camera: housing 38, flag 2 above it, chip 10 above.
    auto approach = [seconds](float& value, double target, double tau) {
        value = static_cast<float>(target + (value - target) * std::exp(-seconds / tau));
    };
    approach(camera_.tempBox, 38.0, 900.0);
    approach(camera_.tempOptics, camera_.tempBox, 300.0);
    approach(camera_.tempFlag, camera_.tempBox + 2.0, 200.0);
    approach(camera_.tempChip, camera_.tempBox + 10.0, 120.0);
}

void SimPhysics::beginFlagCycle(int frames) {
    std::lock_guard<std::mutex> lock(camera_.mutex());
    // A cycle begun here stands for any commanded one not yet shown: it is not run twice.
    seenHidFlagCycles_ = camera_.hid.flagCycles;
    flagFramesLeft_ = std::max(1, frames);
    camera_.flagState = 1;
}

std::uint32_t SimPhysics::frameCounter() const {
    std::lock_guard<std::mutex> lock(camera_.mutex());
    return frameCounter_;
}

double SimPhysics::dark(int pixel, double chip) const {
    return darkOffset_[pixel] + config_.darkPerDegree * (chip - config_.caliChipTemp);
}

void SimPhysics::renderHeader(std::uint16_t* words) const {
    std::uint8_t b[2 * SimRawLayout::kHeaderWords] = {};
    putBe16(b + 0, static_cast<std::uint16_t>(fixed7(camera_.tempOptics)));
    putBe16(b + 2, chipCounts(camera_.tempChip, camera_.hwRevision()));
    putBe16(b + 4, static_cast<std::uint16_t>(fixed7(camera_.tempFlag)));
    putBe16(b + 7, static_cast<std::uint16_t>(fixed7(camera_.tempBox)));
    b[11] = static_cast<std::uint8_t>(camera_.flagState);
    b[21] = static_cast<std::uint8_t>(frameCounter_ >> 24);
    b[22] = static_cast<std::uint8_t>(frameCounter_ >> 16);
    b[23] = static_cast<std::uint8_t>(frameCounter_ >> 8);
    b[24] = static_cast<std::uint8_t>(frameCounter_);
    for (int j = 0; j < SimRawLayout::kHeaderWords; ++j) {
        words[j] = hidenc::le16(b + 2 * j);
    }
}

void SimPhysics::renderPixels(std::uint16_t* out) const {
    const int n = pixelCount();
    const double chip = camera_.tempChip;
    const double skim = config_.skimCounts * (camera_.hid.skim - SimHidState::kPowerUpSkim);
    const double gainDrift = 1.0 + config_.chipCoefficient * (chip - config_.caliChipTemp);
    const double eFlag = model_.energy(camera_.tempFlag);
    const double stray = model_.energy(camera_.tempBox) - eFlag;
    const bool closed = camera_.flagState == 1;
    std::uint32_t noise = noiseState_ + frameCounter_ * 2654435761u;
    for (int p = 0; p < n; ++p) {
        if (deadMask_[p]) {
            out[p] = (p & 1) ? 65535 : 0;
            continue;
        }
        const double r = responsivity_[p] * gainDrift;
        double v = closed ? dark(p, chip) - skim + r * eFlag
                          : dark(p, chip) - skim +
                                r * (sceneEnergy_[p] + alpha_[p] * stray + narcissus_[p]);
        if (config_.noise > 0.0) {
            noise = noise * 1664525u + 1013904223u;
            v += config_.noise * ((noise >> 8) * (1.0 / 16777216.0) - 0.5) * 3.4641;
        }
        out[p] = roundClamped<std::uint16_t>(v);
    }
}

void SimPhysics::renderFrame(std::uint16_t* raw) const {
    const SimRawLayout& l = config_.layout;
    if (l.isDefault()) {
        std::fill(raw, raw + l.rawWidth(), 0);
        renderHeader(raw);
        renderPixels(raw + l.rawWidth());
        return;
    }
    std::fill(raw, raw + l.rawWords(), 0);
    renderHeader(raw + l.headerStart());
    std::vector<std::uint16_t> pixels(static_cast<std::size_t>(pixelCount()));
    renderPixels(pixels.data());
    for (int y = 0; y < l.height; ++y) {
        std::copy_n(pixels.begin() + static_cast<std::ptrdiff_t>(y) * l.width, l.width,
                    raw + l.rowStart(y));
    }
}

void SimPhysics::nextFrame(std::uint16_t* raw) {
    std::lock_guard<std::mutex> lock(camera_.mutex());
    if (!ranges_.empty() && camera_.hid.fid != activeFid_) {
        followFid();  // the filter switched at this frame
    }
    if (camera_.hid.flagCycles != seenHidFlagCycles_) {
        seenHidFlagCycles_ = camera_.hid.flagCycles;
        flagFramesLeft_ = kFlagCycleFrames;
        camera_.flagState = 1;
    }
    renderFrame(raw);
    ++frameCounter_;
    if (flagFramesLeft_ > 0 && --flagFramesLeft_ == 0) {
        camera_.flagState = 0;
    }
}

}  // namespace sim
