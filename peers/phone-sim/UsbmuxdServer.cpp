#include "peers/phone-sim/UsbmuxdServer.h"

#include "peers/phone-sim/DevicePipe.h"
#include "peers/phone-sim/DeviceRegistry.h"
#include "peers/phone-sim/PhoneAppConnection.h"
#include "peers/phone-sim/PlistMessages.h"
#include "peers/phone-sim/UnixListener.h"
#include "peers/phone-sim/UsbmuxPacket.h"

#include <array>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/read.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <deque>

namespace brimo::sim {

namespace {

using Socket = asio::local::stream_protocol::socket;
using asio::use_awaitable;
using namespace asio::experimental::awaitable_operators;

// Any stable value in the format of a real host's BUID.
constexpr const char* kBuid = "5F1D1B2C-3E4A-4B5C-8D6E-7F8091A2B3C4";

asio::awaitable<void> sendPlist(Socket& socket, uint32_t tag, const std::string& xml) {
    std::string packet = encodePlistPacket(tag, xml);
    co_await asio::async_write(socket, asio::buffer(packet), use_awaitable);
}

// Events waiting to go out on one Listen connection; `wake` is cancelled when one is added.
struct EventQueue {
    std::deque<std::string> packets;
    asio::steady_timer wake;
};

asio::awaitable<void> writeEvents(Socket& socket, EventQueue& queue) {
    for (;;) {
        while (!queue.packets.empty()) {
            std::string packet = std::move(queue.packets.front());
            queue.packets.pop_front();
            co_await asio::async_write(socket, asio::buffer(packet), use_awaitable);
        }
        queue.wake.expires_at(asio::steady_timer::time_point::max());
        asio::error_code ec;
        co_await queue.wake.async_wait(asio::redirect_error(use_awaitable, ec));
        auto state = co_await asio::this_coro::cancellation_state;
        if (state.cancelled() != asio::cancellation_type::none) co_return;
    }
}

// A Listen client never sends anything more; reading only tells us when it goes away.
asio::awaitable<void> waitForClose(Socket& socket) {
    std::array<char, 256> ignored;
    asio::error_code ec;
    while (!ec)
        co_await socket.async_read_some(asio::buffer(ignored),
                                        asio::redirect_error(use_awaitable, ec));
}

} // namespace

struct UsbmuxdServer::Impl {
    Impl(asio::io_context& io, DeviceRegistry& registry, FramedPhoneApp& app,
         const std::string& path)
        : registry(registry)
        , app(app)
        , acceptor(listenUnix(io, path)) {}

    asio::awaitable<void> serve(Socket socket);
    asio::awaitable<void> listen(Socket& socket, uint32_t tag);
    asio::awaitable<void> connect(Socket socket, uint32_t tag, const UsbmuxRequest& request);

    DeviceRegistry& registry;
    FramedPhoneApp& app;
    asio::local::stream_protocol::acceptor acceptor;
};

UsbmuxdServer::UsbmuxdServer(asio::io_context& io, DeviceRegistry& registry, FramedPhoneApp& app,
                             const std::string& socketPath)
    : impl_(std::make_unique<Impl>(io, registry, app, socketPath)) {
    asio::co_spawn(
        io,
        acceptEach(impl_->acceptor,
                   [impl = impl_.get()](Socket socket) { return impl->serve(std::move(socket)); }),
        asio::detached);
}

UsbmuxdServer::~UsbmuxdServer() = default;

asio::awaitable<void> UsbmuxdServer::Impl::serve(Socket socket) {
    try {
        for (;;) {
            std::array<uint8_t, kHeaderSize> raw;
            co_await asio::async_read(socket, asio::buffer(raw), use_awaitable);
            PacketHeader header = decodeHeader(raw);
            if (header.length < kHeaderSize || header.length > kMaxPacketLength) co_return;
            std::string payload(header.length - kHeaderSize, '\0');
            co_await asio::async_read(socket, asio::buffer(payload), use_awaitable);

            // Binary (version 0) requests only follow a BADVERSION answer, which we never give.
            auto request = header.message == kMessagePlist ? parseRequest(payload) : std::nullopt;
            const std::string type = request ? request->messageType : "";
            if (type == "ListDevices") {
                ++registry.stats().lists;
                co_await sendPlist(socket, header.tag, deviceListXml(registry.devices()));
            } else if (type == "Listen") {
                co_await listen(socket, header.tag);
                co_return;
            } else if (type == "Connect") {
                co_await connect(std::move(socket), header.tag, *request);
                co_return;
            } else if (type == "ReadBUID") {
                co_await sendPlist(socket, header.tag, buidXml(kBuid));
            } else if (type == "ReadPairRecord") {
                co_await sendPlist(socket, header.tag, resultXml(kResultBadDevice));
            } else {
                co_await sendPlist(socket, header.tag, resultXml(kResultBadCommand));
            }
        }
    } catch (const asio::system_error&) {
        // The client went away; nothing to clean up beyond the socket.
    }
}

// Result first, then the devices already present, then live events: the client takes the
// first packet as the answer, so anything before the Result would be lost.
asio::awaitable<void> UsbmuxdServer::Impl::listen(Socket& socket, uint32_t tag) {
    ++registry.stats().listens;
    EventQueue queue{{}, asio::steady_timer(socket.get_executor())};
    queue.packets.push_back(encodePlistPacket(tag, resultXml(kResultOk)));
    for (const DeviceInfo& device : registry.devices())
        queue.packets.push_back(encodePlistPacket(0, attachedXml(device)));
    uint64_t subscription = registry.subscribe([&queue](const DeviceEvent& event) {
        queue.packets.push_back(encodePlistPacket(0, event.kind == DeviceEvent::Kind::attached
                                                         ? attachedXml(event.device)
                                                         : detachedXml(event.device.id)));
        queue.wake.cancel();
    });
    struct Unsubscribe {
        DeviceRegistry& registry;
        uint64_t subscription;
        ~Unsubscribe() { registry.unsubscribe(subscription); }
    } unsubscribe{registry, subscription};
    co_await (writeEvents(socket, queue) || waitForClose(socket));
}

asio::awaitable<void> UsbmuxdServer::Impl::connect(Socket socket, uint32_t tag,
                                                   const UsbmuxRequest& request) {
    const DeviceInfo* device = request.deviceId ? registry.findById(*request.deviceId) : nullptr;
    if (!device) {
        co_await sendPlist(socket, tag, resultXml(kResultBadDevice));
        co_return;
    }
    const DeviceInfo info = *device;
    const uint32_t deviceId = device->id;
    auto faults = registry.faults(device->udid);
    if (request.port != kAppPort || faults->refuseConnect) {
        co_await sendPlist(socket, tag, resultXml(kResultConnRefused));
        co_return;
    }
    co_await sendPlist(socket, tag, resultXml(kResultOk));
    // The device may have been detached while the answer was on its way.
    if (!registry.findById(deviceId)) co_return;
    ++registry.stats().connects;

    DevicePipe pipe(std::move(socket), registry.link(deviceId), faults);
    struct Registration {
        DeviceRegistry& registry;
        uint64_t handle;
        ~Registration() { registry.removePipe(handle); }
    } registration{registry, registry.addPipe(deviceId, [&pipe] { pipe.close(); })};
    co_await PhoneAppConnection(pipe, app, registry, info).run();
}

} // namespace brimo::sim
