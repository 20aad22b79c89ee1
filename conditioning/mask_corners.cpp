#include <opencv2/imgproc.hpp>

#include "conditioning/conditioning.h"

namespace dottrack {

void maskCorners(cv::Mat& mini) {
    // Right triangles whose legs run along the map's edges: top left, bottom right,
    // top right, bottom left. The bottom-left one sits on row 60, one row below the
    // map; fillPoly clips what falls outside.
    static const cv::Point corners[4][3] = {
        {{5, 0}, {0, 5}, {0, 0}},
        {{79, 59}, {79, 37}, {67, 59}},
        {{79, 0}, {66, 0}, {79, 11}},
        {{0, 60}, {15, 60}, {0, 37}},
    };
    const int vertexCount = 3;
    for (const auto& triangle : corners) {
        const cv::Point* contour = triangle;
        cv::fillPoly(mini, &contour, &vertexCount, 1, cv::Scalar(0.5), cv::LINE_8, 0,
                     cv::Point(0, 0));
    }
}

}  // namespace dottrack
