#include "shared/ipc/detail/BusPeer.h"

#include "shared/Log.h"
#include "shared/ipc/Names.h"

#include <asio/post.hpp>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <string>
#include <system_error>
#include <systemd/sd-bus.h>
#include <unistd.h>
#include <vector>

namespace brimo::ipc::detail {

namespace {

using log::xpcLog;

int appendValues(sd_bus_message* m, const Values& values) {
    for (const Value& value : values) {
        int r = 0;
        if (auto* b = std::get_if<bool>(&value)) {
            int flag = *b;
            r = sd_bus_message_append_basic(m, 'b', &flag);
        } else if (auto* x = std::get_if<int64_t>(&value)) {
            r = sd_bus_message_append_basic(m, 'x', x);
        } else if (auto* t = std::get_if<uint64_t>(&value)) {
            r = sd_bus_message_append_basic(m, 't', t);
        } else if (auto* d = std::get_if<double>(&value)) {
            r = sd_bus_message_append_basic(m, 'd', d);
        } else if (auto* s = std::get_if<std::string>(&value)) {
            r = sd_bus_message_append_basic(m, 's', s->c_str());
        } else {
            const Bytes& bytes = std::get<Bytes>(value);
            r = sd_bus_message_append_array(m, 'y', bytes.data(), bytes.size());
        }
        if (r < 0) return r;
    }
    return 0;
}

int readValues(sd_bus_message* m, std::string_view signature, Values& out) {
    for (size_t i = 0; i < signature.size(); ++i) {
        int r = 0;
        switch (signature[i]) {
        case 'b': {
            int flag = 0;
            r = sd_bus_message_read_basic(m, 'b', &flag);
            out.emplace_back(flag != 0);
            break;
        }
        case 'x': {
            int64_t x = 0;
            r = sd_bus_message_read_basic(m, 'x', &x);
            out.emplace_back(x);
            break;
        }
        case 't': {
            uint64_t t = 0;
            r = sd_bus_message_read_basic(m, 't', &t);
            out.emplace_back(t);
            break;
        }
        case 'd': {
            double d = 0;
            r = sd_bus_message_read_basic(m, 'd', &d);
            out.emplace_back(d);
            break;
        }
        case 's': {
            const char* s = nullptr;
            r = sd_bus_message_read_basic(m, 's', &s);
            out.emplace_back(std::string(s ? s : ""));
            break;
        }
        default: { // "ay", the only container in the tables
            const void* data = nullptr;
            size_t size = 0;
            r = sd_bus_message_read_array(m, 'y', &data, &size);
            const auto* bytes = static_cast<const uint8_t*>(data);
            out.emplace_back(Bytes(bytes, bytes + size));
            ++i;
            break;
        }
        }
        if (r < 0) return r;
        if (r == 0) return -EBADMSG; // fewer arguments than the signature says
    }
    return 0;
}

// sd-bus reads the table until the last bus using it is freed, which may be during static
// destruction; so it is built once per interface and never destroyed.
const std::vector<sd_bus_vtable>* vtableFor(std::span<const Member> members,
                                            sd_bus_message_handler_t handler) {
    auto* table = new std::vector<sd_bus_vtable>;
    table->push_back(SD_BUS_VTABLE_START(0));
    for (const Member& m : members) {
        const uint64_t flags = SD_BUS_VTABLE_UNPRIVILEGED |
                               (m.oneWay ? uint64_t{SD_BUS_VTABLE_METHOD_NO_REPLY} : uint64_t{0});
        table->push_back(SD_BUS_METHOD(m.name, m.in, m.out, handler, flags));
    }
    table->push_back(SD_BUS_VTABLE_END);
    return table;
}

const Member* findMember(const char* interface, const char* name) {
    for (auto members : {hostMembers(), clientMembers()})
        for (const Member& m : members)
            if (interface && name && std::string_view(interface) == m.interface &&
                std::string_view(name) == m.name)
                return &m;
    return nullptr;
}

} // namespace

// Answers one incoming call. Holds the call message, which keeps the bus object alive; once
// the connection is closed, sending simply fails.
class BusPeer::MessageReply : public ReplySink {
public:
    MessageReply(sd_bus_message* call, std::weak_ptr<BusPeer> peer)
        : call_(sd_bus_message_ref(call))
        , peer_(std::move(peer)) {}
    ~MessageReply() override { sd_bus_message_unref(call_); }

    void send(Values values) override {
        sd_bus_message* reply = nullptr;
        int r = sd_bus_message_new_method_return(call_, &reply);
        if (r >= 0) r = appendValues(reply, values);
        if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
        sd_bus_message_unref(reply);
        if (r < 0) xpcLog.debug("reply not sent: %s", strerror(-r));
        flush();
    }

    void abandon() override {
        sd_bus_reply_method_errorf(call_, kErrorNoReply, "%s was not answered",
                                   sd_bus_message_get_member(call_));
        flush();
    }

private:
    void flush() {
        if (auto peer = peer_.lock()) peer->schedulePump();
    }

    sd_bus_message* call_;
    std::weak_ptr<BusPeer> peer_;
};

std::shared_ptr<BusPeer> BusPeer::adopt(asio::any_io_executor loop, int fd, Role role) {
    sd_bus* bus = nullptr;
    int r = sd_bus_new(&bus);
    if (r >= 0) r = sd_bus_set_fd(bus, fd, fd);
    if (r >= 0 && role == Role::server) {
        sd_id128_t id;
        r = sd_id128_randomize(&id);
        if (r >= 0) r = sd_bus_set_server(bus, 1, id);
    }
    if (r < 0) {
        sd_bus_unref(bus);
        ::close(fd);
        throw std::system_error(-r, std::generic_category(), "sd-bus peer setup");
    }
    return std::shared_ptr<BusPeer>(new BusPeer(std::move(loop), bus, fd));
}

BusPeer::BusPeer(asio::any_io_executor loop, sd_bus* bus, int fd)
    : loop_(loop)
    , bus_(bus)
    , socket_(loop, fd)
    , timer_(loop) {}

BusPeer::~BusPeer() {
    if (!bus_) return;
    socket_.release();
    sd_bus_close_unref(bus_); // closes the socket
}

void BusPeer::exportObject(const char* interface, Dispatch dispatch) {
    interface_ = interface;
    dispatch_ = std::move(dispatch);
}

void BusPeer::setClosedHandler(std::function<void()> handler) {
    closedHandler_ = std::move(handler);
}

void BusPeer::start() {
    if (started_ || !bus_) return;
    started_ = true;
    int r = 0;
    if (dispatch_) {
        static const auto* host = vtableFor(hostMembers(), &BusPeer::onMethod);
        static const auto* client = vtableFor(clientMembers(), &BusPeer::onMethod);
        const bool isHost = std::string_view(interface_) == kHostInterface;
        r = sd_bus_add_object_vtable(bus_, nullptr, kObjectPath, interface_,
                                     (isHost ? host : client)->data(), this);
        if (r >= 0) r = sd_bus_add_filter(bus_, nullptr, &BusPeer::onSignal, this);
    }
    if (r >= 0) r = sd_bus_start(bus_);
    if (r < 0) {
        xpcLog.error("bus start failed: %s", strerror(-r));
        close();
        return;
    }
    schedulePump();
}

void BusPeer::close() {
    if (closing_ || !bus_) return;
    closing_ = true;
    asio::post(loop_, [self = shared_from_this()] { self->finish(kErrorInvalid); });
}

void BusPeer::detach() {
    closedHandler_ = nullptr;
    pending_.clear();
    close();
}

bool BusPeer::isOpen() const {
    return bus_ && !closing_ && sd_bus_is_open(bus_) > 0;
}

void BusPeer::call(const Member& member, Values args, Callback<void(Values)> onReply,
                   ErrorHandler onError) {
    if (!isOpen()) {
        postError(std::move(onError), {kErrorInvalid, "the connection is closed"});
        return;
    }
    sd_bus_message* m = nullptr;
    int r = sd_bus_message_new_method_call(bus_, &m, nullptr, kObjectPath, member.interface,
                                           member.name);
    if (r >= 0) r = appendValues(m, args);
    if (r >= 0 && member.oneWay) {
        r = sd_bus_message_set_expect_reply(m, 0);
        if (r >= 0) r = sd_bus_send(bus_, m, nullptr);
    } else if (r >= 0) {
        // UINT64_MAX: no time-out; a call ends only by its reply or the connection's end.
        r = sd_bus_call_async(bus_, nullptr, m, &BusPeer::onReply, this, UINT64_MAX);
        uint64_t cookie = 0;
        if (r >= 0) r = sd_bus_message_get_cookie(m, &cookie);
        if (r >= 0) pending_[cookie] = Pending{&member, std::move(onReply), onError};
    }
    sd_bus_message_unref(m);
    if (r < 0) postError(std::move(onError), {kErrorInvalid, strerror(-r)});
    schedulePump();
}

int BusPeer::onMethod(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    auto* peer = static_cast<BusPeer*>(userdata);
    const Member* member =
        findMember(sd_bus_message_get_interface(m), sd_bus_message_get_member(m));
    if (!member)
        return sd_bus_error_set(error, SD_BUS_ERROR_UNKNOWN_METHOD, "no such bridge member");
    Values args;
    if (int r = readValues(m, member->in, args); r < 0)
        return sd_bus_error_set(error, SD_BUS_ERROR_INVALID_ARGS, "arguments do not match");
    std::unique_ptr<ReplySink> reply;
    if (!member->oneWay) reply = std::make_unique<MessageReply>(m, peer->weak_from_this());
    peer->deliver(*member, std::move(args), std::move(reply));
    return 1;
}

// A one-way member carries no reply, so a signal of that name at the bridge object is served
// like the call: that is what `dbus-send` sends unless told `--type=method_call`.
int BusPeer::onSignal(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* peer = static_cast<BusPeer*>(userdata);
    if (!peer->dispatch_ || sd_bus_message_is_signal(m, peer->interface_, nullptr) <= 0) return 0;
    const char* path = sd_bus_message_get_path(m);
    const Member* member = findMember(peer->interface_, sd_bus_message_get_member(m));
    if (!path || std::string_view(path) != kObjectPath || !member || !member->oneWay) return 0;
    Values args;
    if (readValues(m, member->in, args) < 0) return 0;
    peer->deliver(*member, std::move(args), nullptr);
    return 1;
}

void BusPeer::deliver(const Member& member, Values args, std::unique_ptr<ReplySink> reply) {
    try {
        dispatch_(member, std::move(args), std::move(reply));
    } catch (const std::exception& e) {
        // The reply went down with the handler's frame and has answered with an error.
        xpcLog.error("%s failed: %s", member.name, e.what());
    }
}

int BusPeer::onReply(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* peer = static_cast<BusPeer*>(userdata);
    uint64_t cookie = 0;
    sd_bus_message_get_reply_cookie(m, &cookie);
    auto it = peer->pending_.find(cookie);
    if (it == peer->pending_.end()) return 0;
    Pending pending = std::move(it->second);
    peer->pending_.erase(it);

    if (sd_bus_message_is_method_error(m, nullptr)) {
        const sd_bus_error* e = sd_bus_message_get_error(m);
        if (!pending.onError) return 0;
        // While closing, sd-bus answers every pending call itself: the peer is gone.
        if (!sd_bus_is_open(peer->bus_))
            pending.onError({kErrorInterrupted, "the connection was closed"});
        else
            pending.onError({e->name ? e->name : "", e->message ? e->message : ""});
        return 0;
    }
    Values values;
    if (readValues(m, pending.member->out, values) < 0) {
        if (pending.onError)
            pending.onError({SD_BUS_ERROR_INVALID_ARGS, "reply does not match the signature"});
        return 0;
    }
    pending.onReply(std::move(values));
    return 0;
}

void BusPeer::schedulePump() {
    if (pumpPosted_ || !bus_ || !started_) return;
    pumpPosted_ = true;
    asio::post(loop_, [self = shared_from_this()] {
        self->pumpPosted_ = false;
        self->pump();
    });
}

void BusPeer::pump() {
    if (!bus_ || closing_) return;
    for (;;) {
        const int r = sd_bus_process(bus_, nullptr);
        if (closing_) return; // a handler closed us; the posted finish takes over
        if (r < 0) {
            finish(kErrorInterrupted);
            return;
        }
        if (r == 0) break;
    }
    arm();
}

void BusPeer::arm() {
    const int events = sd_bus_get_events(bus_);
    if (events < 0) {
        finish(kErrorInterrupted);
        return;
    }
    auto self = shared_from_this();
    if ((events & POLLIN) && !readArmed_) {
        readArmed_ = true;
        socket_.async_wait(asio::posix::descriptor_base::wait_read, [self](std::error_code ec) {
            self->readArmed_ = false;
            if (!ec) self->pump();
        });
    }
    if ((events & POLLOUT) && !writeArmed_) {
        writeArmed_ = true;
        socket_.async_wait(asio::posix::descriptor_base::wait_write, [self](std::error_code ec) {
            self->writeArmed_ = false;
            if (!ec) self->pump();
        });
    }
    uint64_t deadline = UINT64_MAX; // absolute CLOCK_MONOTONIC microseconds
    if (sd_bus_get_timeout(bus_, &deadline) >= 0 && deadline != UINT64_MAX) {
        timer_.expires_at(std::chrono::steady_clock::time_point(
            std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                std::chrono::microseconds(deadline))));
        timer_.async_wait([self](std::error_code ec) {
            if (!ec) self->pump();
        });
    }
}

void BusPeer::finish(const char* errorName) {
    if (!bus_) return;
    socket_.cancel();
    timer_.cancel();
    socket_.release();
    sd_bus_close_unref(bus_);
    bus_ = nullptr;
    closing_ = true;
    auto pending = std::move(pending_);
    pending_.clear();
    const std::string message = errorName == std::string_view(kErrorInvalid)
                                    ? "the connection was invalidated"
                                    : "the connection was closed";
    for (auto& [cookie, call] : pending)
        call.onError({errorName, message});
    if (auto handler = std::move(closedHandler_)) handler();
}

void BusPeer::postError(ErrorHandler onError, RemoteError error) {
    if (!onError) return;
    asio::post(loop_, [onError = std::move(onError), error = std::move(error)] { onError(error); });
}

} // namespace brimo::ipc::detail
