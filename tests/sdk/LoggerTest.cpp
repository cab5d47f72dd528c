#include <gtest/gtest.h>

#include "common/TestEnv.h"
#include "kelvix/IRLogger.h"
#include "sdk/Log.h"

namespace {

using kelvix_test::VirtualClockTest;

class LoggerTest : public VirtualClockTest {};

TEST_F(LoggerTest, SourceNameIsTheFileBaseNameWithoutExtension) {
    static_assert(zol::sourceBaseName("src/imgproc/Cali.cpp") == "Cali");
    static_assert(zol::sourceBaseName("C:\\x\\kelvix_callback.cpp") == "kelvix_callback");
    static_assert(zol::sourceBaseName("Kelvix") == "Kelvix");
}

TEST_F(LoggerTest, NoticeOnceBeforeConfigureThenLinesInTheirFormat) {
    // Runs in its own process (one test per process under ctest), so the logger is fresh.
    testing::internal::CaptureStderr();
    KLOG_ERROR("dropped");
    KLOG_ERROR("dropped too");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("[LoggerTest:"), std::string::npos);
    EXPECT_NE(err.find("s : Logger not configured!\n"), std::string::npos);
    EXPECT_EQ(err.find("Logger not configured!", err.find("configured!") + 1), std::string::npos);
    EXPECT_EQ(err.find("dropped"), std::string::npos);

    zol::IRLogger::setVerbosity(zol::IRLOG_DEBUG, zol::IRLOG_ERROR, "x");
    const std::string file = zol::Logger::getInstance()->getFileName();
    EXPECT_EQ(file, "x_7_12_2026_17-5-3.log");
    clock_.advanceMs(1500);
    testing::internal::CaptureStderr();
    zol::Logger::getInstance()->write(0, "Cali", 123, "abc");
    zol::Logger::getInstance()->write(3, "Cali", 124, "debug only on console");
    zol::Logger::getInstance()->write(7, "Cali", 125, "seven");
    err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("ERROR [Cali:123] @ 1.5s :abc\n"), std::string::npos);
    EXPECT_NE(err.find("DEBUG [Cali:124]"), std::string::npos);
    // Level 7 prints as ERROR but passes only thresholds of 7 or more.
    EXPECT_EQ(err.find("seven"), std::string::npos);
    EXPECT_EQ(readFile(file), "ERROR [Cali:123] @ 1.5s :abc\n");
}

}  // namespace
