// Fuzz target: the format-definition reader on arbitrary text, for both channels, with the
// first input bytes choosing the request and the revisions; then the source operator and the
// remapping operator behind it, built from the same text as "Formats.def", on one raw frame.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "imgproc/FormatDefinitions.h"
#include "imgproc/OpDevice.h"
#include "imgproc/OpREA.h"
#include "imgproc/OpSource.h"
#include "imgproc/OpTestSupport.h"
#include "support/FuzzFile.h"

namespace {

void sourceChain(const std::uint8_t* data, std::size_t size, const FormatCamera& camera) {
    const std::wstring path = kelvix_fuzz::writeInputFile(data, size, "Formats.def");
    const std::wstring dir = path.substr(0, path.find_last_of(L'/'));
    SharedParameterBlock shared;
    shared.formatsDirectory = dir.c_str();
    shared.hardwareRevision = camera.hardwareRevision;
    shared.firmwareRevision = camera.firmwareRevision;
    OpFrameFormat raw = optest::format(384, 290, 361010);  // 27 Hz
    OpFrame* frame = OpBase::allocateOutputFrame(&raw, 0);
    for (int i = 0; i < raw.pixelCount; ++i) {
        frame->pixels[i] = static_cast<std::uint16_t>(i * 2654435761u >> 16);
    }
    {
        OpDevice root(&shared);
        OpSource source(&root, 1, L"# Source", &shared, 0);
        OpREA_RadDistCorr remap(&source, &shared);
        optest::SinkOp sink(&remap, &shared);
        if (root.attach(frame) == S_OK) {
            // The output never holds more pixels than the raw frame has words.
            const OpFrameFormat& out = *source.frame->format;
            if (static_cast<std::int64_t>(out.width) * out.height > raw.pixelCount) {
                __builtin_trap();
            }
            root.trigger();
        }
    }
    OpBase::freeFrame(frame);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    FormatCamera camera;
    camera.hardwareRevision = size > 0 ? static_cast<std::uint16_t>(data[0] * 4) : 50;
    camera.firmwareRevision = size > 1 ? data[1] : 7;
    const FormatRequest requests[] = {{384, 290, 27.7}, {640, 480, 32.0}, {160, 120, 9.0}};
    for (const FormatRequest& request : requests) {
        for (int channel = 0; channel < 2; ++channel) {
            std::istringstream in(text);
            FormatDefinition def;
            if (readFormatDefinitionStream(def, in, request, channel, camera) == S_OK) {
                // A completed block holds exactly its sub-frames, each with its header words.
                if (static_cast<std::int32_t>(def.subFrames.size()) != def.subFrameCount) {
                    __builtin_trap();
                }
                for (const SubFrameLayout& sf : def.subFrames) {
                    if (sf.headerWordCount < 0 ||
                        static_cast<std::int64_t>(sf.headerWordCount) >
                            std::int64_t{def.inWidth} * def.inHeight ||
                        sf.headerWords.size() != static_cast<std::size_t>(sf.headerWordCount)) {
                        __builtin_trap();
                    }
                }
            }
        }
    }
    sourceChain(data, size, camera);
    return 0;
}
