// The post-processing stage: decimation, snapshots, flag state, and its worker's queue, copies and
// destruction.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "common/TestEnv.h"
#include "imgproc/OpPostProcessing.h"
#include "imgproc/OpTestSupport.h"

namespace {

using optest::SinkOp;
using optest::SourceOp;

struct PostChain {
    SharedParameterBlock shared;
    SourceOp root{&shared, 8, 4};
    std::atomic<int> hooks{0};
    std::unique_ptr<OpPostProcessing> post{
        new OpPostProcessing(&root, &shared, [this] { ++hooks; })};
    SinkOp sink{post.get(), &shared};

    PostChain() { EXPECT_EQ(root.start(), S_OK); }
    // Hands one frame to the operator (threaded tests read what passed only once it is done).
    void feed(std::uint32_t counter) {
        root.frame->metadata->frameCounter = counter;
        EXPECT_EQ(root.trigger(), S_OK);
    }
    // Pushes frames 1..n with the given flag states; returns the counters that passed.
    std::vector<std::uint32_t> push(int n, std::vector<int> flags = {}) {
        sink.counters.clear();
        for (int i = 1; i <= n; ++i) {
            root.frame->metadata->frameCounter = static_cast<std::uint32_t>(i);
            root.frame->metadata->flagState = flags.empty() ? 0 : flags[i - 1];
            EXPECT_EQ(root.trigger(), S_OK);
        }
        return sink.counters;
    }
};

using Counters = std::vector<std::uint32_t>;

TEST(PostProcessing, DecimationPassesTheRequestedFraction) {
    {
        PostChain c;
        EXPECT_EQ(c.post->getId(), 5);
        EXPECT_EQ(c.push(6), (Counters{1, 2, 3, 4, 5, 6}));
        EXPECT_EQ(c.hooks, 6);
        // Inline the output is the predecessor's frame itself.
        EXPECT_EQ(c.post->frame, c.root.frame);
    }
    {
        PostChain c;
        c.post->setRate(0.5);
        EXPECT_EQ(c.push(6), (Counters{2, 4, 6}));
        EXPECT_EQ(c.hooks, 3);
    }
    {
        PostChain c;
        c.post->setRate(0.25);
        EXPECT_EQ(c.push(12), (Counters{4, 8, 12}));
    }
    {
        PostChain c;
        c.post->setRate(0.0);
        // Passed: changes of the flag state and closed-flag frames.
        EXPECT_EQ(c.push(8, {0, 0, 2, 2, 1, 1, 0, 0}), (Counters{3, 5, 6, 7}));
    }
}

TEST(PostProcessing, SnapshotRequestsPassFramesAtRateZero) {
    PostChain c;
    c.post->setRate(0.0);
    EXPECT_TRUE(c.push(2).empty());
    c.shared.appSnapshotRequest = 1;
    EXPECT_EQ(c.push(1), (Counters{1}));
    c.shared.appSnapshotRequest = 0;
    c.shared.pifSnapshotRequest = 1;
    EXPECT_EQ(c.push(1), (Counters{1}));
}

TEST(PostProcessing, LastFlagStateIsKeptPerOperator) {
    // Two cameras: the frames of one never decide which frames of the other pass.
    PostChain a;
    PostChain b;
    a.post->setRate(0.0);
    b.post->setRate(0.0);
    EXPECT_TRUE(a.push(1, {2}).empty());
    EXPECT_TRUE(b.push(1, {0}).empty());
    EXPECT_TRUE(a.push(1, {2}).empty());
    EXPECT_TRUE(b.push(1, {0}).empty());
}

// Waits until `pred` holds or a second passes.
const auto waitUntil = [](auto pred) {
    return kelvix_test::waitUntil(pred, 1000, std::chrono::milliseconds(1));
};

// Holds the sink's computation until released, counting the computations begun.
struct ComputeGate {
    std::mutex m;
    std::condition_variable cv;
    bool released = false;
    std::atomic<int> computed{0};

    void hold(SinkOp& sink) {
        sink.onCompute = [this] {
            ++computed;
            std::unique_lock<std::mutex> lock(m);
            cv.wait(lock, [this] { return released; });
        };
    }
    void release() {
        std::lock_guard<std::mutex> lock(m);
        released = true;
        cv.notify_all();
    }
};

TEST(PostProcessingThreaded, OnlyTheNewestQueuedFrameRunsAndAllAreReleased) {
    ComputeGate gate;
    PostChain c;
    gate.hold(c.sink);
    c.post->setUseThread(true);
    c.feed(1);  // queued, the worker takes it and blocks in the sink
    ASSERT_TRUE(waitUntil([&] { return gate.computed.load() == 1; }));

    // Three frames wait while the worker is busy.
    for (std::uint32_t counter : {10u, 11u, 12u}) {
        c.feed(counter);
    }
    gate.release();
    ASSERT_TRUE(waitUntil([&] { return c.post->queuedCount() == 0 && gate.computed.load() == 2; }));
    ASSERT_TRUE(waitUntil([&] { return c.hooks == 2; }));
    EXPECT_EQ(c.sink.counters, (Counters{1, 12}));
    EXPECT_EQ(c.post->queuedCount(), 0u);
    // Every record came back for reuse: none is lost and none is still referenced.
    EXPECT_EQ(c.post->spareCount(), 4u);
    EXPECT_EQ(c.post->frame, nullptr);
}

TEST(PostProcessingThreaded, FramesFromTheWorkerCarryTheirOwnCopy) {
    PostChain c;
    c.post->setUseThread(true);
    for (int i = 0; i < 20; ++i) {
        c.root.frame->metadata->frameCounter = static_cast<std::uint32_t>(100 + i);
        c.root.pixels()[0] = static_cast<std::int16_t>(100 + i);
        ASSERT_EQ(c.root.trigger(), S_OK);
        ASSERT_TRUE(waitUntil([&] { return c.post->queuedCount() == 0; }));
    }
    ASSERT_TRUE(waitUntil([&] { return c.hooks == 20; }));
    ASSERT_EQ(c.sink.counters.size(), 20u);
    EXPECT_EQ(c.sink.counters.back(), 119u);
    EXPECT_EQ(c.sink.pixel(0), 119);
    EXPECT_LE(c.post->spareCount(), 4u);
}

TEST(PostProcessingThreaded, DestructionWhileTheWorkerWaitsIsPrompt) {
    SharedParameterBlock shared;
    SourceOp root(&shared, 2, 2);
    auto* post = new OpPostProcessing(&root, &shared);
    ASSERT_EQ(root.start(), S_OK);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));  // let the worker reach its wait
    const auto start = std::chrono::steady_clock::now();
    delete post;
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::milliseconds(200));  // a wake, not a poll or a time-out
}

TEST(PostProcessingThreaded, QueuedFramesAreFreedOnDestruction) {
    ComputeGate gate;
    PostChain c;
    gate.hold(c.sink);
    c.post->setUseThread(true);
    c.feed(1);
    ASSERT_TRUE(waitUntil([&] { return gate.computed.load() == 1; }));
    for (std::uint32_t counter : {2u, 3u, 4u}) {
        c.feed(counter);
    }
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        gate.release();
    });
    c.post.reset();  // joins the worker; the frames still queued are freed (leak checkers see it)
    releaser.join();
    // The older queued frames never run; the newest may, when a busy machine lets the worker
    // take it before the stop.
    EXPECT_LE(gate.computed.load(), 2);
}

}  // namespace
