// The stages of a pass fed with random and hostile frames: whatever the picture, every pass
// yields 30 well separated targets inside the image and a consistent marker assignment.

#include <cmath>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <opencv2/core.hpp>
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
// A marker never holds a target farther than this from its tracked position.
constexpr double associationGate = 30.0;

const cv::Scalar paper(205, 210, 215);
const cv::Scalar ink(25, 30, 35);

// A frame generator: draws frame `index` of a sequence into `frame`.
using FrameMaker = std::function<void(int index, cv::RNG& rng, cv::Mat& frame)>;

struct Sequence {
    std::string name;
    int frames;
    FrameMaker make;
};

// Paints dark round dots of the given radius.
void drawDots(cv::Mat& frame, const std::vector<cv::Point>& dots, int radius) {
    for (const cv::Point& dot : dots) {
        cv::circle(frame, dot, radius, ink, cv::FILLED, cv::LINE_AA);
    }
}

// Dot centres scattered uniformly over `area`.
std::vector<cv::Point> randomDots(cv::RNG& rng, int count, cv::Rect area) {
    std::vector<cv::Point> dots;
    for (int i = 0; i < count; ++i) {
        dots.emplace_back(rng.uniform(area.x, area.x + area.width),
                          rng.uniform(area.y, area.y + area.height));
    }
    return dots;
}

// The 6 x 5 grid of a regular marker sheet, shifted by `offset`.
std::vector<cv::Point> gridDots(cv::Point offset) {
    std::vector<cv::Point> dots;
    for (int row = 0; row < 5; ++row) {
        for (int col = 0; col < 6; ++col) {
            dots.push_back(offset + cv::Point(70 + 100 * col, 50 + 95 * row));
        }
    }
    return dots;
}

// A blank 640 x 480 frame of bright paper.
void paperFrame(cv::Mat& frame) {
    frame.create(mixRows, mixCols, CV_8UC3);
    frame.setTo(paper);
}

const cv::Rect wholeFrame(0, 0, mixCols, mixRows);

// Every kind of picture the stages are put through.
std::vector<Sequence> hostileSequences() {
    return {
        {"noise", 20,
         [](int, cv::RNG& rng, cv::Mat& frame) {
             frame.create(mixRows, mixCols, CV_8UC3);
             rng.fill(frame, cv::RNG::UNIFORM, 0, 256);
         }},
        {"uniform, black and white", 20,
         [](int index, cv::RNG& rng, cv::Mat& frame) {
             const int level = index == 0 ? 0 : index == 1 ? 255 : rng.uniform(0, 256);
             frame.create(mixRows, mixCols, CV_8UC3);
             frame.setTo(cv::Scalar::all(level));
         }},
        {"stripes and gradients", 20,
         [](int index, cv::RNG& rng, cv::Mat& frame) {
             paperFrame(frame);
             const int step = rng.uniform(3, 60);
             for (int at = rng.uniform(0, step); at < mixCols; at += step) {
                 if (index % 2 == 0) {
                     cv::line(frame, {at, 0}, {at, mixRows - 1}, ink, 2);
                 } else {
                     cv::line(frame, {0, at}, {mixCols - 1, at}, ink, 2);
                 }
             }
             if (index % 3 == 0) {
                 for (int x = 0; x < mixCols; ++x) {
                     frame.col(x).setTo(cv::Scalar::all(x * 255 / mixCols));
                 }
             }
         }},
        {"dots on the borders and corners", 30,
         [](int, cv::RNG& rng, cv::Mat& frame) {
             paperFrame(frame);
             std::vector<cv::Point> dots = {
                 {0, 0}, {mixCols - 1, 0}, {0, mixRows - 1}, {mixCols - 1, mixRows - 1}};
             for (int i = 0; i < 26; ++i) {
                 const int along = rng.uniform(-4, 5);
                 switch (i % 4) {
                     case 0:
                         dots.emplace_back(rng.uniform(0, mixCols), along);
                         break;
                     case 1:
                         dots.emplace_back(rng.uniform(0, mixCols), mixRows - 1 + along);
                         break;
                     case 2:
                         dots.emplace_back(along, rng.uniform(0, mixRows));
                         break;
                     default:
                         dots.emplace_back(mixCols - 1 + along, rng.uniform(0, mixRows));
                 }
             }
             drawDots(frame, dots, rng.uniform(3, 9));
         }},
        {"dots closer than the suppression square", 30,
         [](int, cv::RNG& rng, cv::Mat& frame) {
             paperFrame(frame);
             std::vector<cv::Point> dots;
             for (int cluster = 0; cluster < 8; ++cluster) {
                 const cv::Point centre(rng.uniform(20, mixCols - 20),
                                        rng.uniform(20, mixRows - 20));
                 for (int i = 0; i < 5; ++i) {
                     dots.push_back(centre + cv::Point(rng.uniform(-45, 46), rng.uniform(-45, 46)));
                 }
             }
             drawDots(frame, dots, 5);
         }},
        {"crowds of 40 and more dots", 30,
         [](int, cv::RNG& rng, cv::Mat& frame) {
             paperFrame(frame);
             drawDots(frame, randomDots(rng, rng.uniform(40, 120), wholeFrame), rng.uniform(2, 8));
         }},
        {"dots jumping far between frames", 40,
         [](int, cv::RNG& rng, cv::Mat& frame) {
             paperFrame(frame);
             drawDots(frame, randomDots(rng, 30, wholeFrame), 6);
         }},
        {"dots vanishing and reappearing", 60,
         [](int index, cv::RNG& rng, cv::Mat& frame) {
             paperFrame(frame);
             // Every fifth frame is empty; the others show a random part of the sheet.
             if (index % 5 == 4) {
                 return;
             }
             std::vector<cv::Point> shown;
             for (const cv::Point& dot : gridDots({rng.uniform(-3, 4), rng.uniform(-3, 4)})) {
                 if (rng.uniform(0, 3) != 0) {
                     shown.push_back(dot);
                 }
             }
             drawDots(frame, shown, 6);
         }},
        {"sheet shaking by up to 40 px between frames", 40,
         [](int index, cv::RNG& rng, cv::Mat& frame) {
             paperFrame(frame);
             const int reach = index < 20 ? 4 : 20;
             drawDots(frame,
                      gridDots({rng.uniform(-reach, reach + 1), rng.uniform(-reach, reach + 1)}),
                      6);
         }},
        {"larger frames and views into them", 20,
         [](int index, cv::RNG& rng, cv::Mat& frame) {
             // A view with a row stride wider than 640 pixels, or a whole 800 x 600 frame.
             const cv::Size canvasSize(800, 600);
             cv::Mat canvas(canvasSize, CV_8UC3, paper);
             drawDots(canvas, randomDots(rng, 45, cv::Rect(cv::Point(0, 0), canvasSize)), 6);
             frame = index % 2 == 0 ? canvas
                                    : canvas(cv::Rect(rng.uniform(0, canvasSize.width - mixCols),
                                                      rng.uniform(0, canvasSize.height - mixRows),
                                                      mixCols, mixRows));
         }},
    };
}

// The sequence of that name among `sequences`.
const Sequence& sequenceNamed(const std::vector<Sequence>& sequences, const std::string& name) {
    for (const Sequence& sequence : sequences) {
        if (sequence.name == name) {
            return sequence;
        }
    }
    throw std::invalid_argument("no sequence named " + name);
}

// Whether every coordinate is a finite number.
bool isFinite(const std::vector<cv::Point2f>& points) {
    for (const cv::Point2f& p : points) {
        if (!std::isfinite(p.x) || !std::isfinite(p.y)) {
            return false;
        }
    }
    return true;
}

// Everything that must hold after a pass; `trackedBefore` holds the tracked positions that
// the update started from.
testing::AssertionResult passHolds(const TrackState& state,
                                   const std::vector<cv::Point2f>& trackedBefore, bool firstPass) {
    const auto& targets = state.targets;
    if (targets.size() != static_cast<size_t>(targetCount)) {
        return testing::AssertionFailure() << targets.size() << " targets";
    }
    for (size_t i = 0; i < targets.size(); ++i) {
        const cv::Point2f t = targets[i];
        if (t.x != std::floor(t.x) || t.y != std::floor(t.y) || t.x < 0 || t.x >= mixCols ||
            t.y < 0 || t.y >= mixRows) {
            return testing::AssertionFailure() << "target " << i << " at " << t;
        }
        for (size_t j = 0; j < i; ++j) {
            const cv::Point2f d = t - targets[j];
            if (std::abs(d.x) < minTargetSeparation && std::abs(d.y) < minTargetSeparation) {
                return testing::AssertionFailure() << "targets " << j << " " << targets[j]
                                                   << " and " << i << " " << t << " are too close";
            }
        }
    }
    if (state.markers.size() != static_cast<size_t>(targetCount) ||
        state.refMarkers.size() != static_cast<size_t>(targetCount) ||
        state.assignment.size() != static_cast<size_t>(targetCount)) {
        return testing::AssertionFailure()
               << state.markers.size() << " markers, " << state.refMarkers.size()
               << " reference positions, " << state.assignment.size() << " assignments";
    }
    if (!isFinite(state.markers) || !isFinite(state.refMarkers)) {
        return testing::AssertionFailure() << "a marker position is not finite";
    }
    std::vector<int> holders(targetCount, 0);
    for (int i = 0; i < targetCount; ++i) {
        const int held = state.assignment[i];
        if (held < -1 || held >= targetCount) {
            return testing::AssertionFailure() << "marker " << i << " holds target " << held;
        }
        // Seeded on the targets, every marker holds its own on the first pass.
        if (firstPass && held != i) {
            return testing::AssertionFailure()
                   << "first pass: marker " << i << " holds target " << held;
        }
        if (held < 0) {
            continue;
        }
        if (++holders[held] > 1) {
            return testing::AssertionFailure() << "target " << held << " is held twice";
        }
        const double distance = trackingDistance(trackedBefore[i], targets[held]);
        if (!(distance <= associationGate)) {
            return testing::AssertionFailure()
                   << "marker " << i << " at " << trackedBefore[i] << " holds target " << held
                   << " at " << targets[held] << ", " << distance << " away";
        }
    }
    return testing::AssertionSuccess();
}

// Runs one pass on `frame` and checks it. `trackedBefore` is scratch room for the tracked
// positions the update starts from; on the first pass they are the seeds, i.e. the targets.
testing::AssertionResult trackAndCheck(const cv::Mat& frame, bool firstPass, TrackState& state,
                                       std::vector<cv::Point2f>& trackedBefore) {
    trackedBefore = state.markers;
    trackFrame(frame, firstPass, state);
    return passHolds(state, firstPass ? state.targets : trackedBefore, firstPass);
}

// Runs a sequence from a fresh state, checking every pass.
void checkSequence(const Sequence& sequence, std::uint64_t seed) {
    SCOPED_TRACE(sequence.name);
    cv::RNG rng(seed);
    TrackState state;
    prepareTrackState(state);
    cv::Mat frame;
    std::vector<cv::Point2f> trackedBefore;
    for (int index = 0; index < sequence.frames; ++index) {
        sequence.make(index, rng, frame);
        ASSERT_TRUE(trackAndCheck(frame, index == 0, state, trackedBefore)) << "frame " << index;
    }
}

TEST(TrackFrameProperties, HoldOnRandomAndHostileFrames) {
    std::uint64_t seed = 1;
    for (const Sequence& sequence : hostileSequences()) {
        checkSequence(sequence, seed++);
    }
}

// The same frames in one long run: markers seeded on noise meet every other kind of picture.
TEST(TrackFrameProperties, HoldAcrossChangesOfPicture) {
    cv::RNG rng(77);
    TrackState state;
    prepareTrackState(state);
    cv::Mat frame;
    std::vector<cv::Point2f> trackedBefore;
    int pass = 0;
    for (const Sequence& sequence : hostileSequences()) {
        for (int index = 0; index < sequence.frames; index += 3) {
            sequence.make(index, rng, frame);
            ASSERT_TRUE(trackAndCheck(frame, pass == 0, state, trackedBefore))
                << sequence.name << ", frame " << index << ", pass " << pass;
            ++pass;
        }
    }
}

// Two runs that share nothing must not influence each other, even when their passes
// alternate: no stage may keep results of its own from one call to the next.
TEST(TrackFrameProperties, RunsSideBySideMatchARunAlone) {
    const std::vector<Sequence> sequences = hostileSequences();
    const Sequence& blinking = sequenceNamed(sequences, "dots vanishing and reappearing");
    const Sequence& jumping = sequenceNamed(sequences, "dots jumping far between frames");
    constexpr int passes = 30;

    std::vector<std::vector<cv::Point2f>> alone;
    {
        cv::RNG rng(5);
        TrackState state;
        prepareTrackState(state);
        cv::Mat frame;
        for (int index = 0; index < passes; ++index) {
            blinking.make(index, rng, frame);
            trackFrame(frame, index == 0, state);
            alone.push_back(state.markers);
        }
    }

    cv::RNG blinkingRng(5);
    cv::RNG jumpingRng(6);
    TrackState blinkingState;
    TrackState jumpingState;
    prepareTrackState(blinkingState);
    prepareTrackState(jumpingState);
    cv::Mat frame;
    for (int index = 0; index < passes; ++index) {
        jumping.make(index, jumpingRng, frame);
        trackFrame(frame, index == 0, jumpingState);
        blinking.make(index, blinkingRng, frame);
        trackFrame(frame, index == 0, blinkingState);
        ASSERT_EQ(blinkingState.markers, alone[index]) << "pass " << index;
    }
}

}  // namespace
}  // namespace dottrack
