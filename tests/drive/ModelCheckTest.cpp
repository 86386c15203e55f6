// The drive against a model of what its files must hold: random writes, reads, truncates,
// appends, shared-mapping writes and reopenings on a few files, each step compared with an
// in-memory copy of every file, and with the phone's own files whenever nothing is open for
// writing.
//
// BRIMO_MODEL_SEED and BRIMO_MODEL_OPS choose the run (scripts/drive-model.sh sets them); CI runs
// a short one.

#include "tests/drive/DriveFixture.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace brimo::test {
namespace {

constexpr size_t kFiles = 3;
// Past two whole chunks of the phone's transfers, so that chunks are fetched apart and written
// behind.
constexpr size_t kLargest = 10 * 1024 * 1024;
constexpr size_t kLongestWrite = 1536 * 1024;

uint64_t fromEnvironment(const char* name, uint64_t fallback) {
    const char* value = std::getenv(name);
    return value && *value ? std::strtoull(value, nullptr, 10) : fallback;
}

struct Descriptor {
    int fd;
    bool writable;
    bool append;
};

struct ModelFile {
    std::string name;
    std::string bytes; // what the file must hold
    std::vector<Descriptor> open;
};

class ModelCheckTest : public DriveFixture {
protected:
    std::mt19937_64 random{fromEnvironment("BRIMO_MODEL_SEED", 1)};
    std::vector<ModelFile> files;
    std::string trace; // the steps so far, for the failure message

    size_t below(size_t bound) { return bound == 0 ? 0 : size_t(random() % bound); }
    std::string noise(size_t size) {
        std::string bytes(size, '\0');
        for (auto& byte : bytes)
            byte = char(random());
        return bytes;
    }
    void step(const std::string& what) { trace += what + "\n"; }

    Descriptor& anyDescriptor(ModelFile& file, bool writable) {
        std::vector<Descriptor*> fitting;
        for (auto& open : file.open)
            if (open.writable || !writable) fitting.push_back(&open);
        if (fitting.empty() || below(4) == 0) { // now and then another program opens it
            const bool append = writable && below(4) == 0;
            const int flags = writable ? (O_RDWR | (append ? O_APPEND : 0)) : O_RDONLY;
            const int fd = ::open(onDrive(file.name).c_str(), flags | O_CLOEXEC);
            EXPECT_GE(fd, 0) << file.name << ": " << std::strerror(errno);
            file.open.push_back({fd, writable, append});
            step("open " + file.name + (append ? " append" : writable ? " rw" : " ro"));
            return file.open.back();
        }
        return *fitting[below(fitting.size())];
    }

    void closeAll(ModelFile& file) {
        for (const auto& open : file.open)
            EXPECT_EQ(::close(open.fd), 0) << file.name << ": " << std::strerror(errno);
        file.open.clear();
        step("close " + file.name);
    }

    // One random operation on one random file.
    void act() {
        ModelFile& file = files[below(files.size())];
        std::string& bytes = file.bytes;
        switch (below(9)) {
        case 0:
        case 1: { // a write somewhere, gaps filled with zeros
            Descriptor& open = anyDescriptor(file, true);
            const size_t offset = below(std::min(bytes.size() + 8192, kLargest));
            const std::string data = noise(1 + below(kLongestWrite));
            ASSERT_EQ(::pwrite(open.fd, data.data(), data.size(), off_t(offset)),
                      ssize_t(data.size()));
            // pwrite on an O_APPEND descriptor appends, whatever the offset (Linux).
            const size_t at = open.append ? bytes.size() : offset;
            if (bytes.size() < at + data.size()) bytes.resize(at + data.size(), '\0');
            bytes.replace(at, data.size(), data);
            step("pwrite " + file.name + " " + std::to_string(at) + "+" +
                 std::to_string(data.size()));
            break;
        }
        case 2: { // a read anywhere, past the end included
            Descriptor& open = anyDescriptor(file, false);
            const size_t offset = below(bytes.size() + 100);
            std::string seen(1 + below(kLongestWrite), '\0');
            const ssize_t got = ::pread(open.fd, seen.data(), seen.size(), off_t(offset));
            const std::string expected =
                offset < bytes.size() ? bytes.substr(offset, seen.size()) : "";
            ASSERT_EQ(got, ssize_t(expected.size())) << trace;
            ASSERT_TRUE(seen.substr(0, size_t(got)) == expected) << trace;
            break;
        }
        case 3: { // truncate by path, or through a descriptor
            const size_t size = below(std::min(bytes.size() * 2 + 4096, kLargest));
            if (below(2) == 0 || file.open.empty()) {
                ASSERT_EQ(::truncate(onDrive(file.name).c_str(), off_t(size)), 0)
                    << std::strerror(errno);
                step("truncate " + file.name + " " + std::to_string(size));
            } else {
                ASSERT_EQ(::ftruncate(anyDescriptor(file, true).fd, off_t(size)), 0);
                step("ftruncate " + file.name + " " + std::to_string(size));
            }
            bytes.resize(size, '\0');
            break;
        }
        case 4: { // writes through a shared mapping, seen by reads, then synced
            if (bytes.empty()) break;
            Descriptor& open = anyDescriptor(file, true);
            if (open.append) break; // appending descriptors cannot be mapped for writing
            void* map =
                ::mmap(nullptr, bytes.size(), PROT_READ | PROT_WRITE, MAP_SHARED, open.fd, 0);
            ASSERT_NE(map, MAP_FAILED) << std::strerror(errno);
            const size_t offset = below(bytes.size());
            const std::string data =
                noise(1 + below(std::min(bytes.size() - offset, kLongestWrite)));
            std::memcpy(static_cast<char*>(map) + offset, data.data(), data.size());
            bytes.replace(offset, data.size(), data);
            ASSERT_EQ(std::memcmp(map, bytes.data(), bytes.size()), 0) << trace;
            ASSERT_EQ(::msync(map, bytes.size(), MS_SYNC), 0) << std::strerror(errno);
            ::munmap(map, bytes.size());
            step("mmap write " + file.name + " " + std::to_string(offset) + "+" +
                 std::to_string(data.size()));
            break;
        }
        case 5:
            closeAll(file);
            break;
        case 6: { // a save as a program makes it
            if (file.open.empty()) break;
            ASSERT_EQ(::fsync(file.open[below(file.open.size())].fd), 0) << std::strerror(errno);
            step("fsync " + file.name);
            break;
        }
        default: { // an append through a descriptor of its own
            const int fd = ::open(onDrive(file.name).c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
            ASSERT_GE(fd, 0);
            const std::string data = noise(1 + below(4096));
            ASSERT_EQ(::write(fd, data.data(), data.size()), ssize_t(data.size()));
            ASSERT_EQ(::close(fd), 0) << std::strerror(errno);
            bytes += data;
            step("append " + file.name + " " + std::to_string(data.size()));
            break;
        }
        }
    }

    // What a program opening the file now reads, and its size.
    void expectHolds(const ModelFile& file) {
        struct stat st {};
        ASSERT_EQ(::stat(onDrive(file.name).c_str(), &st), 0);
        ASSERT_EQ(size_t(st.st_size), file.bytes.size()) << file.name << "\n" << trace;
        ASSERT_TRUE(readFile(onDrive(file.name)) == file.bytes) << file.name << "\n" << trace;
    }
};

TEST_F(ModelCheckTest, FilesHoldWhatWasWrittenStepByStepAndOnThePhone) {
    const uint64_t operations = fromEnvironment("BRIMO_MODEL_OPS", 150);
    for (size_t i = 0; i < kFiles; ++i) {
        ModelFile file{"model-" + std::to_string(i), noise(below(300000)), {}};
        writeFile(onPhone(file.name), file.bytes);
        files.push_back(std::move(file));
    }
    for (uint64_t i = 0; i < operations; ++i) {
        ASSERT_NO_FATAL_FAILURE(act());
        for (const auto& file : files) {
            ASSERT_NO_FATAL_FAILURE(expectHolds(file));
            // With no descriptor open for writing, nothing may wait to be saved.
            const bool writing = std::any_of(file.open.begin(), file.open.end(),
                                             [](const Descriptor& open) { return open.writable; });
            if (!writing) {
                ASSERT_TRUE(readFile(onPhone(file.name)) == file.bytes)
                    << file.name << " on the phone\n"
                    << trace;
            }
        }
    }
    for (auto& file : files) {
        closeAll(file);
        EXPECT_TRUE(readFile(onPhone(file.name)) == file.bytes)
            << file.name << ": " << readFile(onPhone(file.name)).size() << " bytes on the phone, "
            << file.bytes.size() << " written\n"
            << trace;
    }
}

} // namespace
} // namespace brimo::test
