#include "app/Relaunch.h"

#include "app/AppLifecycleTeardown.h"

namespace brimo::app {

std::string shellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string relaunchScript(pid_t waitFor, const std::filesystem::path& bundle,
                           const std::string& afterExit) {
    const auto macOS = bundle / "Contents" / "MacOS";
    std::string script = "(while /bin/kill -0 " + std::to_string(waitFor) +
                         " >/dev/null 2>&1; do /bin/sleep 0.1; done; ";
    if (!afterExit.empty()) script += afterExit + "; ";
    const auto targets = AppLifecycleTeardown::bootoutTargets();
    for (size_t i = 0; i < targets.size(); ++i) {
        if (i > 0) script += "; ";
        script += shellQuoted((macOS / "brimo-launchctl").string()) + " bootout " +
                  shellQuoted(targets[i]) + " >/dev/null 2>&1";
    }
    return script + "; /bin/sleep 0.3; /usr/bin/setsid -f " +
           shellQuoted((macOS / "Brimo").string()) + " </dev/null >/dev/null 2>&1) &";
}

} // namespace brimo::app
