#pragma once

#include "tests/support/SimProcess.h"

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace brimo::test {

inline constexpr const char* kPhoneA = "00008030-001A2B3C4D5E6F70";
inline constexpr const char* kPhoneB = "00008101-000A11B22C33D44E";
inline constexpr uint16_t kAppPort = 33325;

// Polls `condition` until it holds or `limit` passes; for state that another process or
// thread changes on its own schedule.
bool waitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds limit = std::chrono::seconds(5));

// (UDID, device id) pairs as libusbmuxd lists them; fails the test if the list call fails.
std::vector<std::pair<std::string, uint32_t>> listDevices();

// A simulator with the given phones that libusbmuxd in this process talks to.
struct SimFixtureBase {
    explicit SimFixtureBase(std::vector<std::string> devices, std::string linkRate = "",
                            std::string root = "")
        : sim(SimProcess::Options{std::move(devices), std::move(linkRate), std::move(root)})
        , address(sim.usbmuxdAddress()) {}
    // Under the sanitizers a leak or an error report in the simulator shows as a non-zero exit.
    ~SimFixtureBase();
    SimProcess sim;
    UsbmuxdAddressGuard address;
};

// A usbmuxd_connect tunnel to a simulated phone, closed when it goes out of scope.
class Tunnel {
public:
    // Keeps usbmuxd_connect's result: the fd, or a negative errno.
    Tunnel(uint32_t deviceId, uint16_t port = kAppPort);
    ~Tunnel();
    Tunnel(const Tunnel&) = delete;
    Tunnel& operator=(const Tunnel&) = delete;

    int result() const { return fd_; }
    void send(const std::string& data);
    // Reads exactly n bytes; fewer if the phone closes the pipe first.
    std::string receive(size_t n);
    // One reply line including its "\r\n".
    std::string receiveLine();
    // Reads until the pipe ends and returns what came before; lastResult() tells how it ended
    // (-ECONNRESET when the phone closed it).
    std::string receiveUntilClosed();
    int lastResult() const { return lastResult_; }
    // The usbmuxd_recv_timeout code of one read that waits `ms` (0 when data arrived).
    int pollReceive(unsigned ms);

private:
    int fd_;
    int lastResult_ = 0;
};

} // namespace brimo::test
