// The stages of a pass fed with random and hostile frames: whatever the picture, every pass
// yields 30 well separated targets inside the image and a consistent marker assignment.

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "app/track_frame.h"
#include "conditioning/conditioning.h"
#include "detection/detection.h"
#include "tracking/tracking.h"

namespace dottrack {
namespace {

// Two targets are at least this far apart along x or along y: their coarse finds lie
// outside each other's 13 x 13 suppression square (7 map pixels, 56 px) and each is
// refined within its own 8 x 8 block (at most 7 px).
constexpr float minTargetSeparation = 49.0f;

// Frame `index` of a sequence of pictures of one kind: noise, flat grey levels and stripes;
// dots on the borders and corners; a grid of dots shaking by up to 20 px, its dots
// vanishing and coming back.
void makeFrame(int kind, int index, cv::RNG& rng, cv::Mat& frame) {
    frame.create(mixRows, mixCols, CV_8UC3);
    frame.setTo(cv::Scalar(205, 210, 215));
    std::vector<cv::Point> dots;
    if (kind == 0 && index % 2 == 0) {
        rng.fill(frame, cv::RNG::UNIFORM, 0, 256);
    } else if (kind == 0) {
        frame.setTo(cv::Scalar::all(index == 1 ? 0 : index == 3 ? 255 : rng.uniform(0, 256)));
        for (int at = 40; index > 3 && at < mixCols + 100; at += 3 + index) {
            cv::line(frame, {at, 0}, {at - 100, mixRows}, cv::Scalar(25, 30, 35), 2);
        }
    } else if (kind == 1) {
        for (int i = 0; i < 30; ++i) {
            const int off = rng.uniform(-4, 5);
            const int x = rng.uniform(0, mixCols), y = rng.uniform(0, mixRows);
            const cv::Point sides[] = {{x, off}, {x, mixRows - 1 + off}, {off, y},
                                       {mixCols - 1 + off, y}, {(i % 2) * (mixCols - 1), 0}};
            dots.push_back(sides[i % 5]);
        }
    } else {
        const int reach = index < 50 ? 3 : 20;
        const cv::Point shift(rng.uniform(-reach, reach + 1), rng.uniform(-reach, reach + 1));
        for (int i = 0; i < 30 && index % 5 != 4; ++i) {
            if (rng.uniform(0, 3) != 0 || index % 10 < 5) {
                dots.push_back(shift + cv::Point(70 + 100 * (i % 6), 50 + 95 * (i / 6)));
            }
        }
    }
    const int radius = kind == 2 ? 6 : rng.uniform(2, 9);
    for (const cv::Point& dot : dots) {
        cv::circle(frame, dot, radius, cv::Scalar(25, 30, 35), cv::FILLED, cv::LINE_AA);
    }
}

// Runs one pass on `frame` and checks everything that must hold after it. A marker's
// distance to its target is taken from where the update started: the seeds, i.e. the
// targets, on the first pass.
void trackAndCheck(const cv::Mat& frame, bool firstPass, TrackState& state) {
    std::vector<cv::Point2f> trackedBefore = state.markers;
    trackFrame(frame, firstPass, state);
    const std::vector<cv::Point2f>& targets = state.targets;
    trackedBefore = firstPass ? targets : trackedBefore;
    for (const size_t length :
         {targets.size(), state.markers.size(), state.refMarkers.size(), state.assignment.size()}) {
        ASSERT_EQ(length, size_t{targetCount});
    }
    std::vector<int> holders(targetCount, 0);
    for (int i = 0; i < targetCount; ++i) {
        const cv::Point2f t = targets[i];
        ASSERT_TRUE(t.x == std::floor(t.x) && t.y == std::floor(t.y) && t.x >= 0 && t.x < mixCols &&
                    t.y >= 0 && t.y < mixRows)
            << "target " << i << " at " << t;
        for (int j = 0; j < i; ++j) {
            const cv::Point2f d = t - targets[j];
            ASSERT_TRUE(std::abs(d.x) >= minTargetSeparation ||
                        std::abs(d.y) >= minTargetSeparation)
                << "targets " << j << " " << targets[j] << " and " << i << " " << t;
        }
        const cv::Point2f m = state.markers[i], r = state.refMarkers[i];
        ASSERT_TRUE(std::isfinite(m.x + m.y + r.x + r.y)) << "marker " << i << " at " << m;
        // Seeded on the targets, every marker holds its own on the first pass.
        const int held = state.assignment[i];
        ASSERT_TRUE(held >= -1 && held < targetCount && (!firstPass || held == i))
            << "marker " << i << " holds target " << held;
        if (held >= 0) {
            ASSERT_EQ(++holders[held], 1) << "target " << held << " is held twice";
            ASSERT_LE(trackingDistance(trackedBefore[i], targets[held]), 30.0)
                << "marker " << i << " at " << trackedBefore[i] << ", target " << targets[held];
        }
    }
}

// Each kind runs from a fresh state, markers seeded on its first frame; the same frames
// also go through one long run, in which markers seeded on noise meet every other kind of
// picture. Both are checked at every pass. The first round runs the fresh states alone: no
// stage may carry results of its own from one call to the next, so the passes of the long
// run, in between, must not change them.
TEST(TrackFrameProperties, HoldOnRandomAndHostileFrames) {
    const int framesOfKind[] = {30, 30, 100};
    std::vector<std::vector<cv::Point2f>> alone;
    for (const bool withLongRun : {false, true}) {
        cv::RNG rng(1);
        TrackState longRun;
        prepareTrackState(longRun);
        cv::Mat frame;
        int pass = 0;
        for (int kind = 0; kind < 3; ++kind) {
            TrackState state;
            prepareTrackState(state);
            for (int index = 0; index < framesOfKind[kind]; ++index, ++pass) {
                SCOPED_TRACE("kind " + std::to_string(kind) + ", frame " + std::to_string(index));
                makeFrame(kind, index, rng, frame);
                ASSERT_NO_FATAL_FAILURE(trackAndCheck(frame, index == 0, state));
                if (!withLongRun) {
                    alone.push_back(state.markers);
                    continue;
                }
                ASSERT_EQ(state.markers, alone[pass]);
                SCOPED_TRACE("the long run");
                ASSERT_NO_FATAL_FAILURE(trackAndCheck(frame, pass == 0, longRun));
            }
        }
    }
}

}  // namespace
}  // namespace dottrack
