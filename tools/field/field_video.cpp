#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "cli/cli.h"
#include "tools/field/field_program.h"

namespace dottrack {

namespace {

// The writer picks its container by the name's extension: the temporary name keeps it.
constexpr const char* videoExtension = ".avi";

std::string describeErrno(const std::string& path) {
    return "cannot write '" + path + "': " + std::strerror(errno);
}

}  // namespace

std::string reserveFieldVideo(const std::string& path, FieldVideo& video) {
    video.path = path;
    video.tempPath.clear();
    std::error_code error;
    if (std::filesystem::exists(path, error) && !std::filesystem::is_regular_file(path, error)) {
        return "cannot write '" + path + "': it is not a regular file";
    }
    const std::filesystem::path target(path);
    std::string pattern = (target.parent_path() /
                           ("." + target.filename().string() + ".partial-XXXXXX" + videoExtension))
                              .string();
    const int descriptor = mkstemps(pattern.data(), static_cast<int>(std::strlen(videoExtension)));
    if (descriptor < 0) {
        return describeErrno(path);
    }
    // mkstemps makes the file private; the video gets the permissions of any new file.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(descriptor, 0666 & ~mask);
    close(descriptor);
    video.tempPath = pattern;
    return {};
}

void writeFieldVideoFrame(const cv::Mat& view, double fps, FieldVideo& video) {
    if (!video.writer.isOpened()) {
        const int fourcc = cv::VideoWriter::fourcc('M', 'J', 'P', 'G');
        // FFmpeg's encoder first, as for the sample videos: its files decode everywhere.
        video.writer.open(video.tempPath, cv::CAP_FFMPEG, fourcc, fps, view.size(), true);
        if (!video.writer.isOpened()) {
            video.writer.open(video.tempPath, cv::CAP_ANY, fourcc, fps, view.size(), true);
        }
        if (!video.writer.isOpened()) {
            throw RunError{"cannot write '" + video.path + "': no MJPG AVI writer could open"};
        }
        video.fps = fps;
    }
    video.writer.write(view);
}

std::string commitFieldVideo(FieldVideo& video) {
    video.writer.release();
    if (std::rename(video.tempPath.c_str(), video.path.c_str()) != 0) {
        const std::string problem = describeErrno(video.path);
        discardFieldVideo(video);
        return problem;
    }
    video.tempPath.clear();
    return {};
}

void discardFieldVideo(FieldVideo& video) {
    video.writer.release();
    if (!video.tempPath.empty()) {
        std::remove(video.tempPath.c_str());
        video.tempPath.clear();
    }
}

}  // namespace dottrack
