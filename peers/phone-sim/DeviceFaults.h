#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace brimo::sim {

// Misbehaviour scripted for one simulated phone. Sessions read it at every step, so a change
// also affects connections that are already open.
struct DeviceFaults {
    std::optional<std::string> pongReply;  // sent instead of "PONG"
    std::optional<std::string> ackReply;   // sent instead of "BW:DOWN:OK:<n>"
    bool silent = false;                   // commands are read but never answered
    bool refuseConnect = false;            // Connect to the app port gets CONNREFUSED
    std::optional<uint64_t> cutAfterBytes; // the pipe closes once this many bytes went to the host
};

} // namespace brimo::sim
