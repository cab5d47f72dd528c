// The generator of a simulated camera's calibration set (description XML, correction data,
// temperature tables, Formats.def) from the numbers of its physics. Tests, the quick-start
// example, the chain benchmark, the fuzz camera and SimEnvironment write their sets with it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "SimPhysics.h"

namespace sim {

// One temperature range of a simulated optic, with the radiometric model behind its files.
struct SimRangeSpec {
    float tMin = -20.0f;
    float tMax = 100.0f;
    int fid = 0;
    int skim = -1;                // negative: the skim that centres the range on this camera
    std::vector<int> frameRates;  // empty: files without a rate in their names
    int decimal = 1;
    bool normalize = false;
    bool tableParamsLambda = true;  // false: the table parameters carry no wavelength
    RadiometricModel model;
};

struct SimOpticsSpec {
    int fov = 23;
    std::string text;
    bool samplePoint = false;  // correction files hold sample points; no tables are written
    std::vector<SimRangeSpec> ranges;
};

// What a generated calibration set describes.
struct CalibrationSet {
    std::vector<SimOpticsSpec> optics;
    int flagCycles = 10;
    int flagCyclesIgnore = 2;
    std::vector<int> streamRates{30};  // raw-frame rates the format block is written for
    int samplePoints = 10;

    // Two optics: a standard one with the three usual ranges and a tele optic whose hot range
    // is calibrated with sample points.
    static CalibrationSet standard();

    // The first non-sample-point range selected by a filter id (what the camera switches to
    // when the library sends it), null when none.
    const SimRangeSpec* rangeForFid(int fid) const;
};

// Writes the calibration files of a simulated camera from the same numbers its physics uses:
// "Cali-<serial>.xml", per range "Cali-<stem>.dat" and "Kennlinie-<stem>.prn", and Formats.def.
// The camera's physics learns the ranges the set describes (their filter ids and curves).
class CalibrationSetWriter {
  public:
    CalibrationSetWriter(SimCamera& camera, CalibrationSet set);

    // The calibrated skim of a range as the description states it.
    int skimOf(const SimRangeSpec& range) const;

    // Writes everything; the formats file goes to `formatsDirectory` (the calibration
    // directory when empty). False when a file cannot be written.
    bool writeAll(const std::string& calibrationDirectory,
                  const std::string& formatsDirectory = std::string()) const;

    static std::string fileStem(std::uint32_t serial, int fov, const std::string& text, float tMin,
                                float tMax, int rate);

    std::string calibrationXml() const;
    std::vector<std::uint8_t> gainOffsetFile() const;
    std::vector<std::uint8_t> samplePointFile(const SimRangeSpec& range) const;
    std::string tableFile(const SimRangeSpec& range) const;
    std::string formatsFile() const;

    const CalibrationSet& set() const { return set_; }

  private:
    SimCamera& camera_;
    SimPhysics& physics_;
    CalibrationSet set_;
};

}  // namespace sim
