// A field measured through a strong barrel lens, with its camera: the numbers, strain and
// millimetres of a surface that only slides and turns, and where the dots are seen.

#include <algorithm>
#include <cmath>
#include <map>
#include <vector>

#include <gtest/gtest.h>

#include "field/field.h"
#include "tools/sample/field_scene.h"

namespace dottrack {
namespace {

bool before(cv::Point2f a, cv::Point2f b) {
    return a.x < b.x || (a.x == b.x && a.y < b.y);
}

TEST(FieldThroughALens, TakesTheLensOutAndKeepsWhereEachDotIsSeen) {
    // The view of 1280 x 720 at f = 1000, k1 = -0.28, at half the size; a regular grid whose
    // pitch is 20 mm.
    FieldSettings settings;
    settings.size = cv::Size(640, 360);
    settings.spacing = 40;
    settings.jitter = 0;
    settings.pitchMm = 20;
    settings.motion = FieldMotion::rigid;
    settings.frameCount = 24;
    Lens lens;
    lens.imageSize = settings.size;
    lens.focal = 500;
    lens.principalPoint = {319.5, 179.5};
    lens.k1 = -0.28;
    settings.lens = lens;
    const FieldScene scene = makeFieldScene(settings);

    FieldMeasurement measurement;
    measurement.units.camera = cameraModelOf(lens);
    measurement.units.pitchMm = 20;
    DotFinder finder;
    std::vector<cv::Point2f> found;
    std::map<std::size_t, int> trueDotOf;
    std::vector<double> strain;
    cv::Mat frame;
    for (int f = 0; f <= 12; ++f) {  // out to the farthest slide and turn
        renderFieldFrame(scene, f, frame);
        ASSERT_EQ(measureFieldFrame(frame, measurement), "");
        const FieldResult& result = measurement.run.result;
        ASSERT_NEAR(result.mmPerPx, 0.5, 0.5 * 3e-4);

        // Where the dots are seen: the finder's very floats, whatever the camera did.
        ASSERT_TRUE(findDots(frame, finder, found));
        std::vector<cv::Point2f> given;
        for (std::size_t i = 0; i < result.dotCount(); ++i) {
            if (result.found[i]) {
                given.push_back(result.centres[i]);
            }
        }
        std::sort(given.begin(), given.end(), before);
        std::sort(found.begin(), found.end(), before);
        EXPECT_TRUE(given == found) << "frame " << f;

        const std::vector<DotTruth> truth = fieldTruthAt(scene, f);
        for (std::size_t i = 0; i < result.dotCount(); ++i) {
            if (!result.found[i]) {
                continue;
            }
            const auto dot = std::find_if(truth.begin(), truth.end(), [&](const DotTruth& t) {
                return cv::norm(t.centre - cv::Point2d(result.centres[i])) < 0.5;
            });
            ASSERT_NE(dot, truth.end()) << "frame " << f << ", dot " << i;
            // Each number stays on its dot.
            EXPECT_EQ(trueDotOf.emplace(i, dot->dot).first->second, dot->dot) << "frame " << f;
            // Near the fold a squeezed dot is found a few hundredths of a px off, which taking
            // the lens out stretches threefold.
            EXPECT_LT(cv::norm(cv::Point2d(result.idealCentres[i]) - dot->ideal), 0.25);
            EXPECT_LT(cv::norm(result.displacementsMm[i] - dot->displacementMm), 0.06);
            if (!std::isnan(result.exx[i])) {
                strain.insert(strain.end(), {std::abs(result.exx[i]), std::abs(result.eyy[i]),
                                             std::abs(result.exy[i])});
            }
        }
    }
    // No deformation at all: the lens's apparent strain, 0.04 and more at the corners, is
    // gone, down to the centres' noise.
    ASSERT_GT(strain.size(), 3000u);
    std::nth_element(strain.begin(), strain.begin() + strain.size() * 95 / 100, strain.end());
    EXPECT_LT(strain[strain.size() * 95 / 100], 1e-3);

    // A camera for frames of another size is refused before anything is measured.
    FieldMeasurement misfit;
    misfit.units.camera = cameraModelOf(lens);
    cv::Mat other(720, 1280, CV_8UC3, cv::Scalar::all(200));
    EXPECT_NE(measureFieldFrame(other, misfit), "");
    EXPECT_EQ(misfit.frames, 0);
}

}  // namespace
}  // namespace dottrack
