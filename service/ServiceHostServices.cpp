#include "service/ServiceHostServices.h"

#include "service/TunnelRelayBridge.h"

namespace brimo {

namespace {
constexpr uint16_t kUnmountNoted = 20;
}

asio::awaitable<bool> ServiceHostServices::notifyPhoneOfUnmount() {
    try {
        const auto response = co_await relay_.requestRetryingOnce(kUnmountNoted, {});
        co_return response.code == 0;
    } catch (const TunnelRelayFailure&) {
        co_return false;
    }
}

} // namespace brimo
