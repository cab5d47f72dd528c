// Writing raw recordings and their ".time" files, part by part. Not guarded: one thread per writer.
#include "kelvix/IRFileWriter.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iomanip>
#include <locale>
#include <memory>
#include <sstream>
#include <string>

#include "platform/CalendarTime.h"
#include "sdk/Log.h"
#include "sdk/RawdataHeader.h"

namespace zol {
namespace {

constexpr int kMaxNameLength = 255;
constexpr int kPartSuffixRoom = 11;  // "." and up to 10 digits

std::string partName(const char* base, int part) {
    std::string name = base;
    if (part != 1) {
        name += "." + std::to_string(static_cast<unsigned>(part));
    }
    return name;
}

}  // namespace

IRFileWriter::IRFileWriter(long long startTime, const char* directory, RawdataHeader given)
    : opened(false),
      rawStream(std::make_unique<std::ofstream>()),
      timeStream(std::make_unique<std::ofstream>()),
      startTime(startTime),
      rawBaseName{},
      timeBaseName{},
      header(given),
      partNumber(1),
      namesFit(false),
      timeCrLf(true) {
    const platform::LocalTime t = platform::localTimeOf(startTime);
    char date[16], time[16];
    std::snprintf(date, sizeof date, "%04d%02d%02d", t.year % 10000, t.month, t.day);
    std::snprintf(time, sizeof time, "%02d%02d%02d", t.hour, t.minute, t.second);
    header.headerSize = sizeof(RawdataHeader);
    std::memcpy(header.date, date, sizeof header.date);
    std::memcpy(header.time, time, sizeof header.time);

    const char* dir = directory ? directory : ".";
    const int rawLength = std::snprintf(rawBaseName, sizeof rawBaseName, "%s/ir_%u_%s_%s.raw", dir,
                                        given.serial, date, time);
    const int timeLength = std::snprintf(timeBaseName, sizeof timeBaseName, "%s/ir_%u_%s_%s.time",
                                         dir, given.serial, date, time);
    namesFit = rawLength >= 0 && timeLength >= 0 && rawLength + kPartSuffixRoom <= kMaxNameLength &&
               timeLength + kPartSuffixRoom <= kMaxNameLength;
}

IRFileWriter::IRFileWriter(const IRFileWriter& other)
    : opened(false),
      rawStream(std::make_unique<std::ofstream>()),
      timeStream(std::make_unique<std::ofstream>()) {
    copySettings(other);
}

IRFileWriter& IRFileWriter::operator=(const IRFileWriter& other) {
    if (this != &other) {
        opened = false;
        rawStream = std::make_unique<std::ofstream>();
        timeStream = std::make_unique<std::ofstream>();
        copySettings(other);
    }
    return *this;
}

void IRFileWriter::copySettings(const IRFileWriter& other) {
    startTime = other.startTime;
    std::memcpy(rawBaseName, other.rawBaseName, sizeof rawBaseName);
    std::memcpy(timeBaseName, other.timeBaseName, sizeof timeBaseName);
    header = other.header;
    partNumber = other.partNumber;
    namesFit = other.namesFit;
    timeCrLf = other.timeCrLf;
}

IRFileWriter::~IRFileWriter() {
    for (std::ofstream* s : {rawStream.get(), timeStream.get()}) {
        if (s->is_open()) {
            s->flush();
            s->close();
        }
    }
}

bool IRFileWriter::open() {
    if (opened) {
        return true;
    }
    if (!namesFit) {
        KLOG_ERROR("failed to open file: " << rawBaseName << " (name too long)");
        return false;
    }
    const std::string rawName = partName(rawBaseName, partNumber);
    const std::string timeName = partName(timeBaseName, partNumber);
    rawStream->open(rawName, std::ios::out | std::ios::binary | std::ios::trunc);
    if (!rawStream->is_open()) {
        KLOG_ERROR("failed to open file: " << rawBaseName);
        return false;
    }
    timeStream->open(timeName, std::ios::out | std::ios::trunc);
    timeCrLf = true;
    if (!timeStream->is_open()) {
        KLOG_ERROR("failed to open file: " << timeName);
    }
    rawStream->write(reinterpret_cast<const char*>(&header), sizeof header);
    KLOG_DEBUG("Writing record file header ... " << describeRawdataHeader(header));
    opened = true;
    return true;
}

bool IRFileWriter::isOpen() {
    return opened;
}

bool IRFileWriter::canDoWriteOperations() {
    return opened && rawStream->good() && timeStream->good();
}

long long IRFileWriter::getStartTime() {
    return startTime;
}

void IRFileWriter::write(double timestamp, unsigned char* data, unsigned partIndex, unsigned size,
                         char metadata[80]) {
    if (!opened) {
        return;
    }
    if (partIndex != static_cast<unsigned>(partNumber)) {
        partNumber = static_cast<int>(partIndex);
        splitFile();
    }
    if (!rawStream->good() || (data == nullptr && size != 0)) {
        return;
    }
    rawStream->write(reinterpret_cast<const char*>(data), size);
    if (metadata) {
        rawStream->write(metadata, kRawMetadataSize);
    } else {
        const char zeros[kRawMetadataSize] = {};
        rawStream->write(zeros, kRawMetadataSize);
    }
    if (!timeStream->good()) {
        return;
    }
    std::ostringstream line;
    line.imbue(std::locale::classic());
    line << std::fixed << std::setprecision(6) << std::setw(16) << timestamp;
    const std::string text = line.str();
    *timeStream << text << (timeCrLf ? "\r\n" : "\n");
    KLOG_DEBUG("Writing frame, timestamp: " << text);
}

void IRFileWriter::splitFile() {
    rawStream->close();
    const std::string rawName =
        std::string(rawBaseName) + "." + std::to_string(static_cast<unsigned>(partNumber));
    const std::string timeName =
        std::string(timeBaseName) + "." + std::to_string(static_cast<unsigned>(partNumber));
    KLOG_DEBUG("Splitting data, new file name: " << rawName << " and " << timeName);
    rawStream->open(rawName, std::ios::out | std::ios::binary | std::ios::trunc);
    if (rawStream->is_open()) {
        rawStream->write(reinterpret_cast<const char*>(&header), sizeof header);
    } else {
        KLOG_ERROR("failed to open file: " << rawName);
    }
    timeStream->close();
    timeStream->open(timeName, std::ios::out | std::ios::binary | std::ios::trunc);
    timeCrLf = false;
    if (!timeStream->is_open()) {
        KLOG_ERROR("failed to open file: " << timeName);
    }
}

}  // namespace zol
