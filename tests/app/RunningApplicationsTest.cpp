#include "app/RunningApplications.h"

#include "tests/support/ChildProcess.h"

#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

namespace brimo::app {
namespace {

namespace fs = std::filesystem;

// A bundle holding a copy of /bin/sleep as its executable, so the process is really "in" it.
fs::path makeBundle(const fs::path& root, const std::string& name, const std::string& identifier) {
    const fs::path bundle = root / name;
    fs::create_directories(bundle / "Contents/MacOS");
    std::ofstream(bundle / "Contents/Info.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
           "<key>CFBundleIdentifier</key><string>"
        << identifier << "</string></dict></plist>\n";
    fs::copy_file("/bin/sleep", bundle / "Contents/MacOS/sleeper");
    return bundle;
}

TEST(RunningApplications, FindsProcessesByTheirBundleAndKillsThem) {
    char pattern[] = "/tmp/brimo-apps-XXXXXX";
    const fs::path root = ::mkdtemp(pattern);
    const fs::path outer = makeBundle(root, "Outer.app", "Test.Outer");
    // The nearest bundle counts: a helper nested in Outer.app is its own application.
    const fs::path inner = makeBundle(outer / "Contents/XPCServices", "Inner.xpc", "Test.Inner");
    // A folder named like a bundle but without an information dictionary is not one.
    fs::create_directories(root / "Fake.app/Contents/MacOS");
    fs::copy_file("/bin/sleep", root / "Fake.app/Contents/MacOS/sleeper");

    const pid_t outerPid = test::spawnChild({(outer / "Contents/MacOS/sleeper").string(), "30"});
    const pid_t innerPid = test::spawnChild({(inner / "Contents/MacOS/sleeper").string(), "30"});
    const pid_t fakePid =
        test::spawnChild({(root / "Fake.app/Contents/MacOS/sleeper").string(), "30"});

    ProcRunningApplications applications;
    auto found = applications.withBundleIdentifier("Test.Inner");
    // The exec may not have happened yet right after the spawn.
    for (int i = 0; i < 200 && found.empty(); ++i) {
        ::usleep(10'000);
        found = applications.withBundleIdentifier("Test.Inner");
    }
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].processIdentifier, innerPid);
    EXPECT_EQ(found[0].bundleURL, inner);
    EXPECT_EQ(found[0].executableURL, inner / "Contents/MacOS/sleeper");

    const auto outerApps = applications.withBundleIdentifier("Test.Outer");
    ASSERT_EQ(outerApps.size(), 1u);
    EXPECT_EQ(outerApps[0].processIdentifier, outerPid);
    for (const auto& application : applications.all())
        EXPECT_NE(application.processIdentifier, fakePid);

    EXPECT_TRUE(applications.forceTerminate(found[0]));
    EXPECT_EQ(test::waitChild(innerPid), 128 + SIGKILL);
    test::stopChild(outerPid);
    test::stopChild(fakePid);
    fs::remove_all(root);
}

} // namespace
} // namespace brimo::app
