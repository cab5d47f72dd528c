// Fuzz target: the temperature-table file reader, then the reference fit and the radiation LUT
// on whatever it accepted.
#include <cstddef>
#include <cstdint>

#include "imgproc/TemperatureTable.h"
#include "support/FuzzFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::wstring path = kelvix_fuzz::writeInputFile(data, size, "Kennlinie-fuzz.prn");
    SharedParameterBlock shared;
    shared.tMin = shared.tMinExt = -20.0f;
    shared.tMax = shared.tMaxExt = 100.0f;
    shared.revision2100 = size > 0 && (data[0] & 1);
    TemperatureTable table(&shared);
    if (table.loadFile(path, false) != S_OK) {
        if (table.pointCount != 0) {
            __builtin_trap();
        }
        return 0;
    }
    // Every point has its three values and the table starts at energy 0 or below.
    if (table.pointCount < 8 ||
        table.energies.size() != static_cast<std::size_t>(table.pointCount) ||
        table.temperatures.size() != table.energies.size() ||
        table.rawTemperatures.size() != table.energies.size() || table.energies[0] > 0.0) {
        __builtin_trap();
    }
    float start = 0.0f;
    table.findRisingStart(start);
    TableModel model;
    table.fitReferencePoints(model);
    RadiationRecord radiation;
    table.applyRadiation(radiation, 0.9f, false);
    if (table.lut.size() != static_cast<std::size_t>(lut::kSize)) {
        __builtin_trap();
    }
    return 0;
}
