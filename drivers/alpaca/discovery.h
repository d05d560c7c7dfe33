// Alpaca discovery: clients broadcast "alpacadiscovery1" to UDP port 32227
// and every Alpaca server answers with the port its HTTP API listens on. The
// responder listens on the same address as the HTTP server, so a server kept
// to this computer is not announced to the network either.
#pragma once

#include <atomic>
#include <string>
#include <thread>

namespace kv::alpaca {

inline constexpr int kDiscoveryPort = 32227;
inline constexpr const char* kDiscoveryMessage = "alpacadiscovery1";

class Discovery {
public:
    Discovery() = default;
    ~Discovery() { Stop(); }
    Discovery(const Discovery&) = delete;
    Discovery& operator=(const Discovery&) = delete;

    // Answers on `address`:`port` (0: a free port, for tests) with
    // {"AlpacaPort": httpPort}; false with the warning to print when the port
    // cannot be had (it is held by another program, shared or not).
    bool Start(const std::string& address, int port, int httpPort, std::string* error);
    void Stop();
    int Port() const { return port_; }

private:
    void Run();
    int fd_ = -1;
    int wake_[2] = {-1, -1};
    int port_ = 0;
    int httpPort_ = 0;
    std::thread thread_;
};

}  // namespace kv::alpaca
