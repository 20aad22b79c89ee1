// Synthetic fields of many dots, with their truth: a dotted, textured surface under a fixed
// light, seen by a camera while the surface moves, and an object that may come in front of
// it for a while.
//
// As for the sample, everything is a pure function of the scene and the frame index. Each
// image pixel is rendered from the point of the surface it sees: the ideal pixel a pinhole
// would show there (the lens's, traced once per scene), then `surfacePointAt`; each dot's
// true centre is the image of its centre on the surface (`imagePointOf`), then where the
// lens shows it. The lens goes into that pair of maps, and into each dot's blur.
//
// Pixel coordinates: x to the right, y down, origin at the centre of the top-left pixel.
// Surface coordinates are those of the ideal image at rest (frame 0).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "tools/sample/lens.h"

namespace dottrack {

// How the surface moves over the video; each motion starts at rest in frame 0.
enum class FieldMotion {
    affine,   // a slow combination of slide, turn, stretch and shear, out and back
    slide,    // fast slides to and fro, up to 0.4 of the dots' spacing per frame
    turn,     // a turn about the image centre, to and fro
    stretch,  // a stretch along x with a contraction along y, out and back
    leave,    // a slide that takes a large part of the field out of view, and back
    rigid,    // a slow slide and turn together, out and back: no deformation at all
    press,    // a local bulge that grows and relaxes: a strain that varies across the surface
};

// The object that comes in front of the surface, if any.
enum class FieldCover { none, dark, light };

struct FieldSettings {
    std::uint64_t seed = 1;
    cv::Size size{1280, 720};
    double spacing = 44.0;    // px between neighbouring dots at rest
    double radius = 6.5;      // px, of every dot
    double noiseSigma = 2.0;  // pixel noise, new in every frame (grey levels)
    bool grey = false;        // one channel rather than BGR
    FieldMotion motion = FieldMotion::affine;
    FieldCover cover = FieldCover::none;
    double coverEdge = 6.0;  // px over which the object's edge fades (1: a hard edge)
    int frameCount = 120;
    // At F, every motion keeps its amplitude but takes 1/F of the frames, and the surface
    // rests after it; the covering object keeps its own time.
    double speed = 1.0;
    double jitter = 0.15;  // of the spacing: how far each dot may lie off its grid node
    // The camera's lens, of the frame's size; none: a pinhole, the image is the ideal one.
    std::optional<Lens> lens;
    // The spacing on the surface in mm, for the truth's millimetres; 0: the spacing in px,
    // so that the surface has 1 mm to a px of the ideal image at rest.
    double pitchMm = 0;
};

struct FieldScene {
    FieldSettings settings;
    cv::Point2d gridOrigin;  // surface position of dot 0's grid node
    int gridColumns = 0, gridRows = 0;
    std::vector<cv::Point2d> dots;  // surface centres, row by row on the jittered grid
    cv::Mat texture;                // CV_32FC1 grey levels added to the surface colour
    cv::Point2d textureOrigin;      // surface position of the texture's pixel (0, 0)
    cv::Mat idealPixels;            // traceIdealPixels of the lens; empty without one
};

// Where the surface is in one frame: an affine map from the surface to the (ideal) image,
// then, for a press, a bulge that moves each image point q away from `pressCentre` by
// pressGain exp(-|q - c|^2 / 2 pressSpread^2) (q - c).
struct FieldPose {
    cv::Matx23d surfaceToImage;  // the affine map
    cv::Matx23d imageToSurface;  // its inverse
    cv::Point2d pressCentre;
    double pressGain = 0;  // none when 0
    double pressSpread = 1;
};

// The truth of one dot in one frame.
struct DotTruth {
    int dot = 0;         // its index in FieldScene::dots, the same in every frame
    cv::Point2d centre;  // px, where the dot is seen
    // Wholly in view, its edge 1.5 px inside the centres of the frame's outermost pixels, and
    // uncovered: the object's edge keeps 4 px of surface clear around it; through a lens,
    // seen by real rays with that much surface around it, short of the lens's fold.
    bool visible = false;
    cv::Point2d ideal;           // px, where a pinhole would show it (`centre` without a lens)
    cv::Point2d idealMm;         // mm on the surface's plane: `ideal` times the surface's scale
    cv::Point2d displacementMm;  // mm: `idealMm` less where the dot was at rest
};

// Builds the scene: the dot layout (a jittered grid over all the surface the camera sees in
// the whole video), the surface's texture and the lens's rays. Throws std::invalid_argument
// when the dots cannot stay apart (the spacing must be at least 2 * radius + 5), the frame
// is empty, or the lens is for frames of another size or folds inside the frame (see
// `showsWholeAxes`).
FieldScene makeFieldScene(const FieldSettings& settings);

// Names of the motions and of the covers, as the command line takes them; the parsers
// throw std::invalid_argument on an unknown name.
std::string fieldMotionName(FieldMotion motion);
FieldMotion fieldMotionNamed(const std::string& name);
FieldCover fieldCoverNamed(const std::string& name);

// Millimetres on the surface per px of the ideal image at rest.
double fieldMmPerPx(const FieldSettings& settings);

// The surface's pose in frameIndex.
FieldPose fieldPoseAt(const FieldScene& scene, int frameIndex);

// The point of the surface that the image pixel `pixel` sees in that pose.
cv::Point2d surfacePointAt(const FieldPose& pose, cv::Point2d pixel);
// The image point at which the surface point `point` is seen in that pose.
cv::Point2d imagePointOf(const FieldPose& pose, cv::Point2d point);
// The derivative of imagePointOf at the surface point `point`: the surface's map near it.
cv::Matx22d surfaceJacobianAt(const FieldPose& pose, cv::Point2d point);

// How opaque the covering object is at the image pixel in frameIndex, from 0 to 1, with its
// edge moved out by `margin` px: a thick half-line from its tip whose edge fades linearly.
double coverOpacityAt(const FieldSettings& settings, int frameIndex, cv::Point2d pixel,
                      double margin);

// Every dot that reaches into the frame at frameIndex, in the order of FieldScene::dots.
std::vector<DotTruth> fieldTruthAt(const FieldScene& scene, int frameIndex);

// Renders frameIndex (CV_8UC3 BGR, or CV_8UC1 for a grey scene) into `frame`, reusing its
// buffer. The noise depends only on the seed and frameIndex.
void renderFieldFrame(const FieldScene& scene, int frameIndex, cv::Mat& frame);

}  // namespace dottrack
