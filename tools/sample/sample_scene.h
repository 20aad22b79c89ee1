// Synthetic sample video: a bright, dotted surface that goes through a fixed
// sequence of known motions and returns to rest, so the whole video loops.
//
// Everything here is a pure function of the scene (its seed, dot radius, noise
// and motion speed) and the frame index, so the true dot centres of any frame can
// be computed without reading a file and any frame can be rendered on its own.
//
// Pixel coordinates: x to the right, y down, origin at the centre of the
// top-left pixel.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace dottrack {

constexpr int sampleWidth = 640;
constexpr int sampleHeight = 480;
constexpr double sampleFps = 30.0;
// Long enough that no dot moves more than 1.5 px between consecutive frames (at
// motion speed 1).
constexpr int sampleDefaultFrameCount = 405;
// Frames at the start during which the surface is at rest.
constexpr int sampleLeadInFrames = 45;

// The sample's dot radius (px) and pixel noise (standard deviation in grey levels) unless
// asked otherwise.
constexpr double sampleDotRadius = 6.5;
constexpr double sampleNoiseSigma = 2.0;

struct SampleScene {
    std::uint64_t seed = 1;
    double dotRadius = sampleDotRadius;
    double noiseSigma = sampleNoiseSigma;  // per-frame pixel noise, grey levels
    // At least 1: at F, every motion and every rest between two takes 1/F of its frames.
    double motionSpeed = 1.0;
    std::vector<cv::Point2d> restCentres;  // dot centres with the surface at rest
    cv::Mat background;                    // CV_32FC3 BGR: lit, textured surface without dots
    cv::Mat lighting;                      // CV_32FC1 light level, multiplies the dot colour
    cv::Vec3f dotColour;                   // BGR of a dot under unit light
};

// A stretch of frames [first, first + count) spent in one motion (or at rest).
struct MotionSpan {
    std::string motion;  // "rest", "translate", "shear", "twist" or "press"
    int first = 0;
    int count = 0;
};

// Builds the scene for a seed: dot layout (a jittered grid), background texture
// and lighting. Deterministic for a given seed.
SampleScene makeScene(std::uint64_t seed = 1);

// The timeline of a video of frameCount frames: a rest lead-in of up to
// sampleLeadInFrames frames, then translate, shear, twist and press, each going
// out and back, separated by short rests, ending with at least one rest frame.
// At motionSpeed 1 the motions share the frames after the lead-in in fixed
// proportions, so a shorter video moves faster; at motionSpeed F each motion and
// each rest between two takes 1/F of those frames, and the frames left over rest
// at the end. Spans with no frames are left out.
std::vector<MotionSpan> motionTimeline(int frameCount, double motionSpeed = 1.0);

// Name of the motion under way at frameIndex (see MotionSpan::motion).
std::string motionAt(const SampleScene& scene, int frameIndex, int frameCount);

// True dot centres at frameIndex, in the same order as scene.restCentres.
std::vector<cv::Point2d> dotCentresAt(const SampleScene& scene, int frameIndex, int frameCount);

// Renders frameIndex as a sampleWidth x sampleHeight CV_8UC3 BGR image. The
// pixel noise depends only on the scene seed and frameIndex.
cv::Mat renderFrame(const SampleScene& scene, int frameIndex, int frameCount);
// The same, reusing frame's buffer when it already has the right size and type.
void renderFrame(const SampleScene& scene, int frameIndex, int frameCount, cv::Mat& frame);

}  // namespace dottrack
