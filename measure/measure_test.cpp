// The dot centres on synthetic dots at known sub-pixel positions, the targets that must get
// none, and the motion fit on an exactly known affine map with outliers.

#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "measure/measure.h"

namespace dottrack {
namespace {

const cv::Vec3b surface(200, 210, 205);
const cv::Vec3b ink(60, 40, 36);

// A 640 x 480 frame of the surface, brighter to the right, with dark discs drawn at their
// area cover (8 x 8 samples a pixel) and a little noise.
cv::Mat drawDots(const std::vector<cv::Point2d>& centres, double radius, double noise = 1.0) {
    cv::Mat frame(480, 640, CV_8UC3);
    cv::RNG rng(7);
    for (int y = 0; y < frame.rows; ++y) {
        for (int x = 0; x < frame.cols; ++x) {
            double cover = 0;
            for (const cv::Point2d& c : centres) {
                for (int s = 0;
                     std::abs(x - c.x) <= radius + 1 && std::abs(y - c.y) <= radius + 1 && s < 64;
                     ++s) {
                    const cv::Point2d p(x - 0.4375 + 0.125 * (s % 8), y - 0.4375 + 0.125 * (s / 8));
                    cover += cv::norm(p - c) <= radius ? 1 / 64.0 : 0.0;
                }
            }
            for (int ch = 0; ch < 3; ++ch) {
                const double light = surface[ch] * (0.95 + 0.1 * x / 640.0);
                frame.at<cv::Vec3b>(y, x)[ch] = cv::saturate_cast<uchar>(
                    light + std::min(cover, 1.0) * (ink[ch] - light) + rng.gaussian(noise));
            }
        }
    }
    return frame;
}

TEST(DotCentre, FindsDotsOfEverySizeToAHundredthOfAPixel) {
    for (const double radius : {4.0, 6.5, 9.0}) {
        // Sub-pixel positions all over the pixel; one near the left border, one beside a
        // close neighbour.
        const std::vector<cv::Point2d> centres = {{100.13, 100.71},
                                                  {200.5, 150.25},
                                                  {300.87, 200.02},
                                                  {401.31, 260.49},
                                                  {radius + 9.4, 300.6},
                                                  {500.2, 400.4},
                                                  {500.2 + 4.0 * radius, 400.9}};
        const cv::Mat frame = drawDots(centres, radius);
        std::vector<cv::Point2f> targets(centres.begin(), centres.end());
        const DotScale scale = estimateDotScale(frame, targets);
        ASSERT_TRUE(scale.known());
        EXPECT_NEAR(scale.radius, radius, 0.5);
        for (const cv::Point2d& c : centres) {
            SCOPED_TRACE(testing::Message() << "radius " << radius << " at " << c);
            cv::Point2f found;
            // A target can lie far into a large dot: the first window then cuts it.
            const cv::Point2f target(std::round(c.x + 0.7 * radius),
                                     std::round(c.y - 0.6 * radius));
            ASSERT_EQ(locateDotCentre(frame, target, scale, found), CentreVerdict::found);
            EXPECT_NEAR(found.x, c.x, 0.01);
            EXPECT_NEAR(found.y, c.y, 0.01);
        }
    }
}

TEST(DotCentre, GivesNoneWhereNoWholeSingleDotIs) {
    const double radius = 6.5;
    const std::vector<cv::Point2d> dots = {{200, 200}, {400.3, 300}, {408.1, 300}, {2.5, 100}};
    cv::Mat frame = drawDots(dots, radius);
    // A faint smudge: a dot a tenth as dark as the others.
    const cv::Mat faint = drawDots({{300, 400}}, radius);
    cv::addWeighted(frame(cv::Rect(280, 380, 40, 40)), 0.9, faint(cv::Rect(280, 380, 40, 40)), 0.1,
                    0, frame(cv::Rect(280, 380, 40, 40)));
    const DotScale scale = estimateDotScale(frame, {{200, 200}});
    ASSERT_TRUE(scale.known());
    const struct {
        cv::Point2f target;
        CentreVerdict verdict;
    } cases[] = {
        {{200, 200}, CentreVerdict::found},
        {{100, 400}, CentreVerdict::tooFaint},    // flat background
        {{300, 400}, CentreVerdict::tooFaint},    // the smudge
        {{404, 300}, CentreVerdict::wrongShape},  // two dots merged
        {{3, 100}, CentreVerdict::nearBorder},    // cut by the frame's edge
        {{636, 470}, CentreVerdict::nearBorder},
    };
    for (const auto& c : cases) {
        cv::Point2f centre(-1, -1);
        EXPECT_EQ(locateDotCentre(frame, c.target, scale, centre), c.verdict) << c.target;
    }
    std::vector<cv::Point2f> centres;
    locateDotCentres(frame, {{200, 200}, {100, 400}}, scale, centres);
    ASSERT_EQ(centres.size(), 2u);
    EXPECT_TRUE(isMeasured(centres[0]));
    EXPECT_FALSE(isMeasured(centres[1]));
    // Without dots there is no scale, and no centre at all.
    EXPECT_FALSE(estimateDotScale(drawDots({}, radius), {{200, 200}, {300, 300}}).known());
}

TEST(SurfaceMotion, RecoversAKnownAffineMapDespiteOutliers) {
    // A = s R(theta) P with P symmetric of determinant 1; theta turns +x towards +y.
    const double s = 1.02, theta = 3.0 * CV_PI / 180.0, e1 = 0.01, e2 = -0.015;
    const double p12 = e2, p11 = e1 + std::sqrt(1 + e1 * e1 + e2 * e2), p22 = p11 - 2 * e1;
    const cv::Matx22d rotation(std::cos(theta), -std::sin(theta), std::sin(theta), std::cos(theta));
    const cv::Matx22d a = s * rotation * cv::Matx22d(p11, p12, p12, p22);
    const cv::Vec2d b(4.0, -2.5);
    std::vector<cv::Point2f> seeding, current;
    for (int row = 0; row < 5; ++row) {
        for (int col = 0; col < 6; ++col) {
            const cv::Vec2d p(80 + 90 * col, 60 + 90 * row);
            const cv::Vec2d q = a * p + b;
            seeding.emplace_back(p[0], p[1]);
            current.emplace_back(q[0], q[1]);
        }
    }
    current[3] += cv::Point2f(45, 0);  // on the neighbouring dot
    current[17] += cv::Point2f(0, -60);
    current[8] = cv::Point2f(NAN, NAN);   // no centre now
    seeding[20] = cv::Point2f(NAN, NAN);  // none at seeding
    const cv::Point2f pivot(300, 250);
    MotionFitBuffers buffers;
    SurfaceMotion motion;
    fitSurfaceMotion(seeding, current, pivot, outlierDistanceFor(seeding), buffers, motion);
    ASSERT_TRUE(motion.fitted);
    EXPECT_EQ(motion.markers, 28);
    EXPECT_EQ(motion.inliers, 26);
    const cv::Vec2d pivotMotion = a * cv::Vec2d(pivot.x, pivot.y) + b - cv::Vec2d(pivot.x, pivot.y);
    // The centres are floats: a few millionths of a pixel is all they hold.
    EXPECT_NEAR(motion.tx, pivotMotion[0], 1e-4);
    EXPECT_NEAR(motion.ty, pivotMotion[1], 1e-4);
    EXPECT_NEAR(motion.rotationDeg, 3.0, 1e-4);
    EXPECT_NEAR(motion.scale, s, 1e-6);
    EXPECT_NEAR(motion.shear1, e1, 1e-6);
    EXPECT_NEAR(motion.shear2, e2, 1e-6);
    EXPECT_LT(motion.rms, 1e-4);

    // Fewer than three usable markers: no fit, never a made-up one.
    std::vector<cv::Point2f> few(current.begin(), current.begin() + 2);
    fitSurfaceMotion(std::vector<cv::Point2f>(seeding.begin(), seeding.begin() + 2), few, pivot,
                     outlierDistanceFor(seeding), buffers, motion);
    EXPECT_FALSE(motion.fitted);
    EXPECT_EQ(motion.markers, 2);
}

}  // namespace
}  // namespace dottrack
