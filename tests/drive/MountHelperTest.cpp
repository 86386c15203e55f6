#include "tests/drive/DriveFixture.h"

namespace brimo::test {
namespace {

// The helpers' failures, each one clear line on stderr and a non-zero status.
TEST(MountHelperTest, RefusesWhatCannotBeMounted) {
    char dir[] = "/tmp/brimo-helper-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const fs::path base = dir;
    const fs::path log = base / "stderr";
    auto run = [&](std::vector<std::string> argv) {
        const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const pid_t pid = spawnChild(argv, -1, fd);
        ::close(fd);
        return waitChild(pid);
    };
    auto lines = [&] {
        const std::string text = readFile(log);
        return std::count(text.begin(), text.end(), '\n');
    };

    EXPECT_EQ(run({BRIMO_MOUNT_PATH, "-t", "brimo", base.string(), (base / "absent").string()}), 1);
    EXPECT_EQ(lines(), 1);
    EXPECT_NE(readFile(log).find("absent"), std::string::npos) << readFile(log);

    fs::create_directory(base / "mnt");
    EXPECT_EQ(run({BRIMO_MOUNT_PATH, "-t", "brimo", (base / "no-source").string(),
                   (base / "mnt").string()}),
              1);
    EXPECT_EQ(lines(), 1);
    EXPECT_NE(readFile(log).find("no-source"), std::string::npos) << readFile(log);
    EXPECT_EQ(run({BRIMO_MOUNT_PATH, "-t", "ext4", base.string(), (base / "mnt").string()}), 1);

    EXPECT_NE(run({BRIMO_UMOUNT_PATH, (base / "mnt").string()}), 0) << "nothing is mounted there";
    EXPECT_EQ(run({BRIMO_UMOUNT_PATH}), 2);
    fs::remove_all(base);
}

} // namespace
} // namespace brimo::test
