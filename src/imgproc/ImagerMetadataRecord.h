// The 128-byte radiometric record (ImagerMetadataRecord) that ImageProcessing keeps and
// getMetaData hands to applications; written and read between frames.

#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

struct SharedParameterBlock;

#pragma pack(push, 1)
// The radiometric state of one camera as handed to applications: 128 bytes (version 1012)
// followed by 2-byte process-interface entries.
struct ImagerMetadataRecord {
    std::uint16_t recordSize;
    std::uint16_t version;
    std::uint32_t serial;
    std::uint8_t reserved8[8];
    std::int16_t tempFlag100;
    std::int16_t tempChip100;
    std::int16_t tempBox100;
    std::uint16_t zero22;
    std::int16_t tempOptics100;
    std::uint16_t decimal;
    std::uint16_t emissivity;
    std::uint16_t ambientRaw;
    std::uint16_t fov;
    std::uint16_t tMinRaw;
    std::uint16_t tMaxRaw;
    std::uint8_t opticIndex;
    std::uint8_t rangeIndex;
    std::uint16_t secondAmbientRaw;
    std::uint8_t reserved42[6];
    std::int64_t time;
    std::uint16_t refTemp1Raw;
    std::uint16_t refTemp2Raw;
    std::uint16_t refValue1;
    std::uint16_t refValue2;
    std::uint32_t wavelength1;
    std::uint16_t transmissivity;
    std::uint8_t reserved70[2];
    std::uint32_t hwFrameCounter;
    std::uint8_t flagState;
    std::uint8_t tableMode;
    std::uint8_t reserved78[12];
    std::uint16_t reserved90;
    std::uint16_t reserved92;
    std::uint16_t refTemp3Raw;
    std::uint16_t refValue3;
    std::uint8_t reserved98[2];
    std::uint32_t wavelength2;
    std::uint16_t frameRate;
    std::uint16_t tMinExtRaw;
    std::uint16_t tMaxExtRaw;
    std::uint8_t reserved110[6];
    std::uint32_t digitalInputBits;
    std::uint16_t companion;
    std::uint16_t entryCount;

    static constexpr std::size_t kFixedSize = 128;
    // The process-interface entries start inside the 128 bytes handed to applications, so
    // the first two of them travel with the record.
    static constexpr std::size_t kEntriesOffset = 124;
    static constexpr std::uint16_t kVersion = 1012;

    // Process-interface entry `i`, read or written unchecked (the record must hold it): any
    // thread, on a record the caller guards.
    std::uint16_t entry(unsigned i) const {
        std::uint16_t v;
        std::memcpy(&v, reinterpret_cast<const std::uint8_t*>(this) + kEntriesOffset + 2u * i, 2);
        return v;
    }
    void setEntry(unsigned i, std::uint16_t v) {
        std::memcpy(reinterpret_cast<std::uint8_t*>(this) + kEntriesOffset + 2u * i, &v, 2);
    }
};
#pragma pack(pop)

static_assert(sizeof(ImagerMetadataRecord) == ImagerMetadataRecord::kEntriesOffset,
              "imager metadata layout (entries follow)");
static_assert(offsetof(ImagerMetadataRecord, serial) == 4, "imager metadata layout");
static_assert(offsetof(ImagerMetadataRecord, tempFlag100) == 16, "imager metadata layout");
static_assert(offsetof(ImagerMetadataRecord, tempOptics100) == 24, "imager metadata layout");
static_assert(offsetof(ImagerMetadataRecord, emissivity) == 28, "imager metadata layout");
static_assert(offsetof(ImagerMetadataRecord, opticIndex) == 38, "imager metadata layout");
static_assert(offsetof(ImagerMetadataRecord, secondAmbientRaw) == 40, "imager metadata layout");
static_assert(offsetof(ImagerMetadataRecord, time) == 48, "imager metadata layout");
static_assert(offsetof(ImagerMetadataRecord, wavelength1) == 64, "imager metadata layout");
static_assert(offsetof(ImagerMetadataRecord, transmissivity) == 68, "imager metadata layout");
static_assert(offsetof(ImagerMetadataRecord, hwFrameCounter) == 72, "imager metadata layout");
static_assert(offsetof(ImagerMetadataRecord, flagState) == 76, "imager metadata layout");
static_assert(offsetof(ImagerMetadataRecord, tableMode) == 77, "imager metadata layout");
static_assert(offsetof(ImagerMetadataRecord, refTemp3Raw) == 94, "imager metadata layout");
static_assert(offsetof(ImagerMetadataRecord, wavelength2) == 100, "imager metadata layout");
static_assert(offsetof(ImagerMetadataRecord, frameRate) == 104, "imager metadata layout");
static_assert(offsetof(ImagerMetadataRecord, tMaxExtRaw) == 108, "imager metadata layout");
static_assert(offsetof(ImagerMetadataRecord, digitalInputBits) == 116, "imager metadata layout");
static_assert(offsetof(ImagerMetadataRecord, companion) == 120, "imager metadata layout");
static_assert(offsetof(ImagerMetadataRecord, entryCount) == 122, "imager metadata layout");

// The table-model values the record shows.
struct ImagerMetadataModel {
    double t1 = 0.0;
    double t3 = 0.0;
    std::int16_t e1 = 0;
    std::int16_t e3 = 0;
    double lambda = 0.0;
    double lambda2 = 0.0;
    double thirdTemp = 0.0;
    std::uint16_t thirdValue = 0;
    bool modelTable = false;
};

// Each function here touches only what it is given: any thread, on a record the caller guards
// (ImageProcessing: at init and between frames).
namespace imager_metadata {

// Temperature in the standard raw encoding (T * 10 + 1000.5, truncated).
std::uint16_t toRaw(double celsius);

// Allocates a zeroed record of 128 + 2 * count bytes.
ImagerMetadataRecord* allocate(std::uint16_t count);
// Frees what allocate or initParameters returned.
void release(ImagerMetadataRecord* record);
struct Deleter {
    void operator()(ImagerMetadataRecord* record) const { release(record); }
};

// Keeps `record` when it already has `count` entries (refreshing the companion value);
// otherwise returns a new record with the old first 128 bytes and zeroed entries, freeing the
// old one. Callers replace their pointer with the result.
ImagerMetadataRecord* initParameters(ImagerMetadataRecord* record, std::uint16_t count,
                                     std::uint16_t companion);

// Reference points, wavelengths, range, frame rate and mode from a table model.
void fillFromModel(ImagerMetadataRecord* record, const ImagerMetadataModel& model,
                   const SharedParameterBlock& shared);

}  // namespace imager_metadata
