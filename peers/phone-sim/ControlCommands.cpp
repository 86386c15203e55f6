#include "peers/phone-sim/ControlCommands.h"

#include "peers/phone-sim/DeviceRegistry.h"
#include "peers/phone-sim/SimLog.h"

#include <charconv>
#include <optional>

namespace brimo::sim {

namespace {

// libusbmuxd truncates longer serial numbers, so such a UDID could never be looked up.
constexpr size_t kMaxUdid = 43;

// Splits off the next space-separated word; `rest` keeps what follows its separating space.
std::string_view nextWord(std::string_view& rest) {
    size_t start = rest.find_first_not_of(' ');
    if (start == std::string_view::npos) {
        rest = {};
        return {};
    }
    rest.remove_prefix(start);
    size_t end = rest.find(' ');
    std::string_view word = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
    return word;
}

std::optional<bool> parseSwitch(std::string_view text) {
    if (text == "on") return true;
    if (text == "off") return false;
    return std::nullopt;
}

bool validUdid(std::string_view udid) {
    if (udid.empty() || udid.size() > kMaxUdid) return false;
    for (char c : udid)
        if (c <= ' ' || c > '~') return false;
    return true;
}

std::string ok(const std::string& payload = {}) {
    return payload.empty() ? "OK" : "OK " + payload;
}

std::string err(const std::string& message) {
    return "ERR " + message;
}

} // namespace

std::string decodeEscapes(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\\' && i + 1 < text.size()) {
            char next = text[i + 1];
            if (next == 'r' || next == 'n' || next == '\\') {
                out.push_back(next == 'r' ? '\r' : next == 'n' ? '\n' : '\\');
                ++i;
                continue;
            }
        }
        out.push_back(c);
    }
    return out;
}

ControlReply ControlCommands::execute(std::string_view line) {
    while (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    std::string_view rest = line;
    std::string_view command = nextWord(rest);

    if (command == "fault") {
        std::string_view udid = nextWord(rest);
        std::string_view key = nextWord(rest);
        return {fault(udid, key, rest)};
    }
    std::string_view argument = nextWord(rest);
    if (!nextWord(rest).empty()) return {err("too many arguments")};
    const std::string udid(argument);
    bool needsUdid = command == "attach" || command == "detach" || command == "reattach";
    if (needsUdid != !argument.empty())
        return {err("usage: " + std::string(command) + (needsUdid ? " UDID" : ""))};

    if (command == "ping") return {ok()};
    if (command == "quit") return {ok(), true};
    if (command == "attach") {
        if (!validUdid(udid)) return {err("invalid UDID")};
        auto id = registry_.attach(udid);
        if (!id) return {err("already attached: " + udid)};
        simLog.notice("attached %s as device %u", udid.c_str(), *id);
        return {ok(std::to_string(*id))};
    }
    if (command == "detach") {
        if (!registry_.detach(udid)) return {err("unknown device: " + udid)};
        simLog.notice("detached %s", udid.c_str());
        return {ok()};
    }
    if (command == "reattach") {
        if (!registry_.detach(udid)) return {err("unknown device: " + udid)};
        uint32_t id = *registry_.attach(udid);
        simLog.notice("re-attached %s as device %u", udid.c_str(), id);
        return {ok(std::to_string(id))};
    }
    if (command == "list") {
        std::string payload;
        for (const DeviceInfo& device : registry_.devices())
            payload += (payload.empty() ? "" : " ") + device.udid + "=" + std::to_string(device.id);
        return {ok(payload)};
    }
    if (command == "stats") {
        const SimStats& stats = registry_.stats();
        return {ok("listens=" + std::to_string(stats.listens) + " lists=" +
                   std::to_string(stats.lists) + " connects=" + std::to_string(stats.connects) +
                   " open=" + std::to_string(registry_.openPipes()))};
    }
    return {err("unknown command: " + std::string(command))};
}

std::string ControlCommands::fault(std::string_view udid, std::string_view key,
                                   std::string_view rest) {
    if (key.empty()) return err("usage: fault UDID KEY [VALUE]");
    if (!registry_.findByUdid(std::string(udid)))
        return err("unknown device: " + std::string(udid));
    DeviceFaults& faults = *registry_.faults(std::string(udid));
    // pong and ack take the raw rest of the line, so their text may contain spaces.
    if (key == "pong" || key == "ack") {
        if (rest.empty()) return err("usage: fault UDID " + std::string(key) + " TEXT");
        (key == "pong" ? faults.pongReply : faults.ackReply) = decodeEscapes(rest);
        return ok();
    }
    std::string_view value = nextWord(rest);
    if (!nextWord(rest).empty()) return err("too many arguments");
    if (key == "silent" || key == "refuse") {
        auto on = parseSwitch(value);
        if (!on) return err("usage: fault UDID " + std::string(key) + " on|off");
        (key == "silent" ? faults.silent : faults.refuseConnect) = *on;
        return ok();
    }
    if (key == "cut") {
        uint64_t bytes = 0;
        auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), bytes);
        if (value.empty() || ec != std::errc() || end != value.data() + value.size())
            return err("usage: fault UDID cut BYTES");
        faults.cutAfterBytes = bytes;
        return ok();
    }
    if (key == "clear") {
        if (!value.empty()) return err("too many arguments");
        faults = DeviceFaults{};
        return ok();
    }
    return err("unknown fault: " + std::string(key));
}

} // namespace brimo::sim
