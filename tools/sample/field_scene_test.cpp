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
// no pull in any direction. Through a strong lens a dot's image is no longer symmetric about
// the image of its centre (the lens shrinks its outer side more), which moves its centroid by
// a few hundredths.
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
    for (const std::optional<Lens>& through : {std::optional<Lens>(), std::optional(lens)}) {
        SCOPED_TRACE(through ? "through a lens" : "no lens");
        settings.lens = through;
        const double each = through ? 0.1 : 0.01, mean = through ? 0.05 : 0.005;
        // Without texture, the darkness is the dot's cover times the background and a constant.
        FieldScene scene = makeFieldScene(settings);
        scene.texture.setTo(0);
        FieldScene bare = scene;
        bare.gridColumns = 0;
        const int f = 10;  // the affine motion at its fullest
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
        if (!through) {
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
          FieldMotion::leave, FieldMotion::rigid}) {
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
