#include "tests/sim/SimTestSupport.h"

#include <gtest/gtest.h>
#include <thread>
#include <usbmuxd.h>

namespace brimo::test {

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

std::vector<std::pair<std::string, uint32_t>> listDevices() {
    usbmuxd_device_info_t* list = nullptr;
    int count = usbmuxd_get_device_list(&list);
    EXPECT_GE(count, 0) << "usbmuxd_get_device_list failed";
    std::vector<std::pair<std::string, uint32_t>> devices;
    for (int i = 0; i < count; ++i)
        devices.emplace_back(list[i].udid, list[i].handle);
    if (list) usbmuxd_device_list_free(&list);
    return devices;
}

SimFixtureBase::~SimFixtureBase() {
    sim.stop();
    EXPECT_EQ(sim.lastExitCode(), 0) << "brimo-phone-sim did not exit cleanly";
}

Tunnel::Tunnel(uint32_t deviceId, uint16_t port)
    : fd_(usbmuxd_connect(deviceId, port)) {}

Tunnel::~Tunnel() {
    if (fd_ >= 0) usbmuxd_disconnect(fd_);
}

void Tunnel::send(const std::string& data) {
    ASSERT_GE(fd_, 0);
    for (size_t offset = 0; offset < data.size();) {
        uint32_t sent = 0;
        ASSERT_EQ(usbmuxd_send(fd_, data.data() + offset,
                               static_cast<uint32_t>(data.size() - offset), &sent),
                  0);
        offset += sent;
    }
}

std::string Tunnel::receive(size_t n) {
    std::string data;
    char buffer[65536];
    while (data.size() < n) {
        uint32_t received = 0;
        uint32_t want = static_cast<uint32_t>(std::min(sizeof(buffer), n - data.size()));
        if (usbmuxd_recv_timeout(fd_, buffer, want, &received, 10000) != 0 || received == 0) break;
        data.append(buffer, received);
    }
    return data;
}

std::string Tunnel::receiveLine() {
    std::string line;
    while (!line.ends_with("\r\n")) {
        std::string c = receive(1);
        if (c.empty()) break;
        line += c;
    }
    return line;
}

std::string Tunnel::receiveUntilClosed() {
    std::string data;
    char buffer[65536];
    for (;;) {
        uint32_t received = 0;
        lastResult_ = usbmuxd_recv_timeout(fd_, buffer, sizeof(buffer), &received, 10000);
        if (lastResult_ != 0 || received == 0) return data;
        data.append(buffer, received);
    }
}

int Tunnel::pollReceive(unsigned ms) {
    char c;
    uint32_t received = 0;
    return usbmuxd_recv_timeout(fd_, &c, 1, &received, ms);
}

} // namespace brimo::test
