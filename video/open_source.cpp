#include "video/video.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <mutex>
#include <system_error>

#include <opencv2/videoio/registry.hpp>

namespace dottrack {

namespace {

bool isWholeNumber(const std::string& text) {
    return !text.empty() && text.size() <= 4 &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

bool exists(const std::string& path) {
    std::error_code error;
    return std::filesystem::exists(path, error);
}

// OpenCV's log level is one for the whole process: sources opened on several threads at
// once take turns, so that one cannot give the log its voice back while another opens.
std::mutex openingTurn;

}  // namespace

SourceKind classifySource(const std::string& name) {
    if (name.find('!') != std::string::npos) {
        return SourceKind::pipeline;
    }
    if (isWholeNumber(name) || name.rfind("/dev/", 0) == 0) {
        return SourceKind::camera;
    }
    if (name.find('%') != std::string::npos) {
        return SourceKind::sequence;
    }
    return SourceKind::file;
}

bool isLive(SourceKind kind) {
    return kind == SourceKind::camera || kind == SourceKind::pipeline;
}

std::string openSource(const std::string& name, cv::VideoCapture& capture) {
    const SourceKind kind = classifySource(name);
    const bool number = isWholeNumber(name);
    const std::string device = number ? "/dev/video" + name : name;
    // Refusals that need no back-end, told in the user's terms.
    if (kind == SourceKind::file && !exists(name)) {
        return "cannot open " + name + ": no such file";
    }
    if (kind == SourceKind::camera && !exists(device)) {
        return "cannot open camera " + name + ": " + device + " does not exist";
    }
    if (kind == SourceKind::pipeline && !cv::videoio_registry::hasBackend(cv::CAP_GSTREAMER)) {
        return "cannot open the pipeline '" + name + "': this OpenCV has no GStreamer back-end";
    }

    {
        const std::lock_guard<std::mutex> turn(openingTurn);
        const auto logLevel = silenceOpenCvLog();
        if (kind == SourceKind::pipeline) {
            capture.open(name, cv::CAP_GSTREAMER);
        } else if (kind == SourceKind::camera && number) {
            capture.open(std::stoi(name), cv::CAP_ANY);
        } else {
            capture.open(name, cv::CAP_ANY);
        }
        restoreOpenCvLog(logLevel);
    }
    if (capture.isOpened()) {
        return {};
    }
    switch (kind) {
        case SourceKind::pipeline:
            return "cannot open the pipeline '" + name +
                   "' through OpenCV's GStreamer back-end: it did not start (are its elements "
                   "installed, and does it end in appsink?)";
        case SourceKind::camera:
            return "cannot open camera " + name + " (" + device +
                   "): no back-end of OpenCV could start it";
        case SourceKind::sequence:
            return "cannot open the image sequence " + name +
                   ": no back-end of OpenCV found its images (is the pattern right, and do "
                   "the numbers start at 0 to 4?)";
        case SourceKind::file:
            break;
    }
    return "cannot open " + name + " as a video: no back-end of OpenCV can read it";
}

}  // namespace dottrack
