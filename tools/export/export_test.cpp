// dottrack-export run as a user would, its CSV read back: against the stages driven
// directly, over runs of every length and every kind of source, in its pictures, in a batch
// and in its live view, and for how closely its tracks and measurements follow the true
// dots of the sample video. Its failures are tested with the other programs'.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
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
#include "measure/measure.h"
#include "tools/export/pass_reader.h"

namespace dottrack {
namespace {

// Sample videos written when the tests are built: 150 frames (52 passes), and the default
// length with its true dot centres.
const std::string shortSample = DOTTRACK_EXPORT_SHORT_SAMPLE;
const std::string fullSample = DOTTRACK_EXPORT_FULL_SAMPLE;
constexpr std::size_t markerCount = 30;

// One row of the CSV; the target's position is (0, 0) when the marker holds none, and the
// centre and displacement are NaN when the row has none.
struct TrackRow {
    long long pass = 0;
    long frame = 0;
    int marker = 0;
    cv::Point2f ref, position, targetPosition;
    int target = -1;
    cv::Point2f centre, displacement;
};

// The fields of a CSV line; an empty field is NaN.
std::vector<double> splitFields(const std::string& line) {
    std::vector<double> fields;
    std::istringstream parts(line);
    for (std::string field; std::getline(parts, field, ',');) {
        fields.push_back(field.empty() ? NAN : std::stod(field));
    }
    if (!line.empty() && line.back() == ',') {
        fields.push_back(NAN);
    }
    return fields;
}

// Parses the CSV; a wrong header or a malformed row adds a failure naming it.
std::vector<TrackRow> parseTrackCsv(const std::string& text) {
    std::istringstream lines(text);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "pass,frame,marker,ref_x,ref_y,x,y,target,target_x,target_y,centre_x,"
                    "centre_y,disp_x,disp_y");
    std::vector<TrackRow> rows;
    while (std::getline(lines, line)) {
        const std::vector<double> f = splitFields(line);
        TrackRow r;
        if (f.size() == 14) {
            r.pass = static_cast<long long>(f[0]);
            r.frame = static_cast<long>(f[1]);
            r.marker = static_cast<int>(f[2]);
            r.ref = {float(f[3]), float(f[4])};
            r.position = {float(f[5]), float(f[6])};
            r.target = static_cast<int>(f[7]);
            r.targetPosition = r.target >= 0 ? cv::Point2f(f[8], f[9]) : cv::Point2f();
            r.centre = {float(f[10]), float(f[11])};
            r.displacement = {float(f[12]), float(f[13])};
        }
        // Every number is there but the target's (none held) and the measurements.
        const bool whole = f.size() == 14 && std::count_if(f.begin(), f.begin() + 8, [](double v) {
                                                 return std::isnan(v);
                                             }) == 0;
        if (!whole || std::isnan(f[8]) != (r.target < 0) || std::isnan(f[10]) != std::isnan(f[11])) {
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

// The same float, or no value in both.
bool sameMeasurement(cv::Point2f a, cv::Point2f b) {
    return isMeasured(a) ? sameBits(a, b) : !isMeasured(b);
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
    Measurement measurement;
    for (std::size_t pass = 0; pass * markerCount < rows.size(); ++pass) {
        const long index = readPassFrame(capture, frame, position);
        trackFrame(frame, pass == 0, state);
        measurePass(frame, state.targets, state.assignment, pass == 0, measurement);
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
            ASSERT_TRUE(sameMeasurement(row.centre, measurement.centres[i]));
            ASSERT_TRUE(sameMeasurement(row.displacement, measurement.displacements[i]));
        }
    }
}

TEST_F(ExportTest, ThreadedAndInTurnRunsWriteTheSameFiles) {
    // 70 passes go past the end of the video and start it over.
    for (const std::string run : {"1", "2"}) {
        ASSERT_EQ(runExport({shortSample, "--passes=70", "--threads", run, "--out",
                             path(run + ".csv"), "--plot", path(run + ".png"), "--motion",
                             path(run + ".motion.csv"), "--motion-plot", path(run + "m.png")}),
                  0);
    }
    const std::string text = e2e::readText(path("1.csv"));
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1 + 70 * markerCount);
    for (const char* file : {".csv", ".png", ".motion.csv", "m.png"}) {
        EXPECT_TRUE(e2e::readText(path(std::string("1") + file)) ==
                    e2e::readText(path(std::string("2") + file)))
            << file;
    }
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

// A file, an image sequence and a pipeline of the same frames give the same rows; the
// pipeline is live, so it ends when its frames do, however many passes were asked for.
TEST_F(ExportTest, EveryKindOfSourceGivesTheVideosRows) {
    ASSERT_EQ(runExport({shortSample}), 0) << err_;
    const std::string video = out_;
    std::filesystem::create_directory(path("frames"));
    cv::VideoCapture capture(shortSample);
    cv::Mat frame;
    for (int index = 0; capture.read(frame); ++index) {
        char name[32];
        std::snprintf(name, sizeof name, "frames/%04d.png", index);
        ASSERT_TRUE(cv::imwrite(path(name), frame));
    }
    ASSERT_EQ(runExport({path("frames/%04d.png")}), 0) << err_;
    EXPECT_TRUE(out_ == video);
    const std::string pipeline = "multifilesrc location=" + path("frames/%04d.png") +
                                 " index=0 caps=\"image/png,framerate=1000/1\" ! pngdec ! "
                                 "videoconvert ! video/x-raw,format=BGR ! appsink";
    ASSERT_EQ(runExport({pipeline, "--passes", "1000"}), 0) << err_;
    EXPECT_TRUE(out_ == video);
    EXPECT_EQ(std::count(err_.begin(), err_.end(), '\n'), 1) << err_;
    EXPECT_NE(err_.find("stopped delivering frames after 52 passes"), std::string::npos) << err_;
}

// Jobs side by side write what runs alone write; a source that fails is named, leaves no
// file, and fails the batch without stopping the others.
TEST_F(ExportTest, BatchWritesEverySourceAndNamesTheOneThatFailed) {
    for (const char* name : {"a.avi", "c.avi"}) {
        std::filesystem::copy_file(shortSample, path(name));
    }
    ASSERT_TRUE(test::writeIndexedVideo(path("b.avi"), 60, cv::Size(320, 240)));
    std::filesystem::create_directory(path("out"));
    EXPECT_EQ(runExport({path("a.avi"), path("b.avi"), path("c.avi"), "--out-dir", path("out"),
                         "--jobs", "2", "--pictures"}),
              1);
    EXPECT_EQ(std::count(err_.begin(), err_.end(), '\n'), 2) << err_;
    EXPECT_EQ(err_.rfind("dottrack-export: cannot use frame 46 of " + path("b.avi"), 0), 0u)
        << err_;
    std::vector<std::string> written;
    for (const auto& entry : std::filesystem::directory_iterator(path("out"))) {
        written.push_back(entry.path().filename().string());
    }
    std::sort(written.begin(), written.end());
    EXPECT_EQ(written, (std::vector<std::string>{"a.csv", "a.motion.csv", "a.motion.png", "a.png",
                                                 "c.csv", "c.motion.csv", "c.motion.png",
                                                 "c.png"}));
    ASSERT_EQ(runExport({path("c.avi"), "--out", path("c.csv"), "--motion", path("c.m.csv")}), 0);
    EXPECT_TRUE(e2e::readText(path("c.csv")) == e2e::readText(path("out/c.csv")));
    EXPECT_TRUE(e2e::readText(path("c.m.csv")) == e2e::readText(path("out/c.motion.csv")));
}

// The live view runs until a key, then every output is complete.
TEST_F(ExportTest, LiveViewEndsOnAKeyWithCompleteOutputs) {
    ASSERT_NO_FATAL_FAILURE(e2e::requireDisplay());
    if (IsSkipped()) {
        return;
    }
    e2e::Launch launch = e2e::toolLaunch(dir_);
    launch.program = DOTTRACK_EXPORT_EXE;
    launch.arguments = {shortSample, "--show", "--passes", "1000000", "--out", path("t.csv"),
                        "--motion", path("m.csv")};
    launch.stderrPath = path("run.err");
    // Without a display it says so, like the tool, rather than have the toolkit abort it.
    launch.environment.push_back("DISPLAY");
    EXPECT_EQ(e2e::RunningProgram(launch).waitForExit(std::chrono::seconds(30)), 1);
    EXPECT_NE(e2e::readText(launch.stderrPath).find("no display"), std::string::npos);
    launch.environment.pop_back();
    e2e::RunningProgram program(launch);
    const std::string window =
        e2e::waitForWindow(program, "dottrack-export: " + shortSample, std::chrono::seconds(30));
    ASSERT_FALSE(window.empty()) << e2e::readText(launch.stderrPath);
    ASSERT_EQ(e2e::pressKeyUntilExit(program, window, std::chrono::seconds(5),
                                     std::chrono::seconds(30)),
              0);
    EXPECT_EQ(e2e::readText(launch.stderrPath), "");
    const std::vector<TrackRow> rows = parseTrackCsv(e2e::readText(path("t.csv")));
    const std::string motion = e2e::readText(path("m.csv"));
    ASSERT_GT(rows.size(), 0u);
    EXPECT_EQ(rows.size() % markerCount, 0u);
    EXPECT_EQ(static_cast<std::size_t>(std::count(motion.begin(), motion.end(), '\n')),
              1 + rows.size() / markerCount);
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
    ASSERT_EQ(runExport({fullSample, "--passes", "400", "--out", path("t.csv"), "--motion",
                         path("m.csv")}),
              0)
        << err_;
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

    // The measured centres against the true ones, and the displacements against the true
    // motion of each marker's dot: loose enough for any machine, tight enough to fail on a
    // centroid taken on the conditioned image, a window a pixel off, or the background left
    // in (figures on the sample: mean 0.015, p95 0.03 and 0.04 px).
    std::vector<double> centreErrors, displacementErrors;
    const std::vector<cv::Point2d>& seedDots = truth.at(rows.front().frame).second;
    for (const TrackRow& row : rows) {
        const std::vector<cv::Point2d>& dots = truth.at(row.frame).second;
        if (isMeasured(row.centre)) {
            double nearest = HUGE_VAL;
            for (const cv::Point2d& dot : dots) {
                nearest = std::min(nearest, cv::norm(dot - cv::Point2d(row.centre)));
            }
            centreErrors.push_back(nearest);
        }
        if (isMeasured(row.displacement)) {
            const std::size_t dot = dotOf.at(row.marker);
            displacementErrors.push_back(
                cv::norm(dots[dot] - seedDots[dot] - cv::Point2d(row.displacement)));
        }
    }
    ASSERT_GT(centreErrors.size(), rows.size() * 9 / 10);
    ASSERT_GT(displacementErrors.size(), rows.size() * 8 / 10);
    const auto quantile = [](std::vector<double> values, double q) {
        std::sort(values.begin(), values.end());
        return values[static_cast<std::size_t>(q * (values.size() - 1))];
    };
    EXPECT_LT(quantile(centreErrors, 0.5), 0.03);
    EXPECT_LT(quantile(centreErrors, 0.95), 0.08);
    EXPECT_LT(quantile(displacementErrors, 0.95), 0.1);

    // The motion turns as the sample does: +6 degrees in the twist (+x towards +y), a
    // negative turn in the shear (x moves with y), and the field spreads in the press.
    std::map<std::string, std::pair<double, double>> rotation, scale;  // by motion: min, max
    std::istringstream motionLines(e2e::readText(path("m.csv")));
    std::getline(motionLines, line);
    EXPECT_EQ(line, "pass,frame,markers,inliers,tx,ty,rotation_deg,scale,shear_1,shear_2,rms");
    while (std::getline(motionLines, line)) {
        const std::vector<double> f = splitFields(line);
        ASSERT_EQ(f.size(), 11u) << line;
        const std::string& motion = truth.at(static_cast<long>(f[1])).first;
        auto& [turnLow, turnHigh] = rotation.try_emplace(motion, HUGE_VAL, -HUGE_VAL).first->second;
        auto& [scaleLow, scaleHigh] = scale.try_emplace(motion, HUGE_VAL, -HUGE_VAL).first->second;
        turnLow = std::min(turnLow, f[6]);
        turnHigh = std::max(turnHigh, f[6]);
        scaleLow = std::min(scaleLow, f[7]);
        scaleHigh = std::max(scaleHigh, f[7]);
    }
    EXPECT_NEAR(rotation["twist"].second, 6.0, 0.2);
    EXPECT_LT(rotation["shear"].first, -1.5);
    EXPECT_GT(scale["press"].second, 1.03);
    EXPECT_NEAR(rotation["rest"].first, 0.0, 0.05);
    EXPECT_NEAR(scale["rest"].second, 1.0, 1e-3);
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
