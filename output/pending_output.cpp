#include "output/output.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "cli/cli.h"

namespace dottrack {

namespace {

std::string describeErrno(const std::string& what, const std::string& path) {
    return what + " '" + path + "': " + std::strerror(errno);
}

}  // namespace

std::string openPendingOutput(const std::string& path, PendingOutput& output) {
    output.path = path;
    output.tempPath.clear();
    output.file = nullptr;
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
        return "cannot write '" + path + "': it is a directory";
    }
    // A device or a pipe (/dev/null, a FIFO) is written in place: a file renamed over it
    // would replace it.
    if (std::filesystem::exists(path, error) && !std::filesystem::is_regular_file(path, error)) {
        output.file = std::fopen(path.c_str(), "wb");
        return output.file == nullptr ? describeErrno("cannot write", path) : std::string();
    }
    // A hidden name in the same directory, so that the rename stays within one file system.
    const std::filesystem::path target(path);
    std::string pattern =
        (target.parent_path() / ("." + target.filename().string() + ".partial-XXXXXX")).string();
    const int descriptor = mkstemp(pattern.data());
    if (descriptor < 0) {
        return describeErrno("cannot write", path);
    }
    output.tempPath = pattern;
    // mkstemp makes the file private; the output gets the permissions of any new file.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(descriptor, 0666 & ~mask);
    output.file = fdopen(descriptor, "wb");
    if (output.file == nullptr) {
        const std::string problem = describeErrno("cannot write", path);
        close(descriptor);
        discardPendingOutput(output);
        return problem;
    }
    return {};
}

std::string commitPendingOutput(PendingOutput& output) {
    std::string problem;
    const bool written = std::ferror(output.file) == 0;
    if (std::fclose(output.file) != 0 || !written) {
        problem = describeErrno("failed while writing", output.path);
    }
    output.file = nullptr;
    if (problem.empty() && !output.tempPath.empty() &&
        std::rename(output.tempPath.c_str(), output.path.c_str()) != 0) {
        problem = describeErrno("cannot write", output.path);
    }
    if (!problem.empty()) {
        discardPendingOutput(output);
        return problem;
    }
    output.tempPath.clear();
    return {};
}

void discardPendingOutput(PendingOutput& output) {
    if (output.file != nullptr) {
        std::fclose(output.file);
        output.file = nullptr;
    }
    if (!output.tempPath.empty()) {
        std::remove(output.tempPath.c_str());
        output.tempPath.clear();
    }
}

void openOutput(const std::string& path, PendingOutput& output) {
    if (path.empty()) {
        return;
    }
    const std::string problem = openPendingOutput(path, output);
    if (!problem.empty()) {
        throw RunError{problem};
    }
}

void commitOutput(PendingOutput& output) {
    if (output.file == nullptr) {
        return;
    }
    const std::string problem = commitPendingOutput(output);
    if (!problem.empty()) {
        throw RunError{problem};
    }
}

void writeRows(std::FILE* file, const std::string& rows, const std::string& name) {
    if (std::fwrite(rows.data(), 1, rows.size(), file) != rows.size()) {
        throw RunError{"cannot write " + name + ": " + std::strerror(errno)};
    }
}

}  // namespace dottrack
