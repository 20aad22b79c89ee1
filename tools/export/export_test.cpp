// dottrack-export run as a user would, its CSV read back: against the stages driven
// directly, over runs of every length, in its plot, and for how closely its tracks follow
// the true dots of the sample video. Its failures are tested with the other programs'.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include "app/track_frame.h"
#include "app/video_input.h"
#include "tests/e2e/e2e_support.h"
#include "tests/support/test_support.h"
#include "tools/export/pass_reader.h"

namespace dottrack {
namespace {

// Sample videos written when the tests are built: 150 frames (52 passes), and the default
// length with its true dot centres.
const std::string shortSample = DOTTRACK_EXPORT_SHORT_SAMPLE;
const std::string fullSample = DOTTRACK_EXPORT_FULL_SAMPLE;
constexpr std::size_t markerCount = 30;

// One row of the CSV; the target's position is (0, 0) when the marker holds none.
struct TrackRow {
    long long pass = 0;
    long frame = 0;
    int marker = 0;
    cv::Point2f ref, position, targetPosition;
    int target = -1;
};

// Parses the CSV; a wrong header or a malformed row adds a failure naming it.
std::vector<TrackRow> parseTrackCsv(const std::string& text) {
    std::istringstream lines(text);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "pass,frame,marker,ref_x,ref_y,x,y,target,target_x,target_y");
    std::vector<TrackRow> rows;
    while (std::getline(lines, line)) {
        TrackRow r;
        char extra = 0;
        const int fields =
            std::sscanf(line.c_str(), "%lld,%ld,%d,%f,%f,%f,%f,%d,%f,%f%c", &r.pass, &r.frame,
                        &r.marker, &r.ref.x, &r.ref.y, &r.position.x, &r.position.y, &r.target,
                        &r.targetPosition.x, &r.targetPosition.y, &extra);
        const bool held = r.target >= 0 && fields == 10;
        const bool free = r.target == -1 && fields == 8 && line.size() > 2 &&
                          line.compare(line.size() - 3, 3, "1,,") == 0;
        if (!held && !free) {
            ADD_FAILURE() << "malformed CSV row '" << line << "'";
            break;
        }
        rows.push_back(r);
    }
    return rows;
}

bool sameBits(cv::Point2f a, cv::Point2f b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

class ExportTest : public test::ScratchDirTest {
protected:
    // Runs the export quietly in the scratch folder (a hung run is killed) and returns its
    // exit status; keeps its standard output and error.
    int runExport(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), "--quiet");
        const e2e::Launch launch{
            DOTTRACK_EXPORT_EXE, arguments, dir_, {}, path("run.out"), path("run.err")};
        const int status = e2e::RunningProgram(launch).waitForExit(std::chrono::minutes(2));
        out_ = e2e::readText(launch.stdoutPath);
        err_ = e2e::readText(launch.stderrPath);
        std::filesystem::remove(launch.stdoutPath);
        std::filesystem::remove(launch.stderrPath);
        return status;
    }

    std::string out_;
    std::string err_;
};

TEST_F(ExportTest, MatchesTheStagesDrivenDirectly) {
    ASSERT_EQ(runExport({shortSample}), 0) << err_;
    EXPECT_EQ(err_, "");
    const std::vector<TrackRow> rows = parseTrackCsv(out_);
    ASSERT_EQ(rows.size(), 52 * markerCount);

    cv::VideoCapture capture(shortSample);
    cv::Mat frame;
    long position = 0;
    skipWarmup(capture, frame, position);
    TrackState state;
    prepareTrackState(state);
    for (std::size_t pass = 0; pass * markerCount < rows.size(); ++pass) {
        const long index = readPassFrame(capture, frame, position);
        trackFrame(frame, pass == 0, state);
        for (std::size_t i = 0; i < markerCount; ++i) {
            SCOPED_TRACE("pass " + std::to_string(pass) + ", marker " + std::to_string(i));
            const TrackRow& row = rows[pass * markerCount + i];
            ASSERT_EQ(row.pass, static_cast<long long>(pass));
            ASSERT_EQ(row.frame, index);
            ASSERT_EQ(row.marker, static_cast<int>(i));
            ASSERT_TRUE(sameBits(row.ref, state.refMarkers[i]));
            ASSERT_TRUE(sameBits(row.position, state.markers[i]));
            const int held = state.assignment[i];
            ASSERT_EQ(row.target, held);
            ASSERT_TRUE(held < 0 || sameBits(row.targetPosition, state.targets[held]));
        }
    }
}

TEST_F(ExportTest, ThreadedAndInTurnRunsWriteTheSameFiles) {
    // 70 passes go past the end of the video and start it over.
    ASSERT_EQ(runExport({shortSample, "--passes", "70", "--threads", "1", "--out", path("1.csv"),
                         "--plot", path("1.png")}),
              0);
    ASSERT_EQ(
        runExport({shortSample, "--passes=70", "--out", path("2.csv"), "--plot", path("2.png")}),
        0);
    const std::string text = e2e::readText(path("1.csv"));
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1 + 70 * markerCount);
    EXPECT_TRUE(text == e2e::readText(path("2.csv")));
    EXPECT_TRUE(e2e::readText(path("1.png")) == e2e::readText(path("2.png")));
    // The default run is the first trip of the longer one.
    ASSERT_EQ(runExport({shortSample}), 0);
    EXPECT_EQ(text.compare(0, out_.size(), out_), 0);
}

// The passes take every second frame after the warm-up. One trip runs from frame 46 to the
// end, or from frame 0 when the warm-up (or, at 46 frames, the first pass's skip) uses the
// video up. With --passes the passes start the video over and count on, whether the last
// frame falls to a read (odd length) or to a skip (even length: the read finds nothing).
// Either way the passes and markers are numbered in order.
TEST_F(ExportTest, RunLengthFollowsTheVideo) {
    std::vector<long> to44;  // 0, 2, ... 44
    for (long f = 0; f <= 44; f += 2) {
        to44.push_back(f);
    }
    std::vector<long> to44AndOn = to44;
    to44AndOn.insert(to44AndOn.end(), {0, 2, 4});
    const struct {
        int frameCount;
        std::vector<std::string> options;
        std::vector<long> frames;
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
        SCOPED_TRACE(std::to_string(c.frameCount) + " frames, " + std::to_string(c.frames.size()) +
                     " passes");
        const std::string video = path(std::to_string(c.frameCount) + ".avi");
        ASSERT_TRUE(test::writeIndexedVideo(video, c.frameCount));
        std::vector<std::string> arguments = c.options;
        arguments.push_back(video);
        ASSERT_EQ(runExport(arguments), 0) << err_;
        const std::vector<TrackRow> rows = parseTrackCsv(out_);
        ASSERT_EQ(rows.size(), c.frames.size() * markerCount);
        for (std::size_t i = 0; i < rows.size(); ++i) {
            ASSERT_EQ(rows[i].frame, c.frames[i / markerCount]) << "row " << i;
            ASSERT_EQ(rows[i].pass, static_cast<long long>(i / markerCount)) << "row " << i;
            ASSERT_EQ(rows[i].marker, static_cast<int>(i % markerCount)) << "row " << i;
        }
        if (c.options.empty()) {
            // The length that the progress bar expects from the frame count.
            EXPECT_EQ(passesInOneTrip(c.frameCount), static_cast<std::int64_t>(c.frames.size()));
        }
    }
}

TEST_F(ExportTest, PlotDrawsThePathsOverTheDimmedFirstFrame) {
    ASSERT_EQ(runExport({shortSample, "--out", path("t.csv"), "--plot", path("p.png")}), 0);
    const cv::Mat picture = cv::imread(path("p.png"), cv::IMREAD_UNCHANGED);
    ASSERT_EQ(picture.type(), CV_8UC3);
    ASSERT_EQ(picture.size(), cv::Size(640, 480));
    cv::VideoCapture capture(shortSample);
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
    const std::vector<TrackRow> rows = parseTrackCsv(e2e::readText(path("t.csv")));
    ASSERT_FALSE(rows.empty());
    const auto chroma = [](const cv::Mat& image, cv::Point2f at) {
        const cv::Vec3b p = image.at<cv::Vec3b>(cvRound(at.y), cvRound(at.x));
        return std::max({p[0], p[1], p[2]}) - std::min({p[0], p[1], p[2]});
    };
    int checked = 0, coloured = 0;
    for (const TrackRow& row : rows) {
        if (cv::norm(row.position - rows[rows.size() - markerCount + row.marker].ref) >= 12.0) {
            ASSERT_LT(chroma(frame, row.position), 40) << "the frame itself is coloured here";
            ++checked;
            coloured += chroma(picture, row.position) >= 60 ? 1 : 0;
        }
    }
    ASSERT_GT(checked, 100);
    EXPECT_GT(coloured, checked * 9 / 10);
}

// How far from the centre of its dot a marker may be seeded: a target is the darkest pixel
// of the 8 x 8 block found coarse, up to about 3 px from the centre.
constexpr double seedingReach = 5.0;

// Mean and largest distance from a marker's tracked position to the true centre of the dot
// it was seeded on, per motion, in px: about 1.5 times what the tracker leaves on the
// sample. At rest the error comes from pinning targets to 8 x 8 blocks; in motion the
// tracked position also lags, by four times the step per pass. A tracker that follows a
// fifth as fast, never holds a target, or reseeds, breaks several of them.
const std::map<std::string, std::pair<double, double>> errorBounds = {
    {"rest", {2.5, 8.0}},   {"translate", {6.5, 24.0}}, {"shear", {3.2, 8.0}},
    {"twist", {5.0, 21.0}}, {"press", {3.8, 10.5}},
};

// Measured from the CSV alone against the truth file written with the video, over about
// two trips (203 passes a trip) so that the tracking crosses the rewind too.
TEST_F(ExportTest, TracksFollowTheTrueDotsThroughEveryMotion) {
    ASSERT_EQ(runExport({fullSample, "--passes", "400", "--out", path("t.csv")}), 0) << err_;
    const std::vector<TrackRow> rows = parseTrackCsv(e2e::readText(path("t.csv")));
    ASSERT_EQ(rows.size(), 400 * markerCount);

    std::map<long, std::pair<std::string, std::vector<cv::Point2d>>> truth;  // by frame
    std::istringstream lines(e2e::readText(DOTTRACK_EXPORT_FULL_TRUTH));
    std::string line;
    std::getline(lines, line);  // the header, checked with the sample
    while (std::getline(lines, line)) {
        long frame = 0;
        char motion[32] = {};
        std::size_t dot = 0;
        cv::Point2d centre;
        ASSERT_EQ(std::sscanf(line.c_str(), "%ld,%31[^,],%zu,%lf,%lf", &frame, motion, &dot,
                              &centre.x, &centre.y),
                  5)
            << line;
        ASSERT_EQ(dot, truth[frame].second.size()) << line;
        truth[frame].first = motion;
        truth[frame].second.push_back(centre);
    }

    // The first pass gives each marker the dot nearest to it: near, and no dot twice.
    std::vector<std::size_t> dotOf;
    struct Error {
        double sum = 0, max = 0;
        long count = 0;
    };
    std::map<std::string, Error> errors;  // by motion
    for (const TrackRow& row : rows) {
        const auto& [motion, dots] = truth.at(row.frame);
        const auto distanceTo = [&](std::size_t dot) {
            return cv::norm(dots.at(dot) - cv::Point2d(row.position));
        };
        if (row.pass == 0) {
            std::size_t nearest = 0;
            for (std::size_t dot = 1; dot < dots.size(); ++dot) {
                nearest = distanceTo(dot) < distanceTo(nearest) ? dot : nearest;
            }
            EXPECT_LT(distanceTo(nearest), seedingReach) << "marker " << row.marker;
            EXPECT_EQ(std::count(dotOf.begin(), dotOf.end(), nearest), 0) << "dot " << nearest;
            dotOf.push_back(nearest);
        }
        Error& error = errors[motion];
        error.sum += distanceTo(dotOf.at(row.marker));
        error.max = std::max(error.max, distanceTo(dotOf.at(row.marker)));
        ++error.count;
    }
    EXPECT_EQ(errors.size(), errorBounds.size()) << "every motion of the sample seen";
    for (const auto& [motion, error] : errors) {
        std::printf("%-10s tracked position to true dot centre: mean %.3f px, max %.3f px\n",
                    motion.c_str(), error.sum / error.count, error.max);
        ASSERT_EQ(errorBounds.count(motion), 1u) << motion;
        EXPECT_LT(error.sum / error.count, errorBounds.at(motion).first) << motion;
        EXPECT_LT(error.max, errorBounds.at(motion).second) << motion;
    }
}

}  // namespace
}  // namespace dottrack
