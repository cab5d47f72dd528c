// A control device with a process interface, and raw camera frames built word by word, for the
// operator tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "imgproc/NullControlDevice.h"

namespace optest {

// A control device with a process interface of configurable size.
class FakeControlDevice : public NullControlDevice {
  public:
    FakeControlDevice(std::uint16_t analogInputs, std::uint16_t digitalInputs, int pifType = 0)
        : analogInputs_(analogInputs), digitalInputs_(digitalInputs), pifType_(pifType) {
        resetPifScaling(analogInputs, 0);
    }
    void GetPifAICount(std::uint16_t* count) override { *count = analogInputs_; }
    void GetPifDICount(std::uint16_t* count) override { *count = digitalInputs_; }
    std::int32_t GetPifType() override { return pifType_; }

  private:
    std::uint16_t analogInputs_;
    std::uint16_t digitalInputs_;
    int pifType_;
};

// A raw camera frame of 16-bit words with a header written byte by byte (little-endian words).
struct RawFrame {
    RawFrame(int width, int height) : words(static_cast<std::size_t>(width) * height, 0) {}
    void headerByte(int headerStart, int k, std::uint8_t value) {
        std::uint16_t& w = words[static_cast<std::size_t>(headerStart + k / 2)];
        w = (k & 1) ? static_cast<std::uint16_t>((w & 0x00FF) | (value << 8))
                    : static_cast<std::uint16_t>((w & 0xFF00) | value);
    }
    void headerText(int headerStart, int k, const std::string& text) {
        for (std::size_t i = 0; i < text.size(); ++i) {
            headerByte(headerStart, k + static_cast<int>(i), static_cast<std::uint8_t>(text[i]));
        }
    }
    std::vector<std::uint16_t> words;
};

inline std::string formatsFile(const std::string& blocks) {
    return "[ImgProc format definition file]\nVersion = 1\n" + blocks;
}

inline std::string formatBlock(const std::string& in, const std::string& outs, int sframes,
                               const std::string& defs, const std::string& hwRev = "(0..9999)") {
    return "[Format]\nGuid = {11223344-5566-7788-99AA-BBCCDDEEFF00}\nName = Test camera\n"
           "HWRev = " +
           hwRev + "\nChannels = 1\nIn = " + in + "\n" + outs +
           "SFrames = " + std::to_string(sframes) + "\n" + defs + "[Format end]\n";
}

}  // namespace optest
