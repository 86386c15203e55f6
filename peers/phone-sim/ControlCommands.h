#pragma once

#include <string>
#include <string_view>

namespace brimo::sim {

class DeviceRegistry;
struct DeviceFaults;

struct ControlReply {
    std::string line; // "OK", "OK <payload>" or "ERR <message>", without the newline
    bool quit = false;
};

// The control language that tests and scripts use to drive the simulator: one command per
// line, one reply line each.
class ControlCommands {
public:
    explicit ControlCommands(DeviceRegistry& registry)
        : registry_(registry) {}

    ControlReply execute(std::string_view line);

private:
    // Without "OK": the usbmuxd counts, the framed answers by code, then the open pipes.
    std::string statsLine() const;
    std::string fault(std::string_view udid, std::string_view key, std::string_view rest);
    // The faults of framed requests: delay, status, mute and drop-after.
    std::string framedFault(DeviceFaults& faults, std::string_view key, std::string_view rest);
    std::string push(std::string_view udid, std::string_view rest);

    DeviceRegistry& registry_;
};

// Decodes \r, \n and \\ so that fault texts can hold line breaks; other bytes stay as they are.
std::string decodeEscapes(std::string_view text);

} // namespace brimo::sim
