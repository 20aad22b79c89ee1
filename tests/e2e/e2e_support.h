#pragma once
// Running the real programs as a user would: in a folder of their own, with their output
// in files, watched from outside with bounded waits, and ended by a key press on the X
// display.

#include <sys/types.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "tests/support/test_support.h"

namespace dottrack::e2e {

using std::chrono::milliseconds;

// How to start a program. Standard input is always /dev/null.
struct Launch {
    std::string program;  // a path, or a name looked up in PATH
    std::vector<std::string> arguments;
    std::string workingDirectory = ".";
    std::vector<std::string> environment;  // "NAME=VALUE" sets NAME, a bare "NAME" unsets it
    std::string stdoutPath = "/dev/null";
    std::string stderrPath = "/dev/null";
};

// What waitForExit returns for a program still running at the deadline; a program killed by
// a signal gives minus its number (an abort: -6).
constexpr int stillRunning = -1000;

// A started program. Dropping it kills and reaps a program that is still running, so a
// failed assertion never leaves one behind.
class RunningProgram {
public:
    explicit RunningProgram(const Launch& launch);
    ~RunningProgram();
    RunningProgram(const RunningProgram&) = delete;
    RunningProgram& operator=(const RunningProgram&) = delete;

    pid_t pid() const { return pid_; }
    // Whether the program has not ended yet (reaps it when it has).
    bool isRunning();
    // Waits for the program to end and returns its exit status; kills it when it is still
    // running after `timeout`.
    int waitForExit(milliseconds timeout);

private:
    pid_t pid_ = -1;
    int status_ = stillRunning;
};

// What a program gave: its exit status (stillRunning when it was killed at the deadline),
// standard output and standard error.
struct ProgramOutcome {
    int status = stillRunning;
    std::string out, err;
};

// Runs `program` with `arguments` in `dir` until it ends, killing it after `timeout`; its
// output and errors go through files in `dir` that are removed again.
ProgramOutcome runToEnd(const std::string& program, const std::vector<std::string>& arguments,
                        const std::string& dir, milliseconds timeout);

// A test that runs one program quietly in a scratch folder of its own, keeping its standard
// output and error (a hung run is killed).
class QuietProgramTest : public test::ScratchDirTest {
protected:
    explicit QuietProgramTest(std::string program) : program_(std::move(program)) {}
    // Runs the program with --quiet and `arguments`; returns its exit status.
    int runQuiet(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), "--quiet");
        const ProgramOutcome run = runToEnd(program_, arguments, dir_, std::chrono::minutes(2));
        out_ = run.out;
        err_ = run.err;
        return run.status;
    }

    std::string program_, out_, err_;
};

// Polls `condition` until it holds or `timeout` passes; returns its last answer.
bool waitUntil(const std::function<bool()>& condition, milliseconds timeout);

std::string readText(const std::string& path);
std::vector<std::string> readLines(const std::string& path);

// For the SetUp of a test that needs the X display: skips the test when DISPLAY is not set
// and fails it when the display does not answer. The display must not reset when its last
// client leaves (Xvfb -noreset, as scripts/test.sh starts it).
void requireDisplay();

// Ids of the visible windows of process `pid` whose name matches the regular expression
// (none when no display is reachable).
std::vector<std::string> findWindows(pid_t pid, const std::string& namePattern);

// Waits (bounded) until the program shows a visible window named exactly `name`; returns
// its id, or an empty string when the program ends or the time runs out first.
std::string waitForWindow(RunningProgram& program, const std::string& name, milliseconds timeout);

// Presses the space bar in `window` until the program ends (a few tries, each given
// `patience`: a press can get lost while the window is still being set up), then waits for
// its end like waitForExit. Tests running side by side on one display press keys in turn,
// so that none lands in another test's window.
int pressKeyUntilExit(RunningProgram& program, const std::string& window, milliseconds patience,
                      milliseconds timeout);

// Runs `launch` without DISPLAY, where it must fail saying "no display", then on the display
// until a key in its window named `windowName` ends it cleanly: status 0, nothing on standard
// error.
void expectLiveRunEndsOnAKey(Launch launch, const std::string& windowName);

// What window `window` shows, as a colour image: the window is moved clear of the others,
// raised and read from the screen. Empty when it cannot be read.
cv::Mat captureWindow(const std::string& window, const std::string& scratchPath);

// Writes the synthetic sample video of `frames` frames with the project's generator.
testing::AssertionResult writeSampleVideo(const std::string& path, int frames);

// The tool as a test starts it in `dir`: a private runtime folder, the X display as the
// only window system, standard output and error in dir/stdout.txt and dir/stderr.txt.
Launch toolLaunch(const std::string& dir);

// Whether every line is a timing line "count:N\t<ms>ms", the counts running 0, 1, 2, ...
// and the milliseconds written as a stream writes a double by default.
testing::AssertionResult holdsOnlyTimingLines(const std::vector<std::string>& lines);

// Bounds on what a user would wait for the tool to do, generous enough for the sanitizer
// build.
constexpr milliseconds windowTimeout(30000);
constexpr milliseconds passesTimeout(60000);
constexpr milliseconds exitTimeout(30000);
// How long one key press gets to end the run before it is pressed again.
constexpr milliseconds keyTimeout(5000);

// A test of the tool, started in its scratch folder by toolLaunch.
class ToolRun : public test::ScratchDirTest {
protected:
    std::string errorText() const { return readText(path("stderr.txt")); }
    std::vector<std::string> errorLines() const { return readLines(path("stderr.txt")); }

    void expectNoSnapshots() const {
        for (const char* name : {"mix1.png", "mini.png", "mix.png", "check.png"}) {
            EXPECT_FALSE(std::filesystem::exists(path(name))) << name << " was written";
        }
    }

    // Waits for `passes` timing lines, ends the tool with a key in its "check" window and
    // checks a clean run: exit status 0 and only consecutive timing lines, `passes` at least.
    void runUntilKey(RunningProgram& tool, int passes) {
        const std::string window = waitForWindow(tool, "check", windowTimeout);
        ASSERT_FALSE(window.empty()) << "no window named check; standard error: " << errorText();
        waitUntil(
            [&]() {
                return readLines(path("stderr.txt")).size() >= static_cast<size_t>(passes) ||
                       !tool.isRunning();
            },
            passesTimeout);
        ASSERT_EQ(pressKeyUntilExit(tool, window, keyTimeout, exitTimeout), 0) << errorText();
        const std::vector<std::string> lines = errorLines();
        EXPECT_GE(lines.size(), static_cast<size_t>(std::max(passes, 1)));
        EXPECT_TRUE(holdsOnlyTimingLines(lines));
    }
};

// A test of the tool on the X display (see requireDisplay).
class ToolRunOnDisplay : public ToolRun {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(requireDisplay());
        if (!IsSkipped()) {
            ToolRun::SetUp();
        }
    }
};

}  // namespace dottrack::e2e
