#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <set>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include "app/track_frame.h"
#include "app/video_input.h"
#include "tests/e2e/e2e_support.h"
#include "tests/support/test_support.h"
#include "tools/export/export_test_support.h"
#include "tools/export/pass_reader.h"

namespace dottrack {
namespace {

const std::string exportProgram = DOTTRACK_EXPORT_EXE;
// The sample video, 150 frames long (52 passes), written when the tests are built.
const std::string sampleVideo = DOTTRACK_EXPORT_SHORT_SAMPLE;
constexpr std::size_t markerCount = 30;

bool sameBits(cv::Point2f a, cv::Point2f b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

std::vector<long> framesOfPasses(const std::vector<test::TrackRow>& rows) {
    std::vector<long> frames;
    for (std::size_t i = 0; i < rows.size(); i += markerCount) {
        frames.push_back(rows[i].frame);
    }
    return frames;
}

class ExportTest : public ::testing::Test {
protected:
    void SetUp() override { dir_ = test::makeTempDir("dottrack-export"); }
    void TearDown() override { test::removeTree(dir_); }

    test::ProgramRun runExport(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), "--quiet");
        return test::runProgram(exportProgram, arguments, dir_);
    }

    std::string writeIndexedVideo(int frameCount, cv::Size size = cv::Size(640, 480)) {
        const std::string path = dir_ + "/indexed-" + std::to_string(frameCount) + ".avi";
        EXPECT_TRUE(test::writeVideo(path, frameCount, size,
                                     [size](int i) { return test::indexedFrame(i, size); }));
        return path;
    }

    std::set<std::string> filesInDir() const {
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
            names.insert(entry.path().filename().string());
        }
        return names;
    }

    std::string dir_;
};

TEST_F(ExportTest, MatchesTheStagesDrivenDirectly) {
    const test::ProgramRun run = runExport({sampleVideo});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    const std::vector<test::TrackRow> rows = test::parseTrackCsv(run.out);
    ASSERT_EQ(rows.size(), 52 * markerCount);

    cv::VideoCapture capture(sampleVideo);
    cv::Mat frame;
    long position = 0;
    skipWarmup(capture, frame, position);
    TrackState state;
    prepareTrackState(state);
    long index = -1;
    for (std::size_t pass = 0; pass * markerCount < rows.size(); ++pass) {
        index = readPassFrame(capture, frame, position);
        trackFrame(frame, pass == 0, state);
        ASSERT_EQ(state.markers.size(), markerCount);
        for (std::size_t i = 0; i < markerCount; ++i) {
            SCOPED_TRACE("pass " + std::to_string(pass) + ", marker " + std::to_string(i));
            const test::TrackRow& row = rows[pass * markerCount + i];
            ASSERT_EQ(row.pass, static_cast<std::int64_t>(pass));
            ASSERT_EQ(row.frame, index);
            ASSERT_EQ(row.marker, static_cast<int>(i));
            ASSERT_TRUE(sameBits(row.ref, state.refMarkers[i]));
            ASSERT_TRUE(sameBits(row.position, state.markers[i]));
            const int held = state.assignment[i];
            ASSERT_EQ(row.target, held);
            ASSERT_TRUE(held < 0 || sameBits(row.targetPosition, state.targets[held]));
        }
    }
    // One trip, frames 46 to 148: the next pass would start the video over.
    EXPECT_EQ(rows.front().frame, warmupFrames + 1);
    EXPECT_EQ(index, 148);
    EXPECT_EQ(readPassFrame(capture, frame, position), 0);
}

TEST_F(ExportTest, ThreadedAndInTurnRunsWriteTheSameFiles) {
    // 70 passes go past the end of the video and start it over.
    const std::string csv1 = dir_ + "/1.csv", png1 = dir_ + "/1.png";
    const std::string csv2 = dir_ + "/2.csv", png2 = dir_ + "/2.png";
    ASSERT_EQ(
        runExport({sampleVideo, "--passes", "70", "--threads", "1", "--out", csv1, "--plot", png1})
            .status,
        0);
    ASSERT_EQ(runExport({sampleVideo, "--passes=70", "--out", csv2, "--plot", png2}).status, 0);
    const std::string text = e2e::readText(csv1);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1 + 70 * markerCount);
    EXPECT_TRUE(text == e2e::readText(csv2));
    EXPECT_TRUE(e2e::readText(png1) == e2e::readText(png2));

    // The default run is the first trip of the longer one.
    const test::ProgramRun oneTrip = runExport({sampleVideo});
    EXPECT_EQ(text.compare(0, oneTrip.out.size(), oneTrip.out), 0);
}

TEST_F(ExportTest, RunLengthFollowsTheVideo) {
    const auto evenFramesTo = [](long last, std::vector<long> then) {
        std::vector<long> frames;
        for (long f = 0; f <= last; f += 2) {
            frames.push_back(f);
        }
        frames.insert(frames.end(), then.begin(), then.end());
        return frames;
    };
    struct Case {
        int frameCount;
        std::vector<std::string> options;
        std::vector<long> frames;
    };
    const std::vector<Case> cases = {
        // A pass after the warm-up: the trip runs from frame 46 to the end.
        {47, {}, {46}},
        {50, {}, {46, 48}},
        {51, {}, {46, 48, 50}},
        // The warm-up (or the first pass's skip) uses the video up: the trip starts at 0.
        {40, {}, evenFramesTo(38, {})},
        {46, {}, evenFramesTo(44, {})},
        // Past the end the passes start the video over and count on.
        {50, {"--passes", "7"}, {46, 48, 0, 2, 4, 6, 8}},
        {51, {"--passes", "7", "--threads", "1"}, {46, 48, 50, 0, 2, 4, 6}},
        {45, {"--passes", "26"}, evenFramesTo(44, {0, 2, 4})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.frameCount) + " frames, passes " +
                     std::to_string(c.frames.size()));
        std::vector<std::string> arguments = c.options;
        arguments.push_back(writeIndexedVideo(c.frameCount));
        const test::ProgramRun run = runExport(arguments);
        ASSERT_EQ(run.status, 0) << run.err;
        const std::vector<test::TrackRow> rows = test::parseTrackCsv(run.out);
        EXPECT_EQ(framesOfPasses(rows), c.frames);
        if (c.options.empty()) {
            // The length that the progress bar expects from the frame count.
            EXPECT_EQ(passesInOneTrip(c.frameCount), static_cast<std::int64_t>(c.frames.size()));
        }
        for (std::size_t i = 0; i < rows.size(); ++i) {
            ASSERT_EQ(rows[i].pass, static_cast<std::int64_t>(i / markerCount)) << "row " << i;
            ASSERT_EQ(rows[i].marker, static_cast<int>(i % markerCount)) << "row " << i;
        }
    }
}

TEST_F(ExportTest, FailuresSayWhyInOneLineAndLeaveNoFile) {
    const std::string smallVideo = writeIndexedVideo(60, cv::Size(320, 240));
    const std::string csv = dir_ + "/t.csv", missing = dir_ + "/missing/t.csv";
    const std::set<std::string> before = filesInDir();
    const struct {
        std::vector<std::string> arguments;
        int status;
    } cases[] = {
        {{dir_ + "/none.avi"}, 1},
        {{sampleVideo, "--out", missing}, 1},
        {{sampleVideo, "--out", dir_}, 1},
        {{sampleVideo, "--out", csv, "--plot", missing + ".png"}, 1},
        {{smallVideo, "--out", csv, "--plot", dir_ + "/p.png"}, 1},
        {{sampleVideo, "--passes", "0"}, 2},
        {{sampleVideo, "--out"}, 2},
        {{sampleVideo, "--out", sampleVideo}, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments.back());
        const test::ProgramRun run = runExport(c.arguments);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        EXPECT_EQ(run.err.rfind("dottrack-export: ", 0), 0u) << run.err;
        EXPECT_EQ(run.out, "");
    }
    // Neither outputs nor their temporary files are left behind.
    EXPECT_EQ(filesInDir(), before);
}

TEST_F(ExportTest, PlotDrawsThePathsOverTheDimmedFirstFrame) {
    const std::string csv = dir_ + "/t.csv", png = dir_ + "/p.png";
    ASSERT_EQ(runExport({sampleVideo, "--out", csv, "--plot", png}).status, 0);
    const cv::Mat picture = cv::imread(png, cv::IMREAD_UNCHANGED);
    ASSERT_EQ(picture.type(), CV_8UC3);
    ASSERT_EQ(picture.size(), cv::Size(640, 480));
    cv::VideoCapture capture(sampleVideo);
    cv::Mat frame;
    long position = 0;
    skipWarmup(capture, frame, position);
    readPassFrame(capture, frame, position);

    // Away from the markers (a corner), the picture is the first frame, darker.
    const cv::Rect corner(0, 0, 40, 40);
    const double ratio = cv::mean(picture(corner))[1] / cv::mean(frame(corner))[1];
    EXPECT_GT(ratio, 0.2);
    EXPECT_LT(ratio, 0.8);

    // Along the paths, away from the dots and numbers at their ends, the grey surface
    // shows in colour.
    const std::vector<test::TrackRow> rows = test::parseTrackCsv(e2e::readText(csv));
    ASSERT_FALSE(rows.empty());
    const auto chroma = [](const cv::Mat& image, cv::Point2f at) {
        const cv::Vec3b p = image.at<cv::Vec3b>(cvRound(at.y), cvRound(at.x));
        return std::max({p[0], p[1], p[2]}) - std::min({p[0], p[1], p[2]});
    };
    int checked = 0, coloured = 0;
    for (const test::TrackRow& row : rows) {
        if (cv::norm(row.position - rows[rows.size() - markerCount + row.marker].ref) >= 12.0) {
            ASSERT_LT(chroma(frame, row.position), 40) << "the frame itself is coloured here";
            ++checked;
            coloured += chroma(picture, row.position) >= 60 ? 1 : 0;
        }
    }
    ASSERT_GT(checked, 100);
    EXPECT_GT(coloured, checked * 9 / 10);
}

}  // namespace
}  // namespace dottrack
