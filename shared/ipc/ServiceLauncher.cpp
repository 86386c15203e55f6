#include "shared/ipc/ServiceLauncher.h"

#include "shared/Log.h"

#include <cstring>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

namespace brimo::ipc {

ExecutableLauncher::ExecutableLauncher(std::string executable)
    : executable_(std::move(executable)) {}

bool ExecutableLauncher::launch() {
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    char* argv[] = {executable_.data(), nullptr};
    pid_t pid = 0;
    const int error = posix_spawn(&pid, executable_.c_str(), nullptr, &attributes, argv, environ);
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
