#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "imgproc/SharedParameterBlock.h"
#include "imgproc/TemperatureEncoding.h"
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
// energy -> encoded temperature LUT built from them.
class TemperatureTable {
  public:
    explicit TemperatureTable(const SharedParameterBlock* shared);
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
    double energyAtIndex(std::int32_t i) const;
    std::int32_t energyToRaw(double e) const;
    std::int32_t energyToIndex(double e) const;

    // Second radiation constant h*c/k in metre-kelvin, as the tables were made with.
    static constexpr double kPlanckC2 = 0.014404347826086955;
    static double planckTerm(double lambdaMetres, double tCelsius);
    double fitWavelength() const;

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
    const SharedParameterBlock* shared;

  private:
    void clearPoints();
    void computeBounds(float tMin, float tMax, bool centi);
    void resizePoints(std::int32_t n);
    std::int32_t searchEnergies(double e) const;
};
