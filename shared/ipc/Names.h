#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Wire names shared by the service and its clients.
namespace brimo::ipc {

inline constexpr const char* kServiceName = "Ozm.Tarvel.Mac.XPC";
inline constexpr const char* kObjectPath = "/Ozm/Tarvel/Bridge";
inline constexpr const char* kHostInterface = "Ozm.Tarvel.BridgeHost";
inline constexpr const char* kClientInterface = "Ozm.Tarvel.BridgeClient";

// A handler was dropped without answering: the caller gets this instead of waiting forever.
inline constexpr const char* kErrorNoReply = "Ozm.Tarvel.Error.NoReply";
// The connection is closed for good (local invalidate(), or it could not be made).
inline constexpr const char* kErrorInvalid = "Ozm.Tarvel.Error.ConnectionInvalid";
// The peer went away while the call was pending.
inline constexpr const char* kErrorInterrupted = "Ozm.Tarvel.Error.ConnectionInterrupted";

// The largest byte array one call can carry: D-Bus caps a message at 64 MiB, header included,
// so a few KiB are left for it.
inline constexpr uint64_t kMaxCallBytes = 64 * 1024 * 1024 - 4096;

// `$XDG_RUNTIME_DIR/<name>`, or `/tmp/Ozm.Tarvel-<uid>/<name>` when XDG_RUNTIME_DIR is unset or
// not an absolute path.
std::string serviceSocketPath(std::string_view serviceName);

// Makes the folder of such sockets (0700) unless it exists, and checks that it is a folder of
// this user: in /tmp anybody could have made it first. Throws std::system_error otherwise.
void prepareSocketDirectory(const std::string& dir);

} // namespace brimo::ipc
