// Helpers of the daemon tests: captured standard output and death-test fixtures on 127.0.0.1.
#pragma once

#include <gmock/gmock.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <mutex>
#include <streambuf>
#include <string>
#include <thread>

#include "BridgeTestSupport.h"
#include "kelvix/DirectBridgeClientTCP.h"

namespace daemon_test {

// What the program writes to standard output, collected while other threads write.
class CapturedOutput : public std::streambuf {
  public:
    CapturedOutput() : old_(std::cout.rdbuf(this)) {}
    ~CapturedOutput() override { std::cout.rdbuf(old_); }

    bool waitFor(const std::string& text) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, std::chrono::seconds(10),
                            [&] { return text_.find(text) != std::string::npos; });
    }
    std::string text() {
        std::lock_guard<std::mutex> lock(mutex_);
        return text_;
    }

  protected:
    int overflow(int c) override {
        if (c != traits_type::eof()) {
            const char ch = static_cast<char>(c);
            xsputn(&ch, 1);
        }
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        std::lock_guard<std::mutex> lock(mutex_);
        text_.append(s, static_cast<std::size_t>(n));
        cv_.notify_all();
        return n;
    }

  private:
    std::streambuf* old_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::string text_;
};

// Inside a death-test child only stderr reaches the parent: a failed check says where and
// ends the child with a code other than the expected one.
#define CHILD_CHECK(condition)                                                                \
    do {                                                                                      \
        if (!(condition)) {                                                                   \
            std::cerr << "check failed at line " << __LINE__ << ": " #condition << std::endl; \
            std::_Exit(3);                                                                    \
        }                                                                                     \
    } while (0)

// A handler's worker that has served a client can only end by ending the process: such tests
// run in a child and expect its end with exit code -1, without a sanitizer report on the way.
inline const auto kNoReport = ::testing::Not(::testing::HasSubstr("Sanitizer"));

// Bounds a death-test child in time: one that still runs after `limit` says so and ends.
inline void childWatchdog(std::chrono::seconds limit = std::chrono::seconds(60)) {
    std::thread([limit] {
        std::this_thread::sleep_for(limit);
        std::cerr << "still running after " << limit.count() << " s" << std::endl;
        std::_Exit(5);
    }).detach();
}

// A death test whose child serves on `port_`, a free port on 127.0.0.1.
template <class Base = ::testing::Test>
class LoopbackDeathTest : public Base {
  protected:
    void SetUp() override {
        Base::SetUp();
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        bridge_test::listenOnLoopback();
        port_ = bridge_test::freeLoopbackPort();
        ASSERT_NE(port_, 0);
    }
    int port_ = 0;
};

// A TCP client of the handler, connected before the first request.
inline std::unique_ptr<zol::DirectBridgeClientTCP> connectedClient(int port) {
    auto client = std::make_unique<zol::DirectBridgeClientTCP>();
    client->init("127.0.0.1", port);
    CHILD_CHECK(client->connectBlocked());
    return client;
}

}  // namespace daemon_test
