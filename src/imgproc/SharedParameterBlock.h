// The parameter block one chain shares with all its operators, and the process-interface
// configuration record. ImageProcessing writes it; the operators read it on their threads.

#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

class BaseControlDevice;

#pragma pack(push, 1)
// One process-interface channel of the configuration record (40 bytes, little-endian).
struct PifConfigEntry {
    std::int32_t mode;
    std::int32_t outputMode;
    double value1;
    double value2;
    std::uint16_t output1;
    std::uint16_t output2;
    std::uint8_t reserved28[4];
    std::uint8_t enable;
    std::uint8_t reserved33;
    std::uint16_t areaWord;
    std::uint16_t alarmLevel1;
    std::uint16_t alarmLevel2;
};

// Process-interface configuration: a 64-byte header followed by `size - 64` bytes of entries in
// the order digital inputs, analog inputs, analog outputs, digital outputs.
struct PifConfigRecord {
    std::uint16_t size;
    std::uint16_t reserved2;
    std::uint16_t analogInputCount;
    std::uint16_t digitalInputCount;
    std::uint16_t analogOutputCount;
    std::uint16_t digitalOutputCount;
    std::uint16_t aiFlagThreshold;
    std::uint8_t aiOpenIfLower;
    std::uint8_t diLowActive;
    std::uint16_t aoLevelFlagOpen;
    std::uint16_t aoLevelFlagClosed;
    std::uint16_t aoLevelFlagMoving;
    std::uint16_t aoLevelFrameSync;
    std::uint8_t reserved24[40];

    static constexpr std::size_t kHeaderSize = 64;
    static constexpr std::size_t kEntrySize = 40;

    // Entries the record's size actually holds (never more than its counts claim).
    std::size_t entryCount() const {
        std::size_t held = size > kHeaderSize ? (size - kHeaderSize) / kEntrySize : 0;
        std::size_t claimed = std::size_t(digitalInputCount) + analogInputCount +
                              analogOutputCount + digitalOutputCount;
        return held < claimed ? held : claimed;
    }
    // Entry `i` in record order; null when the record does not hold it.
    const PifConfigEntry* entry(std::size_t i) const {
        if (i >= entryCount()) {
            return nullptr;
        }
        return reinterpret_cast<const PifConfigEntry*>(reinterpret_cast<const std::uint8_t*>(this) +
                                                       kHeaderSize + i * kEntrySize);
    }
};
#pragma pack(pop)

static_assert(sizeof(PifConfigEntry) == 40, "PIF entry layout");
static_assert(offsetof(PifConfigEntry, value1) == 8, "PIF entry layout");
static_assert(offsetof(PifConfigEntry, output1) == 24, "PIF entry layout");
static_assert(offsetof(PifConfigEntry, enable) == 32, "PIF entry layout");
static_assert(offsetof(PifConfigEntry, areaWord) == 34, "PIF entry layout");
static_assert(offsetof(PifConfigEntry, alarmLevel2) == 38, "PIF entry layout");
static_assert(sizeof(PifConfigRecord) == 64, "PIF header layout");
static_assert(offsetof(PifConfigRecord, analogInputCount) == 4, "PIF header layout");
static_assert(offsetof(PifConfigRecord, aiFlagThreshold) == 12, "PIF header layout");
static_assert(offsetof(PifConfigRecord, aiOpenIfLower) == 14, "PIF header layout");
static_assert(offsetof(PifConfigRecord, diLowActive) == 15, "PIF header layout");
static_assert(offsetof(PifConfigRecord, aoLevelFlagOpen) == 16, "PIF header layout");
static_assert(offsetof(PifConfigRecord, aoLevelFrameSync) == 22, "PIF header layout");

// The parameter block one processing chain shares with all its operators. Each field has one
// writer; the fields that the post-processing worker reads while the capture thread writes them
// are atomics.
struct SharedParameterBlock {
    std::uint16_t hardwareRevision = 0;
    std::uint16_t firmwareRevision = 0;
    std::uint32_t serial = 0;
    std::int32_t fov = 0;
    std::uint32_t reserved = 0;
    std::wstring opticsText;
    float tMin = 0.0f;
    float tMax = 0.0f;
    float risingStartTemp = 0.0f;
    float tMinExt = 0.0f;
    float tMaxExt = 0.0f;
    float energyAtTMin = 0.0f;
    float energyAtTMax = 0.0f;
    float chipTempDeviation = 0.0f;
    float flagTempDeviation = 0.0f;
    std::int16_t frameRate = 0;
    std::uint16_t temperatureUnit = 0;
    std::int16_t decimal = 0;
    std::uint8_t highResolution = 0;
    std::uint8_t extendedRange = 0;
    const wchar_t* calibrationDirectory = nullptr;
    const wchar_t* tableDirectory = nullptr;
    const wchar_t* formatsDirectory = nullptr;

    std::atomic<std::uint32_t> flagState{0};
    std::atomic<std::uint8_t> pifSnapshotRequest{0};  // the flag-trigger flag
    std::atomic<std::uint8_t> appSnapshotRequest{0};
    std::atomic<std::uint8_t> thirdSnapshotRequest{0};
    std::atomic<std::uint8_t> secondTrigger{0};
    std::atomic<std::uint8_t> inputLevel{0};

    BaseControlDevice* device = nullptr;  // not owned
    std::uint8_t visibleFormatAvailable = 0;
    std::uint8_t revision2100 = 0;
    std::uint8_t samplePoints = 0;
    std::uint8_t lacksShortCaps = 0;

    bool hasDeviceRes = false;
    std::int32_t deviceResWidth = 0;
    std::int32_t deviceResHeight = 0;
    std::int32_t deviceResValue = 0;
    std::int32_t deviceResOffsetX = 0;
    std::int32_t deviceResOffsetY = 0;

    const PifConfigRecord* pifConfig = nullptr;  // the chain's kept copy
    std::int16_t pendingSkimDelta = 0;
    std::uint32_t flagsSinceSkimChange = 0;
    std::uint16_t calibratedSkim = 0;
    std::uint16_t adjustedSkim = 0;
    void* sampleList = nullptr;    // pairs (i16 sample, i16 level)
    std::int32_t sampleCount = 0;  // pairs in sampleList
    // Asks the temperature table for the sample points of its curve (debug build); set by
    // nothing in the library.
    std::uint8_t samplePointRequest = 0;

    // Back to the values of construction (the atomics make the block non-copyable).
    void clear() {
        hardwareRevision = firmwareRevision = 0;
        serial = 0;
        fov = 0;
        reserved = 0;
        opticsText.clear();
        tMin = tMax = risingStartTemp = tMinExt = tMaxExt = 0.0f;
        energyAtTMin = energyAtTMax = chipTempDeviation = flagTempDeviation = 0.0f;
        frameRate = 0;
        temperatureUnit = 0;
        decimal = 0;
        highResolution = extendedRange = 0;
        calibrationDirectory = tableDirectory = formatsDirectory = nullptr;
        flagState = 0;
        pifSnapshotRequest = appSnapshotRequest = thirdSnapshotRequest = 0;
        secondTrigger = inputLevel = 0;
        device = nullptr;
        visibleFormatAvailable = revision2100 = samplePoints = lacksShortCaps = 0;
        hasDeviceRes = false;
        deviceResWidth = deviceResHeight = deviceResValue = 0;
        deviceResOffsetX = deviceResOffsetY = 0;
        pifConfig = nullptr;
        pendingSkimDelta = 0;
        flagsSinceSkimChange = 0;
        calibratedSkim = adjustedSkim = 0;
        sampleList = nullptr;
        sampleCount = 0;
        samplePointRequest = 0;
    }
};
