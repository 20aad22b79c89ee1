#include "tools/sample/sample_scene.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include <opencv2/imgproc.hpp>

namespace dottrack {
namespace {

// Dot layout: a grid of gridColumns x gridRows dots centred on the image, each
// dot moved by up to gridJitter px along each axis. With the spacings below the
// dots stay at least 70 px apart at rest and, through every motion, at least
// 40 px from the image edges and well clear of the corners.
constexpr int gridColumns = 7;
constexpr int gridRows = 5;
constexpr double gridSpacingX = 78.0;
constexpr double gridSpacingY = 80.0;
constexpr double gridJitter = 4.0;

// Motion amplitudes, reached half way through each motion.
constexpr double translateX = 20.0;  // 25 px in all
constexpr double translateY = 15.0;
constexpr double shearAtEdge = 20.0;  // horizontal shift at the top and bottom edges
constexpr double twistDegrees = 6.0;  // rotation about the image centre
constexpr double pressPeak = 15.0;    // largest outward shift of the bulge
constexpr double pressSigma = 120.0;  // radius at which the bulge shift peaks

// Surface colour and lighting. Only green and red matter to the tracker, so
// the dots are dark in both; the blue channel just gives a slight tint.
const cv::Vec3f surfaceColour(196.0f, 214.0f, 208.0f);
const cv::Vec3f inkColour(60.0f, 40.0f, 36.0f);
constexpr double fineTextureSigma = 3.0;  // blur of the fine texture octave, px
constexpr double fineTextureLevel = 2.0;  // its standard deviation, grey levels
constexpr double coarseTextureSigma = 20.0;
constexpr double coarseTextureLevel = 3.0;

// Frames after the lead-in, as nominal lengths for the default video length;
// other lengths scale them. The closing rest is kept separately so that it
// always gets at least one frame and the video ends at rest.
struct NominalSpan {
    const char* motion;
    int length;
};
const NominalSpan nominalSpans[] = {
    {"translate", 90}, {"rest", 10}, {"shear", 70}, {"rest", 10},
    {"twist", 90},     {"rest", 10}, {"press", 70},
};
constexpr int nominalClosingRest = 10;

cv::Point2d imageCentre() {
    return {(sampleWidth - 1) / 2.0, (sampleHeight - 1) / 2.0};
}

// splitmix64: turns (seed, stream) into well-mixed, nonzero RNG states so the
// layout, texture and per-frame noise draw from unrelated sequences.
std::uint64_t mixSeed(std::uint64_t seed, std::uint64_t stream) {
    std::uint64_t z = seed + 0x9E3779B97F4A7C15ull * (stream + 1);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return z == 0 ? 1 : z;
}

// The span of the scene's timeline that holds frameIndex.
MotionSpan spanAt(const SampleScene& scene, int frameIndex, int frameCount) {
    if (frameIndex < 0 || frameIndex >= frameCount) {
        throw std::out_of_range("frame index " + std::to_string(frameIndex) +
                                " is outside a video of " + std::to_string(frameCount) + " frames");
    }
    for (const MotionSpan& span : motionTimeline(frameCount, scene.motionSpeed)) {
        if (frameIndex < span.first + span.count) {
            return span;
        }
    }
    return {"rest", frameIndex, 1};  // not reached: the spans cover every frame
}

// Raised-cosine out-and-back easing over a span: 0 -> 1 -> 0. Sampling at
// frame centres keeps it symmetric and nonzero on every frame of the span.
double easeOutAndBack(int frameIndex, const MotionSpan& span) {
    const double u = (frameIndex - span.first + 0.5) / span.count;
    return 0.5 * (1.0 - std::cos(2.0 * CV_PI * u));
}

cv::Point2d displace(const cv::Point2d& p, const std::string& motion, double amount) {
    const cv::Point2d c = imageCentre();
    if (motion == "translate") {
        return p + amount * cv::Point2d(translateX, translateY);
    }
    if (motion == "shear") {
        return {p.x + amount * shearAtEdge * (p.y - c.y) / c.y, p.y};
    }
    if (motion == "twist") {
        const double angle = amount * twistDegrees * CV_PI / 180.0;
        const double cs = std::cos(angle);
        const double sn = std::sin(angle);
        const cv::Point2d d = p - c;
        return c + cv::Point2d(cs * d.x - sn * d.y, sn * d.x + cs * d.y);
    }
    if (motion == "press") {
        // Radial shift r * k * exp(-r^2 / 2 sigma^2): zero at the centre,
        // largest (pressPeak) at r = sigma, fading out beyond.
        const cv::Point2d d = p - c;
        const double r2 = d.dot(d);
        const double k = pressPeak * std::sqrt(std::exp(1.0)) / pressSigma;
        return p + amount * k * std::exp(-r2 / (2.0 * pressSigma * pressSigma)) * d;
    }
    return p;
}

cv::Mat makeLighting() {
    // A tilted, slightly vignetted light: brighter to the right and the top.
    cv::Mat light(sampleHeight, sampleWidth, CV_32FC1);
    const cv::Point2d c = imageCentre();
    for (int y = 0; y < sampleHeight; ++y) {
        float* row = light.ptr<float>(y);
        const double ny = (y - c.y) / c.y;
        for (int x = 0; x < sampleWidth; ++x) {
            const double nx = (x - c.x) / c.x;
            row[x] = static_cast<float>(1.0 + 0.08 * nx - 0.05 * ny - 0.06 * (nx * nx + ny * ny));
        }
    }
    return light;
}

// Smooth random texture: white noise blurred to the given scale, normalised to
// zero mean and the given standard deviation.
cv::Mat makeTextureOctave(cv::RNG& rng, double blurSigma, double level) {
    cv::Mat noise(sampleHeight, sampleWidth, CV_32FC1);
    rng.fill(noise, cv::RNG::NORMAL, 0.0, 1.0);
    cv::GaussianBlur(noise, noise, cv::Size(), blurSigma, blurSigma, cv::BORDER_REFLECT);
    cv::Scalar mean, stddev;
    cv::meanStdDev(noise, mean, stddev);
    noise = (noise - mean[0]) * (level / stddev[0]);
    return noise;
}

}  // namespace

SampleScene makeScene(std::uint64_t seed) {
    SampleScene scene;
    scene.seed = seed;

    cv::RNG layoutRng(mixSeed(seed, 0));
    const cv::Point2d c = imageCentre();
    for (int row = 0; row < gridRows; ++row) {
        for (int col = 0; col < gridColumns; ++col) {
            const double x = c.x + (col - (gridColumns - 1) / 2.0) * gridSpacingX;
            const double y = c.y + (row - (gridRows - 1) / 2.0) * gridSpacingY;
            const double jx = layoutRng.uniform(-gridJitter, gridJitter);
            const double jy = layoutRng.uniform(-gridJitter, gridJitter);
            scene.restCentres.emplace_back(x + jx, y + jy);
        }
    }

    scene.lighting = makeLighting();
    cv::RNG textureRng(mixSeed(seed, 1));
    const cv::Mat texture = makeTextureOctave(textureRng, fineTextureSigma, fineTextureLevel) +
                            makeTextureOctave(textureRng, coarseTextureSigma, coarseTextureLevel);

    scene.background.create(sampleHeight, sampleWidth, CV_32FC3);
    for (int y = 0; y < sampleHeight; ++y) {
        const float* light = scene.lighting.ptr<float>(y);
        const float* tex = texture.ptr<float>(y);
        cv::Vec3f* out = scene.background.ptr<cv::Vec3f>(y);
        for (int x = 0; x < sampleWidth; ++x) {
            for (int ch = 0; ch < 3; ++ch) {
                out[x][ch] = light[x] * surfaceColour[ch] + tex[x];
            }
        }
    }
    scene.dotColour = inkColour;
    return scene;
}

std::vector<MotionSpan> motionTimeline(int frameCount, double motionSpeed) {
    if (frameCount < 1) {
        throw std::invalid_argument("frame count must be at least 1");
    }
    if (!(motionSpeed >= 1.0)) {
        throw std::invalid_argument("motion speed must be at least 1");
    }
    std::vector<MotionSpan> spans;
    auto append = [&spans](const std::string& motion, int first, int end) {
        if (end <= first) {
            return;
        }
        if (!spans.empty() && spans.back().motion == motion) {
            spans.back().count += end - first;
        } else {
            spans.push_back({motion, first, end - first});
        }
    };

    const int leadIn = std::min(sampleLeadInFrames, frameCount);
    append("rest", 0, leadIn);
    const int remaining = frameCount - leadIn;
    if (remaining == 0) {
        return spans;
    }

    int nominalTotal = 0;
    for (const NominalSpan& span : nominalSpans) {
        nominalTotal += span.length;
    }
    const int nominalRemaining = nominalTotal + nominalClosingRest;
    const int closingRest = std::max(
        1, static_cast<int>(std::lround(1.0 * remaining * nominalClosingRest / nominalRemaining)));
    // The frames the motions take at speed 1; at a higher speed, its share.
    const double moving = (remaining - closingRest) / motionSpeed;

    // Cumulative rounding keeps the spans contiguous and their total exact.
    int nominalSoFar = 0;
    int end = leadIn;
    for (const NominalSpan& span : nominalSpans) {
        const int first = end;
        nominalSoFar += span.length;
        end = leadIn + static_cast<int>(std::lround(1.0 * nominalSoFar * moving / nominalTotal));
        append(span.motion, first, end);
    }
    append("rest", end, frameCount);
    return spans;
}

std::string motionAt(const SampleScene& scene, int frameIndex, int frameCount) {
    return spanAt(scene, frameIndex, frameCount).motion;
}

std::vector<cv::Point2d> dotCentresAt(const SampleScene& scene, int frameIndex, int frameCount) {
    const MotionSpan span = spanAt(scene, frameIndex, frameCount);
    const double amount = easeOutAndBack(frameIndex, span);
    std::vector<cv::Point2d> centres;
    centres.reserve(scene.restCentres.size());
    for (const cv::Point2d& p : scene.restCentres) {
        centres.push_back(displace(p, span.motion, amount));
    }
    return centres;
}

void renderFrame(const SampleScene& scene, int frameIndex, int frameCount, cv::Mat& frame) {
    if (scene.background.type() != CV_32FC3 || scene.lighting.type() != CV_32FC1 ||
        scene.background.size() != cv::Size(sampleWidth, sampleHeight) ||
        scene.lighting.size() != scene.background.size()) {
        throw std::invalid_argument("scene has no background; build it with makeScene");
    }
    const std::vector<cv::Point2d> centres = dotCentresAt(scene, frameIndex, frameCount);
    const double r = scene.dotRadius;
    const double reach = r + 1.0;  // beyond this a pixel's coverage is zero

    // The frame is built one row at a time in a small float buffer (background,
    // then dots, then noise) and rounded into the 8-bit output, so no
    // frame-sized temporaries are needed.
    frame.create(sampleHeight, sampleWidth, CV_8UC3);
    cv::Mat rowValues(1, sampleWidth, CV_32FC3);
    cv::Mat rowNoise(1, sampleWidth, CV_32FC3, cv::Scalar::all(0));
    cv::RNG noiseRng(mixSeed(scene.seed, 2 + static_cast<std::uint64_t>(frameIndex)));
    for (int y = 0; y < sampleHeight; ++y) {
        scene.background.row(y).copyTo(rowValues);
        cv::Vec3f* values = rowValues.ptr<cv::Vec3f>(0);
        const float* light = scene.lighting.ptr<float>(y);

        // Anti-aliased disc: a pixel's coverage ramps linearly from 1 to 0
        // over the one pixel straddling the rim, which approximates the area
        // of the pixel inside the disc and is symmetric about the true centre.
        for (const cv::Point2d& centre : centres) {
            const double dy = y - centre.y;
            if (std::abs(dy) > reach) {
                continue;
            }
            const int x0 = std::max(0, static_cast<int>(std::floor(centre.x - reach)));
            const int x1 = std::min(sampleWidth - 1, static_cast<int>(std::ceil(centre.x + reach)));
            for (int x = x0; x <= x1; ++x) {
                const double dx = x - centre.x;
                const double coverage =
                    std::clamp(r + 0.5 - std::sqrt(dx * dx + dy * dy), 0.0, 1.0);
                if (coverage <= 0.0) {
                    continue;
                }
                const float a = static_cast<float>(coverage);
                for (int ch = 0; ch < 3; ++ch) {
                    const float ink = light[x] * scene.dotColour[ch];
                    values[x][ch] += a * (ink - values[x][ch]);
                }
            }
        }

        if (scene.noiseSigma > 0.0) {
            noiseRng.fill(rowNoise, cv::RNG::NORMAL, 0.0, scene.noiseSigma);
        }
        const float* noise = rowNoise.ptr<float>(0);
        const float* in = rowValues.ptr<float>(0);
        uchar* out = frame.ptr<uchar>(y);
        for (int i = 0; i < 3 * sampleWidth; ++i) {
            out[i] = cv::saturate_cast<uchar>(in[i] + noise[i]);
        }
    }
}

cv::Mat renderFrame(const SampleScene& scene, int frameIndex, int frameCount) {
    cv::Mat frame;
    renderFrame(scene, frameIndex, frameCount, frame);
    return frame;
}

}  // namespace dottrack
