#pragma once

#include "shared/Bytes.h"

#include <cstdint>
#include <functional>
#include <string>
#include <variant>
#include <vector>

// The argument types that cross the bridge, as one value list per message. The D-Bus type of
// each alternative: b, x, t, d, s, ay.
namespace brimo::ipc {

using Value = std::variant<bool, int64_t, uint64_t, double, std::string, Bytes>;
using Values = std::vector<Value>;

// A value list made by moving each value in: a braced list would copy them, file chunks
// included.
template <class... Ts> Values valuesOf(Ts&&... values) {
    Values all;
    all.reserve(sizeof...(Ts));
    (all.emplace_back(std::forward<Ts>(values)), ...);
    return all;
}

// A D-Bus error name and its message, as handed to a proxy's error handler.
struct RemoteError {
    std::string name;
    std::string message;
};

using ErrorHandler = std::function<void(const RemoteError&)>;

} // namespace brimo::ipc
