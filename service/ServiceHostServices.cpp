#include "service/ServiceHostServices.h"

#include "service/MountService.h"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>

namespace brimo {

namespace {
constexpr uint16_t kUnmountNoted = 20;
}

asio::awaitable<void> ServiceHostServices::forceUnmount() {
    co_await mounts_.forceUnmount();
}

asio::awaitable<bool> ServiceHostServices::notifyPhoneOfUnmount() {
    try {
        const auto response = co_await relay_.requestRetryingOnce(kUnmountNoted, {});
        co_return response.code == 0;
    } catch (const TunnelRelayFailure&) {
        co_return false;
    }
}

void ServiceHostServices::volumeUnmounted() {
    probe_.volumeUnmounted();
}

void PhoneVolumeRequests::itemMutationPoke(const Bytes& payload) {
    asio::co_spawn(loop_, mounts_.itemMutationPoke(payload), asio::detached);
}

void PhoneVolumeRequests::mountControl(const Bytes& payload) {
    asio::co_spawn(loop_, mounts_.mountControl(payload, probe_), asio::detached);
}

} // namespace brimo
