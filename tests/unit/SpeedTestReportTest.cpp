#include "service/SpeedTestReport.h"

#include <gtest/gtest.h>

namespace brimo {
namespace {

using Round = UsbMuxService::SpeedTestRound;
using Error = UsbMuxService::Error;

TEST(SpeedTestReport, FormatsTheFourLinesAndTheRates) {
    Round round{"00008030-001A2B3C4D5E6F70", 1.234, {1048576, 0.5}, {50331648, 2.0}};
    EXPECT_EQ(speedTestReport(round), "UDID: 00008030-001A2B3C4D5E6F70\n"
                                      "RTT: 1.23 ms\n"
                                      "Download: 2.00 MiB/s (16.8 Mbit/s)\n"
                                      "Upload: 24.00 MiB/s (201.3 Mbit/s)");
}

TEST(SpeedTestReport, EmptyUdidAndZeroTimesStayReadable) {
    Round round{"", 0, {1024, 0}, {0, 1.0}};
    EXPECT_EQ(speedTestReport(round), "UDID: unknown\n"
                                      "RTT: 0.00 ms\n"
                                      "Download: 0.00 MiB/s (0.0 Mbit/s)\n"
                                      "Upload: 0.00 MiB/s (0.0 Mbit/s)");
    EXPECT_EQ(throughputText({1024, -1}), "0.00 MiB/s (0.0 Mbit/s)");
}

TEST(SpeedTestReport, FailureTexts) {
    EXPECT_EQ(speedTestFailureText(Error::connectionFailed, 33325),
              "Connection failed — ensure iPhone app is listening on port 33325");
    EXPECT_EQ(speedTestFailureText(Error::noDevices, 33325), "No devices connected");
    EXPECT_EQ(speedTestFailureText(Error::uploadFailed, 33325), describe(Error::uploadFailed));
}

} // namespace
} // namespace brimo
