// The logger: source names, line format, verbosity, unwritable files, and many threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "common/TestEnv.h"
#include "kelvix/IRLogger.h"
#include "platform/Paths.h"
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

TEST_F(LoggerTest, SetVerbosityChannelsNamesAndFiles) {
    zol::Logger* log = zol::Logger::getInstance();
    // Both channels off: no file, nothing on the console; a null name means "morvane.log".
    zol::IRLogger::setVerbosity(zol::IRLOG_OFF, zol::IRLOG_OFF, nullptr);
    EXPECT_EQ(log->getFileName(), "morvane.log_7_12_2026_17-5-3.log");
    testing::internal::CaptureStderr();
    log->write(0, "A", 1, "nowhere");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_FALSE(platform::fileExists(wpath(log->getFileName())));

    // Console everything, file errors only; an empty name is "morvane.log" too.
    zol::IRLogger::setVerbosity(zol::IRLOG_DEBUG, zol::IRLOG_ERROR, "");
    EXPECT_EQ(log->getFileName(), "morvane.log_7_12_2026_17-5-3.log");
    testing::internal::CaptureStderr();
    log->write(1, "A", 2, "warn");
    log->write(0, "A", 3, "err");
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("WARNING [A:2] @ 0s :warn\n"), std::string::npos);
    EXPECT_NE(err.find("ERROR [A:3] @ 0s :err\n"), std::string::npos);
    EXPECT_EQ(readFile(log->getFileName()), "ERROR [A:3] @ 0s :err\n");

    // The same base name within one second appends to the same file; unknown values mean
    // errors only on a channel that is on.
    zol::IRLogger::setVerbosity(zol::IRLOG_OFF, static_cast<zol::IRLoggerVerbosityLevel>(9), "");
    log->write(1, "A", 4, "dropped");
    log->write(0, "A", 5, "appended");
    EXPECT_EQ(readFile(log->getFileName()), "ERROR [A:3] @ 0s :err\nERROR [A:5] @ 0s :appended\n");

    // A new second starts a new file.
    platform::LocalTime t = clock_.localTime();
    t.second = 4;
    clock_.setLocalTime(t);
    zol::IRLogger::setVerbosity(zol::IRLOG_OFF, zol::IRLOG_INFO, "morvane.log");
    EXPECT_EQ(log->getFileName(), "morvane.log_7_12_2026_17-5-4.log");
    clock_.advanceMs(2.25);
    log->write(2, "B", 6, "info");
    log->write(3, "B", 7, "debug");
    EXPECT_EQ(readFile(log->getFileName()), "INFO [B:6] @ 0.00225s :info\n");
}

TEST_F(LoggerTest, UnwritableFileLosesLinesButNotTheConsole) {
    zol::Logger* log = zol::Logger::getInstance();
    log->configure(path("no/such/dir/x"), zol::Logger::ModeFile | zol::Logger::ModeConsole, 3, 3);
    testing::internal::CaptureStderr();
    log->write(0, "A", 1, "still here");
    EXPECT_NE(testing::internal::GetCapturedStderr().find("still here"), std::string::npos);
}

class LoggerThreaded : public VirtualClockTest {};

TEST_F(LoggerThreaded, FirstUseFromManyThreadsAndLinesNeverInterleave) {
    constexpr int kThreads = 8;
    constexpr int kLines = 300;
    std::atomic<int> ready{0};
    std::vector<zol::Logger*> seen(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            ++ready;
            while (ready.load() < kThreads) {
            }
            seen[t] = zol::Logger::getInstance();
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    for (zol::Logger* p : seen) {
        EXPECT_EQ(p, seen[0]);
    }

    zol::IRLogger::setVerbosity(zol::IRLOG_DEBUG, zol::IRLOG_DEBUG, "mt");
    testing::internal::CaptureStderr();
    threads.clear();
    const std::string payload(200, '#');
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kLines; ++i) {
                KLOG_INFO("t" << t << " i" << i << " " << payload);
                if (i % 50 == 0) {
                    // Reconfiguring at the same time must not tear lines either.
                    zol::IRLogger::setVerbosity(zol::IRLOG_DEBUG, zol::IRLOG_DEBUG, "mt");
                }
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    const std::string console = testing::internal::GetCapturedStderr();
    const std::string file = readFile(zol::Logger::getInstance()->getFileName());

    // "INFO [LoggerTest:<line>] @ <seconds>s :t<thread> i<index> <payload>", nothing else.
    auto parse = [&](const std::string& l, int& t, int& i) {
        const std::size_t text = l.find("s :t");
        if (l.rfind("INFO [LoggerTest:", 0) != 0 || text == std::string::npos ||
            l.find("] @ ") == std::string::npos) {
            return false;
        }
        char rest[256] = {};
        return std::sscanf(l.c_str() + text, "s :t%d i%d %255s", &t, &i, rest) == 3 &&
               rest == payload &&
               l.size() ==
                   text + std::strlen("s :t0 i ") + std::to_string(i).size() + payload.size();
    };
    for (const std::string* text : {&console, &file}) {
        std::istringstream in(*text);
        std::string l;
        std::set<std::pair<int, int>> got;
        int lines = 0;
        while (std::getline(in, l)) {
            ++lines;
            int t = -1;
            int i = -1;
            ASSERT_TRUE(parse(l, t, i)) << l;
            got.emplace(t, i);
        }
        EXPECT_EQ(lines, kThreads * kLines);
        EXPECT_EQ(got.size(), static_cast<std::size_t>(kThreads * kLines));
    }
}

}  // namespace
