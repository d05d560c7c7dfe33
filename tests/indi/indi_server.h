#pragma once
// A device server with the simulated camera and focuser (or other drivers) on
// a free port, for one test; tests skip when it is not installed. It gets its
// own home, socket and FIFO, so the drivers' saved settings never touch the
// user's, and a stand-in for the star catalogue program the camera simulator
// asks: one star of magnitude 7, kStarNorthArcmin north and kStarEastArcmin
// east of the pointing, so its pixel follows from the plate scale alone (the
// simulator's own pointing goes through a date-dependent precession).
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include <thread>

#include "focuser/focuser_factory.h"
#include "shell/port_map.h"
#include "support/raw_client.h"
#include "support/temp_files.h"

extern char** environ;

namespace kv::test {

class IndiServer {
public:
    static bool Installed() { return access("/usr/bin/indiserver", X_OK) == 0; }

    static constexpr double kStarNorthArcmin = 2.0;
    static constexpr double kStarEastArcmin = 3.0;

    // The server's own simulated camera and focuser.
    IndiServer() : IndiServer({"indi_simulator_ccd", "indi_simulator_focus"}, {}, {"CCD Simulator", "Focuser Simulator"}) {}
    // Other drivers (a name with a '/' runs that file), ready once each of
    // `devices` is defined; `env` ("NAME=value") is added to the server's
    // environment, which its drivers inherit, and comes before the server's
    // own HOME and PATH.
    IndiServer(const std::vector<std::string>& drivers, std::vector<std::string> env,
               const std::vector<std::string>& devices)
        : env_(std::move(env)) {
        port_ = FreePort();
        const std::string port = std::to_string(port_);
        home_.Write("gsc",
                    "#!/bin/sh\n"
                    "awk -v ra=\"$2\" -v dec=\"$3\" 'BEGIN { c = cos(dec * 3.14159265358979 / 180);\n"
                    "  printf \"%10s %f %f %f %f %f %d %d %4s %2s %f %d\\n\", \"GSC0000001\", ra + " +
                        std::to_string(kStarEastArcmin) + " / 60 / c, dec + " + std::to_string(kStarNorthArcmin) +
                        " / 60, 0.2, 7.0, 0.2, 0, 0, \"A000\", \"GS\", 0.1, 0 }'\n");
        chmod(home_.File("gsc").c_str(), 0755);
        const std::string socket = home_.File("socket"), fifo = home_.File("fifo");
        mkfifo(fifo.c_str(), 0600);
        std::vector<const char*> argv{"indiserver", "-p", port.c_str(), "-u", socket.c_str(), "-f", fifo.c_str()};
        for (const std::string& d : drivers) argv.push_back(d.c_str());
        argv.push_back(nullptr);
        pid_ = Spawn(argv.data());
        // Ready once it accepts connections and every device has defined itself.
        for (int i = 0; i < 1200 && pid_ > 0 && !Accepts(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        for (const std::string& d : devices) (void)Get(d + ".CONNECTION.CONNECT");
    }
    ~IndiServer() { Kill(); }
    IndiServer(const IndiServer&) = delete;
    IndiServer& operator=(const IndiServer&) = delete;

    int Port() const { return port_; }
    // Sets a property as "device.property.element;...=value;...", as the
    // server's own command-line client takes it; true when the server took it.
    bool Set(const std::string& assignment) const {
        return Run({"indi_setprop", "-p", std::to_string(port_), "-t", "60", assignment}) == 0;
    }
    // Runs one of the server's command-line clients quietly; its exit status, -1 when it did not run.
    int Run(const std::vector<std::string>& args) const {
        std::vector<const char*> argv;
        for (const std::string& a : args) argv.push_back(a.c_str());
        argv.push_back(nullptr);
        const pid_t pid = Spawn(argv.data());
        int status = 0;
        return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // Reads "device.property.element" (or its "_STATE") as the server's
    // command-line client does; empty when the server has no such thing. The
    // client leaves as soon as it has the value: only an absent one waits
    // out `seconds`, so a loaded machine is given plenty.
    std::string Get(const std::string& what, int seconds = 60) const {
        const std::string command = "indi_getprop -1 -t " + std::to_string(seconds) + " -p " + std::to_string(port_) +
                                    " '" + what + "' 2>/dev/null";
        FILE* out = popen(command.c_str(), "r");
        if (out == nullptr) return {};
        char line[256] = {};
        const bool read = fgets(line, sizeof line, out) != nullptr;
        pclose(out);
        std::string value = read ? line : "";
        while (!value.empty() && (value.back() == '\n' || value.back() == '\r')) value.pop_back();
        return value;
    }
    bool Running() const { return pid_ > 0; }
    // Ends the server and its drivers at once, as a crash or a pulled cable would.
    void Kill() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = 0;
    }

private:
    // Quiet, with the catalogue first on the path and the temporary home.
    pid_t Spawn(const char* const* argv) const {
        // The caller's variables come first, so one may name a home that
        // outlives this server (a driver's saved configuration lives there).
        std::vector<std::string> env(env_);
        env.push_back("HOME=" + home_.Path().string());
        env.push_back("PATH=" + home_.Path().string() + ":" + (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin"));
        env.push_back("XDG_STATE_HOME=" + home_.File("state"));  // where a driver keeps a focuser's position
        for (char** e = environ; *e != nullptr; ++e) {
            if (std::string_view(*e).substr(0, 5) != "HOME=" && std::string_view(*e).substr(0, 5) != "PATH=") env.emplace_back(*e);
        }
        std::vector<char*> envp;
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        pid_t pid = 0;
        if (posix_spawnp(&pid, argv[0], &actions, nullptr, const_cast<char* const*>(argv), envp.data()) != 0) pid = 0;
        posix_spawn_file_actions_destroy(&actions);
        return pid;
    }
    static int FreePort() {
        const int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = Loopback();
        socklen_t len = sizeof a;
        bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
        close(s);
        return ntohs(a.sin_port);
    }
    bool Accepts() const {
        const int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = Loopback(port_);
        const bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        close(s);
        return ok;
    }

    TempDir home_;
    std::vector<std::string> env_;
    int port_ = 0;
    pid_t pid_ = 0;
};

// A server that takes connections and never says a word, as a hung one does.
class SilentServer {
public:
    SilentServer() {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = Loopback();
        socklen_t len = sizeof a;
        bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(fd_, 16);
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
    }
    ~SilentServer() { close(fd_); }
    SilentServer(const SilentServer&) = delete;
    SilentServer& operator=(const SilentServer&) = delete;
    int Port() const { return port_; }
    // Whether anyone has connected (the kernel completes the handshake for
    // the listener); takes and closes those connections.
    bool Connected() {
        bool any = false;
        for (int c; (c = accept(fd_, nullptr, nullptr)) >= 0;) {
            close(c);
            any = true;
        }
        return any;
    }

private:
    int fd_ = -1;
    int port_ = 0;
};

// The desktop's device-server focuser kind on `device` of `server`, reached as
// COM5 through the [Ports] line of a settings file in `folder`.
inline std::unique_ptr<TFocusControl> IndiFocuserOn(const IndiServer& server, const std::string& device,
                                                    IDialogs& dialogs, const TempDir& folder) {
    folder.Write("settings.ini", "[Ports]\r\nCOM5=indi://localhost:" + std::to_string(server.Port()) + "/" + device + "\r\n");
    auto focuser = CreateFocusControl(FocuserKindFromName("INDI Focuser"), dialogs);
    const std::string ini = folder.File("settings.ini");
    focuser->SetPortResolver([ini](int n) { return PortDeviceFromFile(ini, n); });
    focuser->SetComPort(5);
    return focuser;
}

}  // namespace kv::test
