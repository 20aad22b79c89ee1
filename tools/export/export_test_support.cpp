#include "tools/export/export_test_support.h"

#include "tests/e2e/e2e_support.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <type_traits>

#include <gtest/gtest.h>

namespace dottrack::test {

namespace {

// A run of the export on the test videos takes seconds; this only stops a hung one.
constexpr std::chrono::milliseconds runTimeout(120000);

// Reads the fields of a row; false when one is malformed or missing. Empty target
// coordinates are accepted only with target -1.
bool parseRow(const std::string& line, TrackRow& row) {
    const char* at = line.c_str();
    char* end = nullptr;
    const auto integer = [&](auto& value) {
        value = static_cast<std::remove_reference_t<decltype(value)>>(std::strtoll(at, &end, 10));
        const bool ok = end != at && (*end == ',' || *end == '\0');
        at = *end == ',' ? end + 1 : end;
        return ok;
    };
    const auto real = [&](float& value) {
        value = std::strtof(at, &end);
        const bool ok = end != at && (*end == ',' || *end == '\0');
        at = *end == ',' ? end + 1 : end;
        return ok;
    };
    if (!integer(row.pass) || !integer(row.frame) || !integer(row.marker) || !real(row.ref.x) ||
        !real(row.ref.y) || !real(row.position.x) || !real(row.position.y) ||
        !integer(row.target)) {
        return false;
    }
    if (row.target < 0) {
        return row.target == -1 && std::string(at) == ",";
    }
    return real(row.targetPosition.x) && real(row.targetPosition.y) && *end == '\0';
}

}  // namespace

ProgramRun runProgram(const std::string& program, const std::vector<std::string>& arguments,
                      const std::string& scratchDir) {
    e2e::Launch launch;
    launch.program = program;
    launch.arguments = arguments;
    launch.workingDirectory = scratchDir;
    launch.stdoutPath = scratchDir + "/run.out";
    launch.stderrPath = scratchDir + "/run.err";
    e2e::RunningProgram running = e2e::startProgram(launch);
    const e2e::Outcome outcome = e2e::waitForExit(running, runTimeout);
    ProgramRun run;
    run.status = outcome.finished && outcome.exited ? outcome.status : -1;
    run.out = e2e::readText(launch.stdoutPath);
    run.err = e2e::readText(launch.stderrPath);
    std::remove(launch.stdoutPath.c_str());
    std::remove(launch.stderrPath.c_str());
    return run;
}

std::vector<TrackRow> parseTrackCsv(const std::string& text) {
    std::vector<TrackRow> rows;
    std::istringstream lines(text);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "pass,frame,marker,ref_x,ref_y,x,y,target,target_x,target_y");
    while (std::getline(lines, line)) {
        TrackRow row;
        if (!parseRow(line, row)) {
            ADD_FAILURE() << "malformed CSV row '" << line << "'";
            return rows;
        }
        rows.push_back(row);
    }
    return rows;
}

}  // namespace dottrack::test
