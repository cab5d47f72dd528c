// Raw recordings: the header check, the writer's parts and time lines, the reader's refusals.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "common/TestEnv.h"
#include "kelvix/IRFileReader.h"
#include "kelvix/IRFileWriter.h"
#include "kelvix/IRLogger.h"
#include "platform/CalendarTime.h"
#include "platform/Paths.h"
#include "platform/Strings.h"
#include "sdk/RawdataHeader.h"

namespace {

using zol::RawdataHeader;

// A copy out of the packed record: references to its members may be misaligned.
template <typename T>
T val(T v) {
    return v;
}

RawdataHeader cameraHeader() {
    RawdataHeader h;
    h.serial = 12345;
    h.width = 382;
    h.height = 288;
    h.bitCount = 16;
    h.avgTimePerFrame = 370370;
    h.optics = 30;
    h.tempMinRange = 800;
    h.tempMaxRange = 2000;
    h.hwRev = 2101;
    h.fwRev = 3000;
    return h;
}

bool parse(const RawdataHeader& h, std::uint32_t& frameSize, std::string& error) {
    unsigned char bytes[sizeof h];
    std::memcpy(bytes, &h, sizeof h);
    RawdataHeader out;
    return zol::parseRawdataHeader(bytes, sizeof bytes, out, frameSize, error);
}

TEST(RawdataHeader, ParsesValidHeadersAndRefusesOthers) {
    RawdataHeader h = cameraHeader();
    unsigned char bytes[52];
    std::memcpy(bytes, &h, sizeof bytes);
    EXPECT_EQ(bytes[0], 52);
    EXPECT_EQ(bytes[2] | bytes[3] << 8, 1001);
    EXPECT_EQ(bytes[32] | bytes[33] << 8 | bytes[34] << 16, 370370);
    EXPECT_EQ(bytes[50], 80);

    RawdataHeader out;
    std::uint32_t frameSize = 0;
    std::string error;
    ASSERT_TRUE(zol::parseRawdataHeader(bytes, sizeof bytes, out, frameSize, error)) << error;
    EXPECT_EQ(frameSize, 220032u);
    EXPECT_EQ(val(out.serial), 12345u);
    EXPECT_EQ(val(out.fwRev), 3000);
    EXPECT_FALSE(zol::parseRawdataHeader(bytes, 51, out, frameSize, error));

    struct Case {
        const char* what;
        void (*spoil)(RawdataHeader&);
    };
    const Case cases[] = {
        {"header size", [](RawdataHeader& x) { x.headerSize = 48; }},
        {"version", [](RawdataHeader& x) { x.version = 1000; }},
        {"bit count", [](RawdataHeader& x) { x.bitCount = 8; }},
        {"frame period", [](RawdataHeader& x) { x.avgTimePerFrame = 0; }},
        {"frame period", [](RawdataHeader& x) { x.avgTimePerFrame = -1; }},
        {"frame size", [](RawdataHeader& x) { x.width = 0; }},
        {"too large", [](RawdataHeader& x) { x.width = x.height = 65536; }},
        {"too large", [](RawdataHeader& x) { x.width = x.height = 0xFFFFFFFFu; }},
    };
    for (const Case& c : cases) {
        RawdataHeader bad = cameraHeader();
        c.spoil(bad);
        EXPECT_FALSE(parse(bad, frameSize, error)) << c.what;
        EXPECT_NE(error.find(c.what), std::string::npos) << error;
    }
    // No camera delivers more than 2^21 pixels.
    h.width = 2048;
    h.height = 1024;
    EXPECT_TRUE(parse(h, frameSize, error));
    EXPECT_EQ(frameSize, 2048u * 1024u * 2u);
    for (auto size : {std::pair<unsigned, unsigned>{2048, 1025}, {11585, 11585}, {65536, 32767}}) {
        h.width = size.first;
        h.height = size.second;
        EXPECT_FALSE(parse(h, frameSize, error)) << size.first << " x " << size.second;
    }
}

class IRFileWriterTest : public kelvix_test::TempDirTest {
  protected:
    static constexpr long long kStart = 1700000000;

    std::string baseName() const {
        const platform::LocalTime t = platform::localTimeOf(kStart);
        char name[64];
        std::snprintf(name, sizeof name, "ir_12345_%04d%02d%02d_%02d%02d%02d", t.year, t.month,
                      t.day, t.hour, t.minute, t.second);
        return name;
    }
    std::string captureErrors(const std::function<void()>& f) {
        zol::IRLogger::setVerbosity(zol::IRLOG_ERROR, zol::IRLOG_OFF, "t");
        testing::internal::CaptureStderr();
        f();
        return testing::internal::GetCapturedStderr();
    }
};

TEST_F(IRFileWriterTest, PartsTakeTheirOwnHeaderFramesAndTimeLines) {
    RawdataHeader given = cameraHeader();
    given.headerSize = 0;  // the writer always writes 52
    given.width = 4;
    given.height = 2;
    {
        zol::IRFileWriter writer(kStart, dir_.c_str(), given);
        EXPECT_EQ(writer.getStartTime(), kStart);
        std::vector<unsigned char> frame(16);
        char meta[80];
        std::memset(meta, 'm', sizeof meta);
        writer.write(1.0, frame.data(), 1, 16, meta);  // before open: nothing
        EXPECT_FALSE(platform::fileExists(platform::toWide(path(baseName() + ".raw"))));

        ASSERT_TRUE(writer.open());
        EXPECT_TRUE(writer.isOpen());
        EXPECT_TRUE(writer.open());
        EXPECT_TRUE(writer.canDoWriteOperations());
        const std::pair<unsigned, double> frames[] = {
            {1, 12.5}, {1, 25.0}, {2, 37.5}, {2, 1234567.25}};
        for (auto [part, timestamp] : frames) {
            frame.assign(16, static_cast<unsigned char>(part * 16));
            writer.write(timestamp, frame.data(), part, 16, meta);
        }
    }  // closing flushes both files

    const std::string raw1 = readFile(baseName() + ".raw");
    const std::string raw2 = readFile(baseName() + ".raw.2");
    ASSERT_EQ(raw1.size(), 52u + 2 * (16 + 80));
    ASSERT_EQ(raw2.size(), 52u + 2 * (16 + 80));
    EXPECT_EQ(raw1.substr(0, 52), raw2.substr(0, 52));
    EXPECT_EQ(raw1.substr(52, 16), std::string(16, '\x10'));
    EXPECT_EQ(raw1.substr(52 + 16, 80), std::string(80, 'm'));
    EXPECT_EQ(raw2.substr(52, 16), std::string(16, '\x20'));

    RawdataHeader written;
    std::memcpy(&written, raw1.data(), 52);
    EXPECT_EQ(val(written.headerSize), 52);
    EXPECT_EQ(val(written.version), 1001);
    EXPECT_EQ(std::string(written.date, 8) + std::string(written.time, 6),
              baseName().substr(9, 8) + baseName().substr(18, 6));
    EXPECT_EQ(val(written.serial), 12345u);
    EXPECT_EQ(val(written.avgTimePerFrame), 370370);
    EXPECT_EQ(val(written.hwRev), 2101);

    // CR LF in the first part's time file, LF in later parts.
    EXPECT_EQ(readFile(baseName() + ".time"), "       12.500000\r\n       25.000000\r\n");
    EXPECT_EQ(readFile(baseName() + ".time.2"), "       37.500000\n  1234567.250000\n");
}

TEST_F(IRFileWriterTest, FailuresToOpenAreLogged) {
    // A name without room for a part suffix is refused before anything is created.
    const std::string longDir = path(std::string(200, 'd'));
    ASSERT_TRUE(platform::createDirectory(platform::toWide(longDir)));
    zol::IRFileWriter tooLong(kStart, longDir.c_str(), cameraHeader());
    std::string log = captureErrors([&] { EXPECT_FALSE(tooLong.open()); });
    EXPECT_NE(log.find("failed to open file: "), std::string::npos) << log;
    EXPECT_FALSE(tooLong.isOpen());

    zol::IRFileWriter missing(kStart, path("nowhere").c_str(), cameraHeader());
    log = captureErrors([&] { EXPECT_FALSE(missing.open()); });
    EXPECT_NE(log.find("failed to open file: " + path("nowhere/")), std::string::npos) << log;

    // A part that cannot be created stops the writes and says so.
    zol::IRFileWriter writer(kStart, dir_.c_str(), cameraHeader());
    ASSERT_TRUE(writer.open());
    ASSERT_TRUE(platform::createDirectory(platform::toWide(path(baseName() + ".raw.2"))));
    unsigned char frame[4] = {};
    log = captureErrors([&] { writer.write(1.0, frame, 2, 4, nullptr); });
    EXPECT_NE(log.find("failed to open file: " + path(baseName() + ".raw.2")), std::string::npos)
        << log;
    EXPECT_FALSE(writer.canDoWriteOperations());
    writer.write(2.0, frame, 2, 4, nullptr);
    EXPECT_EQ(readFile(baseName() + ".time.2"), "");

    // A copy is a closed writer of the same recording.
    zol::IRFileWriter copy(writer);
    EXPECT_FALSE(copy.isOpen());
    EXPECT_EQ(copy.getStartTime(), kStart);
}

class IRFileReaderTest : public IRFileWriterTest {
  protected:
    void writeRecording(const std::string& name, const RawdataHeader& h, std::size_t frames) {
        std::string bytes(reinterpret_cast<const char*>(&h), sizeof h);
        bytes.append(frames * (2u * 4 * 2 + 80), '\0');
        writeFile(name, bytes);
    }
};

TEST_F(IRFileReaderTest, RefusesMissingFilesAndInvalidHeaders) {
    zol::IRDeviceParams params;
    params.serial = 777;
    std::string log = captureErrors([&] {
        zol::IRFileReader reader(path("missing.raw"), params);
        EXPECT_FALSE(reader.isReady());
        EXPECT_FALSE(reader.nextFrame());
    });
    EXPECT_NE(log.find("failed to open file: " + path("missing.raw")), std::string::npos) << log;

    struct Case {
        const char* what;
        void (*spoil)(RawdataHeader&);
    };
    const Case cases[] = {
        {"version 1000", [](RawdataHeader& x) { x.version = 1000; }},
        {"frame period 0", [](RawdataHeader& x) { x.avgTimePerFrame = 0; }},
        {"too large", [](RawdataHeader& x) { x.width = x.height = 0x80000000u; }},
        {"too large", [](RawdataHeader& x) { x.width = x.height = 11585; }},
        // Not even one frame in the file: nothing is allocated for it.
        {"bytes after the header", [](RawdataHeader& x) { x.width = 2048, x.height = 1024; }},
        // Less than one frame per second: the imager cannot run at 0 Hz.
        {"frame period 10000001", [](RawdataHeader& x) { x.avgTimePerFrame = 10000001; }},
    };
    for (const Case& c : cases) {
        RawdataHeader h = cameraHeader();
        h.width = 4;
        h.height = 2;
        c.spoil(h);
        writeRecording("bad.raw", h, 3);
        log = captureErrors([&] {
            zol::IRFileReader reader(path("bad.raw"), params);
            EXPECT_FALSE(reader.isReady()) << c.what;
            EXPECT_FALSE(reader.nextFrame()) << c.what;
            EXPECT_EQ(reader.getRawBufferSize(), 0u) << c.what;
            // The getters still say what the file holds, without dividing by zero.
            EXPECT_EQ(reader.getSerial(), 12345u);
            EXPECT_EQ(reader.getFrequency(), h.avgTimePerFrame > 0 && h.avgTimePerFrame < 10000000
                                                 ? 10000000 / h.avgTimePerFrame
                                                 : 0)
                << c.what;
        });
        EXPECT_NE(log.find("invalid record file header"), std::string::npos) << c.what << log;
        EXPECT_NE(log.find("Initializing image stream playback failed"), std::string::npos);
        EXPECT_NE(log.find(c.what), std::string::npos) << log;
        EXPECT_EQ(params.serial, 777u) << "params untouched: " << c.what;
    }

    writeFile("short.raw", std::string(30, '\0'));
    log = captureErrors([&] {
        zol::IRFileReader reader(path("short.raw"), params);
        EXPECT_FALSE(reader.isReady());
    });
    EXPECT_NE(log.find("too short"), std::string::npos) << log;
}

}  // namespace
