#pragma once

#include "shared/SerialGate.h"

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

namespace usbmuxkit {
struct DeviceEvent;
}

namespace brimo {

// The service's face of the native tunnel manager: starts and stops device watching, delivers
// device events to one handler on its own context, and runs the link speed test.
//
// An actor on the event loop. The speed test occupies it from start to end (its native phases
// run on the blocking pool), so device events and other calls arriving meanwhile wait.
class UsbMuxService {
public:
    struct DeviceEvent {
        int32_t eventType = 0;
        std::string udid;
    };

    struct ThroughputResult {
        uint64_t bytes = 0;
        double seconds = 0;
        double mibPerSecond() const;
        double mbitPerSecond() const;
    };

    struct SpeedTestRound {
        std::string deviceUDID;
        double pingMs = 0;
        ThroughputResult download;
        ThroughputResult upload;
    };

    enum class Error {
        notStarted,
        startFailed,
        noDevices,
        connectionFailed,
        pingFailed,
        downloadFailed,
        uploadFailed
    };

    class Failure : public std::runtime_error {
    public:
        explicit Failure(Error error);
        Error error() const { return error_; }

    private:
        Error error_;
    };

    using DeviceEventHandler = std::function<void(const DeviceEvent&)>;

    // The process-wide instance, on the main loop.
    static UsbMuxService& shared();

    explicit UsbMuxService(asio::any_io_executor executor);
    ~UsbMuxService();
    UsbMuxService(const UsbMuxService&) = delete;
    UsbMuxService& operator=(const UsbMuxService&) = delete;

    // Idempotent; throws Failure(startFailed).
    asio::awaitable<void> start();
    asio::awaitable<void> shutdown();
    asio::awaitable<void> setDeviceEventHandler(DeviceEventHandler handler);
    // Ping, then `payloadBytes` to the phone, then `payloadBytes` from it, all on the first
    // attached device's connection to `port`. Throws Failure.
    asio::awaitable<SpeedTestRound> runSpeedTestRound(uint16_t port, uint64_t payloadBytes);

private:
    static void eventTrampoline(const usbmuxkit::DeviceEvent* event);
    void registerTrampoline();
    void clearTrampoline();
    asio::awaitable<void> deliver(DeviceEvent event);

    asio::any_io_executor executor_;
    SerialGate gate_;
    bool started_ = false;
    DeviceEventHandler deviceEventHandler_;
};

const char* describe(UsbMuxService::Error error);

} // namespace brimo
