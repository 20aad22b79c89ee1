// The every-frame choice, which no program of the tool's passes exercises, through the loop
// that every program runs its frames in: in turn or decoded ahead.

#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/test_support.h"
#include "video/video.h"

namespace dottrack {
namespace {

using EveryFrame = test::ScratchDirTest;

// A run that stops or throws at a frame takes none after it, and the reader's thread is
// joined on the way out (a thread left running would end the test at once).
TEST_F(EveryFrame, TakesEachFrameInOrderForOneTripUpToTheLimitOrUntilTheRunEnds) {
    ASSERT_TRUE(test::writeIndexedVideo(path("v.avi"), 5));
    EXPECT_EQ(framesInOneTrip(FrameChoice::everyFrame, 5), 5);
    const struct {
        std::int64_t limit;
        long stopAt, throwAt;  // -1: never
        std::vector<long> expected;
    } runs[] = {{0, -1, -1, {0, 1, 2, 3, 4}},
                {7, -1, -1, {0, 1, 2, 3, 4, 0, 1}},
                {0, 2, -1, {0, 1, 2}},
                {0, -1, 3, {0, 1, 2, 3}}};
    for (const bool decodeAhead : {false, true}) {
        for (const auto& run : runs) {
            FrameReader reader;
            ASSERT_EQ(openReader(path("v.avi"), FrameChoice::everyFrame, run.limit, reader), "");
            std::vector<long> indices;
            const auto take = [&](const SourceFrame& next) {
                indices.push_back(next.index);
                EXPECT_EQ(test::frameIndexOf(next.frame), next.index);
                if (next.index == run.throwAt) {
                    throw std::runtime_error("the run gives up");
                }
                return next.index != run.stopAt;
            };
            std::string error = "left over";
            try {
                EXPECT_EQ(forEachFrame(reader, decodeAhead, take, error), FrameRead::runOver);
                EXPECT_EQ(error, "");
            } catch (const std::runtime_error&) {
                EXPECT_NE(run.throwAt, -1);
            }
            EXPECT_EQ(indices, run.expected) << "decoded ahead: " << decodeAhead;
        }
    }
}

}  // namespace
}  // namespace dottrack
