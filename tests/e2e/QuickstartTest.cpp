// The quick-start example as a program: its live and replayed numbers must be the scene's.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <string>

#include "common/TestEnv.h"

namespace {

// The value after `label` on its line of the program's output; NaN when missing.
double valueAfter(const std::string& output, const std::string& label) {
    const std::size_t at = output.find("\n" + label);
    if (at == std::string::npos) {
        return std::nan("");
    }
    return std::strtod(output.c_str() + at + 1 + label.size(), nullptr);
}

class QuickstartThreadedTest : public kelvix_test::TempDirTest {};

}  // namespace

// The README's first command ends in this program: its numbers must be the scene's. It
// streams on a capture thread, so it also runs under the thread sanitizer.
TEST_F(QuickstartThreadedTest, ReportsTheSceneLiveAndReplayed) {
#ifndef KELVIX_QUICKSTART
    GTEST_SKIP() << "the example is not built";
#else
    const std::string command =
        std::string(KELVIX_QUICKSTART) + " " + path("out") + " > " + path("stdout.txt") + " 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << readFile("stdout.txt");
    const std::string output = "\n" + readFile("stdout.txt");

    EXPECT_NE(output.find("\nframe size: 160 x 120 pixels"), std::string::npos) << output;
    EXPECT_GT(valueAfter(output, "frame rate: "), 5.0) << output;
    // The warm square of the simulated scene is 45 degC.
    EXPECT_NEAR(valueAfter(output, "centre: "), 45.0, 0.5) << output;
    EXPECT_NEAR(valueAfter(output, "hottest region: "), 45.0, 0.5) << output;
    EXPECT_NEAR(valueAfter(output, "replayed centre: "), valueAfter(output, "centre: "), 0.15)
        << output;
    EXPECT_NE(output.find("shutter flag closed"), std::string::npos) << output;

    // The image is a binary PPM of the frame; the recording holds whole frames.
    const std::string ppm = readFile("out/quickstart.ppm");
    EXPECT_EQ(ppm.rfind("P6\n160 120\n255\n", 0), 0u);
    EXPECT_EQ(ppm.size(), 15u + 160 * 120 * 3);
    const std::size_t raw = output.find("\nraw recording: ");
    ASSERT_NE(raw, std::string::npos);
    const std::string rawName = output.substr(raw + 16, output.find(" (", raw) - raw - 16);
    std::ifstream in(rawName, std::ios::binary | std::ios::ate);
    ASSERT_TRUE(in.is_open()) << rawName;
    const long long frames = std::atoll(output.c_str() + output.find(" (", raw) + 2);
    EXPECT_GT(frames, 30);
    EXPECT_EQ(static_cast<long long>(in.tellg()), 52 + frames * (160 * 121 * 2 + 80));
#endif
}
