#include "camera/camera.h"

#include <cmath>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>
#include <opencv2/calib3d.hpp>

#include "tests/support/test_support.h"
#include "tools/sample/target_views.h"

namespace dottrack {
namespace {

// A strong barrel lens on small frames: at f = 500 px over 640 x 360 it bends as much as
// k1 = -0.28 does at f = 1000 px over 1280 x 720.
Lens strongBarrelLens() {
    Lens lens;
    lens.imageSize = {640, 360};
    lens.focal = 500;
    lens.principalPoint = {319.5, 179.5};
    lens.k1 = -0.28;
    return lens;
}

// The first frame of every view of `scene`.
std::vector<cv::Mat> renderViews(const TargetScene& scene) {
    std::vector<cv::Mat> frames(scene.poses.size());
    for (std::size_t view = 0; view < frames.size(); ++view) {
        renderTargetFrame(scene, static_cast<int>(view) * scene.holdFrames, frames[view]);
    }
    return frames;
}

TEST(Calibration, RecoversAStrongLensFromEachKindOfTarget) {
    const Lens lens = strongBarrelLens();
    for (const auto& [name, kind] : patternKindNames()) {
        SCOPED_TRACE(name);
        // Small frames want a coarse target: a chessboard's squares under 25 px put f
        // 0.7 % off. Six by four also has the even rows that acircles' finder misnumbers.
        const CalibrationPattern pattern{kind, {6, 4}, 20.0};
        const TargetScene scene = makeTargetScene(lens, pattern, 8);
        std::vector<std::vector<cv::Point2f>> views;
        for (const cv::Mat& frame : renderViews(scene)) {
            std::vector<cv::Point2f> points;
            ASSERT_EQ(findPattern(frame, pattern, points), PatternSight::found);
            refinePattern(frame, pattern, points);
            views.push_back(points);
        }
        CameraModel camera;
        ASSERT_EQ(calibrateFromViews(views, pattern, lens.imageSize, camera), "");
        EXPECT_NEAR(camera.matrix(0, 0), lens.focal, 0.005 * lens.focal);
        EXPECT_NEAR(camera.matrix(1, 1), lens.focal, 0.005 * lens.focal);
        EXPECT_NEAR(camera.distortion[0], lens.k1, 0.01);
        EXPECT_LT(camera.reprojectionError, 0.2);
        EXPECT_EQ(camera.imageSize, lens.imageSize);
        views.resize(minCalibrationViews - 1);
        EXPECT_NE(calibrateFromViews(views, pattern, lens.imageSize, camera), "");
    }
}

TEST(Calibration, TakesEachViewOnceAndNoPatternOfAnotherGrid) {
    const Lens lens = strongBarrelLens();
    CalibrationPattern circles;
    TargetScene scene = makeTargetScene(lens, circles, 9);
    std::vector<cv::Point2f> first, again, other;
    cv::Mat frame;
    renderTargetFrame(scene, 0, frame);
    ASSERT_EQ(findPattern(frame, circles, first), PatternSight::found);
    renderTargetFrame(scene, 1, frame);  // the same view, other noise
    ASSERT_EQ(findPattern(frame, circles, again), PatternSight::found);
    EXPECT_TRUE(repeatsView({first}, again));
    const std::vector<cv::Point2f> reversed(again.rbegin(), again.rend());
    EXPECT_TRUE(repeatsView({reversed}, first));  // numbered the other way round
    renderTargetFrame(scene, 2 * 8, frame);       // the target face on, in the middle
    ASSERT_EQ(findPattern(frame, circles, other), PatternSight::found);
    EXPECT_FALSE(repeatsView({first}, other));

    // A grid smaller than the target's is part of it, a larger one is not there at all.
    CalibrationPattern asked = circles;
    asked.grid = {7, 5};
    EXPECT_EQ(findPattern(frame, asked, other), PatternSight::larger);
    asked.grid = {10, 6};
    EXPECT_EQ(findPattern(frame, asked, other), PatternSight::absent);
    CalibrationPattern board;
    board.kind = PatternKind::chessboard;
    scene = makeTargetScene(lens, board, 9);
    renderTargetFrame(scene, 2 * 8, frame);
    asked = board;
    asked.grid = {7, 5};
    EXPECT_EQ(findPattern(frame, asked, other), PatternSight::larger);
    EXPECT_EQ(findPattern(test::uniformFrame(200, 200, 200), board, other), PatternSight::absent);

    // So few circles that OpenCV's finder needs its search by clustering.
    const CalibrationPattern few{PatternKind::circles, {4, 3}, 20.0};
    scene = makeTargetScene(lens, few, 9);
    renderTargetFrame(scene, 2 * 8, frame);
    EXPECT_EQ(findPattern(frame, few, other), PatternSight::found);
}

TEST(Undistortion, AgreesWithOpenCvsProjectionIntoTheCorners) {
    Lens lens;  // 1280 x 720, f = 1000 px
    lens.k1 = -0.28;
    lens.k2 = 0.06;
    lens.p1 = 1e-3;
    lens.p2 = -5e-4;
    lens.k3 = -0.01;
    const CameraModel camera = cameraModelOf(lens);
    // Ideal pixels over the whole frame, its corners included, and where the lens shows them.
    std::vector<cv::Point3d> rays;
    std::vector<cv::Point2d> ideal;
    for (double y = 0; y <= 719; y += 719.0 / 12) {
        for (double x = 0; x <= 1279; x += 1279.0 / 20) {
            ideal.emplace_back(x, y);
            rays.emplace_back((x - 639.5) / 1000, (y - 359.5) / 1000, 1);
        }
    }
    std::vector<cv::Point2d> seen, undistorted;
    cv::projectPoints(rays, cv::Vec3d(), cv::Vec3d(), camera.matrix, camera.distortion, seen);
    undistortCentres(seen, camera, undistorted);
    ASSERT_EQ(undistorted.size(), ideal.size());
    for (std::size_t i = 0; i < ideal.size(); ++i) {
        EXPECT_LT(cv::norm(undistorted[i] - ideal[i]), 1e-6) << ideal[i];
        // The lens that renders the targets is the same lens.
        EXPECT_LT(cv::norm(imagePixelOf(lens, ideal[i]) - seen[i]), 1e-9) << ideal[i];
        cv::Point2d back;
        ASSERT_TRUE(idealPixelOf(lens, seen[i], back)) << ideal[i];
        EXPECT_LT(cv::norm(back - ideal[i]), 1e-6) << ideal[i];
    }
    undistortCentres({}, camera, undistorted);
    EXPECT_TRUE(undistorted.empty());
}

TEST(Scale, IsThePitchOverTheMedianDistanceBetweenNeighbours) {
    // A turned grid 40 px apart, its centres off by 0.03 px as a finder's are, one missing,
    // one speck between two dots: 2 mm over 40 px, not over the nearest of each dot's four
    // neighbours, 0.04 px closer on average.
    std::vector<cv::Point2d> centres;
    cv::RNG jitter(3);
    const double turn = 0.5;
    for (int i = 0; i < 10; ++i) {
        for (int j = 0; j < 12; ++j) {
            const cv::Point2d offset(jitter.gaussian(0.03), jitter.gaussian(0.03));
            centres.push_back(cv::Point2d(300 + 40 * (j * std::cos(turn) - i * std::sin(turn)),
                                          100 + 40 * (j * std::sin(turn) + i * std::cos(turn))) +
                              offset);
        }
    }
    centres.erase(centres.begin() + 55);
    centres.push_back((centres[20] + centres[21]) / 2);
    const std::optional<double> scale = scaleFromPitch(centres, 2.0);
    ASSERT_TRUE(scale);
    EXPECT_NEAR(*scale, 2.0 / 40, 2.0 / 40 * 3e-4);
    EXPECT_FALSE(scaleFromPitch({{3, 4}}, 2.0));
    EXPECT_FALSE(scaleFromPitch({{3, 4}, {3, 4}}, 2.0));
}

using CameraFile = test::ScratchDirTest;

TEST_F(CameraFile, ReadsBackWhatItWroteAndWhatOpenCvsSampleWrites) {
    Lens lens = strongBarrelLens();
    lens.k2 = 0.0123456789012345;
    CameraModel written = cameraModelOf(lens);
    written.reprojectionError = 0.0312345678901234;
    ASSERT_EQ(writeCameraFile(path("camera.yml"), written), "");
    CameraModel read;
    ASSERT_EQ(readCameraFile(path("camera.yml"), read), "");
    EXPECT_EQ(read.matrix, written.matrix);
    EXPECT_EQ(read.distortion, written.distortion);
    EXPECT_EQ(read.imageSize, written.imageSize);
    EXPECT_EQ(read.reprojectionError, written.reprojectionError);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), {}), 1);

    // As OpenCV's sample writes it: more fields, the coefficients in a row of eight.
    std::ofstream(path("sample.yml")) << R"(%YAML:1.0
---
calibration_time: "Sat 06 Dec 2025 10:00:00 CET"
nr_of_frames: 25
image_width: 640
image_height: 480
board_width: 9
board_height: 6
square_size: 20.
flags: 0
camera_matrix: !!opencv-matrix
   rows: 3
   cols: 3
   dt: d
   data: [ 600., 0., 320., 0., 601., 240., 0., 0., 1. ]
distortion_coefficients: !!opencv-matrix
   rows: 1
   cols: 8
   dt: d
   data: [ -0.2, 0.05, 0., 0., 0., 0., 0., 0. ]
)";
    ASSERT_EQ(readCameraFile(path("sample.yml"), read), "");
    EXPECT_EQ(read.matrix(1, 1), 601);
    EXPECT_EQ(read.distortion.size(), 8u);
    EXPECT_EQ(read.imageSize, cv::Size(640, 480));
    EXPECT_TRUE(std::isnan(read.reprojectionError));
    EXPECT_EQ(checkCameraFits(read, {640, 480}), "");
    EXPECT_EQ(checkCameraFits(read, {1280, 720}),
              "the camera was calibrated on 640 x 480 frames, these are 1280 x 720");
}

TEST_F(CameraFile, RefusesInOneLineWhatItCannotUse) {
    const std::string good =
        "%YAML:1.0\nimage_width: 640\nimage_height: 480\n"
        "camera_matrix: !!opencv-matrix\n  rows: 3\n  cols: 3\n  dt: d\n"
        "  data: [ 600., 0., 320., 0., 600., 240., 0., 0., 1. ]\n"
        "distortion_coefficients: !!opencv-matrix\n  rows: 5\n  cols: 1\n"
        "  dt: d\n  data: [ -0.2, 0.05, 0., 0., 0. ]\n";
    const auto replaced = [&good](const std::string& from, const std::string& to) {
        std::string text = good;
        return text.replace(text.find(from), from.size(), to);
    };
    const std::pair<std::string, std::string> cases[] = {
        {"a: [1, 2\nb: {", "parse"},
        {replaced("image_width: 640\n", ""), "image_width"},
        {replaced("image_height: 480", "image_height: 480.5"), "image_height"},
        {replaced("camera_matrix", "matrix"), "camera_matrix"},
        {replaced("distortion_coefficients", "distortion"), "distortion_coefficients"},
        {replaced("rows: 3\n  cols: 3", "rows: 1\n  cols: 9"), "camera_matrix"},
        {replaced("rows: 5", "rows: 6"), "distortion_coefficients"},  // six for five numbers
        {replaced("600., 0., 320.", "-600., 0., 320."), "camera_matrix"},
    };
    for (const auto& [text, field] : cases) {
        SCOPED_TRACE(text);
        std::ofstream(path("bad.yml")) << text;
        CameraModel camera;
        const std::string problem = readCameraFile(path("bad.yml"), camera);
        EXPECT_NE(problem.find(path("bad.yml")), std::string::npos) << problem;
        EXPECT_NE(problem.find(field), std::string::npos) << problem;
        EXPECT_EQ(problem.find('\n'), std::string::npos) << problem;
    }
    CameraModel camera;
    EXPECT_NE(readCameraFile(path("none.yml"), camera), "");
    EXPECT_NE(writeCameraFile(path("missing/camera.yml"), camera), "");
    EXPECT_NE(writeCameraFile(dir_, camera), "");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), {}), 1);  // bad.yml
}

}  // namespace
}  // namespace dottrack
