// A fault soak of the mounted drive: real programs (cp, dd conv=notrunc, a write-then-rename
// save, sqlite3) save files of 0 B to 30 MiB while the simulated phone is unplugged, falls
// silent, refuses the commit or is full, and while the service or Brimofs is killed.
//
// It fails unless, for every save, either the program succeeded and the phone holds exactly
// the saved bytes, or the program was told it failed; a save whose program had written all of
// its bytes is then found whole on the phone once the faults end (over the item or beside it as
// a conflict copy). Reading a file through the drive never gives bytes that the phone does not
// hold; no program hangs; no sanitizer reports anything; nothing stays mounted.
//
// BRIMO_SOAK_SEED and BRIMO_SOAK_OPS choose the run (scripts/soak.sh --drive sets them); CTest
// runs a short one (label soak).

#include "tests/drive/DriveFixture.h"

#include <cstdlib>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sys/wait.h>
#include <thread>

namespace brimo::test {
namespace {

constexpr uint64_t kMiB = 1024 * 1024;
constexpr auto kProgramBound = 90s; // a program that takes longer hangs

uint64_t fromEnvironment(const char* name, uint64_t fallback) {
    const char* value = std::getenv(name);
    return value && *value ? std::strtoull(value, nullptr, 10) : fallback;
}

enum class Fault { none, refuseCommit, full, unplug, silence, killService, killDrive };
constexpr Fault kFaults[] = {Fault::refuseCommit, Fault::full,      Fault::unplug, Fault::silence,
                             Fault::killService,  Fault::killDrive, Fault::none};
const char* nameOf(Fault fault) {
    switch (fault) {
    case Fault::none:
        return "none";
    case Fault::refuseCommit:
        return "refuse";
    case Fault::full:
        return "full";
    case Fault::unplug:
        return "unplug";
    case Fault::silence:
        return "silence";
    case Fault::killService:
        return "kill-service";
    case Fault::killDrive:
        return "kill-drive";
    }
    return "?";
}
// Faults set before the program starts: it writes all its bytes and only the save fails.
bool setBefore(Fault fault) {
    return fault == Fault::refuseCommit || fault == Fault::full;
}

enum class Program { cp, dd, renameSave, sqlite };
const char* nameOf(Program program) {
    switch (program) {
    case Program::cp:
        return "cp";
    case Program::dd:
        return "dd";
    case Program::renameSave:
        return "rename-save";
    case Program::sqlite:
        return "sqlite3";
    }
    return "?";
}

class DriveSoakTest : public DriveFixture {
protected:
    DriveSoakTest() {
        // Read by the service's and Brimofs' sanitizer runtimes, which start after this.
        fs::create_directories(sanitizerLogs());
        for (auto [variable, added] :
             {std::pair{"ASAN_OPTIONS", "log_path=" + (sanitizerLogs() / "asan").string()},
              std::pair{"UBSAN_OPTIONS",
                        "print_stacktrace=1:log_path=" + (sanitizerLogs() / "ubsan").string()}}) {
            const char* given = std::getenv(variable);
            ::setenv(variable, ((given && *given ? std::string(given) + ":" : "") + added).c_str(),
                     1);
        }
    }

    fs::path sanitizerLogs() const { return fs::path(sim.tempDir()) / "sanitizer"; }
    fs::path local() const { return fs::path(sim.tempDir()) / "local"; }

    std::mt19937_64 random{fromEnvironment("BRIMO_SOAK_SEED", 1)};
    size_t below(size_t bound) { return bound == 0 ? 0 : size_t(random() % bound); }

    uint64_t pickSize() {
        switch (below(8)) {
        case 0:
            return 0;
        case 1:
            return 1;
        case 2:
            return 4 * kMiB - 1 + below(3);
        case 3:
            return below(30 * kMiB + 1);
        default:
            return below(256 * 1024);
        }
    }

    std::string bytesOf(uint64_t size) {
        std::string bytes(size, '\0');
        uint64_t state = random();
        for (auto& byte : bytes) {
            state = state * 6364136223846793005ull + 1442695040888963407ull;
            byte = char(state >> 56);
        }
        return bytes;
    }

    // The exit code, or -1 when the program had to be killed.
    int runBounded(const std::vector<std::string>& argv) {
        const pid_t pid = spawnChild(argv);
        const auto deadline = std::chrono::steady_clock::now() + kProgramBound;
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid)
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            std::this_thread::sleep_for(20ms);
        }
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        return -1;
    }

    void inject(Fault fault, uint64_t size) {
        const std::string phone = kPhone;
        switch (fault) {
        case Fault::refuseCommit:
            sim.control("fault " + phone + " status 6 7");
            break;
        case Fault::full:
            sim.control("fault " + phone + " space " + std::to_string(size / 2));
            break;
        case Fault::unplug:
            sim.control("detach " + phone);
            break;
        case Fault::silence:
            sim.control("fault " + phone + " silent on");
            break;
        case Fault::killService:
            for (pid_t pid : servicesUsing(runtimeDir))
                ::kill(pid, SIGKILL);
            break;
        case Fault::killDrive:
            for (pid_t pid : extensionsServing())
                ::kill(pid, SIGKILL);
            break;
        case Fault::none:
            break;
        }
    }

    // Back to a phone that answers and a mounted drive. A phone lost while mounted (unplugged,
    // or silent for three keepalives) takes the drive with it, as does a killed Brimofs: that
    // happens first.
    void recover(Fault fault) {
        if (fault == Fault::unplug || fault == Fault::silence || fault == Fault::killDrive)
            if (!waitUntil([&] { return !mounted(); }, 30s))
                violation(std::string("the drive stayed mounted after ") + nameOf(fault));
        sim.control("fault " + std::string(kPhone) + " clear");
        if (sim.control("list").find(kPhone) == std::string::npos)
            sim.control("attach " + std::string(kPhone));
        if (!mounted()) {
            waitUntil([&] { return extensionsServing().empty(); }, 30s);
            // Programs that ran on after the drive went wrote into the bare folder.
            std::error_code ignored;
            for (const auto& entry : fs::directory_iterator(mountPoint(), ignored)) {
                ++counts["written beside the drive after it went"];
                fs::remove_all(entry.path(), ignored);
            }
            mountDrive();
            if (!mounted()) {
                reportSanitizers();
                FAIL() << "not mounted again; the drive's log:\n"
                       << readFile(stateDir() / "Ozm.Tarvel/Brimofs.log");
            }
        }
    }

    void reportSanitizers() {
        for (const auto& entry : fs::directory_iterator(sanitizerLogs()))
            if (!readFile(entry.path()).empty())
                violation("sanitizer report:\n" + readFile(entry.path()));
    }

    // The item as a program reads it, once the drive answers: right after the service was
    // killed, say, a read may fail, which is not what is checked here.
    std::string readThroughDrive(const std::string& name) {
        std::string bytes;
        waitUntil(
            [&] {
                bytes.clear();
                const int fd = ::open(onDrive(name).c_str(), O_RDONLY | O_CLOEXEC);
                if (fd < 0) return false;
                char buffer[65536];
                ssize_t got;
                while ((got = ::read(fd, buffer, sizeof buffer)) > 0)
                    bytes.append(buffer, size_t(got));
                ::close(fd);
                return got == 0;
            },
            20s);
        return bytes;
    }

    // Every file's bytes on the phone, and those kept in the container.
    std::set<std::string> everyContent() {
        std::set<std::string> contents;
        for (const auto& root : {phoneRoot, container() / "kept-saves"}) {
            std::error_code error;
            for (auto entry = fs::recursive_directory_iterator(root, error);
                 entry != fs::recursive_directory_iterator(); entry.increment(error))
                if (entry->is_regular_file()) contents.insert(readFile(entry->path()));
        }
        return contents;
    }

    void violation(const std::string& what) {
        ADD_FAILURE() << what;
        ++counts["violations"];
    }

    std::map<std::string, uint64_t> counts;
};

TEST_F(DriveSoakTest, EverySaveReachesThePhoneOrIsToldAndKept) {
    const uint64_t ops = fromEnvironment("BRIMO_SOAK_OPS", 16);
    const std::vector<std::string> names = {"a.bin", "b.bin", "c.bin", "dir/d.bin"};
    fs::create_directories(onPhone("dir"));
    const auto kept = [&] { return runChild({BRIMOCTL_PATH, "kept"}).output; };
    uint64_t rows = 0;
    for (uint64_t op = 0; op < ops; ++op) {
        // Each fault once first, then at random.
        const Fault fault =
            op < std::size(kFaults) ? kFaults[op] : kFaults[below(std::size(kFaults))];
        const Program program = Program(below(4));
        const std::string name = names[below(names.size())];
        const uint64_t size = pickSize();
        const std::string bytes = bytesOf(size);
        writeFile(local(), bytes);
        const std::string before = fs::exists(onPhone(name)) ? readFile(onPhone(name)) : "";
        std::optional<std::string> keptBytes; // of a save told failed after writing them all

        std::vector<std::string> argv;
        std::string expected = bytes; // what the item holds after a successful save
        const std::string target = onDrive(name).string();
        switch (program) {
        case Program::cp:
            argv = {"cp", local().string(), target};
            break;
        case Program::dd:
            argv = {"dd",    "if=" + local().string(), "of=" + target,
                    "bs=1M", "conv=notrunc,fsync",     "status=none"};
            expected = before.size() > bytes.size() ? bytes + before.substr(bytes.size()) : bytes;
            break;
        case Program::renameSave:
            argv = {"python3", "-c",
                    "import os, shutil, sys\n"
                    "temporary = os.path.join(os.path.dirname(sys.argv[2]), '.save.tmp')\n"
                    "with open(sys.argv[1], 'rb') as source, open(temporary, 'wb') as out:\n"
                    "    shutil.copyfileobj(source, out)\n"
                    "    out.flush()\n"
                    "    os.fsync(out.fileno())\n"
                    "os.replace(temporary, sys.argv[2])\n",
                    local().string(), target};
            break;
        case Program::sqlite:
            argv = {"sqlite3", onDrive("db.sqlite").string(),
                    "create table if not exists t(x); insert into t values(randomblob(" +
                        std::to_string(size % 200000) + "));"};
            break;
        }

        if (setBefore(fault)) inject(fault, size);
        std::thread midway;
        if (!setBefore(fault) && fault != Fault::none)
            midway = std::thread([this, fault, size, wait = below(150)] {
                std::this_thread::sleep_for(std::chrono::milliseconds(wait));
                inject(fault, size);
            });
        const int status = runBounded(argv);
        if (midway.joinable()) midway.join();
        // Gone during the run, the drive may have left the program a bare folder to write in.
        const bool stayed = mounted();
        const std::string what = std::string(nameOf(program)) + " of " + std::to_string(size) +
                                 " B to " + name + " with fault " + nameOf(fault);
        ++counts[std::string("program ") + nameOf(program)];
        ++counts[std::string("fault ") + nameOf(fault)];
        if (status < 0) violation(what + ": hung");

        if (program == Program::sqlite) {
            // Bytes of a database are the database's business; its rows are ours to count.
            rows += status == 0 && stayed;
            ++counts[status == 0 ? "saved" : "told failed"];
        } else if (status == 0 && !stayed) {
            ++counts["succeeded after the drive went"];
        } else if (status == 0) {
            ++counts["saved"];
            if (readFile(onPhone(name)) != expected)
                violation(what + ": reported saved, but the phone holds other bytes");
        } else {
            ++counts["told failed"];
            if (setBefore(fault)) keptBytes = expected;
        }
        ASSERT_NO_FATAL_FAILURE(recover(fault)) << what;
        // What a failed save kept reaches the phone once it answers, before the next save.
        if (status != 0 && !waitUntil([&] { return kept().empty(); }, 60s))
            violation(what + ": still kept after the phone answered again:\n" + kept());
        if (keptBytes) {
            ++counts["kept and sent"];
            if (!everyContent().contains(*keptBytes))
                violation(what + ": the bytes of the failed save are nowhere on the phone");
        }
        // What the drive shows is what the phone holds (read twice: a kept save may land).
        if (fs::exists(onPhone(name))) {
            const std::string first = readFile(onPhone(name));
            const std::string shown = readThroughDrive(name);
            if (shown != first && shown != readFile(onPhone(name)))
                violation(what + " (status " + std::to_string(status) + "): the drive shows " +
                          std::to_string(shown.size()) + " B (" +
                          (shown == bytes    ? "the save's"
                           : shown == before ? "the old"
                                             : "other") +
                          "), the phone holds " + std::to_string(first.size()) + " B");
        }
        if (program == Program::sqlite && status == 0) {
            std::string count;
            shell("sqlite3 '" + onDrive("db.sqlite").string() + "' 'select count(*) from t' 2>&1",
                  &count);
            if (count != std::to_string(rows) + "\n")
                violation(what + ": the database has " + count + " rows, " + std::to_string(rows) +
                          " saved");
        }
    }

    std::string integrity;
    shell("sqlite3 '" + onDrive("db.sqlite").string() + "' 'pragma integrity_check'", &integrity);
    if (fs::exists(onPhone("db.sqlite")) && integrity != "ok\n")
        violation("the database is damaged: " + integrity);
    reportSanitizers();

    std::cout << "drive soak: seed " << fromEnvironment("BRIMO_SOAK_SEED", 1) << ", " << ops
              << " saves\n";
    for (const auto& [what, count] : counts)
        std::cout << "  " << what << ": " << count << "\n";
}

} // namespace
} // namespace brimo::test
