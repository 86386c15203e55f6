// umount.brimo: unmounts the drive the way umount(8) helpers do.
//
//   umount.brimo [-f] MOUNTPOINT
//
// A plain unmount fails while programs use the volume; -f detaches it at once (lazily), and the
// file system then fails what still waits on it.

#include <cerrno>
#include <cstring>
#include <iostream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const char* fusermount() {
    for (const char* path : {"/usr/bin/fusermount3", "/bin/fusermount3"})
        if (::access(path, X_OK) == 0) return path;
    return nullptr;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    const bool force = !args.empty() && args[0] == "-f";
    if (force) args.erase(args.begin());
    if (args.size() != 1 || args[0].empty() || args[0].starts_with("-")) {
        std::cerr << "usage: umount.brimo [-f] MOUNTPOINT" << std::endl;
        return 2;
    }
    const std::string& mountPoint = args[0];
    const char* tool = fusermount();
    if (!tool) {
        std::cerr << "umount.brimo: fusermount3 is not installed" << std::endl;
        return 1;
    }
    std::vector<const char*> command = {tool, "-u"};
    if (force) command.push_back("-z");
    command.push_back("--");
    command.push_back(mountPoint.c_str());
    command.push_back(nullptr);
    ::execv(tool, const_cast<char**>(command.data()));
    std::cerr << "umount.brimo: cannot run " << tool << ": " << std::strerror(errno) << std::endl;
    return 1;
}
