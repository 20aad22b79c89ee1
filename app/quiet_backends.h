#pragma once
// Keeps what the video back-ends under OpenCV print on their own, past OpenCV's log, off
// standard error: FFmpeg's decoders and GStreamer through GLib.

namespace dottrack {

// Quiets the back-ends for the rest of the process; only the first call does anything. To
// be called before the first capture or writer opens, while the process has no other
// thread that could read the environment.
void quietVideoBackEnds();

}  // namespace dottrack
