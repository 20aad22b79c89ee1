// A run frame by frame: waiting for the first dots, a frame without any, a dot lost, the
// reference of a dot first seen later, and no allocation as dots come into view.

#include <cmath>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "bench/allocation_counter.h"
#include "field/field.h"

namespace dottrack {
namespace {

// An 8 x 6 grid 40 px apart, moved by the affine map `a` (about the origin) and `shift`; the
// dots `hidden` left out.
std::vector<cv::Point2f> grid(const cv::Matx22d& a, cv::Point2d shift,
                              const std::vector<int>& hidden = {}) {
    std::vector<cv::Point2f> centres;
    for (int i = 0; i < 48; ++i) {
        if (std::find(hidden.begin(), hidden.end(), i) == hidden.end()) {
            const cv::Vec2d x = a * cv::Vec2d(60 + 40 * (i % 8), 50 + 40 * (i / 8));
            centres.emplace_back(static_cast<float>(x[0] + shift.x),
                                 static_cast<float>(x[1] + shift.y));
        }
    }
    return centres;
}

TEST(Field, WaitsForDotsAndKeepsThemThroughAFrameWithout) {
    FieldRun run;
    updateField({}, run);
    updateField({{100, 100}}, run);  // one dot tells no spacing: still waiting
    EXPECT_EQ(run.result.dotCount(), 0u);
    EXPECT_FALSE(run.result.motion.fitted);

    const std::vector<cv::Point2f> first = grid(cv::Matx22d::eye(), {});
    updateField(first, run);
    ASSERT_EQ(run.result.dotCount(), 48u);
    EXPECT_EQ(run.result.centres, first);  // numbered in reading order, centres as given
    updateField({}, run);
    for (std::size_t i = 0; i < 48; ++i) {
        EXPECT_EQ(run.result.found[i], 0);
        EXPECT_TRUE(std::isnan(run.result.centres[i].x) && std::isnan(run.result.exx[i]));
    }
    EXPECT_FALSE(run.result.motion.fitted);

    // Back, 12 px on, with dot 20 lost: it alone has no centre, displacement or strain.
    updateField(grid(cv::Matx22d::eye(), {12, 0}, {20}), run);
    ASSERT_EQ(run.result.dotCount(), 48u);
    for (std::size_t i = 0; i < 48; ++i) {
        const bool lost = i == 20;
        EXPECT_EQ(run.result.found[i], lost ? 0 : 1);
        EXPECT_EQ(std::isnan(run.result.displacements[i].x), lost);
        EXPECT_EQ(std::isnan(run.result.areaRatio[i]), lost);
        if (!lost) {
            EXPECT_EQ(run.result.displacements[i], cv::Point2f(12, 0));
        }
    }
    EXPECT_NEAR(run.result.motion.tx, 12, 1e-9);
}

TEST(Field, GivesADotSeenLaterTheReferenceItsNeighboursMapItBackTo) {
    FieldRun run;
    updateField(grid(cv::Matx22d::eye(), {}, {19, 47}), run);
    ASSERT_EQ(run.result.dotCount(), 46u);
    // Sheared, stretched and moved a little each frame; the two dots show from frame 4 on.
    cv::Matx22d a;
    cv::Point2d shift;
    for (int frame = 1; frame <= 6; ++frame) {
        a = cv::Matx22d(1 + 0.004 * frame, 0.006 * frame, -0.002 * frame, 1 - 0.003 * frame);
        shift = {3.0 * frame, -2.0 * frame};
        updateField(grid(a, shift, frame < 4 ? std::vector<int>{19, 47} : std::vector<int>{}), run);
    }
    ASSERT_EQ(run.result.dotCount(), 48u);
    // Where they were in the reference frame, inside the grid and at its corner, though
    // no frame showed them there.
    const cv::Point2f truth[] = {{60 + 40 * 3, 50 + 40 * 2}, {60 + 40 * 7, 50 + 40 * 5}};
    for (int k = 0; k < 2; ++k) {
        const std::size_t dot = 46 + k;
        EXPECT_LT(cv::norm(run.links.references[dot] - truth[k]), 1e-3) << dot;
        const cv::Vec2d now = a * cv::Vec2d(truth[k].x, truth[k].y);
        EXPECT_LT(
            cv::norm(run.result.displacements[dot] -
                     cv::Point2f(now[0] + shift.x - truth[k].x, now[1] + shift.y - truth[k].y)),
            1e-3);
        EXPECT_NEAR(run.result.exy[dot], (a.t() * a)(0, 1) / 2, 1e-6);
    }
}

// Dots coming into view are numbered, joined to their neighbours and measured without a heap
// allocation: the reference frame made room for them. Only the motion fit's RANSAC, inside
// OpenCV, allocates, and is left out.
TEST(Field, AllocatesNothingAfterTheReferenceFrameAsDotsComeIntoView) {
    // A surface of 30 x 6 dots 40 px apart, seen through a view 400 px wide that it slides
    // through by 10 px a frame.
    const auto view = [](int frame) {
        std::vector<cv::Point2f> centres;
        for (int i = 0; i < 180; ++i) {
            const float x = static_cast<float>(20 + 40 * (i % 30) - 10 * frame);
            if (x >= 0 && x < 400) {
                centres.emplace_back(x, static_cast<float>(20 + 40 * (i / 30)));
            }
        }
        return centres;
    };
    FieldRun run;
    updateField(view(0), run);
    const std::size_t referenceDots = run.result.dotCount();
    std::int64_t allocations = 0;
    for (int frame = 1; frame <= 30; ++frame) {
        const std::vector<cv::Point2f> centres = view(frame);
        const std::int64_t before = allocationCount();
        linkFieldDots(centres, run);
        describeFieldDots(centres, run);
        allocations += allocationCount() - before;
        fitFieldMotion(run);
    }
    EXPECT_GE(run.result.dotCount(), referenceDots + 36);
    EXPECT_EQ(allocations, 0);
}

}  // namespace
}  // namespace dottrack
