#include "cli/cli.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <system_error>

namespace dottrack {

namespace {

// Width of the help's first column, the options and their values.
constexpr std::size_t helpNameColumn = 22;

// A number as the help and the messages show it: 2, 0.5, 1e+06.
std::string describeNumber(double value) {
    std::ostringstream text;
    text << value;
    return text.str();
}

}  // namespace

void prepareCommandLine(CLI::App& app, const std::string& footer) {
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.option_defaults()->disable_flag_override();
    app.get_formatter()->column_width(helpNameColumn);
    app.footer(footer);
}

std::optional<int> readCommandLine(CLI::App& app, int argc, char** argv) {
    // Set here, after the program's options, so that the help lists it last.
    app.set_help_flag("-h,--help", "show this help and exit");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::fputs(app.help().c_str(), stdout);
        return 0;
    } catch (const CLI::ParseError& error) {
        reportError(app.get_name(), error.what());
        return usageStatus;
    }
    return std::nullopt;
}

CLI::Validator wholeNumberIn(std::uint64_t lowest, std::uint64_t highest) {
    return CLI::Validator(
        [lowest, highest](std::string& text) {
            std::uint64_t value = 0;
            const char* end = text.data() + text.size();
            const auto [stop, error] = std::from_chars(text.data(), end, value);
            if (stop != end || error != std::errc() || value < lowest || value > highest) {
                return "expects a whole number from " + std::to_string(lowest) + " to " +
                       std::to_string(highest) + ", got '" + text + "'";
            }
            // CLI11 reads a leading 0 as octal: it gets the number back without one.
            text = std::to_string(value);
            return std::string();
        },
        "");
}

CLI::Validator numberIn(double lowest, double highest) {
    return CLI::Validator(
        [lowest, highest](std::string& text) {
            double value = 0;
            const char* end = text.data() + text.size();
            const auto [stop, error] = std::from_chars(text.data(), end, value);
            // Written so that NaN fails too.
            if (stop != end || error != std::errc() || !(value >= lowest && value <= highest)) {
                return "expects a number from " + describeNumber(lowest) + " to " +
                       describeNumber(highest) + ", got '" + text + "'";
            }
            return std::string();
        },
        "");
}

std::optional<std::pair<int, int>> readDimensions(const std::string& text) {
    const std::size_t cross = text.find('x');
    if (cross == std::string::npos) {
        return std::nullopt;
    }
    int width = 0, height = 0;
    const char* end = text.data() + text.size();
    const auto [widthEnd, widthError] = std::from_chars(text.data(), text.data() + cross, width);
    const auto [heightEnd, heightError] = std::from_chars(text.data() + cross + 1, end, height);
    if (widthEnd != text.data() + cross || widthError != std::errc() || heightEnd != end ||
        heightError != std::errc() || cross == 0 || cross + 1 == text.size()) {
        return std::nullopt;
    }
    return std::make_pair(width, height);
}

CLI::Validator dimensionsIn(int lowest, int highest) {
    return CLI::Validator(
        [lowest, highest](std::string& text) {
            const auto dimensions = readDimensions(text);
            if (!dimensions || std::min(dimensions->first, dimensions->second) < lowest ||
                std::max(dimensions->first, dimensions->second) > highest) {
                return "expects WIDTHxHEIGHT, each a whole number from " + std::to_string(lowest) +
                       " to " + std::to_string(highest) + ", got '" + text + "'";
            }
            return std::string();
        },
        "");
}

CLI::Validator fileName() {
    return CLI::Validator(
        [](std::string& text) {
            if (text.empty() || text.rfind("--", 0) == 0) {
                return "needs a file name, got '" + text + "'";
            }
            return std::string();
        },
        "");
}

CLI::Validator folderName() {
    return CLI::Validator(
        [](std::string& name) {
            std::error_code error;
            const bool file =
                std::filesystem::exists(name, error) && !std::filesystem::is_directory(name, error);
            return file ? "'" + name + "' is a file, not a folder" : std::string();
        },
        "");
}

bool samePath(const std::string& a, const std::string& b) {
    // Absolute first: a relative name of a file yet to be written has no part that
    // exists, and would otherwise stay relative.
    std::error_code error;
    const auto canonicalA =
        std::filesystem::weakly_canonical(std::filesystem::absolute(a, error), error);
    if (error) {
        return false;
    }
    const auto canonicalB =
        std::filesystem::weakly_canonical(std::filesystem::absolute(b, error), error);
    return !error && canonicalA == canonicalB;
}

void checkDistinctFiles(std::vector<std::string> inputs,
                        const std::vector<std::pair<std::string, const std::string*>>& outputs) {
    for (const auto& [option, path] : outputs) {
        if (path->empty()) {
            continue;
        }
        for (const std::string& other : inputs) {
            if (samePath(*path, other)) {
                throw CLI::ValidationError("'" + *path +
                                           "' is named twice: the source and "
                                           "every output must be different files");
            }
        }
        inputs.push_back(*path);
    }
}

}  // namespace dottrack
