#include "shared/ipc/ServiceLauncher.h"

#include "shared/Log.h"

#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace brimo::ipc {

ExecutableLauncher::ExecutableLauncher(std::string executable)
    : executable_(std::move(executable)) {}

bool ExecutableLauncher::launch() {
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    // The service outlives the client, so it must not hold any of the client's descriptors
    // open: whoever reads the client's output to its end would wait for the service too, and
    // its log lines would land in the client's terminal. With its standard error on the null
    // device the service logs to the journal or its own file instead.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    char* argv[] = {executable_.data(), nullptr};
    pid_t pid = 0;
    const int error = posix_spawn(&pid, executable_.c_str(), &actions, &attributes, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) {
        log::xpcLog.error("could not start %s: %s", executable_.c_str(), strerror(error));
        return false;
    }
    log::xpcLog.info("started %s (pid %d)", executable_.c_str(), int(pid));
    // The service stays our child; reap it whenever it ends so that it leaves no zombie.
    std::thread([pid] { waitpid(pid, nullptr, 0); }).detach();
    return true;
}

} // namespace brimo::ipc
