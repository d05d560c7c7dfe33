#pragma once
// A pseudo-terminal: the code under test opens Path() as its serial line, the
// test plays the device on the master side.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>

namespace kv::test {

class Pty {
public:
    Pty() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[128];
        if (master_ >= 0 && ::grantpt(master_) == 0 && ::unlockpt(master_) == 0 &&
            ::ptsname_r(master_, name, sizeof name) == 0) {
            path_ = name;
        }
    }
    ~Pty() { CloseMaster(); }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    int Master() const { return master_; }
    const std::string& Path() const { return path_; }
    void CloseMaster() {
        if (master_ >= 0) ::close(master_);
        master_ = -1;
    }
    void Send(std::string_view s) const {
        ASSERT_EQ(::write(master_, s.data(), s.size()), static_cast<ssize_t>(s.size()));
    }
    // What the slave side wrote, waiting up to two seconds for `n` bytes.
    std::string Receive(std::size_t n) const {
        std::string out;
        char buf[256];
        for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
             out.size() < n && std::chrono::steady_clock::now() < end;) {
            pollfd p{master_, POLLIN, 0};
            const ssize_t r = ::poll(&p, 1, 20) > 0 ? ::read(master_, buf, sizeof buf) : 0;
            if (r > 0) out.append(buf, static_cast<std::size_t>(r));
        }
        return out;
    }

private:
    int master_ = -1;
    std::string path_;
};

}  // namespace kv::test
