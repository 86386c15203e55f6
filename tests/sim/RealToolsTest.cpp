// Tools nobody here wrote, run against the simulator the way a developer would.
#include "tests/sim/SimTestSupport.h"
#include "tests/support/ChildProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace brimo::test {
namespace {

class RealToolsTest : public ::testing::Test, public SimFixtureBase {
protected:
    RealToolsTest()
        : SimFixtureBase({kPhoneA, kPhoneB}) {}
};

TEST_F(RealToolsTest, IdeviceIdListsTheSimulatedPhones) {
    ChildResult listed = runChild({"idevice_id", "-l"});
    EXPECT_EQ(listed.exitCode, 0);
    EXPECT_EQ(listed.output, std::string(kPhoneA) + "\n" + kPhoneB + "\n");
}

class Socket {
public:
    Socket()
        : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {}
    ~Socket() { ::close(fd_); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

sockaddr_in loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

uint16_t freeTcpPort() {
    Socket probe;
    sockaddr_in address = loopback(0);
    if (::bind(probe.fd(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) return 0;
    socklen_t length = sizeof(address);
    ::getsockname(probe.fd(), reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

TEST_F(RealToolsTest, IproxyForwardsATcpClientToThePhoneApp) {
    uint16_t port = freeTcpPort();
    ASSERT_NE(port, 0);
    int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    pid_t iproxy = spawnChild({"iproxy", std::to_string(port) + ":" + std::to_string(kAppPort)},
                              devNull, devNull);
    ::close(devNull);

    // A refused attempt leaves a TCP socket unusable, so every attempt gets a new one.
    std::unique_ptr<Socket> client;
    sockaddr_in address = loopback(port);
    bool connected = waitUntil([&] {
        client = std::make_unique<Socket>();
        return ::connect(client->fd(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    });
    std::string reply;
    if (connected && ::send(client->fd(), "PING\r\n", 6, MSG_NOSIGNAL) == 6) {
        char buffer[16];
        while (!reply.ends_with("\n")) {
            ssize_t n = ::recv(client->fd(), buffer, sizeof(buffer), 0);
            if (n <= 0) break;
            reply.append(buffer, static_cast<size_t>(n));
        }
    }
    stopChild(iproxy);
    ASSERT_TRUE(connected) << "iproxy never listened on port " << port;
    EXPECT_EQ(reply, "PONG\r\n");
    EXPECT_NE(sim.control("stats").find(" connects=1 "), std::string::npos);
}

} // namespace
} // namespace brimo::test
