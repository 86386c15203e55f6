#include "tests/drive/DriveFixture.h"

#include <algorithm>
#include <poll.h>
#include <random>
#include <sys/syscall.h>
#include <sys/wait.h>

namespace brimo::test {
namespace {

constexpr size_t kMiB = 1024 * 1024;
constexpr size_t kChunk = 4 * kMiB; // what one read-chunk request of the phone carries

// Reads each OFFSET:LENGTH of the file named first, in reads of 128 KiB after a seek, and prints
// the offset, how many bytes it got and their SHA-256.
constexpr const char* kRangeReader = R"(
import hashlib, sys
with open(sys.argv[1], 'rb', buffering=0) as f:
    for extent in sys.argv[2:]:
        offset, length = map(int, extent.split(":"))
        f.seek(offset)
        digest, got = hashlib.sha256(), 0
        while got < length:
            data = f.read(min(131072, length - got))
            if not data:
                break
            digest.update(data)
            got += len(data)
        print(offset, got, digest.hexdigest())
)";

// Opens FILE, reads its first MiB, creates READY, waits for GO, reads on to the end or the
// first error; writes what it got to OUT and prints the error number (0 for none).
constexpr const char* kSnapshotReader = R"(
import os, sys, time
path, ready, go, out = sys.argv[1:]
fd = os.open(path, os.O_RDONLY)
got = bytearray()
def read_until(limit):
    while len(got) < limit:
        data = os.read(fd, min(1 << 20, limit - len(got)))
        if not data:
            return
        got.extend(data)
read_until(1 << 20)
open(ready, 'w').close()
deadline = time.monotonic() + 30
while not os.path.exists(go) and time.monotonic() < deadline:
    time.sleep(0.01)
error = 0
try:
    read_until(1 << 40)
except OSError as e:
    error = e.errno
open(out, 'wb').write(got)
print(error)
)";

// Every read goes to a phone on a USB 2.0 link, slow enough that an unplug finds a long read
// still running. Every wait for a program is bounded, so that a drive that hangs fails the test.
class StreamedReadTest : public DriveFixture {
protected:
    StreamedReadTest()
        : DriveFixture("usb2") {}

    // The program's exit code (128 + signal), or -1 if it is still running after `limit`.
    static int endsWithin(pid_t pid, std::chrono::steady_clock::duration limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid)
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            if (std::chrono::steady_clock::now() >= deadline) return -1;
            std::this_thread::sleep_for(20ms);
        }
    }

    // Kills the program; when even that cannot end it (a wait on the drive that nothing
    // answers), the drive's process goes too, which fails every wait on the mount.
    void putDown(pid_t pid) {
        ::kill(pid, SIGKILL);
        if (endsWithin(pid, 3s) >= 0) return;
        for (pid_t extension : extensionsServing())
            ::kill(extension, SIGKILL);
        waitChild(pid);
    }

    // The child's output and exit code, -1 if it had to be put down at `deadline`.
    ChildResult collect(PipedChild child, std::chrono::steady_clock::time_point deadline) {
        ChildResult result{-1, {}};
        char buffer[1 << 16];
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd readable{child.output, POLLIN, 0};
            if (left <= 0ms || ::poll(&readable, 1, int(left.count())) <= 0) break;
            const ssize_t n = ::read(child.output, buffer, sizeof buffer);
            if (n <= 0) break;
            result.output.append(buffer, size_t(n));
        }
        ::close(child.output);
        result.exitCode = endsWithin(child.pid, deadline - std::chrono::steady_clock::now());
        if (result.exitCode < 0) putDown(child.pid);
        return result;
    }

    ChildResult run(const std::vector<std::string>& argv, std::chrono::seconds limit = 30s) {
        return collect(spawnPiped(argv), std::chrono::steady_clock::now() + limit);
    }

    // Likewise once the count stops moving: read-ahead may outlive the program that caused it.
    uint64_t chunksServedOnceSettled() {
        uint64_t last = chunksServed();
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        for (int calm = 0; calm < 3 && std::chrono::steady_clock::now() < deadline;) {
            std::this_thread::sleep_for(200ms);
            const uint64_t now = chunksServed();
            calm = now == last ? calm + 1 : 0;
            last = now;
        }
        return last;
    }

    // The program sleeps in an open or a read (a wait for the drive, when it lasts).
    // Reads `into` from `fd` from offset `from` on until it is full or a read ends short of it;
    // returns how far it got.
    static size_t readRest(int fd, std::string& into, size_t from) {
        while (from < into.size()) {
            const ssize_t n = ::pread(fd, into.data() + from, into.size() - from, off_t(from));
            if (n <= 0) break;
            from += size_t(n);
        }
        return from;
    }

    // Whether `pid` is in one of the system calls `numbers`, seen twice in a row 200 ms apart,
    // so not in some request on its way to an answer.
    static bool waitsIn(pid_t pid, std::initializer_list<long> numbers) {
        const auto inOne = [&] {
            std::istringstream call(readFile("/proc/" + std::to_string(pid) + "/syscall"));
            long number = -1;
            return call >> number &&
                   std::find(numbers.begin(), numbers.end(), number) != numbers.end();
        };
        if (!inOne()) return false;
        std::this_thread::sleep_for(200ms);
        return inOne();
    }

    // `argv` with every "@" in its words replaced by `path`.
    static std::vector<std::string> on(std::vector<std::string> argv, const fs::path& path) {
        for (auto& word : argv)
            if (const size_t at = word.find('@'); at != std::string::npos)
                word.replace(at, 1, path.string());
        return argv;
    }

    // Replaces the phone's item at once by a new file, as the phone's own saves do.
    void replaceOnPhone(const std::string& name, const std::string& bytes) {
        const fs::path next = fs::path(sim.tempDir()) / "next";
        writeFile(next, bytes);
        fs::rename(next, onPhone(name));
    }

    fs::path local(const std::string& name) const { return fs::path(sim.tempDir()) / name; }

    // Ends the phone's faults when the test ends, however it ends.
    struct FaultsCleared {
        SimProcess& sim;
        ~FaultsCleared() { sim.control("fault " + std::string(kPhone) + " clear"); }
    };
};

TEST_F(StreamedReadTest, RangedReadsGiveThePhonesBytes) {
    std::mt19937 random(7);
    std::vector<std::string> seeks = {"python3", "-c", kRangeReader, "@"};
    for (int i = 0; i < 20; ++i) {
        const size_t offset = random() % (24 * kMiB);
        seeks.push_back(std::to_string(offset) + ":" + std::to_string(1 + random() % (9 * kMiB)));
    }
    // Across the first chunk's end, from within a chunk to the end, over two chunk ends, a few
    // bytes on either side of one, and back and forth at random.
    const std::vector<std::string> programs[] = {
        {"head", "-c", "5000000", "@"},
        {"tail", "-c", "9000000", "@"},
        {"dd", "if=@", "bs=1M", "skip=3", "count=6", "status=none"},
        {"dd", "if=@", "bs=4096", "skip=1023", "count=2", "status=none"},
        {"dd", "if=@", "iflag=skip_bytes,count_bytes", "skip=12582911", "count=3", "status=none"},
        seeks,
    };
    unsigned seed = 0;
    for (const auto& argv : programs) {
        // A file of its own for each program, so that nothing it reads was fetched before.
        const std::string name = "ranged-" + std::to_string(++seed);
        writeFile(onPhone(name), pattern(24 * kMiB, seed));
        const auto fromPhone = run(on(argv, onPhone(name)));
        const auto fromDrive = run(on(argv, onDrive(name)));
        ASSERT_EQ(fromPhone.exitCode, 0) << name;
        ASSERT_FALSE(fromPhone.output.empty()) << name;
        EXPECT_EQ(fromDrive.exitCode, 0) << name;
        EXPECT_TRUE(fromDrive.output == fromPhone.output) << name << ": " << argv[0];
    }
}

TEST_F(StreamedReadTest, ReadingAFewBytesOfALargeFileMovesAFewChunks) {
    const std::vector<std::string> programs[] = {{"head", "-c", "4096", "@"},
                                                 {"tail", "-c", "4096", "@"}};
    unsigned seed = 10;
    for (const auto& argv : programs) {
        const std::string name = "large-" + std::to_string(++seed);
        writeFile(onPhone(name), pattern(64 * kMiB, seed));
        const uint64_t before = chunksServedOnceSettled();
        const auto fromDrive = run(on(argv, onDrive(name)));
        const uint64_t moved = chunksServedOnceSettled() - before;
        EXPECT_EQ(fromDrive.exitCode, 0) << argv[0];
        EXPECT_TRUE(fromDrive.output == run(on(argv, onPhone(name))).output) << argv[0];
        EXPECT_LE(moved, 2u) << argv[0] << " of a file of " << 64 * kMiB / kChunk << " chunks";
    }
}

TEST_F(StreamedReadTest, TwoReadersAtDifferentOffsetsBothGetThePhonesBytes) {
    writeFile(onPhone("shared"), pattern(24 * kMiB, 20));
    // Overlapping ranges, one starting in the first chunk, the other in the second.
    const std::vector<std::string> ranges[] = {{"1048576:14680064"}, {"6000000:18000000"}};
    std::vector<PipedChild> readers;
    for (const auto& range : ranges) {
        auto argv = on({"python3", "-c", kRangeReader, "@"}, onDrive("shared"));
        argv.insert(argv.end(), range.begin(), range.end());
        readers.push_back(spawnPiped(argv));
    }
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    for (size_t i = 0; i < readers.size(); ++i) {
        const auto fromDrive = collect(readers[i], deadline);
        auto argv = on({"python3", "-c", kRangeReader, "@"}, onPhone("shared"));
        argv.insert(argv.end(), ranges[i].begin(), ranges[i].end());
        EXPECT_EQ(fromDrive.exitCode, 0) << ranges[i][0];
        EXPECT_EQ(fromDrive.output, run(argv).output) << ranges[i][0];
    }
}

TEST_F(StreamedReadTest, ASecondReadOrAnAppendOfAnUnchangedFileMovesNoChunks) {
    const std::string bytes = pattern(24 * kMiB, 30);
    writeFile(onPhone("twice"), bytes);
    const uint64_t start = chunksServedOnceSettled();
    ASSERT_TRUE(run({"cat", onDrive("twice").string()}).output == bytes);
    const uint64_t afterFirst = chunksServedOnceSettled();
    ASSERT_GE(afterFirst - start, bytes.size() / kChunk) << "the first read came from the phone";
    const auto second = run({"cat", onDrive("twice").string()});
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_TRUE(second.output == bytes);
    EXPECT_EQ(chunksServedOnceSettled(), afterFirst);
    // Nor does an append, whose save sends the whole file: it starts from the same copy.
    EXPECT_EQ(shell("printf tail >> " + onDrive("twice").string()), 0);
    EXPECT_EQ(chunksServedOnceSettled(), afterFirst);
    EXPECT_TRUE(readFile(onPhone("twice")) == bytes + "tail");
}

TEST_F(StreamedReadTest, AnOpenFileNeverMixesTwoVersionsOfTheItem) {
    const size_t sizes[] = {32 * kMiB, 8 * kMiB + 5, 40 * kMiB}; // of the new version
    unsigned seed = 40;
    for (const size_t size : sizes) {
        const std::string name = "changing-" + std::to_string(size);
        const std::string old = pattern(32 * kMiB, ++seed);
        const std::string changed = pattern(size, seed + 100);
        writeFile(onPhone(name), old);
        const fs::path ready = local("ready"), go = local("go"), got = local("got");
        for (const auto& path : {ready, go, got})
            fs::remove(path);
        const PipedChild reader =
            spawnPiped({"python3", "-c", kSnapshotReader, onDrive(name).string(), ready, go, got});
        const auto deadline = std::chrono::steady_clock::now() + 40s;
        EXPECT_TRUE(waitUntil([&] { return fs::exists(ready); }, 20s)) << size;
        replaceOnPhone(name, changed);
        // As the phone does: it announces the change, and the service touches the item through
        // the drive so that file managers look again.
        EXPECT_NE(sim.control("push " + std::string(kPhone) + " mutation created " + name), "OK 0");
        // Long enough for the kernel's trust in the item's attributes to lapse (1 s), so that
        // it asks the drive again before the reader goes on.
        waitUntil(
            [&] {
                struct stat st {};
                return ::stat(onDrive(name).c_str(), &st) == 0 && size_t(st.st_size) != old.size();
            },
            2s);
        writeFile(go, "");
        const auto result = collect(reader, deadline);
        ASSERT_EQ(result.exitCode, 0) << size;
        const std::string read = readFile(got);
        EXPECT_TRUE(result.output == "0\n" || result.output == std::to_string(EIO) + "\n")
            << size << ": error " << result.output;
        EXPECT_GE(read.size(), kMiB) << size;
        EXPECT_TRUE(read.size() == old.size() || result.output != "0\n")
            << size << ": " << read.size() << " bytes and no error";
        EXPECT_TRUE(old.compare(0, read.size(), read) == 0)
            << size << ": bytes not of the version opened";
        // Any fresh read is of one version, and soon of the new one.
        EXPECT_TRUE(waitUntil(
            [&] {
                const std::string now = run({"cat", onDrive(name).string()}).output;
                EXPECT_TRUE(now == old || now == changed) << size << ": a fresh read mixes";
                return now == changed;
            },
            5s))
            << size;
    }
}

// As on any disk, an open file stays readable once its name goes or its times change, though
// most of it had not been fetched yet.
TEST_F(StreamedReadTest, AnOpenFileStaysReadableWhenItsItemIsTouchedOrGoes) {
    const struct {
        const char* what;
        std::string command;
    } cases[] = {
        {"touched", "touch " + onDrive("clip").string()},
        {"removed", "rm " + onDrive("clip").string()},
        {"renamed over", "mv " + onDrive("other").string() + " " + onDrive("clip").string()},
    };
    for (const auto& c : cases) {
        const std::string bytes = pattern(3 * kChunk + 5, 70);
        writeFile(onPhone("clip"), bytes);
        writeFile(onPhone("other"), "another file");
        const int fd = ::open(onDrive("clip").c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        std::string got(bytes.size(), '\0');
        ASSERT_EQ(::pread(fd, got.data(), 4096, 0), 4096);
        EXPECT_EQ(shell(c.command), 0) << c.what;
        const size_t done = readRest(fd, got, 4096);
        ::close(fd);
        EXPECT_EQ(done, bytes.size()) << c.what;
        EXPECT_TRUE(got == bytes) << c.what;
    }
}

TEST_F(StreamedReadTest, UnpluggingThePhoneMidReadFailsTheReaderAndTheDriveComesBack) {
    const std::string bytes = pattern(128 * kMiB, 50);
    writeFile(onPhone("long"), bytes);
    const int copy = ::open(local("copy").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const uint64_t before = chunksServed();
    const pid_t cat = spawnChild({"cat", onDrive("long").string()}, copy);
    ::close(copy);
    EXPECT_TRUE(waitUntil([&] { return chunksServed() >= before + 2; }, 20s));
    EXPECT_EQ(sim.control("detach " + std::string(kPhone)), "OK");
    const int status = endsWithin(cat, 15s);
    if (status < 0) putDown(cat);
    EXPECT_GT(status, 0) << "cat fails within 15 s";
    const std::string got = readFile(local("copy"));
    EXPECT_TRUE(bytes.compare(0, got.size(), got) == 0) << "of " << got.size() << " bytes";
    EXPECT_TRUE(waitUntil([&] { return !mounted(); }, 15s)) << "the volume goes with the phone";

    ASSERT_EQ(sim.control("attach " + std::string(kPhone)).substr(0, 2), "OK");
    mountDrive();
    EXPECT_EQ(run({"cmp", onDrive("long").string(), onPhone("long").string()}).exitCode, 0)
        << "nothing fetched before the unplug is served wrong";
}

// An rm, or a mv over the file, given up while the rest of its open file comes leaves the file
// where it was.
TEST_F(StreamedReadTest, AnInterruptedRemoveOfAnOpenFileKeepsIt) {
    const struct {
        std::vector<std::string> command;
        std::initializer_list<long> calls;
    } cases[] = {
        {{"rm", onDrive("clip").string()}, {SYS_unlinkat, SYS_unlink}},
        {{"mv", onDrive("other").string(), onDrive("clip").string()},
         {SYS_rename, SYS_renameat, SYS_renameat2}},
    };
    for (const auto& c : cases) {
        const std::string bytes = pattern(3 * kChunk + 5, 71);
        writeFile(onPhone("clip"), bytes);
        writeFile(onPhone("other"), "another file");
        const int fd = ::open(onDrive("clip").c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        std::string got(bytes.size(), '\0');
        ASSERT_EQ(::pread(fd, got.data(), 4096, 0), 4096);
        const std::string mute = "fault " + std::string(kPhone) + " mute 9";
        ASSERT_EQ(sim.control(mute + " on"), "OK");
        FaultsCleared cleared{sim};
        const pid_t program = spawnChild(c.command);
        EXPECT_TRUE(waitUntil([&] { return waitsIn(program, c.calls); }, 10s)) << c.command[0];
        ::kill(program, SIGINT);
        const int status = endsWithin(program, 10s);
        if (status < 0) putDown(program);
        EXPECT_EQ(status, 128 + SIGINT) << c.command[0];
        ASSERT_EQ(sim.control(mute + " off"), "OK");
        EXPECT_EQ(readRest(fd, got, 4096), bytes.size()) << c.command[0];
        ::close(fd);
        EXPECT_TRUE(got == bytes) << c.command[0];
        // Once the rest has come, nothing goes on to remove or replace it.
        EXPECT_FALSE(waitUntil([&] { return readFile(onPhone("clip")) != bytes; }, 2s))
            << c.command[0];
        EXPECT_EQ(run({"cmp", onDrive("clip").string(), onPhone("clip").string()}).exitCode, 0)
            << c.command[0];
    }
}

struct Interrupt {
    const char* name;
    int mutedCode; // the request the phone never answers
    int signal;
};

void PrintTo(const Interrupt& interrupt, std::ostream* out) {
    *out << interrupt.name;
}

class StreamedReadInterruptTest : public StreamedReadTest,
                                  public testing::WithParamInterface<Interrupt> {};

TEST_P(StreamedReadInterruptTest, AProgramWaitingOnThePhoneEndsAtItsSignal) {
    const auto& [name, mutedCode, signalSent] = GetParam();
    const std::string bytes = pattern(10 * kMiB, 60);
    writeFile(onPhone("held"), bytes);
    const std::string mute = "fault " + std::string(kPhone) + " mute " + std::to_string(mutedCode);
    ASSERT_EQ(sim.control(mute + " on"), "OK");
    FaultsCleared cleared{sim};
    const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    const pid_t cat = spawnChild({"cat", onDrive("held").string()}, devNull);
    ::close(devNull);
    EXPECT_TRUE(waitUntil([&] { return waitsIn(cat, {SYS_openat, SYS_read}); }, 10s));
    ::kill(cat, signalSent);
    const int status = endsWithin(cat, 10s);
    if (status < 0) putDown(cat);
    ASSERT_EQ(status, 128 + signalSent)
        << "ended within 10 s while the phone, muted, never answers";
    ASSERT_EQ(sim.control(mute + " off"), "OK");
    // Nothing the killed program waited for holds up the next reader: it is served well before
    // a request the phone dropped would time out (30 s).
    const auto again = run({"cat", onDrive("held").string()}, 20s);
    EXPECT_EQ(again.exitCode, 0);
    EXPECT_TRUE(again.output == bytes);
}

INSTANTIATE_TEST_SUITE_P(StreamedRead, StreamedReadInterruptTest,
                         testing::Values(Interrupt{"ReadInterrupted", 9, SIGINT},
                                         Interrupt{"ReadKilled", 9, SIGKILL},
                                         Interrupt{"OpenKilled", 2, SIGKILL}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace brimo::test
