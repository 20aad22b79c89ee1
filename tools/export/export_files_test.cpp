// dottrack-export's files read back: its CSV's numbers, against the stages driven directly,
// its picture, through a camera's lens, and for how closely its tracks and measurements follow
// the true dots of the sample video.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <numeric>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "measure/measure.h"
#include "pipeline/pipeline.h"
#include "tests/e2e/e2e_support.h"
#include "tests/support/test_support.h"
#include "tools/export/track_csv.h"
#include "tools/sample/lens.h"
#include "tools/sample/sample_scene.h"
#include "video/video.h"

namespace dottrack {
namespace {

// Sample videos written when the tests are built: 150 frames (52 passes), and the default
// length with its true dot centres.
const std::string shortSample = DOTTRACK_EXPORT_SHORT_SAMPLE;
const std::string fullSample = DOTTRACK_EXPORT_FULL_SAMPLE;
constexpr std::size_t markerCount = 30;

// Columns of the CSV: the tool's own state, then what the export measures.
enum Column { pass, frame, marker, refX, refY, x, y, target, targetX, targetY };
enum MeasuredColumn { centreX = targetY + 1, centreY, dispX, dispY, columnCount };

using Rows = std::vector<std::vector<double>>;

constexpr const char* tracksHeader =
    "pass,frame,marker,ref_x,ref_y,x,y,target,target_x,target_y,centre_x,centre_y,disp_x,disp_y";

// The rows of the CSV after its header, every field a number, an empty one NaN.
Rows readRows(const std::string& text, const std::string& header = tracksHeader) {
    return test::readNumberRows(text, header);
}

// The float the tool holds, or none, exactly as the CSV gives it.
bool sameValue(double written, float held) {
    return std::isnan(held) ? std::isnan(written) : static_cast<float>(written) == held;
}

// Every float reads back to itself, those below 8 px too, where six decimals would not do;
// what was not measured or fitted stays empty, never a made-up 0.
TEST(ExportCsv, NumbersReadBackExactlyAndMissingOnesStayEmpty) {
    const TrackState state{{}, {}, {}, {{1.2345678f, 0.1f}}, {{639.99994f, 3e-5f}}, {-1}};
    Measurement measurement;
    measurement.centres = measurement.displacements = {{NAN, NAN}};
    std::string rows;
    formatTrackRows(4, 55, state, measurement, rows);
    const Rows parsed = readRows(trackCsvHeader + rows);
    ASSERT_EQ(parsed.size(), 1u);
    const float held[] = {1.2345678f, 0.1f, 639.99994f, 3e-5f};
    for (int column = refX; column <= y; ++column) {
        EXPECT_TRUE(sameValue(parsed[0][column], held[column - refX])) << rows;
    }
    EXPECT_EQ(parsed[0][target], -1);
    const auto isEmpty = [](double v) { return std::isnan(v); };
    EXPECT_EQ(std::count_if(&parsed[0][targetX], &parsed[0][dispY] + 1, isEmpty), 6) << rows;
    SurfaceMotion unfitted;
    unfitted.markers = 2;
    unfitted.inliers = 2;
    formatMotionRow(4, 55, unfitted, rows);
    EXPECT_EQ(rows, "4,55,2,0,,,,,,,\n");
}

struct ExportFiles : e2e::QuietProgramTest {
    ExportFiles() : QuietProgramTest(DOTTRACK_EXPORT_EXE) {}
};

TEST_F(ExportFiles, MatchesTheStagesDrivenDirectly) {
    ASSERT_EQ(runQuiet({shortSample}), 0) << err_;
    EXPECT_EQ(err_, "");
    const Rows rows = readRows(out_);
    ASSERT_EQ(rows.size(), 52 * markerCount);

    cv::VideoCapture capture(shortSample);
    cv::Mat image;
    long position = 0;
    skipWarmup(capture, image, position);
    PassRun run;
    preparePassRun(run);
    const TrackState& state = run.track;
    const Measurement& measurement = run.measurement;
    for (std::size_t p = 0; p < 52; ++p) {
        const long index = readPassFrame(capture, image, position);
        runMeasuredPass(image, run);
        for (std::size_t i = 0; i < markerCount; ++i) {
            SCOPED_TRACE("pass " + std::to_string(p) + ", marker " + std::to_string(i));
            const std::vector<double>& row = rows[p * markerCount + i];
            const int held = state.assignment[i];
            const cv::Point2f none(NAN, NAN);
            const cv::Point2f targetAt = held >= 0 ? state.targets[held] : none;
            const std::vector<float> expected(
                {float(p), float(index), float(i), state.refMarkers[i].x, state.refMarkers[i].y,
                 state.markers[i].x, state.markers[i].y, float(held), targetAt.x, targetAt.y,
                 measurement.centres[i].x, measurement.centres[i].y, measurement.displacements[i].x,
                 measurement.displacements[i].y});
            for (int column = 0; column < columnCount; ++column) {
                ASSERT_TRUE(sameValue(row[column], expected[column]))
                    << "column " << column << ": " << row[column] << " != " << expected[column];
            }
        }
    }
}

// The picture is the first frame dimmed, with the paths in colour on the grey surface.
TEST_F(ExportFiles, PlotDrawsThePathsOverTheDimmedFirstFrame) {
    ASSERT_EQ(runQuiet({shortSample, "--out", path("t.csv"), "--plot", path("p.png")}), 0);
    const cv::Mat picture = cv::imread(path("p.png"), cv::IMREAD_UNCHANGED);
    ASSERT_EQ(picture.size(), cv::Size(640, 480));
    cv::VideoCapture capture(shortSample);
    cv::Mat first;
    long position = 0;
    skipWarmup(capture, first, position);
    readPassFrame(capture, first, position);
    const cv::Rect corner(0, 0, 40, 40);  // away from the markers
    const double ratio = cv::mean(picture(corner))[1] / cv::mean(first(corner))[1];
    EXPECT_GT(ratio, 0.2);
    EXPECT_LT(ratio, 0.8);
    // The paths in colour, where the grey surface had none.
    cv::Mat hsv, saturation;
    cv::cvtColor(picture, hsv, cv::COLOR_BGR2HSV);
    cv::extractChannel(hsv, saturation, 1);
    EXPECT_GT(cv::countNonZero(saturation > 150), 1000);
}

// Through a camera the centres stay where the dots are seen, and the displacements are those
// of the centres with its lens taken out; the motion is fitted to those. A camera for other
// frames ends the run with one line and no output.
TEST_F(ExportFiles, TakesTheCamerasLensOutOfTheDisplacementsAndTheMotion) {
    Lens lens;
    lens.imageSize = cv::Size(640, 480);
    lens.focal = 500;
    lens.principalPoint = {319.5, 239.5};
    lens.k1 = -0.2;
    const CameraModel camera = cameraModelOf(lens);
    ASSERT_EQ(writeCameraFile(path("camera.yml"), camera), "");
    ASSERT_EQ(runQuiet({shortSample, "--motion", path("plain.csv")}), 0);
    const Rows plain = readRows(out_);
    ASSERT_EQ(runQuiet({shortSample, "--camera", path("camera.yml"), "--motion", path("m.csv")}), 0)
        << err_;
    const Rows rows = readRows(out_);
    ASSERT_EQ(rows.size(), plain.size());
    const auto ideal = [&camera](const std::vector<double>& row) {
        std::vector<cv::Point2d> undistorted;
        undistortCentres({{row[centreX], row[centreY]}}, camera, undistorted);
        return undistorted[0];
    };
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE("row " + std::to_string(i));
        for (int column = 0; column < dispX; ++column) {
            ASSERT_TRUE(sameValue(rows[i][column], static_cast<float>(plain[i][column])));
        }
        const std::vector<double>& seed = rows[i % markerCount];
        if (std::isnan(rows[i][centreX]) || std::isnan(seed[centreX])) {
            EXPECT_TRUE(std::isnan(rows[i][dispX]));
            continue;
        }
        // The centres in the CSV are floats, whose shortest text is not the float itself: a
        // float's step at 400 px is 3e-5 px.
        const cv::Point2d displacement = ideal(rows[i]) - ideal(seed);
        EXPECT_NEAR(rows[i][dispX], displacement.x, 1e-4);
        EXPECT_NEAR(rows[i][dispY], displacement.y, 1e-4);
    }
    // The sample's dots press together and apart at the corner the tool looks at, where the
    // lens bends them most: its scale shows the lens out.
    EXPECT_NE(e2e::readText(path("m.csv")), e2e::readText(path("plain.csv")));

    const CameraModel other = cameraModelOf(Lens{});
    ASSERT_EQ(writeCameraFile(path("other.yml"), other), "");
    EXPECT_EQ(runQuiet({shortSample, "--camera", path("other.yml"), "--out", path("t.csv")}), 1);
    EXPECT_EQ(std::count(err_.begin(), err_.end(), '\n'), 1) << err_;
    EXPECT_NE(err_.find("1280 x 720"), std::string::npos) << err_;
    EXPECT_FALSE(std::filesystem::exists(path("t.csv")));
}

double quantile(std::vector<double> values, double q) {
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(q * (values.size() - 1))];
}

// Measured from the CSVs against the true dots of the sample, over about two trips (203
// passes a trip) so that the tracking crosses the rewind too.
TEST_F(ExportFiles, TracksAndMeasurementsFollowTheTrueDotsThroughEveryMotion) {
    ASSERT_EQ(runQuiet({fullSample, "--passes", "400", "--out", path("t.csv"), "--motion",
                        path("m.csv")}),
              0)
        << err_;
    const Rows rows = readRows(e2e::readText(path("t.csv")));
    ASSERT_EQ(rows.size(), 400 * markerCount);
    const SampleScene scene = makeScene(1);  // the sample's own
    const auto dotsAt = [&](double f) {
        return dotCentresAt(scene, static_cast<int>(f), sampleDefaultFrameCount);
    };
    const auto nearestDot = [](const std::vector<cv::Point2d>& dots, cv::Point2d p) {
        std::size_t nearest = 0;
        for (std::size_t dot = 1; dot < dots.size(); ++dot) {
            nearest = cv::norm(dots[dot] - p) < cv::norm(dots[nearest] - p) ? dot : nearest;
        }
        return nearest;
    };
    // The first pass gives each marker the dot nearest to it: near, and no dot twice.
    std::vector<std::size_t> dotOf;
    std::vector<double> trackErrors, centreErrors, displacementErrors;
    const std::vector<cv::Point2d> seedDots = dotsAt(rows.front()[frame]);
    for (const std::vector<double>& row : rows) {
        const std::vector<cv::Point2d> dots = dotsAt(row[frame]);
        const cv::Point2d tracked(row[x], row[y]);
        if (row[pass] == 0) {
            dotOf.push_back(nearestDot(dots, tracked));
            EXPECT_LT(cv::norm(dots[dotOf.back()] - tracked), 5.0) << "marker " << row[marker];
            EXPECT_EQ(std::count(dotOf.begin(), dotOf.end(), dotOf.back()), 1);
        }
        const std::size_t dot = dotOf.at(static_cast<std::size_t>(row[marker]));
        trackErrors.push_back(cv::norm(dots[dot] - tracked));
        const cv::Point2d centre(row[centreX], row[centreY]);
        if (!std::isnan(centre.x)) {
            centreErrors.push_back(cv::norm(dots[nearestDot(dots, centre)] - centre));
        }
        if (!std::isnan(row[dispX])) {
            displacementErrors.push_back(
                cv::norm(dots[dot] - seedDots[dot] - cv::Point2d(row[dispX], row[dispY])));
        }
    }
    // A marker's tracked position lags its dot by four times its step per pass, and its
    // target is pinned to an 8 x 8 block: on the sample 2.4 px on average, at most 16. A
    // tracker that follows a fifth as fast, never holds a target, or reseeds, goes past.
    EXPECT_LT(std::accumulate(trackErrors.begin(), trackErrors.end(), 0.0) / trackErrors.size(),
              3.5);
    EXPECT_LT(quantile(trackErrors, 1.0), 24.0);
    // Loose enough for any machine, tight enough to fail on a centroid taken on the
    // conditioned image, a window a pixel off, or the background left in (figures on the
    // sample: mean 0.015, p95 0.03 and 0.04 px).
    ASSERT_GT(centreErrors.size(), rows.size() * 9 / 10);
    ASSERT_GT(displacementErrors.size(), rows.size() * 8 / 10);
    EXPECT_LT(quantile(centreErrors, 0.5), 0.03);
    EXPECT_LT(quantile(centreErrors, 0.95), 0.08);
    EXPECT_LT(quantile(displacementErrors, 0.95), 0.1);

    // The motion turns as the sample does: +6 degrees in the twist (+x towards +y), a
    // negative turn in the shear (x moves with y), and the field spreads in the press.
    std::map<std::string, std::vector<double>> rotation, scale;  // by motion
    for (const std::vector<double>& row :
         readRows(e2e::readText(path("m.csv")),
                  "pass,frame,markers,inliers,tx,ty,rotation_deg,scale,shear_1,shear_2,rms")) {
        const std::string motion =
            motionAt(scene, static_cast<int>(row[frame]), sampleDefaultFrameCount);
        rotation[motion].push_back(row[6]);
        scale[motion].push_back(row[7]);
    }
    EXPECT_NEAR(quantile(rotation["twist"], 1.0), 6.0, 0.2);
    EXPECT_LT(quantile(rotation["shear"], 0.0), -1.5);
    EXPECT_GT(quantile(scale["press"], 1.0), 1.03);
    EXPECT_NEAR(quantile(rotation["rest"], 0.0), 0.0, 0.05);
    EXPECT_NEAR(quantile(scale["rest"], 1.0), 1.0, 1e-3);
}

}  // namespace
}  // namespace dottrack
