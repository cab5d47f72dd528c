#include "imgproc/FormatDefinitions.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <sstream>

#include "kelvix/IRCalibrationManager.h"
#include "platform/Paths.h"
#include "platform/Strings.h"
#include "sdk/Log.h"

// The reader belongs to the source operator and logs under its name.
#define FORMAT_LOG(level, expr) KELVIX_LOG_AS(level, "OpSource", expr)

namespace {

constexpr std::size_t kMaxLineLength = 4095;

// One line without its LF (and a CR before it); tooLong when it holds more than
// kMaxLineLength characters, which are then not all kept. False at the end of the stream.
bool readLine(std::istream& in, std::string& line, bool& tooLong) {
    line.clear();
    tooLong = false;
    std::streambuf* buffer = in.rdbuf();
    for (;;) {
        const int c = buffer->sbumpc();
        if (c == std::char_traits<char>::eof()) {
            in.setstate(std::ios::eofbit);
            return !line.empty() || tooLong;
        }
        if (c == '\n') {
            break;
        }
        if (line.size() > kMaxLineLength) {
            tooLong = true;
            return true;
        }
        line.push_back(static_cast<char>(c));
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    tooLong = line.size() > kMaxLineLength;
    return true;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

const char* skipBlanks(const char* p) {
    while (isBlank(*p)) {
        ++p;
    }
    return p;
}

bool contains(const std::string& line, const char* key) {
    return line.find(key) != std::string::npos;
}

// The value of a key line: after the key's length from the line start, blanks, an optional
// '=' and blanks.
const char* valueOf(const std::string& line, const char* key) {
    std::size_t keyLength = std::strlen(key);
    if (line.size() < keyLength) {
        return line.c_str() + line.size();
    }
    const char* p = skipBlanks(line.c_str() + keyLength);
    if (*p == '=') {
        p = skipBlanks(p + 1);
    }
    return p;
}

// An unsigned decimal number that fits an i32; p moves past its digits.
bool readNumber(const char*& p, std::int32_t& value) {
    const char* q = skipBlanks(p);
    if (*q < '0' || *q > '9') {
        return false;
    }
    std::int64_t v = 0;
    while (*q >= '0' && *q <= '9') {
        v = v * 10 + (*q - '0');
        if (v > std::numeric_limits<std::int32_t>::max()) {
            return false;
        }
        ++q;
    }
    value = static_cast<std::int32_t>(v);
    p = q;
    return true;
}

bool readNumbers(const char* p, std::int32_t* values, int count) {
    for (int i = 0; i < count; ++i) {
        if (!readNumber(p, values[i])) {
            return false;
        }
    }
    return true;
}

// "(" lo ".." hi ")"; a group without ".." stands for the single value lo.
bool readRange(const char*& p, std::int32_t& lo, std::int32_t& hi) {
    const char* q = skipBlanks(p);
    if (*q != '(') {
        return false;
    }
    const char* close = std::strchr(q + 1, ')');
    if (close == nullptr || close == q + 1) {
        return false;
    }
    ++q;
    if (!readNumber(q, lo)) {
        return false;
    }
    q = skipBlanks(q);
    hi = lo;
    if (q[0] == '.' && q[1] == '.') {
        q += 2;
        if (!readNumber(q, hi)) {
            return false;
        }
        q = skipBlanks(q);
    }
    if (*q != ')') {
        return false;
    }
    p = q + 1;
    return true;
}

bool revisionInRanges(const char* p, int revision) {
    std::int32_t lo = 0;
    std::int32_t hi = 0;
    while (readRange(p, lo, hi)) {
        if (lo <= revision && revision <= hi) {
            return true;
        }
    }
    return false;
}

int segmentKind(char letter) {
    switch (letter) {
        case 's':
            return kSegmentSkip;
        case 'd':
            return kSegmentData;
        case 'm':
            return kSegmentMeta;
        default:
            return -1;
    }
}

// "(" start repeat kind:count ... ")".
bool readRun(const char*& p, SegmentRun& run) {
    const char* open = skipBlanks(p);
    if (*open != '(') {
        return false;
    }
    const char* close = std::strchr(open + 1, ')');
    if (close == nullptr || close == open + 1) {
        return false;
    }
    int segments = 0;
    for (const char* c = open + 1; c < close; ++c) {
        if (*c != ':') {
            continue;
        }
        // Every ':' needs its kind letter, and the first one room for start and repeat.
        if (c < open + 3 || segmentKind(c[-1]) < 0) {
            return false;
        }
        ++segments;
    }
    if (segments == 0) {
        return false;
    }
    const char* q = open + 1;
    if (!readNumber(q, run.start) || !readNumber(q, run.repeat)) {
        return false;
    }
    run.segments.clear();
    run.segments.reserve(static_cast<std::size_t>(segments));
    for (int i = 0; i < segments; ++i) {
        const char* colon = static_cast<const char*>(std::memchr(q, ':', close - q));
        if (colon == nullptr || colon - 1 < q) {
            return false;
        }
        Segment segment;
        segment.kind = segmentKind(colon[-1]);
        q = colon + 1;
        if (!readNumber(q, segment.count)) {
            return false;
        }
        run.segments.push_back(segment);
    }
    if (skipBlanks(q) != close) {
        return false;
    }
    p = close + 1;
    return true;
}

// Sum over the runs of repeat x (the counts of the segments of one kind), in 64 bits; false
// when it exceeds the raw frame's word count.
bool wordSum(const std::vector<SegmentRun>& runs, std::int32_t kind, std::int64_t rawWords,
             std::int64_t& sum) {
    sum = 0;
    for (const SegmentRun& run : runs) {
        std::int64_t perRepeat = 0;
        for (const Segment& segment : run.segments) {
            if (segment.kind == kind) {
                perRepeat += segment.count;
            }
        }
        // Both factors are at most rawWords here, so the product cannot overflow.
        if (perRepeat > rawWords || (sum += perRepeat * run.repeat) > rawWords) {
            return false;
        }
    }
    return true;
}

// Why the runs of one "Def" line cannot describe a sub-frame of a raw frame of rawWords
// words (null when they can): a run repeated more often than the frame has words, or more
// pixel or header words than it holds.
const char* layoutOutOfBounds(const std::vector<SegmentRun>& runs, std::int64_t rawWords,
                              std::int32_t& headerWords) {
    for (const SegmentRun& run : runs) {
        if (run.repeat > rawWords) {
            return "a segment run repeats more often than the raw frame has words";
        }
    }
    std::int64_t data = 0;
    std::int64_t meta = 0;
    if (!wordSum(runs, kSegmentData, rawWords, data)) {
        return "more pixel words than the raw frame holds";
    }
    if (!wordSum(runs, kSegmentMeta, rawWords, meta)) {
        return "more header words than the raw frame holds";
    }
    headerWords = static_cast<std::int32_t>(meta);
    return nullptr;
}

bool parseGuid(const char* p, GUID& guid) {
    unsigned int f[11] = {};
    int n = std::sscanf(p, "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &f[0], &f[1], &f[2], &f[3],
                        &f[4], &f[5], &f[6], &f[7], &f[8], &f[9], &f[10]);
    if (n != 11) {
        guid = GUID{};
        return false;
    }
    guid.Data1 = f[0];
    guid.Data2 = static_cast<std::uint16_t>(f[1]);
    guid.Data3 = static_cast<std::uint16_t>(f[2]);
    for (int i = 0; i < 8; ++i) {
        guid.Data4[i] = static_cast<std::uint8_t>(f[3 + i]);
    }
    return true;
}

HRESULT malformed(FormatDefinition& out) {
    out.name.clear();
    out.hasDeviceRes = false;
    return E_INVALIDARG;
}

}  // namespace

HRESULT readFormatDefinitionStream(FormatDefinition& out, std::istream& in,
                                   const FormatRequest& request, int channel,
                                   const FormatCamera& camera, const std::string& fileName) {
    out = FormatDefinition{};
    // A block whose sizes no raw frame can hold is refused as malformed, with the reason.
    auto refuse = [&](const std::string& why) {
        FORMAT_LOG(zol::Logger::Error,
                   fileName << ": block \"" << out.name << "\" refused: " << why);
        return malformed(out);
    };
    bool headerSeen = false;
    bool versionSeen = false;
    bool complete = false;
    int state = 0;
    int outLines = 0;
    std::string line;

    bool tooLong = false;
    while (readLine(in, line, tooLong)) {
        if (tooLong) {
            return malformed(out);
        }
        if (line.empty() || line[0] == '#') {
            continue;
        }
        if (!headerSeen) {
            headerSeen = contains(line, "[ImgProc format definition file]");
            continue;
        }
        if (contains(line, "Version")) {
            versionSeen = true;
            continue;
        }
        if (!versionSeen) {
            continue;
        }
        if (contains(line, "[Format end]")) {
            if (complete) {
                return S_OK;
            }
            state = 0;
            continue;
        }

        // States 3 and 4 hand a line that is not theirs on to the next state.
        switch (state) {
            case 0:
                if (contains(line, "[Format]")) {
                    out.name.clear();
                    out.hasDeviceRes = false;
                    out.subFrames.clear();
                    out.subFrameCount = 0;
                    complete = false;
                    state = 1;
                }
                break;
            case 1:
                if (contains(line, "Guid")) {
                    parseGuid(valueOf(line, "Guid"), out.guid);
                    state = 2;
                }
                break;
            case 2:
                if (contains(line, "Name")) {
                    out.name = valueOf(line, "Name");
                    state = 3;
                }
                break;
            case 3:
            case 4:
            case 5:
                if (state == 3) {
                    if (contains(line, "HWRev")) {
                        state = revisionInRanges(valueOf(line, "HWRev"), camera.hardwareRevision)
                                    ? 4
                                    : 0;
                        break;
                    }
                    state = 4;
                }
                if (state == 4) {
                    if (contains(line, "FWRev")) {
                        state = revisionInRanges(valueOf(line, "FWRev"), camera.firmwareRevision)
                                    ? 5
                                    : 0;
                        break;
                    }
                    state = 5;
                }
                if (contains(line, "Channels")) {
                    std::int32_t channels = 0;
                    const char* p = valueOf(line, "Channels");
                    if (readNumber(p, channels) && channels != 0) {
                        outLines = 0;
                        state = 6;
                    } else {
                        state = 100;
                    }
                }
                break;
            case 6:
                if (contains(line, "In")) {
                    std::int32_t v[3];
                    if (!readNumbers(valueOf(line, "In"), v, 3)) {
                        state = 100;
                    } else if (v[0] == request.width && v[1] == request.height &&
                               v[2] == std::trunc(request.frequency)) {
                        out.inWidth = v[0];
                        out.inHeight = v[1];
                        out.inFrequency = v[2];
                        state = 7;
                    } else {
                        state = 0;
                    }
                }
                break;
            case 7:
                if (contains(line, "Out")) {
                    if (outLines == channel) {
                        std::int32_t v[3];
                        if (!readNumbers(valueOf(line, "Out"), v, 3)) {
                            state = 100;
                        } else {
                            out.outWidth = v[0];
                            out.outHeight = v[1];
                            out.outFrequency = v[2];
                            state = 8;
                        }
                    }
                    ++outLines;
                }
                break;
            case 8:
                if (contains(line, "SFrames")) {
                    std::int32_t count = 0;
                    const char* p = valueOf(line, "SFrames");
                    if (!readNumber(p, count) || count < 1) {
                        state = 100;
                    } else {
                        out.subFrameCount = count;
                        out.subFrames.clear();
                        state = 9;
                    }
                }
                break;
            case 9:
                if (contains(line, "Def")) {
                    const char* p = valueOf(line, "Def");
                    int groups = 0;
                    for (const char* c = p; *c != '\0'; ++c) {
                        groups += *c == '(' ? 1 : 0;
                    }
                    if (groups == 0) {
                        state = 100;
                        break;
                    }
                    SubFrameLayout layout;
                    layout.runs.resize(static_cast<std::size_t>(groups));
                    bool ok = true;
                    for (SegmentRun& run : layout.runs) {
                        if (!readRun(p, run)) {
                            ok = false;
                            break;
                        }
                    }
                    if (!ok) {
                        state = 100;
                        break;
                    }
                    const std::int64_t rawWords = std::int64_t{out.inWidth} * out.inHeight;
                    if (const char* why =
                            layoutOutOfBounds(layout.runs, rawWords, layout.headerWordCount)) {
                        return refuse(std::string("Def line ") +
                                      std::to_string(out.subFrames.size() + 1) + ": " + why);
                    }
                    layout.headerWords.assign(static_cast<std::size_t>(layout.headerWordCount), 0);
                    out.subFrames.push_back(std::move(layout));
                    if (static_cast<std::int32_t>(out.subFrames.size()) == out.subFrameCount) {
                        FORMAT_LOG(zol::Logger::Debug, "Format found with size: "
                                                           << out.subFrames.back().headerWordCount);
                        complete = true;
                        state = 10;
                    }
                }
                break;
            case 10:
                if (contains(line, "DeviceRes")) {
                    std::int32_t v[3];
                    if (readNumbers(valueOf(line, "DeviceRes"), v, 3) && out.outWidth <= v[0] &&
                        out.outHeight <= v[1]) {
                        out.hasDeviceRes = true;
                        out.deviceResWidth = v[0];
                        out.deviceResHeight = v[1];
                        out.deviceResValue = v[2];
                        out.deviceResOffsetX = (v[0] - out.outWidth) >> 1;
                        out.deviceResOffsetY = (v[1] - out.outHeight) >> 1;
                    }
                }
                state = 11;
                break;
            case 11:
                return S_OK;
            default:  // 100: a malformed value
                return malformed(out);
        }
    }
    return malformed(out);
}

HRESULT readFormatDefinition(FormatDefinition& out, const FormatRequest& request, int channel,
                             const FormatCamera& camera) {
    out = FormatDefinition{};
    wchar_t path[zol::IRCalibrationManager::kDirCapacity];
    const wchar_t* dir = camera.formatsDir != nullptr ? camera.formatsDir : L"";
    if (!zol::IRCalibrationManager::getInstance()->createConfigFilepath(
            path, dir, zol::IRCalibrationManager::kDirCapacity, L"Formats", L".def")) {
        return E_FAIL;
    }
    std::string narrowPath = platform::toNarrowBounded(path, 1023);
    FORMAT_LOG(zol::Logger::Debug, "Using formats path: " << narrowPath);
    std::string text;
    const platform::FileReadResult read = platform::readRegularFile(path, text);
    if (const char* reason = platform::refusalReason(read)) {
        FORMAT_LOG(zol::Logger::Error, "Formats.def file " << narrowPath << " refused: " << reason);
        return E_FAIL;
    }
    if (read != platform::FileReadResult::Read) {
        FORMAT_LOG(zol::Logger::Error, "Formats.def file not found at path: " << narrowPath);
        return E_FAIL;
    }
    std::istringstream in(text);
    return readFormatDefinitionStream(out, in, request, channel, camera, narrowPath);
}
