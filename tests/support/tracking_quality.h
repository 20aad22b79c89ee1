#pragma once
// How closely markers follow the dots of the sample video, motion by motion: the distance
// from each marker's tracked position to the true centre of the dot it was seeded on.

#include <map>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace dottrack::test {

struct MotionError {
    double sum = 0;
    double max = 0;
    long count = 0;
    double mean() const { return count > 0 ? sum / count : 0; }
};

struct TrackingQuality {
    std::vector<int> dotOfMarker;               // the dot each marker was seeded on
    std::map<std::string, MotionError> errors;  // by motion name
};

// Records the markers after one pass, given the true dot centres of the frame processed
// and the motion under way. The first pass gives each marker the dot nearest to it, and
// checks that it is near and that no two markers share one.
void addPass(TrackingQuality& quality, const std::string& motion,
             const std::vector<cv::Point2d>& dots, const std::vector<cv::Point2f>& markers);

// Prints the errors per motion and checks each against the bounds that a correct tracker
// meets on the sample video with margin.
void expectTrackingQuality(const TrackingQuality& quality);

}  // namespace dottrack::test
