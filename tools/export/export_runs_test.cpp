// dottrack-export run as a user would: the same frames give the same files whatever reads
// them, over runs of every length and every kind of source, in a batch and in its live view.
// Its failures are tested with the other programs'.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "tests/e2e/e2e_support.h"
#include "tests/support/test_support.h"
#include "video/video.h"

namespace dottrack {
namespace {

// A sample video written when the tests are built: 150 frames, 52 passes.
const std::string shortSample = DOTTRACK_EXPORT_SHORT_SAMPLE;
constexpr std::size_t markerCount = 30;

constexpr const char* tracksHeader =
    "pass,frame,marker,ref_x,ref_y,x,y,target,target_x,target_y,centre_x,centre_y,disp_x,disp_y";

using Rows = std::vector<std::vector<double>>;

Rows readRows(const std::string& text) {
    return test::readNumberRows(text, tracksHeader);
}

struct ExportRuns : e2e::QuietProgramTest {
    ExportRuns() : QuietProgramTest(DOTTRACK_EXPORT_EXE) {}
};

// The same frames give the same files whatever reads them: the decoding on a second thread
// or in turn (over 70 passes, past the end of the video and on), an image sequence, or a
// pipeline, which is live and so ends when its frames do, however many passes were asked.
TEST_F(ExportRuns, TheSameFramesGiveTheSameFilesWhateverReadsThem) {
    for (const std::string run : {"1", "2"}) {
        ASSERT_EQ(runQuiet({shortSample, "--passes=70", "--threads", run, "--out",
                            path(run + ".csv"), "--plot", path(run + ".png"), "--motion",
                            path(run + ".motion.csv"), "--motion-plot", path(run + "m.png")}),
                  0);
    }
    const std::string text = e2e::readText(path("1.csv"));
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1 + 70 * markerCount);
    for (const std::string file : {".csv", ".png", ".motion.csv", "m.png"}) {
        EXPECT_TRUE(e2e::readText(path("1" + file)) == e2e::readText(path("2" + file))) << file;
    }
    // The default run is the first trip of the longer one.
    ASSERT_EQ(runQuiet({shortSample}), 0);
    const std::string trip = out_;
    EXPECT_EQ(text.compare(0, trip.size(), trip), 0);
    ASSERT_TRUE(test::writeFrameSequence(shortSample, path("frames")));
    ASSERT_EQ(runQuiet({path("frames/%04d.png")}), 0) << err_;
    EXPECT_TRUE(out_ == trip);
    ASSERT_EQ(runQuiet({"multifilesrc location=" + path("frames/%04d.png") +
                            " index=0 caps=\"image/png,framerate=1000/1\" ! pngdec ! "
                            "videoconvert ! video/x-raw,format=BGR ! appsink",
                        "--passes", "1000"}),
              0)
        << err_;
    EXPECT_TRUE(out_ == trip);
    EXPECT_EQ(std::count(err_.begin(), err_.end(), '\n'), 1) << err_;
    EXPECT_NE(err_.find("stopped delivering frames after 52 passes"), std::string::npos) << err_;
}

// The passes take every second frame after the warm-up. One trip runs from frame 46 to the
// end, or from frame 0 when the warm-up (or, at 46 frames, the first pass's skip) uses the
// video up. With --passes the passes start the video over and count on, whether the last
// frame falls to a read (odd length) or to a skip (even length: the read finds nothing).
TEST_F(ExportRuns, RunLengthFollowsTheVideo) {
    std::vector<double> to44(23);  // 0, 2, ... 44
    std::generate(to44.begin(), to44.end(), [f = -2]() mutable { return f += 2; });
    std::vector<double> to44AndOn = to44;
    to44AndOn.insert(to44AndOn.end(), {0, 2, 4});
    const struct {
        int frameCount;
        std::vector<std::string> options;
        std::vector<double> frames;
    } cases[] = {
        {47, {}, {46}},
        {50, {}, {46, 48}},
        {51, {}, {46, 48, 50}},
        {46, {}, to44},
        {50, {"--passes", "7", "--threads", "1"}, {46, 48, 0, 2, 4, 6, 8}},
        {51, {"--passes", "5"}, {46, 48, 50, 0, 2}},
        {45, {"--passes", "026"}, to44AndOn},  // a leading 0 is no octal
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.frameCount) + " frames");
        const std::string video = path(std::to_string(c.frameCount) + ".avi");
        ASSERT_TRUE(test::writeIndexedVideo(video, c.frameCount));
        std::vector<std::string> arguments = c.options;
        arguments.push_back(video);
        ASSERT_EQ(runQuiet(arguments), 0) << err_;
        const Rows rows = readRows(out_);
        ASSERT_EQ(rows.size(), c.frames.size() * markerCount);
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const std::vector<double> expected = {
                double(i / markerCount), c.frames[i / markerCount], double(i % markerCount)};
            ASSERT_EQ(std::vector<double>(rows[i].begin(), rows[i].begin() + 3), expected) << i;
        }
        if (c.options.empty()) {
            // The length that the progress bar expects from the frame count.
            EXPECT_EQ(framesInOneTrip(FrameChoice::passes, c.frameCount),
                      static_cast<std::int64_t>(c.frames.size()));
        }
    }
}

// Jobs side by side write what runs alone write, into a folder created with its parents; a
// source that fails is named, leaves no file, and fails the batch without stopping the others.
TEST_F(ExportRuns, BatchWritesEverySourceAndNamesTheOneThatFailed) {
    for (const char* name : {"a.avi", "c.avi"}) {
        std::filesystem::copy_file(shortSample, path(name));
    }
    ASSERT_TRUE(test::writeIndexedVideo(path("b.avi"), 60, cv::Size(320, 240)));
    EXPECT_EQ(runQuiet({path("a.avi"), path("b.avi"), path("c.avi"), "--out-dir", path("o/ut"),
                        "--jobs", "2", "--pictures"}),
              1);
    EXPECT_EQ(std::count(err_.begin(), err_.end(), '\n'), 2) << err_;
    EXPECT_EQ(err_.rfind("dottrack-export: cannot use frame 46 of " + path("b.avi"), 0), 0u)
        << err_;
    std::vector<std::string> written;
    for (const auto& entry : std::filesystem::directory_iterator(path("o/ut"))) {
        written.push_back(entry.path().filename().string());
    }
    std::sort(written.begin(), written.end());
    EXPECT_EQ(written,
              (std::vector<std::string>{"a.csv", "a.motion.csv", "a.motion.png", "a.png", "c.csv",
                                        "c.motion.csv", "c.motion.png", "c.png"}));
    ASSERT_EQ(runQuiet({path("c.avi"), "--out", path("c.csv"), "--motion", path("c.m.csv")}), 0);
    EXPECT_TRUE(e2e::readText(path("c.csv")) == e2e::readText(path("o/ut/c.csv")));
    EXPECT_TRUE(e2e::readText(path("c.m.csv")) == e2e::readText(path("o/ut/c.motion.csv")));
}

// The live view runs until a key, then every output is complete; without a display it says
// so in one line, like the tool, rather than have the window toolkit abort it.
TEST_F(ExportRuns, LiveViewEndsOnAKeyWithCompleteOutputs) {
    ASSERT_NO_FATAL_FAILURE(e2e::requireDisplay());
    if (IsSkipped()) {
        return;
    }
    e2e::Launch launch = e2e::toolLaunch(dir_);
    launch.program = DOTTRACK_EXPORT_EXE;
    launch.arguments = {shortSample, "--show",      "--passes", "1000000",
                        "--out",     path("t.csv"), "--motion", path("m.csv")};
    ASSERT_NO_FATAL_FAILURE(
        e2e::expectLiveRunEndsOnAKey(launch, "dottrack-export: " + shortSample));
    const Rows rows = readRows(e2e::readText(path("t.csv")));
    const std::string motion = e2e::readText(path("m.csv"));
    ASSERT_GT(rows.size(), 0u);
    EXPECT_EQ(rows.size() % markerCount, 0u);
    EXPECT_EQ(std::count(motion.begin(), motion.end(), '\n'), 1 + rows.size() / markerCount);
}

}  // namespace
}  // namespace dottrack
