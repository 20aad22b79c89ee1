// The dots' numbers through fast slides, turns, covers and trips out of view; what stays
// unlinked when in doubt; the reference of a dot seen later; frames without dots.

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "field/field.h"

namespace dottrack {
namespace {

constexpr double pitch = 44;

cv::Point2d mapped(const cv::Matx23d& m, cv::Point2d p) {
    return {m(0, 0) * p.x + m(0, 1) * p.y + m(0, 2), m(1, 0) * p.x + m(1, 1) * p.y + m(1, 2)};
}

// Turns by `degrees` about `pivot`, then shifts.
std::function<cv::Point2d(cv::Point2d)> turnAbout(cv::Point2d pivot, double degrees,
                                                  cv::Point2d shift) {
    const double r = degrees * CV_PI / 180, c = std::cos(r), s = std::sin(r);
    const cv::Matx23d m(c, -s, pivot.x + shift.x - c * pivot.x + s * pivot.y, s, c,
                        pivot.y + shift.y - s * pivot.x - c * pivot.y);
    return [m](cv::Point2d p) { return mapped(m, p); };
}

// A grid of dots `pitch` apart over [-margin, width + margin) x [-margin, height + margin),
// each moved at random by up to `jitter` pitches along each axis.
std::vector<cv::Point2d> jitteredGrid(double width, double height, double margin, double jitter) {
    std::mt19937 random(5);
    std::uniform_real_distribution<double> offset(-jitter * pitch, jitter * pitch);
    std::vector<cv::Point2d> dots;
    for (double y = -margin; y < height + margin; y += pitch) {
        for (double x = -margin; x < width + margin; x += pitch) {
            dots.emplace_back(x + offset(random), y + offset(random));
        }
    }
    return dots;
}

// Shows the dots of a surface frame after frame, shuffled and with a little noise, and
// holds every number to the dot it was first given to.
struct Follower {
    explicit Follower(std::vector<cv::Point2d> dots) : surface(std::move(dots)) {}
    std::vector<cv::Point2d> surface;
    DotLinks links;
    std::vector<int> owner;         // per number: its dot
    std::vector<int> numbersOfDot;  // per dot: how many numbers it has had
    int swaps = 0, shown = 0, linked = 0;
    std::mt19937 random{9};

    // One frame: the dots where `place` puts their surface positions, those `shows` keeps,
    // and stray centres that are no dot.
    void step(const std::function<cv::Point2d(cv::Point2d)>& place,
              const std::function<bool(cv::Point2d)>& shows,
              const std::vector<cv::Point2d>& strays = {}) {
        std::normal_distribution<double> noise(0, 0.02);
        std::vector<int> dotOf;
        std::vector<cv::Point2f> centres;
        for (std::size_t j = 0; j < surface.size(); ++j) {
            const cv::Point2d p = place(surface[j]);
            if (shows(p)) {
                dotOf.push_back(static_cast<int>(j));
                centres.emplace_back(static_cast<float>(p.x + noise(random)),
                                     static_cast<float>(p.y + noise(random)));
            }
        }
        for (const cv::Point2d& p : strays) {
            dotOf.push_back(-1);
            centres.emplace_back(p);
        }
        std::vector<int> order(centres.size());
        for (std::size_t i = 0; i < order.size(); ++i)
            order[i] = static_cast<int>(i);
        std::shuffle(order.begin(), order.end(), random);
        std::vector<cv::Point2f> shuffled;
        std::vector<int> shuffledDots;
        for (const int i : order) {
            shuffled.push_back(centres[i]);
            shuffledDots.push_back(dotOf[i]);
        }
        const std::size_t before = links.dotCount();
        linkDots(shuffled, links);
        numbersOfDot.resize(surface.size());
        for (std::size_t n = 0; n < links.dotCount(); ++n) {
            const int c = links.centreOfDot[n];
            if (c < 0)
                continue;
            if (n >= before) {
                owner.push_back(shuffledDots[c]);
            }
            swaps += owner[n] != shuffledDots[c] ? 1 : 0;
            if (shuffledDots[c] >= 0) {
                numbersOfDot[shuffledDots[c]] += n >= before ? 1 : 0;
                ++linked;
            }
        }
        shown += static_cast<int>(shuffled.size() - strays.size());
    }
    int renumbered() const {
        return static_cast<int>(std::count_if(numbersOfDot.begin(), numbersOfDot.end(),
                                              [](int numbers) { return numbers > 1; }));
    }
};

const cv::Size view(640, 480);
bool inView(cv::Point2d p) {
    return p.x >= 6 && p.y >= 6 && p.x <= view.width - 7 && p.y <= view.height - 7;
}

TEST(Linking, KeepsEveryNumberThroughSuddenFastSlidesAndATurn) {
    Follower follower(jitteredGrid(view.width, view.height, 3 * pitch, 0.12));
    follower.step(turnAbout({}, 0, {}), inView);
    // Numbered in reading order: each number on the right of the one before, or on the
    // next row down.
    const std::vector<cv::Point2f>& references = follower.links.references;
    for (std::size_t n = 1; n < references.size(); ++n) {
        const cv::Point2f step = references[n] - references[n - 1];
        EXPECT_TRUE(step.y > pitch / 2 || (std::abs(step.y) < pitch / 2 && step.x > 0)) << n;
    }
    // From rest to 0.45 pitch a frame at once, and back the other way at once; then along
    // y; then a turn about a point off the view whose far side moves 0.4 pitch a frame.
    cv::Point2d shift;
    for (const cv::Point2d velocity : {cv::Point2d(0.45, 0), cv::Point2d(-0.45, 0),
                                       cv::Point2d(0, 0.45), cv::Point2d(0, -0.45)}) {
        for (int frame = 0; frame < 6; ++frame) {
            shift += velocity * pitch;
            follower.step(turnAbout({}, 0, shift), inView);
        }
    }
    for (int frame = 1; frame <= 12; ++frame) {
        follower.step(turnAbout({-100, 700}, 1.6 * (frame <= 6 ? frame : 12 - frame), shift),
                      inView);
    }
    EXPECT_EQ(follower.swaps, 0);
    EXPECT_EQ(follower.renumbered(), 0);
    EXPECT_EQ(follower.linked, follower.shown);
}

TEST(Linking, RecognisesDotsUncoveredOrBackInView) {
    Follower follower(jitteredGrid(view.width, view.height, 6 * pitch, 0.12));
    const cv::Point2d blob(300, 240);
    const auto uncovered = [&](cv::Point2d p) { return inView(p) && cv::norm(p - blob) > 110; };
    // Covered from the second frame on, for 20 frames, while the surface slides, turns and
    // swells under the cover (which no affine map follows), then uncovered at once.
    for (int frame = 0; frame < 30; ++frame) {
        const auto move = turnAbout({320, 240}, 0.2 * frame, {2.5 * frame, -1.0 * frame});
        const double swell = 0.012 * std::clamp(frame - 5, 0, 20);
        const auto place = [&](cv::Point2d p) {
            const cv::Point2d d = p - blob;
            return move(blob + d * (1 + swell * std::exp(-d.dot(d) / (150.0 * 150.0))));
        };
        follower.step(
            place, frame >= 1 && frame < 21 ? std::function<bool(cv::Point2d)>(uncovered) : inView);
    }
    // A third of the view out to the left and back, 0.3 pitch a frame. On the way out, a
    // stray centre shows once, 0.4 pitch from a dot about to come into view for the first
    // time: that dot must get a number of its own all the same.
    const std::size_t dotsBefore = follower.links.dotCount();
    bool strayShown = false;
    for (int frame = 0; frame <= 32; ++frame) {
        const double out = 0.3 * pitch * (frame <= 16 ? frame : 32 - frame);
        const auto place = turnAbout({320, 240}, 6, {75 - out, -30});
        std::vector<cv::Point2d> strays;
        for (const cv::Point2d& dot : follower.surface) {
            const cv::Point2d p = place(dot);
            if (frame >= 8 && !strayShown && p.x > 640 && p.x < 650 && inView({p.x - 20, p.y})) {
                strays.push_back(p - cv::Point2d(0.4 * pitch, 0));
                strayShown = true;
            }
        }
        follower.step(place, inView, strays);
    }
    ASSERT_TRUE(strayShown);
    // The stray centre got a number (one frame could not tell), no longer looked for.
    const auto stray = std::find(follower.owner.begin(), follower.owner.end(), -1);
    ASSERT_NE(stray, follower.owner.end());
    EXPECT_EQ(follower.links.standing[stray - follower.owner.begin()], DotStanding::givenUp);
    EXPECT_EQ(follower.swaps, 0);
    EXPECT_EQ(follower.renumbered(), 0);
    EXPECT_EQ(follower.linked, follower.shown);
    // Dots that came into view for the first time, on the right, were numbered anew.
    EXPECT_GT(follower.links.dotCount(), dotsBefore);
}

TEST(Linking, LeavesUnlinkedWhatCouldBeAnotherDot) {
    std::vector<cv::Point2f> centres;
    for (const cv::Point2d& p : jitteredGrid(6 * pitch, 6 * pitch, 0, 0.1)) {
        centres.emplace_back(p);
    }
    DotLinks links;
    linkDots(centres, links);
    linkDots(centres, links);
    const std::size_t dots = links.dotCount();
    const auto numberAt = [&](cv::Point2f p) {
        return std::find(links.references.begin(), links.references.end(), p) -
               links.references.begin();
    };
    // The finder misses one dot and gives a stray centre a quarter pitch from it; it gives
    // two centres 3 px apart for another.
    const std::size_t missed = numberAt(centres[14]), doubled = numberAt(centres[22]);
    std::vector<cv::Point2f> next = centres;
    next[14] = centres[14] + cv::Point2f(0.25 * pitch, 0.1 * pitch);
    next.push_back(centres[22] + cv::Point2f(3, 0));
    linkDots(next, links);
    EXPECT_EQ(links.centreOfDot[missed], -1);
    EXPECT_EQ(links.centreOfDot[doubled], -1);
    EXPECT_EQ(links.dotCount(), dots);  // no number for any of the three
    for (std::size_t n = 0; n < dots; ++n) {
        if (n != missed && n != doubled) {
            ASSERT_GE(links.centreOfDot[n], 0);
            EXPECT_EQ(next[links.centreOfDot[n]], links.references[n]);
        }
    }
}

}  // namespace
}  // namespace dottrack
