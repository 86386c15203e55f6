#include "peers/phone-sim/ControlClient.h"

#include "peers/phone-sim/SimOptions.h"

#include <cerrno>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace brimo::sim {

namespace {

class Fd {
public:
    explicit Fd(int fd)
        : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

} // namespace

std::string sendControlCommand(const std::string& socketPath, const std::string& command) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof(address.sun_path))
        throw std::runtime_error("control socket path too long: " + socketPath);
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);

    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) fail("socket");
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0)
        fail("cannot reach " + socketPath);
    std::string line = command + "\n";
    for (size_t sent = 0; sent < line.size();) {
        ssize_t n = ::send(fd.get(), line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) fail("send to " + socketPath);
        sent += static_cast<size_t>(n);
    }
    std::string reply;
    for (;;) {
        char c;
        ssize_t n = ::recv(fd.get(), &c, 1, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) fail("receive from " + socketPath);
        if (n == 0) throw std::runtime_error(socketPath + " closed without a reply");
        if (c == '\n') return reply;
        reply.push_back(c);
    }
}

int runControlClient(int argc, char** argv) {
    std::string controlPath, command;
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--control" && i + 1 < argc && controlPath.empty()) {
            controlPath = argv[++i];
        } else {
            command += (command.empty() ? "" : " ") + arg;
        }
    }
    if (controlPath.empty() || command.empty()) {
        std::cerr << kUsage;
        return 2;
    }
    try {
        std::string reply = sendControlCommand(controlPath, command);
        std::cout << reply << std::endl;
        return reply == "OK" || reply.starts_with("OK ") ? 0 : 1;
    } catch (const std::exception& e) {
        std::cerr << "brimo-phone-sim: " << e.what() << std::endl;
        return 1;
    }
}

} // namespace brimo::sim
