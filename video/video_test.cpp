// The every-frame choice, which no program of the tool's passes exercises, and the loop that
// every program runs its frames through, in turn or decoded ahead.

#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/test_support.h"
#include "video/video.h"

namespace dottrack {
namespace {

using EveryFrame = test::ScratchDirTest;

TEST_F(EveryFrame, TakesEachFrameInOrderForOneTripOrUpToTheLimit) {
    ASSERT_TRUE(test::writeIndexedVideo(path("v.avi"), 5));
    EXPECT_EQ(framesInOneTrip(FrameChoice::everyFrame, 5), 5);
    const std::pair<std::int64_t, std::vector<int>> runs[] = {{0, {0, 1, 2, 3, 4}},
                                                              {7, {0, 1, 2, 3, 4, 0, 1}}};
    for (const bool decodeAhead : {false, true}) {
        for (const auto& [limit, expected] : runs) {
            SCOPED_TRACE(std::string(decodeAhead ? "ahead" : "in turn") + ", limit " +
                         std::to_string(limit));
            FrameReader reader;
            ASSERT_EQ(openReader(path("v.avi"), FrameChoice::everyFrame, limit, reader), "");
            std::vector<int> indices, shown;
            std::string error = "left over";
            const auto take = [&](const SourceFrame& next) {
                indices.push_back(next.index);
                shown.push_back(test::frameIndexOf(next.frame));
                return true;
            };
            EXPECT_EQ(forEachFrame(reader, decodeAhead, take, error), FrameRead::runOver);
            EXPECT_EQ(error, "");
            EXPECT_EQ(indices, expected);
            EXPECT_EQ(shown, indices);
        }
    }
}

// A run that stops or throws at a frame takes no frame after it, and the reader's thread is
// joined on the way out (a thread left running would end the test at once).
TEST_F(EveryFrame, EndsWhereTheRunStopsOrThrowsAndSaysWhenThereIsNoFrame) {
    ASSERT_TRUE(test::writeIndexedVideo(path("v.avi"), 20));
    ASSERT_TRUE(test::writeIndexedVideo(path("none.avi"), 0));
    for (const bool decodeAhead : {false, true}) {
        for (const bool throws : {false, true}) {
            FrameReader reader;
            ASSERT_EQ(openReader(path("v.avi"), FrameChoice::everyFrame, 0, reader), "");
            std::vector<long> indices;
            const auto take = [&](const SourceFrame& next) {
                indices.push_back(next.index);
                if (throws && next.index == 3) {
                    throw std::runtime_error("frame 3");
                }
                return next.index < 3;
            };
            std::string error;
            if (throws) {
                EXPECT_THROW(forEachFrame(reader, decodeAhead, take, error), std::runtime_error);
            } else {
                EXPECT_EQ(forEachFrame(reader, decodeAhead, take, error), FrameRead::runOver);
            }
            EXPECT_EQ(indices, (std::vector<long>{0, 1, 2, 3})) << decodeAhead << throws;
        }
        FrameReader reader;
        ASSERT_EQ(openReader(path("none.avi"), FrameChoice::everyFrame, 0, reader), "");
        std::string error;
        EXPECT_EQ(forEachFrame(
                      reader, decodeAhead, [](const SourceFrame&) { return true; }, error),
                  FrameRead::noFrame);
    }
}

}  // namespace
}  // namespace dottrack
