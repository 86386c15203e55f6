#include "shared/Log.h"

#include <gtest/gtest.h>

namespace brimo::log {
namespace {

TEST(Log, StderrLineCarriesLevelSubsystemCategoryAndFormattedMessage) {
    auto previous = sink();
    setSink(std::make_shared<StderrSink>());
    testing::internal::CaptureStderr();
    usbMuxNativeLog.error("[UsbTunnelManager] sendAll failed: invalid fd total=%u", 42u);
    xpcLog.info("usb device event type=%d udid=%s", 1, "A-B");
    const std::string text = testing::internal::GetCapturedStderr();
    setSink(previous);
    EXPECT_EQ(text, "error [Ozm.Tarvel:UsbMuxNative] [UsbTunnelManager] sendAll failed: invalid "
                    "fd total=42\n"
                    "info [Ozm.Tarvel:XPC] usb device event type=1 udid=A-B\n");
}

TEST(Log, MemorySinkKeepsRecordsAndScopedSinkRestoresThePreviousOne) {
    auto before = sink();
    {
        ScopedMemorySink memory;
        appLog.notice("%s", std::string(300, 'x').c_str());
        appLog.fault("plain");
        const auto records = memory->records();
        ASSERT_EQ(records.size(), 2u);
        EXPECT_EQ(records[0].message.size(), 300u);
        EXPECT_EQ(records[1].level, Level::fault);
        EXPECT_EQ(records[1].category, "App");
        EXPECT_TRUE(memory->contains("plain"));
        EXPECT_FALSE(memory->contains("plai"));
    }
    EXPECT_EQ(sink(), before);
}

} // namespace
} // namespace brimo::log
