#include "peers/phone-sim/PushCommand.h"

#include "peers/phone-sim/CommandWords.h"

#include <algorithm>
#include <cctype>
#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

namespace brimo::sim {

namespace {

using Json = nlohmann::ordered_json;

// Exactly `count` words and nothing after them.
std::optional<std::vector<std::string_view>> words(std::string_view rest, size_t count) {
    std::vector<std::string_view> out;
    for (size_t i = 0; i < count; ++i) {
        out.push_back(nextWord(rest));
        if (out.back().empty()) return std::nullopt;
    }
    if (!nextWord(rest).empty()) return std::nullopt;
    return out;
}

PushNotification json(uint16_t code, const Json& document) {
    std::string text = document.dump();
    return {code, Bytes(text.begin(), text.end())};
}

std::variant<PushNotification, std::string> state(std::string_view rest) {
    auto args = words(rest, 2);
    auto source = args ? parseNumber<int64_t>((*args)[0]) : std::nullopt;
    if (!source || ((*args)[1] != "true" && (*args)[1] != "false"))
        return "usage: push UDID state SOURCE true|false";
    return json(0, Json{{"source", *source}, {"connected", (*args)[1] == "true"}});
}

std::variant<PushNotification, std::string> progress(std::string_view rest) {
    auto args = words(rest, 4);
    auto completed = args ? parseNumber<uint64_t>((*args)[1]) : std::nullopt;
    auto total = args ? parseNumber<uint64_t>((*args)[2]) : std::nullopt;
    auto percent = args ? parseNumber<uint8_t>((*args)[3]) : std::nullopt;
    if (!completed || !total || !percent)
        return "usage: push UDID progress SESSIONID COMPLETED TOTAL PERCENT";
    // Session ids travel in upper case.
    std::string session((*args)[0]);
    std::transform(session.begin(), session.end(), session.begin(),
                   [](unsigned char c) { return std::toupper(c); });
    return json(2, Json{{"sessionID", session},
                        {"completedBytes", *completed},
                        {"totalBytes", *total},
                        {"percent", *percent}});
}

std::variant<PushNotification, std::string> mutation(std::string_view rest) {
    std::string_view kind = nextWord(rest);
    if ((kind != "created" && kind != "deleted") || rest.empty())
        return "usage: push UDID mutation created|deleted RELAYID";
    return json(3, Json{{"kind", kind}, {"relayID", rest}});
}

std::variant<PushNotification, std::string> mount(std::string_view rest) {
    auto args = words(rest, 1);
    if (!args || ((*args)[0] != "mount" && (*args)[0] != "unmount"))
        return "usage: push UDID mount mount|unmount";
    return json(4, Json{{"action", (*args)[0]}});
}

} // namespace

std::variant<PushNotification, std::string> parsePush(std::string_view arguments) {
    std::string_view rest = arguments;
    std::string_view form = nextWord(rest);
    if (form == "state") return state(rest);
    if (form == "progress") return progress(rest);
    if (form == "mutation") return mutation(rest);
    if (form == "mount") return mount(rest);
    auto code = parseNumber<uint16_t>(form);
    if (!code) return "usage: push UDID state|progress|mutation|mount|CODE ...";
    return PushNotification{*code, Bytes(rest.begin(), rest.end())};
}

} // namespace brimo::sim
