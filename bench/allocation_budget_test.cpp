#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "app/track_frame.h"
#include "bench/allocation_counter.h"
#include "bench/stage_floors.h"
#include "conditioning/conditioning.h"
#include "detection/detection.h"
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

TEST(AllocationCounter, CountsEachWayOfAllocatingOnce) {
    EXPECT_EQ(allocationsOf([] { sink = std::malloc(100); }), 1);
    std::free(sink);
    EXPECT_EQ(allocationsOf([] { sink = std::calloc(10, 10); }), 1);
    EXPECT_EQ(allocationsOf([] { sink = std::realloc(sink, 5000); }), 1);
    std::free(sink);
    EXPECT_EQ(allocationsOf([] { sink = std::aligned_alloc(64, 128); }), 1);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(sink) % 64, 0u);
    std::free(sink);
    void* block = nullptr;
    EXPECT_EQ(allocationsOf([&] { EXPECT_EQ(posix_memalign(&block, 4096, 100), 0); }), 1);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % 4096, 0u);
    std::free(block);
    EXPECT_EQ(allocationsOf([] { sink = new std::int64_t[3]; }), 1);
    delete[] static_cast<std::int64_t*>(sink);
    // OpenCV allocates image data inside its own library.
    EXPECT_GE(allocationsOf([] { cv::Mat image(100, 100, CV_8UC1); }), 1);
    EXPECT_EQ(allocationsOf([] {}), 0);
}

TEST(AllocationCounter, CountsAllocationsOfOtherThreads) {
    std::atomic<bool> go{false};
    std::atomic<bool> done{false};
    constexpr int blocks = 100;
    std::thread worker([&] {
        while (!go.load()) {
            std::this_thread::yield();
        }
        for (int i = 0; i < blocks; ++i) {
            sink = std::malloc(64);
            std::free(sink);
        }
        done.store(true);
    });
    const std::int64_t before = allocationCount();
    go.store(true);
    while (!done.load()) {
        std::this_thread::yield();
    }
    const std::int64_t made = allocationCount() - before;
    worker.join();
    EXPECT_GE(made, blocks);
    EXPECT_LE(made, blocks + 10);
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
// one temporary image of the band-pass expression in buildMini.
TEST(AllocationBudget, PassAllocatesNoMoreThanItsOpenCvCallsAndTheBandPassTemporary) {
    TrackState state;
    prepareTrackState(state);
    cv::Mat floorMix;
    cv::Mat floorMini;
    MiniFloorBuffers buffers;
    const cv::Mat first = movingDotsFrame(0);
    trackFrame(first, true, state);
    buildMix(first, floorMix);
    conditionFloor(floorMix);
    miniFloor(floorMix, floorMini, buffers);
    targetsFloor(floorMini, floorMix);

    const std::int64_t temporary =
        allocationsOf([] { cv::Mat contrast(miniRows, miniCols, CV_32FC1); });
    ASSERT_GE(temporary, 1);

    for (int index = 1; index < 8; ++index) {
        const cv::Mat frame = movingDotsFrame(index);
        const std::int64_t pass = allocationsOf([&] { trackFrame(frame, false, state); });

        // The same pass stage by stage, on the same images, beside each floor.
        const std::int64_t mix = allocationsOf([&] { buildMix(frame, state.mix); });
        buildMix(frame, floorMix);
        const std::int64_t condition = allocationsOf([&] { conditionMix(state.mix); });
        const std::int64_t conditionBare = allocationsOf([&] { conditionFloor(floorMix); });
        const std::int64_t mini = allocationsOf([&] { buildMini(state.mix, state.mini); });
        const std::int64_t miniBare =
            allocationsOf([&] { miniFloor(floorMix, floorMini, buffers); });
        const std::int64_t targets =
            allocationsOf([&] { findTargets(state.mini, state.mix, state.targets); });
        const std::int64_t targetsBare = allocationsOf([&] { targetsFloor(floorMini, floorMix); });
        const std::int64_t tracking = allocationsOf(
            [&] { updateMaker(state.targets, state.refMarkers, state.markers, state.assignment); });

        EXPECT_LE(pass, conditionBare + miniBare + targetsBare + temporary) << "pass " << index;
        EXPECT_EQ(mix, 0) << "pass " << index;
        EXPECT_LE(condition, conditionBare) << "pass " << index;
        EXPECT_LE(mini, miniBare + temporary) << "pass " << index;
        EXPECT_LE(targets, targetsBare) << "pass " << index;
        EXPECT_EQ(tracking, 0) << "pass " << index;
    }
}

}  // namespace
}  // namespace dottrack
