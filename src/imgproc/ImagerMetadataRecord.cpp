// Allocation and filling of the radiometric record (ImagerMetadataRecord) for
// ImageProcessing, between frames.

#include "imgproc/ImagerMetadataRecord.h"

#include "imgproc/SharedParameterBlock.h"
#include "imgproc/TemperatureEncoding.h"

namespace imager_metadata {

std::uint16_t toRaw(double celsius) {
    return static_cast<std::uint16_t>(encodeTemperature(static_cast<float>(celsius), false));
}

namespace {

// Micrometres as the record's u32 field; a wavelength of a hostile calibration description
// saturates instead of being undefined.
std::uint32_t wavelengthField(double micrometres) {
    const double v = micrometres * 1000000.0;
    if (!(v > 0.0)) {
        return 0;
    }
    return v >= 4294967295.0 ? UINT32_MAX : static_cast<std::uint32_t>(v);
}

}  // namespace

ImagerMetadataRecord* allocate(std::uint16_t count) {
    const std::size_t size = ImagerMetadataRecord::kFixedSize + 2u * count;
    auto* r = reinterpret_cast<ImagerMetadataRecord*>(new std::uint8_t[size]());
    r->entryCount = count;
    return r;
}

void release(ImagerMetadataRecord* record) {
    delete[] reinterpret_cast<std::uint8_t*>(record);
}

ImagerMetadataRecord* initParameters(ImagerMetadataRecord* record, std::uint16_t count,
                                     std::uint16_t companion) {
    if (record != nullptr && record->entryCount == count) {
        record->companion = companion;
        return record;
    }
    ImagerMetadataRecord* fresh = allocate(count);
    if (record != nullptr) {
        // The fixed fields survive; the entries (the last of them inside the 128 bytes) start at 0.
        std::memcpy(fresh, record, ImagerMetadataRecord::kEntriesOffset);
        release(record);
    }
    fresh->entryCount = count;
    fresh->companion = companion;
    return fresh;
}

void fillFromModel(ImagerMetadataRecord* r, const ImagerMetadataModel& m,
                   const SharedParameterBlock& shared) {
    if (r == nullptr) {
        return;
    }
    r->refTemp1Raw = toRaw(m.t1);
    r->refTemp2Raw = toRaw(m.t3);
    r->refValue1 = static_cast<std::uint16_t>(m.e1);
    r->refValue2 = static_cast<std::uint16_t>(m.e3);
    r->wavelength1 = wavelengthField(m.lambda);
    r->wavelength2 = wavelengthField(m.lambda2);
    r->refTemp3Raw = toRaw(m.thirdTemp);
    r->refValue3 = m.thirdValue;
    r->tMinRaw = toRaw(shared.tMin);
    r->tMaxRaw = toRaw(shared.tMax);
    r->tMinExtRaw = toRaw(shared.tMinExt);
    r->tMaxExtRaw = toRaw(shared.tMaxExt);
    r->decimal = static_cast<std::uint16_t>(shared.decimal);
    r->fov = static_cast<std::uint16_t>(shared.fov);
    r->frameRate = static_cast<std::uint16_t>(shared.frameRate);
    r->tableMode =
        static_cast<std::uint8_t>((m.modelTable ? 1 : 0) | (shared.revision2100 ? 2 : 0));
}

}  // namespace imager_metadata
