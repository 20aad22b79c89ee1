#include "video/video.h"

namespace dottrack {

namespace {

void rewind(cv::VideoCapture& capture, long& position) {
    capture.set(cv::CAP_PROP_POS_AVI_RATIO, 0.0);
    position = 0;
}

bool readFrame(cv::VideoCapture& capture, cv::Mat& frame, long& position) {
    capture >> frame;
    if (frame.empty()) {
        return false;
    }
    ++position;
    return true;
}

// The next frame of a video, starting over at its end. Returns its index, or -1 when the
// video yields no frame even after rewinding.
long readVideoFrame(cv::VideoCapture& capture, cv::Mat& frame, long& position) {
    if (!readFrame(capture, frame, position)) {
        rewind(capture, position);
        if (!readFrame(capture, frame, position)) {
            return -1;
        }
    }
    return position - 1;
}

// The next frame of a live source, never starting over. Returns its index since the source
// was opened, or -1 when the source stopped delivering frames.
long readLiveFrame(cv::VideoCapture& capture, cv::Mat& frame, long& position) {
    capture >> frame;
    return frame.empty() ? -1 : position++;
}

// The frame of the next pass of a live source: one frame dropped, the next one read.
long readLivePassFrame(cv::VideoCapture& capture, cv::Mat& frame, long& position) {
    if (!capture.grab()) {
        return -1;
    }
    ++position;
    return readLiveFrame(capture, frame, position);
}

long readChosenFrame(FrameReader& reader, cv::Mat& frame) {
    if (reader.choice == FrameChoice::everyFrame) {
        return reader.live ? readLiveFrame(reader.capture, frame, reader.position)
                           : readVideoFrame(reader.capture, frame, reader.position);
    }
    return reader.live ? readLivePassFrame(reader.capture, frame, reader.position)
                       : readPassFrame(reader.capture, frame, reader.position);
}

// A frame belongs to the run while the limit allows it or, without a limit, until the
// frame index goes back: the video has started over.
bool belongsToRun(const FrameReader& reader, long index) {
    if (reader.limit > 0 || reader.live) {
        return true;
    }
    return reader.taken == 0 || index > reader.previousIndex;
}

}  // namespace

void skipWarmup(cv::VideoCapture& capture, cv::Mat& frame, long& position) {
    for (int skipped = 0; skipped < warmupFrames; ++skipped) {
        readFrame(capture, frame, position);
    }
}

long readPassFrame(cv::VideoCapture& capture, cv::Mat& frame, long& position) {
    // The frame between two processed ones is taken and dropped.
    if (capture.grab()) {
        ++position;
    } else {
        rewind(capture, position);
    }
    // When the dropped frame was the last one, the read finds nothing: start again from
    // the first frame rather than hand an empty image to the stages.
    return readVideoFrame(capture, frame, position);
}

std::string openReader(const std::string& name, FrameChoice choice, std::int64_t limit,
                       FrameReader& reader) {
    reader.choice = choice;
    reader.limit = limit;
    reader.live = isLive(classifySource(name));
    return openSource(name, reader.capture);
}

FrameRead readNextFrame(FrameReader& reader, SourceFrame& next) {
    if (reader.limit > 0 && reader.taken >= reader.limit) {
        return FrameRead::runOver;
    }
    if (reader.choice == FrameChoice::passes && !reader.warmedUp) {
        skipWarmup(reader.capture, next.frame, reader.position);
        reader.warmedUp = true;
    }
    next.index = readChosenFrame(reader, next.frame);
    if (next.index < 0) {
        return reader.live && reader.taken > 0 ? FrameRead::stopped : FrameRead::noFrame;
    }
    if (!belongsToRun(reader, next.index)) {
        return FrameRead::runOver;
    }
    reader.previousIndex = next.index;
    ++reader.taken;
    return FrameRead::frame;
}

std::int64_t framesInOneTrip(FrameChoice choice, long frameCount) {
    if (frameCount <= 0) {
        return 0;
    }
    if (choice == FrameChoice::everyFrame) {
        return frameCount;
    }
    // Frame warmupFrames + 1 is the first pass's; a shorter video is used up by the warm-up
    // (or, at warmupFrames + 1 frames, by the first pass's skip) and its trip starts at 0.
    const long firstPassFrame = warmupFrames + 1;
    if (frameCount > firstPassFrame) {
        return (frameCount - 1 - firstPassFrame) / 2 + 1;
    }
    return (frameCount + 1) / 2;
}

}  // namespace dottrack
