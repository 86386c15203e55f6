#pragma once

#include "service/tunnel/UsbMuxService.h"

#include <string>

namespace brimo {

inline constexpr uint64_t kSpeedTestPayloadBytes = 50331648; // 48 MiB per direction

// "%.2f MiB/s (%.1f Mbit/s)"
std::string throughputText(const UsbMuxService::ThroughputResult& result);
// Four lines: UDID, RTT, Download, Upload.
std::string speedTestReport(const UsbMuxService::SpeedTestRound& round);
// What a client is told when a round fails.
std::string speedTestFailureText(UsbMuxService::Error error, uint16_t port);

} // namespace brimo
