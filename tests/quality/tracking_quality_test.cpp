// How closely the markers follow the dots of the sample video, motion by motion, measured
// against the true dot centres that the sample generator knows.

#include <gtest/gtest.h>

#include <cstdlib>

#include "app/track_frame.h"
#include "app/video_input.h"
#include "tests/support/test_support.h"
#include "tests/support/tracking_quality.h"
#include "tools/sample/sample_scene.h"

namespace dottrack {
namespace {

class TrackingQualityTest : public ::testing::Test {
protected:
    void SetUp() override { dir_ = test::makeTempDir("dottrack-quality"); }
    void TearDown() override { test::removeTree(dir_); }
    std::string dir_;
};

TEST_F(TrackingQualityTest, MarkersFollowTheirDotsThroughEveryMotion) {
    // The video goes through the real writer and decoder, as the tool would see it.
    const std::string video = dir_ + "/test.avi";
    const std::string command = std::string(DOTTRACK_SAMPLE_EXE) + " '" + video + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    const SampleScene scene = makeScene(1);
    const int frameCount = sampleDefaultFrameCount;

    cv::VideoCapture capture(video);
    ASSERT_TRUE(capture.isOpened());
    cv::Mat frame;
    long position = 0;
    skipWarmup(capture, frame, position);
    TrackState state;
    prepareTrackState(state);

    // About two trips through the video (180 passes, then 203 a trip), so that the tracker
    // crosses the rewind too.
    const int passes = 400;
    test::TrackingQuality quality;
    for (int pass = 0; pass < passes; ++pass) {
        const long frameIndex = readPassFrame(capture, frame, position);
        ASSERT_GE(frameIndex, 0);
        trackFrame(frame, pass == 0, state);
        const int frameNumber = static_cast<int>(frameIndex);
        test::addPass(quality, motionAt(frameNumber, frameCount),
                      dotCentresAt(scene, frameNumber, frameCount), state.markers);
    }
    test::expectTrackingQuality(quality);
}

}  // namespace
}  // namespace dottrack
