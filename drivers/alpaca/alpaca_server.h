// The Alpaca device API for one focuser (device number 0) and the management
// API, over HTTP, on the focuser service.
//
// Interface: ASCOM IFocuserV3 (InterfaceVersion 3). Absolute is true: Move
// takes a position, 0 to MaxStep. The rules the protocol leaves to a device:
// - A Move while a client's move runs is refused with InvalidOperation
//   (0x40B): Alpaca clients wait for IsMoving to turn false, and a second
//   client must never take over the first one's move. A temperature
//   compensation correction is no client's: a Move takes its place. Halt
//   stops any move.
// - A hub's position is only as good as its state file (focuser_service.h).
//   While it is not known, Move is refused with InvalidOperation saying how
//   to sync: IFocuserV3 has no Sync, so it is the action "Sync" (listed in
//   SupportedActions; Parameters: the position the focuser stands at), or
//   the server's --sync option, applied at its first connection.
// - Move while TempComp is on is allowed (IFocuserV3); the move re-bases the
//   compensation (focuser_service.h).
// - Device members need Connected (NotConnected, 0x407); the descriptive
//   members answer at any time.
// - A device that went away (unplugged, its port hung up) turns Connected
//   false; device members get NotConnected with the reason, until a client
//   sets Connected=true again. Where the loss ended a move, IsMoving and
//   Position get DriverError (0x500) instead: a client waiting for the move
//   must not take "not moving" for "arrived", nor the position for known.
// - Values of the wrong type or missing parameters are HTTP 400 with a plain
//   text reason; values of the right type outside their range are
//   InvalidValue (0x401) in an HTTP 200 answer. Neither changes anything.
// - Parameter names: any case in a GET query; in a PUT form exactly as the
//   API spells them ("Position", "ClientID"), a known name in another case is
//   HTTP 400 "Bad Form Key Capitalization", as the protocol's own devices do.
// - A member that is a method (Action, Move, Halt, the Command* members)
//   read with GET answers NotImplemented in JSON like every other member;
//   only a name the focuser does not have at all is HTTP 400.
// - Temperature and StepSize are NotImplemented (0x400) where the focuser does
//   not know them; TempCompAvailable is true only when compensation can run:
//   a temperature and a coefficient (--coefficient, or fitted with --tcd).
// - Connected=true opens the focuser (the server does not open it at start)
//   and returns once its capabilities are known (the first temperature
//   reading), so a client that checks Temperature once at connect is told the
//   truth. Clients are counted by ClientID: Connected=false leaves the focuser
//   open, and another client's move running, while any other client is
//   connected; the last one to leave closes it, halting a move first.
//
// HTTP: every connection is served by the server's own loop on a worker of a
// pool sized for far more clients than an observatory has. A request must
// arrive whole within kRequestMs of its first byte, with at most
// kMaxHeaderBytes of request line and headers and kMaxBodyBytes of body; a
// connection idle for kIdleMs, or after kMaxRequestsPerConnection requests,
// is closed. When every worker is taken, the connection idle longest is
// closed for the newcomer, so clients that hold connections never shut out
// another. A length given twice differently, or with chunked encoding, is
// HTTP 400; a body beyond the limit is HTTP 413.
// Both ports are taken exclusively: a second server on the same HTTP port
// fails to start, and discovery is off when its UDP port is held.
//
// Threads: the HTTP library serves each request on a thread of its pool; the
// service is thread-safe and every request is checked before it touches it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <shared_mutex>
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

// What one connection may hold. An Alpaca request is a line, a few headers
// and a form of a few fields: a few hundred bytes.
inline constexpr std::size_t kMaxHeaderBytes = 8 * 1024;
inline constexpr std::size_t kMaxBodyBytes = 4 * 1024;
inline constexpr int kRequestMs = 4000;     // first byte to last of one request
inline constexpr int kIdleMs = 5000;        // between requests on a kept-alive connection
inline constexpr int kWriteMs = 4000;       // for a client to take an answer
inline constexpr int kMaxRequestsPerConnection = 100;
inline constexpr int kWorkers = 128;
inline constexpr int kListenBacklog = 128;  // connections waiting to be accepted
inline constexpr int kStopDrainMs = 2000;   // for answers under way when the server stops
inline constexpr int kCapabilitiesWaitMs = 3000;  // for the first temperature reading at connect

struct ServerSettings {
    ServiceConfig focuser;          // what Connected=true opens
    std::string address = "127.0.0.1";
    int port = kDefaultHttpPort;     // 0: any free port
    std::string uniqueId;            // stable for this device and state file
    std::optional<double> coefficient;  // compensation typed in ...
    std::string tcdPath;                // ... or fitted from a calibration file
    std::optional<double> stepSizeMicrons;
    std::optional<FocuserService::Limits> limits;  // the travel Move may use; the device's own range when not set
    std::optional<bool> reverse;                   // the hub's motor turned round; the model's choice when not set
    std::optional<std::int32_t> syncTo;            // where the hub stands, taken at the first connection
    // The server's console; standard error, each line prefixed with the program's name, when not set.
    std::function<void(const std::string& line)> log;
};

// An engine message in this server's words: the device for the port, the
// position clients see for the hub's count, the server's options for the
// desktop's settings.
std::string AlpacaText(const std::string& engineText, const std::string& device, std::int32_t position);

// What the server says on its console about the focuser: moves that did not
// arrive, the engine's messages (as AlpacaText) and compensation's lines.
ServiceListener ConsoleListener(FocuserService& service, std::function<void(const std::string& line)> log);

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
    // Halts the focuser and saves its state first (new requests are refused
    // from the first line), then stops serving: answers under way get
    // kStopDrainMs, and every connection is then closed, slow clients or not.
    void Stop();
    int Port() const { return port_; }

    class Connections;  // the open connections, for the drain and for fairness

private:
    struct Reply;
    void Device(const httplib::Request& req, httplib::Response& res, bool put);
    void Management(const httplib::Request& req, httplib::Response& res);
    void Send(httplib::Response& res, const Reply& reply, std::uint32_t clientTransaction);
    Reply Get(const std::string& member);
    Reply Put(const std::string& member, const class ParamView& params);
    Reply Connect(bool on, std::uint32_t clientId);
    // The error a device member gets while the focuser is not there; nullopt when it is.
    std::optional<Reply> Unconnected(const std::string& member) const;
    bool CompensationAvailable() const;
    void Log(const std::string& line) const;

    FocuserService& service_;
    ServerSettings settings_;
    std::unique_ptr<Connections> connections_;
    std::unique_ptr<httplib::Server> http_;
    std::thread thread_;
    std::atomic<bool> listenEnded_{false};
    int port_ = 0;
    std::atomic<std::uint32_t> serverTransaction_{0};
    std::atomic<bool> stopping_{false};
    std::shared_mutex requests_;  // shared by each request, taken whole by Stop
    std::mutex connectMutex_;     // one Connected change at a time; clients_ below
    std::set<std::uint32_t> clients_;  // the ClientIDs connected
    bool syncTaken_ = false;           // settings_.syncTo applied, once
};

}  // namespace kv::alpaca
