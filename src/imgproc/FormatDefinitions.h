// The records and the reader of "Formats.def", which says how each camera model packs its
// raw frame. The source operator reads it when the chain is built, on the imager's thread.

#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

#include "platform/HResult.h"

// Records read from the format-definition file "Formats.def": how one camera model packs its
// raw USB frame (pixels, header words and padding per sub-frame).

enum SegmentKind : std::int32_t { kSegmentSkip = 0, kSegmentData = 1, kSegmentMeta = 2 };

struct Segment {
    std::int32_t kind = kSegmentSkip;
    std::int32_t count = 0;
};

// `repeat` times the segments in order, from raw word `start` on.
struct SegmentRun {
    std::int32_t start = 0;
    std::int32_t repeat = 0;
    std::vector<Segment> segments;
};

struct SubFrameLayout {
    std::vector<SegmentRun> runs;
    std::int32_t headerWordCount = 0;
    std::vector<std::int16_t> headerWords;  // headerWordCount entries
    std::vector<std::int32_t> headerIndex;  // raw-word index per header word (built by the user)
};

struct FormatDefinition {
    GUID guid{};
    std::string name;  // empty when none
    std::int32_t inWidth = 0;
    std::int32_t inHeight = 0;
    double inFrequency = 0.0;
    std::int32_t outWidth = 0;
    std::int32_t outHeight = 0;
    double outFrequency = 0.0;
    bool hasDeviceRes = false;
    std::int32_t deviceResWidth = 0;
    std::int32_t deviceResHeight = 0;
    std::int32_t deviceResValue = 0;
    std::int32_t deviceResOffsetX = 0;
    std::int32_t deviceResOffsetY = 0;
    std::int32_t subFrameCount = 0;
    std::vector<SubFrameLayout> subFrames;  // subFrameCount entries once complete
};

struct FormatRequest {
    std::int32_t width = 0;
    std::int32_t height = 0;
    double frequency = 0.0;  // Hz
};

struct FormatInfo {
    std::int32_t width = 0;
    std::int32_t height = 0;
    double frequency = 0.0;
};

// What the reader needs to know about the camera besides the request.
struct FormatCamera {
    const wchar_t* formatsDir = nullptr;  // null or empty: the default formats folder
    std::uint16_t hardwareRevision = 0;
    std::uint16_t firmwareRevision = 0;
};

// Reads the first block of "Formats.def" in the camera's formats directory that fits the
// camera and the request, taking the channel's "Out" line (0 thermal, 1 visible) into `out`
// (reset first). S_OK when a block completes; E_FAIL when the path cannot be built or the file
// cannot be opened; E_INVALIDARG when no block fits, a value is malformed or a line is too long.
// After a failure `out` keeps the sizes of the last matching "In" and "Out" lines.
// Keeps no state: any thread (the source operator reads it at init).
HRESULT readFormatDefinition(FormatDefinition& out, const FormatRequest& request, int channel,
                             const FormatCamera& camera);

// The same reading from an open text stream (camera.formatsDir is not used); fileName names
// the stream in the log lines of refused blocks. Any thread, on a stream the caller owns.
HRESULT readFormatDefinitionStream(FormatDefinition& out, std::istream& in,
                                   const FormatRequest& request, int channel,
                                   const FormatCamera& camera,
                                   const std::string& fileName = "Formats.def");
