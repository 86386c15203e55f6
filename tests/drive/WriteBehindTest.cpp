#include "tests/drive/DriveFixture.h"

#include <sys/wait.h>

namespace brimo::test {
namespace {

// Writes 12 MiB to DRIVE and to MIRROR alike, in the pieces cp writes, creates READY, waits for
// GO, then applies each STEP to both ("w:OFFSET:LENGTH" writes fresh bytes, "t:SIZE:" truncates)
// and closes; prints the error number the drive's close gave (0 for none).
constexpr const char* kWriter = R"(
import os, sys, time
drive, mirror, ready, go, steps = sys.argv[1:]
fds = [os.open(drive, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644),
       os.open(mirror, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)]
def each(act):
    for fd in fds:
        act(fd)
data = os.urandom(12 << 20)
for at in range(0, len(data), 1 << 17):
    each(lambda fd: os.pwrite(fd, data[at:at + (1 << 17)], at))
open(ready, 'w').close()
deadline = time.monotonic() + 30
while not os.path.exists(go) and time.monotonic() < deadline:
    time.sleep(0.01)
for step in filter(None, steps.split(',')):
    kind, a, b = step.split(':')
    if kind == 'w':
        fresh = os.urandom(int(b))
        each(lambda fd: os.pwrite(fd, fresh, int(a)))
    else:
        each(lambda fd: os.ftruncate(fd, int(a)))
error = 0
try:
    os.close(fds[0])
except OSError as e:
    error = e.errno
os.close(fds[1])
print(error)
)";

class WriteBehindTest : public DriveFixture {
protected:
    WriteBehindTest()
        : DriveFixture("usb2") {}

    uint64_t answered(const std::string& code) {
        const std::string stats = sim.control("stats");
        const size_t at = stats.find(" code" + code + "=");
        return at == std::string::npos ? 0 : std::stoull(stats.substr(at + code.size() + 6));
    }

    fs::path local(const std::string& name) const { return fs::path(sim.tempDir()) / name; }

    // Runs the writer on `name` until it waits at READY; `meanwhile` runs then; returns the
    // error number of its close.
    int write(const std::string& name, const std::string& steps,
              const std::function<void()>& meanwhile) {
        const int out = ::open(local("writer.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const pid_t writer =
            spawnChild({"python3", "-c", kWriter, onDrive(name).string(), local("mirror").string(),
                        local("ready").string(), local("go").string(), steps},
                       out);
        ::close(out);
        EXPECT_TRUE(waitUntil([&] { return fs::exists(local("ready")); }, 30s));
        meanwhile();
        writeFile(local("go"), "");
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        int status = 0;
        while (::waitpid(writer, &status, WNOHANG) != writer) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(writer, SIGKILL);
                ::waitpid(writer, &status, 0);
                ADD_FAILURE() << "the writer did not end";
                return -1;
            }
            std::this_thread::sleep_for(20ms);
        }
        fs::remove(local("ready"));
        fs::remove(local("go"));
        const std::string printed = readFile(local("writer.out"));
        return printed.empty() ? -1 : std::stoi(printed);
    }
};

// Bytes cross while the program writes; whatever it changes after they went, the phone ends up
// with exactly the file the program wrote.
TEST_F(WriteBehindTest, ThePhoneGetsTheFileAsWrittenWhateverChangedAfterItWent) {
    const struct {
        const char* what;
        std::string steps;
    } cases[] = {
        {"written again, then on to an uneven end", "w:4194311:100,w:12582912:12582929"},
        {"cut short", "t:6291459:"},
        {"cut short, then grown with zeros", "t:5242880:,t:10485760:"},
    };
    for (const auto& c : cases) {
        const std::string name = std::string("video-") + std::to_string(&c - cases) + ".mov";
        uint64_t sentWhileWriting = 0;
        const uint64_t before = answered("11");
        EXPECT_EQ(write(name, c.steps,
                        [&] {
                            waitUntil([&] { return answered("11") > before; }, 20s);
                            sentWhileWriting = answered("11") - before;
                        }),
                  0)
            << c.what;
        EXPECT_GT(sentWhileWriting, 0u) << c.what << ": nothing went before the close";
        EXPECT_TRUE(readFile(onPhone(name)) == readFile(local("mirror"))) << c.what;
    }
}

// The phone checked the version when the write began; a change made there while the program
// still wrote is kept, and the program's file goes beside it.
TEST_F(WriteBehindTest, AChangeOnThePhoneDuringTheWriteIsNotWrittenOver) {
    writeFile(onPhone("clip.mov"), "the first take");
    const uint64_t before = answered("11");
    const int error = write("clip.mov", "", [&] {
        waitUntil([&] { return answered("11") > before; }, 20s);
        writeFile(onPhone("clip.mov"), "the phone's own take");
        // Announced, as the phone does: the service then touches the item through the drive.
        EXPECT_NE(sim.control("push " + std::string(kPhone) + " mutation created clip.mov"),
                  "OK 0");
        std::this_thread::sleep_for(200ms);
    });
    EXPECT_EQ(error, ESTALE);
    EXPECT_EQ(readFile(onPhone("clip.mov")), "the phone's own take");
    std::string copy;
    EXPECT_TRUE(waitUntil(
        [&] {
            for (const auto& entry : fs::directory_iterator(phoneRoot))
                if (entry.path().filename().string().find("conflict copy") != std::string::npos)
                    copy = readFile(entry.path());
            return copy.size() == fs::file_size(local("mirror"));
        },
        30s));
    EXPECT_TRUE(copy == readFile(local("mirror")));
}

} // namespace
} // namespace brimo::test
