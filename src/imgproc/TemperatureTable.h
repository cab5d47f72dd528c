// The radiometric table of one range (TemperatureTable): calibration points and the
// energy-to-temperature LUT. ImageProcessing loads it between frames; operators use its LUTs.

#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "imgproc/SharedParameterBlock.h"
#include "imgproc/TemperatureEncoding.h"
#include "kelvix/export.h"
#include "platform/HResult.h"

// Radiation model of one range: energies E1, E3 at the reference temperatures T1, T3 and the
// effective wavelength in micrometres.
struct TableModel {
    double T1 = 0.0;
    double T3 = 0.0;
    std::int16_t E1 = 0;
    std::int16_t E3 = 0;
    double lambda = 0.0;
};

// Emissivity, transmissivity and ambient temperature (degC) of the scene.
struct RadiationRecord {
    float emissivity = 1.0f;
    float transmissivity = 1.0f;
    float ambient = 20.0f;
    bool reset = false;
};

// Radiometric table of one temperature range: calibration points (energy, temperature) and the
// energy -> encoded temperature LUT built from them. Loaded at init and, under the imager lock,
// at range changes; read on the frame path. Not guarded otherwise.
class TemperatureTable {
  public:
    KELVIX_DEBUG_API explicit TemperatureTable(const SharedParameterBlock* shared);
    TemperatureTable(const TemperatureTable&) = default;
    TemperatureTable& operator=(const TemperatureTable&) = default;

    HRESULT loadFile(const std::wstring& path, bool centi);
    void extendToZeroEnergy();
    HRESULT findRisingStart(float& t) const;
    HRESULT fitReferencePoints(TableModel& out);
    HRESULT buildFromModel(const TableModel& model, float tMin, float tMax, float floorT,
                           bool centi);
    void applyRadiation(const RadiationRecord& r, float emissivityTimesTransmissivity, bool centi);
    // Energy-normalisation LUT: for each point, the energy the model gives at its temperature.
    bool buildNormalizationLut(const TableModel& model, float tMin, float tMax, bool centi,
                               std::unique_ptr<std::int16_t[]>& lut, int* count, int* offset) const;

    float temperatureToEnergy(float t) const;
    // Energy of the surroundings at t for applyRadiation: the points' own where they reach,
    // beyond them sourceModel's course joined to the nearest end point.
    double ambientEnergy(float t) const;
    // Energy of the straight line in the Planck term that `model` states, at t degC.
    static double modelEnergy(const TableModel& model, double tCelsius);
    double energyAtIndex(std::int32_t i) const;
    std::int32_t energyToRaw(double e) const;
    std::int32_t energyToIndex(double e) const;

    // Second radiation constant h*c/k in metre-kelvin, as the tables were made with.
    static constexpr double kPlanckC2 = 0.014404347826086955;
    static double planckTerm(double lambdaMetres, double tCelsius);
    // 0 when none fits, with the reason in `why`.
    double fitWavelength(std::string* why = nullptr) const;

#ifdef KELVIX_DEBUG_BUILD
    struct SamplePoint {
        std::int16_t position;
        std::int16_t value;
    };
    static constexpr int kMaxSamplePoints = 64;

    // Text table by narrow path; the margin of 25 degrees around the range always applies.
    KELVIX_DEBUG_API HRESULT loadFileA(const char* path, bool centi);
    // Temperature of point index + energyOffset, the index held to the points; 0 without any.
    KELVIX_DEBUG_API float temperatureOfPoint(std::int16_t index) const;
    // Energy of the point whose encoded temperature is `raw`; 0 when outside or without points.
    KELVIX_DEBUG_API float energyOfRaw(std::uint16_t raw) const;
    // LUT position of T minus energyOffset, within -32767..32767; 0 when T is outside the LUT.
    KELVIX_DEBUG_API std::int16_t lutIndexOf(float t, bool centi) const;
    // The points that describe the LUT's curve, only when the shared block requests them: of a
    // sample-point calibration its own points {sample, lut[level]}, else those found with
    // tolerance 0.001, 0.01, then 0.02. False when there are none.
    KELVIX_DEBUG_API bool samplePoints(std::vector<SamplePoint>& out) const;
    // One search: false (and no points) when a 65th point would be needed.
    KELVIX_DEBUG_API bool searchSamplePoints(double tolerance, std::vector<SamplePoint>& out) const;
    // Replaces each point's position by its place among `sorted` minus `offset`.
    KELVIX_DEBUG_API static bool mapSamplePointsToIndices(std::vector<SamplePoint>& points,
                                                          const std::int16_t* sorted, int count,
                                                          int offset);

    // Bisection in ascending arrays: a key below the first entry gives 0, above the last entry
    // the last position, both not found; otherwise the match or the last middle probed.
    KELVIX_DEBUG_API static bool searchSorted(const std::int16_t* a, int count, std::int16_t key,
                                              int* position);
    KELVIX_DEBUG_API static bool searchSorted(const std::uint16_t* a, int count, std::uint16_t key,
                                              int* position);
    KELVIX_DEBUG_API static bool searchSorted(const std::int32_t* a, int count, std::int32_t key,
                                              int* position);
#endif

    std::int32_t generation = 0;
    std::int32_t valid = 0;
    std::vector<float> temperatures;
    std::vector<std::int32_t> rawTemperatures;
    std::vector<double> energies;
    std::int32_t pointCount = 0;
    std::int32_t energyOffset = 0;
    std::int32_t firstEnergyNeg = 0;
    std::int32_t lutSize = lut::kSize;
    std::int32_t rawMin = 0;
    std::int32_t rawMax = 0;
    double refT1 = 0.0, refT2 = 0.0, refT3 = 0.0;
    double refE1 = 0.0, refE2 = 0.0, refE3 = 0.0;
    std::vector<std::int16_t> lut;
    // The file the points came from, for the refusals of the fit.
    std::string source;
    const SharedParameterBlock* shared;
    // The model the points follow (built from it, or normalised onto it); lambda 0: none.
    TableModel sourceModel;

  private:
    void clearPoints();
    void computeBounds(float tMin, float tMax, bool centi);
    void resizePoints(std::int32_t n);
    // temperatureToEnergy with a point's own energy unrounded.
    double energyOfTemperature(float t) const;
    std::int32_t searchEnergies(double e) const;
};
