#include "tools/sample/field_scene.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>

#include <opencv2/imgproc.hpp>

namespace dottrack {
namespace {

// The spread of a dot's edge (px): a Gaussian blur of the lens and the pixel's area.
constexpr double edgeSpread = 0.6;
// Farther than this from the edge a pixel sees all of the dot or none of it (to 1e-5).
constexpr double edgeReach = 2.5;
// The jitter of each dot off its grid node never brings its blurred edge to the middle
// between two nodes, so that only the nearest node's dot can cover a point of the surface.
constexpr double nodeClearance = edgeReach;

// Surface, ink and covering objects, BGR under unit light, as in the sample.
const cv::Vec3d surfaceColour(196.0, 214.0, 208.0);
const cv::Vec3d inkColour(60.0, 40.0, 36.0);
const cv::Vec3d darkCoverColour(38.0, 42.0, 50.0);
const cv::Vec3d lightCoverColour(238.0, 246.0, 250.0);
constexpr double fineTextureSigma = 3.0;  // px
constexpr double fineTextureLevel = 2.0;  // grey levels
constexpr double coarseTextureSigma = 20.0;
constexpr double coarseTextureLevel = 3.0;

// Px between a dot's edge and the centres of the frame's outermost pixels for the dot to be
// wholly in view: its blurred edge then leaves them all but untouched (less than 1 %).
constexpr double borderGap = 1.5;
// Px of surface that must show between a dot and the object for the dot to be uncovered.
constexpr double clearSurface = 4.0;
// What a pixel shows where no ray of the lens leads.
constexpr double noRayLevel = 0.0;

std::uint64_t streamSeed(std::uint64_t seed, std::uint64_t stream) {
    return seed * 0x9E3779B97F4A7C15ull + 0xD1B54A32D192ED03ull * (stream + 1);
}

// The linear part of an affine map.
cv::Matx22d linearPart(const cv::Matx23d& map) {
    return {map(0, 0), map(0, 1), map(1, 0), map(1, 1)};
}

// The largest stretch the map gives any direction.
double largestStretch(const cv::Matx22d& a) {
    cv::Matx22d normal = a.t() * a;
    const double half = 0.5 * (normal(0, 0) + normal(1, 1));
    const double spread = std::hypot(0.5 * (normal(0, 0) - normal(1, 1)), normal(0, 1));
    return std::sqrt(half + spread);
}

using ViewCorners = std::array<cv::Point2d, 4>;

// The corners of the ideal image the frame sees: the frame's own without a lens, and the box
// around its pixels' ideal pixels through one.
ViewCorners idealView(const FieldScene& scene) {
    const cv::Size size = scene.settings.size;
    if (scene.idealPixels.empty()) {
        const double width = size.width, height = size.height;
        return {{{-0.5, -0.5}, {width, -0.5}, {-0.5, height}, {width, height}}};
    }
    double left = HUGE_VAL, top = HUGE_VAL, right = -HUGE_VAL, bottom = -HUGE_VAL;
    for (int row = 0; row < size.height; ++row) {
        const auto* ideal = scene.idealPixels.ptr<cv::Point2d>(row);
        for (int column = 0; column < size.width; ++column) {
            if (!std::isnan(ideal[column].x)) {
                left = std::min(left, ideal[column].x);
                top = std::min(top, ideal[column].y);
                right = std::max(right, ideal[column].x);
                bottom = std::max(bottom, ideal[column].y);
            }
        }
    }
    // The pixels' centres are all the surface is ever sampled at.
    return {{{left, top}, {right, top}, {left, bottom}, {right, bottom}}};
}

// The bounding box of the surface that the ideal image within `view` sees in the given
// frames, widened by `margin`.
cv::Rect2d surfaceSeen(const FieldScene& scene, const ViewCorners& view, int firstFrame,
                       int endFrame, double margin) {
    double left = HUGE_VAL, top = HUGE_VAL, right = -HUGE_VAL, bottom = -HUGE_VAL;
    for (int f = firstFrame; f < endFrame; ++f) {
        const FieldPose pose = fieldPoseAt(scene, f);
        for (const cv::Point2d corner : view) {
            const cv::Point2d p = surfacePointAt(pose, corner);
            left = std::min(left, p.x);
            top = std::min(top, p.y);
            right = std::max(right, p.x);
            bottom = std::max(bottom, p.y);
        }
    }
    return {left - margin, top - margin, right - left + 2 * margin, bottom - top + 2 * margin};
}

// Smooth random texture: white noise blurred to the given scale, with zero mean and the
// given standard deviation. The coarse octave is drawn at a quarter of the resolution.
cv::Mat textureOctave(cv::RNG& rng, cv::Size size, double blurSigma, double level) {
    const int reduction = blurSigma > 8 ? 4 : 1;
    cv::Mat noise((size.height + reduction - 1) / reduction,
                  (size.width + reduction - 1) / reduction, CV_32FC1);
    rng.fill(noise, cv::RNG::NORMAL, 0.0, 1.0);
    cv::GaussianBlur(noise, noise, cv::Size(), blurSigma / reduction, 0, cv::BORDER_REFLECT);
    if (reduction > 1) {
        cv::resize(noise, noise, size, 0, 0, cv::INTER_CUBIC);
    }
    cv::Scalar mean, deviation;
    cv::meanStdDev(noise, mean, deviation);
    return (noise - mean[0]) * (level / deviation[0]);
}

float textureAt(const FieldScene& scene, cv::Point2d point) {
    const cv::Mat& t = scene.texture;
    const double x = std::clamp(point.x - scene.textureOrigin.x, 0.0, t.cols - 1.001);
    const double y = std::clamp(point.y - scene.textureOrigin.y, 0.0, t.rows - 1.001);
    const int ix = static_cast<int>(x), iy = static_cast<int>(y);
    const double fx = x - ix, fy = y - iy;
    const float* row = t.ptr<float>(iy);
    const float* next = t.ptr<float>(iy + 1);
    return static_cast<float>((1 - fy) * ((1 - fx) * row[ix] + fx * row[ix + 1]) +
                              fy * ((1 - fx) * next[ix] + fx * next[ix + 1]));
}

// The share of the pixel that sees a dot: the dot's edge blurred as a lens (a spread of
// about half a pixel) and the pixel's area blur it, a Gaussian edge, across the distance to
// the edge in image pixels, which `edgeMaps` tells for each dot: the transposed derivative
// of its surface point by the image pixel. With an affine pose it is symmetric about the
// dot's image centre; being smooth, its samples keep that centre too: their centroid lies
// within 0.0003 px of it for dots of radius 3 or more, whatever their place on the pixel
// grid.
double dotCover(const FieldScene& scene, const std::vector<cv::Matx22d>& edgeMaps,
                cv::Point2d point) {
    const double spacing = scene.settings.spacing;
    const int column = static_cast<int>(std::lround((point.x - scene.gridOrigin.x) / spacing));
    const int row = static_cast<int>(std::lround((point.y - scene.gridOrigin.y) / spacing));
    if (column < 0 || row < 0 || column >= scene.gridColumns || row >= scene.gridRows) {
        return 0.0;
    }
    const int dot = row * scene.gridColumns + column;
    const cv::Point2d offset = point - scene.dots[dot];
    const double distance = std::hypot(offset.x, offset.y);
    const double radius = scene.settings.radius;
    if (distance < radius - edgeReach) {
        return 1.0;
    }
    const cv::Vec2d gradient = edgeMaps[dot] * cv::Vec2d(offset.x, offset.y) / distance;
    const double inside = (radius - distance) / cv::norm(gradient);
    return 0.5 * std::erfc(-inside / (std::sqrt(2.0) * edgeSpread));
}

// The edge maps of dotCover in one pose: the pose's own (a press's, at each dot), and
// through a lens the lens's derivative at each dot's ideal centre taken out too (a dot is
// small beside either's bend).
std::vector<cv::Matx22d> dotEdgeMaps(const FieldScene& scene, const FieldPose& pose) {
    const cv::Matx22d imageToSurfaceT(pose.imageToSurface(0, 0), pose.imageToSurface(1, 0),
                                      pose.imageToSurface(0, 1), pose.imageToSurface(1, 1));
    std::vector<cv::Matx22d> maps(scene.dots.size(), imageToSurfaceT);
    if (pose.pressGain != 0) {
        for (std::size_t i = 0; i < maps.size(); ++i) {
            maps[i] = surfaceJacobianAt(pose, scene.dots[i]).inv().t();
        }
    }
    if (!scene.settings.lens) {
        return maps;
    }
    for (std::size_t i = 0; i < maps.size(); ++i) {
        const cv::Point2d ideal = imagePointOf(pose, scene.dots[i]);
        // Beyond the fold no pixel shows the dot.
        if (showsIdealPixel(*scene.settings.lens, ideal)) {
            maps[i] = lensJacobianAt(*scene.settings.lens, ideal).inv().t() * maps[i];
        }
    }
    return maps;
}

// Whether the lens shows the whole ideal disc of `radius` about `ideal`: its bend grows with
// the distance from its centre, so the disc's farthest point tells.
bool seenWhole(const Lens& lens, cv::Point2d ideal, double radius) {
    const cv::Point2d out = ideal - lens.principalPoint;
    const double distance = std::hypot(out.x, out.y);
    return showsIdealPixel(lens, distance > 0 ? ideal + out * (radius / distance) : ideal);
}

}  // namespace

double fieldMmPerPx(const FieldSettings& settings) {
    return settings.pitchMm > 0 ? settings.pitchMm / settings.spacing : 1.0;
}

FieldScene makeFieldScene(const FieldSettings& settings) {
    const double spacing = settings.spacing, radius = settings.radius;
    if (settings.size.width < 1 || settings.size.height < 1 || settings.frameCount < 1) {
        throw std::invalid_argument("the frame size and the frame count must be positive");
    }
    if (!(spacing >= 2 * radius + 2 * nodeClearance) || !(radius > 0)) {
        throw std::invalid_argument("the dots' spacing must be at least twice their radius + 5");
    }
    if (!(settings.jitter >= 0)) {
        throw std::invalid_argument("the dots' jitter cannot be negative");
    }
    FieldScene scene;
    scene.settings = settings;
    if (settings.lens) {
        if (settings.lens->imageSize != settings.size) {
            throw std::invalid_argument("the lens is for frames of another size");
        }
        if (!showsWholeAxes(*settings.lens)) {
            throw std::invalid_argument("the lens folds inside the frame, not only at its corners");
        }
        scene.idealPixels = traceIdealPixels(*settings.lens);
    }
    const ViewCorners view = idealView(scene);
    const bool leave = settings.motion == FieldMotion::leave;
    const cv::Rect2d dotted = surfaceSeen(scene, view, 0, leave ? 1 : settings.frameCount, spacing);
    scene.gridOrigin = dotted.tl();
    scene.gridColumns = static_cast<int>(std::ceil(dotted.width / spacing)) + 1;
    scene.gridRows = static_cast<int>(std::ceil(dotted.height / spacing)) + 1;
    const double jitter = std::min(settings.jitter * spacing, spacing / 2 - radius - nodeClearance);
    cv::RNG layout(streamSeed(settings.seed, 0));
    for (int row = 0; row < scene.gridRows; ++row) {
        for (int column = 0; column < scene.gridColumns; ++column) {
            const double jx = layout.uniform(-jitter, jitter);
            const double jy = layout.uniform(-jitter, jitter);
            scene.dots.emplace_back(scene.gridOrigin.x + column * spacing + jx,
                                    scene.gridOrigin.y + row * spacing + jy);
        }
    }
    const cv::Rect2d seen = surfaceSeen(scene, view, 0, settings.frameCount, 2.0);
    scene.textureOrigin = seen.tl();
    const cv::Size textureSize(static_cast<int>(std::ceil(seen.width)) + 2,
                               static_cast<int>(std::ceil(seen.height)) + 2);
    cv::RNG texture(streamSeed(settings.seed, 1));
    scene.texture = textureOctave(texture, textureSize, fineTextureSigma, fineTextureLevel) +
                    textureOctave(texture, textureSize, coarseTextureSigma, coarseTextureLevel);
    return scene;
}

std::vector<DotTruth> fieldTruthAt(const FieldScene& scene, int frameIndex) {
    const FieldSettings& s = scene.settings;
    const FieldPose pose = fieldPoseAt(scene, frameIndex);
    const double mmPerPx = fieldMmPerPx(s);
    std::vector<DotTruth> truth;
    for (std::size_t i = 0; i < scene.dots.size(); ++i) {
        const cv::Point2d ideal = imagePointOf(pose, scene.dots[i]);
        const cv::Matx22d linear = pose.pressGain != 0 ? surfaceJacobianAt(pose, scene.dots[i])
                                                       : linearPart(pose.surfaceToImage);
        // The dot's largest radius in the ideal image.
        const double idealReach = s.radius * largestStretch(linear);
        cv::Point2d c = ideal;
        double reach = idealReach;  // in the image
        bool seen = true;
        if (s.lens) {
            if (!showsIdealPixel(*s.lens, ideal)) {
                continue;
            }
            c = imagePixelOf(*s.lens, ideal);
            reach = s.radius * largestStretch(lensJacobianAt(*s.lens, ideal) * linear);
            seen = seenWhole(*s.lens, ideal, idealReach + clearSurface);
        }
        if (c.x < -reach - 1 || c.y < -reach - 1 || c.x > s.size.width + reach ||
            c.y > s.size.height + reach) {
            continue;
        }
        const bool inView = c.x - reach >= borderGap && c.y - reach >= borderGap &&
                            c.x + reach <= s.size.width - 1 - borderGap &&
                            c.y + reach <= s.size.height - 1 - borderGap;
        // The object's edge, soft or hard, keeps clear of the dot by a few pixels of surface:
        // nearer, a dark dot cannot be told from a bump of a dark object's outline.
        const double margin = reach + clearSurface + s.coverEdge / 2;
        const bool visible = inView && seen && coverOpacityAt(s, frameIndex, c, margin) <= 0.0;
        truth.push_back({static_cast<int>(i), c, visible, ideal, ideal * mmPerPx,
                         (ideal - scene.dots[i]) * mmPerPx});
    }
    return truth;
}

void renderFieldFrame(const FieldScene& scene, int frameIndex, cv::Mat& frame) {
    const FieldSettings& s = scene.settings;
    const int channels = s.grey ? 1 : 3;
    const FieldPose pose = fieldPoseAt(scene, frameIndex);
    const std::vector<cv::Matx22d> edgeMaps = dotEdgeMaps(scene, pose);
    // Grey levels are the colours' luminance, as a grey camera would see them.
    const auto levels = [&](const cv::Vec3d& bgr) {
        return s.grey ? cv::Vec3d(0.114 * bgr[0] + 0.587 * bgr[1] + 0.299 * bgr[2], 0, 0) : bgr;
    };
    const cv::Vec3d surface = levels(surfaceColour), ink = levels(inkColour);
    const cv::Vec3d cover =
        levels(s.cover == FieldCover::light ? lightCoverColour : darkCoverColour);
    const cv::Point2d c((s.size.width - 1) / 2.0, (s.size.height - 1) / 2.0);

    frame.create(s.size, channels == 1 ? CV_8UC1 : CV_8UC3);
    cv::Mat noise(1, s.size.width * channels, CV_32FC1, cv::Scalar(0));
    cv::RNG noiseRng(streamSeed(s.seed, 2 + static_cast<std::uint64_t>(frameIndex)));
    for (int y = 0; y < s.size.height; ++y) {
        if (s.noiseSigma > 0) {
            noiseRng.fill(noise, cv::RNG::NORMAL, 0.0, s.noiseSigma);
        }
        const float* grain = noise.ptr<float>(0);
        uchar* out = frame.ptr<uchar>(y);
        const cv::Point2d* ideals = s.lens ? scene.idealPixels.ptr<cv::Point2d>(y) : nullptr;
        const double ny = (y - c.y) / c.y;
        for (int x = 0; x < s.size.width; ++x) {
            // A tilted, slightly vignetted light, fixed to the camera.
            const double nx = (x - c.x) / c.x;
            const double light = 1.0 + 0.08 * nx - 0.05 * ny - 0.06 * (nx * nx + ny * ny);
            const cv::Point2d pixel(x, y);
            const cv::Point2d ideal = ideals != nullptr ? ideals[x] : pixel;
            if (std::isnan(ideal.x)) {
                for (int ch = 0; ch < channels; ++ch) {
                    out[channels * x + ch] =
                        cv::saturate_cast<uchar>(noRayLevel + grain[channels * x + ch]);
                }
                continue;
            }
            const cv::Point2d point = surfacePointAt(pose, ideal);
            const double texture = textureAt(scene, point);
            const double dot = dotCover(scene, edgeMaps, point);
            const double opacity = coverOpacityAt(s, frameIndex, pixel, 0.0);
            for (int ch = 0; ch < channels; ++ch) {
                const double background = light * surface[ch] + texture;
                double value = background + dot * (light * ink[ch] - background);
                value += opacity * (light * cover[ch] - value);
                out[channels * x + ch] = cv::saturate_cast<uchar>(value + grain[channels * x + ch]);
            }
        }
    }
}

}  // namespace dottrack
