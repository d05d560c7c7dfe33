#pragma once
// A device server with the simulated camera and focuser, on a free port, for
// one test. Tests skip when the server program is not installed.
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

extern char** environ;

namespace kv::test {

class IndiServer {
public:
    static bool Installed() { return access("/usr/bin/indiserver", X_OK) == 0; }

    IndiServer() {
        port_ = FreePort();
        const std::string port = std::to_string(port_);
        const char* argv[] = {"indiserver", "-p", port.c_str(), "indi_simulator_ccd", "indi_simulator_focus", nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        if (posix_spawnp(&pid_, "indiserver", &actions, nullptr, const_cast<char* const*>(argv), environ) != 0) pid_ = 0;
        posix_spawn_file_actions_destroy(&actions);
        // Ready once it accepts connections and its drivers have had time to define themselves.
        for (int i = 0; i < 100 && pid_ > 0 && !Accepts(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    ~IndiServer() { Kill(); }
    IndiServer(const IndiServer&) = delete;
    IndiServer& operator=(const IndiServer&) = delete;

    int Port() const { return port_; }
    bool Running() const { return pid_ > 0; }
    // Ends the server and its drivers at once, as a crash or a pulled cable would.
    void Kill() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = 0;
    }

private:
    static int FreePort() {
        const int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
        close(s);
        return ntohs(a.sin_port);
    }
    bool Accepts() const {
        const int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<std::uint16_t>(port_));
        const bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        close(s);
        return ok;
    }

    int port_ = 0;
    pid_t pid_ = 0;
};

}  // namespace kv::test
