// Reading "Formats.def" line by line into a FormatDefinition, for the source operator
// while the chain is built (the imager's thread).

#include "imgproc/FormatDefinitions.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
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
                              std::int32_t& headerWords, std::int64_t& usedWords) {
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
    usedWords = data + meta;
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

// Reads one "Formats.def" stream block by block. Inside a block each state awaits one key line;
// the optional "HWRev" and "FWRev" lines hand any other line on to the key after them.
class FormatReader {
  public:
    FormatReader(FormatDefinition& out, const FormatRequest& request, int channel,
                 const FormatCamera& camera, const std::string& fileName)
        : out_(out), request_(request), channel_(channel), camera_(camera), fileName_(fileName) {}

    HRESULT read(std::istream& in);

  private:
    enum class Await {
        Format,  // outside a block: its "[Format]" line
        Guid,
        Name,
        HWRev,  // optional
        FWRev,  // optional
        Channels,
        In,   // the raw frame: a block for another one is skipped
        Out,  // the line of the requested channel
        SFrames,
        Def,        // one line per sub-frame
        DeviceRes,  // optional, on the line right after the last "Def" line
        End,        // any line ends the read with the complete block
        Malformed,  // any line ends the read as malformed
    };

    // The read's result when this line ends it.
    std::optional<HRESULT> blockLine(const std::string& line);
    void formatLine(const std::string& line);
    void hwRevLine(const std::string& line);
    void fwRevLine(const std::string& line);
    void channelsLine(const std::string& line);
    void inLine(const std::string& line);
    void outLine(const std::string& line);
    std::optional<HRESULT> subFramesLine(const std::string& line);
    std::optional<HRESULT> defLine(const std::string& line);
    void deviceResLine(const std::string& line);
    // A block whose sizes no raw frame can hold is refused as malformed, with the reason.
    HRESULT refuse(const std::string& why);

    FormatDefinition& out_;
    const FormatRequest& request_;
    const int channel_;
    const FormatCamera& camera_;
    const std::string& fileName_;
    bool headerSeen_ = false;
    bool versionSeen_ = false;
    bool complete_ = false;
    Await await_ = Await::Format;
    int outLines_ = 0;
    // Pixel and header words of the block's sub-frames so far.
    std::int64_t blockWords_ = 0;
};

HRESULT FormatReader::read(std::istream& in) {
    out_ = FormatDefinition{};
    std::string line;
    bool tooLong = false;
    while (readLine(in, line, tooLong)) {
        if (tooLong) {
            return malformed(out_);
        }
        if (line.empty() || line[0] == '#') {
            continue;
        }
        if (!headerSeen_) {
            headerSeen_ = contains(line, "[ImgProc format definition file]");
            continue;
        }
        if (contains(line, "Version")) {
            versionSeen_ = true;
            continue;
        }
        if (!versionSeen_) {
            continue;
        }
        if (contains(line, "[Format end]")) {
            if (complete_) {
                return S_OK;
            }
            await_ = Await::Format;  // the unfinished block is abandoned
            continue;
        }
        if (const std::optional<HRESULT> result = blockLine(line)) {
            return *result;
        }
    }
    return malformed(out_);
}

std::optional<HRESULT> FormatReader::blockLine(const std::string& line) {
    switch (await_) {
        case Await::Format:
            formatLine(line);
            break;
        case Await::Guid:
            if (contains(line, "Guid")) {
                parseGuid(valueOf(line, "Guid"), out_.guid);
                await_ = Await::Name;
            }
            break;
        case Await::Name:
            if (contains(line, "Name")) {
                out_.name = valueOf(line, "Name");
                await_ = Await::HWRev;
            }
            break;
        case Await::HWRev:
            hwRevLine(line);
            break;
        case Await::FWRev:
            fwRevLine(line);
            break;
        case Await::Channels:
            channelsLine(line);
            break;
        case Await::In:
            inLine(line);
            break;
        case Await::Out:
            outLine(line);
            break;
        case Await::SFrames:
            return subFramesLine(line);
        case Await::Def:
            return defLine(line);
        case Await::DeviceRes:
            deviceResLine(line);
            break;
        case Await::End:
            return S_OK;
        case Await::Malformed:
            return malformed(out_);
    }
    return std::nullopt;
}

void FormatReader::formatLine(const std::string& line) {
    if (contains(line, "[Format]")) {
        out_.name.clear();
        out_.hasDeviceRes = false;
        out_.subFrames.clear();
        out_.subFrameCount = 0;
        complete_ = false;
        await_ = Await::Guid;
    }
}

// A block for other hardware or firmware revisions is skipped.
void FormatReader::hwRevLine(const std::string& line) {
    if (contains(line, "HWRev")) {
        const bool fits = revisionInRanges(valueOf(line, "HWRev"), camera_.hardwareRevision);
        await_ = fits ? Await::FWRev : Await::Format;
        return;
    }
    await_ = Await::FWRev;
    fwRevLine(line);
}

void FormatReader::fwRevLine(const std::string& line) {
    if (contains(line, "FWRev")) {
        const bool fits = revisionInRanges(valueOf(line, "FWRev"), camera_.firmwareRevision);
        await_ = fits ? Await::Channels : Await::Format;
        return;
    }
    await_ = Await::Channels;
    channelsLine(line);
}

void FormatReader::channelsLine(const std::string& line) {
    if (!contains(line, "Channels")) {
        return;
    }
    std::int32_t channels = 0;
    const char* p = valueOf(line, "Channels");
    if (readNumber(p, channels) && channels != 0) {
        outLines_ = 0;
        await_ = Await::In;
    } else {
        await_ = Await::Malformed;
    }
}

void FormatReader::inLine(const std::string& line) {
    if (!contains(line, "In")) {
        return;
    }
    std::int32_t v[3];
    if (!readNumbers(valueOf(line, "In"), v, 3)) {
        await_ = Await::Malformed;
    } else if (v[0] == request_.width && v[1] == request_.height &&
               v[2] == std::trunc(request_.frequency)) {
        out_.inWidth = v[0];
        out_.inHeight = v[1];
        out_.inFrequency = v[2];
        await_ = Await::Out;
    } else {
        await_ = Await::Format;
    }
}

// The first "Out" line is channel 0, the next channel 1.
void FormatReader::outLine(const std::string& line) {
    if (!contains(line, "Out")) {
        return;
    }
    if (outLines_ == channel_) {
        std::int32_t v[3];
        if (!readNumbers(valueOf(line, "Out"), v, 3)) {
            await_ = Await::Malformed;
        } else {
            out_.outWidth = v[0];
            out_.outHeight = v[1];
            out_.outFrequency = v[2];
            await_ = Await::SFrames;
        }
    }
    ++outLines_;
}

std::optional<HRESULT> FormatReader::subFramesLine(const std::string& line) {
    if (!contains(line, "SFrames")) {
        return std::nullopt;
    }
    std::int32_t count = 0;
    const char* p = valueOf(line, "SFrames");
    if (!readNumber(p, count) || count < 1) {
        await_ = Await::Malformed;
    } else if (count > std::int64_t{out_.inWidth} * out_.inHeight) {
        // Each sub-frame takes words of its own from the raw frame.
        return refuse("SFrames " + std::to_string(count) +
                      ": more sub-frames than the raw frame has words");
    } else {
        blockWords_ = 0;
        out_.subFrameCount = count;
        out_.subFrames.clear();
        await_ = Await::Def;
    }
    return std::nullopt;
}

// One sub-frame's segment runs; the last sub-frame completes the block.
std::optional<HRESULT> FormatReader::defLine(const std::string& line) {
    if (!contains(line, "Def")) {
        return std::nullopt;
    }
    const char* p = valueOf(line, "Def");
    int groups = 0;
    for (const char* c = p; *c != '\0'; ++c) {
        groups += *c == '(' ? 1 : 0;
    }
    if (groups == 0) {
        await_ = Await::Malformed;
        return std::nullopt;
    }
    SubFrameLayout layout;
    layout.runs.resize(static_cast<std::size_t>(groups));
    for (SegmentRun& run : layout.runs) {
        if (!readRun(p, run)) {
            await_ = Await::Malformed;
            return std::nullopt;
        }
    }
    const std::int64_t rawWords = std::int64_t{out_.inWidth} * out_.inHeight;
    const std::string which = "Def line " + std::to_string(out_.subFrames.size() + 1) + ": ";
    std::int64_t used = 0;
    if (const char* why = layoutOutOfBounds(layout.runs, rawWords, layout.headerWordCount, used)) {
        return refuse(which + why);
    }
    // The sub-frames share one raw frame, so all of them together take no more words than it
    // holds; this also bounds what their tables allocate.
    blockWords_ += used;
    if (blockWords_ > rawWords) {
        return refuse(which + "the sub-frames so far take more words than the raw frame holds");
    }
    layout.headerWords.assign(static_cast<std::size_t>(layout.headerWordCount), 0);
    out_.subFrames.push_back(std::move(layout));
    if (static_cast<std::int32_t>(out_.subFrames.size()) == out_.subFrameCount) {
        FORMAT_LOG(zol::Logger::Debug,
                   "Format found with size: " << out_.subFrames.back().headerWordCount);
        complete_ = true;
        await_ = Await::DeviceRes;
    }
    return std::nullopt;
}

void FormatReader::deviceResLine(const std::string& line) {
    std::int32_t v[3];
    if (contains(line, "DeviceRes") && readNumbers(valueOf(line, "DeviceRes"), v, 3) &&
        out_.outWidth <= v[0] && out_.outHeight <= v[1]) {
        out_.hasDeviceRes = true;
        out_.deviceResWidth = v[0];
        out_.deviceResHeight = v[1];
        out_.deviceResValue = v[2];
        out_.deviceResOffsetX = (v[0] - out_.outWidth) >> 1;
        out_.deviceResOffsetY = (v[1] - out_.outHeight) >> 1;
    }
    await_ = Await::End;
}

HRESULT FormatReader::refuse(const std::string& why) {
    FORMAT_LOG(zol::Logger::Error, fileName_ << ": block \"" << out_.name << "\" refused: " << why);
    return malformed(out_);
}

}  // namespace

HRESULT readFormatDefinitionStream(FormatDefinition& out, std::istream& in,
                                   const FormatRequest& request, int channel,
                                   const FormatCamera& camera, const std::string& fileName) {
    return FormatReader(out, request, channel, camera, fileName).read(in);
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
