#include "shared/ipc/ServiceLauncher.h"
#include "tests/ipc/IpcTestSupport.h"

#include <unistd.h>

namespace brimo::ipc::test {
namespace {

// Counts launches; really starts the small test service, or fails when told to.
class CountingLauncher : public ServiceLauncher {
public:
    int launches = 0;
    bool fail = false;
    bool launch() override {
        ++launches;
        return !fail && real_.launch();
    }

private:
    ExecutableLauncher real_{BRIMO_IPC_TEST_SERVICE};
};

using OnDemandStart = IpcTest;

TEST_F(OnDemandStart, TheFirstMessageStartsTheServiceAndAnInterruptedConnectionStartsItAgain) {
    auto launcher = std::make_shared<CountingLauncher>();
    auto client = makeClient({.launcher = launcher});
    int interruptions = 0;
    client->setInterruptionHandler([&] { ++interruptions; });
    std::vector<RemoteError> errors;
    auto host = client->remoteObjectProxy([&](const RemoteError& e) { errors.push_back(e); });

    std::optional<int64_t> firstPid;
    host.getXPCServiceVersion([&](int64_t pid) { firstPid = pid; });
    ASSERT_TRUE(runUntil([&] { return firstPid || !errors.empty(); }));
    ASSERT_TRUE(firstPid) << errors[0].name << ": " << errors[0].message;
    EXPECT_NE(*firstPid, getpid());
    EXPECT_EQ(launcher->launches, 1);
    // Detached: our output is not the service's, or a reader of ours would wait on it.
    const auto proc = "/proc/" + std::to_string(*firstPid);
    EXPECT_EQ(std::filesystem::read_symlink(proc + "/fd/1"), "/dev/null");
    EXPECT_EQ(getsid(pid_t(*firstPid)), pid_t(*firstPid));

    std::optional<bool> shutDown;
    host.shutdown([&](bool ok) { shutDown = ok; });
    ASSERT_TRUE(runUntil([&] { return shutDown && interruptions == 1; }));
    EXPECT_TRUE(*shutDown);

    std::optional<int64_t> secondPid;
    host.getXPCServiceVersion([&](int64_t pid) { secondPid = pid; });
    ASSERT_TRUE(runUntil([&] { return secondPid || errors.size() > 0; }));
    ASSERT_TRUE(secondPid);
    EXPECT_NE(*secondPid, *firstPid);
    EXPECT_EQ(launcher->launches, 2);

    shutDown.reset();
    host.shutdown([&](bool ok) { shutDown = ok; });
    EXPECT_TRUE(runUntil([&] { return shutDown.has_value(); }));
    EXPECT_TRUE(errors.empty());
}

TEST_F(OnDemandStart, ALaunchThatFailsInvalidatesTheConnection) {
    auto launcher = std::make_shared<CountingLauncher>();
    launcher->fail = true;
    auto client = makeClient({.launcher = launcher});
    int invalidations = 0;
    client->setInvalidationHandler([&] { ++invalidations; });
    std::vector<RemoteError> errors;
    client->remoteObjectProxy([&](const RemoteError& e) { errors.push_back(e); }).echo([] {
        ADD_FAILURE() << "nobody could have answered";
    });
    ASSERT_TRUE(runUntil([&] { return invalidations == 1 && errors.size() == 1; }));
    EXPECT_EQ(errors[0].name, kErrorInvalid);
    EXPECT_EQ(launcher->launches, 1);
}

} // namespace
} // namespace brimo::ipc::test
