#pragma once
// What every program does with an input video: open it without noise, skip the warm-up,
// and take the frame of each pass, rewinding at the end.

#include <string>

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/videoio.hpp>

namespace dottrack {

// Frames at the start of a video that the tool reads and discards.
constexpr int warmupFrames = 45;

// Silences OpenCV's own log and returns the level it had. Opening a file that is not a
// video makes several back-ends complain on standard error before the open fails. The
// first call also quiets, for the rest of the process, what the back-ends print past
// OpenCV's log: a damaged frame is then decoded as well as it can be, without a word.
cv::utils::logging::LogLevel silenceOpenCvLog();

// Gives OpenCV's log back the level that `silenceOpenCvLog` returned.
void restoreOpenCvLog(cv::utils::logging::LogLevel level);

// Reads and discards the warm-up frames. `position` counts the frames the capture has
// delivered since the start of the video; reads past the end leave it unchanged.
void skipWarmup(cv::VideoCapture& capture, cv::Mat& frame, long& position);

// Takes the frame of the next pass: one frame is skipped, the following one read into
// `frame`. At the end of the video it rewinds to the first frame; a read that finds no
// frame is treated the same way, so every pass gets a real frame. Returns the index of
// that frame in the video, or -1 when the video yields no frame even after rewinding.
long readPassFrame(cv::VideoCapture& capture, cv::Mat& frame, long& position);

}  // namespace dottrack
