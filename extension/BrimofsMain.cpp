// Brimofs: the drive's file system. It serves the phone's storage, through the bridge service,
// as a FUSE file system of type "fuse.brimo".
//
//   Brimofs [--ready-fd N] [-o cache_timeout=SECONDS,cache_mb=MIB] SOURCE MOUNTPOINT
//
// SOURCE is the shared container's "source-anchor" folder that the service mounts from. With
// --ready-fd the outcome of mounting is written there as one line, "ok" or "error: <why>", and
// the descriptor closed: the mount helper waits on it. The process stays in the foreground;
// the helper detaches it. BRIMOFS_OPTIONS in the environment adds to the -o options.

#include "extension/BrimoFileSystem.h"
#include "extension/FuseOperations.h"
#include "extension/KernelNotifier.h"
#include "extension/MountWatcher.h"
#include "extension/PhoneLink.h"
#include "shared/EventLoop.h"
#include "shared/LargeBuffers.h"
#include "shared/Log.h"
#include "shared/ipc/ServiceLauncher.h"

#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <iostream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace brimo;
namespace stdfs = std::filesystem;

constexpr log::Logger mainLog{log::kSubsystem, "Extension"};

// Every mount of the drive: named for the mount table, checked by the kernel against the
// attributes we give, and unmounted by fusermount3 should this process die. (Desktop hints such
// as x-gvfs-show cannot go along: FUSE passes no user-space options on.)
constexpr const char* kMountOptions = "fsname=Brimo,subtype=brimo,default_permissions,auto_unmount";

struct Arguments {
    int readyFd = -1;
    std::string source;
    std::string mountPoint;
    fs::BrimoFileSystem::Options options;
};

int usage() {
    std::cerr << "usage: Brimofs [--ready-fd N] [-o cache_timeout=SECONDS,cache_mb=MIB] SOURCE "
                 "MOUNTPOINT\n";
    return 2;
}

bool parseOptions(const std::string& list, fs::BrimoFileSystem::Options& options) {
    size_t start = 0;
    while (start <= list.size()) {
        const size_t comma = std::min(list.find(',', start), list.size());
        const std::string option = list.substr(start, comma - start);
        start = comma + 1;
        char* end = nullptr;
        if (option.starts_with("cache_timeout=")) {
            options.cacheTimeout = std::strtod(option.c_str() + 14, &end);
        } else if (option.starts_with("cache_mb=")) {
            options.contentCacheBytes = std::strtoull(option.c_str() + 9, &end, 10) << 20;
        } else if (option.empty()) {
            continue;
        } else {
            return false;
        }
        if (*end != '\0' || options.cacheTimeout < 0) return false;
    }
    return true;
}

std::optional<Arguments> parse(int argc, char** argv) {
    Arguments arguments;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--ready-fd" && i + 1 < argc) {
            arguments.readyFd = std::atoi(argv[++i]);
        } else if (arg == "-o" && i + 1 < argc) {
            if (!parseOptions(argv[++i], arguments.options)) return std::nullopt;
        } else if (arg.starts_with("-")) {
            return std::nullopt;
        } else {
            positional.push_back(arg);
        }
    }
    if (const char* extra = std::getenv("BRIMOFS_OPTIONS");
        extra && !parseOptions(extra, arguments.options))
        return std::nullopt;
    if (positional.size() != 2) return std::nullopt;
    arguments.source = positional[0];
    arguments.mountPoint = positional[1];
    return arguments;
}

// The mount helper's one line; also the log's.
void report(int& readyFd, const std::string& outcome) {
    if (outcome != "ok") mainLog.error("%s", outcome.c_str());
    if (readyFd < 0) {
        if (outcome != "ok") std::cerr << "Brimofs: " << outcome << std::endl;
        return;
    }
    const std::string line = outcome == "ok" ? "ok\n" : "error: " + outcome + "\n";
    [[maybe_unused]] auto written = ::write(readyFd, line.data(), line.size());
    ::close(readyFd);
    readyFd = -1;
}

std::string bundledService() {
    std::error_code ignored;
    const auto self = stdfs::read_symlink("/proc/self/exe", ignored);
    // Brimo.app/Contents/Extensions/Brimofs.appex/Contents/MacOS/Brimofs
    const auto contents =
        self.parent_path().parent_path().parent_path().parent_path().parent_path();
    return (contents / "XPCServices/BrimoService.xpc/Contents/MacOS/BrimoService").string();
}

bool isDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace

int main(int argc, char** argv) {
    auto arguments = parse(argc, argv);
    if (!arguments) return usage();
    keepLargeBuffersInHeap(); // the phone's chunks pass through here
    if (arguments->readyFd >= 0) ::fcntl(arguments->readyFd, F_SETFD, FD_CLOEXEC);
    std::error_code error;
    const std::string mountPoint = stdfs::canonical(arguments->mountPoint, error).string();
    if (error || !isDirectory(mountPoint)) {
        report(arguments->readyFd, "the mount point " + arguments->mountPoint + " is not a folder");
        return 1;
    }
    if (!isDirectory(arguments->source)) {
        report(arguments->readyFd, "the source " + arguments->source + " is not a folder");
        return 1;
    }

    auto& loop = mainLoop();
    auto work = asio::make_work_guard(loop);
    fs::PhoneLink::Options linkOptions;
    linkOptions.launcher = std::make_shared<ipc::ExecutableLauncher>(bundledService());
    fs::PhoneLink link(loop, linkOptions);
    fs::KernelNotifier notifier;
    std::unique_ptr<fs::BrimoFileSystem> fileSystem;
    try {
        fileSystem =
            std::make_unique<fs::BrimoFileSystem>(loop, link, notifier, arguments->options);
    } catch (const std::exception& failure) {
        report(arguments->readyFd, failure.what());
        return 1;
    }
    link.onItemMutation([&](const ItemMutationNotifyPayload& mutation) {
        fileSystem->itemMutated(mutation.relayID);
    });
    link.onPhoneAttached([&] { fileSystem->phoneMayAnswer(); });

    fs::FuseContext context{loop, *fileSystem};
    const char* fuseArgv[] = {argv[0], "-o", kMountOptions};
    fuse_args fuseArguments = FUSE_ARGS_INIT(3, const_cast<char**>(fuseArgv));
    const auto& operations = fs::brimoOperations();
    fuse_session* session =
        fuse_session_new(&fuseArguments, &operations, sizeof operations, &context);
    fuse_opt_free_args(&fuseArguments);
    if (!session) {
        report(arguments->readyFd, "FUSE refused the session's options");
        return 1;
    }
    if (fuse_session_mount(session, mountPoint.c_str()) != 0) {
        fuse_session_destroy(session);
        report(arguments->readyFd,
               "cannot mount on " + mountPoint + " (is FUSE 3 installed and /dev/fuse usable?)");
        return 1;
    }
    notifier.attach(session);
    fuse_set_signal_handlers(session);
    const auto mountId = fs::findMount(mountPoint, "fuse.brimo");
    report(arguments->readyFd, "ok");
    mainLog.info("Brimofs mounted on %s", mountPoint.c_str());

    std::thread loopThread([&] { loop.run(); });
    asio::post(loop, [&] {
        link.start();
        fileSystem->phoneMayAnswer(); // what an earlier run kept
    });

    // Told the volume went away, the service unmounts nothing more and tells the phone.
    auto sayUnmounted = [&] {
        std::promise<void> said;
        asio::post(loop, [&] {
            link.close(EIO);
            link.filesystemDidUnmount([&] { said.set_value(); });
        });
        said.get_future().wait();
    };
    std::optional<fs::MountWatcher> watcher;
    if (mountId)
        watcher.emplace(*mountId, [&] {
            // Detached while programs still use it: fail them now. The kernel's threads may
            // wait on requests that never come, so the process ends here.
            mainLog.info("the volume was unmounted");
            ::rmdir(mountPoint.c_str()); // the home keeps no empty folder of ours
            sayUnmounted();
            std::_Exit(0);
        });

    fuse_loop_config* config = fuse_loop_cfg_create();
    fuse_loop_cfg_set_max_threads(config, 8);
    const int status = fuse_session_loop_mt(session, config);
    fuse_loop_cfg_destroy(config);
    watcher.reset();
    mainLog.info("the volume was unmounted");
    sayUnmounted();

    fuse_session_unmount(session);
    ::rmdir(mountPoint.c_str());
    fuse_remove_signal_handlers(session);
    notifier.attach(nullptr);
    work.reset();
    loop.stop();
    loopThread.join();
    fuse_session_destroy(session);
    return status < 0 ? 1 : 0;
}
