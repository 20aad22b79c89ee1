// The every-frame choice, which no program of the tool's passes exercises.

#include <thread>
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
    for (const auto& [limit, expected] : runs) {
        FrameReader reader;
        ASSERT_EQ(openReader(path("v.avi"), FrameChoice::everyFrame, limit, reader), "");
        FrameQueue queue;
        std::thread decoder(fillFrameQueue, std::ref(reader), std::ref(queue));
        std::vector<int> indices, shown;
        while (const SourceFrame* next = takeFrame(queue)) {
            indices.push_back(next->index);
            shown.push_back(test::frameIndexOf(next->frame));
            releaseFrame(queue);
        }
        decoder.join();
        EXPECT_EQ(queue.readerEnd, FrameRead::runOver);
        EXPECT_EQ(indices, expected) << "limit " << limit;
        EXPECT_EQ(shown, indices);
    }
}

}  // namespace
}  // namespace dottrack
