#pragma once
// dottrack-accuracy on a field: the whole field measurement of every frame of a generated
// field graded against its truth (dots, numbers, displacements, strain, time), beside OpenCV's
// blob detector on the same frames.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "bench/accuracy_figures.h"
#include "field/field.h"

namespace dottrack {

// The truth of one dot in one frame, as dottrack-sample --field --truth writes it.
struct FieldTruthDot {
    int dot = 0;  // the same in every frame
    cv::Point2d centre;
    bool visible = false;  // wholly in view and uncovered
    // Where a pinhole would show the dot: the surface's position that the displacements and
    // the strain are graded on. The centre when the truth does not say.
    cv::Point2d ideal;
};

// Every frame's true dots, sorted by x.
struct FieldTruth {
    std::map<long, std::vector<FieldTruthDot>> frames;
    // Mm on the surface per ideal px, when the truth gives ideal positions and millimetres
    // (a field through a lens, or with a pitch); 0 otherwise.
    double mmPerPx = 0;
};

// Whether the file at `path` is the truth of a field (its header), rather than the sample's.
bool isFieldTruth(const std::string& path);

// Reads the truth of a field, with its ideal positions and millimetres when it has them.
// Throws RunError for a file that is not one.
FieldTruth readFieldTruth(const std::string& path);

// The true dot nearest to `point` among `dots` (sorted by x), no farther than `reach`: its
// index in `dots`, or -1; and its distance.
int nearestTrueDot(const std::vector<FieldTruthDot>& dots, cv::Point2d point, double reach,
                   double& distance);

// How one finder's centres match the truth, over the frames: a centre within 0.5 px of a
// true dot is that dot's; farther from every one, or a second on a dot, it is false.
struct CentreFigures {
    long visible = 0, found = 0, centres = 0, falseCentres = 0, duplicates = 0, onHidden = 0;
    double worstCoverage = 1.0;
    Errors error;
    Locking locking;
    std::vector<double> milliseconds;

    // Matches one frame's centres with its truth.
    void add(const std::vector<FieldTruthDot>& dots, const std::vector<cv::Point2f>& given);
};

// The truth as the field's numbers see it: the true dot each number was first found on, the
// numbers each true dot was found under, and each true dot's place in the reference frame.
struct FieldIdentity {
    long referenceFrame = -1;
    std::size_t referenceNumbers = 0;     // the numbers given in the reference frame
    std::vector<cv::Point2d> references;  // per true dot; NaN until known
    std::vector<int> ownerOfNumber;       // per number: its true dot, -1 a false centre
    std::vector<int> firstNumber;         // per true dot: -1 until found
    std::vector<long> lastVisible;        // per true dot: the last frame it was visible in
    std::vector<std::uint8_t> cameBack;   // per true dot: visible again after a frame it was not
    std::vector<std::uint8_t> renumbered, renumberedAfterBack;
    long swaps = 0;           // centres on a true dot under another dot's number
    long strayOwners = 0;     // centres on a true dot under a number first given to a false one
    long numbersOnFalse = 0;  // numbers first given to a false centre
};

// What the whole field measurement gives against the truth, beside the blob detector.
struct FieldGrades {
    CentreFigures ours, blobs;
    FieldIdentity identity;
    Errors displacement, laterDisplacement;  // all dots; those numbered after the reference
    Errors strain[3];                        // |error| of exx, eyy, exy
    // Given a truth with ideal positions: the ideal centres' error, and with a scale the
    // displacements' in mm against the truth's millimetres (`truthMmPerPx`, set by the caller).
    double truthMmPerPx = 0;
    Errors idealCentre, displacementMm;
    long onDots = 0, strained = 0;
    long frames = 0;
    std::int64_t allocations = 0, ransacAllocations = 0;  // after the first frame
};

// Grades the frame `index`, just measured into `measurement`, whose truth is `dots`.
void gradeFieldFrame(const FieldMeasurement& measurement, long index,
                     const std::vector<FieldTruthDot>& dots, FieldGrades& grades);

// Prints the figures of a run over `videoPath`, measured through the camera of `cameraPath`
// (none when empty).
void printFieldAccuracy(const std::string& videoPath, const std::string& cameraPath,
                        const FieldMeasurement& measurement, const FieldGrades& grades);

}  // namespace dottrack
