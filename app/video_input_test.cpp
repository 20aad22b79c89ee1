#include <gtest/gtest.h>

#include <fstream>

#include "app/video_input.h"
#include "tests/support/test_support.h"

namespace dottrack {
namespace {

class VideoInputTest : public ::testing::Test {
protected:
    void SetUp() override { dir_ = test::makeTempDir("dottrack-video"); }
    void TearDown() override { test::removeTree(dir_); }

    // Writes a video whose frames tell their own index, and opens it.
    cv::VideoCapture openIndexedVideo(int frameCount, cv::Size size = cv::Size(640, 480)) {
        const std::string path = dir_ + "/indexed.avi";
        EXPECT_TRUE(test::writeVideo(path, frameCount, size,
                                     [size](int i) { return test::indexedFrame(i, size); }));
        return cv::VideoCapture(path);
    }

    // The frame indices of the next `passes` passes, after the warm-up, each checked
    // against the content of the frame read.
    std::vector<long> passIndices(cv::VideoCapture& capture, int passes) {
        cv::Mat frame;
        long position = 0;
        skipWarmup(capture, frame, position);
        std::vector<long> indices;
        for (int pass = 0; pass < passes; ++pass) {
            const long index = readPassFrame(capture, frame, position);
            indices.push_back(index);
            if (index >= 0) {
                EXPECT_EQ(test::frameIndexOf(frame), index % 64) << "pass " << pass;
            }
        }
        return indices;
    }

    std::string dir_;
};

TEST_F(VideoInputTest, PassesTakeEverySecondFrameAfterTheWarmUp) {
    cv::VideoCapture capture = openIndexedVideo(60);
    EXPECT_EQ(passIndices(capture, 4), (std::vector<long>{46, 48, 50, 52}));
}

TEST_F(VideoInputTest, EvenLengthVideoRewindsWhenTheReadFindsNothing) {
    cv::VideoCapture capture = openIndexedVideo(50);
    // Pass 3 skips frame 49, the last; its read would be empty and starts over instead.
    EXPECT_EQ(passIndices(capture, 8), (std::vector<long>{46, 48, 0, 2, 4, 6, 8, 10}));
}

TEST_F(VideoInputTest, OddLengthVideoRewindsWhenTheSkipFindsNothing) {
    cv::VideoCapture capture = openIndexedVideo(51);
    EXPECT_EQ(passIndices(capture, 5), (std::vector<long>{46, 48, 50, 0, 2}));
}

TEST_F(VideoInputTest, ShortVideoIsUsedUpByTheWarmUpAndStartsOver) {
    cv::VideoCapture capture = openIndexedVideo(40);
    // 40 frames: the warm-up reads past the end; every pass comes back round.
    const std::vector<long> indices = passIndices(capture, 25);
    EXPECT_EQ(indices[0], 0);
    for (size_t pass = 1; pass < indices.size(); ++pass) {
        EXPECT_EQ(indices[pass], indices[pass - 1] + 2 < 40 ? indices[pass - 1] + 2 : 0)
            << "pass " << pass;
    }
}

TEST_F(VideoInputTest, VideoWithoutFramesYieldsNone) {
    const std::string path = dir_ + "/empty.avi";
    {
        cv::VideoWriter writer(path, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 30.0,
                               cv::Size(640, 480), true);
        ASSERT_TRUE(writer.isOpened());
    }
    cv::VideoCapture capture(path);
    if (!capture.isOpened()) {
        GTEST_SKIP() << "this OpenCV refuses to open a video without frames";
    }
    EXPECT_EQ(passIndices(capture, 2), (std::vector<long>{-1, -1}));
}

TEST_F(VideoInputTest, SilencedLogIsRestored) {
    const auto before = cv::utils::logging::getLogLevel();
    const auto previous = silenceOpenCvLog();
    EXPECT_EQ(previous, before);
    EXPECT_EQ(cv::utils::logging::getLogLevel(), cv::utils::logging::LOG_LEVEL_SILENT);
    restoreOpenCvLog(previous);
    EXPECT_EQ(cv::utils::logging::getLogLevel(), before);
}

}  // namespace
}  // namespace dottrack
