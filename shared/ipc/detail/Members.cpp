#include "shared/ipc/detail/Members.h"

#include "shared/ipc/Names.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace brimo::ipc::detail {

namespace {

constexpr Member kHost[] = {
    {kHostInterface, "RegisterClient", "x", "b", false},
    {kHostInterface, "Echo", "", "", false},
    {kHostInterface, "Ping", "x", "b", false},
    {kHostInterface, "BenchmarkIngest", "ay", "t", false},
    {kHostInterface, "RequestExtToHostPing", "x", "d", false},
    {kHostInterface, "RequestExtToHostThroughput", "tt", "d", false},
    {kHostInterface, "RequestHostToExtThroughput", "tt", "d", false},
    {kHostInterface, "RunUsbMuxSpeedTest", "", "bs", false},
    {kHostInterface, "RelayToUsbMux", "xay", "ayxx", false},
    {kHostInterface, "RequestFileIO", "xay", "ayx", false},
    {kHostInterface, "FilesystemDidUnmount", "", "", true},
    {kHostInterface, "Shutdown", "", "b", false},
    {kHostInterface, "GetXPCServiceVersion", "", "x", false},
};

constexpr Member kClient[] = {
    {kClientInterface, "NotifyClient", "xay", "", true},
    {kClientInterface, "Echo", "", "", false},
    {kClientInterface, "BenchmarkIngest", "ay", "t", false},
    {kClientInterface, "RunExtToHostPing", "x", "d", false},
    {kClientInterface, "BenchmarkSendChunks", "tt", "d", false},
};

const Member& find(std::span<const Member> members, std::string_view name) {
    auto it = std::find_if(members.begin(), members.end(),
                           [&](const Member& m) { return name == m.name; });
    if (it == members.end()) throw std::logic_error("unknown bridge member " + std::string(name));
    return *it;
}

template <class T> T take(Values& args, size_t index) {
    return std::get<T>(std::move(args[index]));
}

template <class... Ts> Reply<Ts...> reply(std::unique_ptr<ReplySink>& sink) {
    return Reply<Ts...>(std::move(sink));
}

} // namespace

std::span<const Member> hostMembers() {
    return kHost;
}
std::span<const Member> clientMembers() {
    return kClient;
}
const Member& hostMember(std::string_view name) {
    return find(kHost, name);
}
const Member& clientMember(std::string_view name) {
    return find(kClient, name);
}

void dispatch(TarvelBridgeHostProtocol& object, const Member& member, Values args,
              std::unique_ptr<ReplySink> sink) {
    const std::string_view name = member.name;
    if (name == "RegisterClient")
        object.registerClient(take<int64_t>(args, 0), reply<bool>(sink));
    else if (name == "Echo")
        object.echo(reply<>(sink));
    else if (name == "Ping")
        object.ping(take<int64_t>(args, 0), reply<bool>(sink));
    else if (name == "BenchmarkIngest")
        object.benchmarkIngest(take<Bytes>(args, 0), reply<uint64_t>(sink));
    else if (name == "RequestExtToHostPing")
        object.requestExtToHostPing(take<int64_t>(args, 0), reply<double>(sink));
    else if (name == "RequestExtToHostThroughput")
        object.requestExtToHostThroughput(take<uint64_t>(args, 0), take<uint64_t>(args, 1),
                                          reply<double>(sink));
    else if (name == "RequestHostToExtThroughput")
        object.requestHostToExtThroughput(take<uint64_t>(args, 0), take<uint64_t>(args, 1),
                                          reply<double>(sink));
    else if (name == "RunUsbMuxSpeedTest")
        object.runUsbMuxSpeedTest(reply<bool, std::string>(sink));
    else if (name == "RelayToUsbMux")
        object.relayToUsbMux(take<int64_t>(args, 0), take<Bytes>(args, 1),
                             reply<Bytes, int64_t, int64_t>(sink));
    else if (name == "RequestFileIO")
        object.requestFileIO(take<int64_t>(args, 0), take<Bytes>(args, 1),
                             reply<Bytes, int64_t>(sink));
    else if (name == "FilesystemDidUnmount")
        object.filesystemDidUnmount();
    else if (name == "Shutdown")
        object.shutdown(reply<bool>(sink));
    else if (name == "GetXPCServiceVersion")
        object.getXPCServiceVersion(reply<int64_t>(sink));
}

void dispatch(TarvelBridgeClientProtocol& object, const Member& member, Values args,
              std::unique_ptr<ReplySink> sink) {
    const std::string_view name = member.name;
    if (name == "NotifyClient")
        object.notifyClient(take<int64_t>(args, 0), take<Bytes>(args, 1));
    else if (name == "Echo")
        object.echo(reply<>(sink));
    else if (name == "BenchmarkIngest")
        object.benchmarkIngest(take<Bytes>(args, 0), reply<uint64_t>(sink));
    else if (name == "RunExtToHostPing")
        object.runExtToHostPing(take<int64_t>(args, 0), reply<double>(sink));
    else if (name == "BenchmarkSendChunks")
        object.benchmarkSendChunks(take<uint64_t>(args, 0), take<uint64_t>(args, 1),
                                   reply<double>(sink));
}

} // namespace brimo::ipc::detail
