#include "tracking/tracking.h"

namespace dottrack {

void seedMarkers(const std::vector<cv::Point2f>& targets, std::vector<cv::Point2f>& refMarkers,
                 std::vector<cv::Point2f>& markers, std::vector<int>& assignment) {
    refMarkers = targets;
    markers = refMarkers;
    assignment.resize(refMarkers.size());
}

}  // namespace dottrack
