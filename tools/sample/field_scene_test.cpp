#include "tools/sample/field_scene.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/videoio.hpp>

#include "tests/e2e/e2e_support.h"
#include "tests/support/test_support.h"

namespace dottrack {
namespace {

// A dot's darkness, the frame against the same frame drawn without dots, has its centroid on
// the dot's true centre, under a turn, a stretch and a shear: to a hundredth of a pixel for
// each dot, as the rounding to whole grey levels allows, and to a thousandth on average, with
// no pull in any direction. Through a strong lens, or a press that bends the surface across a
// dot, a dot's image is no longer symmetric about the image of its centre (the lens shrinks
// its outer side more), which moves its centroid by a few hundredths.
TEST(FieldScene, DrawsEachDotAboutItsTrueCentre) {
    FieldSettings settings;
    settings.size = cv::Size(400, 300);
    settings.spacing = 40;
    settings.radius = 6;
    settings.noiseSigma = 0;
    settings.grey = true;
    settings.frameCount = 21;
    Lens lens;
    lens.imageSize = settings.size;
    lens.focal = 360;
    lens.principalPoint = {199.5, 149.5};
    lens.k1 = -0.28;
    const std::pair<FieldMotion, std::optional<Lens>> cases[] = {
        {FieldMotion::affine, std::nullopt},
        {FieldMotion::affine, lens},
        {FieldMotion::press, std::nullopt}};
    for (const auto& [motion, through] : cases) {
        SCOPED_TRACE(fieldMotionName(motion) + (through ? ", through a lens" : ""));
        settings.motion = motion;
        settings.lens = through;
        const bool bent = through || motion == FieldMotion::press;
        const double each = bent ? 0.1 : 0.01, mean = bent ? 0.05 : 0.005;
        // Without texture, the darkness is the dot's cover times the background and a constant.
        FieldScene scene = makeFieldScene(settings);
        scene.texture.setTo(0);
        FieldScene bare = scene;
        bare.gridColumns = 0;
        const int f = 10;  // the motion at its fullest
        cv::Mat frame, background;
        renderFieldFrame(scene, f, frame);
        renderFieldFrame(bare, f, background);
        cv::Point2d pull;
        double sum = 0;
        int dots = 0;
        for (const DotTruth& dot : fieldTruthAt(scene, f)) {
            const int reach = 10;
            const cv::Rect window(cvRound(dot.centre.x) - reach, cvRound(dot.centre.y) - reach,
                                  2 * reach + 1, 2 * reach + 1);
            if (!dot.visible || (window & cv::Rect({}, settings.size)) != window) {
                continue;
            }
            cv::Point2d moment;
            double weight = 0;
            for (int y = window.y; y < window.br().y; ++y) {
                for (int x = window.x; x < window.br().x; ++x) {
                    const double level = background.at<uchar>(y, x);
                    const double cover = (level - frame.at<uchar>(y, x)) / level;
                    moment += cover * cv::Point2d(x, y);
                    weight += cover;
                }
            }
            const cv::Point2d error = moment / weight - dot.centre;
            EXPECT_LT(cv::norm(error), each) << dot.centre;
            pull += error;
            sum += cv::norm(error);
            ++dots;
        }
        ASSERT_GT(dots, 40);
        EXPECT_LT(sum / dots, mean);
        if (!bent) {
            EXPECT_LT(cv::norm(pull / dots), 0.001);
        }
    }
}

TEST(FieldScene, MovesAsItsMotionsPromise) {
    FieldSettings settings;
    settings.size = cv::Size(640, 480);
    settings.spacing = 40;
    settings.frameCount = 60;
    for (const FieldMotion motion :
         {FieldMotion::affine, FieldMotion::slide, FieldMotion::turn, FieldMotion::stretch,
          FieldMotion::leave, FieldMotion::rigid, FieldMotion::press}) {
        SCOPED_TRACE(fieldMotionName(motion));
        settings.motion = motion;
        const FieldScene scene = makeFieldScene(settings);
        // At rest in the first frame, and every dot in view there at the last.
        std::set<int> first, last;
        for (const DotTruth& dot : fieldTruthAt(scene, 0)) {
            EXPECT_NEAR(cv::norm(dot.centre - scene.dots[dot.dot]), 0, 1e-9);
            if (dot.visible) {
                first.insert(dot.dot);
            }
        }
        double fastest = 0;
        std::vector<DotTruth> before = fieldTruthAt(scene, 0);
        for (int f = 1; f < settings.frameCount; ++f) {
            const std::vector<DotTruth> now = fieldTruthAt(scene, f);
            for (const DotTruth& dot : now) {
                for (const DotTruth& old : before) {
                    if (old.dot == dot.dot) {
                        fastest = std::max(fastest, cv::norm(dot.centre - old.centre));
                    }
                }
            }
            before = now;
        }
        for (const DotTruth& dot : before) {
            if (dot.visible && first.count(dot.dot) > 0) {
                last.insert(dot.dot);
            }
        }
        EXPECT_GT(last.size(), first.size() * 9 / 10);
        EXPECT_LE(fastest, 0.4 * settings.spacing);
        if (motion == FieldMotion::slide) {
            EXPECT_GT(fastest, 0.38 * settings.spacing);
        }
        if (motion == FieldMotion::leave) {
            // Half way, a third of the field has left the view.
            std::size_t seen = 0;
            for (const DotTruth& dot : fieldTruthAt(scene, settings.frameCount / 2)) {
                seen += first.count(dot.dot);
            }
            EXPECT_LT(seen, first.size() * 2 / 3);
        }
    }
}

// At speed F a frame shows the pose of frame F times its index, up to the last, and rests
// there after. A press stretches the surface where it bulges, squeezes the ring around it
// radially and leaves the far surface alone, and each image point is seen by the surface point
// that maps to it.
TEST(FieldScene, HastensEachMotionAndBendsTheSurfaceWhereItPresses) {
    FieldSettings settings;
    settings.size = cv::Size(640, 480);
    settings.frameCount = 41;
    const cv::Point2d points[] = {{100, 80}, {256, 216}, {380, 216}, {600, 450}};
    for (const FieldMotion motion : {FieldMotion::slide, FieldMotion::turn, FieldMotion::press}) {
        SCOPED_TRACE(fieldMotionName(motion));
        settings.motion = motion;
        settings.speed = 1;
        const FieldScene once = makeFieldScene(settings);
        settings.speed = 3;
        const FieldScene thrice = makeFieldScene(settings);
        for (int f = 0; f < settings.frameCount; ++f) {
            const FieldPose fast = fieldPoseAt(thrice, f);
            const FieldPose slow = fieldPoseAt(once, std::min(3 * f, settings.frameCount - 1));
            for (const cv::Point2d point : points) {
                EXPECT_LT(cv::norm(imagePointOf(fast, point) - imagePointOf(slow, point)), 1e-9)
                    << f;
            }
        }
    }
    const FieldScene pressed = makeFieldScene(settings);
    const FieldPose pose = fieldPoseAt(pressed, 7);  // speed 3: at its fullest
    const cv::Point2d centre(256, 216);              // where it presses
    const auto strainAt = [&pose](cv::Point2d point) {
        const cv::Matx22d f = surfaceJacobianAt(pose, point);
        const double step = 1e-4;
        for (int axis = 0; axis < 2; ++axis) {
            const cv::Point2d delta(axis == 0 ? step : 0, axis == 1 ? step : 0);
            const cv::Point2d slope =
                (imagePointOf(pose, point + delta) - imagePointOf(pose, point - delta)) /
                (2 * step);
            EXPECT_NEAR(slope.x, f(0, axis), 1e-7);
            EXPECT_NEAR(slope.y, f(1, axis), 1e-7);
        }
        return (f.t() * f - cv::Matx22d::eye()) * 0.5;
    };
    EXPECT_NEAR(strainAt(centre)(0, 0), 0.1, 0.01);
    EXPECT_NEAR(strainAt(centre)(1, 1), 0.1, 0.01);
    EXPECT_LT(strainAt(centre + cv::Point2d(1.7 * 96, 0))(0, 0), -0.03);  // radially squeezed
    EXPECT_LT(cv::norm(strainAt({630, 10})), 2e-4);
    for (const cv::Point2d point : points) {
        EXPECT_LT(cv::norm(imagePointOf(pose, surfacePointAt(pose, point)) - point), 1e-9);
    }
}

using FieldProgram = test::ScratchDirTest;

TEST_F(FieldProgram, WritesAFieldVideoAndItsTruth) {
    const e2e::Launch launch{
        DOTTRACK_SAMPLE_EXE,
        {"field.avi", "--field", "--size", "320x240", "--spacing", "30", "--frames", "4", "--grey",
         "--motion", "slide", "--noise", "0", "--truth", "truth.csv"},
        dir_,
        {},
        "/dev/null",
        path("err")};
    ASSERT_EQ(e2e::RunningProgram(launch).waitForExit(std::chrono::minutes(1)), 0);
    EXPECT_EQ(e2e::readText(launch.stderrPath), "");
    FieldSettings settings;
    settings.size = cv::Size(320, 240);
    settings.spacing = 30;
    settings.frameCount = 4;
    settings.grey = true;
    settings.motion = FieldMotion::slide;
    settings.noiseSigma = 0;
    const FieldScene scene = makeFieldScene(settings);
    cv::VideoCapture capture(path("field.avi"));
    cv::Mat frame, rendered, grey;
    for (int f = 0; f < 4; ++f) {
        ASSERT_TRUE(capture.read(frame)) << "frame " << f;
        cv::extractChannel(frame, grey, 0);
        renderFieldFrame(scene, f, rendered);
        // Compression leaves about 2 grey levels on average; a frame of another scene or pose
        // would differ by tens.
        EXPECT_LT(cv::norm(grey, rendered, cv::NORM_L1) / rendered.total(), 3.0) << f;
    }
    EXPECT_FALSE(capture.read(frame));
    std::vector<std::string> lines = e2e::readLines(path("truth.csv"));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "frame,dot,x,y,visible");
    std::size_t row = 1;
    for (int f = 0; f < 4; ++f) {
        for (const DotTruth& dot : fieldTruthAt(scene, f)) {
            ASSERT_LT(row, lines.size());
            int frameIndex = -1, index = -1, visible = -1;
            cv::Point2d centre;
            ASSERT_EQ(std::sscanf(lines[row++].c_str(), "%d,%d,%lf,%lf,%d", &frameIndex, &index,
                                  &centre.x, &centre.y, &visible),
                      5);
            EXPECT_EQ(frameIndex, f);
            EXPECT_EQ(index, dot.dot);
            EXPECT_EQ(centre, dot.centre);
            EXPECT_EQ(visible, dot.visible ? 1 : 0);
        }
    }
    EXPECT_EQ(row, lines.size());
    // Dots that cannot stay apart, a frame too small, and field options without --field.
    for (const std::vector<std::string>& wrong :
         {std::vector<std::string>{"f.avi", "--field", "--spacing", "10"},
          std::vector<std::string>{"f.avi", "--field", "--size", "32x32"},
          std::vector<std::string>{"f.avi", "--spacing", "30"}}) {
        const e2e::Launch refused{DOTTRACK_SAMPLE_EXE, wrong, dir_, {}, "/dev/null", "/dev/null"};
        EXPECT_EQ(e2e::RunningProgram(refused).waitForExit(std::chrono::minutes(1)), 2)
            << wrong.back();
    }
}

}  // namespace
}  // namespace dottrack
