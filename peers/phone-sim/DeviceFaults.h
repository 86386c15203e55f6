#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>

namespace brimo::sim {

// Misbehaviour scripted for one simulated phone. Sessions read it at every step, so a change
// also affects connections that are already open.
struct DeviceFaults {
    std::optional<std::string> pongReply;  // sent instead of "PONG"
    std::optional<std::string> ackReply;   // sent instead of "BW:DOWN:OK:<n>"
    bool silent = false;                   // commands and requests are read but never answered
    bool refuseConnect = false;            // Connect to the app port gets CONNREFUSED
    std::optional<uint64_t> cutAfterBytes; // the pipe closes once this many bytes went to the host

    // Framed requests, by request code.
    std::chrono::milliseconds delay{0};                     // before every answer
    std::map<uint16_t, std::chrono::milliseconds> delayFor; // instead of `delay` for a code
    struct ScriptedStatus {
        uint16_t status;
        std::optional<std::string> reason; // sent as the answer's RelayFailure
    };
    std::map<uint16_t, ScriptedStatus> statusFor;           // answered with it
    std::set<uint16_t> muted;                               // never answered
    std::set<uint16_t> dropAfter;                           // the phone detaches on arrival
    // A full phone: a write chunk reaching past this many bytes of its item is refused with
    // failed/noSpace.
    std::optional<uint64_t> spaceBytes;

    std::chrono::milliseconds delayOf(uint16_t code) const {
        auto it = delayFor.find(code);
        return it == delayFor.end() ? delay : it->second;
    }
};

} // namespace brimo::sim
