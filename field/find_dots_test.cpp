// The dot finder on generated fields with their truth (sizes, spacings, the frame's border,
// covering objects), on dots run together or touching the border, on frames without dots,
// and at its limits.

#include <algorithm>
#include <cmath>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "bench/allocation_counter.h"
#include "field/field.h"
#include "tools/sample/field_scene.h"

namespace dottrack {
namespace {

// Distance from `p` to the nearest of `centres`.
double nearest(const std::vector<cv::Point2f>& centres, cv::Point2d p) {
    double best = HUGE_VAL;
    for (const cv::Point2f c : centres) {
        best = std::min(best, cv::norm(cv::Point2d(c) - p));
    }
    return best;
}

// Checks one frame's centres against its truth: every dot in view and uncovered found within
// 0.05 px, no centre farther than `pulled` from a true dot (a dot by the border or partly
// hidden gives none, or one pulled that little), none on a dot the border cuts, no dot given
// two.
void expectFound(const FieldScene& scene, int frameIndex, const std::vector<cv::Point2f>& centres,
                 double pulled) {
    const std::vector<DotTruth> truth = fieldTruthAt(scene, frameIndex);
    const cv::Size size = scene.settings.size;
    const double r = scene.settings.radius;
    int missed = 0, onCutDots = 0, twice = 0;
    std::vector<cv::Point2f> trueCentres;
    for (const DotTruth& dot : truth) {
        trueCentres.emplace_back(dot.centre);
        const cv::Point2d c = dot.centre;
        // Its edge beyond the centres of the frame's outermost pixels.
        const bool cut =
            c.x < r || c.y < r || c.x > size.width - 1 - r || c.y > size.height - 1 - r;
        missed += dot.visible && nearest(centres, c) > 0.05;
        onCutDots += cut && nearest(centres, c) < r;
        twice += std::count_if(centres.begin(), centres.end(),
                               [&](cv::Point2f p) { return cv::norm(cv::Point2d(p) - c) < r; }) > 1;
    }
    int wrong = 0;
    for (const cv::Point2f c : centres) {
        wrong += nearest(trueCentres, cv::Point2d(c)) > pulled;
    }
    EXPECT_EQ(missed, 0) << "frame " << frameIndex;
    EXPECT_EQ(wrong, 0) << "frame " << frameIndex;
    EXPECT_EQ(onCutDots, 0) << "frame " << frameIndex;
    EXPECT_EQ(twice, 0) << "frame " << frameIndex;
}

TEST(FindDots, FindsEveryDotOfFieldsOfAnySizeAndSpacing) {
    const struct {
        cv::Size size;
        double spacing, radius;
        bool grey;
    } cases[] = {{{640, 480}, 22, 4, false},
                 {{512, 384}, 12, 3, true},
                 {{800, 600}, 34, 9, false},
                 {{700, 500}, 44, 15, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "radius " << c.radius << ", spacing " << c.spacing);
        FieldSettings settings;
        settings.size = c.size;
        settings.spacing = c.spacing;
        settings.radius = c.radius;
        settings.grey = c.grey;
        settings.noiseSigma = 1.0;
        settings.frameCount = 10;
        const FieldScene scene = makeFieldScene(settings);
        DotFinder finder;
        std::vector<cv::Point2f> centres;
        cv::Mat frame;
        for (const int f : {0, 4}) {
            renderFieldFrame(scene, f, frame);
            ASSERT_TRUE(findDots(frame, finder, centres));
            EXPECT_NEAR(finder.scale.radius, c.radius, 0.3);
            expectFound(scene, f, centres, 0.05);
        }
    }
}

TEST(FindDots, GivesNoCentreOnTheEdgeOfACoveringObject) {
    const struct {
        FieldCover cover;
        double edge;
    } cases[] = {{FieldCover::dark, 1}, {FieldCover::dark, 20}, {FieldCover::light, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "cover " << static_cast<int>(c.cover) << ", edge " << c.edge);
        FieldSettings settings;
        settings.size = cv::Size(640, 480);
        settings.spacing = 30;
        settings.noiseSigma = 1.0;
        settings.cover = c.cover;
        settings.coverEdge = c.edge;
        settings.frameCount = 20;
        const FieldScene scene = makeFieldScene(settings);
        DotFinder finder;
        std::vector<cv::Point2f> centres;
        cv::Mat frame;
        // Learnt before the object comes, measured while it covers a third of the frame.
        for (const int f : {0, 9}) {
            renderFieldFrame(scene, f, frame);
            ASSERT_TRUE(findDots(frame, finder, centres));
        }
        expectFound(scene, 9, centres, 0.15);
    }
}

// A grey frame of light surface with dark discs drawn anti-aliased.
cv::Mat drawDiscs(cv::Size size, const std::vector<cv::Point2d>& discs, double radius) {
    cv::Mat frame(size, CV_8UC1, cv::Scalar(200));
    for (const cv::Point2d& d : discs) {
        cv::circle(frame, cv::Point(cvRound(d.x * 16), cvRound(d.y * 16)), cvRound(radius * 16),
                   cv::Scalar(40), cv::FILLED, cv::LINE_AA, 4);
    }
    return frame;
}

TEST(FindDots, GivesNoCentreForDotsRunTogetherOrTouchingTheBorder) {
    const double r = 6;
    std::vector<cv::Point2d> singles, pairs, touching;
    for (int i = 0; i < 6; ++i) {
        singles.emplace_back(60 + 100 * i, 60);
        // Two dots from touching to half overlapping, each pair about its middle.
        const double apart = r * (1.0 + 0.25 * i);
        pairs.emplace_back(60 + 100 * i - apart / 2, 200.3);
        pairs.emplace_back(60 + 100 * i + apart / 2, 200.3 + 0.2 * i);
        // Dots whose edge passes the centres of the leftmost pixels, or comes within a pixel.
        touching.emplace_back(r - 0.2 + 0.2 * i, 100.0 + 30 * i);
    }
    // Dots a few pixels clear of the left and right borders.
    singles.emplace_back(r + 3, 290);
    singles.emplace_back(640 - 1 - r - 3, 120.5);
    std::vector<cv::Point2d> all = singles;
    all.insert(all.end(), pairs.begin(), pairs.end());
    all.insert(all.end(), touching.begin(), touching.end());
    DotFinder finder;
    std::vector<cv::Point2f> centres;
    // Compressed as a video's frames are: its blocks blur a dot's edge out to the border.
    std::vector<unsigned char> jpeg;
    cv::imencode(".jpg", drawDiscs({640, 320}, all, r), jpeg, {cv::IMWRITE_JPEG_QUALITY, 90});
    ASSERT_TRUE(findDots(cv::imdecode(jpeg, cv::IMREAD_GRAYSCALE), finder, centres));
    ASSERT_TRUE(finder.scale.known());
    for (const cv::Point2d& single : singles) {
        EXPECT_LT(nearest(centres, single), 0.1) << single;
    }
    for (int i = 0; i < 6; ++i) {
        const cv::Point2d middle = (pairs[2 * i] + pairs[2 * i + 1]) / 2;
        EXPECT_GT(nearest(centres, middle), 2 * r) << "pair " << i;
        EXPECT_GT(nearest(centres, touching[i]), r) << touching[i];
    }
}

TEST(FindDots, GivesNothingWhereNoDotIs) {
    const cv::Size size(640, 480);
    cv::Mat covered(size, CV_8UC3, cv::Scalar(200, 210, 205));
    cv::circle(covered, {420, 300}, 150, cv::Scalar(40, 45, 50), cv::FILLED, cv::LINE_AA);
    const cv::Mat empty[] = {cv::Mat::zeros(size, CV_8UC1), cv::Mat(size, CV_8UC1, 255), covered,
                             cv::Mat()};
    DotFinder finder;
    std::vector<cv::Point2f> centres{{1, 1}};
    for (const cv::Mat& frame : empty) {
        EXPECT_TRUE(findDots(frame, finder, centres));
        EXPECT_TRUE(centres.empty());
        EXPECT_FALSE(finder.scale.known());
    }
    // Once the dots are known, a black or fully covered frame still gives none.
    std::vector<cv::Point2d> dots;
    for (int i = 0; i < 20; ++i) {
        dots.emplace_back(40 + 30 * i, 100 + 7 * (i % 3));
    }
    ASSERT_TRUE(findDots(drawDiscs(size, dots, 5), finder, centres));
    EXPECT_EQ(centres.size(), dots.size());
    for (const cv::Mat& frame : {empty[0], cv::Mat(size, CV_8UC3, cv::Scalar(40, 45, 50))}) {
        EXPECT_TRUE(findDots(frame, finder, centres));
        EXPECT_TRUE(centres.empty());
    }
    EXPECT_THROW(findDots(cv::Mat(size, CV_32FC1), finder, centres), std::invalid_argument);
}

TEST(FindDots, RefusesAFrameOfMoreCandidatesThanItsLimit) {
    DotFinder finder;
    std::vector<cv::Point2f> centres;
    const auto grid = [](cv::Size size, double spacing) {
        std::vector<cv::Point2d> dots;
        for (double y = 8; y < size.height - 8; y += spacing) {
            for (double x = 8; x < size.width - 8; x += spacing) {
                dots.emplace_back(x, y);
            }
        }
        return dots;
    };
    ASSERT_TRUE(findDots(drawDiscs({200, 200}, grid({200, 200}, 12), 3), finder, centres));
    ASSERT_TRUE(finder.scale.known());
    const cv::Size huge(3600, 3600);
    const std::vector<cv::Point2d> dots = grid(huge, 11);
    ASSERT_GT(dots.size(), static_cast<std::size_t>(maxDotCandidates));
    EXPECT_FALSE(findDots(drawDiscs(huge, dots, 3), finder, centres));
    EXPECT_TRUE(finder.tooManyCandidates);
    EXPECT_TRUE(centres.empty());
}

TEST(FindDots, AllocatesNothingAfterTheFirstFrame) {
    FieldSettings settings;
    settings.size = cv::Size(640, 480);
    settings.frameCount = 10;
    const FieldScene scene = makeFieldScene(settings);
    cv::Mat first, later;
    renderFieldFrame(scene, 0, first);
    renderFieldFrame(scene, 5, later);
    // OpenCV's worker threads allocate their own whenever they first take work, which on a
    // busy machine may be in any frame: the finder's allocations are counted without them.
    const int workers = cv::getNumThreads();
    cv::setNumThreads(1);
    DotFinder finder;
    std::vector<cv::Point2f> centres;
    ASSERT_TRUE(findDots(first, finder, centres));
    const std::int64_t before = allocationCount();
    ASSERT_TRUE(findDots(later, finder, centres));
    ASSERT_TRUE(findDots(first, finder, centres));
    const std::int64_t allocations = allocationCount() - before;
    cv::setNumThreads(workers);
    EXPECT_EQ(allocations, 0);
    EXPECT_GT(centres.size(), 100u);
}

}  // namespace
}  // namespace dottrack
