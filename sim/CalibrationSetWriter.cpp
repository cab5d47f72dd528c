// The files' contents, each computed from the model so that the chain undoes the physics:
// fixed-point correction planes or sample points, tables, the description and the format blocks.
#include "CalibrationSetWriter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "SimCamera.h"
#include "imgproc/Cali.h"
#include "platform/Strings.h"

namespace sim {

namespace {

// Flag temperature the sample points were taken at.
constexpr double kSampleFlagTemp = 35.0;
constexpr int kGainShift = 13;  // gains up to 8 (responsivities down to 1/8)
constexpr int kGainCoefficientShift = 20;
constexpr int kDriftShift = 16;
constexpr int kNarcissusShift = 4;
constexpr int kNarcissusBase = 1000;
// The correction's integer steps (flag mean, 16.16 shift, truncated flag energy and offsets)
// lose about this many counts on average; the offsets absorb it, as a measured calibration
// would.
constexpr double kIntegerLoss = 1.5;

void putLe16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void putLe32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    putLe16(out, static_cast<std::uint16_t>(v));
    putLe16(out, static_cast<std::uint16_t>(v >> 16));
}

std::string number(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.6f", v);
    return buf;
}

bool writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

std::string join(const std::string& dir, const std::string& name) {
    return dir.empty() ? name : dir + "/" + name;
}

SimRangeSpec range(float tMin, float tMax, int fid, double t1, int e1, double t3, int e3,
                   double lambda) {
    SimRangeSpec r;
    r.tMin = tMin;
    r.tMax = tMax;
    r.fid = fid;
    r.model.table.T1 = t1;
    r.model.table.T3 = t3;
    r.model.table.E1 = static_cast<std::int16_t>(e1);
    r.model.table.E3 = static_cast<std::int16_t>(e3);
    r.model.table.lambda = lambda;
    return r;
}

}  // namespace

CalibrationSet CalibrationSet::standard() {
    CalibrationSet set;
    SimOpticsSpec wide;
    wide.fov = 23;
    wide.ranges.push_back(range(-20, 100, 0, 25, 6000, 100, 12000, 9.5));
    wide.ranges.push_back(range(0, 250, 1, 25, 4000, 200, 12000, 9.5));
    wide.ranges.push_back(range(150, 900, 2, 200, 4000, 900, 16000, 8.0));
    set.optics.push_back(wide);

    SimOpticsSpec tele;
    tele.fov = 6;
    tele.text = "tele";
    tele.samplePoint = true;
    tele.ranges.push_back(range(150, 900, 2, 200, 4000, 900, 16000, 8.0));
    set.optics.push_back(tele);
    return set;
}

const SimRangeSpec* CalibrationSet::rangeForFid(int fid) const {
    for (const SimOpticsSpec& o : optics) {
        for (const SimRangeSpec& r : o.ranges) {
            if (!o.samplePoint && r.fid == fid) {
                return &r;
            }
        }
    }
    return nullptr;
}

CalibrationSetWriter::CalibrationSetWriter(SimCamera& camera, CalibrationSet set)
    : camera_(camera), physics_(SimPhysics::of(camera)), set_(std::move(set)) {
    std::vector<SimPhysics::RangeSetting> ranges;
    for (const SimOpticsSpec& o : set_.optics) {
        for (const SimRangeSpec& r : o.ranges) {
            if (set_.rangeForFid(r.fid) == &r) {
                ranges.push_back(SimPhysics::RangeSetting{r.fid, r.model});
            }
        }
    }
    physics_.setRanges(ranges);
}

int CalibrationSetWriter::skimOf(const SimRangeSpec& r) const {
    return r.skim >= 0 ? r.skim : physics_.centredSkim(r.model, r.tMin, r.tMax);
}

std::string CalibrationSetWriter::fileStem(std::uint32_t serial, int fov, const std::string& text,
                                           float tMin, float tMax, int rate) {
    wchar_t buffer[260];
    if (!Cali::makeFileName(static_cast<int>(serial), fov, platform::toWide(text).c_str(), tMin,
                            tMax, rate, buffer, 260)) {
        return std::string();
    }
    return platform::toNarrow(buffer);
}

std::string CalibrationSetWriter::calibrationXml() const {
    const SimPhysics::Config& c = physics_.config();
    std::ostringstream x;
    x << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<CaliData>\n  <Main>\n"
      << "    <TecA>3400</TecA>\n    <TecB>400</TecB>\n    <TecC>400</TecC>\n    <TecD>120</TecD>\n"
      << "    <FlagCycles>" << set_.flagCycles << "</FlagCycles>\n"
      << "    <FlagCycles_Ignore>" << set_.flagCyclesIgnore << "</FlagCycles_Ignore>\n"
      << "    <AlphaLowTemp>" << number(c.caliChipTemp - 12.0) << "</AlphaLowTemp>\n"
      << "    <AlphaLowFactor>1.000000</AlphaLowFactor>\n  </Main>\n"
      << "  <Temperature>\n    <Optics>\n";
    for (const SimOpticsSpec& o : set_.optics) {
        x << "      <OpticsDef>\n        <FOV>" << o.fov << "</FOV>\n        <SerNo>"
          << camera_.serial() << "</SerNo>\n        <Text>" << o.text << "</Text>\n"
          << "        <SamplePointCali>" << (o.samplePoint ? "true" : "false")
          << "</SamplePointCali>\n        <TempRanges>\n";
        for (const SimRangeSpec& r : o.ranges) {
            x << "          <TemperatureRange>\n            <Fid>" << r.fid << "</Fid>\n"
              << "            <Skim>" << skimOf(r) << "</Skim>\n"
              << "            <TempLo>" << number(r.tMin) << "</TempLo>\n"
              << "            <TempHi>" << number(r.tMax) << "</TempHi>\n"
              << "            <TempLoExt>" << number(r.tMin) << "</TempLoExt>\n"
              << "            <TempHiExt>" << number(r.tMax) << "</TempHiExt>\n";
            if (!r.frameRates.empty()) {
                x << "            <Framerates>\n";
                for (int rate : r.frameRates) {
                    x << "              <Framerate><FR>" << rate << "</FR></Framerate>\n";
                }
                x << "            </Framerates>\n";
            }
            const TableModel& m = r.model.table;
            x << "            <Decimal>" << r.decimal << "</Decimal>\n"
              << "            <TableParams>\n              <Normalize>" << (r.normalize ? 1 : 0)
              << "</Normalize>\n              <T1>" << static_cast<int>(m.T1) << "</T1>\n"
              << "              <T3>" << static_cast<int>(m.T3) << "</T3>\n"
              << "              <E1>" << m.E1 << "</E1>\n              <E3>" << m.E3 << "</E3>\n";
            if (r.tableParamsLambda) {
                x << "              <Lambda>" << number(m.lambda) << "</Lambda>\n";
            }
            x << "            </TableParams>\n          </TemperatureRange>\n";
        }
        x << "        </TempRanges>\n      </OpticsDef>\n";
    }
    x << "    </Optics>\n  </Temperature>\n</CaliData>\n";
    return x.str();
}

std::vector<std::uint8_t> CalibrationSetWriter::gainOffsetFile() const {
    const SimPhysics::Config& c = physics_.config();
    const int n = physics_.pixelCount();
    std::vector<std::uint8_t> out;
    out.reserve(12 + 4 + 24 + 12 * static_cast<std::size_t>(n));
    putLe16(out, 1000);  // version
    putLe16(out, 1);     // fieldStart
    putLe16(out, 1);     // fieldCount
    putLe16(out, 2);     // extra words
    putLe32(out, camera_.serial());
    putLe16(out, static_cast<std::uint16_t>(
                     encodeTemperature(static_cast<float>(c.caliChipTemp), false)));
    putLe16(out, 0);  // offset coefficient
    const std::uint16_t shifts[6] = {kGainShift, kGainCoefficientShift, 0,
                                     0,          kDriftShift,           kNarcissusShift};
    const std::uint16_t bases[6] = {0, 0, 0, 0, 0, kNarcissusBase};
    for (std::uint16_t s : shifts) {
        putLe16(out, s);
    }
    for (std::uint16_t b : bases) {
        putLe16(out, b);
    }
    // Gain 1/r, its chip coefficient, two unused planes, stray-light factor, narcissus.
    for (int p = 0; p < n; ++p) {
        putLe16(out, physics_.isDead(p) ? 0
                                        : roundClamped<std::uint16_t>((1 << kGainShift) /
                                                                      physics_.responsivity()[p]));
    }
    for (int p = 0; p < n; ++p) {
        putLe16(out, roundClamped<std::uint16_t>(c.chipCoefficient * (1 << kGainCoefficientShift)));
    }
    for (int p = 0; p < 2 * n; ++p) {
        putLe16(out, 0);
    }
    for (int p = 0; p < n; ++p) {
        putLe16(out, roundClamped<std::uint16_t>(physics_.alpha()[p] * (1 << kDriftShift)));
    }
    for (int p = 0; p < n; ++p) {
        putLe16(out, roundClamped<std::uint16_t>(
                         (kNarcissusBase - physics_.narcissus()[p] + kIntegerLoss) *
                         (1 << kNarcissusShift)));
    }
    return out;
}

std::vector<std::uint8_t> CalibrationSetWriter::samplePointFile(const SimRangeSpec& r) const {
    const SimPhysics::Config& c = physics_.config();
    const int n = physics_.pixelCount();
    const int s = std::max(2, set_.samplePoints);
    std::vector<std::uint8_t> out;
    putLe16(out, 2000);  // version
    putLe16(out, 1);
    putLe16(out, static_cast<std::uint16_t>(s));
    putLe16(out, 1);
    putLe32(out, camera_.serial());
    putLe16(out, static_cast<std::uint16_t>(
                     encodeTemperature(static_cast<float>(c.caliChipTemp), false)));
    // Levels: encoded temperatures spread over the range; samples: what each pixel reads
    // there with the flag offset removed (flag at kSampleFlagTemp).
    std::vector<double> temps(s);
    for (int j = 0; j < s; ++j) {
        temps[j] = r.tMin + (r.tMax - r.tMin) * j / (s - 1);
        putLe16(out,
                static_cast<std::uint16_t>(encodeTemperature(static_cast<float>(temps[j]), false)));
    }
    const double eFlag = r.model.energy(kSampleFlagTemp);
    for (int p = 0; p < n; ++p) {
        long previous = -1;
        for (int j = 0; j < s; ++j) {
            long v = 0;
            if (!physics_.isDead(p)) {
                const double e = r.model.energy(temps[j]) - eFlag + physics_.narcissus()[p];
                v = roundClamped<std::uint16_t>(physics_.responsivity()[p] * e);
                v = std::min(65535L, std::max(v, previous + 1));  // strictly rising
            }
            previous = v;
            putLe16(out, static_cast<std::uint16_t>(v));
        }
    }
    return out;
}

std::string CalibrationSetWriter::tableFile(const SimRangeSpec& r) const {
    // Integer energies one apart, covering the range with a wide margin.
    const long first = std::clamp(static_cast<long>(std::floor(r.model.energy(r.tMin - 30.0))), 1L,
                                  static_cast<long>(kEnergyMax));
    const long last = std::clamp(static_cast<long>(std::ceil(r.model.energy(r.tMax + 30.0))),
                                 first + 8, static_cast<long>(kEnergyMax));
    std::string text;
    char line[64];
    for (long e = first; e <= last; ++e) {
        std::snprintf(line, sizeof line, "%ld\t%.4f\n", e,
                      r.model.temperature(static_cast<double>(e)));
        text += line;
    }
    return text;
}

std::string CalibrationSetWriter::formatsFile() const {
    const SimRawLayout& l = physics_.layout();
    const unsigned rev = camera_.hwRevision();
    std::ostringstream f;
    f << "# Raw frame formats of the simulated camera\n[ImgProc format definition file]\nVersion "
         "1\n";
    for (int rate : set_.streamRates) {
        char guid[64];
        std::snprintf(guid, sizeof guid, "{5e1a0c00-%04x-4d7a-8b31-0000%08x}", rate & 0xffff,
                      static_cast<unsigned>(camera_.serial()));
        f << "\n[Format]\nGuid " << guid << "\n"
          << "Name Simulated " << l.width << "x" << l.height << " @" << rate << "\n"
          << "HWRev (" << rev << ".." << rev << ")\n"
          << "FWRev (0..65535)\n"
          << "Channels 1\n"
          << "In " << l.rawWidth() << " " << l.rawHeight() << " " << rate << "\n"
          << "Out " << l.width << " " << l.height << " " << rate << "\n"
          << "SFrames 1\n"
          << "Def ";
        std::ostringstream header, pixels;
        header << "(" << l.headerStart() << " 1 m:" << SimRawLayout::kHeaderWords
               << " s:" << l.rawWidth() - SimRawLayout::kHeaderWords << ")";
        pixels << "(" << l.rowStart(0) << " " << l.height << " d:" << l.width;
        if (l.padding > 0) {
            pixels << " s:" << l.padding;
        }
        pixels << ")";
        f << (l.headerLast ? pixels.str() + " " + header.str() : header.str() + " " + pixels.str())
          << "\n[Format end]\n";
    }
    return f.str();
}

bool CalibrationSetWriter::writeAll(const std::string& caliDir,
                                    const std::string& formatsDir) const {
    bool ok = writeFile(join(caliDir, "Cali-" + std::to_string(camera_.serial()) + ".xml"),
                        calibrationXml());
    const std::vector<std::uint8_t> gains = gainOffsetFile();
    for (const SimOpticsSpec& o : set_.optics) {
        for (const SimRangeSpec& r : o.ranges) {
            std::vector<int> rates = r.frameRates;
            if (rates.empty()) {
                rates.push_back(0);
            }
            for (int rate : rates) {
                const std::string stem =
                    fileStem(camera_.serial(), o.fov, o.text, r.tMin, r.tMax, rate);
                const std::vector<std::uint8_t> dat = o.samplePoint ? samplePointFile(r) : gains;
                ok = writeFile(join(caliDir, "Cali-" + stem + ".dat"),
                               std::string(dat.begin(), dat.end())) &&
                     ok;
                if (!o.samplePoint) {
                    ok = writeFile(join(caliDir, "Kennlinie-" + stem + ".prn"), tableFile(r)) && ok;
                }
            }
        }
    }
    ok = writeFile(join(formatsDir.empty() ? caliDir : formatsDir, "Formats.def"), formatsFile()) &&
         ok;
    return ok;
}

}  // namespace sim
