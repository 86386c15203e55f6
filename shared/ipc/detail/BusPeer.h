#pragma once

#include "shared/ipc/detail/CallTarget.h"

#include <asio/any_io_executor.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/steady_timer.hpp>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <systemd/sd-bus.h>

namespace brimo::ipc::detail {

// One D-Bus peer-to-peer connection on a connected Unix socket, driven by the loop: the socket
// is watched for what sd_bus_get_events asks, a timer follows sd_bus_get_timeout, and
// sd_bus_process runs until it has nothing left to do. Not thread-safe: loop thread only.
class BusPeer : public CallTarget, public std::enable_shared_from_this<BusPeer> {
public:
    enum class Role { server, client };
    using Dispatch = std::function<void(const Member&, Values, std::unique_ptr<ReplySink>)>;

    // Takes the socket (closed on failure too); throws std::system_error.
    static std::shared_ptr<BusPeer> adopt(asio::any_io_executor loop, int fd, Role role);
    ~BusPeer() override;

    // Before start(): serves `interface` at the bridge object path through `dispatch`.
    void exportObject(const char* interface, Dispatch dispatch);
    // Runs once when the bus is gone (peer or local close), after every pending call's error
    // handler.
    void setClosedHandler(std::function<void()> handler);
    void start();
    // Closes from the loop, never from inside the caller (which may be a handler of this bus).
    void close();
    // Closes without reporting anything: neither the closed handler nor any pending call's
    // error handler runs (their owner is going away).
    void detach();
    bool isOpen() const;

    void call(const Member& member, Values args, Callback<void(Values)> onReply,
              ErrorHandler onError) override;

private:
    struct Pending {
        const Member* member;
        Callback<void(Values)> onReply;
        ErrorHandler onError;
    };
    class MessageReply;

    BusPeer(asio::any_io_executor loop, sd_bus* bus, int fd);
    static int onMethod(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int onSignal(sd_bus_message* m, void* userdata, sd_bus_error* error);
    void deliver(const Member& member, Values args, std::unique_ptr<ReplySink> reply);
    static int onReply(sd_bus_message* m, void* userdata, sd_bus_error* error);
    void schedulePump();
    void pump();
    void arm();
    void finish(const char* errorName);
    void postError(ErrorHandler onError, RemoteError error);

    asio::any_io_executor loop_;
    sd_bus* bus_;
    asio::posix::stream_descriptor socket_;
    asio::steady_timer timer_;
    const char* interface_ = nullptr;
    Dispatch dispatch_;
    std::function<void()> closedHandler_;
    std::map<uint64_t, Pending> pending_;
    bool started_ = false;
    bool readArmed_ = false;
    bool writeArmed_ = false;
    bool pumpPosted_ = false;
    bool closing_ = false;
};

} // namespace brimo::ipc::detail
