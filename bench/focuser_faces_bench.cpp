// What the network faces cost on top of the focuser service: a position read
// and a 10-step move, each through the service directly, through the INDI
// driver behind a local device server, and through the Alpaca server over
// HTTP on loopback. Each face runs the simulated hub in its own process with
// the same default motor, so a move's time is mostly the motor's and the
// difference is the protocol's. Ratios against the direct figures go in the
// notes. A face whose program is missing is skipped.
//
// AlpacaUnderSlowClients holds the Alpaca server to what a device on a
// network must bear: 50 idle connections, 8 clients trickling requests a byte
// at a time, a 300 MiB body (with a length, and again chunked) and 16 MiB of
// headers, while 20 normal clients read and move the focuser for 20 s. Its
// counters: the slowest normal answer and how many took over 1 s or failed,
// the server's peak memory (VmRSS sampled, VmHWM at the end), how far the
// focuser ended from the last target it was sent, the bytes each flood got
// sent (most of them into the kernel's buffers) before the server closed the
// connection, and how long SIGTERM took with the slow clients still connected.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

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
    kv::test::IndiServer server({driver}, {}, {kDevice});
    if (!server.Set(kDevice + ".DEVICE_PORT.PORT=sim:hub") || !server.Set(kDevice + ".CONNECTION.CONNECT=On")) {
        state.SkipWithError("the driver did not connect");
        return;
    }
    std::this_thread::sleep_for(1s);
    // A hub never counted here is synced first, as a user does once.
    server.Set(kDevice + ".FOCUS_SYNC.FOCUS_SYNC_VALUE=0");
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
        // A fresh state file holds no position: the hub is told where it stands.
        const char* argv[] = {program.c_str(), "--simulate", "--port", port.c_str(), "--discovery-port",
                              discovery.c_str(), state.c_str(), "--sync=0", nullptr};
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
    pid_t Pid() const { return pid_; }
    // SIGTERM, and the milliseconds until the program ended.
    double Terminate() {
        const auto start = std::chrono::steady_clock::now();
        if (pid_ > 0) kill(pid_, SIGTERM), waitpid(pid_, nullptr, 0);
        pid_ = 0;
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    }

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


// ---- the Alpaca server under idle, slow and flooding clients ----

int ConnectLoopback(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// VmRSS and VmHWM of a process, in MiB.
std::pair<double, double> Memory(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    double rss = 0, hwm = 0;
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) rss = std::atof(line.c_str() + 6) / 1024.0;
        if (line.rfind("VmHWM:", 0) == 0) hwm = std::atof(line.c_str() + 6) / 1024.0;
    }
    return {rss, hwm};
}

// Sends `head` and then up to `bytes` of filler (chunked when `chunked`)
// until the server closes; the bytes sent.
double Flood(int port, const std::string& head, std::size_t bytes, bool chunked) {
    const int fd = ConnectLoopback(port);
    if (fd < 0) return 0;
    std::size_t sent = 0;
    while (sent < head.size()) {
        const ssize_t n = send(fd, head.data() + sent, head.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<std::size_t>(n);
    }
    if (sent == head.size()) {
        std::string block(64 * 1024, 'x');
        if (chunked) block = "ffd8\r\n" + std::string(0xffd8, 'x') + "\r\n";
        while (sent < bytes) {
            const ssize_t n = send(fd, block.data(), block.size(), MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<std::size_t>(n);
        }
    }
    close(fd);
    return static_cast<double>(sent);
}

void AlpacaUnderSlowClients(benchmark::State& state) {
    using Clock = std::chrono::steady_clock;
    AlpacaServer server;
    if (!server.Running()) {
        state.SkipWithError("kessivane-alpaca is not built");
        return;
    }
    const int port = server.Port();
    const auto path = [](const std::string& member, int client) {
        return "/api/v1/focuser/0/" + member + "?ClientID=" + std::to_string(client) + "&ClientTransactionID=1";
    };
    {
        httplib::Client setup("127.0.0.1", port);
        bool up = false;
        for (int i = 0; i < 100 && !up; ++i) {
            up = static_cast<bool>(setup.Get("/management/apiversions"));
            if (!up) std::this_thread::sleep_for(50ms);
        }
        const auto r = setup.Put("/api/v1/focuser/0/connected", "Connected=true&ClientID=1", "application/x-www-form-urlencoded");
        if (!up || !r || r->body.find("\"ErrorNumber\":0") == std::string::npos) {
            state.SkipWithError("the server did not connect its focuser");
            return;
        }
    }
    for (auto _ : state) {
        std::atomic<bool> stopClients{false};
        const auto end = Clock::now() + 20s;
        std::mutex m;
        double slowestMs = 0, slowestMoveMs = 0;
        int answered = 0, over1s = 0, failed = 0;
        const auto record = [&](bool ok, Clock::time_point start, bool move = false) {
            const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
            std::lock_guard lock(m);
            slowestMs = std::max(slowestMs, ms);
            if (move) slowestMoveMs = std::max(slowestMoveMs, ms);
            ++answered;
            over1s += ms > 1000.0;
            failed += !ok;
        };
        std::vector<std::thread> threads;
        std::atomic<int> idleClosed{0}, trickleCut{0};
        // 50 idle connections, each made again when the server closes it.
        threads.emplace_back([&] {
            std::vector<pollfd> fds(50);
            for (auto& p : fds) p = {ConnectLoopback(port), POLLIN, 0};
            while (!stopClients) {
                poll(fds.data(), fds.size(), 100);
                for (auto& p : fds) {
                    if (p.revents != 0 || p.fd < 0) {
                        if (p.fd >= 0) close(p.fd), ++idleClosed;
                        p = {ConnectLoopback(port), POLLIN, 0};
                    }
                }
            }
            for (auto& p : fds) close(p.fd);
        });
        // 8 clients sending a request a byte every 100 ms, again when cut.
        threads.emplace_back([&] {
            const std::string request = "GET /api/v1/focuser/0/position HTTP/1.1\r\nHost: x\r\nX-Slow: " +
                                        std::string(400, 'x') + "\r\n\r\n";
            std::vector<std::pair<int, std::size_t>> slow(8);
            for (auto& c : slow) c = {ConnectLoopback(port), 0};
            while (!stopClients) {
                for (auto& [fd, at] : slow) {
                    pollfd p{fd, POLLIN, 0};
                    if (fd < 0 || poll(&p, 1, 0) != 0 || send(fd, request.data() + at, 1, MSG_NOSIGNAL) != 1) {
                        if (fd >= 0) close(fd), ++trickleCut;
                        fd = ConnectLoopback(port), at = 0;
                        continue;
                    }
                    at = (at + 1) % request.size();
                }
                std::this_thread::sleep_for(100ms);
            }
            for (auto& c : slow) close(c.first);
        });
        // The floods, one after another.
        double lengthTaken = 0, chunkedTaken = 0, headersTaken = 0;
        threads.emplace_back([&] {
            std::this_thread::sleep_for(1s);
            const std::size_t big = 300u << 20;
            const std::string put = "PUT /api/v1/focuser/0/move HTTP/1.1\r\nHost: x\r\n"
                                    "Content-Type: application/x-www-form-urlencoded\r\n";
            lengthTaken = Flood(port, put + "Content-Length: " + std::to_string(big) + "\r\n\r\n", big, false);
            chunkedTaken = Flood(port, put + "Transfer-Encoding: chunked\r\n\r\n", big, true);
            std::string headers = "GET /api/v1/focuser/0/position HTTP/1.1\r\n";
            while (headers.size() < (16u << 20)) headers += "X-Padding: " + std::string(100, 'x') + "\r\n";
            headersTaken = Flood(port, headers, 0, false);
        });
        // 20 normal clients: client 1 moves the focuser from target to
        // target, the others read as an imaging program polls.
        std::atomic<int> lastTarget{-1};
        for (int c = 1; c <= 20; ++c) {
            threads.emplace_back([&, c] {
                httplib::Client client("127.0.0.1", port);
                client.set_keep_alive(true);
                client.set_read_timeout(5s);
                std::mt19937 random(static_cast<unsigned>(c));
                static const char* const kReads[] = {"position", "ismoving", "temperature", "maxstep", "connected"};
                for (int i = 0; Clock::now() < end; ++i) {
                    const auto start = Clock::now();
                    if (c == 1 && i % 10 == 0) {
                        const int target = std::uniform_int_distribution<int>(0, 3000)(random);
                        const auto r = client.Put("/api/v1/focuser/0/move",
                                                  "Position=" + std::to_string(target) + "&ClientID=1&ClientTransactionID=2",
                                                  "application/x-www-form-urlencoded");
                        const bool ok = r && r->status == 200;
                        if (ok && r->body.find("\"ErrorNumber\":0") != std::string::npos) lastTarget = target;
                        record(ok, start, true);
                    } else {
                        const auto r = client.Get(path(kReads[i % 5], c));
                        record(r && r->status == 200, start);
                    }
                    std::this_thread::sleep_for(50ms);
                }
            });
        }
        double rssMax = 0;
        while (Clock::now() < end) {
            rssMax = std::max(rssMax, Memory(server.Pid()).first);
            std::this_thread::sleep_for(100ms);
        }
        for (std::size_t i = 3; i < threads.size(); ++i) threads[i].join();
        // Where the focuser ended, once at rest.
        httplib::Client check("127.0.0.1", port);
        int position = -1;
        for (int i = 0; i < 600; ++i) {
            const auto moving = check.Get(path("ismoving", 1));
            if (moving && moving->body.find("\"Value\":false") != std::string::npos) break;
            std::this_thread::sleep_for(50ms);
        }
        if (const auto r = check.Get(path("position", 1)); r) {
            const auto at = r->body.find("\"Value\":");
            if (at != std::string::npos) position = std::atoi(r->body.c_str() + at + 8);
        }
        threads[2].join();
        rssMax = std::max(rssMax, Memory(server.Pid()).first);
        const double hwm = Memory(server.Pid()).second;
        // SIGTERM with the idle and slow clients still connected.
        const double stopMs = server.Terminate();
        stopClients = true;
        threads[0].join();
        threads[1].join();
        state.counters["normal_requests"] = answered;
        state.counters["slowest_ms"] = slowestMs;
        state.counters["slowest_move_ms"] = slowestMoveMs;
        state.counters["over_1s"] = over1s;
        state.counters["failed"] = failed;
        state.counters["rss_max_MiB"] = rssMax;
        state.counters["hwm_MiB"] = hwm;
        state.counters["end_off_target"] = lastTarget < 0 || position < 0 ? -1 : std::abs(position - lastTarget);
        state.counters["idle_closed"] = idleClosed.load();
        state.counters["slow_cut"] = trickleCut.load();
        state.counters["length_flood_sent_KiB"] = lengthTaken / 1024;
        state.counters["chunked_flood_sent_KiB"] = chunkedTaken / 1024;
        state.counters["header_flood_sent_KiB"] = headersTaken / 1024;
        state.counters["sigterm_ms"] = stopMs;
    }
}
BENCHMARK(AlpacaUnderSlowClients)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
}  // namespace

BENCHMARK_MAIN();
