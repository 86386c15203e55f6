#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace brimo::test {

// An X display of its own with a system tray, as a desktop user has one: Xvfb (1280x800, 24
// bits) on a free display and a trayer panel docked at its top right, both ended with the
// object. What looks at the screen or acts on it runs xdotool, xwininfo and xprop against that
// display, whatever DISPLAY says. Every wait is a bounded poll.
class DesktopSession {
public:
    using Window = unsigned long;

    // The programs a session needs that are not installed, separated by spaces; empty when all
    // of them are there.
    static std::string missingTools();

    // Starts Xvfb and trayer and waits for trayer's panel to be on screen; throws
    // std::runtime_error when either does not come up. The panel is trayer's grey, or of the
    // colour `panel` ("0xRRGGBB") when given.
    explicit DesktopSession(const std::string& panel = {});
    ~DesktopSession();
    DesktopSession(const DesktopSession&) = delete;
    DesktopSession& operator=(const DesktopSession&) = delete;

    // ":N", the DISPLAY of the programs shown here.
    const std::string& display() const { return display_; }

    // A mapped window titled exactly `title`, once there is one.
    std::optional<Window> waitForWindow(const std::string& title,
                                        std::chrono::milliseconds limit = std::chrono::seconds(20));

    // Clicks the tray icon of process `pid` once it sits in the tray and no menu of that process
    // is open; returns the menu it pops up once that is mapped.
    std::optional<Window> clickTrayIcon(pid_t pid,
                                        std::chrono::milliseconds limit = std::chrono::seconds(20));

    // Saves what `window` shows as a PNG file at `path`; false when it cannot.
    bool capture(Window window, const std::string& path) const;

    // Presses keys one after the other, by xdotool's names ("Down", "Return", "ctrl+w").
    void pressKeys(const std::vector<std::string>& keys) const;

    // The mapped windows of `pid` that bypass the window manager and a tray took in: its icons.
    std::vector<Window> trayIcons(pid_t pid) const;
    // The mapped windows of `pid` that bypass the window manager on the root window, other than
    // tooltips: its open menus.
    std::vector<Window> menus(pid_t pid) const;

private:
    // Runs an X client against this display; returns what it printed.
    std::string x(std::vector<std::string> argv) const;
    std::vector<Window> bypassingWindows(pid_t pid, bool onRoot) const;
    void stop();

    pid_t xvfb_ = -1;
    pid_t trayer_ = -1;
    std::string display_;
};

} // namespace brimo::test
