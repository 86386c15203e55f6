#include "shared/ipc/Names.h"

#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace brimo::ipc {

std::string serviceSocketPath(std::string_view serviceName) {
    // A relative value is ignored, as the XDG rules say: it would depend on the working folder.
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string dir = runtime && *runtime == '/' ? std::string(runtime)
                                                 : "/tmp/Ozm.Tarvel-" + std::to_string(getuid());
    return dir + "/" + std::string(serviceName);
}

void prepareSocketDirectory(const std::string& dir) {
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        throw std::system_error(errno, std::generic_category(), "mkdir " + dir);
    struct stat st {};
    if (lstat(dir.c_str(), &st) != 0)
        throw std::system_error(errno, std::generic_category(), "stat " + dir);
    if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid())
        throw std::system_error(EPERM, std::generic_category(), dir + " is not our directory");
}

} // namespace brimo::ipc
