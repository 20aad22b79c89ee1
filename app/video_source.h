#pragma once
// Where the frames of a run come from: a video file, an image sequence, a camera or a
// GStreamer pipeline, each named by one word on the command line and opened the same way by
// every program that reads more than "test.avi".

#include <string>

#include <opencv2/videoio.hpp>

namespace dottrack {

enum class SourceKind {
    file,      // a video file
    sequence,  // numbered images, named by a printf pattern such as frames/%04d.png
    camera,    // a camera's number (0, 1, ...) or its device (/dev/video0)
    pipeline,  // a GStreamer pipeline ending in appsink: anything with a '!' in it
};

// What kind of source `name` names.
SourceKind classifySource(const std::string& name);

// Whether the source's frames arrive live, so that it cannot start over from its first frame.
bool isLive(SourceKind kind);

// Opens `name` into `capture` without OpenCV's own complaints on standard error. Returns
// why it cannot be opened, naming it and saying what was tried, or an empty string.
std::string openSource(const std::string& name, cv::VideoCapture& capture);

}  // namespace dottrack
