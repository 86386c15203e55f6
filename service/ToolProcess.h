#pragma once

#include <asio/awaitable.hpp>
#include <filesystem>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace brimo {

struct ToolExit {
    int status;                // the exit code, or 128 + the signal that ended the tool
    std::string standardError; // the first 64 KiB the tool wrote to its standard error
};

// A system tool run as a child process: no shell, standard input from /dev/null, standard output
// and standard error each into a pipe of ours. Standard output is read and dropped.
//
// Waiting blocks a thread of a small pool kept for tools, so that a hanging tool holds neither
// the event loop nor the pool of other blocking work. The child is always reaped: by wait(), or,
// when nobody waits, in the background after the object is gone.
class ToolProcess {
public:
    // Starts `executable` (a path, never looked up in PATH) with `arguments`. Throws
    // std::system_error with the errno of the failed launch.
    ToolProcess(const std::filesystem::path& executable, const std::vector<std::string>& arguments);
    ~ToolProcess();
    ToolProcess(const ToolProcess&) = delete;
    ToolProcess& operator=(const ToolProcess&) = delete;

    pid_t pid() const;

    // Completes when the tool has exited, without waiting for end-of-file on its pipes (a daemon
    // it left behind may hold them). Once per process. The wait goes on when the awaiting
    // coroutine stops listening (a lost race against a time-out), even after this object is gone.
    asio::awaitable<ToolExit> wait();

    // SIGTERM, addressed through a process descriptor so that a reaped tool's reused pid is never
    // hit. Without effect once the tool has exited.
    void terminate();

private:
    struct Child;
    static asio::awaitable<ToolExit> collect(std::shared_ptr<Child> child);

    std::shared_ptr<Child> child_;
};

} // namespace brimo
