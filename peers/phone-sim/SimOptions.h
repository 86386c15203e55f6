#pragma once

#include <optional>
#include <string>
#include <vector>

namespace brimo::sim {

struct SimOptions {
    std::string socketPath;
    std::string controlPath;
    std::vector<std::string> devices;
    std::string rootDir;
    // Payload bytes per second of each simulated cable; unset means unthrottled.
    std::optional<double> linkRate;
};

// Parses the simulator's arguments (without the program name). Throws std::invalid_argument
// with a user-facing message on any mistake.
SimOptions parseSimOptions(const std::vector<std::string>& args);

// "usb2", or a positive integer with an optional K, M or G suffix (powers of 1000).
double parseLinkRate(const std::string& text);

inline constexpr const char* kUsage =
    "usage: brimo-phone-sim --socket PATH [--control PATH] [--device UDID]... [--root DIR]\n"
    "                       [--link-rate RATE]\n"
    "       brimo-phone-sim ctl --control PATH WORDS...\n";

} // namespace brimo::sim
