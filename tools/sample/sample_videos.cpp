#include "tools/sample/sample_videos.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <system_error>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include "cli/cli.h"

namespace dottrack {
namespace {

// What a video of either kind is made of: its frames, drawn one by one into `frame`, and the
// truth of each frame, written as lines of CSV after `truthHeader`.
struct VideoContents {
    cv::Size size;
    bool colour = true;
    int frameCount = 0;
    const char* truthHeader = "";
    std::function<void(int, cv::Mat&)> drawFrame;
    std::function<void(int, std::FILE*)> writeTruth;
};

void writeVideo(const SampleOptions& options, const VideoContents& contents) {
    // Open the truth file first so a bad path fails before any rendering.
    std::FILE* truth = nullptr;
    if (!options.truthPath.empty()) {
        truth = std::fopen(options.truthPath.c_str(), "w");
        if (truth == nullptr) {
            throw RunError{"cannot write truth file '" + options.truthPath +
                           "': " + std::strerror(errno)};
        }
        std::fputs(contents.truthHeader, truth);
    }
    auto closeTruth = [&truth]() {
        const bool ok = truth == nullptr || (!std::ferror(truth) && std::fclose(truth) == 0);
        truth = nullptr;
        return ok;
    };

    // FFmpeg's MJPG encoder first: its files decode cleanly with every reader
    // backend. Any other backend that can write MJPG will do if it is missing.
    const int fourcc = cv::VideoWriter::fourcc('M', 'J', 'P', 'G');
    const cv::Size size = contents.size;
    cv::VideoWriter writer(options.videoPath, cv::CAP_FFMPEG, fourcc, sampleFps, size,
                           contents.colour);
    if (!writer.isOpened()) {
        writer.open(options.videoPath, cv::CAP_ANY, fourcc, sampleFps, size, contents.colour);
    }
    if (!writer.isOpened()) {
        if (truth != nullptr) {
            closeTruth();
            std::remove(options.truthPath.c_str());
        }
        throw RunError{"cannot open '" + options.videoPath +
                       "' for writing as an MJPG video (does the directory exist and is it "
                       "writable?)"};
    }

    cv::Mat frame;
    for (int f = 0; f < contents.frameCount; ++f) {
        contents.drawFrame(f, frame);
        writer.write(frame);
        if (truth != nullptr) {
            contents.writeTruth(f, truth);
        }
    }
    writer.release();

    if (!closeTruth()) {
        throw RunError{"failed while writing truth file '" + options.truthPath + "'"};
    }
    std::error_code error;
    if (std::filesystem::file_size(options.videoPath, error) == 0 || error) {
        throw RunError{"video file '" + options.videoPath + "' was not written"};
    }
}

}  // namespace

void writeSample(const SampleOptions& options) {
    SampleScene scene = makeScene(options.seed);
    scene.noiseSigma = options.noiseSigma;
    scene.dotRadius = options.dotRadius;
    scene.motionSpeed = options.motionSpeed;
    const int frameCount = options.frameCount;
    VideoContents contents;
    contents.size = cv::Size(sampleWidth, sampleHeight);
    contents.frameCount = frameCount;
    contents.truthHeader = "frame,motion,dot,x,y\n";
    contents.drawFrame = [&](int f, cv::Mat& frame) { renderFrame(scene, f, frameCount, frame); };
    contents.writeTruth = [&](int f, std::FILE* truth) {
        const std::string motion = motionAt(scene, f, frameCount);
        const std::vector<cv::Point2d> centres = dotCentresAt(scene, f, frameCount);
        for (std::size_t d = 0; d < centres.size(); ++d) {
            std::fprintf(truth, "%d,%s,%zu,%.17g,%.17g\n", f, motion.c_str(), d, centres[d].x,
                         centres[d].y);
        }
    };
    writeVideo(options, contents);
}

void writeField(const SampleOptions& options) {
    const FieldScene scene = makeFieldScene(options.fieldSettings);
    VideoContents contents;
    contents.size = scene.settings.size;
    contents.colour = !scene.settings.grey;
    contents.frameCount = scene.settings.frameCount;
    // What grading in ideal pixels and millimetres needs comes after the columns of old, and
    // only when asked for, so that the truth of other fields reads as it always has.
    const bool measured = scene.settings.lens || scene.settings.pitchMm > 0;
    contents.truthHeader = measured ? "frame,dot,x,y,visible,ideal_x,ideal_y,x_mm,y_mm,disp_x_mm,"
                                      "disp_y_mm\n"
                                    : "frame,dot,x,y,visible\n";
    contents.drawFrame = [&](int f, cv::Mat& frame) { renderFieldFrame(scene, f, frame); };
    contents.writeTruth = [&](int f, std::FILE* truth) {
        for (const DotTruth& dot : fieldTruthAt(scene, f)) {
            std::fprintf(truth, "%d,%d,%.17g,%.17g,%d", f, dot.dot, dot.centre.x, dot.centre.y,
                         dot.visible ? 1 : 0);
            if (measured) {
                std::fprintf(truth, ",%.17g,%.17g,%.17g,%.17g,%.17g,%.17g", dot.ideal.x,
                             dot.ideal.y, dot.idealMm.x, dot.idealMm.y, dot.displacementMm.x,
                             dot.displacementMm.y);
            }
            std::fputc('\n', truth);
        }
    };
    writeVideo(options, contents);
}

void writeTargetVideo(const SampleOptions& options) {
    TargetScene scene = makeTargetScene(options.lens, options.pattern, options.views);
    scene.noiseSigma = options.noiseSigma;
    scene.seed = options.seed;
    VideoContents contents;
    contents.size = options.lens.imageSize;
    contents.frameCount = targetFrameCount(scene);
    contents.drawFrame = [&](int f, cv::Mat& frame) { renderTargetFrame(scene, f, frame); };
    writeVideo(options, contents);
}

}  // namespace dottrack
