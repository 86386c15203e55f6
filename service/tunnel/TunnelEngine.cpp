#include "service/tunnel/TunnelEngine.h"

#include "shared/EventLoop.h"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

namespace brimo {

const char* describe(TunnelEngineError error) {
    switch (error) {
    case TunnelEngineError::unknownFlow:
        return "response for an unknown flow";
    case TunnelEngineError::notBound:
        return "tunnel engine not bound";
    case TunnelEngineError::notStarted:
        return "tunnel engine not started";
    case TunnelEngineError::invalidFrame:
        return "invalid frame";
    case TunnelEngineError::disconnected:
        return "disconnected";
    case TunnelEngineError::payloadTooLarge:
        return "payload too large";
    case TunnelEngineError::protocolViolation:
        return "protocol violation";
    }
    return "tunnel engine error";
}

TunnelEngineFailure::TunnelEngineFailure(TunnelEngineError error, uint32_t flowID)
    : std::runtime_error(describe(error))
    , error_(error)
    , flowID_(flowID) {}

// One waiting request: resumed once, with the response or an error.
class TunnelEngine::PendingRPC {
public:
    explicit PendingRPC(asio::any_io_executor executor)
        : timer_(std::move(executor), asio::steady_timer::time_point::max()) {}

    void resolve(TunnelMessage response) {
        if (!done()) {
            response_ = std::move(response);
            timer_.cancel();
        }
    }
    void fail(TunnelEngineError error) {
        if (!done()) {
            error_ = error;
            timer_.cancel();
        }
    }
    asio::awaitable<TunnelMessage> wait() {
        if (!done()) {
            asio::error_code ec;
            co_await timer_.async_wait(asio::redirect_error(asio::use_awaitable, ec));
        }
        if (response_) co_return std::move(*response_);
        if (error_) throw TunnelEngineFailure(*error_);
        // The waiting coroutine itself was cancelled.
        throw asio::system_error(asio::error::operation_aborted);
    }

private:
    bool done() const { return response_ || error_; }

    asio::steady_timer timer_;
    std::optional<TunnelMessage> response_;
    std::optional<TunnelEngineError> error_;
};

// A read loop notices that it was stopped through this flag: its pending receive cannot be
// cancelled, and whatever it returns after the stop belongs to a binding that is gone.
struct TunnelEngine::ReadTask {
    bool cancelled = false;
};

TunnelEngine& TunnelEngine::shared() {
    static TunnelEngine engine(mainLoop().get_executor());
    return engine;
}

TunnelEngine::TunnelEngine(asio::any_io_executor executor)
    : executor_(std::move(executor)) {}

TunnelEngine::~TunnelEngine() {
    if (readTask_) readTask_->cancelled = true;
}

uint32_t TunnelEngine::allocateFlowID() {
    const uint32_t id = nextFlowID_;
    nextFlowID_ = id == UINT32_MAX ? 1 : id + 1;
    return id;
}

asio::awaitable<TunnelMessage> TunnelEngine::request(uint16_t code, Bytes payload) {
    if (!transport_ || role_ != TunnelEndpointRole::client)
        throw TunnelEngineFailure(TunnelEngineError::notBound);
    if (payload.size() > kTunnelMaxPayload)
        throw TunnelEngineFailure(TunnelEngineError::payloadTooLarge);
    const uint32_t flowID = allocateFlowID();
    auto header = encodeTunnelFrameHeader(TunnelFrameKind::request, code, flowID, payload.size());
    if (!header) throw TunnelEngineFailure(TunnelEngineError::invalidFrame);
    // Registered before the send starts, so a response can never overtake its waiter.
    auto pending = std::make_shared<PendingRPC>(executor_);
    pendingResponses_[flowID] = pending;
    asio::co_spawn(executor_, sendRequestFrame(flowID, std::move(*header), std::move(payload)),
                   asio::detached);
    co_return co_await pending->wait();
}

asio::awaitable<void> TunnelEngine::sendRequestFrame(uint32_t flowID, Bytes header, Bytes payload) {
    std::optional<TunnelEngineError> failure;
    try {
        co_await sendFrame(std::move(header), std::move(payload));
    } catch (const TunnelEngineFailure& error) {
        failure = error.error();
    }
    if (!failure) co_return;
    if (auto it = pendingResponses_.find(flowID); it != pendingResponses_.end()) {
        auto pending = it->second;
        pendingResponses_.erase(it);
        pending->fail(*failure);
    }
}

asio::awaitable<void> TunnelEngine::sendFrame(Bytes header, Bytes payload) {
    auto transport = transport_;
    if (!transport) throw TunnelEngineFailure(TunnelEngineError::notBound);
    isSending_ = true;
    bool sent = true;
    try {
        co_await transport->send(std::move(header), std::move(payload));
    } catch (const std::exception&) {
        sent = false;
    }
    isSending_ = false;
    if (!sent) throw TunnelEngineFailure(TunnelEngineError::disconnected);
}

void TunnelEngine::bind(std::shared_ptr<TunnelTransport> transport, TunnelEndpointRole role,
                        std::string tunnelKey, RequestHandler requestHandler,
                        NotifyHandler notifyHandler) {
    transport_ = std::move(transport);
    role_ = role;
    tunnelKey_ = std::move(tunnelKey);
    requestHandler_ = std::move(requestHandler);
    notifyHandler_ = std::move(notifyHandler);
}

void TunnelEngine::startReading() {
    if (readTask_) return;
    readTask_ = std::make_shared<ReadTask>();
    asio::co_spawn(executor_, readLoop(readTask_), asio::detached);
}

asio::awaitable<void> TunnelEngine::readLoop(std::shared_ptr<ReadTask> task) {
    for (;;) {
        auto transport = transport_;
        if (!transport || task->cancelled) co_return;
        bool failed = false;
        try {
            const Bytes raw = co_await transport->receive(kTunnelHeaderSize);
            if (task->cancelled) co_return;
            const auto header = decodeTunnelFrameHeader(raw);
            if (!header) throw TunnelEngineFailure(TunnelEngineError::invalidFrame);
            Bytes payload;
            if (header->length > 0) {
                payload = co_await transport->receive(header->length);
                if (task->cancelled) co_return;
            }
            handleFrame(*header, std::move(payload));
        } catch (const std::exception&) {
            failed = true;
        }
        if (failed) {
            // Whatever the cause (a bad frame, an unknown flow, a dead stream), every waiter
            // sees `disconnected`, unless this loop's binding was stopped meanwhile.
            if (!task->cancelled) co_await failAll(TunnelEngineError::disconnected);
            co_return;
        }
    }
}

void TunnelEngine::handleFrame(const TunnelFrameHeader& header, Bytes payload) {
    if (role_ == TunnelEndpointRole::client) {
        if (header.kind == static_cast<uint8_t>(TunnelFrameKind::notify)) {
            if (notifyHandler_) notifyHandler_(header.code, payload);
            return;
        }
        if (header.kind == static_cast<uint8_t>(TunnelFrameKind::response)) {
            auto it = pendingResponses_.find(header.flowID);
            if (it == pendingResponses_.end())
                throw TunnelEngineFailure(TunnelEngineError::unknownFlow, header.flowID);
            auto pending = it->second;
            pendingResponses_.erase(it);
            pending->resolve({header.code, std::move(payload)});
            return;
        }
        throw TunnelEngineFailure(TunnelEngineError::protocolViolation);
    }
    if (role_ == TunnelEndpointRole::server &&
        header.kind == static_cast<uint8_t>(TunnelFrameKind::request)) {
        if (header.flowID == 0) throw TunnelEngineFailure(TunnelEngineError::invalidFrame);
        ++handlingRequestCount_;
        asio::co_spawn(executor_, serveRequest(header.flowID, header.code, std::move(payload)),
                       asio::detached);
        return;
    }
    throw TunnelEngineFailure(TunnelEngineError::protocolViolation);
}

asio::awaitable<void> TunnelEngine::serveRequest(uint32_t flowID, uint16_t code, Bytes payload) {
    TunnelMessage response{1, {}};
    if (auto handler = requestHandler_) {
        try {
            response = co_await handler(code, std::move(payload));
        } catch (const std::exception&) {
            // A handler that fails answers like a server without one.
            response = {1, {}};
        }
    }
    bool failed = false;
    auto header = encodeTunnelFrameHeader(TunnelFrameKind::response, response.code, flowID,
                                          response.payload.size());
    if (!header) {
        failed = true;
    } else {
        try {
            co_await sendFrame(std::move(*header), std::move(response.payload));
        } catch (const TunnelEngineFailure&) {
            failed = true;
        }
    }
    if (failed) co_await failAll(TunnelEngineError::disconnected);
    --handlingRequestCount_;
    try {
        co_await flushNotifyQueue();
    } catch (const TunnelEngineFailure&) {
    }
}

void TunnelEngine::enqueueNotification(uint16_t code, Bytes payload) {
    notifyQueue_.push_back({code, std::move(payload)});
    asio::co_spawn(
        executor_,
        [this]() -> asio::awaitable<void> {
            try {
                co_await flushNotifyQueue();
            } catch (const TunnelEngineFailure&) {
            }
        },
        asio::detached);
}

// Notifications go out only between responses, never interleaved with one being written.
asio::awaitable<void> TunnelEngine::flushNotifyQueue() {
    if (role_ != TunnelEndpointRole::server || handlingRequestCount_ != 0 || isSending_) co_return;
    while (!isSending_ && !notifyQueue_.empty()) {
        TunnelMessage entry = std::move(notifyQueue_.front());
        notifyQueue_.pop_front();
        const uint32_t flowID = allocateFlowID();
        auto header = encodeTunnelFrameHeader(TunnelFrameKind::notify, entry.code, flowID,
                                              entry.payload.size());
        if (!header) {
            if (handlingRequestCount_ > 0) co_return;
            continue;
        }
        co_await sendFrame(std::move(*header), std::move(entry.payload));
    }
}

void TunnelEngine::failPending(TunnelEngineError error) {
    auto pending = std::move(pendingResponses_);
    pendingResponses_.clear();
    for (auto& [flowID, waiter] : pending)
        waiter->fail(error);
}

asio::awaitable<void> TunnelEngine::failAll(TunnelEngineError error) {
    failPending(error);
    co_await stop();
}

asio::awaitable<void> TunnelEngine::stop() {
    if (readTask_) {
        readTask_->cancelled = true;
        readTask_.reset();
    }
    failPending(TunnelEngineError::disconnected);
    notifyQueue_.clear();
    auto transport = transport_;
    if (transport) co_await transport->close();
    // A new binding made while the close was awaited is not this stop's to clear.
    if (transport_ != transport) co_return;
    transport_.reset();
    role_.reset();
    tunnelKey_.reset();
    requestHandler_ = nullptr;
    notifyHandler_ = nullptr;
}

} // namespace brimo
