// What the bench's figures rest on: its floors do their stages' work, a pass allocates no
// more than their OpenCV calls, and the counter sees those allocations.

#include <cstdint>

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "bench/allocation_counter.h"
#include "bench/stage_floors.h"
#include "conditioning/conditioning.h"
#include "measure/measure.h"
#include "pipeline/pipeline.h"
#include "tracking/tracking.h"

namespace dottrack {
namespace {

template <typename Allocate>
std::int64_t allocationsOf(Allocate allocate) {
    const std::int64_t before = allocationCount();
    allocate();
    return allocationCount() - before;
}

// A bright surface with dark dots drifting across it, and noise.
cv::Mat movingDotsFrame(int index) {
    cv::Mat frame(480, 640, CV_8UC3, cv::Scalar(90, 210, 200));
    cv::RNG rng(index);
    for (int dot = 0; dot < 40; ++dot) {
        const cv::Point centre(rng.uniform(0, 640) + index, rng.uniform(0, 480));
        cv::circle(frame, centre, rng.uniform(3, 9), cv::Scalar(40, 30, 30), cv::FILLED);
    }
    cv::Mat noise(frame.size(), CV_8UC3);
    rng.fill(noise, cv::RNG::UNIFORM, 0, 20);
    return frame + noise;
}

// After the first pass every image and list has its buffer: a pass may allocate only what
// OpenCV's own calls allocate (measured on their bare floors, same frame), plus the one
// temporary image of the band-pass expression in buildMini; the measurement only what its
// robust fit allocates. The code around the OpenCV calls allocates nothing.
TEST(AllocationBudget, PassAndMeasurementAllocateNoMoreThanTheirOpenCvCalls) {
    // One thread, as the tool runs: OpenCV's workers allocate their own whenever they first
    // take work, which on a busy machine may be in any pass.
    cv::setNumThreads(1);
    TrackState state;
    prepareTrackState(state);
    Measurement measurement;
    cv::Mat floorMix, floorMini, inliers;
    MiniFloorBuffers buffers;
    const auto floors = [&](const cv::Mat& frame) {
        buildMix(frame, floorMix);
        return allocationsOf([&] {
            conditionFloor(floorMix);
            miniFloor(floorMix, floorMini, buffers);
            targetsFloor(floorMini, floorMix);
        });
    };
    trackFrame(movingDotsFrame(0), true, state);
    measurePass(movingDotsFrame(0), state.targets, state.assignment, true, measurement);
    floors(movingDotsFrame(0));
    const std::int64_t temporary =
        allocationsOf([] { cv::Mat contrast(miniRows, miniCols, CV_32FC1); });
    ASSERT_GE(temporary, 1);
    for (int index = 1; index < 8; ++index) {
        SCOPED_TRACE("pass " + std::to_string(index));
        const cv::Mat frame = movingDotsFrame(index);
        EXPECT_LE(allocationsOf([&] { trackFrame(frame, false, state); }),
                  floors(frame) + temporary);
        // A floor is only a floor if it does its stage's work: the same images, to the bit.
        EXPECT_EQ(cv::norm(state.mix, floorMix, cv::NORM_INF), 0.0);
        EXPECT_EQ(cv::norm(state.mini, floorMini, cv::NORM_INF), 0.0);
        const std::int64_t measured = allocationsOf(
            [&] { measurePass(frame, state.targets, state.assignment, false, measurement); });
        EXPECT_LE(measured, allocationsOf([&] {
                      measureFloor(measurement.fit.from, measurement.fit.to,
                                   measurement.outlierDistance, inliers);
                  }));
        EXPECT_EQ(allocationsOf([&] { buildMix(frame, state.mix); }), 0);
        EXPECT_EQ(allocationsOf([&] {
                      updateMaker(state.targets, state.refMarkers, state.markers, state.assignment);
                  }),
                  0);
    }
}

}  // namespace
}  // namespace dottrack
