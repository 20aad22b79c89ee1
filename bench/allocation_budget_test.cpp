#include <cstdint>
#include <cstdlib>
#include <thread>

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "app/track_frame.h"
#include "bench/allocation_counter.h"
#include "bench/stage_floors.h"
#include "conditioning/conditioning.h"
#include "tracking/tracking.h"

namespace dottrack {
namespace {

// Keeps the compiler from dropping an allocation whose block is never used.
void* volatile sink = nullptr;

template <typename Allocate>
std::int64_t allocationsOf(Allocate allocate) {
    const std::int64_t before = allocationCount();
    allocate();
    return allocationCount() - before;
}

// Every entry point once, on this thread or another (the export decodes on a second one).
TEST(AllocationCounter, CountsEachWayOfAllocatingOnceOnAnyThread) {
    EXPECT_EQ(allocationsOf([] { sink = std::malloc(100); }), 1);
    EXPECT_EQ(allocationsOf([] { sink = std::realloc(sink, 5000); }), 1);
    std::free(sink);
    EXPECT_EQ(allocationsOf([] { sink = std::calloc(10, 10); }), 1);
    std::free(sink);
    EXPECT_EQ(allocationsOf([] { sink = std::aligned_alloc(64, 128); }), 1);
    std::free(sink);
    void* block = nullptr;
    EXPECT_EQ(allocationsOf([&] { EXPECT_EQ(posix_memalign(&block, 4096, 100), 0); }), 1);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % 4096, 0u);
    std::free(block);
    EXPECT_EQ(allocationsOf([] { sink = new std::int64_t[3]; }), 1);
    delete[] static_cast<std::int64_t*>(sink);
    // OpenCV allocates image data inside its own library.
    EXPECT_GE(allocationsOf([] { cv::Mat image(100, 100, CV_8UC1); }), 1);

    // Starting the thread may allocate a few blocks of its own.
    const std::int64_t made = allocationsOf([] {
        std::thread worker([] {
            for (int i = 0; i < 100; ++i) {
                std::free(sink = std::malloc(64));
            }
        });
        worker.join();
    });
    EXPECT_GE(made, 100);
    EXPECT_LE(made, 110);
}

// A bright surface with a few dark dots drifting across it.
cv::Mat movingDotsFrame(int index) {
    cv::Mat frame(480, 640, CV_8UC3, cv::Scalar(90, 210, 200));
    for (int dot = 0; dot < 6; ++dot) {
        const cv::Point centre(80 + 90 * dot + 2 * index, 100 + 50 * (dot % 3) + index);
        cv::circle(frame, centre, 6, cv::Scalar(40, 30, 30), cv::FILLED, cv::LINE_AA);
    }
    return frame;
}

// After the first pass every image and list has its buffer: a pass may allocate only
// what OpenCV's own calls allocate (measured on their bare floors, same frame), plus the
// one temporary image of the band-pass expression in buildMini. The stages around the
// OpenCV calls allocate nothing.
TEST(AllocationBudget, PassAllocatesNoMoreThanItsOpenCvCallsAndTheBandPassTemporary) {
    TrackState state;
    prepareTrackState(state);
    cv::Mat floorMix;
    cv::Mat floorMini;
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
    floors(movingDotsFrame(0));
    const std::int64_t temporary =
        allocationsOf([] { cv::Mat contrast(miniRows, miniCols, CV_32FC1); });
    ASSERT_GE(temporary, 1);
    for (int index = 1; index < 8; ++index) {
        SCOPED_TRACE("pass " + std::to_string(index));
        const cv::Mat frame = movingDotsFrame(index);
        const std::int64_t pass = allocationsOf([&] { trackFrame(frame, false, state); });
        EXPECT_LE(pass, floors(frame) + temporary);
        EXPECT_EQ(allocationsOf([&] { buildMix(frame, state.mix); }), 0);
        EXPECT_EQ(allocationsOf([&] {
                      updateMaker(state.targets, state.refMarkers, state.markers, state.assignment);
                  }),
                  0);
    }
}

}  // namespace
}  // namespace dottrack
