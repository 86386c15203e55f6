// The machine's own cost of landing a file at a link's pace: 4 MiB pwrite + fdatasync steps,
// spaced to a given rate, with this process's CPU time (user + system) per GiB written. The
// transfer benchmark prints it beside the service's figure, since on a virtual machine the
// first touch of page-cache pages costs more the longer memory sits idle between chunks.
//
// usage: paced_write_bench DIR MiB [MiB/s, 0 = unpaced]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

double cpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s DIR MiB [MiB/s]\n", argv[0]);
        return 2;
    }
    const std::string path = std::string(argv[1]) + "/paced-write.bin";
    const long mib = std::atol(argv[2]);
    const double rate = argc > 3 ? std::atof(argv[3]) : 0;
    constexpr size_t kChunk = 4 << 20;
    std::vector<char> chunk(kChunk);
    for (size_t i = 0; i < kChunk; ++i)
        chunk[i] = static_cast<char>(i * 2654435761u >> 13);

    const int fd = ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0) {
        std::perror(path.c_str());
        return 1;
    }
    const long chunks = mib / 4;
    const auto start = std::chrono::steady_clock::now();
    const double cpu0 = cpuSeconds();
    for (long i = 0; i < chunks; ++i) {
        if (::pwrite(fd, chunk.data(), kChunk, static_cast<off_t>(i * kChunk)) !=
                static_cast<ssize_t>(kChunk) ||
            ::fdatasync(fd) != 0) {
            std::perror(path.c_str());
            return 1;
        }
        if (rate > 0)
            std::this_thread::sleep_until(start +
                                          std::chrono::duration<double>((i + 1) * 4 / rate));
    }
    const double cpu = cpuSeconds() - cpu0;
    ::close(fd);
    ::unlink(path.c_str());
    std::printf("%.2f\n", cpu / (chunks * 4 / 1024.0));
    return 0;
}
