#pragma once

#include "shared/BridgeContract.h"
#include "shared/Bytes.h"
#include "shared/ipc/BridgeProtocols.h"
#include "shared/ipc/ServiceLauncher.h"
#include "shared/json/Uuid.h"

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>

namespace brimo::ipc {
class ClientConnection;
}

namespace brimo::fs {

// How one call to the service ended. `linkError` is 0 when the service answered; then `code`
// is the call's error code (UsbMuxRelayError or FileIOBridgeError), `status` the phone's status
// of a relay, and `data` the reply. Otherwise it is the errno a program gets: ENODEV while no
// phone is attached, EIO when the service went away or the volume is going, ETIMEDOUT when
// nothing answered in time.
struct CallOutcome {
    int linkError = 0;
    int64_t code = 0;
    int64_t status = 0;
    Bytes data;
    uint64_t generation = 0; // of the connection that answered
};

inline CallOutcome linkFailure(int error) {
    CallOutcome outcome;
    outcome.linkError = error;
    return outcome;
}

// The extension's link to the bridge service, on the extension's loop: it connects, registers
// as the file provider (again after every interruption), makes relay and file-IO calls that
// always complete, exactly once, within a bound, and hands on what the service notifies.
class PhoneLink {
public:
    struct Options {
        std::shared_ptr<ipc::ServiceLauncher> launcher;
        // A metadata request, and a transfer that reports no progress for this long, fail.
        std::chrono::milliseconds requestTimeout{30000};
        std::chrono::milliseconds transferIdleTimeout{120000};
    };

    PhoneLink(asio::io_context& loop, Options options);
    ~PhoneLink();
    PhoneLink(const PhoneLink&) = delete;
    PhoneLink& operator=(const PhoneLink&) = delete;

    void start();
    // Ends every pending call with `error` and refuses new ones with it from now on.
    void close(int error);

    asio::awaitable<CallOutcome> relay(uint16_t code, Bytes payload);
    // `session` is the transfer's sessionID: its progress keeps the call alive.
    asio::awaitable<CallOutcome> fileIO(int64_t operation, Bytes param,
                                        std::optional<Uuid> session = std::nullopt);
    // Tells the service the volume is gone, then calls `done` once the service has surely read
    // it (or could not be asked), within a second.
    void filesystemDidUnmount(std::function<void()> done);

    // False after the service said no phone is attached; calls then fail at once.
    bool phoneAttached() const { return phoneAttached_; }
    void onItemMutation(std::function<void(const ItemMutationNotifyPayload&)> handler) {
        itemMutation_ = std::move(handler);
    }
    void onPhoneDetached(std::function<void()> handler) { phoneDetached_ = std::move(handler); }
    void onPhoneAttached(std::function<void()> handler) {
        phoneAttachedHandler_ = std::move(handler);
    }

    size_t pendingCalls() const { return pending_.size(); }

private:
    class Client;
    struct Pending;
    using Send = std::function<void(uint64_t id)>;

    asio::awaitable<CallOutcome> call(Send send, std::chrono::milliseconds timeout,
                                      std::optional<Uuid> session);
    void complete(uint64_t id, CallOutcome outcome);
    void failAll(int error);
    void armTimer(uint64_t id);
    void progress(const Uuid& session);
    void notified(int64_t code, const Bytes& param);
    void connect();
    void registerAsFileProvider();
    bool lostRegistration(const CallOutcome& outcome);

    asio::io_context& loop_;
    Options options_;
    std::shared_ptr<ipc::ClientConnection> connection_;
    std::shared_ptr<ipc::ClientConnection> retired_; // lost its role; its calls still answer
    uint64_t generation_ = 0;
    std::shared_ptr<Client> client_;
    std::map<uint64_t, std::unique_ptr<Pending>> pending_;
    uint64_t nextId_ = 1;
    bool phoneAttached_ = true; // until the service says otherwise
    int closedWith_ = 0;
    std::function<void(const ItemMutationNotifyPayload&)> itemMutation_;
    std::function<void()> phoneDetached_;
    std::function<void()> phoneAttachedHandler_;
};

} // namespace brimo::fs
