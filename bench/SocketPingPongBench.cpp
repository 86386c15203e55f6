// The floor under any IPC round trip on this machine: one byte back and forth between two
// processes over a Unix stream socket, blocking reads, nothing else. Prints the mean round trip;
// bench/ipc_bench.sh sets the service's echo against it.
//
// usage: socket_ping_pong_bench [ROUND_TRIPS, default 20000]

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

bool exchange(int fd, char& byte) {
    return ::write(fd, &byte, 1) == 1 && ::read(fd, &byte, 1) == 1;
}

} // namespace

int main(int argc, char** argv) {
    const long count = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 20000;
    int fds[2];
    if (count <= 0 || ::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 2;
    const pid_t echo = ::fork();
    if (echo == 0) {
        ::close(fds[0]);
        char byte;
        while (::read(fds[1], &byte, 1) == 1 && ::write(fds[1], &byte, 1) == 1) {
        }
        ::_exit(0);
    }
    ::close(fds[1]);
    char byte = 'x';
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < count; ++i)
        if (!exchange(fds[0], byte)) return 1;
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
    ::close(fds[0]);
    ::waitpid(echo, nullptr, 0);
    std::printf("%ld socket round trips: %.6f s (%.6f ms each)\n", count, took.count() / 1000,
                took.count() / count);
    return 0;
}
