// The command-line programs run as a user runs them: --help prints the help on standard
// output; a wrong command line ends with status 2 and a run that cannot go on with status
// 1, either way after one line on standard error naming the program, and leaves no file.

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/e2e_support.h"
#include "tests/support/test_support.h"

namespace dottrack {
namespace {

using CommandLineTest = test::ScratchDirTest;

TEST_F(CommandLineTest, HelpSucceedsAndFailuresSayWhyInOneLineAndLeaveNoFile) {
    ASSERT_TRUE(test::writeIndexedVideo(path("small.avi"), 60, cv::Size(320, 240)));
    const std::pair<std::vector<std::string>, int> cases[] = {
        {{DOTTRACK_EXPORT_EXE, "--help"}, 0},
        {{DOTTRACK_EXPORT_EXE, "v.avi", "--passes", "0"}, 2},
        {{DOTTRACK_EXPORT_EXE, "v.avi", "--out", "--plot", "p.png"}, 2},  // the CSV's name left out
        {{DOTTRACK_EXPORT_EXE, "v.avi", "--quiet=1"}, 2},
        {{DOTTRACK_EXPORT_EXE, "v.avi", "--decode-only", "--out", "t.csv"}, 2},
        {{DOTTRACK_EXPORT_EXE, "v.avi", "--out", "t.csv", "--plot", "./t.csv"}, 2},
        {{DOTTRACK_EXPORT_EXE, "a.avi", "b.avi"}, 2},  // several sources want --out-dir
        {{DOTTRACK_EXPORT_EXE, "none.avi"}, 1},
        {{DOTTRACK_EXPORT_EXE, "7"}, 1},  // no such camera
        {{DOTTRACK_EXPORT_EXE, "videotestsrc ! nosuchelement ! appsink"}, 1},
        {{DOTTRACK_EXPORT_EXE, "v.avi", "--out", "."}, 1},
        {{DOTTRACK_EXPORT_EXE, "v.avi", "--out", "t.csv", "--plot", "missing/p.png"}, 1},
        {{DOTTRACK_EXPORT_EXE, "v.avi", "--out", "t.csv", "--camera", "missing.yml"}, 1},
        {{DOTTRACK_EXPORT_EXE, "small.avi", "--out", "t.csv", "--plot", "p.png"}, 1},
        {{DOTTRACK_SAMPLE_EXE}, 2},
        {{DOTTRACK_SAMPLE_EXE, "out.mp4"}, 2},
        {{DOTTRACK_SAMPLE_EXE, "out.avi", "--noise", "nan"}, 2},
        {{DOTTRACK_SAMPLE_EXE, "out.avi", "--truth", "./out.avi"}, 2},
        {{DOTTRACK_SAMPLE_EXE, "out.avi", "--focal", "500"}, 2},           // a lens for the sample
        {{DOTTRACK_SAMPLE_EXE, "out.avi", "--field", "--k1", "-0.5"}, 2},  // folds short of edges
        {{DOTTRACK_SAMPLE_EXE, "missing/out.avi"}, 1},
        {{DOTTRACK_SAMPLE_EXE, "out.avi", "--truth", "missing/truth.csv"}, 1},
        {{DOTTRACK_BENCH_EXE, "v.avi", "--threads"}, 2},
        {{DOTTRACK_BENCH_EXE, "small.avi", "--passes", "2"}, 1},
    };
    const auto fileCount = [this] {
        return std::distance(std::filesystem::directory_iterator(dir_), {});
    };
    for (const auto& [command, status] : cases) {
        const std::string name = command[0].substr(command[0].rfind('/') + 1);
        SCOPED_TRACE(testing::PrintToString(command));
        const auto before = fileCount();
        // Whatever the source, a refusal comes within seconds.
        const auto [got, out, err] = e2e::runToEnd(command[0], {command.begin() + 1, command.end()},
                                                   dir_, std::chrono::seconds(20));
        EXPECT_EQ(got, status);
        if (status == 0) {
            EXPECT_EQ(err, "");
            EXPECT_NE(out.find("Usage: " + name), std::string::npos) << out;
        } else {
            EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
            EXPECT_EQ(err.rfind(name + ": ", 0), 0u) << err;
            EXPECT_EQ(out, "");
            EXPECT_EQ(fileCount(), before);  // neither outputs nor their temporary files
        }
    }
}

}  // namespace
}  // namespace dottrack
