// The deformation at a dot on exactly known maps, where it cannot be fitted, and its noise on
// a jittered grid measured frame by frame.

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "field/field.h"

namespace dottrack {
namespace {

constexpr double pitch = 44;

// A 7 x 7 grid of whole-pixel positions (exact in float), its middle dot, and the dots
// within neighbourRadius pitches of it.
struct Patch {
    std::vector<cv::Point2f> references;
    int middle = 24;
    std::vector<int> neighbours;
    Patch() {
        for (int row = 0; row < 7; ++row) {
            for (int column = 0; column < 7; ++column) {
                references.emplace_back(100 + pitch * column, 60 + pitch * row);
            }
        }
        for (int j = 0; j < 49; ++j) {
            if (j != middle &&
                cv::norm(references[j] - references[middle]) <= neighbourRadius * pitch) {
                neighbours.push_back(j);
            }
        }
    }
    std::vector<cv::Point2f> mapped(const cv::Matx22d& a, cv::Point2d shift) const {
        std::vector<cv::Point2f> centres;
        for (const cv::Point2f& r : references) {
            const cv::Vec2d x = a * cv::Vec2d(r.x, r.y);
            centres.emplace_back(static_cast<float>(x[0] + shift.x),
                                 static_cast<float>(x[1] + shift.y));
        }
        return centres;
    }
};

TEST(Strain, IsExactOnKnownMaps) {
    const Patch patch;
    const struct {
        cv::Matx22d map;
        DotDeformation expected;
    } cases[] = {
        // A simple shear x += y / 8: E = [[0, 1/16], [1/16, 1/128]].
        {{1, 0.125, 0, 1}, {0, 0.0078125, 0.0625, std::atan2(-0.125, 2) * 180 / CV_PI, 1}},
        // Stretched 1.25 along x and 0.875 along y, then turned a quarter towards +y.
        {{0, -0.875, 1.25, 0}, {0.28125, -0.1171875, 0, 90, 1.09375}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.map);
        const std::vector<cv::Point2f> centres = patch.mapped(c.map, {3.5, -2.25});
        cv::Matx22d gradient;
        ASSERT_TRUE(fitDeformationGradient(patch.references, centres, patch.middle,
                                           patch.neighbours, pitch, gradient));
        EXPECT_LT(cv::norm(gradient - c.map), 1e-12);
        const DotDeformation d = describeDeformation(gradient);
        EXPECT_NEAR(d.exx, c.expected.exx, 1e-12);
        EXPECT_NEAR(d.eyy, c.expected.eyy, 1e-12);
        EXPECT_NEAR(d.exy, c.expected.exy, 1e-12);
        EXPECT_NEAR(d.rotationDeg, c.expected.rotationDeg, 1e-9);
        EXPECT_NEAR(d.areaRatio, c.expected.areaRatio, 1e-12);
    }
}

TEST(Strain, IsEmptyWithoutEnoughNeighboursAcross) {
    const Patch patch;
    const std::vector<cv::Point2f> still = patch.mapped(cv::Matx22d::eye(), {});
    const cv::Point2f lost(NAN, NAN);
    cv::Matx22d gradient;
    // The dot itself not found.
    std::vector<cv::Point2f> centres = still;
    centres[patch.middle] = lost;
    EXPECT_FALSE(fitDeformationGradient(patch.references, centres, patch.middle, patch.neighbours,
                                        pitch, gradient));
    // Only the neighbours on its row found: a line tells nothing across it.
    centres = still;
    for (const int j : patch.neighbours) {
        if (j / 7 != patch.middle / 7) {
            centres[j] = lost;
        }
    }
    EXPECT_FALSE(fitDeformationGradient(patch.references, centres, patch.middle, patch.neighbours,
                                        pitch, gradient));
    // One neighbour above added: still too little across the row.
    centres[patch.middle - 7] = still[patch.middle - 7];
    EXPECT_FALSE(fitDeformationGradient(patch.references, centres, patch.middle, patch.neighbours,
                                        pitch, gradient));
    // Two on either side: enough.
    centres[patch.middle + 7] = still[patch.middle + 7];
    EXPECT_TRUE(fitDeformationGradient(patch.references, centres, patch.middle, patch.neighbours,
                                       pitch, gradient));
}

TEST(Strain, StaysWithinATenthOfAPercentUnderCentreNoise) {
    // A jittered grid at 44 px over 1280 x 720, centres 0.02 px off, stretched, sheared and
    // turned over ten frames.
    std::mt19937 random(3);
    std::uniform_real_distribution<double> jitter(-0.12 * pitch, 0.12 * pitch);
    std::normal_distribution<double> noise(0, 0.02);
    std::vector<cv::Point2d> surface;
    for (double y = 30; y < 700; y += pitch) {
        for (double x = 30; x < 1260; x += pitch) {
            surface.emplace_back(x + jitter(random), y + jitter(random));
        }
    }
    const cv::Point2d middle(640, 360);
    FieldRun run;
    cv::Matx22d a;
    for (int frame = 0; frame <= 10; ++frame) {
        const double t = frame / 10.0, r = 3 * t * CV_PI / 180;
        a = cv::Matx22d(std::cos(r), -std::sin(r), std::sin(r), std::cos(r)) *
            cv::Matx22d(1 + 0.02 * t, 0.01 * t, 0.01 * t, 1 - 0.01 * t);
        std::vector<cv::Point2f> centres;
        for (const cv::Point2d& p : surface) {
            const cv::Vec2d x = a * cv::Vec2d(p.x - middle.x, p.y - middle.y);
            centres.emplace_back(static_cast<float>(middle.x + 5 * frame + x[0] + noise(random)),
                                 static_cast<float>(middle.y + x[1] + noise(random)));
        }
        updateField(centres, run);
    }
    const cv::Matx22d e = (a.t() * a - cv::Matx22d::eye()) * 0.5;
    std::vector<double> errors[3];
    const FieldResult& result = run.result;
    for (std::size_t i = 0; i < result.dotCount(); ++i) {
        if (!std::isnan(result.exx[i])) {
            errors[0].push_back(std::abs(result.exx[i] - e(0, 0)));
            errors[1].push_back(std::abs(result.eyy[i] - e(1, 1)));
            errors[2].push_back(std::abs(result.exy[i] - e(0, 1)));
        }
    }
    ASSERT_GE(errors[0].size(), 0.9 * surface.size());
    for (std::vector<double>& error : errors) {
        std::nth_element(error.begin(), error.begin() + error.size() * 95 / 100, error.end());
        EXPECT_LT(error[error.size() * 95 / 100], 1e-3);
    }
    // The surface's motion: a turn of 3 degrees (the symmetric stretch turns nothing), and
    // the reference frame's centroid carried with the surface.
    ASSERT_TRUE(result.motion.fitted);
    EXPECT_NEAR(result.motion.rotationDeg, 3, 1e-3);
    const cv::Vec2d pivot(run.pivot.x - middle.x, run.pivot.y - middle.y);
    const cv::Vec2d moved = a * pivot + cv::Vec2d(50, 0) - pivot;
    EXPECT_NEAR(result.motion.tx, moved[0], 0.02);
    EXPECT_NEAR(result.motion.ty, moved[1], 0.02);
}

}  // namespace
}  // namespace dottrack
