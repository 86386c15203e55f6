#include "service/MountService.h"
#include "service/ToolProcess.h"
#include "shared/BridgeContract.h"
#include "shared/Log.h"
#include "tests/common/RunAsync.h"
#include "tests/support/FakeTools.h"
#include "tests/support/ScopedEnvironment.h"

#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <system_error>

namespace brimo {
namespace {

using test::ScopedEnvironment;

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Tool = test::FakeTools::Tool;
using Behaviour = test::FakeTools::Behaviour;
using Kind = MountServiceErrorKind;

// A fresh directory whose name holds a space, which the mount table writes as an escape.
fs::path makeTemporaryDirectory() {
    char name[] = "/tmp/brimo mount-XXXXXX";
    if (::mkdtemp(name) == nullptr) throw std::system_error(errno, std::generic_category());
    return name;
}

void writeFile(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream file(path, std::ios::binary);
    if (!(file << content).flush()) throw std::runtime_error("cannot write " + path.string());
}

std::string readFile(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

fs::path writeScript(const fs::path& path, const std::string& body) {
    writeFile(path, "#!/bin/sh\n" + body);
    fs::permissions(path, fs::perms::owner_all);
    return path;
}

Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// Whether the process is gone, reaped and not merely a zombie.
bool isGone(pid_t pid) {
    return ::kill(pid, 0) != 0 && errno == ESRCH;
}

class ToolProcessTest : public testing::Test {
protected:
    ~ToolProcessTest() override {
        // Background reaping reports to the loop, which must outlive it.
        loop.restart();
        loop.run();
        fs::remove_all(root);
    }

    ToolExit run(const std::string& body, const std::vector<std::string>& arguments = {}) {
        ToolProcess process(writeScript(root / "tool", body), arguments);
        return test::runAsync(loop, process.wait());
    }

    fs::path root = makeTemporaryDirectory();
    asio::io_context loop;
};

TEST_F(ToolProcessTest, ReadsFloodedPipesWhileWaitingAndKeepsTheFirst64KiBOfStandardError) {
    const ToolExit exit = run("head -c 1048576 /dev/zero\n"
                              "head -c 65536 /dev/zero | tr '\\0' A >&2\n"
                              "head -c 1048576 /dev/zero | tr '\\0' B >&2\n"
                              "exit 5\n");
    EXPECT_EQ(exit.status, 5);
    EXPECT_EQ(exit.standardError, std::string(65536, 'A'));
}

TEST_F(ToolProcessTest, PassesArgumentsVerbatimWithEmptyStandardInput) {
    const ToolExit exit = run(R"sh([ "$#" = 2 ] && [ "$1" = 'a b' ] && [ "$2" = '$HOME' ] || exit 1
[ "$(readlink /proc/$$/fd/0)" = /dev/null ] || exit 2
echo out; echo err >&2
)sh",
                              {"a b", "$HOME"});
    EXPECT_EQ(exit.status, 0);
    EXPECT_EQ(exit.standardError, "err\n");
}

TEST_F(ToolProcessTest, CompletesAtExitWhileABackgroundProcessHoldsThePipes) {
    const fs::path pidFile = root / "daemon.pid";
    const ToolExit exit =
        run("sleep 600 &\necho $! > '" + pidFile.string() + "'\necho started >&2\nexit 3\n");
    EXPECT_EQ(exit.status, 3);
    EXPECT_EQ(exit.standardError, "started\n");
    const pid_t daemon = std::stoi(readFile(pidFile));
    EXPECT_EQ(::kill(daemon, 0), 0) << "the wait outlasted the process holding the pipes";
    ::kill(daemon, SIGKILL);
}

TEST_F(ToolProcessTest, TerminateEndsAHangingToolWithTheSignalStatus) {
    ToolProcess process(writeScript(root / "tool", "exec sleep 600\n"), {});
    process.terminate();
    const ToolExit exit = test::runAsync(loop, process.wait());
    EXPECT_EQ(exit.status, 128 + SIGTERM);
}

TEST_F(ToolProcessTest, AToolNobodyWaitsForIsReaped) {
    pid_t pid;
    {
        ToolProcess process(writeScript(root / "tool", "exit 0\n"), {});
        pid = process.pid();
    }
    EXPECT_TRUE(test::waitUntil([&] { return isGone(pid); }));
}

TEST_F(ToolProcessTest, LaunchFailureThrowsTheErrno) {
    const auto launchError = [](const fs::path& path) {
        try {
            ToolProcess process(path, {});
        } catch (const std::system_error& error) {
            return error.code();
        }
        return std::error_code();
    };
    EXPECT_EQ(launchError(root / "missing"), std::errc::no_such_file_or_directory);
    writeFile(root / "plain", "#!/bin/sh\n");
    fs::permissions(root / "plain", fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(launchError(root / "plain"), std::errc::permission_denied);
}

struct RecordingEvents : VolumeEvents {
    void volumeMounted() override { events.push_back("mounted"); }
    void volumeUnmounted() override { events.push_back("unmounted"); }
    std::vector<std::string> events;
};

// The service with fake tools and a fake mount table in a temporary directory that stands for
// the data directory.
class MountServiceTest : public testing::Test {
protected:
    ~MountServiceTest() override {
        // Lets background reaping finish, but never waits on a tool a failed test left hanging.
        loop.restart();
        loop.run_for(std::chrono::seconds(10));
        fs::remove_all(root);
    }

    MountPlatform platformAt(const fs::path& point) {
        return {tools.mountTool(),
                tools.unmountTool(),
                tools.opener(),
                tools.mountTable(),
                point,
                [this] { return container; }};
    }

    void run(asio::awaitable<void> work) { test::runAsync(loop, std::move(work)); }

    // The MountServiceError that `work` ends with.
    std::optional<MountServiceError> failureOf(asio::awaitable<void> work) {
        try {
            run(std::move(work));
        } catch (const MountServiceError& error) {
            return error;
        }
        return std::nullopt;
    }

    // A mount table line as the kernel writes it, with `optional` fields before the separator.
    std::string tableLine(const fs::path& point, const std::string& type,
                          const std::string& optional = "shared:1") {
        std::string escaped;
        for (char c : point.string())
            escaped += c == ' ' ? std::string("\\040") : std::string(1, c);
        return "36 25 0:42 / " + escaped + " rw,relatime " + optional +
               (optional.empty() ? "" : " ") + "- " + type + " brimo rw\n";
    }

    fs::path root = makeTemporaryDirectory();
    test::FakeTools tools{root / "tools"};
    fs::path container = root / "data" / "group.Ozm.Tarvel";
    fs::path mountPoint = root / "home" / "Brimo";
    FakeClock clock;
    asio::io_context loop;
    MountService service{clock, platformAt(mountPoint)};
    log::ScopedMemorySink log;
};

TEST(MountServicePlatformTest, StandardPlatformTakesNonEmptyOverridesFromTheEnvironment) {
    {
        ScopedEnvironment environment{{"BRIMO_MOUNT_TOOL", "/opt/mount"},
                                      {"BRIMO_UNMOUNT_TOOL", "/opt/umount"},
                                      {"BRIMO_OPEN_TOOL", "/opt/open"},
                                      {"BRIMO_MOUNT_TABLE", "/opt/table"},
                                      {"HOME", "/home/someone"}};
        const MountPlatform platform = MountPlatform::standard();
        EXPECT_EQ(platform.mountTool, "/opt/mount");
        EXPECT_EQ(platform.unmountTool, "/opt/umount");
        EXPECT_EQ(platform.opener, "/opt/open");
        EXPECT_EQ(platform.mountTable, "/opt/table");
        EXPECT_EQ(platform.mountPoint, "/home/someone/Brimo");
    }
    ScopedEnvironment environment{{"BRIMO_MOUNT_TOOL", ""},
                                  {"BRIMO_UNMOUNT_TOOL", nullptr},
                                  {"BRIMO_OPEN_TOOL", nullptr},
                                  {"BRIMO_MOUNT_TABLE", nullptr},
                                  {"HOME", "relative"}};
    const MountPlatform platform = MountPlatform::standard();
    EXPECT_EQ(platform.mountTool.filename(), "mount.brimo");
    EXPECT_EQ(platform.mountTool.parent_path().filename(), "MacOS");
    EXPECT_EQ(platform.unmountTool, platform.mountTool.parent_path() / "umount.brimo");
    EXPECT_EQ(platform.opener, "/usr/bin/xdg-open");
    EXPECT_EQ(platform.mountTable, "/proc/self/mountinfo");
    EXPECT_TRUE(platform.mountPoint.empty()) << "HOME is not absolute";
}

TEST_F(MountServiceTest, IsMountedWhenTheLastEntryAtTheMountPointIsBrimo) {
    const auto mountedWith = [&](const std::string& table) {
        writeFile(tools.mountTable(), table);
        return service.isMounted();
    };
    EXPECT_FALSE(mountedWith(""));
    EXPECT_TRUE(mountedWith(tableLine(mountPoint, "fuse.brimo")));
    EXPECT_TRUE(mountedWith(tableLine(mountPoint, "brimo", "")));
    EXPECT_TRUE(mountedWith(tableLine(mountPoint, "brimo", "shared:1 master:2 propagate_from:3")));
    EXPECT_FALSE(mountedWith(tableLine(mountPoint, "fuse.brimofs")));
    EXPECT_FALSE(mountedWith(tableLine(mountPoint, "ext4")));
    EXPECT_FALSE(mountedWith(tableLine(mountPoint.parent_path(), "fuse.brimo")));
    EXPECT_FALSE(mountedWith(tableLine(mountPoint.string() + "2", "fuse.brimo")));
    // Without its escape the space would split the mount point field.
    EXPECT_FALSE(mountedWith("36 25 0:42 / " + mountPoint.string() + " rw - fuse.brimo b rw\n"));
    EXPECT_FALSE(mountedWith(tableLine(mountPoint, "fuse.brimo") + tableLine(mountPoint, "tmpfs")));
    EXPECT_TRUE(mountedWith(tableLine(mountPoint, "tmpfs") + tableLine(mountPoint, "fuse.brimo")));

    fs::remove(tools.mountTable());
    EXPECT_FALSE(service.isMounted());
}

TEST_F(MountServiceTest, IsMountedComparesWithTheResolvedParentOfTheMountPoint) {
    fs::create_directories(root / "home");
    fs::create_directory_symlink(root / "home", root / "link");
    MountService linked(clock, platformAt(root / "link" / "Brimo/"));
    writeFile(tools.mountTable(), tableLine(fs::canonical(root) / "home" / "Brimo", "fuse.brimo"));
    EXPECT_TRUE(linked.isMounted());
}

TEST_F(MountServiceTest, MountRunsTheToolOnTheSourceAnchorThenStartsTheOpener) {
    run(service.mount());
    const fs::path anchor = container / "source-anchor";
    EXPECT_TRUE(fs::is_directory(anchor));
    EXPECT_TRUE(fs::is_directory(mountPoint));
    EXPECT_EQ(tools.calls(Tool::mount),
              (std::vector<std::vector<std::string>>{
                  {"-t", "brimo", anchor.string(), mountPoint.string()}}));
    EXPECT_TRUE(service.isMounted());
    EXPECT_TRUE(test::runUntil(loop, [&] { return !tools.calls(Tool::opener).empty(); }));
    EXPECT_EQ(tools.calls(Tool::opener),
              (std::vector<std::vector<std::string>>{{mountPoint.string()}}));
}

TEST_F(MountServiceTest, AFailingOrMissingOpenerDoesNotFailTheMount) {
    tools.setBehaviour(Tool::opener, Behaviour::exiting(4, "no handler"));
    run(service.mount());
    EXPECT_TRUE(service.isMounted());
    EXPECT_TRUE(test::runUntil(loop, [&] { return !tools.calls(Tool::opener).empty(); }));

    auto platform = platformAt(root / "other" / "mnt");
    platform.opener = root / "no-opener";
    MountService withoutOpener(clock, platform);
    run(withoutOpener.mount());
    EXPECT_TRUE(withoutOpener.isMounted());
}

TEST_F(MountServiceTest, MountWhenMountedRunsNoTool) {
    tools.addMountEntry(mountPoint);
    const auto error = failureOf(service.mount());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), Kind::alreadyMounted);
    EXPECT_STREQ(error->what(), "Brimo is already mounted.");
    EXPECT_TRUE(tools.calls(Tool::mount).empty());
    EXPECT_FALSE(fs::exists(container / "source-anchor"));
}

TEST_F(MountServiceTest, MountStopsBeforeTheToolWhenItsDirectoriesAreUnusable) {
    writeFile(mountPoint, "not a directory");
    auto error = failureOf(service.mount());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), Kind::commandFailed);
    EXPECT_EQ(error->what(), "Mount point exists but is not a directory: " + mountPoint.string());
    fs::remove(mountPoint);

    fs::remove(container / "source-anchor"); // prepared before the mount point was refused
    writeFile(container / "source-anchor", "");
    error = failureOf(service.mount());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), Kind::sourceUnavailable);
    EXPECT_EQ(error->payload(), (container / "source-anchor").string());
    EXPECT_EQ(error->what(), "Passthrough source directory is unavailable: " +
                                 (container / "source-anchor").string());

    auto platform = platformAt(mountPoint);
    platform.container = []() -> fs::path { throw std::runtime_error("no data directory"); };
    MountService noContainer(clock, platform);
    error = failureOf(noContainer.mount());
    ASSERT_TRUE(error);
    EXPECT_STREQ(error->what(),
                 "Passthrough source directory is unavailable: App Group container unavailable");

    EXPECT_TRUE(tools.calls(Tool::mount).empty());
}

// The folder in the home is there only while the volume is: made when mounting, gone again after
// any unmount or a failed mount, and a folder that holds anything is never mounted over.
TEST_F(MountServiceTest, TheMountPointComesAndGoesWithTheVolume) {
    EXPECT_FALSE(fs::exists(mountPoint));
    run(service.mount());
    EXPECT_TRUE(fs::is_directory(mountPoint));
    run(service.unmount(3s));
    EXPECT_FALSE(fs::exists(mountPoint)) << "after the unmount";
    run(service.mount());
    run(service.forceUnmount());
    EXPECT_FALSE(fs::exists(mountPoint)) << "after the forced unmount";

    tools.setBehaviour(Tool::mount, Behaviour::exiting(1, "fusermount3: failed"));
    EXPECT_TRUE(failureOf(service.mount()));
    EXPECT_FALSE(fs::exists(mountPoint)) << "after a failed mount";

    tools.setBehaviour(Tool::mount, Behaviour::exiting(0));
    writeFile(mountPoint / "notes.txt", "the user's");
    const size_t mountsBefore = tools.calls(Tool::mount).size();
    const auto error = failureOf(service.mount());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), Kind::commandFailed);
    EXPECT_EQ(error->what(), "Mount point is not empty: " + mountPoint.string());
    EXPECT_EQ(tools.calls(Tool::mount).size(), mountsBefore);
    EXPECT_EQ(readFile(mountPoint / "notes.txt"), "the user's");
}

TEST_F(MountServiceTest, AFailingToolReportsItsTrimmedStandardErrorOrItsStatus) {
    tools.setBehaviour(Tool::mount,
                       Behaviour::exiting(32, " \n\tmount: /dev/fuse: denied\n\xC2\xA0\n"));
    auto error = failureOf(service.mount());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), Kind::commandFailed);
    EXPECT_STREQ(error->what(), "mount: /dev/fuse: denied");
    EXPECT_FALSE(service.isMounted());

    tools.addMountEntry(mountPoint);
    tools.setBehaviour(Tool::unmount, Behaviour::exiting(16, " \n"));
    error = failureOf(service.forceUnmount());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->what(), tools.unmountTool().string() + " exited with status 16");
    EXPECT_EQ(tools.calls(Tool::unmount),
              (std::vector<std::vector<std::string>>{{"-f", mountPoint.string()}}));
}

TEST_F(MountServiceTest, UnmountFallsBackToForceOnlyWhileStillMounted) {
    tools.addMountEntry(mountPoint);
    run(service.unmount(3s));
    EXPECT_FALSE(service.isMounted());
    EXPECT_EQ(tools.calls(Tool::unmount),
              (std::vector<std::vector<std::string>>{{mountPoint.string()}}));

    // Failed, but the volume went away all the same.
    tools.addMountEntry(mountPoint);
    auto failsButUnmounts = Behaviour::exiting(1, "busy");
    failsButUnmounts.updateTableOnFailure = true;
    tools.setBehaviour(Tool::unmount, failsButUnmounts);
    run(service.unmount(3s));
    EXPECT_EQ(tools.calls(Tool::unmount).size(), 2u);

    // Failed and still mounted: the forced unmount's failure is the result.
    tools.addMountEntry(mountPoint);
    tools.setBehaviours(Tool::unmount,
                        {Behaviour::exiting(1, "busy"), Behaviour::exiting(16, "still busy")});
    const auto error = failureOf(service.unmount(3s));
    ASSERT_TRUE(error);
    EXPECT_STREQ(error->what(), "still busy");
    const auto calls = tools.calls(Tool::unmount);
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[2], (std::vector<std::string>{mountPoint.string()}));
    EXPECT_EQ(calls[3], (std::vector<std::string>{"-f", mountPoint.string()}));
}

TEST_F(MountServiceTest, AHangingUnmountIsTerminatedAfterItsTimeOutThenForced) {
    tools.addMountEntry(mountPoint);
    tools.setBehaviours(Tool::unmount, {Behaviour::hanging(), {}});
    bool done = false;
    std::exception_ptr failure;
    asio::co_spawn(loop, service.unmount(3s), [&](std::exception_ptr e) {
        failure = e;
        done = true;
    });
    ASSERT_TRUE(test::runUntil(
        loop, [&] { return clock.sleeperCount() == 1 && tools.calls(Tool::unmount).size() == 1; }));
    clock.advance(2999ms);
    loop.poll();
    EXPECT_FALSE(done);
    clock.advance(1ms);
    ASSERT_TRUE(test::runUntil(loop, [&] { return done; }));
    EXPECT_FALSE(failure);
    EXPECT_FALSE(service.isMounted());
    EXPECT_EQ(tools.calls(Tool::unmount), (std::vector<std::vector<std::string>>{
                                              {mountPoint.string()}, {"-f", mountPoint.string()}}));
}

TEST_F(MountServiceTest, ATimedOutCommandIsTerminatedAndReportedAsThreeSeconds) {
    const fs::path pidFile = root / "tool.pid";
    const fs::path tool =
        writeScript(root / "slow", "echo $$ > '" + pidFile.string() + "'\nexec sleep 600\n");
    std::optional<MountServiceError> error;
    asio::co_spawn(
        loop,
        [&]() -> asio::awaitable<void> {
            try {
                co_await service.runCommand(tool, {}, 1s);
            } catch (const MountServiceError& e) {
                error = e;
            }
        },
        asio::detached);
    ASSERT_TRUE(test::runUntil(
        loop, [&] { return clock.sleeperCount() == 1 && !readFile(pidFile).empty(); }));
    const pid_t pid = std::stoi(readFile(pidFile));
    clock.advance(1s);
    ASSERT_TRUE(test::runUntil(loop, [&] { return error.has_value(); }));
    EXPECT_EQ(error->kind(), Kind::timedOut);
    EXPECT_EQ(error->what(), tool.string() + " did not finish within 3.0s");
    EXPECT_TRUE(test::waitUntil([&] { return isGone(pid); }));
}

TEST_F(MountServiceTest, UnmountingNothingRunsNoTool) {
    for (auto error : {failureOf(service.unmount(3s)), failureOf(service.forceUnmount())}) {
        ASSERT_TRUE(error);
        EXPECT_EQ(error->kind(), Kind::notMounted);
        EXPECT_STREQ(error->what(), "Brimo is not mounted.");
    }
    EXPECT_TRUE(tools.calls(Tool::unmount).empty());
}

TEST_F(MountServiceTest, MountControlActsAndTellsTheVolumeEvents) {
    RecordingEvents events;
    run(service.mountControl(
        encodeJson(MountControlNotifyPayload{MountControlNotifyPayload::Action::mount}), events));
    EXPECT_TRUE(log->contains("mountControl mount ok"));
    EXPECT_TRUE(service.isMounted());

    run(service.mountControl(
        encodeJson(MountControlNotifyPayload{MountControlNotifyPayload::Action::unmount}), events));
    EXPECT_TRUE(log->contains("mountControl unmount ok"));
    EXPECT_FALSE(service.isMounted());
    EXPECT_EQ(events.events, (std::vector<std::string>{"mounted", "unmounted"}));
}

TEST_F(MountServiceTest, MountControlLogsFailuresAndUndecodablePayloads) {
    RecordingEvents events;
    run(service.mountControl(text(R"({"action":"eject"})"), events));
    EXPECT_EQ(log->messages(), (std::vector<std::string>{"mountControl decode failed"}));

    tools.setBehaviour(Tool::mount, Behaviour::exiting(1, "fuse: device not found\n"));
    run(service.mountControl(text(R"({"action":"mount"})"), events));
    run(service.mountControl(text(R"({"action":"unmount"})"), events));
    EXPECT_TRUE(log->contains("mountControl mount failed: fuse: device not found"));
    EXPECT_TRUE(log->contains("mountControl unmount failed: Brimo is not mounted."));
    EXPECT_TRUE(events.events.empty());
    EXPECT_TRUE(tools.calls(Tool::unmount).empty());
}

class MountServicePokeTest : public MountServiceTest {
protected:
    void poke(ItemMutationNotifyPayload::Kind kind, const std::string& relayID) {
        run(service.itemMutationPoke(encodeJson(ItemMutationNotifyPayload{kind, relayID})));
    }
    static constexpr auto created = ItemMutationNotifyPayload::Kind::created;
    static constexpr auto deleted = ItemMutationNotifyPayload::Kind::deleted;
};

TEST_F(MountServicePokeTest, RelayIDsThatLeaveTheMountPointAreIgnored) {
    const std::string relayIDs[] = {"  /etc/passwd",       "a/../../x", "..", "dir/..", " \n", "",
                                    std::string("a\0b", 3)};
    for (const std::string& relayID : relayIDs) {
        log->clear();
        poke(created, relayID);
        EXPECT_EQ(log->messages(),
                  (std::vector<std::string>{"itemMutation poke ignored: invalid relayID"}))
            << relayID;
    }

    log->clear();
    run(service.itemMutationPoke(text(R"({"kind":"moved","relayID":"a"})")));
    EXPECT_EQ(log->messages(), (std::vector<std::string>{"itemMutation poke decode failed"}));
}

TEST_F(MountServicePokeTest, TouchesOnlyTheModificationTimeOfTheItem) {
    const fs::path item = mountPoint / "dir" / "..file";
    writeFile(item, "contents");
    const timespec past[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, item.c_str(), past, 0), 0);

    poke(created, "\n dir/..file\t");
    struct stat after {};
    ASSERT_EQ(::stat(item.c_str(), &after), 0);
    EXPECT_GT(after.st_mtim.tv_sec, past[1].tv_sec);
    EXPECT_EQ(after.st_atim.tv_sec, past[0].tv_sec);
    EXPECT_EQ(readFile(item), "contents");
    EXPECT_EQ(log->messages(), (std::vector<std::string>{"itemMutation poke path=" + item.string(),
                                                         "itemMutation poke ok kind=created path=" +
                                                             item.string()}));
}

TEST_F(MountServicePokeTest, AMissingItemIsLoggedWithTheError) {
    fs::create_directories(mountPoint);
    poke(deleted, "dir/gone");
    const std::string path = (mountPoint / "dir" / "gone").string();
    EXPECT_EQ(log->messages(),
              (std::vector<std::string>{"itemMutation poke path=" + path,
                                        "itemMutation poke kind=deleted path=" + path +
                                            ": No such file or directory"}));
}

} // namespace
} // namespace brimo
