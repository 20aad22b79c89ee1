#include <algorithm>

#include <opencv2/highgui.hpp>

#include "present/present.h"
#include "tools/field/field_program.h"

namespace dottrack {

namespace {

// A larger frame is shown scaled down to fit, so that a 1080p camera's view fits a laptop's
// screen whole; smaller ones are shown pixel for pixel.
const cv::Size largestWindow(1280, 720);

}  // namespace

std::string openFieldWindow(FieldWindow& window) {
    const std::string displayProblem = describeMissingDisplay();
    if (!displayProblem.empty()) {
        return "cannot show the live view: " + displayProblem;
    }
    cv::namedWindow(fieldWindowName,
                    cv::WINDOW_NORMAL | cv::WINDOW_KEEPRATIO | cv::WINDOW_GUI_NORMAL);
    window.sized = false;
    return {};
}

bool showFieldView(const cv::Mat& view, FieldWindow& window) {
    if (!window.sized) {
        const double scale = std::min({1.0, double(largestWindow.width) / view.cols,
                                       double(largestWindow.height) / view.rows});
        cv::resizeWindow(fieldWindowName, cvRound(view.cols * scale), cvRound(view.rows * scale));
        window.sized = true;
    }
    cv::imshow(fieldWindowName, view);
    return cv::waitKey(1) >= 0;
}

}  // namespace dottrack
