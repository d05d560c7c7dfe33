#include "discovery.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kv::alpaca {

bool Discovery::Start(const std::string& address, int port, int httpPort, std::string* error) {
    Stop();
    const auto fail = [&](const std::string& what) {
        if (error) *error = what + ": " + std::strerror(errno) + "; discovery is off.";
        if (fd_ >= 0) ::close(fd_), fd_ = -1;
        return false;
    };
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::inet_pton(AF_INET, address.c_str(), &at.sin_addr) != 1) {
        errno = EINVAL;
        return fail("Alpaca discovery cannot listen on " + address);
    }
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return fail("Alpaca discovery has no socket");
    const int on = 1;
    // The port is taken exclusively (neither SO_REUSEADDR nor SO_REUSEPORT):
    // a port shared with another program splits the probes between the two,
    // and a client then misses whichever server did not hear it.
    ::setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0) {
        return fail("Alpaca discovery cannot use UDP port " + std::to_string(port) + " on " + address);
    }
    socklen_t len = sizeof at;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&at), &len);
    port_ = ntohs(at.sin_port);
    httpPort_ = httpPort;
    if (::pipe2(wake_, O_CLOEXEC) != 0) return fail("Alpaca discovery has no pipe");
    thread_ = std::thread([this] { Run(); });
    return true;
}

void Discovery::Stop() {
    if (thread_.joinable()) {
        const char stop = 's';
        [[maybe_unused]] const ssize_t n = ::write(wake_[1], &stop, 1);
        thread_.join();
    }
    for (int* fd : {&fd_, &wake_[0], &wake_[1]}) {
        if (*fd >= 0) ::close(*fd), *fd = -1;
    }
}

void Discovery::Run() {
    const std::string answer = "{\"AlpacaPort\":" + std::to_string(httpPort_) + "}";
    for (;;) {
        pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents != 0) return;
        char buffer[64];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n = ::recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &len);
        // Anything but the exact message (a scan, a stray packet) gets no answer.
        if (n != static_cast<ssize_t>(std::strlen(kDiscoveryMessage)) ||
            std::memcmp(buffer, kDiscoveryMessage, static_cast<std::size_t>(n)) != 0) {
            continue;
        }
        ::sendto(fd_, answer.data(), answer.size(), 0, reinterpret_cast<const sockaddr*>(&from), len);
    }
}

}  // namespace kv::alpaca
