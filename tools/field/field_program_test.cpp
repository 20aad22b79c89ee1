// dottrack-field run as a user would, on a generated field with its truth, its CSVs read back:
// against the measurement driven directly, against the true dots and their strain, alone and
// in a batch, in its live window and into a video; and how it refuses what it cannot measure.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include <opencv2/videoio.hpp>

#include "field/field.h"
#include "tests/e2e/e2e_support.h"
#include "tests/support/test_support.h"
#include "tools/field/field_program.h"
#include "tools/sample/field_scene.h"

namespace dottrack {
namespace {

// Written when the tests are built: 640 x 480, 36 frames of a stretch out and back, with a
// dark object covering part of the field for a while; and its truth.
const std::string scene = DOTTRACK_FIELD_SCENE;
const std::string sceneTruth = DOTTRACK_FIELD_SCENE_TRUTH;
constexpr std::size_t sceneFrames = 36;

enum DotColumn { frame, dot, state, x, y, dispX, dispY, exx, eyy, exy, rotation, area };
using Fields = std::vector<std::string>;

// The rows of a CSV after its header, split at its commas.
std::vector<Fields> readCsv(const std::string& text, const char* header) {
    std::istringstream lines(text);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line + "\n", header);
    std::vector<Fields> rows;
    while (std::getline(lines, line)) {
        std::istringstream in(line + ",");
        rows.emplace_back();
        for (std::string field; std::getline(in, field, ',');) {
            rows.back().push_back(field);
        }
    }
    return rows;
}

double number(const std::string& field) {
    return field.empty() ? NAN : std::stod(field);
}

std::size_t commas(const std::string& line) {
    return static_cast<std::size_t>(std::count(line.begin(), line.end(), ','));
}

// A lost dot's fields stay empty, and so does strain that could not be fitted, never a made-up
// 0; a stray centre given up is no longer listed. With a scale the millimetres come last,
// empty where the dot is lost, the scale not known yet or the motion not fitted.
TEST(FieldCsv, ListsEveryNumberedDotWithWhatExistsOfIt) {
    FieldRun run;
    run.links.standing = {DotStanding::confirmed, DotStanding::givenUp, DotStanding::seenOnce};
    FieldResult& r = run.result;
    r.found = {1, 0, 0};
    r.centres = {{0.1f, 639.99994f}, {NAN, NAN}, {NAN, NAN}};
    r.displacements = {{-3e-5f, 2.5f}, {NAN, NAN}, {NAN, NAN}};
    r.exx = r.eyy = r.exy = r.rotationDeg = r.areaRatio = {NAN, NAN, NAN};
    r.exx[0] = 1.0 / 3;
    const std::string found = "7,0,found,0.1,639.99994,-3e-05,2.5,0.3333333333333333,,,,";
    const std::string lost = "7,2,lost,,,,,,,,,";
    std::string rows;
    formatDotRows(7, run, false, rows);
    EXPECT_EQ(rows, found + "\n" + lost + "\n");
    EXPECT_EQ(commas(lost), commas(dotsCsvHeader));
    formatDotRows(7, run, true, rows);
    EXPECT_EQ(rows, found + ",,,,\n" + lost + ",,,,\n");
    EXPECT_EQ(commas(lost + ",,,,"), commas(dotsCsvHeaderMm));
    r.mmPerPx = 0.5;
    r.idealCentresMm = {{0.25, 319.5}, {NAN, NAN}, {NAN, NAN}};
    r.displacementsMm = {{-1.5e-5, 1.25}, {NAN, NAN}, {NAN, NAN}};
    formatDotRows(7, run, true, rows);
    EXPECT_EQ(rows, found + ",0.25,319.5,-1.5e-05,1.25\n" + lost + ",,,,\n");
    r.motion.markers = 2;
    r.motion.inliers = 2;
    formatFieldMotionRow(7, r, false, rows);
    EXPECT_EQ(rows, "7,2,0,,,,,,,\n");
    formatFieldMotionRow(7, r, true, rows);
    EXPECT_EQ(rows, "7,2,0,,,,,,,,,\n");
    EXPECT_EQ(commas(rows), commas(fieldMotionCsvHeaderMm));
}

struct FieldProgramTest : e2e::QuietProgramTest {
    FieldProgramTest() : QuietProgramTest(DOTTRACK_FIELD_EXE) {}
};

// Every frame in order, each as the measurement driven directly gives it, decoded ahead; and
// the same files again when a batch measures it in turn, beside a source that fails.
TEST_F(FieldProgramTest, WritesEveryFrameAsMeasuredAloneOrInABatch) {
    ASSERT_EQ(runQuiet({scene, "--out", path("d.csv"), "--motion", path("m.csv")}), 0) << err_;
    EXPECT_EQ(out_ + err_, "");
    std::string dots = dotsCsvHeader, motion = fieldMotionCsvHeader, rows;
    cv::VideoCapture capture(scene);
    FieldMeasurement measurement;
    cv::Mat image;
    for (long f = 0; capture.read(image); ++f) {
        ASSERT_EQ(measureFieldFrame(image, measurement), "");
        formatDotRows(f, measurement.run, false, rows);
        dots += rows;
        formatFieldMotionRow(f, measurement.run.result, false, rows);
        motion += rows;
    }
    EXPECT_EQ(std::count(motion.begin(), motion.end(), '\n'), sceneFrames + 1);
    EXPECT_NE(dots.find(",lost,"), std::string::npos);  // the cover hides some dots
    EXPECT_TRUE(e2e::readText(path("d.csv")) == dots);
    EXPECT_TRUE(e2e::readText(path("m.csv")) == motion);
    // A pipe named as an output is written into, not replaced by a file.
    ASSERT_EQ(mkfifo(path("pipe").c_str(), 0600), 0);
    e2e::RunningProgram cat({"cat", {path("pipe")}, dir_, {}, path("piped.csv")});
    EXPECT_EQ(runQuiet({scene, "--out", path("pipe")}), 0);
    EXPECT_EQ(cat.waitForExit(std::chrono::seconds(20)), 0);
    EXPECT_TRUE(e2e::readText(path("piped.csv")) == dots);

    ASSERT_TRUE(test::writeIndexedVideo(path("b.avi"), 20));  // no dots in it
    std::filesystem::copy_file(scene, path("a.avi"));
    EXPECT_EQ(runQuiet({path("a.avi"), path("b.avi"), "--out-dir", path("o/ut"), "--jobs", "2"}),
              1);
    EXPECT_EQ(std::count(err_.begin(), err_.end(), '\n'), 2) << err_;
    EXPECT_EQ(err_.rfind("dottrack-field: no dots found in " + path("b.avi"), 0), 0u) << err_;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(path("o/ut")), {}), 2);
    EXPECT_TRUE(e2e::readText(path("d.csv")) == e2e::readText(path("o/ut/a.csv")));
    EXPECT_TRUE(e2e::readText(path("m.csv")) == e2e::readText(path("o/ut/a.motion.csv")));
}

double median(std::vector<double> values) {
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

// Each number stays on one true dot through the cover, and no true dot takes two; the
// centres and displacements are the true ones, and the strain has the stretch's sign and size.
TEST_F(FieldProgramTest, FollowsTheTrueDotsAndTheirStrain) {
    ASSERT_EQ(runQuiet({scene, "--threads", "1"}), 0) << err_;
    std::vector<std::map<int, cv::Point2d>> truth(sceneFrames);
    for (const Fields& t : readCsv(e2e::readText(sceneTruth), "frame,dot,x,y,visible\n")) {
        const auto [f, index] = std::pair(std::stoul(t[0]), std::stoi(t[1]));
        truth.at(f)[index] = {number(t[2]), number(t[3])};
    }
    std::map<int, int> trueDotOf, numbersOf;
    std::vector<std::vector<double>> strains(3 * sceneFrames);
    std::vector<double> displacementErrors;
    for (const Fields& d : readCsv(out_, dotsCsvHeader)) {
        if (d[state] == "lost") {
            continue;
        }
        const std::size_t f = std::stoul(d[frame]);
        const cv::Point2d centre(number(d[x]), number(d[y]));
        const auto nearest =
            std::min_element(truth[f].begin(), truth[f].end(), [&](const auto& a, const auto& b) {
                return cv::norm(a.second - centre) < cv::norm(b.second - centre);
            });
        const double error = cv::norm(nearest->second - centre);
        ASSERT_LT(error, 0.1) << "frame " << f << ", dot " << d[dot];
        const auto [known, fresh] = trueDotOf.emplace(std::stoi(d[dot]), nearest->first);
        ASSERT_EQ(known->second, nearest->first) << "frame " << f << ", dot " << d[dot];
        numbersOf[nearest->first] += fresh ? 1 : 0;
        if (truth[0].count(nearest->first) > 0) {
            const cv::Point2d trueDisplacement = nearest->second - truth[0][nearest->first];
            displacementErrors.push_back(
                cv::norm(cv::Point2d(number(d[dispX]), number(d[dispY])) - trueDisplacement));
        }
        for (int c = exx; c <= exy; ++c) {
            if (!d[c].empty()) {
                strains[3 * f + c - exx].push_back(number(d[c]));
            }
        }
    }
    for (const auto& [index, numbers] : numbersOf) {
        EXPECT_EQ(numbers, 1) << "true dot " << index << " renumbered";
    }
    EXPECT_LT(median(displacementErrors), 0.04);
    // The scene's own map from the surface at rest (frame 0) to each frame: at the peak a
    // stretch by 10 % along x and a squeeze by 5 % along y.
    FieldSettings settings;
    settings.size = {640, 480};
    settings.frameCount = sceneFrames;
    settings.motion = FieldMotion::stretch;
    const FieldScene truthScene = makeFieldScene(settings);
    for (std::size_t f = 0; f < sceneFrames; ++f) {
        const cv::Matx23d map = fieldPoseAt(truthScene, static_cast<int>(f)).surfaceToImage;
        const cv::Matx22d gradient(map(0, 0), map(0, 1), map(1, 0), map(1, 1));
        const cv::Matx22d strain = (gradient.t() * gradient - cv::Matx22d::eye()) * 0.5;
        const double expected[] = {strain(0, 0), strain(1, 1), strain(0, 1)};
        for (int c = 0; c < 3; ++c) {
            EXPECT_NEAR(median(strains[3 * f + c]), expected[c], 1e-3) << f << ": " << c;
        }
    }
}

// With a scale each row is the row without one, the millimetres after it: without a camera
// the centres, displacements and translation times the scale, to the bit; lost rows empty.
TEST_F(FieldProgramTest, AppendsMillimetresOnlyWithAScale) {
    ASSERT_EQ(runQuiet({scene, "--out", path("px.csv"), "--motion", path("px.m.csv")}), 0) << err_;
    ASSERT_EQ(runQuiet({scene, "--mm-per-px", "0.5", "--out", path("mm.csv"), "--motion",
                        path("mm.m.csv")}),
              0)
        << err_;
    const std::vector<Fields> px = readCsv(e2e::readText(path("px.csv")), dotsCsvHeader);
    const std::vector<Fields> mm = readCsv(e2e::readText(path("mm.csv")), dotsCsvHeaderMm);
    ASSERT_EQ(px.size(), mm.size());
    int lost = 0;
    for (std::size_t row = 0; row < px.size(); ++row) {
        ASSERT_EQ(mm[row].size(), px[row].size() + 4);
        ASSERT_TRUE(std::equal(px[row].begin(), px[row].end(), mm[row].begin())) << row;
        lost += px[row][state] == "lost";
        for (int c = 0; c < 4; ++c) {  // x, y, disp_x, disp_y and their millimetres
            const std::string& pixels = px[row][x + c];
            const std::string& millimetres = mm[row][area + 1 + c];
            if (pixels.empty()) {
                EXPECT_EQ(millimetres, "") << row;
            } else {
                EXPECT_EQ(std::stod(millimetres), std::stof(pixels) * 0.5) << row;
            }
        }
    }
    EXPECT_GT(lost, 0);
    const std::vector<Fields> pxMotion =
        readCsv(e2e::readText(path("px.m.csv")), fieldMotionCsvHeader);
    const std::vector<Fields> mmMotion =
        readCsv(e2e::readText(path("mm.m.csv")), fieldMotionCsvHeaderMm);
    ASSERT_EQ(pxMotion.size(), mmMotion.size());
    for (std::size_t row = 0; row < pxMotion.size(); ++row) {
        ASSERT_EQ(mmMotion[row].size(), pxMotion[row].size() + 2);
        for (int c = 0; c < 2; ++c) {  // tx, ty
            const std::string& pixels = pxMotion[row][3 + c];
            std::string expected;
            if (!pixels.empty()) {
                appendNumber(std::stod(pixels) * 0.5, expected);
            }
            EXPECT_EQ(mmMotion[row][10 + c], expected) << row;
        }
    }
}

// A source that cannot be opened, or that shows no dots, a camera file that cannot serve, end
// in one line and write nothing, not even a header on standard output; a command line that
// contradicts itself gets status 2.
TEST_F(FieldProgramTest, RefusesInOneLineAndWritesNothing) {
    ASSERT_TRUE(test::writeIndexedVideo(path("plain.avi"), 20));
    std::ofstream(path("bad.yml")) << "%YAML:1.0\n---\ncamera_matrix: [ 1, 2\n";
    CameraModel wide;  // for frames larger than the scene's
    wide.imageSize = {1280, 720};
    wide.distortion = {-0.2, 0, 0, 0};
    ASSERT_EQ(writeCameraFile(path("wide.yml"), wide), "");
    const std::pair<std::vector<std::string>, int> cases[] = {
        {{path("none.avi"), "--out", path("d.csv"), "--motion", path("m.csv")}, 1},
        {{path("plain.avi"), "--motion", path("m.csv"), "--video", path("v.avi")}, 1},
        {{scene, "--camera", path("bad.yml"), "--out", path("d.csv"), "--pitch", "2"}, 1},
        {{scene, "--camera", path("wide.yml"), "--out", path("d.csv"), "--motion", path("m.csv")},
         1},
        {{scene, "--show", "--out-dir", path("o")}, 2},
        {{scene, "--video", path("v.mp4")}, 2},
        {{scene, "--colour", "exx"}, 2},  // nothing to paint
        {{scene, "--pitch", "2", "--mm-per-px", "0.5"}, 2},
    };
    for (const auto& [arguments, status] : cases) {
        SCOPED_TRACE(testing::PrintToString(arguments));
        EXPECT_EQ(runQuiet(arguments), status);
        EXPECT_EQ(std::count(err_.begin(), err_.end(), '\n'), 1) << err_;
        EXPECT_EQ(out_, "");
        // Only the files it began with.
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), {}), 3);
    }
}

// The live window runs until a key, then every output is complete; without a display it says
// so in one line rather than have the window toolkit abort it.
TEST_F(FieldProgramTest, LiveWindowEndsOnAKeyWithCompleteOutputs) {
    ASSERT_NO_FATAL_FAILURE(e2e::requireDisplay());
    if (IsSkipped()) {
        return;
    }
    // A live source that runs until stopped: the scene's frames over and over, 30 a second.
    ASSERT_TRUE(test::writeFrameSequence(scene, path("frames")));
    e2e::Launch launch = e2e::toolLaunch(dir_);
    launch.program = DOTTRACK_FIELD_EXE;
    const std::string pipeline = "multifilesrc location=" + path("frames/%04d.png") +
                                 " index=0 loop=true caps=\"image/png,framerate=30/1\" ! "
                                 "pngdec ! videoconvert ! video/x-raw,format=BGR ! appsink";
    launch.arguments = {pipeline, "--show", "--out", path("d.csv"), "--motion", path("m.csv")};
    ASSERT_NO_FATAL_FAILURE(e2e::expectLiveRunEndsOnAKey(launch, fieldWindowName));
    const std::vector<Fields> dots = readCsv(e2e::readText(path("d.csv")), dotsCsvHeader);
    const std::vector<Fields> motion = readCsv(e2e::readText(path("m.csv")), fieldMotionCsvHeader);
    ASSERT_FALSE(dots.empty());
    EXPECT_EQ(dots.back()[frame], motion.back()[0]);
    EXPECT_EQ(std::stoul(dots.back()[frame]) + 1, motion.size());
}

// The video holds the view of every frame measured, at the source's size and frame rate.
TEST_F(FieldProgramTest, VideoHoldsTheViewOfEveryFrame) {
    ASSERT_EQ(runQuiet({scene, "--frames", "10", "--video", path("v.avi"), "--colour", "exx",
                        "--out", path("d.csv")}),
              0)
        << err_;
    EXPECT_EQ(readCsv(e2e::readText(path("d.csv")), dotsCsvHeader).back()[frame], "9");
    cv::VideoCapture video(path("v.avi")), source(scene);
    EXPECT_EQ(video.get(cv::CAP_PROP_FPS), 30);
    FieldMeasurement measurement;
    const FieldResult& r = measurement.run.result;
    FieldView state;
    cv::Mat image, written, expected;
    int frames = 0;
    for (; video.read(written) && source.read(image); ++frames) {
        ASSERT_EQ(measureFieldFrame(image, measurement), "");
        FieldViewInput input{&r.centres, &r.displacements, &r.exx, &r.motion, frames};
        drawFieldView(image, input, FieldQuantity::exx, state, expected);
        ASSERT_EQ(written.size(), image.size());
        EXPECT_GT(cv::PSNR(written, expected), 30) << frames;
    }
    EXPECT_EQ(frames, 10);
    EXPECT_FALSE(video.read(written));
}

}  // namespace
}  // namespace dottrack
