// brimo-launchctl: boots the bridge service out of a launch domain, as the desktop app asks
// launchctl to on macOS.
//   brimo-launchctl bootout user/UID/Ozm.Tarvel.Mac.XPC
//     stops the systemd user unit; the socket unit stays, so the next client starts a fresh
//     service. systemctl's exit status is passed on.
//   brimo-launchctl bootout gui/UID/Ozm.Tarvel.Mac.XPC
//     ends the service a client started on demand: 0 when one was ended, 3 when none ran.
// UID must be the caller's own.
#include "app/launchctl/OnDemandService.h"
#include "shared/ipc/Names.h"

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <unistd.h>

namespace {

using namespace brimo;

constexpr int kUsage = 64;       // EX_USAGE
constexpr int kNotPermitted = 1; // EPERM, as launchctl reports a foreign domain
constexpr int kCannotRun = 127;  // as a shell reports a tool it cannot start
constexpr std::chrono::milliseconds kTerminateGrace{2000};

enum class Domain { user, gui };

struct Target {
    Domain domain;
    uid_t uid;
};

// "DOMAIN/UID/SERVICE"; only the bridge service is known.
std::optional<Target> parseTarget(std::string_view text) {
    const auto first = text.find('/');
    const auto second = text.find('/', first == text.npos ? first : first + 1);
    if (second == text.npos) return std::nullopt;
    const std::string_view domain = text.substr(0, first);
    const std::string_view uid = text.substr(first + 1, second - first - 1);
    if (text.substr(second + 1) != ipc::kServiceName) return std::nullopt;

    Target target{};
    if (domain == "user")
        target.domain = Domain::user;
    else if (domain == "gui")
        target.domain = Domain::gui;
    else
        return std::nullopt;
    const auto [end, error] = std::from_chars(uid.data(), uid.data() + uid.size(), target.uid);
    if (uid.empty() || error != std::errc{} || end != uid.data() + uid.size()) return std::nullopt;
    return target;
}

int usage() {
    std::fprintf(stderr,
                 "usage: brimo-launchctl bootout user/UID/%s\n"
                 "       brimo-launchctl bootout gui/UID/%s\n",
                 ipc::kServiceName, ipc::kServiceName);
    return kUsage;
}

int stopUserUnit() {
    const std::string unit = std::string(ipc::kServiceName) + ".service";
    const char* argv[] = {"systemctl", "--user", "stop", unit.c_str(), nullptr};
    ::execv("/usr/bin/systemctl", const_cast<char* const*>(argv));
    std::fprintf(stderr, "brimo-launchctl: cannot run /usr/bin/systemctl: %s\n",
                 std::strerror(errno));
    return kCannotRun;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3 || std::string_view(argv[1]) != "bootout") return usage();
    const auto target = parseTarget(argv[2]);
    if (!target) return usage();
    if (target->uid != ::getuid()) {
        std::fprintf(stderr, "brimo-launchctl: %s: operation not permitted (caller uid %u)\n",
                     argv[2], unsigned(::getuid()));
        return kNotPermitted;
    }
    if (target->domain == Domain::user) return stopUserUnit();
    return launchctl::endLockHolder(ipc::serviceSocketPath(ipc::kServiceName) + ".lock",
                                    kTerminateGrace);
}
