// Debug build: the calibration-image extractor (CaliImageExtractor), run on the thread
// that hands it the camera's calibration memory.

#ifdef KELVIX_DEBUG_BUILD

#include "imgproc/CaliImageExtractor.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iomanip>
#include <locale>
#include <sstream>
#include <string>

#include "imgproc/Cali.h"
#include "kelvix/IRCalibrationManager.h"
#include "platform/Strings.h"
#include "sdk/Log.h"

namespace {

constexpr short kPathCapacity = 260;

std::uint16_t u16At(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::int16_t i16At(const std::uint8_t* p) {
    return static_cast<std::int16_t>(u16At(p));
}

std::uint32_t u32At(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) |
           (std::uint32_t(p[3]) << 24);
}

struct RangeRecord {
    std::int16_t firstIndex;
    std::int16_t count;
    std::int16_t tMin;
    std::int16_t tMax;
};

RangeRecord rangeAt(const std::uint8_t* p) {
    return RangeRecord{i16At(p), i16At(p + 2), i16At(p + 8), i16At(p + 12)};
}

}  // namespace

CaliImageExtractor::CaliImageExtractor(std::int32_t serialNumber, const wchar_t* targetDirectory)
    : serialNumber_(serialNumber), targetDirectory_(targetDirectory) {}

std::size_t CaliImageExtractor::append(const std::uint8_t* bytes, std::size_t count) {
    if (bytes == nullptr) {
        return 0;
    }
    if (unitSize_ == 0) {
        unitSize_ = count;
    }
    image_.insert(image_.end(), bytes, bytes + count);
    return count;
}

int CaliImageExtractor::extract() {
    const std::uint8_t* data = image_.data();
    const std::size_t size = image_.size();
    if (size < kHeaderOffset + 12) {
        KLOG_ERROR("Calibration image too short: " << size << " bytes");
        return -1;
    }
    const std::uint8_t* header = data + kHeaderOffset;
    const std::uint16_t version = u16At(header);
    const std::uint16_t a = u16At(header + 2);
    const std::uint16_t b = u16At(header + 4);
    const std::uint16_t fourth = u16At(header + 6);
    if (version < 1000 || version > 1010 || b < 4 || b > 12 || fourth > 12) {
        return -1;
    }

    // Every read is checked before the first file is written: a short image writes nothing.
    const std::uint64_t n = std::uint64_t(a) + std::uint64_t(b) * unitSize_;
    const std::uint64_t stride = n + kBlockGap;
    const std::uint64_t directory = 3 * stride;
    if (directory + kDirectorySize + 4 > size) {
        KLOG_ERROR("Calibration image too short: " << size << " bytes, directory at " << directory);
        return -1;
    }
    const std::uint8_t* dchd = data + directory;
    const std::int16_t fov = i16At(dchd);
    const std::uint64_t xmlLength = u32At(dchd + kDirectorySize);
    const std::uint64_t xmlOffset = directory + kDirectorySize + 4;
    if (xmlLength > size - xmlOffset) {
        KLOG_ERROR("Calibration image too short for its XML of " << xmlLength << " bytes");
        return -1;
    }

    for (int r = 0; r < 3; ++r) {
        const RangeRecord range = rangeAt(dchd + 2 + 18 * r);
        if (range.tMin == range.tMax) {
            continue;
        }
        wchar_t stem[kPathCapacity] = {};
        if (!Cali::makeFileName(serialNumber_, fov, L"", range.tMin, range.tMax, 0, stem,
                                kPathCapacity)) {
            continue;
        }
        const std::uint64_t block = kHeaderOffset + r * stride;
        writeRaw(data + block, static_cast<std::size_t>(n), (std::wstring(L"Cali-") + stem).c_str(),
                 L".dat");

        // The table holds at most 16384 values; a larger count would read the next block.
        const int count = range.count < 0 ? 0 : std::min<int>(range.count, kMaxTableValues);
        std::vector<float> values(static_cast<std::size_t>(count));
        const std::uint8_t* table = data + block + n;
        for (int i = 0; i < count; ++i) {
            const std::uint32_t bits = u32At(table + 4 * i);
            std::memcpy(&values[i], &bits, 4);
        }
        writeTable(values.data(), count, (std::wstring(L"Kennlinie-") + stem).c_str(),
                   range.firstIndex);
    }

    const std::wstring xmlName = L"Cali-" + std::to_wstring(serialNumber_);
    writeRaw(data + xmlOffset, static_cast<std::size_t>(xmlLength), xmlName.c_str(), L".xml");
    return 0;
}

bool CaliImageExtractor::writeRaw(const std::uint8_t* bytes, std::size_t length,
                                  const wchar_t* name, const wchar_t* extension) const {
    wchar_t path[kPathCapacity] = {};
    if (!zol::IRCalibrationManager::getInstance()->createConfigFilepath(
            path, targetDirectory_, kPathCapacity, name, extension)) {
        return false;
    }
    std::FILE* f = std::fopen(platform::toNarrow(path).c_str(), "wb");
    if (f == nullptr) {
        return false;
    }
    const bool written = length == 0 || std::fwrite(bytes, 1, length, f) == length;
    return std::fclose(f) == 0 && written;
}

bool CaliImageExtractor::writeTable(const float* table, int count, const wchar_t* name,
                                    int firstIndex) const {
    wchar_t path[kPathCapacity] = {};
    if (!zol::IRCalibrationManager::getInstance()->createConfigFilepath(
            path, targetDirectory_, kPathCapacity, name, L".prn")) {
        return false;
    }
    std::FILE* f = std::fopen(platform::toNarrow(path).c_str(), "wb");
    if (f == nullptr) {
        return false;
    }
    // The file format has a decimal point whatever the program's locale.
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text << std::fixed << std::setprecision(8);
    for (int i = 0; i < count && table != nullptr; ++i) {
        text << "          " << firstIndex + i << "  " << std::setw(16)
             << static_cast<double>(table[i]) << "\r\n";
    }
    const std::string lines = text.str();
    const bool written = std::fwrite(lines.data(), 1, lines.size(), f) == lines.size();
    return std::fclose(f) == 0 && written;
}

#endif  // KELVIX_DEBUG_BUILD
