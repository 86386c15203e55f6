#pragma once

#include "service/tunnel/TunnelFrame.h"
#include "service/tunnel/TunnelTransport.h"

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

namespace brimo {

enum class TunnelEndpointRole { client, server };

// Which side allocated a flow id; not on the wire (requests and responses belong to the
// client's calls, notifications to the server's pushes).
enum class TunnelFlowScope { clientRPC, serverPush };

struct TunnelFlowID {
    TunnelFlowScope scope;
    uint32_t value;
};

enum class TunnelEngineError {
    unknownFlow,
    notBound,
    notStarted,
    invalidFrame,
    disconnected,
    payloadTooLarge,
    protocolViolation
};

class TunnelEngineFailure : public std::runtime_error {
public:
    explicit TunnelEngineFailure(TunnelEngineError error, uint32_t flowID = 0);
    TunnelEngineError error() const { return error_; }
    // The flow id of an unknownFlow failure.
    uint32_t flowID() const { return flowID_; }

private:
    TunnelEngineError error_;
    uint32_t flowID_;
};

struct TunnelMessage {
    uint16_t code = 0;
    Bytes payload;
};

// The endpoint of the framed request/response protocol with server pushes. Bound as client, it
// sends requests and matches responses by flow id; bound as server, it answers requests through
// a handler and sends queued notifications between responses.
//
// An actor on the event loop: every member runs there, re-entrant at each co_await.
class TunnelEngine {
public:
    using RequestHandler = std::function<asio::awaitable<TunnelMessage>(uint16_t, Bytes)>;
    // Called on the loop; must not block.
    using NotifyHandler = std::function<void(uint16_t, const Bytes&)>;

    // The process-wide engine, on the main loop.
    static TunnelEngine& shared();

    explicit TunnelEngine(asio::any_io_executor executor);
    ~TunnelEngine();
    TunnelEngine(const TunnelEngine&) = delete;
    TunnelEngine& operator=(const TunnelEngine&) = delete;

    // Client role only. Waits, without a deadline, for the response, a failed send or the end
    // of the binding. Throws TunnelEngineFailure.
    asio::awaitable<TunnelMessage> request(uint16_t code, Bytes payload);

    // Call stop() first, then startReading().
    void bind(std::shared_ptr<TunnelTransport> transport, TunnelEndpointRole role,
              std::string tunnelKey, RequestHandler requestHandler, NotifyHandler notifyHandler);
    void startReading();
    // Tears the binding down; every waiter gets `disconnected`. Safe when unbound.
    asio::awaitable<void> stop();
    asio::awaitable<void> failAll(TunnelEngineError error);
    // Server role: queues a notification, sent when no response is being answered or written.
    void enqueueNotification(uint16_t code, Bytes payload);

    const std::optional<std::string>& tunnelKey() const { return tunnelKey_; }
    std::optional<TunnelEndpointRole> role() const { return role_; }
    bool isBound() const { return transport_ != nullptr; }
    size_t pendingCount() const { return pendingResponses_.size(); }
    // The next flow id to hand out; settable so the wrap-around can be exercised.
    uint32_t nextFlowID() const { return nextFlowID_; }
    void setNextFlowID(uint32_t next) { nextFlowID_ = next; }

private:
    class PendingRPC;
    struct ReadTask;

    uint32_t allocateFlowID();
    asio::awaitable<void> sendRequestFrame(uint32_t flowID, Bytes header, Bytes payload);
    asio::awaitable<void> sendFrame(Bytes header, Bytes payload);
    asio::awaitable<void> readLoop(std::shared_ptr<ReadTask> task);
    void handleFrame(const TunnelFrameHeader& header, Bytes payload);
    asio::awaitable<void> serveRequest(uint32_t flowID, uint16_t code, Bytes payload);
    asio::awaitable<void> flushNotifyQueue();
    void failPending(TunnelEngineError error);

    asio::any_io_executor executor_;
    std::shared_ptr<TunnelTransport> transport_;
    std::optional<TunnelEndpointRole> role_;
    std::optional<std::string> tunnelKey_;
    std::shared_ptr<ReadTask> readTask_;
    RequestHandler requestHandler_;
    NotifyHandler notifyHandler_;
    uint32_t nextFlowID_ = 1;
    std::map<uint32_t, std::shared_ptr<PendingRPC>> pendingResponses_;
    std::deque<TunnelMessage> notifyQueue_;
    int64_t handlingRequestCount_ = 0;
    bool isSending_ = false;
};

const char* describe(TunnelEngineError error);

} // namespace brimo
