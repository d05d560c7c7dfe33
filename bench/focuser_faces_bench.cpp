// What the network faces cost on top of the focuser service: a position read
// and a 10-step move, each through the service directly, through the INDI
// driver behind a local device server, and through the Alpaca server over
// HTTP on loopback. Each face runs the simulated hub in its own process with
// the same default motor, so a move's time is mostly the motor's and the
// difference is the protocol's. Ratios against the direct figures go in the
// notes. A face whose program is missing is skipped.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include <httplib.h>

#include "bench_dialogs.h"
#include "focuser/indi_focus_control.h"
#include "indi/indi_server.h"
#include "platform/named_event.h"
#include "service/focuser_service.h"
#include "sim/sim_devices.h"
#include "support/temp_files.h"

namespace {

using namespace std::chrono_literals;

const std::string kDevice = "Kessivane Focuser";

int FreePort() {
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

// ---- directly ----

void Direct(benchmark::State& state, bool move) {
    kvsim::InstallSimulatedPorts();
    kvsim::ResetSimulatedDevices();
    kv::test::TempDir dir;
    kv::FocuserService service;
    kv::ServiceConfig config;
    config.device = "sim:hub-bench";
    // The catalogue's timings, as the faces use them.
    config.cataloguePath = std::string(KV_BIN_DIR) + "/Focusers.ini";
    config.statePath = dir.File("bench.state");
    if (const auto opened = service.Open(config); !opened.ok) {
        state.SkipWithError(opened.message.c_str());
        return;
    }
    int sign = 1;
    for (auto _ : state) {
        if (move) {
            service.MoveBy(10 * sign);
            sign = -sign;
            if (service.WaitIdle(30000)->end != kv::MoveEnd::Arrived) state.SkipWithError("a move did not arrive");
        } else {
            benchmark::DoNotOptimize(service.Position());
        }
    }
}
void DirectPositionRead(benchmark::State& state) { Direct(state, false); }
void DirectMove10(benchmark::State& state) { Direct(state, true); }
BENCHMARK(DirectPositionRead)->Unit(benchmark::kMicrosecond);
BENCHMARK(DirectMove10)->Iterations(20)->Unit(benchmark::kMillisecond);

// ---- INDI ----

// One request and its answer on a plain connection to the server: the
// position property asked for and defined again, as a client that has just
// connected sees it.
class IndiWire {
public:
    explicit IndiWire(int port) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        ok_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~IndiWire() { close(fd_); }
    bool ReadPosition() {
        const std::string ask =
            "<getProperties version=\"1.7\" device=\"" + kDevice + "\" name=\"ABS_FOCUS_POSITION\"/>\n";
        if (!ok_ || send(fd_, ask.data(), ask.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(ask.size())) return false;
        std::string got;
        char buf[4096];
        while (got.find("</defNumberVector>") == std::string::npos) {
            const ssize_t n = recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) return false;
            got.append(buf, static_cast<std::size_t>(n));
        }
        return true;
    }

private:
    int fd_ = -1;
    bool ok_ = false;
};

void Indi(benchmark::State& state, bool move) {
    const std::string driver = std::string(KV_BIN_DIR) + "/indi_kessivane_focuser";
    if (!kv::test::IndiServer::Installed() || access(driver.c_str(), X_OK) != 0) {
        state.SkipWithError("indiserver or the driver is not installed");
        return;
    }
    kv::test::IndiServer server({driver});
    if (!server.Set(kDevice + ".DEVICE_PORT.PORT=sim:hub") || !server.Set(kDevice + ".CONNECTION.CONNECT=On")) {
        state.SkipWithError("the driver did not connect");
        return;
    }
    std::this_thread::sleep_for(1s);
    if (!move) {
        IndiWire wire(server.Port());
        for (auto _ : state) {
            if (!wire.ReadPosition()) state.SkipWithError("no answer");
        }
        return;
    }
    // Kessivane's own INDI focuser kind, as the window drives the driver.
    kvbench::NoDialogs dialogs;
    kv::TIndiFocusControl focuser(dialogs);
    const std::string address = "indi://localhost:" + std::to_string(server.Port()) + "/" + kDevice;
    focuser.SetPortResolver([address](int) { return address; });
    focuser.SetComPort(1);
    if (!focuser.OpenPort()) {
        state.SkipWithError("Kessivane's INDI focuser did not connect");
        return;
    }
    auto general = kv::OpenNamedEvent(kv::kGeneralDelayEvent);
    int sign = 1;
    for (auto _ : state) {
        focuser.MoveBy(10 * sign);
        sign = -sign;
        if (general->Wait(30s) != kv::WaitResult::Signalled) state.SkipWithError("a move did not end");
    }
}
void IndiPositionRead(benchmark::State& state) { Indi(state, false); }
void IndiMove10(benchmark::State& state) { Indi(state, true); }
BENCHMARK(IndiPositionRead)->Iterations(200)->Unit(benchmark::kMicrosecond);
BENCHMARK(IndiMove10)->Iterations(20)->Unit(benchmark::kMillisecond);

// ---- Alpaca ----

class AlpacaServer {
public:
    AlpacaServer() : port_(FreePort()) {
        const std::string program = std::string(KV_BIN_DIR) + "/kessivane-alpaca";
        if (access(program.c_str(), X_OK) != 0) return;
        const std::string port = std::to_string(port_), discovery = std::to_string(FreePort());
        const std::string state = "--state=" + dir_.File("alpaca.state");
        const char* argv[] = {program.c_str(), "--simulate", "--port", port.c_str(), "--discovery-port",
                              discovery.c_str(), state.c_str(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, const_cast<char* const*>(argv), environ) != 0) pid_ = 0;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~AlpacaServer() {
        if (pid_ > 0) kill(pid_, SIGTERM), waitpid(pid_, nullptr, 0);
    }
    int Port() const { return port_; }
    bool Running() const { return pid_ > 0; }

private:
    kv::test::TempDir dir_;
    int port_;
    pid_t pid_ = 0;
};

void Alpaca(benchmark::State& state, bool move) {
    AlpacaServer server;
    if (!server.Running()) {
        state.SkipWithError("kessivane-alpaca is not built");
        return;
    }
    httplib::Client client("127.0.0.1", server.Port());
    client.set_keep_alive(true);
    client.set_tcp_nodelay(true);
    bool up = false;
    for (int i = 0; i < 100 && !up; ++i) {
        up = static_cast<bool>(client.Get("/management/apiversions"));
        if (!up) std::this_thread::sleep_for(50ms);
    }
    const auto put = [&](const std::string& member, const std::string& body) {
        return client.Put(("/api/v1/focuser/0/" + member).c_str(), body, "application/x-www-form-urlencoded");
    };
    if (!up || !put("connected", "Connected=true&ClientID=1&ClientTransactionID=1")) {
        state.SkipWithError("the server did not connect its focuser");
        return;
    }
    const auto position = [&] {
        auto r = client.Get("/api/v1/focuser/0/position?ClientID=1&ClientTransactionID=2");
        const std::string& body = r ? r->body : std::string();
        const auto at = body.find("\"Value\":");
        return at == std::string::npos ? -1L : std::strtol(body.c_str() + at + 8, nullptr, 10);
    };
    long at = position();
    if (at < 0) {
        state.SkipWithError("no position");
        return;
    }
    int sign = 1;
    for (auto _ : state) {
        if (!move) {
            benchmark::DoNotOptimize(position());
            continue;
        }
        at += 10 * sign;
        sign = -sign;
        put("move", "Position=" + std::to_string(at) + "&ClientID=1&ClientTransactionID=3");
        // Alpaca clients poll IsMoving; as often as they can here.
        for (;;) {
            auto r = client.Get("/api/v1/focuser/0/ismoving?ClientID=1&ClientTransactionID=4");
            if (!r || r->body.find("\"Value\":false") != std::string::npos) break;
        }
    }
}
void AlpacaPositionRead(benchmark::State& state) { Alpaca(state, false); }
void AlpacaMove10(benchmark::State& state) { Alpaca(state, true); }
BENCHMARK(AlpacaPositionRead)->Iterations(500)->Unit(benchmark::kMicrosecond);
BENCHMARK(AlpacaMove10)->Iterations(20)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
