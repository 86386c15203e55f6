#pragma once

#include <filesystem>
#include <string>
#include <vector>

// Command-line tools the app runs and waits for, on the calling thread.
namespace brimo::app {

struct ToolRun {
    bool launched = false; // false: the executable could not be started
    int status = -1;       // the exit code, or 128 + the signal that ended the tool
    std::string output;    // standard output, when it was asked for
};

// Runs `executable` (an absolute path, never looked up in PATH) with `arguments`. Standard input
// and standard error are the null device; standard output is read to its end when
// `captureOutput`, else the null device too.
ToolRun runTool(const std::filesystem::path& executable, const std::vector<std::string>& arguments,
                bool captureOutput = false);

} // namespace brimo::app
