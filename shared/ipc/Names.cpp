#include "shared/ipc/Names.h"

#include <cstdlib>
#include <unistd.h>

namespace brimo::ipc {

std::string serviceSocketPath(std::string_view serviceName) {
    // A relative value is ignored, as the XDG rules say: it would depend on the working folder.
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string dir = runtime && *runtime == '/' ? std::string(runtime)
                                                 : "/tmp/Ozm.Tarvel-" + std::to_string(getuid());
    return dir + "/" + std::string(serviceName);
}

} // namespace brimo::ipc
