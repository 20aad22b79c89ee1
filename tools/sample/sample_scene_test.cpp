#include "tools/sample/sample_scene.h"

#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/videoio.hpp>

namespace dottrack {
namespace {

namespace fs = std::filesystem;

const cv::Point2d centre((sampleWidth - 1) / 2.0, (sampleHeight - 1) / 2.0);
const int defaultCount = sampleDefaultFrameCount;

// Middle frame of a motion in the default video: its largest excursion.
int peakFrameOf(const std::string& motion) {
    for (const MotionSpan& span : motionTimeline(defaultCount)) {
        if (span.motion == motion) {
            return span.first + span.count / 2;
        }
    }
    ADD_FAILURE() << "no " << motion << " in the timeline";
    return 0;
}

TEST(SampleScene, IsDeterministicPerSeed) {
    const SampleScene a = makeScene(7), b = makeScene(7), other = makeScene(8);
    const int f = peakFrameOf("twist");
    EXPECT_EQ(dotCentresAt(a, f, defaultCount), dotCentresAt(b, f, defaultCount));
    EXPECT_EQ(
        cv::norm(renderFrame(a, f, defaultCount), renderFrame(b, f, defaultCount), cv::NORM_INF),
        0);
    EXPECT_NE(dotCentresAt(a, f, defaultCount), dotCentresAt(other, f, defaultCount));
    EXPECT_GT(cv::norm(a.background, other.background, cv::NORM_INF), 0);
    // The pixel noise changes from frame to frame even while nothing moves.
    EXPECT_GT(
        cv::norm(renderFrame(a, 0, defaultCount), renderFrame(a, 1, defaultCount), cv::NORM_INF),
        0);
}

TEST(SampleScene, RendersRoundDarkDotsAtTheTrueCentres) {
    const SampleScene scene = makeScene(3);
    for (const char* motion : {"rest", "translate", "shear", "twist", "press"}) {
        const int f = peakFrameOf(motion);
        const cv::Mat frame = renderFrame(scene, f, defaultCount);
        ASSERT_EQ(frame.type(), CV_8UC3);
        ASSERT_EQ(frame.size(), cv::Size(sampleWidth, sampleHeight));
        for (const cv::Point2d& truth : dotCentresAt(scene, f, defaultCount)) {
            // Darkness = background minus frame in green + red, as the tracker
            // reads it, over a window around the true centre.
            const int cx = cvRound(truth.x), cy = cvRound(truth.y);
            double sum = 0, sumX = 0, sumY = 0;
            for (int y = cy - 10; y <= cy + 10; ++y) {
                for (int x = cx - 10; x <= cx + 10; ++x) {
                    const cv::Vec3b p = frame.at<cv::Vec3b>(y, x);
                    const cv::Vec3f b = scene.background.at<cv::Vec3f>(y, x);
                    const double w = (b[1] + b[2]) - (p[1] + p[2]);
                    sum += w;
                    sumX += w * x;
                    sumY += w * y;
                }
            }
            EXPECT_LT(std::hypot(sumX / sum - truth.x, sumY / sum - truth.y), 0.3)
                << motion << " frame " << f;
            const cv::Vec3b core = frame.at<cv::Vec3b>(cy, cx);
            const cv::Vec3f coreBackground = scene.background.at<cv::Vec3f>(cy, cx);
            EXPECT_LT(core[1] + core[2], 150);
            // Darkness over core contrast is the dot's area: the anti-aliased
            // rim neither adds nor loses any.
            const double contrast = coreBackground[1] + coreBackground[2] - core[1] - core[2];
            const double area = CV_PI * scene.dotRadius * scene.dotRadius;
            EXPECT_NEAR(sum / contrast, area, 0.05 * area);
        }
    }
}

TEST(SampleTimeline, RunsTheMotionsInOrderAfterARestLeadIn) {
    std::vector<std::string> order;
    int next = 0;
    for (const MotionSpan& span : motionTimeline(defaultCount)) {
        EXPECT_EQ(span.first, next);
        EXPECT_GT(span.count, 0);
        next = span.first + span.count;
        order.push_back(span.motion);
        for (int f = span.first; f < next; ++f) {
            ASSERT_EQ(motionAt(f, defaultCount), span.motion) << "frame " << f;
        }
    }
    EXPECT_EQ(next, defaultCount);
    EXPECT_GE(defaultCount, 300);
    EXPECT_GE(motionTimeline(defaultCount).front().count, 45);
    EXPECT_EQ(order, (std::vector<std::string>{"rest", "translate", "rest", "shear", "rest",
                                               "twist", "rest", "press", "rest"}));
}

TEST(SampleTimeline, EveryLengthStartsAndEndsAtRest) {
    const SampleScene scene = makeScene(1);
    for (int n : {1, 45, 46, 47, 60, 404, 406, 1000}) {
        EXPECT_EQ(motionTimeline(n).back().first + motionTimeline(n).back().count, n);
        EXPECT_EQ(motionAt(0, n), "rest");
        EXPECT_EQ(motionAt(n - 1, n), "rest") << n << " frames";
        EXPECT_EQ(dotCentresAt(scene, n - 1, n), scene.restCentres) << n << " frames";
    }
    EXPECT_ANY_THROW(motionAt(60, 60));
    EXPECT_ANY_THROW(dotCentresAt(scene, -1, 60));
    EXPECT_ANY_THROW(motionTimeline(0));
}

TEST(SampleMotion, StaysSlowInsideTheFrameAndApart) {
    const SampleScene scene = makeScene(1);
    const double r = scene.dotRadius;
    std::vector<cv::Point2d> previous = dotCentresAt(scene, defaultCount - 1, defaultCount);
    for (int f = 0; f < defaultCount; ++f) {  // from the last frame, as the video loops
        const std::vector<cv::Point2d> centres = dotCentresAt(scene, f, defaultCount);
        ASSERT_GE(centres.size(), 30u);
        ASSERT_LE(centres.size(), 40u);
        for (std::size_t i = 0; i < centres.size(); ++i) {
            const cv::Point2d p = centres[i];
            ASSERT_LE(cv::norm(p - previous[i]), 1.5) << "frame " << f << " dot " << i;
            ASSERT_GE(std::min({p.x, p.y, sampleWidth - 1 - p.x, sampleHeight - 1 - p.y}), 40.0)
                << "frame " << f << " dot " << i;
            // The whole dot stays out of the 50 px corner squares.
            const bool nearSideX = p.x < 50 + r || p.x > sampleWidth - 51 - r;
            const bool nearSideY = p.y < 50 + r || p.y > sampleHeight - 51 - r;
            ASSERT_FALSE(nearSideX && nearSideY) << "frame " << f << " dot " << i;
            for (std::size_t j = 0; j < i; ++j) {
                ASSERT_GE(cv::norm(p - centres[j]), 60.0) << "frame " << f;
            }
        }
        previous = centres;
    }
}

TEST(SampleMotion, EachMotionMovesTheSurfaceAsNamed) {
    const SampleScene scene = makeScene(2);
    const std::vector<cv::Point2d>& rest = scene.restCentres;
    auto peakOf = [&](const char* motion) {
        return dotCentresAt(scene, peakFrameOf(motion), defaultCount);
    };
    const std::vector<cv::Point2d> translated = peakOf("translate"), sheared = peakOf("shear"),
                                   twisted = peakOf("twist"), pressed = peakOf("press");
    const cv::Point2d shift = translated[0] - rest[0];
    EXPECT_NEAR(cv::norm(shift), 25.0, 3.0);
    double largestPress = 0;
    for (std::size_t i = 0; i < rest.size(); ++i) {
        const cv::Point2d fromCentre = rest[i] - centre;
        EXPECT_LT(cv::norm(translated[i] - rest[i] - shift), 1e-9);

        // Horizontal only, proportional to the height above or below the
        // centre, about 20 px at the image edges.
        const cv::Point2d shear = sheared[i] - rest[i];
        EXPECT_EQ(shear.y, 0.0);
        EXPECT_NEAR(shear.x / fromCentre.y * centre.y, 20.0, 2.0);

        const cv::Point2d twist = twisted[i] - centre;
        EXPECT_NEAR(cv::norm(twist), cv::norm(fromCentre), 1e-9);
        const double degrees = std::atan2(fromCentre.cross(twist), fromCentre.dot(twist));
        EXPECT_NEAR(std::abs(degrees) * 180.0 / CV_PI, 6.0, 0.5);

        const cv::Point2d press = pressed[i] - rest[i];
        EXPECT_NEAR(fromCentre.cross(press), 0.0, 1e-6);  // radial
        EXPECT_GT(fromCentre.dot(press), 0.0);            // outward
        largestPress = std::max(largestPress, cv::norm(press));
    }
    EXPECT_GT(largestPress, 10.0);
    EXPECT_LT(largestPress, 16.0);
}

// Runs the real binary in a scratch directory and keeps its standard error.
class SampleProgram : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "dottrack-sample-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    int run(const std::string& arguments) {
        const std::string errors = (dir / "stderr.txt").string();
        const int status = std::system(
            ("'" DOTTRACK_SAMPLE_EXE "' " + arguments + " >/dev/null 2>'" + errors + "'").c_str());
        std::stringstream text;
        text << std::ifstream(errors).rdbuf();
        stderrText = text.str();
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string path(const std::string& name) const { return "'" + (dir / name).string() + "'"; }

    fs::path dir;
    std::string stderrText;
};

TEST_F(SampleProgram, WritesAShortVideoAndItsTruth) {
    ASSERT_EQ(run(path("short.avi") + " --frames 60 --seed 4 --truth " + path("truth.csv")), 0)
        << stderrText;
    EXPECT_EQ(stderrText, "");

    const SampleScene scene = makeScene(4);
    cv::VideoCapture capture((dir / "short.avi").string());
    ASSERT_TRUE(capture.isOpened());
    int frames = 0;
    for (cv::Mat frame; capture.read(frame); ++frames) {
        ASSERT_EQ(frame.type(), CV_8UC3);
        ASSERT_EQ(frame.size(), cv::Size(sampleWidth, sampleHeight));
        if (frames == 50) {  // compression blurs a little; colours and layout survive
            const double meanDifference =
                cv::norm(frame, renderFrame(scene, frames, 60), cv::NORM_L1) / frame.total() / 3;
            EXPECT_LT(meanDifference, 4.0);
        }
    }
    EXPECT_EQ(frames, 60);

    std::ifstream truth(dir / "truth.csv");
    std::string line;
    ASSERT_TRUE(std::getline(truth, line));
    EXPECT_EQ(line, "frame,motion,dot,x,y");
    const std::size_t dots = scene.restCentres.size();
    std::size_t rows = 0;
    for (; std::getline(truth, line); ++rows) {
        const int f = static_cast<int>(rows / dots);
        char motion[16] = {};
        int frame = -1;
        unsigned dot = 0;
        double x = 0, y = 0;
        ASSERT_EQ(std::sscanf(line.c_str(), "%d,%15[a-z],%u,%lf,%lf", &frame, motion, &dot, &x, &y),
                  5)
            << line;
        ASSERT_EQ(frame, f);
        ASSERT_EQ(dot, rows % dots);
        EXPECT_EQ(motion, motionAt(f, 60));
        // Written with enough digits to read back exactly.
        EXPECT_EQ(cv::Point2d(x, y), dotCentresAt(scene, f, 60)[dot]) << line;
    }
    EXPECT_EQ(rows, 60 * dots);
}

TEST_F(SampleProgram, FailsWithOneLineOnBadInput) {
    const std::string video = path("out.avi"), missing = path("missing/out.avi");
    const std::pair<std::string, int> cases[] = {
        {"", 2},
        {video + " --frames 0", 2},
        {video + " --seed -3", 2},
        {video + " --bogus", 2},
        {video + " --truth", 2},
        {path("out.mp4"), 2},
        {missing, 1},
        {video + " --truth " + path("missing/truth.csv"), 1},
    };
    for (const auto& [arguments, status] : cases) {
        EXPECT_EQ(run(arguments), status) << arguments;
        EXPECT_EQ(stderrText.rfind("dottrack-sample: ", 0), 0u) << stderrText;
        EXPECT_EQ(std::count(stderrText.begin(), stderrText.end(), '\n'), 1) << stderrText;
    }
    EXPECT_EQ(run("--help"), 0);
    EXPECT_EQ(stderrText, "");
}

}  // namespace
}  // namespace dottrack
