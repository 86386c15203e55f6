#include "fuzz/FuzzCheck.h"
#include "service/tunnel/TunnelEngine.h"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>
#include <map>
#include <span>
#include <vector>

using namespace brimo;

namespace {

// The phone's side of the stream: receives hand out the input in the sizes the engine asks for,
// each after a turn of the loop as a socket read would take; the input's end is a disconnect.
// Sends are recorded.
class ScriptedTransport : public TunnelTransport {
public:
    ScriptedTransport(asio::any_io_executor executor, std::span<const uint8_t> input)
        : executor_(std::move(executor))
        , input_(input) {}

    asio::awaitable<void> send(Bytes header, Bytes payload) override {
        FUZZ_CHECK(!closed);
        header.insert(header.end(), payload.begin(), payload.end());
        sent.push_back(std::move(header));
        co_return;
    }
    asio::awaitable<Bytes> receive(size_t count) override {
        co_await asio::post(executor_, asio::use_awaitable);
        if (input_.size() < count) throw TunnelTransportFailure(TunnelTransportError::disconnected);
        Bytes bytes(input_.begin(), input_.begin() + count);
        input_ = input_.subspan(count);
        co_return bytes;
    }
    asio::awaitable<void> close() override {
        closed = true;
        co_return;
    }

    std::vector<Bytes> sent;
    bool closed = false;

private:
    asio::any_io_executor executor_;
    std::span<const uint8_t> input_;
};

struct Frame {
    TunnelFrameHeader header;
    Bytes payload;
};

// The frames the input holds, up to the first one that does not decode or is cut off.
std::vector<Frame> framesOf(std::span<const uint8_t> input) {
    std::vector<Frame> frames;
    while (input.size() >= kTunnelHeaderSize) {
        const auto header =
            decodeTunnelFrameHeader(Bytes(input.begin(), input.begin() + kTunnelHeaderSize));
        if (!header || input.size() - kTunnelHeaderSize < header->length) break;
        const auto payload = input.subspan(kTunnelHeaderSize, header->length);
        frames.push_back({*header, Bytes(payload.begin(), payload.end())});
        input = input.subspan(kTunnelHeaderSize + header->length);
    }
    return frames;
}

Frame decodeSent(const Bytes& frame) {
    FUZZ_CHECK(frame.size() >= kTunnelHeaderSize);
    const auto header =
        decodeTunnelFrameHeader(Bytes(frame.begin(), frame.begin() + kTunnelHeaderSize));
    FUZZ_CHECK(header.has_value());
    FUZZ_CHECK(frame.size() == kTunnelHeaderSize + header->length);
    return {*header, Bytes(frame.begin() + kTunnelHeaderSize, frame.end())};
}

struct Outcome {
    std::optional<TunnelMessage> response;
    std::optional<TunnelEngineError> error;
};

// Client role: `count` requests wait while the phone's frames arrive. Notifications reach the
// handler in order; each response resolves the request of its flow; the first frame a client
// cannot take (a request, an unassigned kind, an unknown flow) or the end of the stream fails
// every request still waiting with `disconnected`.
void runClient(std::span<const uint8_t> stream, int count) {
    asio::io_context loop;
    auto transport = std::make_shared<ScriptedTransport>(loop.get_executor(), stream);
    TunnelEngine engine(loop.get_executor());
    std::vector<TunnelMessage> notifications;
    engine.bind(transport, TunnelEndpointRole::client, "fuzz", nullptr,
                [&](uint16_t code, const Bytes& payload) {
                    notifications.push_back({code, payload});
                });
    std::vector<Outcome> outcomes(count);
    for (int i = 0; i < count; ++i) {
        asio::co_spawn(
            loop,
            [&engine, &outcome = outcomes[i], i]() -> asio::awaitable<void> {
                try {
                    outcome.response =
                        co_await engine.request(static_cast<uint16_t>(i), Bytes(i, 0xA5));
                } catch (const TunnelEngineFailure& failure) {
                    outcome.error = failure.error();
                }
            },
            asio::detached);
    }
    engine.startReading();
    loop.run();

    // Which flow each request went out on.
    std::map<uint32_t, int> requestOfFlow;
    FUZZ_CHECK(transport->sent.size() == static_cast<size_t>(count));
    for (const Bytes& bytes : transport->sent) {
        const Frame sent = decodeSent(bytes);
        FUZZ_CHECK(sent.header.kind == static_cast<uint8_t>(TunnelFrameKind::request));
        FUZZ_CHECK(sent.header.code < count && sent.payload == Bytes(sent.header.code, 0xA5));
        FUZZ_CHECK(requestOfFlow.emplace(sent.header.flowID, sent.header.code).second);
    }

    std::vector<TunnelMessage> expectedNotifications;
    std::vector<std::optional<TunnelMessage>> expectedResponses(count);
    for (const Frame& frame : framesOf(stream)) {
        if (frame.header.kind == static_cast<uint8_t>(TunnelFrameKind::notify)) {
            expectedNotifications.push_back({frame.header.code, frame.payload});
            continue;
        }
        const auto it = requestOfFlow.find(frame.header.flowID);
        if (frame.header.kind != static_cast<uint8_t>(TunnelFrameKind::response) ||
            it == requestOfFlow.end())
            break;
        expectedResponses[it->second] = TunnelMessage{frame.header.code, frame.payload};
        requestOfFlow.erase(it);
    }

    FUZZ_CHECK(notifications.size() == expectedNotifications.size());
    for (size_t i = 0; i < notifications.size(); ++i)
        FUZZ_CHECK(notifications[i].code == expectedNotifications[i].code &&
                   notifications[i].payload == expectedNotifications[i].payload);
    for (int i = 0; i < count; ++i) {
        if (expectedResponses[i]) {
            FUZZ_CHECK(outcomes[i].response && !outcomes[i].error);
            FUZZ_CHECK(outcomes[i].response->code == expectedResponses[i]->code &&
                       outcomes[i].response->payload == expectedResponses[i]->payload);
        } else {
            FUZZ_CHECK(!outcomes[i].response &&
                       outcomes[i].error == TunnelEngineError::disconnected);
        }
    }
    FUZZ_CHECK(!engine.isBound() && engine.pendingCount() == 0 && transport->closed);
}

// Server role: each request with a flow id reaches the handler, which echoes it and, for an odd
// code, queues a notification of its own. Responses go out in order on the request's flow; the
// notifications that go out do so in order, between responses. The first frame a server cannot
// take (anything but a request, flow id 0) or the end of the stream ends the binding.
void runServer(std::span<const uint8_t> stream) {
    asio::io_context loop;
    auto transport = std::make_shared<ScriptedTransport>(loop.get_executor(), stream);
    TunnelEngine engine(loop.get_executor());
    std::vector<TunnelMessage> handled;
    engine.bind(
        transport, TunnelEndpointRole::server, "fuzz",
        [&](uint16_t code, Bytes payload) -> asio::awaitable<TunnelMessage> {
            handled.push_back({code, payload});
            if (code % 2 == 1) engine.enqueueNotification(code, {static_cast<uint8_t>(code)});
            co_return TunnelMessage{code, std::move(payload)};
        },
        nullptr);
    engine.startReading();
    loop.run();

    std::vector<Frame> expected;
    for (const Frame& frame : framesOf(stream)) {
        if (frame.header.kind != static_cast<uint8_t>(TunnelFrameKind::request) ||
            frame.header.flowID == 0)
            break;
        expected.push_back(frame);
    }
    FUZZ_CHECK(handled.size() == expected.size());
    for (size_t i = 0; i < handled.size(); ++i)
        FUZZ_CHECK(handled[i].code == expected[i].header.code &&
                   handled[i].payload == expected[i].payload);

    size_t responses = 0;
    std::vector<uint16_t> notified;
    for (const Bytes& bytes : transport->sent) {
        const Frame sent = decodeSent(bytes);
        if (sent.header.kind == static_cast<uint8_t>(TunnelFrameKind::notify)) {
            FUZZ_CHECK(sent.header.flowID != 0 && sent.payload.size() == 1 &&
                       sent.payload[0] == static_cast<uint8_t>(sent.header.code));
            notified.push_back(sent.header.code);
            continue;
        }
        FUZZ_CHECK(sent.header.kind == static_cast<uint8_t>(TunnelFrameKind::response));
        FUZZ_CHECK(responses < expected.size());
        const Frame& request = expected[responses++];
        FUZZ_CHECK(sent.header.flowID == request.header.flowID &&
                   sent.header.code == request.header.code && sent.payload == request.payload);
    }
    FUZZ_CHECK(responses == expected.size());
    std::vector<uint16_t> queued;
    for (const Frame& frame : expected)
        if (frame.header.code % 2 == 1) queued.push_back(frame.header.code);
    FUZZ_CHECK(notified.size() <= queued.size() &&
               std::equal(notified.begin(), notified.end(), queued.begin()));
    FUZZ_CHECK(!engine.isBound() && transport->closed);
}

} // namespace

// The first byte picks the role (bit 0) and, for a client, how many requests wait (bits 1-3);
// the rest is what the phone sends.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::span<const uint8_t> stream(data + 1, size - 1);
    if (data[0] & 1)
        runServer(stream);
    else
        runClient(stream, (data[0] >> 1) & 7);
    return 0;
}
