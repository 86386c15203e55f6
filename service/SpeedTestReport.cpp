#include "service/SpeedTestReport.h"

#include <cstdio>

namespace brimo {
namespace {

template <class... Args> std::string format(const char* pattern, Args... args) {
    char buffer[128];
    std::snprintf(buffer, sizeof buffer, pattern, args...);
    return buffer;
}

} // namespace

std::string throughputText(const UsbMuxService::ThroughputResult& result) {
    return format("%.2f MiB/s (%.1f Mbit/s)", result.mibPerSecond(), result.mbitPerSecond());
}

std::string speedTestReport(const UsbMuxService::SpeedTestRound& round) {
    return "UDID: " + (round.deviceUDID.empty() ? std::string("unknown") : round.deviceUDID) +
           "\n" + format("RTT: %.2f ms", round.pingMs) + "\n" +
           "Download: " + throughputText(round.download) + "\n" +
           "Upload: " + throughputText(round.upload);
}

std::string speedTestFailureText(UsbMuxService::Error error, uint16_t port) {
    switch (error) {
    case UsbMuxService::Error::connectionFailed:
        return "Connection failed — ensure iPhone app is listening on port " + std::to_string(port);
    case UsbMuxService::Error::noDevices:
        return "No devices connected";
    default:
        return describe(error);
    }
}

} // namespace brimo
