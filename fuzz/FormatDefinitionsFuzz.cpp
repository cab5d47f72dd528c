// Fuzz target: the format-definition reader on arbitrary text, for both channels, with the
// first input bytes choosing the request and the revisions.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "imgproc/FormatDefinitions.h"

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
    return 0;
}
