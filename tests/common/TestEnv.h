// What every test suite shares: temporary-directory and virtual-clock fixtures, wide-string and
// waiting helpers.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/Clock.h"
#include "platform/Strings.h"

namespace kelvix_test {

// Waits in real time for what other threads do: checks `done` up to `tries` times, `step`
// apart, and once more at the end.
template <typename Done>
bool waitUntil(Done done, int tries = 500,
               std::chrono::milliseconds step = std::chrono::milliseconds(10)) {
    for (int i = 0; i < tries; ++i) {
        if (done()) {
            return true;
        }
        std::this_thread::sleep_for(step);
    }
    return done();
}

// Gives each test a temporary directory and points HOME, XDG_DATA_HOME and the current
// directory there; everything is removed afterwards.
class TempDirTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    std::wstring wpath(const std::string& name) const;
    void writeFile(const std::string& name, const std::string& content) const;
    std::string readFile(const std::string& name) const;

    std::string dir_;

  private:
    std::wstring oldCwd_;
    std::string oldHome_, oldXdg_;
    bool hadHome_ = false, hadXdg_ = false;
};

// A TempDirTest that also runs on a virtual clock.
class VirtualClockTest : public TempDirTest {
  protected:
    VirtualClockTest() : scoped_(clock_) {}
    platform::VirtualClock clock_;

  private:
    platform::ScopedClock scoped_;
};

}  // namespace kelvix_test
