// The simulated camera's physics: the radiometric model, the raw frame layout, and the sensor
// that turns a scene into raw counts, with flag cycles and temperature drift. Frames render on the
// simulated capture thread; flag cycles commanded over HID reach it through the camera's state.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "imgproc/TemperatureTable.h"

namespace sim {

class SimCamera;

// Energy of a blackbody at T through one range's optics and filter. The calibration's table
// parameters state a straight line in the Planck term through (T1, E1) and (T3, E3) at an
// effective wavelength; the camera's real curve may bend away from that line between and beyond
// the two reference points (a measured table is never exactly the model).
struct RadiometricModel {
    TableModel table;
    // Energy counts the real curve lies above the line halfway between T1 and T3 (a parabola
    // through both reference points); 0: the line itself.
    double bend = 0.0;

    double energy(double tCelsius) const;  // the real curve
    double temperature(double energy) const;
    double modelEnergy(double tCelsius) const;  // the line of the table parameters
};

// The raw frame of the simulated camera: a row of header words (the rest of the row skipped)
// above or below the pixel rows, each pixel row followed by `padding` skipped words.
struct SimRawLayout {
    static constexpr int kHeaderWords = 32;
    int width = 160;
    int height = 120;
    int padding = 0;
    bool headerLast = false;

    int rawWidth() const { return width + padding; }
    int rawHeight() const { return height + 1; }
    std::size_t rawWords() const { return static_cast<std::size_t>(rawWidth()) * rawHeight(); }
    std::size_t headerStart() const {
        return headerLast ? static_cast<std::size_t>(rawWidth()) * height : 0;
    }
    std::size_t rowStart(int y) const {
        return (headerLast ? 0 : static_cast<std::size_t>(rawWidth())) +
               static_cast<std::size_t>(rawWidth()) * y;
    }
    bool isDefault() const { return padding == 0 && !headerLast; }
};

// Sensor and radiometry of one simulated camera. A scene of object temperatures becomes raw
// counts through the active range's curve and the sensor's per-pixel response:
//   open:   raw = dark(chip) - skim + R * (E(scene) + alpha * (E(box) - E(flag)) + narcissus)
//   closed: raw = dark(chip) - skim + R * E(flag)
// with R = r * (1 + chipCoefficient * (chip - caliChipTemp)) and skim = skimCounts * (the skim
// register - its power-up value). The filter id register selects the range whose curve applies. The
// calibration set written from the same numbers undoes exactly this, so the library must report
// the scene's temperatures.
class SimPhysics {
  public:
    struct Config {
        SimRawLayout layout;
        std::uint32_t seed = 1;
        int deadPixels = 5;
        // Raw counts per energy count: what keeps the statistics of a flag image, scenes from
        // tMin to tMax, inside the window the skim adjustment aims at.
        double responsivityMean = 0.5;
        double responsivitySpread = 0.05;  // relative, 1 sigma
        double darkLevel = 8000.0;         // counts at the calibration chip temperature
        double darkSpread = 300.0;
        double darkPerDegree = 20.0;  // dark counts per degree of chip temperature
        double chipCoefficient = 0.002;
        double caliChipTemp = 35.0;
        double alphaMean = 0.05;  // stray housing radiation reaching the detector
        double alphaSpread = 0.01;
        double narcissusSpread = 5.0;  // fixed pattern the flag does not see, energy counts
        double noise = 0.0;            // temporal noise, counts (0 = none)
        double skimCounts = 20.0;      // counts one skim step takes off every pixel
    };

    // What the camera does in one temperature range: the filter id that selects it, its curve.
    struct RangeSetting {
        int fid = 0;
        RadiometricModel model;
    };

    // The physics of a camera, created on first use with a seed from its serial.
    static SimPhysics& of(SimCamera& camera);

    SimPhysics(SimCamera& camera, const Config& config);

    const Config& config() const { return config_; }
    const SimRawLayout& layout() const { return config_.layout; }
    int pixelCount() const { return config_.layout.width * config_.layout.height; }

    // Per-pixel sensor parameters (fixed for the camera's life).
    const std::vector<double>& responsivity() const { return responsivity_; }
    const std::vector<double>& alpha() const { return alpha_; }
    const std::vector<double>& narcissus() const { return narcissus_; }
    const std::vector<int>& deadPixels() const { return dead_; }
    bool isDead(int pixel) const { return deadMask_[pixel] != 0; }

    // The skim that centres the flag-image statistics of a range at calibration conditions:
    // (min lo + 3 max hi) / 4 at the library's target, lo and hi the counts of scenes at tMin
    // and tMax.
    int centredSkim(const RadiometricModel& model, double tMin, double tMax) const;

    // Everything below takes the camera's mutex itself: call it without holding that mutex.
    // The ranges the filter id register selects from; the current register's range applies.
    void setRanges(const std::vector<RangeSetting>& ranges);
    void setModel(const RadiometricModel& model);
    RadiometricModel model() const;
    void setUniformScene(float tCelsius);
    // Object temperatures, row-major, width x height.
    void setScene(const std::vector<float>& temperatures);
    // A blackbody square at `target` in front of a horizontal gradient from `left` to `right`.
    void setBlackbodyScene(float target, float left, float right);
    // Objects of emissivity (times the path's transmissivity) x in surroundings at `ambient`:
    // each pixel sees x * E(object) + (1 - x) * E(ambient). 1 until set.
    void setRadiation(double x, double ambient);

    // Temperatures drift slowly toward a warm equilibrium (housing, then flag and chip).
    void advance(double seconds);
    // Closes the flag for `frames` frames; the camera reopens it by itself. A flag cycle
    // commanded over HID does the same at the next frame.
    static constexpr int kFlagCycleFrames = 10;
    void beginFlagCycle(int frames = kFlagCycleFrames);
    // Renders the next raw frame (header and pixels), then counts it and steps the flag cycle.
    void nextFrame(std::uint16_t* raw);
    // Renders without changing anything.
    void renderFrame(std::uint16_t* raw) const;
    // Pixel counts only (width x height).
    void renderPixels(std::uint16_t* pixels) const;
    std::uint32_t frameCounter() const;

  private:
    void renderHeader(std::uint16_t* words) const;
    double dark(int pixel, double chip) const;
    void applyModel(const RadiometricModel& model);
    // The range of the filter id register, when one is known.
    void followFid();
    // What a pixel sees of an object at t, with the radiation set.
    double sceneEnergy(double t) const;

    SimCamera& camera_;
    Config config_;
    RadiometricModel model_;
    std::vector<RangeSetting> ranges_;
    int activeFid_ = 0;
    std::vector<double> responsivity_, darkOffset_, alpha_, narcissus_;
    std::vector<int> dead_;
    std::vector<std::uint8_t> deadMask_;
    double radiationX_ = 1.0;
    double ambient_ = 20.0;
    std::vector<float> scene_;
    std::vector<double> sceneEnergy_;
    int flagFramesLeft_ = 0;
    int seenHidFlagCycles_ = 0;
    std::uint32_t frameCounter_ = 0;
    std::uint32_t noiseState_ = 1;
};

// Counts of the chip-temperature sensor in the frame header (and in HID answers from revision
// 20 on).
std::uint16_t chipCounts(double t, std::uint16_t hwRevision);

}  // namespace sim
