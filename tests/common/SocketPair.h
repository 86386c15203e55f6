#pragma once

#include <cstdint>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace brimo::test {

// A connected pair of stream sockets: `local` is handed to the code under test, `peer` plays
// the phone in the test.
struct SocketPair {
    int local = -1;
    int peer = -1;

    SocketPair() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
            local = fds[0];
            peer = fds[1];
        }
    }
    ~SocketPair() { closePeer(); }
    SocketPair(const SocketPair&) = delete;
    SocketPair& operator=(const SocketPair&) = delete;

    void closePeer() {
        if (peer >= 0) ::close(peer);
        peer = -1;
    }

    bool write(const std::string& bytes) const {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::send(peer, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }

    // Reads exactly `count` bytes, or fewer if the stream ends.
    std::string read(size_t count) const {
        std::string out(count, '\0');
        size_t done = 0;
        while (done < count) {
            const ssize_t n = ::recv(peer, out.data() + done, count - done, 0);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        out.resize(done);
        return out;
    }

    // Reads up to and including the next line feed.
    std::string readLine() const {
        std::string line;
        char c = 0;
        while (::recv(peer, &c, 1, 0) == 1) {
            line.push_back(c);
            if (c == '\n') break;
        }
        return line;
    }
};

} // namespace brimo::test
