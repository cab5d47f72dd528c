// The operator base: frame metadata records, the run rules of the graph, the tracer and the
// radial-distortion stage.
#include <gtest/gtest.h>

#include "imgproc/OpBase.h"
#include "imgproc/OpREA.h"
#include "imgproc/OpTestSupport.h"
#include "imgproc/TraceOp.h"

namespace {

using optest::SinkOp;
using optest::SourceOp;

int g_doneCalls = 0;
void countDone(FrameDoneRecord*) {
    ++g_doneCalls;
}

TEST(OpBase, RunIsRefusedWithoutFrameOrOutsideReadyAndDone) {
    SharedParameterBlock shared;
    SourceOp root(&shared, 4, 2);
    EXPECT_EQ(root.run(), E_FAIL);
    EXPECT_EQ(root.state, OpBase::Constructed);

    ASSERT_EQ(root.start(), S_OK);
    EXPECT_EQ(root.state, OpBase::Ready);
    for (int blocked : {OpBase::Initialising, OpBase::Processing}) {
        root.state = blocked;
        EXPECT_EQ(root.run(), E_FAIL);
        EXPECT_EQ(root.state, blocked);
    }
    root.state = OpBase::Done;
    EXPECT_EQ(root.run(), S_OK);
    EXPECT_EQ(root.state, OpBase::Done);
}

TEST(OpBase, NonZeroComputeStopsTheFrameAtTheOperator) {
    SharedParameterBlock shared;
    SourceOp root(&shared, 4, 2);
    SinkOp sink(&root, &shared);
    ASSERT_EQ(root.start(), S_OK);
    EXPECT_EQ(sink.inits, 1);
    g_doneCalls = 0;
    root.frameDoneCallback = countDone;

    root.computeResult = 1;
    EXPECT_EQ(root.trigger(), 1);
    EXPECT_EQ(g_doneCalls, 0);
    EXPECT_TRUE(sink.counters.empty());
    EXPECT_EQ(root.state, OpBase::Done);

    root.computeResult = S_OK;
    root.frame->metadata->frameCounter = 7;
    EXPECT_EQ(root.trigger(), S_OK);
    EXPECT_EQ(g_doneCalls, 1);
    ASSERT_EQ(sink.counters.size(), 1u);
    EXPECT_EQ(sink.counters[0], 7u);
}

TEST(OpBase, FailingSuccessorInitLeavesTheOperatorInitialising) {
    SharedParameterBlock shared;
    SourceOp root(&shared, 4, 2);
    SinkOp bad(&root, &shared);
    SinkOp never(&root, &shared);
    bad.initResult = E_INVALIDARG;
    EXPECT_EQ(root.start(), E_INVALIDARG);
    EXPECT_EQ(root.state, OpBase::Initialising);
    EXPECT_EQ(never.inits, 0);
}

TEST(OpBase, FindByIdSearchesUpAndDown) {
    SharedParameterBlock shared;
    SourceOp root(&shared, 2, 2, 0);
    SinkOp a(&root, &shared, 1);
    SinkOp b(&a, &shared, 3);
    SinkOp c(&root, &shared, 4);
    SinkOp d(&c, &shared, 5);

    EXPECT_EQ(b.findById(3, true, true), &b);
    EXPECT_EQ(b.findById(0, true, false), &root);
    EXPECT_EQ(b.findById(1, true, false), &a);
    // Upward search does not turn down into sibling branches.
    EXPECT_EQ(b.findById(5, true, false), nullptr);
    EXPECT_EQ(root.findById(5, false, true), &d);
    EXPECT_EQ(root.findById(5, false, false), nullptr);
    // On the root the upward search finds nothing, the downward one still runs.
    EXPECT_EQ(root.findById(3, true, true), &b);
    EXPECT_EQ(a.findById(4, false, true), nullptr);
}

TEST(FrameMetadata, FreshRecordHoldsTheAllocationValues) {
    FrameMetadataRecord* m = OpBase::allocateMetadata();
    EXPECT_EQ(+m->recordSize, 78);
    EXPECT_EQ(+m->frameCounter, 0u);
    EXPECT_EQ(+m->hwFrameCounter, 0u);
    EXPECT_EQ(+m->timestamp, 0);
    EXPECT_EQ(+m->flagState, 4);
    EXPECT_EQ(+m->settleMarker, 0u);
    EXPECT_EQ(+m->tempChip, -100.0f);
    EXPECT_EQ(+m->tempFlag, -100.0f);
    EXPECT_EQ(+m->tempBox, -100.0f);
    EXPECT_EQ(+m->tempOptics, -100.0f);
    EXPECT_EQ(+m->digitalInputCount, 1);
    EXPECT_EQ(+m->digitalInputBits, 0xFFFFFFFFu);
    EXPECT_EQ(+m->analogCount, 1);
    EXPECT_EQ(+m->analog(0), 0xFFFF);
    // Little-endian bytes at the documented offsets.
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(m);
    EXPECT_EQ(bytes[0], 78);
    EXPECT_EQ(bytes[26], 4);
    EXPECT_EQ(bytes[70], 0xFF);
    EXPECT_EQ(bytes[74], 1);
    OpBase::freeMetadata(m);
}

TEST(FrameMetadata, ResizeGrowsWithNoValueEntriesAndShrinksToTheFixedPart) {
    FrameMetadataRecord* m = OpBase::allocateMetadata();
    m->setAnalog(0, 123);
    m->frameCounter = 42;
    EXPECT_EQ(OpBase::resizeMetadata(m, 1), m);

    m = OpBase::resizeMetadata(m, 3);
    EXPECT_EQ(+m->recordSize, 82);
    EXPECT_EQ(+m->analogCount, 3);
    EXPECT_EQ(+m->frameCounter, 42u);
    EXPECT_EQ(+m->analog(0), 123);
    EXPECT_EQ(+m->analog(1), 0xFFFF);
    EXPECT_EQ(+m->analog(2), 0xFFFF);

    m = OpBase::resizeMetadata(m, 0);
    EXPECT_EQ(+m->recordSize, 78);
    EXPECT_EQ(+m->analogCount, 0);
    EXPECT_EQ(+m->frameCounter, 42u);
    OpBase::freeMetadata(m);
    EXPECT_EQ(OpBase::resizeMetadata(nullptr, 2), nullptr);
}

TEST(FrameMetadata, CopyIntoADifferentSizeReplacesTheDestination) {
    FrameMetadataRecord* src = OpBase::resizeMetadata(OpBase::allocateMetadata(), 2);
    src->setAnalog(1, 77);
    src->hwFrameCounter = 9;
    FrameMetadataRecord* dst = OpBase::allocateMetadata();
    dst = OpBase::copyMetadata(src, dst);
    EXPECT_EQ(+dst->recordSize, 80);
    EXPECT_EQ(+dst->analogCount, 2);
    EXPECT_EQ(+dst->analog(1), 77);
    EXPECT_EQ(+dst->hwFrameCounter, 9u);
    EXPECT_EQ(OpBase::copyMetadata(src, nullptr), nullptr);
    OpBase::freeMetadata(src);
    OpBase::freeMetadata(dst);
}

TEST(RadDistCorr, CopiesFrameAndFixedMetadataKeepingItsOwnTail) {
    SharedParameterBlock shared;
    SourceOp root(&shared, 382, 288);
    OpREA_RadDistCorr rea(&root, &shared);
    ASSERT_EQ(root.start(), S_OK);
    EXPECT_EQ(rea.getId(), 7);
    EXPECT_EQ(rea.frame->format->contentKind, 1u);
    for (int i = 0; i < 382 * 288; ++i) {
        root.pixels()[i] = static_cast<std::int16_t>(i * 7);
    }
    root.frame->metadata = OpBase::resizeMetadata(root.frame->metadata, 3);
    root.frame->metadata->setAnalog(0, 11);
    root.frame->metadata->setAnalog(2, 33);
    root.frame->metadata->tempBox = 21.5f;
    ASSERT_EQ(root.trigger(), S_OK);
    EXPECT_EQ(std::memcmp(rea.frame->pixels, root.frame->pixels, 382 * 288 * 2), 0);
    const FrameMetadataRecord* m = rea.frame->metadata;
    EXPECT_EQ(+m->tempBox, 21.5f);
    EXPECT_EQ(+m->analog(0), 11);
    // The size and count match the record's own allocation; the tail keeps its own values.
    EXPECT_EQ(+m->recordSize, 82);
    EXPECT_EQ(+m->analogCount, 3);
    EXPECT_EQ(m->analog(2), 0xFFFF);
}

TEST(TraceOp, RecordsOnlyWhileActiveAndPrintsMatchingBuffers) {
    TraceOp* t = TraceOp::getInstance();
    t->clear();
    const std::int16_t in[3] = {1, -2, 3};
    const std::int16_t out[3] = {10, -20, 30};
    t->recordPre("a", in, 3);
    EXPECT_EQ(t->inputCount(), 0u);

    t->setActive(true);
    t->recordPre("a", nullptr, 3);
    t->recordPre("a", in, 0);
    EXPECT_EQ(t->inputCount(), 0u);
    t->recordPre("a", in, 3);
    t->recordPost("a", out, 3);
    t->recordPre("b", out, 2);
    EXPECT_EQ(t->inputCount(), 2u);
    EXPECT_EQ(t->outputCount(), 1u);

    testing::internal::CaptureStdout();
    t->print(1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    t->recordPost("b", in, 3);  // the size change replaces the buffer
    t->recordPre("b", out, 3);
    testing::internal::CaptureStdout();
    t->print(1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "a: -2 -20\nb: -20 -2\n");

    // An index outside any buffer prints nothing rather than reading past it.
    testing::internal::CaptureStdout();
    t->print(3);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    t->setActive(false);
    testing::internal::CaptureStdout();
    t->print(0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    t->clear();
}

TEST(TraceOp, OperatorRunsRecordInputAndOutputUnderTheirNames) {
    TraceOp* t = TraceOp::getInstance();
    t->clear();
    t->setActive(true);
    SharedParameterBlock shared;
    SourceOp root(&shared, 2, 1);
    SinkOp sink(&root, &shared);
    ASSERT_EQ(root.start(), S_OK);
    root.pixels()[1] = -5;
    ASSERT_EQ(root.trigger(), S_OK);
    ASSERT_EQ(t->names().size(), 2u);
    EXPECT_EQ(t->names()[0], "# Test source");
    EXPECT_EQ(t->names()[1], "# Test sink");
    testing::internal::CaptureStdout();
    t->print(1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "# Test source: -5 -5\n# Test sink: -5 -5\n");
    t->setActive(false);
    t->clear();
}

}  // namespace
