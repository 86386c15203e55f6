#include "extension/PhoneLink.h"

#include "shared/Log.h"
#include "shared/ipc/ClientConnection.h"
#include "shared/ipc/ExtensionMeasurements.h"
#include "shared/ipc/Names.h"
#include "shared/ipc/RemoteProxies.h"

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <cerrno>

namespace brimo::fs {

namespace {

constexpr log::Logger linkLog{log::kSubsystem, "Extension"};

} // namespace

// What the service may call on the extension: its notifications, and the measurements.
class PhoneLink::Client final : public ipc::ExtensionClient {
public:
    explicit Client(std::function<void(int64_t, const Bytes&)> notified)
        : notified_(std::move(notified)) {}
    void notifyClient(int64_t code, Bytes param) override { notified_(code, param); }

private:
    std::function<void(int64_t, const Bytes&)> notified_;
};

struct PhoneLink::Pending {
    std::function<void(CallOutcome)> resume;
    asio::steady_timer timer;
    std::chrono::milliseconds timeout;
    std::optional<Uuid> session;
    uint64_t generation; // of the connection the call went out on
};

PhoneLink::PhoneLink(asio::io_context& loop, Options options)
    : loop_(loop)
    , options_(std::move(options)) {}

PhoneLink::~PhoneLink() {
    connection_.reset(); // closes without running its handlers
}

void PhoneLink::start() {
    connect();
}

void PhoneLink::connect() {
    ipc::ConnectOptions connect;
    connect.launcher = options_.launcher;
    connection_ = ipc::ClientConnection::connect(loop_.get_executor(), ipc::kServiceName, connect);
    ++generation_;
    // A retired connection's calls still answer, but what happens to it concerns nobody.
    const ipc::ClientConnection* self = connection_.get();
    client_ = std::make_shared<Client>(
        [this](int64_t code, const Bytes& param) { notified(code, param); });
    client_->setConnection(connection_);
    connection_->setExportedObject(client_);
    connection_->setInterruptionHandler([this, self] {
        if (connection_.get() != self) return;
        linkLog.error("the bridge service closed the connection; registering again");
        failAll(EIO);
        phoneAttached_ = true;
        registerAsFileProvider(); // this message connects again
    });
    connection_->setInvalidationHandler([this, self] {
        if (connection_.get() != self) return;
        linkLog.error("cannot reach the bridge service");
        failAll(EIO);
        // Dead for good: the next call makes a new connection.
        asio::post(loop_, [this, dead = connection_] {
            if (connection_ == dead) connection_.reset();
        });
    });
    connection_->resume();
    registerAsFileProvider();
}

void PhoneLink::registerAsFileProvider() {
    auto host = connection_->remoteObjectProxy([](const ipc::RemoteError& error) {
        linkLog.error("registration failed: %s", error.message.c_str());
    });
    host.registerClient(static_cast<int64_t>(TarvelBridgeClientRole::fileProvider), [](bool ok) {
        if (!ok) linkLog.error("the bridge service refused the file provider's registration");
    });
}

// Another client took the file provider's role (a diagnostic tool, say). The service never gives
// a role back to a connection that lost it, so a new connection registers, and the call is made
// once more on it. Both kinds of call answer 1 for "not registered".
bool PhoneLink::lostRegistration(const CallOutcome& outcome) {
    if (outcome.linkError != 0 || outcome.code != 1) return false;
    if (outcome.generation == generation_ && connection_) {
        linkLog.error("another client took the file provider's role; connecting again");
        retired_ = std::move(connection_);
        connect();
    }
    return true;
}

void PhoneLink::close(int error) {
    closedWith_ = error;
    failAll(error);
}

// The sending step is a named local: GCC 12 destroys some temporaries of a co_await expression
// twice.
asio::awaitable<CallOutcome> PhoneLink::relay(uint16_t code, Bytes payload) {
    // Shared, so that keeping the call for a second try copies no chunk.
    Send send = [this, code,
                 payload = std::make_shared<const Bytes>(std::move(payload))](uint64_t id) {
        auto host = connection_->remoteObjectProxy(
            [this, id](const ipc::RemoteError&) { complete(id, linkFailure(EIO)); });
        host.relayToUsbMux(code, *payload,
                           [this, id](Bytes response, int64_t error, int64_t status) {
                               complete(id, {0, error, status, std::move(response), 0});
                           });
    };
    CallOutcome outcome = co_await call(send, options_.requestTimeout, std::nullopt);
    if (lostRegistration(outcome))
        outcome = co_await call(std::move(send), options_.requestTimeout, std::nullopt);
    co_return outcome;
}

asio::awaitable<CallOutcome> PhoneLink::fileIO(int64_t operation, Bytes param,
                                               std::optional<Uuid> session) {
    Send send = [this, operation, param = std::move(param)](uint64_t id) {
        auto host = connection_->remoteObjectProxy(
            [this, id](const ipc::RemoteError&) { complete(id, linkFailure(EIO)); });
        host.requestFileIO(operation, param, [this, id](Bytes reply, int64_t code) {
            complete(id, {0, code, 0, std::move(reply), 0});
        });
    };
    const auto timeout = session ? options_.transferIdleTimeout : options_.requestTimeout;
    CallOutcome outcome = co_await call(send, timeout, session);
    if (lostRegistration(outcome)) outcome = co_await call(std::move(send), timeout, session);
    co_return outcome;
}

asio::awaitable<CallOutcome> PhoneLink::call(Send send, std::chrono::milliseconds timeout,
                                             std::optional<Uuid> session) {
    if (closedWith_ != 0) co_return linkFailure(closedWith_);
    if (!phoneAttached_) co_return linkFailure(ENODEV);
    if (!connection_) connect();
    const uint64_t id = nextId_++;
    co_return co_await asio::async_initiate<decltype(asio::use_awaitable), void(CallOutcome)>(
        [&](auto handler) {
            auto shared = std::make_shared<decltype(handler)>(std::move(handler));
            auto pending = std::make_unique<Pending>(
                Pending{[shared](CallOutcome outcome) { (*shared)(std::move(outcome)); },
                        asio::steady_timer(loop_), timeout, std::move(session), generation_});
            pending_.emplace(id, std::move(pending));
            armTimer(id);
            send(id);
        },
        asio::use_awaitable);
}

void PhoneLink::armTimer(uint64_t id) {
    auto found = pending_.find(id);
    if (found == pending_.end()) return;
    Pending& pending = *found->second;
    pending.timer.expires_after(pending.timeout);
    pending.timer.async_wait([this, id](const std::error_code& error) {
        if (error) return; // re-armed or completed
        linkLog.error("a call to the bridge service got no answer in time");
        complete(id, linkFailure(ETIMEDOUT));
    });
}

// Answers arrive in callbacks of the connection; the caller resumes from the loop, never from
// inside them, so that it may make its next call at once.
void PhoneLink::complete(uint64_t id, CallOutcome outcome) {
    auto found = pending_.find(id);
    if (found == pending_.end()) return; // already failed, or timed out
    auto pending = std::move(found->second);
    pending_.erase(found);
    outcome.generation = pending->generation;
    pending->timer.cancel();
    asio::post(loop_, [resume = std::move(pending->resume), outcome = std::move(outcome)] {
        resume(std::move(outcome));
    });
}

void PhoneLink::failAll(int error) {
    std::vector<uint64_t> ids;
    for (const auto& entry : pending_)
        ids.push_back(entry.first);
    for (uint64_t id : ids)
        complete(id, linkFailure(error));
}

void PhoneLink::progress(const Uuid& session) {
    for (const auto& [id, pending] : pending_)
        if (pending->session == session) armTimer(id);
}

void PhoneLink::notified(int64_t code, const Bytes& param) {
    switch (bridgeNotifyMessageFromRaw(code).value_or(BridgeNotifyMessage::mountControl)) {
    case BridgeNotifyMessage::bridgeStateChanged: {
        auto state = decodeNotifyBridgeStateChangedPayload(param);
        if (!state || state->source != static_cast<int64_t>(TarvelBridgeClientRole::iOS)) return;
        const bool wasAttached = phoneAttached_;
        phoneAttached_ = state->connected;
        if (wasAttached && !phoneAttached_) {
            linkLog.info("phone detached: failing what waits on it");
            failAll(ENODEV);
            if (phoneDetached_) phoneDetached_();
        }
        if (!wasAttached && phoneAttached_ && phoneAttachedHandler_) phoneAttachedHandler_();
        return;
    }
    case BridgeNotifyMessage::fileIOProgress:
        if (auto update = decodeFileIOProgressPayload(param)) progress(update->sessionID);
        return;
    case BridgeNotifyMessage::itemMutation:
        if (auto mutation = decodeItemMutationNotifyPayload(param); mutation && itemMutation_)
            itemMutation_(*mutation);
        return;
    case BridgeNotifyMessage::mountControl:
        return; // the service's own business
    }
}

void PhoneLink::filesystemDidUnmount(std::function<void()> done) {
    auto once = std::make_shared<std::function<void()>>(std::move(done));
    auto finish = [once] {
        if (auto done = std::exchange(*once, nullptr)) done();
    };
    if (!connection_) return finish();
    auto host = connection_->remoteObjectProxy([finish](const ipc::RemoteError&) { finish(); });
    host.filesystemDidUnmount();
    // Calls are served in order: the echo's answer means the notice was read.
    host.echo(finish);
    auto timer = std::make_shared<asio::steady_timer>(loop_, std::chrono::seconds(1));
    timer->async_wait([timer, finish](const std::error_code&) { finish(); });
}

} // namespace brimo::fs
