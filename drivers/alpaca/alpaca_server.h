// The Alpaca device API for one focuser (device number 0) and the management
// API, over HTTP, on the focuser service.
//
// Interface: ASCOM IFocuserV3 (InterfaceVersion 3). Absolute is true: Move
// takes a position, 0 to MaxStep. The rules the protocol leaves to a device:
// - A Move while the focuser moves is refused with InvalidOperation (0x40B):
//   Alpaca clients wait for IsMoving to turn false, and a second client must
//   never take over the first one's move. Halt stops any move.
// - Move while TempComp is on is allowed (IFocuserV3); the move re-bases the
//   compensation (focuser_service.h).
// - Device members need Connected (NotConnected, 0x407); the descriptive
//   members answer at any time.
// - Values of the wrong type or missing parameters are HTTP 400 with a plain
//   text reason; values of the right type outside their range are
//   InvalidValue (0x401) in an HTTP 200 answer. Neither changes anything.
// - Temperature and StepSize are NotImplemented (0x400) where the focuser does
//   not know them; TempCompAvailable says whether compensation can run.
// - Connected=true opens the focuser (the server does not open it at start);
//   Connected=false closes it, halting a move first.
//
// Threads: the HTTP library serves each request on a thread of its pool; the
// service is thread-safe and every request is checked before it touches it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "service/focuser_service.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace kv::alpaca {

inline constexpr int kDefaultHttpPort = 11111;
inline constexpr int kInterfaceVersion = 3;

// The ASCOM error numbers used here.
inline constexpr int kNotImplemented = 0x400;
inline constexpr int kInvalidValue = 0x401;
inline constexpr int kNotConnected = 0x407;
inline constexpr int kInvalidOperation = 0x40B;
inline constexpr int kActionNotImplemented = 0x40C;
inline constexpr int kDriverError = 0x500;

struct ServerSettings {
    ServiceConfig focuser;          // what Connected=true opens
    std::string address = "127.0.0.1";
    int port = kDefaultHttpPort;     // 0: any free port
    std::string uniqueId;            // stable for this device and state file
    std::optional<double> coefficient;  // compensation typed in ...
    std::string tcdPath;                // ... or fitted from a calibration file
    std::optional<double> stepSizeMicrons;
};

// A stable id for the focuser behind `device` and `kind`, shaped as a UUID.
std::string UniqueIdFor(const std::string& device, const std::string& kind);

class Server {
public:
    Server(FocuserService& service, ServerSettings settings);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds and serves on a thread of its own; false with the reason when the
    // address or port cannot be had.
    bool Start(std::string* error);
    void Stop();
    int Port() const { return port_; }

private:
    struct Reply;
    void Device(const httplib::Request& req, httplib::Response& res, bool put);
    void Management(const httplib::Request& req, httplib::Response& res);
    void Send(httplib::Response& res, const Reply& reply, std::uint32_t clientTransaction);
    Reply Get(const std::string& member);
    Reply Put(const std::string& member, const class ParamView& params);
    Reply Connect(bool on);

    FocuserService& service_;
    ServerSettings settings_;
    std::unique_ptr<httplib::Server> http_;
    std::thread thread_;
    int port_ = 0;
    std::atomic<std::uint32_t> serverTransaction_{0};
    std::mutex connectMutex_;  // one Connected change at a time
};

}  // namespace kv::alpaca
