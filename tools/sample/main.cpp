// dottrack-sample: writes the synthetic sample video and, optionally, the true
// dot centres of every frame as CSV.
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/videoio.hpp>

#include "tools/command_line.h"
#include "tools/sample/sample_scene.h"

namespace dottrack {
namespace {

constexpr int maxFrameCount = 1000000;

const char* const usageText =
    "Usage: dottrack-sample OUT.avi [--truth FILE.csv] [--seed N] [--frames N]\n"
    "\n"
    "Writes the synthetic sample video: a 640 x 480 colour MJPG AVI at 30 fps of a\n"
    "dotted surface that rests, then translates, shears, twists and is pressed,\n"
    "each motion going out and back, so the last frame matches the first.\n"
    "\n"
    "Options:\n"
    "  --truth FILE.csv  also write the true centre of every dot in every frame\n"
    "                    (columns frame,motion,dot,x,y; x right, y down, origin at\n"
    "                    the centre of the top-left pixel)\n"
    "  --seed N          dot layout, texture and noise seed (default 1)\n"
    "  --frames N        number of frames, at least 1 (default 405); shorter\n"
    "                    videos compress the motions and move faster\n"
    "  --help            show this help and exit\n";

struct Options {
    std::string videoPath;
    std::string truthPath;
    std::uint64_t seed = 1;
    int frameCount = sampleDefaultFrameCount;
    bool help = false;
};

Options parseArguments(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool hasInlineValue = false;
        if (arg.rfind("--", 0) == 0) {
            const std::size_t eq = arg.find('=');
            if (eq != std::string::npos) {
                value = arg.substr(eq + 1);
                arg.resize(eq);
                hasInlineValue = true;
            }
        }
        auto takeValue = [&]() {
            if (hasInlineValue) {
                return value;
            }
            if (i + 1 >= argc) {
                throw UsageError{arg + " needs a value"};
            }
            return std::string(argv[++i]);
        };

        if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--truth") {
            options.truthPath = takeValue();
            if (options.truthPath.empty()) {
                throw UsageError{"--truth needs a file name"};
            }
        } else if (arg == "--seed") {
            options.seed = parseWholeNumber(arg, takeValue(), 0, UINT64_MAX);
        } else if (arg == "--frames") {
            options.frameCount =
                static_cast<int>(parseWholeNumber(arg, takeValue(), 1, maxFrameCount));
        } else if (arg.size() > 1 && arg[0] == '-') {
            throw UsageError{"unknown option '" + arg + "' (see --help)"};
        } else if (options.videoPath.empty()) {
            options.videoPath = arg;
        } else {
            throw UsageError{"unexpected argument '" + arg + "': only one output video is written"};
        }
    }
    if (options.help) {
        return options;
    }
    if (options.videoPath.empty()) {
        throw UsageError{"missing output video file name (see --help)"};
    }
    // The MJPG stream goes in an AVI container; other containers would make
    // the writer quietly pick another codec.
    std::string extension = std::filesystem::path(options.videoPath).extension().string();
    for (char& ch : extension) {
        ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    }
    if (extension != ".avi") {
        throw UsageError{"the output video must be an .avi file, got '" + options.videoPath + "'"};
    }
    return options;
}

bool samePath(const std::string& a, const std::string& b) {
    std::error_code error;
    const auto absoluteA = std::filesystem::absolute(a, error).lexically_normal();
    const auto absoluteB = std::filesystem::absolute(b, error).lexically_normal();
    return absoluteA == absoluteB;
}

void writeSample(const Options& options) {
    if (!options.truthPath.empty() && samePath(options.truthPath, options.videoPath)) {
        throw UsageError{"the truth file and the video must be different files"};
    }
    const SampleScene scene = makeScene(options.seed);
    const int frameCount = options.frameCount;

    // Open the truth file first so a bad path fails before any rendering.
    std::FILE* truth = nullptr;
    if (!options.truthPath.empty()) {
        truth = std::fopen(options.truthPath.c_str(), "w");
        if (truth == nullptr) {
            throw RunError{"cannot write truth file '" + options.truthPath +
                           "': " + std::strerror(errno)};
        }
        std::fputs("frame,motion,dot,x,y\n", truth);
    }
    auto closeTruth = [&truth]() {
        const bool ok = truth == nullptr || (!std::ferror(truth) && std::fclose(truth) == 0);
        truth = nullptr;
        return ok;
    };

    // FFmpeg's MJPG encoder first: its files decode cleanly with every reader
    // backend. Any other backend that can write MJPG will do if it is missing.
    const int fourcc = cv::VideoWriter::fourcc('M', 'J', 'P', 'G');
    const cv::Size size(sampleWidth, sampleHeight);
    cv::VideoWriter writer(options.videoPath, cv::CAP_FFMPEG, fourcc, sampleFps, size, true);
    if (!writer.isOpened()) {
        writer.open(options.videoPath, cv::CAP_ANY, fourcc, sampleFps, size, true);
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
    for (int f = 0; f < frameCount; ++f) {
        renderFrame(scene, f, frameCount, frame);
        writer.write(frame);
        if (truth != nullptr) {
            const std::string motion = motionAt(f, frameCount);
            const std::vector<cv::Point2d> centres = dotCentresAt(scene, f, frameCount);
            for (std::size_t d = 0; d < centres.size(); ++d) {
                std::fprintf(truth, "%d,%s,%zu,%.17g,%.17g\n", f, motion.c_str(), d, centres[d].x,
                             centres[d].y);
            }
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
}  // namespace dottrack

int main(int argc, char** argv) {
    using namespace dottrack;
    // Failures are reported in one line below; OpenCV's own messages (a backend
    // that cannot write the file, for instance) would only repeat them noisily.
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    try {
        const Options options = parseArguments(argc, argv);
        if (options.help) {
            std::fputs(usageText, stdout);
            return 0;
        }
        writeSample(options);
        return 0;
    } catch (const UsageError& e) {
        std::fprintf(stderr, "dottrack-sample: %s\n", e.message.c_str());
        return 2;
    } catch (const RunError& e) {
        std::fprintf(stderr, "dottrack-sample: %s\n", e.message.c_str());
    } catch (const cv::Exception& e) {
        std::fprintf(stderr, "dottrack-sample: OpenCV error: %s\n", e.err.c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "dottrack-sample: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "dottrack-sample: unexpected failure\n");
    }
    return 1;
}
