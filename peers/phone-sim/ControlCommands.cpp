#include "peers/phone-sim/ControlCommands.h"

#include "peers/phone-sim/CommandWords.h"
#include "peers/phone-sim/DeviceRegistry.h"
#include "peers/phone-sim/FramedPhoneApp.h"
#include "peers/phone-sim/PushCommand.h"
#include "peers/phone-sim/SimLog.h"

#include <chrono>
#include <optional>

namespace brimo::sim {

namespace {

// libusbmuxd truncates longer serial numbers, so such a UDID could never be looked up.
constexpr size_t kMaxUdid = 43;

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
    if (command == "push") {
        std::string_view udid = nextWord(rest);
        return {push(udid, rest)};
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
    if (command == "stats") return {ok(statsLine())};
    if (command == "noted") return {ok(std::to_string(registry_.stats().unmountsNoted))};
    return {err("unknown command: " + std::string(command))};
}

std::string ControlCommands::statsLine() const {
    const SimStats& stats = registry_.stats();
    std::string line = "listens=" + std::to_string(stats.listens) +
                       " lists=" + std::to_string(stats.lists) +
                       " connects=" + std::to_string(stats.connects);
    // Left out until the first answer, so that a simulator that served no framed request reports
    // what it always did, and the file bytes read chunks carried until the first read chunk;
    // "open=" stays last for those who wait for the pipes to close.
    if (!stats.answered.empty()) {
        uint64_t total = 0;
        std::string codes;
        for (const auto& [code, count] : stats.answered) {
            total += count;
            codes += " code" + std::to_string(code) + "=" + std::to_string(count);
        }
        line += " requests=" + std::to_string(total) + codes;
        if (stats.answered.contains(static_cast<uint16_t>(FramedRequest::readChunk)))
            line += " bytes9=" + std::to_string(stats.readChunkBytes);
    }
    return line + " open=" + std::to_string(registry_.openPipes());
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
    if (key == "delay" || key == "status" || key == "mute" || key == "drop-after")
        return framedFault(faults, key, rest);
    std::string_view value = nextWord(rest);
    if (!nextWord(rest).empty()) return err("too many arguments");
    if (key == "silent" || key == "refuse") {
        auto on = parseSwitch(value);
        if (!on) return err("usage: fault UDID " + std::string(key) + " on|off");
        (key == "silent" ? faults.silent : faults.refuseConnect) = *on;
        return ok();
    }
    if (key == "space") {
        auto bytes = parseNumber<uint64_t>(value);
        if (!bytes && value != "off") return err("usage: fault UDID space BYTES|off");
        faults.spaceBytes = bytes;
        return ok();
    }
    if (key == "cut") {
        auto bytes = parseNumber<uint64_t>(value);
        if (!bytes) return err("usage: fault UDID cut BYTES");
        faults.cutAfterBytes = *bytes;
        return ok();
    }
    if (key == "clear") {
        if (!value.empty()) return err("too many arguments");
        faults = DeviceFaults{};
        return ok();
    }
    return err("unknown fault: " + std::string(key));
}

std::string ControlCommands::framedFault(DeviceFaults& faults, std::string_view key,
                                         std::string_view rest) {
    std::string_view first = nextWord(rest);
    std::string_view second = nextWord(rest);
    // Only a status takes a third word: the reason its refusal gives.
    std::string_view third = key == "status" ? nextWord(rest) : std::string_view{};
    if (!nextWord(rest).empty()) return err("too many arguments");
    auto code = parseNumber<uint16_t>(first);
    if (key == "delay") {
        // One number is the delay of every request, two are a code and its own delay.
        auto ms = parseNumber<uint32_t>(second.empty() ? first : second);
        if (!ms || (!second.empty() && !code)) return err("usage: fault UDID delay [CODE] MS");
        if (second.empty())
            faults.delay = std::chrono::milliseconds(*ms);
        else
            faults.delayFor[*code] = std::chrono::milliseconds(*ms);
        return ok();
    }
    if (key == "status") {
        auto status = parseNumber<uint16_t>(second);
        if (!code || (!status && second != "off") || (!status && !third.empty()))
            return err("usage: fault UDID status CODE STATUS [REASON]|off");
        if (status)
            faults.statusFor[*code] = {*status, third.empty() ? std::nullopt
                                                              : std::optional(std::string(third))};
        else
            faults.statusFor.erase(*code);
        return ok();
    }
    // mute CODE on|off, drop-after CODE [on|off]
    auto on = key == "drop-after" && second.empty() ? std::optional(true) : parseSwitch(second);
    if (!code || !on) return err("usage: fault UDID " + std::string(key) + " CODE on|off");
    auto& codes = key == "mute" ? faults.muted : faults.dropAfter;
    if (*on)
        codes.insert(*code);
    else
        codes.erase(*code);
    return ok();
}

std::string ControlCommands::push(std::string_view udid, std::string_view rest) {
    const DeviceInfo* device = registry_.findByUdid(std::string(udid));
    if (!device) return err("unknown device: " + std::string(udid));
    auto parsed = parsePush(rest);
    if (auto* message = std::get_if<std::string>(&parsed)) return err(*message);
    const auto& notification = std::get<PushNotification>(parsed);
    return ok(std::to_string(registry_.push(device->id, notification.code, notification.payload)));
}

} // namespace brimo::sim
