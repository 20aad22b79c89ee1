#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "tools/field/field_view.h"

namespace dottrack {
namespace {

using Points = std::vector<cv::Point2f>;

// A view of `frame` with the given dots and strain values, everything else left out.
cv::Mat drawStrain(const cv::Mat& frame, const Points& centres, const std::vector<double>& values,
                   FieldView& state, const Points* displacements = nullptr) {
    FieldViewInput input;
    input.centres = &centres;
    input.values = &values;
    input.displacements = displacements;
    cv::Mat view;
    drawFieldView(frame, input, FieldQuantity::exx, state, view);
    return view;
}

cv::Vec3b at(const cv::Mat& view, cv::Point2f p) {
    return view.at<cv::Vec3b>(cvRound(p.y), cvRound(p.x));
}

// Clear of the legends in the corners of a 640 x 480 view.
const cv::Point2f cornerA(150, 250), cornerB(430, 250), cornerC(290, 450);

TEST(ParseFieldQuantity, ReadsEveryNameAndNothingElse) {
    FieldQuantity quantity = FieldQuantity::exx;
    for (const char* name : {"eyy", "exy", "rotation", "area", "disp", "exx"}) {
        const FieldQuantity before = quantity;
        EXPECT_TRUE(parseFieldQuantity(name, quantity)) << name;
        EXPECT_NE(quantity, before) << name;
    }
    for (const char* name : {"", "Exx", "strain", "exx "}) {
        EXPECT_FALSE(parseFieldQuantity(name, quantity)) << name;
    }
}

// Red for stretch, blue for compression, neutral where the values interpolate to 0: the
// centroid of a triangle with corners -v, +v, 0 looks exactly like a triangle of zeros. A lost
// dot listed first and a dot far away shift no value onto another dot.
TEST(DrawFieldView, PaintsEachTriangleBetweenItsCornersValues) {
    const cv::Mat white(480, 640, CV_8UC3, cv::Scalar::all(255));
    const Points corners{{NAN, NAN}, cornerA, {2000, 2000}, cornerB, cornerC};
    FieldView state, zeroState;
    const cv::Mat view = drawStrain(white, corners, {0.0, -4e-3, 0.0, 4e-3, 0.0}, state);
    const cv::Mat zeros = drawStrain(white, corners, {0.0, 0.0, 0.0, 0.0, 0.0}, zeroState);
    EXPECT_EQ(view.size(), white.size());

    const cv::Point2f centroid = (cornerA + cornerB + cornerC) / 3;
    const cv::Vec3b nearA = at(view, cornerA * 0.8f + centroid * 0.2f);
    const cv::Vec3b nearB = at(view, cornerB * 0.8f + centroid * 0.2f);
    EXPECT_GT(nearA[0], nearA[2] + 60);  // blue
    EXPECT_GT(nearB[2], nearB[0] + 60);  // red
    EXPECT_LE(cv::norm(at(view, centroid), at(zeros, centroid), cv::NORM_INF), 1);
    const cv::Vec3b neutral = at(zeros, centroid);
    EXPECT_LE(std::abs(neutral[0] - neutral[2]), 2);
    // Painted, unlike the dimmed frame outside the triangle.
    EXPECT_GT(neutral[1], at(view, {600, 400})[1] + 80);
}

// A corner without a value, or a triangle spanning a covered part of the field, is not
// painted: the frame shows there as it does beyond the dots.
TEST(DrawFieldView, LeavesOutTrianglesWithoutValuesOrAcrossHoles) {
    const cv::Mat white(480, 640, CV_8UC3, cv::Scalar::all(255));
    FieldView state;
    const cv::Vec3b dimmed = at(drawStrain(white, {}, {}, state), {300, 300});
    const cv::Mat withNaN =
        drawStrain(white, {cornerA, cornerB, cornerC}, {2e-3, 2e-3, NAN}, state);
    EXPECT_EQ(at(withNaN, (cornerA + cornerB + cornerC) / 3), dimmed);

    // A 9 x 7 field of dots 30 px apart with its middle 3 x 3 covered.
    Points centres;
    for (int row = 0; row < 7; ++row) {
        for (int column = 0; column < 9; ++column) {
            if (std::abs(row - 3) > 1 || std::abs(column - 4) > 1) {
                centres.emplace_back(160 + 30 * column, 210 + 30 * row);
            }
        }
    }
    const cv::Mat covered =
        drawStrain(white, centres, std::vector<double>(centres.size(), 2e-3), state);
    EXPECT_EQ(at(covered, {280, 300}), dimmed);
    EXPECT_NE(at(covered, {175, 225}), dimmed);
    EXPECT_NE(at(covered, {385, 375}), dimmed);
}

// The arrow runs back from the dot towards where it came from, not ahead of it.
TEST(DrawFieldView, DrawsEachArrowFromTheReferenceToTheDot) {
    const cv::Mat grey(480, 640, CV_8UC3, cv::Scalar::all(128));
    const Points centres{cornerA, cornerB, cornerC};
    const Points displacements{{0, 0}, {0, 0}, {-3, -4}};
    FieldView state;
    const cv::Mat view = drawStrain(grey, centres, {0, 0, 0}, state, &displacements);
    const cv::Point2f behind = cornerC - displacements[2] * 0.6f;
    const cv::Point2f ahead = cornerC + displacements[2] * 0.6f;
    EXPECT_GT(at(view, behind)[1], 180) << at(view, ahead);
    EXPECT_LT(at(view, ahead)[1], 150) << at(view, ahead);
}

// Strain scales: the bar widens at once for larger values, narrows only slowly when they
// fall, never below its floor, and starts afresh for another quantity.
TEST(DrawFieldView, KeepsTheColourScaleSteady) {
    const cv::Mat white(480, 640, CV_8UC3, cv::Scalar::all(255));
    const Points centres{cornerA, cornerB, cornerC};
    FieldView state;
    drawStrain(white, centres, {-1e-2, 1e-2, 0}, state);
    const double wide = state.colourRange;
    EXPECT_GT(wide, 9e-3);
    drawStrain(white, centres, {-1e-4, 1e-4, 0}, state);
    EXPECT_GT(state.colourRange, 0.8 * wide);
    for (int frame = 0; frame < 300; ++frame) {
        drawStrain(white, centres, {0, 0, 0}, state);
    }
    EXPECT_NEAR(state.colourRange, 1e-3, 1e-4);

    FieldViewInput input;
    input.centres = &centres;
    const std::vector<double> degrees{-2, 2, 0};
    input.values = &degrees;
    cv::Mat view;
    drawFieldView(white, input, FieldQuantity::rotation, state, view);
    EXPECT_GT(state.colourRange, 1.9);
}

// No dots, too few for a triangle, no values, grey and large frames: each gives a view of
// the frame's size.
TEST(DrawFieldView, DrawsAnyFrameAndAnyInput) {
    const Points two{{100, 100}, {140, 100}};
    const Points lost{{NAN, NAN}, {NAN, NAN}, {NAN, NAN}};
    const Points corners{cornerA, cornerB, cornerC};
    const std::vector<double> noValues(3, NAN);
    const SurfaceMotion unfitted;
    for (const cv::Mat& frame : {cv::Mat(480, 640, CV_8UC3, cv::Scalar::all(200)),
                                 cv::Mat(1080, 1920, CV_8UC1), cv::Mat(120, 160, CV_8UC3)}) {
        FieldView state;
        for (const Points* centres : {&two, &lost, &corners, static_cast<const Points*>(nullptr)}) {
            for (const FieldQuantity quantity : {FieldQuantity::area, FieldQuantity::disp}) {
                FieldViewInput input;
                input.centres = centres;
                input.displacements = centres;
                input.values = &noValues;
                input.motion = &unfitted;
                cv::Mat view;
                ASSERT_NO_THROW(drawFieldView(frame, input, quantity, state, view));
                EXPECT_EQ(view.size(), frame.size());
                EXPECT_EQ(view.type(), CV_8UC3);
            }
        }
    }
}

}  // namespace
}  // namespace dottrack
