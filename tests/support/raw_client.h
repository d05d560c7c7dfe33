#pragma once
// A client on a plain loopback socket, for what a protocol library would not
// send or would hide: bytes as written, and what comes back as it comes.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>

namespace kv::test {

// The loopback address at `port` (0: any free one).
inline sockaddr_in Loopback(int port = 0) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    return a;
}

class RawClient {
public:
    explicit RawClient(int port) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
        const sockaddr_in to = Loopback(port);
        connected_ = connect(fd_, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0;
    }
    ~RawClient() { close(fd_); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;
    bool Send(const std::string& bytes) {
        return connected_ && send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    // Whether the server has answered or closed (without waiting).
    bool Answered() const {
        pollfd p{fd_, POLLIN, 0};
        return poll(&p, 1, 0) == 1;
    }
    // What the server sent, until `until` holds of it or nothing comes for
    // `quietMs` (a bound reached only when the server hangs, or has closed).
    std::string Read(const std::function<bool(const std::string&)>& until, int quietMs = 8000) {
        std::string got;
        char buffer[65536];
        pollfd p{fd_, POLLIN, 0};
        for (ssize_t n = 1; n > 0 && !until(got) && poll(&p, 1, quietMs) == 1;) {
            n = recv(fd_, buffer, sizeof buffer, 0);
            got.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
        }
        return got;
    }

private:
    int fd_;
    bool connected_ = false;
};

}  // namespace kv::test
