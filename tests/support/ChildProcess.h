#pragma once

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

namespace brimo::test {

// Starts argv[0] (looked up in PATH) with the current environment. The child inherits only
// stdin, stdout and stderr; `stdoutFd` / `stderrFd`, when given, replace its stdout / stderr.
// Throws std::runtime_error when the program cannot be started.
pid_t spawnChild(const std::vector<std::string>& argv, int stdoutFd = -1, int stderrFd = -1);

// Waits for the child and returns its exit code, or 128 + the signal that ended it.
int waitChild(pid_t pid);

// SIGTERM, then SIGKILL if the child is still there after `grace`; returns as waitChild.
int stopChild(pid_t pid, std::chrono::milliseconds grace = std::chrono::seconds(10));

// A started child whose stdout is the read end `output` of a pipe (the caller closes it); its
// stderr goes to /dev/null.
struct PipedChild {
    pid_t pid;
    int output;
};
PipedChild spawnPiped(const std::vector<std::string>& argv);

struct ChildResult {
    int exitCode;
    std::string output; // everything the child wrote to stdout
};

// Runs the program to completion, capturing its stdout; stderr goes to /dev/null.
ChildResult runChild(const std::vector<std::string>& argv);

// Processes other than this one with `variable` (NAME=value) in their environment; with an
// `executable` name, only those running a file of that name.
std::vector<pid_t> processesWith(const std::string& executable, const std::string& variable);
// Kills those processes and waits (10 s at most) until they are gone, so that nothing that
// looks for them by name finds them still dying.
void killProcessesWith(const std::string& executable, const std::string& variable);

} // namespace brimo::test
