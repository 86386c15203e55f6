#pragma once

#include <filesystem>
#include <string>
#include <sys/types.h>

// Starting another copy of the app once this one has gone.
namespace brimo::app {

// `text` in single quotes for /bin/sh, every "'" written as '\''.
std::string shellQuoted(const std::string& text);

// A one-line background script: once process `waitFor` has exited it runs `afterExit` (a shell
// command, if any), boots the service out of both its targets through the bundle's
// brimo-launchctl, so that the next start comes from this bundle, and starts the bundle's
// Contents/MacOS/Brimo in a session of its own.
std::string relaunchScript(pid_t waitFor, const std::filesystem::path& bundle,
                           const std::string& afterExit = {});

} // namespace brimo::app
