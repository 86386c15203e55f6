#pragma once

#include "shared/ipc/BridgeProtocols.h"
#include "shared/ipc/Value.h"

#include <memory>
#include <span>
#include <string_view>

// The members of both interfaces with their D-Bus signatures, and the glue between untyped
// value lists and the typed protocol methods.
namespace brimo::ipc::detail {

struct Member {
    const char* interface;
    const char* name;
    const char* in;
    const char* out;
    bool oneWay;
};

std::span<const Member> hostMembers();
std::span<const Member> clientMembers();

// Looks a member up by the name the proxies use (the table above is the only source).
const Member& hostMember(std::string_view name);
const Member& clientMember(std::string_view name);

// `args` match `member.in`; `reply` is null for one-way members.
void dispatch(TarvelBridgeHostProtocol& object, const Member& member, Values args,
              std::unique_ptr<ReplySink> reply);
void dispatch(TarvelBridgeClientProtocol& object, const Member& member, Values args,
              std::unique_ptr<ReplySink> reply);

} // namespace brimo::ipc::detail
