#pragma once

#include "shared/Bytes.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace brimo::sim {

struct PushNotification {
    uint16_t code = 0;
    Bytes payload;
};

// The arguments of the `push` control command after the UDID, as a notification for the
// host; an error message when they are malformed. Forms:
//   state SOURCE true|false                         code 0
//   progress SESSIONID COMPLETED TOTAL PERCENT      code 2
//   mutation created|deleted RELAYID                code 3 (RELAYID is the rest of the line)
//   mount mount|unmount                             code 4
//   CODE [PAYLOAD]                                  any code, the rest of the line verbatim
std::variant<PushNotification, std::string> parsePush(std::string_view arguments);

} // namespace brimo::sim
