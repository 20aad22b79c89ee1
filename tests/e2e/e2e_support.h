#pragma once
// Running the real programs as a user would: in a folder of their own, with their output
// in files, watched from outside with bounded waits, and ended by a key press on the X
// display.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace dottrack::e2e {

using std::chrono::milliseconds;

// How to start a program. Standard input is always /dev/null.
struct Launch {
    std::string program;  // a path, or a name looked up in PATH
    std::vector<std::string> arguments;
    std::string workingDirectory;  // the test's own folder when empty
    std::vector<std::pair<std::string, std::string>> setEnvironment;
    std::vector<std::string> unsetEnvironment;
    std::string stdoutPath;  // /dev/null when empty
    std::string stderrPath;  // /dev/null when empty
};

// How a program ended.
struct Outcome {
    bool finished = false;  // false: it was still running at the deadline and was killed
    bool exited = false;    // ended through exit(); otherwise by `signal`
    int status = 0;
    int signal = 0;
    bool coreDumped = false;
};

// "exit status 0", "killed by signal 6 (core dumped)", "still running at the deadline".
std::string describeOutcome(const Outcome& outcome);

// A started program. Dropping it kills and reaps a program that is still running, so a
// failed assertion never leaves one behind; it also dies with the test process.
struct RunningProgram {
    pid_t pid = -1;
    bool reaped = false;
    Outcome outcome;

    RunningProgram() = default;
    RunningProgram(RunningProgram&& other) noexcept;
    RunningProgram& operator=(RunningProgram&&) = delete;
    RunningProgram(const RunningProgram&) = delete;
    RunningProgram& operator=(const RunningProgram&) = delete;
    ~RunningProgram();
};

// Starts the program; throws std::runtime_error when it cannot be started at all.
RunningProgram startProgram(const Launch& launch);

// Whether the program has not ended yet (reaps it when it has).
bool isRunning(RunningProgram& program);

// Waits for the program to end; kills it when it is still running after `timeout`.
Outcome waitForExit(RunningProgram& program, milliseconds timeout);

// Polls `condition` until it holds or `timeout` passes; returns its last answer.
bool waitUntil(const std::function<bool()>& condition, milliseconds timeout);

// Runs a helper program to its end (killed after `timeout`) and returns its standard
// output; `outcome` receives how it ended.
std::string runForOutput(const std::vector<std::string>& command, milliseconds timeout,
                         Outcome& outcome);

std::string readText(const std::string& path);
std::vector<std::string> readLines(const std::string& path);

// Number of complete lines in a file (0 when it does not exist).
int countLines(const std::string& path);

// Resident memory of a running process in KiB (VmRSS), or -1 when it cannot be read.
long residentKib(pid_t pid);

// Whether an X display is named in DISPLAY.
bool haveDisplay();

// Opens one connection to the X display and keeps it for the life of the test process
// (retrying for a while); returns whether it is open. An X server with no -noreset resets
// whenever its last client leaves and drops the connections that arrive meanwhile; with
// programs and xdotool calls coming and going, a run could start in that moment.
bool holdDisplayOpen();

// Ids of the visible windows of process `pid` whose name matches the regular expression.
std::vector<std::string> findWindows(pid_t pid, const std::string& namePattern);

// Waits (bounded) until the program shows a visible window named exactly `name`; returns its
// id, or an empty string when it ends or the time runs out first.
std::string waitForWindow(RunningProgram& program, const std::string& name, milliseconds timeout);

// Gives the window the keyboard focus and presses the space bar in it. Key presses of tests
// running side by side on one display are taken in turn, so none lands in another test's
// window. Returns false when xdotool fails.
bool pressKeyIn(const std::string& window);

// Presses a key in `window` until the program ends (a few tries, each given `patience`),
// then waits for its end like waitForExit. A press can get lost while the window is still
// being set up; more tries make that harmless.
Outcome pressKeyUntilExit(RunningProgram& program, const std::string& window, milliseconds patience,
                          milliseconds timeout);

// Writes the synthetic sample video of `frames` frames with the project's generator.
testing::AssertionResult writeSampleVideo(const std::string& path, int frames);

// The tool as a test starts it in `dir`: a private runtime folder, the X display as the
// only window system, standard output and standard error in dir/stdout.txt and
// dir/stderr.txt.
Launch toolLaunch(const std::string& dir);

// Whether every line is a timing line "count:N\t<ms>ms", the counts running 0, 1, 2, ...
testing::AssertionResult holdsOnlyTimingLines(const std::vector<std::string>& lines);

}  // namespace dottrack::e2e
