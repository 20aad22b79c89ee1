#pragma once
// The camera a video was recorded with: its lens measured from views of a calibration
// pattern, kept in a file that other OpenCV programs read too, and taken out of the dots'
// centres; and the scale from ideal pixels to millimetres on the surface.

#include <cstddef>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace dottrack {

// A camera as the calibration finds it and its file holds it: OpenCV's pinhole with its
// radial and tangential distortion.
struct CameraModel {
    cv::Matx33d matrix = cv::Matx33d::eye();  // fx 0 cx / 0 fy cy / 0 0 1, in pixels
    // k1 k2 p1 p2 [k3 [k4 k5 k6 [s1 s2 s3 s4 [tx ty]]]], as OpenCV orders them.
    std::vector<double> distortion;
    cv::Size imageSize;  // the frames it was calibrated on
    // RMS distance of the pattern's points from where the model puts them (px); NaN when
    // the file does not say.
    double reprojectionError = std::numeric_limits<double>::quiet_NaN();
};

// Reads a camera file: an OpenCV FileStorage file (YAML, XML or JSON) with camera_matrix,
// distortion_coefficients, image_width and image_height, as OpenCV's calibration sample
// writes them; avg_reprojection_error is read when present. Returns why it cannot, in one
// line naming the file and the field, or an empty string.
std::string readCameraFile(const std::string& path, CameraModel& camera);

// Writes `camera` as a YAML camera file, whole or not at all. Returns why it cannot, or an
// empty string.
std::string writeCameraFile(const std::string& path, const CameraModel& camera);

// Why `camera` cannot serve frames of `frameSize`, in one line, or an empty string.
std::string checkCameraFits(const CameraModel& camera, cv::Size frameSize);

// Moves the centres seen in the image to where a lens without distortion would have shown
// them (ideal pixels of the same camera matrix), to convergence. `ideal` is resized.
void undistortCentres(const std::vector<cv::Point2d>& seen, const CameraModel& camera,
                      std::vector<cv::Point2d>& ideal);

// The median distance from each point to its nearest neighbour: a field's or a pattern's
// spacing, which a stray point does not move. Nothing without two distinct points.
std::optional<double> medianNeighbourDistance(const std::vector<cv::Point2d>& points);

// The median distance between neighbouring points: every pair less than 1.25 times the
// median distance to the nearest apart (the 4 neighbours of a square grid, the 6 of a
// hexagonal one). Unlike the nearest alone, the least of several noisy distances, it is not
// short by about the points' noise. Nothing without two distinct points.
std::optional<double> medianNeighbourSpacing(const std::vector<cv::Point2d>& points);

// Millimetres per ideal pixel: `pitchMm`, the dots' spacing on the surface, over the median
// distance between neighbouring dots (medianNeighbourSpacing). Nothing without two distinct
// dots.
std::optional<double> scaleFromPitch(const std::vector<cv::Point2d>& idealCentres, double pitchMm);

enum class PatternKind {
    circles,     // dark circles on a square grid
    acircles,    // dark circles on an asymmetric grid, every other row shifted half a step
    chessboard,  // squares; its grid counts the inner corners
};

// The kinds by the names that command lines and messages give them.
const std::map<std::string, PatternKind>& patternKindNames();

// A calibration target: its kind, its points per row and rows (columns x rows), and the
// spacing of its points in mm (a chessboard's square side; for acircles, the distance
// between neighbouring rows and half that between neighbours in a row).
struct CalibrationPattern {
    PatternKind kind = PatternKind::circles;
    cv::Size grid{9, 6};
    double spacing = 20.0;
};

// The pattern's points on the target in mm, row by row, with z = 0: (j s, i s) for circles
// and chessboards, ((2 j + i % 2) s, i s) for acircles, as OpenCV's calibration sample sets
// them.
std::vector<cv::Point3f> patternPoints(const CalibrationPattern& pattern);

// What the search for a pattern in one frame found.
enum class PatternSight {
    found,   // the whole pattern, its points in the order of patternPoints
    absent,  // no pattern of the asked grid
    larger,  // a pattern of the kind asked, with more points than its grid
};

// Looks for `pattern` in a colour or grey 8-bit frame, dark on a light ground; `points` holds
// its points in the image when it is found.
PatternSight findPattern(const cv::Mat& frame, const CalibrationPattern& pattern,
                         std::vector<cv::Point2f>& points);

// Finds again, to the best accuracy OpenCV's finders reach, the points of a pattern that
// findPattern found at `points`: a chessboard's corners from the board enlarged, with half
// the error, at a cost worth paying for the views a calibration takes; circles' centres are
// as accurate as their finder gets already. Keeps `points` when the search fails.
void refinePattern(const cv::Mat& frame, const CalibrationPattern& pattern,
                   std::vector<cv::Point2f>& points);

// Whether `points` show a view already among `taken`: each point on average within a
// quarter of the pattern's spacing in the image of the same point of a taken view (numbered
// either way round, as a symmetric pattern may be).
bool repeatsView(const std::vector<std::vector<cv::Point2f>>& taken,
                 const std::vector<cv::Point2f>& points);

// Views a calibration needs at the least.
constexpr std::size_t minCalibrationViews = 6;

// Calibrates the camera from views of `pattern` in frames of `imageSize`, each the pattern's
// points in the image. Returns why it cannot (too few views), or an empty string.
std::string calibrateFromViews(const std::vector<std::vector<cv::Point2f>>& views,
                               const CalibrationPattern& pattern, cv::Size imageSize,
                               CameraModel& camera);

}  // namespace dottrack
