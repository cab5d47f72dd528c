// The format-definition reader on hand-written Formats.def texts: blocks, channels, offsets,
// sub-frames, malformed values and Windows line ends.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "common/TestEnv.h"
#include "imgproc/FormatDefinitions.h"
#include "platform/Paths.h"

namespace {

const char* kHeader =
    "# formats of the test cameras\n"
    "[ImgProc format definition file]\n"
    "Version = 3\n";

// One block; `extra` lines go between "Out" and "SFrames".
std::string block(const std::string& name, const std::string& hwRev, const std::string& in,
                  const std::string& outs, const std::string& defs, int sframes = 1) {
    std::string b =
        "[Format]\nGuid = {0A1B2C3D-0001-0002-0304-050607080910}\nName = " + name + "\n";
    if (!hwRev.empty()) {
        b += "HWRev = " + hwRev + "\n";
    }
    b += "Channels = 1\nIn = " + in + "\n" + outs + "SFrames = " + std::to_string(sframes) + "\n" +
         defs + "[Format end]\n";
    return b;
}

HRESULT read(const std::string& text, FormatDefinition& def, int channel = 0, int width = 384,
             int height = 290, double frequency = 27.7, std::uint16_t hwRev = 50) {
    std::istringstream in(text);
    FormatRequest request{width, height, frequency};
    FormatCamera camera;
    camera.hardwareRevision = hwRev;
    camera.firmwareRevision = 7;
    return readFormatDefinitionStream(def, in, request, channel, camera);
}

const std::string kDef = "Def = (0 288 d:382 s:2) (110592 1 m:64 s:64)\n";

}  // namespace

TEST(FormatDefinitions, ReadsBlockRecords) {
    FormatDefinition def;
    ASSERT_EQ(S_OK, read(std::string(kHeader) +
                             block("PI 450", "(20..99)", "384 290 27", "Out = 382 288 27\n", kDef),
                         def));
    EXPECT_EQ("PI 450", def.name);
    EXPECT_EQ(0x0A1B2C3Du, def.guid.Data1);
    EXPECT_EQ(2, def.guid.Data3);
    EXPECT_EQ(0x10, def.guid.Data4[7]);
    EXPECT_EQ(384, def.inWidth);
    EXPECT_EQ(27.0, def.inFrequency);
    EXPECT_EQ(382, def.outWidth);
    EXPECT_EQ(288, def.outHeight);
    ASSERT_EQ(1, def.subFrameCount);
    ASSERT_EQ(1u, def.subFrames.size());
    const SubFrameLayout& sf = def.subFrames[0];
    ASSERT_EQ(2u, sf.runs.size());
    EXPECT_EQ(288, sf.runs[0].repeat);
    ASSERT_EQ(2u, sf.runs[0].segments.size());
    EXPECT_EQ(kSegmentData, sf.runs[0].segments[0].kind);
    EXPECT_EQ(382, sf.runs[0].segments[0].count);
    EXPECT_EQ(kSegmentSkip, sf.runs[0].segments[1].kind);
    EXPECT_EQ(110592, sf.runs[1].start);
    EXPECT_EQ(kSegmentMeta, sf.runs[1].segments[0].kind);
    EXPECT_EQ(64, sf.headerWordCount);
    EXPECT_EQ(64u, sf.headerWords.size());
    EXPECT_FALSE(def.hasDeviceRes);
}

TEST(FormatDefinitions, BlockSelection) {
    // Wrong hardware range is skipped at its HWRev line; several groups on one line.
    FormatDefinition def;
    std::string text = std::string(kHeader) +
                       block("old", "(0..19) (100..200)", "384 290 27", "Out = 1 1 27\n", kDef) +
                       block("new", "(0..10)(20..99)", "384 290 27", "Out = 382 288 27\n", kDef);
    ASSERT_EQ(S_OK, read(text, def));
    EXPECT_EQ("new", def.name);
    EXPECT_EQ(382, def.outWidth);

    // The "In" frequency must equal the truncated request frequency, even with a fitting size.
    text = std::string(kHeader) + block("80Hz", "", "384 290 80", "Out = 1 1 80\n", kDef) +
           block("27Hz", "", "384 290 27", "Out = 382 288 27\n", kDef);
    ASSERT_EQ(S_OK, read(text, def));
    EXPECT_EQ("27Hz", def.name);

    // Blocks and lines before the header and before the version are ignored.
    text = block("early", "", "384 290 27", "Out = 1 1 27\n", kDef) +
           "[ImgProc format definition file]\n" +
           block("beforeVersion", "", "384 290 27", "Out = 1 1 27\n", kDef) + "Version 2\n" +
           block("late", "", "384 290 27", "Out = 382 288 27\n", kDef);
    ASSERT_EQ(S_OK, read(text, def));
    EXPECT_EQ("late", def.name);

    // Nothing fits.
    EXPECT_EQ(E_INVALIDARG, read(text, def, 0, 640, 480));
}

TEST(FormatDefinitions, OutLinesPerChannel) {
    std::string two = std::string(kHeader) +
                      block("bi", "", "384 290 27", "Out = 382 288 27\nOut = 640 480 32\n", kDef);
    FormatDefinition def;
    ASSERT_EQ(S_OK, read(two, def, 0));
    EXPECT_EQ(382, def.outWidth);
    EXPECT_EQ(27.0, def.outFrequency);
    ASSERT_EQ(S_OK, read(two, def, 1));
    EXPECT_EQ(640, def.outWidth);
    EXPECT_EQ(480, def.outHeight);
    EXPECT_EQ(32.0, def.outFrequency);

    // With one "Out" line the visible channel never completes; the last matching "In" stays.
    std::string one =
        std::string(kHeader) + block("mono", "", "384 290 27", "Out = 382 288 27\n", kDef);
    EXPECT_EQ(E_INVALIDARG, read(one, def, 1));
    EXPECT_EQ(384, def.inWidth);
    EXPECT_TRUE(def.name.empty());
}

TEST(FormatDefinitions, ChannelsZero) {
    std::string zeroThenIn = std::string(kHeader) +
                             "[Format]\nGuid = {0}\nName = zero\nChannels = 0\nIn = 384 290 27\n" +
                             block("good", "", "384 290 27", "Out = 382 288 27\n", kDef);
    FormatDefinition def;
    EXPECT_EQ(E_INVALIDARG, read(zeroThenIn, def));

    std::string zeroThenEnd = std::string(kHeader) +
                              "[Format]\nGuid = {0}\nName = zero\nChannels 0\n[Format end]\n" +
                              block("good", "", "384 290 27", "Out = 382 288 27\n", kDef);
    ASSERT_EQ(S_OK, read(zeroThenEnd, def));
    EXPECT_EQ("good", def.name);
}

TEST(FormatDefinitions, DeviceResOffsets) {
    auto withDeviceRes = [](const std::string& res, bool end) {
        std::string text = std::string(kHeader) +
                           "[Format]\nGuid={0}\nName=res\nChannels=1\nIn=384 290 27\n"
                           "Out=382 288 27\nSFrames=1\n" +
                           kDef + "DeviceRes = " + res + "\n";
        return text + (end ? "[Format end]\n" : "trailing text\n");
    };
    FormatDefinition def;
    ASSERT_EQ(S_OK, read(withDeviceRes("387 293 5", true), def));
    EXPECT_TRUE(def.hasDeviceRes);
    EXPECT_EQ(387, def.deviceResWidth);
    EXPECT_EQ(293, def.deviceResHeight);
    EXPECT_EQ(5, def.deviceResValue);
    EXPECT_EQ(2, def.deviceResOffsetX);
    EXPECT_EQ(2, def.deviceResOffsetY);

    // No "[Format end]": the line after DeviceRes completes the block.
    ASSERT_EQ(S_OK, read(withDeviceRes("382 288 1", false), def));
    EXPECT_TRUE(def.hasDeviceRes);
    EXPECT_EQ(0, def.deviceResOffsetX);

    ASSERT_EQ(S_OK, read(withDeviceRes("380 288 1", true), def));
    EXPECT_FALSE(def.hasDeviceRes);
}

TEST(FormatDefinitions, SubFrames) {
    std::string text =
        std::string(kHeader) + block("sub", "", "384 290 27", "Out = 382 144 27\n",
                                     "Def = (0 144 d:382 s:2) (0 1 m:10)\n"
                                     "Def (55296 144 d:382 s:2) (55296 2 m:3 s:1 m:2)\n",
                                     2);
    FormatDefinition def;
    ASSERT_EQ(S_OK, read(text, def));
    ASSERT_EQ(2u, def.subFrames.size());
    EXPECT_EQ(10, def.subFrames[0].headerWordCount);
    EXPECT_EQ(10, def.subFrames[1].headerWordCount);
    EXPECT_EQ(55296, def.subFrames[1].runs[0].start);
}

TEST(FormatDefinitions, MalformedValues) {
    FormatDefinition def;
    auto single = [](const std::string& defs, int sframes) {
        return std::string(kHeader) +
               block("bad", "", "384 290 27", "Out = 382 288 27\n", defs, sframes);
    };
    EXPECT_EQ(E_INVALIDARG, read(single(kDef, 0), def));
    EXPECT_EQ(E_INVALIDARG, read(single("Def = no groups\n", 1), def));
    EXPECT_EQ(E_INVALIDARG, read(single("Def = (0 1 x:3)\n", 1), def));
    EXPECT_EQ(E_INVALIDARG, read(single("Def = (0 1)\n", 1), def));
    EXPECT_EQ(E_INVALIDARG, read(single("Def = ()\n", 1), def));
    EXPECT_EQ(E_INVALIDARG, read(single("Def = (0 1 d:3\n", 1), def));
    // Header words beyond the raw frame (384 x 290 words), also where 32 bits would wrap.
    EXPECT_EQ(E_INVALIDARG, read(single("Def = (0 2 m:60000)\n", 1), def));
    EXPECT_EQ(E_INVALIDARG, read(single("Def = (0 2147483647 m:65536 m:65536)\n", 1), def));
    EXPECT_EQ(E_INVALIDARG, read(single("Def = (0 1 m:99999999999)\n", 1), def));
    EXPECT_EQ(S_OK, read(single("Def = (0 1 m:111360)\n", 1), def));
    // Runs repeated more often than the raw frame has words, even empty ones, and pixel words
    // beyond it.
    EXPECT_EQ(E_INVALIDARG,
              read(single("Def = (0 288 d:382 s:2) (0 2147483647 s:0 s:0)\n", 1), def));
    EXPECT_EQ(S_OK, read(single("Def = (0 288 d:382 s:2) (0 111360 s:0 s:0)\n", 1), def));
    EXPECT_EQ(E_INVALIDARG, read(single("Def = (0 2 d:60000)\n", 1), def));

    // An unreadable GUID reads as zero.
    ASSERT_EQ(S_OK, read(std::string(kHeader) +
                             "[Format]\nGuid = none\nName = g\nChannels 1\nIn 384 290 27\n"
                             "Out 382 288 27\nSFrames 1\n" +
                             kDef + "[Format end]\n",
                         def));
    EXPECT_EQ(GUID{}, def.guid);

    // An over-long line, or a file ending inside a block.
    std::string longLine = std::string(kHeader) + "# " + std::string(5000, 'x') + "\n" +
                           block("ok", "", "384 290 27", "Out = 382 288 27\n", kDef);
    EXPECT_EQ(E_INVALIDARG, read(longLine, def));
    EXPECT_EQ(E_INVALIDARG, read(std::string(kHeader) + "[Format]\nGuid={0}\nName=x\n", def));
}

TEST(FormatDefinitions, WindowsLineEnds) {
    std::string text =
        std::string(kHeader) + block("crlf", "(20..99)", "384 290 27", "Out = 382 288 27\n", kDef);
    std::string crlf;
    for (char c : text) {
        if (c == '\n') {
            crlf += '\r';
        }
        crlf += c;
    }
    FormatDefinition def;
    ASSERT_EQ(S_OK, read(crlf, def));
    EXPECT_EQ("crlf", def.name);
}

class FormatDefinitionsFile : public kelvix_test::TempDirTest {};

TEST_F(FormatDefinitionsFile, FindsFileInFormatsDirectory) {
    FormatRequest request{384, 290, 27.0};
    FormatCamera camera;
    std::wstring dir = wpath("formats");
    camera.formatsDir = dir.c_str();
    FormatDefinition def;
    EXPECT_EQ(E_FAIL, readFormatDefinition(def, request, 0, camera));

    platform::createDirectory(dir);
    writeFile("formats/Formats.def",
              std::string(kHeader) + block("file", "", "384 290 27", "Out = 382 288 27\n", kDef));
    ASSERT_EQ(S_OK, readFormatDefinition(def, request, 0, camera));
    EXPECT_EQ("file", def.name);

    // An empty directory means the default folder under the application data.
    camera.formatsDir = L"";
    platform::createDirectory(wpath("share/Imager"));
    writeFile("share/Imager/Formats.def",
              std::string(kHeader) + block("home", "", "384 290 27", "Out = 382 288 27\n", kDef));
    ASSERT_EQ(S_OK, readFormatDefinition(def, request, 0, camera));
    EXPECT_EQ("home", def.name);
}
