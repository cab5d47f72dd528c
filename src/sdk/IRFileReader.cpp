// Playback of raw recordings: header checks, the warm-up to the first image, parts read one after
// the other. Frames run through the imager on the caller's thread.
#include "kelvix/IRFileReader.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iostream>
#include <utility>

#include "platform/Paths.h"
#include "platform/Strings.h"
#include "sdk/CallbackGuard.h"
#include "sdk/Log.h"
#include "sdk/RawdataHeader.h"

namespace zol {
namespace {

constexpr std::int64_t kTicksPerSecond = 10000000;
// Cameras close their flag at least every few minutes; a recording without an image for longer
// than this holds no flag cycle.
constexpr std::uint64_t kMaxWarmupSeconds = 600;

}  // namespace

IRFileReader::IRFileReader(std::string path, IRDeviceParams& params)
    : ready(false),
      input(new std::ifstream),
      path(std::move(path)),
      header{},
      partNumber(1),
      frameSize(0),
      imageSeen(false),
      thermalFrameCallback(nullptr),
      flagStateCallback(nullptr),
      guard(std::make_unique<CallbackGuard>()) {
    // Only a regular file: a FIFO or a device would block or never end.
    if (platform::fileExists(platform::toWide(this->path))) {
        input->open(this->path, std::ios::in | std::ios::binary);
    }
    if (!input->is_open()) {
        KLOG_ERROR("failed to open file: " << this->path);
        return;
    }
    RawdataHeader checked;
    std::uint32_t size = 0;
    if (!readHeader(this->path, checked, size) || !holdsOneFrame(checked, size)) {
        KLOG_ERROR("Initializing image stream playback failed");
        return;
    }
    frameSize = size;
    input->seekg(0, std::ios::end);
    const std::uint64_t fileBytes =
        static_cast<std::uint64_t>(std::max<std::streamoff>(input->tellg(), 0));
    input->seekg(sizeof(RawdataHeader));

    const unsigned rate = getFrequency();
    params.serial = header.serial;
    params.fov = header.optics;
    params.tMin = (static_cast<int>(header.tempMinRange) - 1000) / 10;
    params.tMax = (static_cast<int>(header.tempMaxRange) - 1000) / 10;
    params.framerate = static_cast<float>(rate);
    if (!imager.init(&params, rate, header.width, header.height, false, header.hwRev,
                     header.fwRev)) {
        KLOG_ERROR("Initializing image stream playback failed");
        return;
    }
    imager.setClient(this);
    frameBuffer.reset(new unsigned char[frameSize]);

    // Warm-up: run until the imager hands out its first image, so the flag correction holds
    // its reference and the first frame played shows a real image; then play starts over.
    // Bounded by what the file really holds (a hole reads as endless zero frames) and by how
    // long a camera runs without a flag cycle.
    const std::uint64_t record = std::uint64_t{frameSize} + kRawMetadataSize;
    const std::uint64_t dataBytes = platform::fileDataBytes(platform::toWide(this->path));
    const std::uint64_t maxFrames = std::uint64_t{rate} * kMaxWarmupSeconds;
    std::uint64_t frames = 0;
    char metadata[kRawMetadataSize];
    while (input->good() && !imageSeen) {
        // Past the data but not past the end: the next frame lies in a hole.
        const std::uint64_t frameEnd = sizeof(RawdataHeader) + (frames + 1) * record;
        const bool inHole = frameEnd > dataBytes && frameEnd <= fileBytes;
        if (frames == maxFrames || inHole) {
            KLOG_ERROR("playback of "
                       << this->path << " refused: no image in its first " << frames
                       << " frames, and "
                       << (inHole ? "the file holds no data beyond them"
                                  : "no camera runs that long without a flag cycle"));
            return;
        }
        if (!read(frameBuffer.get(), metadata)) {
            break;
        }
        ++frames;
        imager.process(frameBuffer.get(), nullptr);
    }
    if (imageSeen) {
        reset();
    }
    ready = imageSeen;
    if (!ready) {
        KLOG_WARNING("the shutter flag never opens in "
                     << this->path << " (no flag cycle recorded): nothing to play");
    }
}

IRFileReader::~IRFileReader() {
    if (input->is_open()) {
        input->close();
    }
}

bool IRFileReader::readHeader(const std::string& name, RawdataHeader& out,
                              std::uint32_t& outFrameSize) {
    unsigned char bytes[sizeof(RawdataHeader)] = {};
    input->read(reinterpret_cast<char*>(bytes), sizeof bytes);
    const std::size_t got = static_cast<std::size_t>(input->gcount());
    if (partNumber == 1) {
        // The getters report what the file says, even when it is refused below.
        std::memcpy(&header, bytes, sizeof header);
    }
    std::string error;
    if (!parseRawdataHeader(bytes, got, out, outFrameSize, error)) {
        KLOG_ERROR("invalid record file header in " << name << ": " << error);
        return false;
    }
    KLOG_DEBUG("Read record file header ... " << describeRawdataHeader(out));
    return true;
}

// The imager needs at least one frame per second, and the file at least one whole frame: a
// header cannot make the reader allocate more than the file holds.
bool IRFileReader::holdsOneFrame(const RawdataHeader& checked, std::uint32_t size) {
    if (checked.avgTimePerFrame > kTicksPerSecond) {
        KLOG_ERROR("invalid record file header in " << path << ": frame period "
                                                    << checked.avgTimePerFrame << " too long");
        return false;
    }
    const std::streamoff here = input->tellg();
    input->seekg(0, std::ios::end);
    const std::streamoff end = input->tellg();
    input->seekg(here);
    const std::streamoff needed = static_cast<std::streamoff>(size) + kRawMetadataSize;
    if (here < 0 || end < here || end - here < needed) {
        KLOG_ERROR("invalid record file header in "
                   << path << ": frames of " << size << " bytes, but the file holds only "
                   << (end > here ? end - here : 0) << " bytes after the header");
        return false;
    }
    return true;
}

bool IRFileReader::isReady() {
    return ready;
}

unsigned IRFileReader::getWidth() {
    return header.width;
}

unsigned IRFileReader::getHeight() {
    return header.height;
}

unsigned IRFileReader::getSerial() {
    return header.serial;
}

unsigned IRFileReader::getFrequency() {
    const std::int64_t period = header.avgTimePerFrame;
    return period > 0 ? static_cast<unsigned>(kTicksPerSecond / period) : 0;
}

unsigned IRFileReader::getRawBufferSize() {
    return frameSize;
}

void IRFileReader::setThermalFrameCallback(ThermalFrameCallback callback) {
    thermalFrameCallback = callback;
    guard->rearm();
}

void IRFileReader::setFlagStateCallback(FlagStateChangeCallback callback) {
    flagStateCallback = callback;
    guard->rearm();
}

void IRFileReader::setRadiationParameters(float emissivity, float transmissivity) {
    imager.setRadiationParameters(emissivity, transmissivity, -999.0f);
}

bool IRFileReader::read(unsigned char* frame, char metadata[80]) {
    if (!input->good()) {
        return false;
    }
    input->read(reinterpret_cast<char*>(frame), frameSize);
    input->read(metadata, kRawMetadataSize);
    return input->good();
}

void IRFileReader::reset() {
    if (!input->is_open()) {
        return;
    }
    input->clear();
    input->seekg(0);
    RawdataHeader skipped;
    input->read(reinterpret_cast<char*>(&skipped), sizeof skipped);
}

bool IRFileReader::openNextPart() {
    input->close();
    input->clear();
    ++partNumber;
    const std::string name = path + "." + std::to_string(partNumber);
    const std::wstring wideName = platform::toWide(name);
    if (platform::fileExists(wideName)) {
        input->open(name, std::ios::in | std::ios::binary);
    }
    std::cout << "next filename: " << name << " 0" << std::endl;
    if (!input->is_open()) {
        if (platform::pathExists(wideName)) {
            KLOG_ERROR("failed to open file: " << name);
        } else {
            KLOG_DEBUG("end of recording, no part " << name);
        }
        return false;
    }
    RawdataHeader partHeader;
    std::uint32_t partFrameSize = 0;
    if (!readHeader(name, partHeader, partFrameSize)) {
        input->close();
        return false;
    }
    if (partFrameSize != frameSize) {
        KLOG_ERROR("part " << name << " holds frames of " << partFrameSize << " bytes, not "
                           << frameSize);
        input->close();
        return false;
    }
    return true;
}

bool IRFileReader::nextFrame() {
    if (!frameBuffer) {
        return false;
    }
    char metadata[kRawMetadataSize];
    if (!read(frameBuffer.get(), metadata)) {
        if (!input->is_open() || !openNextPart() || !read(frameBuffer.get(), metadata)) {
            return false;
        }
    }
    imager.process(frameBuffer.get(), nullptr);
    return true;
}

void IRFileReader::onThermalFrame(unsigned short* data, unsigned int width, unsigned int height,
                                  IRFrameMetadata meta, void* arg) {
    imageSeen = true;
    if (ready && thermalFrameCallback) {
        (*guard)("thermal frame callback",
                 [&] { thermalFrameCallback(data, width, height, meta, arg); });
    }
}

void IRFileReader::onFlagStateChange(EnumFlagState state, void* arg) {
    if (flagStateCallback) {
        (*guard)("flag state callback", [&] { flagStateCallback(state, arg); });
    }
}

}  // namespace zol
