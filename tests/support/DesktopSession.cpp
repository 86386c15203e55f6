#include "tests/support/DesktopSession.h"

#include "tests/support/ChildProcess.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <unistd.h>

namespace brimo::test {

namespace {

using namespace std::chrono_literals;
using Window = DesktopSession::Window;

bool installed(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');)
        if (::access((dir + "/" + program).c_str(), X_OK) == 0) return true;
    return false;
}

// Polls `find` until it yields a value or `limit` has passed.
template <class F> auto pollFor(std::chrono::milliseconds limit, F find) -> decltype(find()) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (auto found = find()) return found;
        if (std::chrono::steady_clock::now() >= deadline) return find();
        std::this_thread::sleep_for(50ms);
    }
}

// The window ids xdotool printed, one a line.
std::vector<Window> windowIds(const std::string& text) {
    std::vector<Window> ids;
    std::istringstream lines(text);
    for (Window id; lines >> id;)
        ids.push_back(id);
    return ids;
}

// The windows `xwininfo -children` lists as children, each on a line of its own that starts
// with the id in hexadecimal.
std::vector<Window> childWindows(const std::string& text) {
    std::vector<Window> ids;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const size_t at = line.find_first_not_of(' ');
        if (at > 0 && at != std::string::npos && line.compare(at, 2, "0x") == 0)
            ids.push_back(std::strtoul(line.c_str() + at, nullptr, 16));
    }
    return ids;
}

// The value of NAME=value on its own line of xdotool's --shell output.
long shellValue(const std::string& text, const std::string& name) {
    const size_t at = ("\n" + text).find("\n" + name + "=");
    return at == std::string::npos ? 0 : std::atol(text.c_str() + at + name.size() + 1);
}

// Starts Xvfb on a free display and returns its number once it accepts clients.
std::string startXvfb(pid_t& pid) {
    // Xvfb writes the display it took to its standard output once it is ready. Without
    // -noreset it resets when its last client leaves, failing those connecting meanwhile.
    const PipedChild child = spawnPiped(
        {"Xvfb", "-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten", "tcp", "-noreset"});
    pid = child.pid;
    std::string number;
    pollfd ready{child.output, POLLIN, 0};
    char buffer[16];
    while (number.find('\n') == std::string::npos && ::poll(&ready, 1, 10'000) > 0) {
        const ssize_t n = ::read(child.output, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        number.append(buffer, size_t(n));
    }
    ::close(child.output);
    if (number.find('\n') == std::string::npos) throw std::runtime_error("Xvfb did not start");
    return ":" + number.substr(0, number.find('\n'));
}

} // namespace

std::string DesktopSession::missingTools() {
    std::string missing;
    for (const char* program : {"Xvfb", "trayer", "xdotool", "xwininfo", "xprop", "import"})
        if (!installed(program)) missing += std::string(missing.empty() ? "" : " ") + program;
    return missing;
}

DesktopSession::DesktopSession(const std::string& panel) {
    display_ = startXvfb(xvfb_);
    try {
        const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        std::vector<std::string> trayer{
            "env",   "DISPLAY=" + display_, "trayer",  "--edge",       "top", "--align",
            "right", "--widthtype",         "request", "--height",     "32",  "--heighttype",
            "pixel", "--SetDockType",       "true",    "--transparent"};
        // An opaque tint is a panel of that colour.
        if (panel.empty())
            trayer.push_back("false");
        else
            trayer.insert(trayer.end(), {"true", "--alpha", "0", "--tint", panel});
        trayer_ = spawnChild(trayer, devNull, devNull);
        ::close(devNull);
        const bool panel = pollFor(10s, [&] {
            return !x({"xdotool", "search", "--onlyvisible", "--classname", "^panel$"}).empty();
        });
        if (!panel) throw std::runtime_error("trayer's panel did not appear");
    } catch (...) {
        stop();
        throw;
    }
}

DesktopSession::~DesktopSession() {
    stop();
}

void DesktopSession::stop() {
    if (trayer_ > 0) stopChild(trayer_);
    if (xvfb_ > 0) stopChild(xvfb_);
    trayer_ = xvfb_ = -1;
}

std::string DesktopSession::x(std::vector<std::string> argv) const {
    argv.insert(argv.begin(), {"env", "DISPLAY=" + display_});
    return runChild(argv).output;
}

bool DesktopSession::capture(Window window, const std::string& path) const {
    return runChild({"env", "DISPLAY=" + display_, "import", "-silent", "-window",
                     std::to_string(window), path})
               .exitCode == 0;
}

std::optional<Window> DesktopSession::waitForWindow(const std::string& title,
                                                    std::chrono::milliseconds limit) {
    return pollFor(limit, [&]() -> std::optional<Window> {
        const auto found =
            windowIds(x({"xdotool", "search", "--onlyvisible", "--name", "^" + title + "$"}));
        if (found.empty()) return std::nullopt;
        return found.front();
    });
}

std::vector<Window> DesktopSession::bypassingWindows(pid_t pid, bool onRoot) const {
    const auto top = childWindows(x({"xwininfo", "-root", "-children"}));
    std::vector<Window> found;
    for (Window window :
         windowIds(x({"xdotool", "search", "--onlyvisible", "--pid", std::to_string(pid)}))) {
        const std::string id = std::to_string(window);
        if (x({"xwininfo", "-id", id}).find("Override Redirect State: yes") == std::string::npos)
            continue;
        if ((std::find(top.begin(), top.end(), window) != top.end()) != onRoot) continue;
        if (onRoot &&
            x({"xprop", "-id", id, "_NET_WM_WINDOW_TYPE"}).find("TOOLTIP") != std::string::npos)
            continue;
        found.push_back(window);
    }
    return found;
}

std::vector<Window> DesktopSession::trayIcons(pid_t pid) const {
    return bypassingWindows(pid, false);
}

std::vector<Window> DesktopSession::menus(pid_t pid) const {
    return bypassingWindows(pid, true);
}

std::optional<Window> DesktopSession::clickTrayIcon(pid_t pid, std::chrono::milliseconds limit) {
    const auto icon = pollFor(limit, [&]() -> std::optional<Window> {
        const auto icons = trayIcons(pid);
        if (icons.empty() || !menus(pid).empty()) return std::nullopt;
        return icons.front();
    });
    if (!icon) return std::nullopt;
    const std::string geometry =
        x({"xdotool", "getwindowgeometry", "--shell", std::to_string(*icon)});
    const long left = shellValue(geometry, "X"), width = shellValue(geometry, "WIDTH");
    // Two quick clicks on one spot make a double click: this one lands on the half of the icon
    // away from the pointer.
    const long pointer = shellValue(x({"xdotool", "getmouselocation", "--shell"}), "X");
    const long target = pointer < left + width / 2 ? left + width * 3 / 4 : left + width / 4;
    x({"xdotool", "mousemove", std::to_string(target),
       std::to_string(shellValue(geometry, "Y") + shellValue(geometry, "HEIGHT") / 2), "click",
       "1"});
    return pollFor(limit, [&]() -> std::optional<Window> {
        const auto open = menus(pid);
        if (open.empty()) return std::nullopt;
        return open.front();
    });
}

void DesktopSession::pressKeys(const std::vector<std::string>& keys) const {
    std::vector<std::string> argv = {"xdotool", "key"};
    argv.insert(argv.end(), keys.begin(), keys.end());
    x(argv);
}

} // namespace brimo::test
