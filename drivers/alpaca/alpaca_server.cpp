#include "alpaca_server.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cinttypes>
#include <condition_variable>
#include <map>
#include <cstdio>
#include <cstring>

#include "alpaca_request.h"
#include "service/face_text.h"

namespace kv::alpaca {

using nlohmann::json;

// What a member answers: a value (none for methods), an ASCOM error, or a
// request too malformed to reach the device (HTTP 400 with the reason).
struct Server::Reply {
    json value;
    bool hasValue = false;
    int error = 0;
    std::string message;
    std::string badRequest;

    static Reply Of(json v) {
        Reply r;
        r.value = std::move(v);
        r.hasValue = true;
        return r;
    }
    static Reply Done() { return {}; }
    static Reply Error(int number, std::string text) {
        Reply r;
        r.error = number;
        r.message = std::move(text);
        return r;
    }
    static Reply Bad(std::string text) {
        Reply r;
        r.badRequest = std::move(text);
        return r;
    }
};

// A GET query's parameters (names in any case) or a PUT form's (names exact).
class ParamView {
public:
    ParamView(Params params, bool form) : params_(std::move(params)), form_(form) {}
    std::optional<std::string> Find(std::string_view name) const {
        return form_ ? FindFormParam(params_, name) : FindParam(params_, name);
    }

private:
    Params params_;
    bool form_;
};

namespace {

constexpr const char* kDeviceName = "Kessivane Focuser";
constexpr const char* kNotConnectedText = "The focuser is not connected: set Connected to true first.";
constexpr const char* kStillMovingText = "The focuser is still moving; wait until IsMoving is false, or Halt it first.";
constexpr const char* kUnknownPositionText =
    "The focuser's position is not known, so moves are refused until it is synced: send the action Sync with the "
    "position the focuser stands at as its Parameters, or start kessivane-alpaca with --sync POSITION.";
constexpr const char* kSyncAction = "Sync";

bool SameNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::uint64_t Fnv1a(const std::string& text, std::uint64_t seed) {
    std::uint64_t h = seed;
    for (const unsigned char c : text) h = (h ^ c) * 1099511628211ULL;
    return h;
}

int AscomError(MoveResult result) {
    switch (result) {
        case MoveResult::Started: return 0;
        case MoveResult::Busy: return kInvalidOperation;
        case MoveResult::OutOfRange: return kInvalidValue;
        case MoveResult::NotOpen: return kNotConnected;
        case MoveResult::Unsupported: return kNotImplemented;
    }
    return kDriverError;
}

}  // namespace

// The connections being served, so that Stop can close them and a newcomer
// finds a worker even when every worker holds a connection.
class Server::Connections {
public:
    // A connection waits for a worker. When the workers would all be taken,
    // the connection that has waited longest for its next request is closed
    // to make room: an idle client costs nothing to send away, and a slow one
    // is cut by its request time-out anyway.
    void Arriving() {
        std::lock_guard lock(mutex_);
        ++waiting_;
        std::size_t taken = waiting_;
        for (const auto& [fd, c] : open_) taken += c.shed ? 0 : 1;
        if (taken <= static_cast<std::size_t>(kWorkers)) return;
        auto oldest = open_.end();
        for (auto it = open_.begin(); it != open_.end(); ++it) {
            if (!it->second.busy && !it->second.shed && (oldest == open_.end() || it->second.since < oldest->second.since)) {
                oldest = it;
            }
        }
        if (oldest != open_.end()) {
            oldest->second.shed = true;
            ::shutdown(oldest->first, SHUT_RDWR);
        }
    }
    // A worker took the connection; false when the server is stopping.
    bool Add(int fd) {
        std::lock_guard lock(mutex_);
        if (waiting_ > 0) --waiting_;
        if (stopping_) return false;
        open_[fd] = {false, false, ++tick_};
        return true;
    }
    void Busy(int fd, bool busy) {
        std::lock_guard lock(mutex_);
        Connection& c = open_[fd];
        c.busy = busy;
        c.since = ++tick_;
        if (!busy) changed_.notify_all();
    }
    // Before the descriptor is closed, so that nothing here can shut a reused number.
    void Remove(int fd) {
        std::lock_guard lock(mutex_);
        open_.erase(fd);
        changed_.notify_all();
    }
    bool Stopping() const {
        std::lock_guard lock(mutex_);
        return stopping_;
    }
    // No new connection is served; idle ones are closed now, and those in the
    // middle of a request once it is answered or `drainMs` has passed.
    void Drain(int drainMs) {
        std::unique_lock lock(mutex_);
        stopping_ = true;
        for (const auto& [fd, c] : open_) {
            if (!c.busy) ::shutdown(fd, SHUT_RDWR);
        }
        changed_.wait_for(lock, std::chrono::milliseconds(drainMs), [&] {
            return std::none_of(open_.begin(), open_.end(), [](const auto& c) { return c.second.busy; });
        });
        for (const auto& [fd, c] : open_) ::shutdown(fd, SHUT_RDWR);
    }

private:
    struct Connection {
        bool busy = false;  // reading a request or answering it
        bool shed = false;  // closed to make room
        std::uint64_t since = 0;
    };
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::map<int, Connection> open_;
    std::size_t waiting_ = 0;
    std::uint64_t tick_ = 0;
    bool stopping_ = false;
};

namespace {

using SteadyClock = std::chrono::steady_clock;
using Connections = Server::Connections;

int MsUntil(SteadyClock::time_point t) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t - SteadyClock::now()).count();
    return static_cast<int>(std::clamp<long long>(ms, 0, 1 << 30));
}

bool WaitFor(int fd, short events, int ms) {
    pollfd p{fd, events, 0};
    const auto until = SteadyClock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        const int r = ::poll(&p, 1, MsUntil(until));
        if (r < 0 && errno == EINTR) continue;
        return r > 0;
    }
}

// One connection's bytes as the HTTP library reads and writes them, within
// this server's limits: a request whole within kRequestMs of its start, its
// line and headers within kMaxHeaderBytes, its body (with any chunk framing)
// within kMaxBodyBytes and a little. A read beyond a limit fails, which ends
// the request and the connection; nothing beyond it is ever read into memory.
class LimitedStream : public httplib::Stream {
public:
    explicit LimitedStream(int fd) : fd_(fd) {}

    // A kept-alive connection's next request, or false once kIdleMs pass
    // without one. Bytes already read (a client that sends requests back to
    // back) are the next request's start.
    bool WaitForRequest() const { return begin_ < end_ || WaitFor(fd_, POLLIN, kIdleMs); }
    void BeginRequest() {
        deadline_ = SteadyClock::now() + std::chrono::milliseconds(kRequestMs);
        headerBytes_ = bodyBytes_ = 0;
        matched_ = 0;
        inBody_ = false;
    }
    bool Exhausted() const { return exhausted_; }

    bool is_readable() const override { return begin_ < end_ || WaitFor(fd_, POLLIN, MsUntil(deadline_)); }
    bool is_writable() const override { return WaitFor(fd_, POLLOUT, kWriteMs); }

    ssize_t read(char* ptr, size_t size) override {
        if (exhausted_) return -1;
        if (begin_ == end_ && !Fill()) return -1;
        const std::size_t n = std::min(size, end_ - begin_);
        const char* data = buffer_ + begin_;
        std::size_t allowed = 0;
        while (allowed < n) {
            if (!inBody_) {
                if (headerBytes_ == kMaxHeaderBytes) break;
                ++headerBytes_;
                const char c = data[allowed++];
                matched_ = c == "\r\n\r\n"[matched_] ? matched_ + 1 : (c == '\r' ? 1 : 0);
                inBody_ = matched_ == 4;
            } else {
                const std::size_t take = std::min(n - allowed, kBodyAndFraming - bodyBytes_);
                if (take == 0) break;
                bodyBytes_ += take;
                allowed += take;
            }
        }
        if (allowed == 0) {
            exhausted_ = true;
            return -1;
        }
        std::memcpy(ptr, data, allowed);
        begin_ += allowed;
        return static_cast<ssize_t>(allowed);
    }

    ssize_t write(const char* ptr, size_t size) override {
        for (;;) {
            if (!WaitFor(fd_, POLLOUT, kWriteMs)) return -1;
            const ssize_t n = ::send(fd_, ptr, size, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n >= 0 || (errno != EAGAIN && errno != EINTR)) return n;
        }
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override { Address(::getpeername, ip, port); }
    void get_local_ip_and_port(std::string& ip, int& port) const override { Address(::getsockname, ip, port); }
    socket_t socket() const override { return fd_; }

private:
    static constexpr std::size_t kBodyAndFraming = kMaxBodyBytes + 1024;

    bool Fill() {
        begin_ = end_ = 0;
        if (!WaitFor(fd_, POLLIN, MsUntil(deadline_))) return false;
        const ssize_t n = ::recv(fd_, buffer_, sizeof buffer_, MSG_DONTWAIT);
        if (n <= 0) return false;
        end_ = static_cast<std::size_t>(n);
        return true;
    }
    void Address(int (*get)(int, sockaddr*, socklen_t*), std::string& ip, int& port) const {
        sockaddr_storage at{};
        socklen_t len = sizeof at;
        ip.clear();
        port = 0;
        if (get(fd_, reinterpret_cast<sockaddr*>(&at), &len) != 0) return;
        char text[INET6_ADDRSTRLEN] = "";
        if (at.ss_family == AF_INET) {
            const auto* a = reinterpret_cast<const sockaddr_in*>(&at);
            ::inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
            port = ntohs(a->sin_port);
        } else if (at.ss_family == AF_INET6) {
            const auto* a = reinterpret_cast<const sockaddr_in6*>(&at);
            ::inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
            port = ntohs(a->sin6_port);
        }
        ip = text;
    }

    int fd_;
    char buffer_[4096];
    std::size_t begin_ = 0, end_ = 0;
    SteadyClock::time_point deadline_ = SteadyClock::now();
    std::size_t headerBytes_ = 0, bodyBytes_ = 0;
    int matched_ = 0;  // of the "\r\n\r\n" that ends the headers
    bool inBody_ = false;
    bool exhausted_ = false;
};

// Why a request is answered before its body is read; set on the worker's
// thread as the headers arrive, read by the routing on the same thread.
enum class Refusal : std::uint8_t { None, Framing, TooLarge };
thread_local Refusal tRefusal = Refusal::None;

// A body's length given two ways, or two ways at once, lets two programs on
// the way disagree on where the next request starts: refused, as is a body
// no Alpaca request needs. The library is then told there is no body, so it
// reads none, and the connection closes after the answer.
void Screen(httplib::Request& req) {
    tRefusal = Refusal::None;
    std::optional<std::string> length;
    const auto [from, to] = req.headers.equal_range("Content-Length");
    for (auto it = from; it != to && tRefusal == Refusal::None; ++it) {
        if (length && *length != it->second) tRefusal = Refusal::Framing;
        length = it->second;
    }
    if (tRefusal == Refusal::None && length) {
        std::uint64_t bytes = 0;
        const auto [end, ec] = std::from_chars(length->data(), length->data() + length->size(), bytes);
        if (ec != std::errc() || end != length->data() + length->size() || req.has_header("Transfer-Encoding")) {
            tRefusal = Refusal::Framing;
        } else if (bytes > kMaxBodyBytes) {
            tRefusal = Refusal::TooLarge;
        }
    }
    if (tRefusal == Refusal::None) return;
    for (const char* name : {"Content-Length", "Transfer-Encoding", "Expect", "Connection"}) req.headers.erase(name);
    req.headers.emplace("Content-Length", "0");
    req.headers.emplace("Connection", "close");
}

// Waits for connections on a pool sized for far more clients than the
// focuser has; see Connections::Arriving for when they are all taken.
class WorkerPool : public httplib::TaskQueue {
public:
    explicit WorkerPool(Connections& connections) : connections_(connections), pool_(kWorkers) {}
    void enqueue(std::function<void()> fn) override {
        connections_.Arriving();
        pool_.enqueue(std::move(fn));
    }
    void shutdown() override { pool_.shutdown(); }

private:
    Connections& connections_;
    httplib::ThreadPool pool_;
};

// The library's server with this server's own connection loop: its limits,
// its time-outs, and a stop that does not wait on the clients.
class HttpServer : public httplib::Server {
public:
    explicit HttpServer(Connections& connections) : connections_(connections) {}
    // The library listens with a backlog of 5: clients that connect in a
    // burst (idle ones let go and coming back) overflow it, and a client whose
    // connection is dropped there tries again only after a second.
    void SetBacklog(int backlog) { ::listen(svr_sock_, backlog); }

private:
    bool process_and_close_socket(socket_t sock) override {
        if (connections_.Add(sock)) {
            const int on = 1;
            ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            LimitedStream stream(sock);
            for (int served = 1; !connections_.Stopping(); ++served) {
                if (!stream.WaitForRequest()) break;
                connections_.Busy(sock, true);
                stream.BeginRequest();
                tRefusal = Refusal::None;
                bool closed = false;
                const bool last = served == kMaxRequestsPerConnection || connections_.Stopping();
                const bool answered = process_request(stream, last, closed, Screen);
                connections_.Busy(sock, false);
                if (!answered || closed || last || tRefusal != Refusal::None || stream.Exhausted()) break;
            }
            connections_.Remove(sock);
        }
        // What the client sent and was not read is dropped before closing, so
        // that it is told the answer and not a reset; only what has come.
        ::shutdown(sock, SHUT_WR);
        char sink[4096];
        for (int i = 0; i < 64 && ::recv(sock, sink, sizeof sink, MSG_DONTWAIT) > 0; ++i) {
        }
        ::close(sock);
        return true;
    }

    Connections& connections_;
};

constexpr const char* kStoppingText = "The server is stopping.";

}  // namespace

std::string UniqueIdFor(const std::string& device, const std::string& kind) {
    const std::string key = kind + "|" + device;
    const std::uint64_t a = Fnv1a(key, 14695981039346656037ULL), b = Fnv1a(key, 0x9E3779B97F4A7C15ULL);
    char text[40];
    std::snprintf(text, sizeof text, "%08" PRIx32 "-%04" PRIx32 "-%04" PRIx32 "-%04" PRIx32 "-%012" PRIx64,
                  static_cast<std::uint32_t>(a >> 32), static_cast<std::uint32_t>((a >> 16) & 0xffff),
                  static_cast<std::uint32_t>((a & 0x0fff) | 0x4000), static_cast<std::uint32_t>((b >> 48 & 0x3fff) | 0x8000),
                  static_cast<std::uint64_t>(b & 0xffffffffffffULL));
    return text;
}

std::string AlpacaText(const std::string& engineText, const std::string& device, std::int32_t position) {
    static const FaceWords kWords{
        "for a hub also check the model given with --model.",
        "If the hub's motor is wired the other way round, start kessivane-alpaca with --reverse on; if it already "
        "runs reversed (--reverse on, or a --model that reverses), start it with --reverse off."};
    return FaceText(engineText, device, position, kWords);
}

ServiceListener ConsoleListener(FocuserService& service, std::function<void(const std::string& line)> log) {
    ServiceListener l;
    l.moveEnded = [&service, log](const MoveRecord& r) {
        if (r.end == MoveEnd::Arrived || r.end == MoveEnd::Replaced) return;
        log("move to " + std::to_string(r.target) + " " + MoveEndName(r.end) + ": " +
            AlpacaText(r.reason, service.Device(), r.position));
    };
    l.compensationLog = log;
    l.alert = [&service, log](const std::string& text) { log(AlpacaText(text, service.Device(), service.Position())); };
    return l;
}

Server::Server(FocuserService& service, ServerSettings settings)
    : service_(service),
      settings_(std::move(settings)),
      connections_(std::make_unique<Connections>()),
      http_(std::make_unique<HttpServer>(*connections_)) {}

Server::~Server() { Stop(); }

bool Server::Start(std::string* error) {
    // The library's default also sets SO_REUSEPORT, with which a second
    // server binds the same port and the two split the clients between them.
    // SO_REUSEADDR alone still lets the server restart at once.
    http_->set_socket_options([](socket_t fd) {
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    });
    // Small answers go out at once instead of waiting for the client's
    // acknowledgement (about 40 ms a request otherwise).
    http_->set_tcp_nodelay(true);
    // The body limit the connection loop enforces, for chunked bodies too.
    http_->set_payload_max_length(kMaxBodyBytes);
    http_->new_task_queue = [this] { return new WorkerPool(*connections_); };
    http_->set_pre_routing_handler([this](const httplib::Request&, httplib::Response& res) {
        if (tRefusal == Refusal::Framing) {
            res.status = 400;
            res.set_content("The request's length is given twice, differently, or both as Content-Length and "
                            "chunked; send it once.",
                            "text/plain");
        } else if (tRefusal == Refusal::TooLarge) {
            res.status = 413;
            res.set_content("An Alpaca request's body is a few fields; this server takes at most " +
                                std::to_string(kMaxBodyBytes) + " bytes.",
                            "text/plain");
        } else if (stopping_) {
            res.status = 503;
            res.set_content(kStoppingText, "text/plain");
        } else {
            return httplib::Server::HandlerResponse::Unhandled;
        }
        return httplib::Server::HandlerResponse::Handled;
    });
    http_->Get(R"(/api/v1/([^/]+)/([^/]+)/([^/]+))",
               [this](const httplib::Request& req, httplib::Response& res) { Device(req, res, false); });
    http_->Put(R"(/api/v1/([^/]+)/([^/]+)/([^/]+))",
               [this](const httplib::Request& req, httplib::Response& res) { Device(req, res, true); });
    http_->Get(R"(/management/.*)", [this](const httplib::Request& req, httplib::Response& res) { Management(req, res); });
    port_ = settings_.port == 0 ? http_->bind_to_any_port(settings_.address)
                                : (http_->bind_to_port(settings_.address, settings_.port) ? settings_.port : -1);
    if (port_ > 0) static_cast<HttpServer&>(*http_).SetBacklog(kListenBacklog);
    if (port_ <= 0) {
        if (error) {
            *error = "Cannot listen on " + settings_.address + " port " + std::to_string(settings_.port) +
                     ": the address is not this computer's, or another program uses the port. Choose another "
                     "with --address or --port.";
        }
        return false;
    }
    thread_ = std::thread([this] {
        http_->listen_after_bind();
        listenEnded_ = true;
    });
    return true;
}

void Server::Stop() {
    if (!thread_.joinable()) return;
    // The focuser first: a move halted and its position saved, whatever the
    // clients do. Requests under way finish (each is short), and every later
    // one is refused, so none can open the focuser again.
    stopping_ = true;
    {
        std::unique_lock requests(requests_);
        std::lock_guard lock(connectMutex_);
        service_.Close();
        clients_.clear();
    }
    // stop() does nothing until the library's loop has begun.
    while (!listenEnded_ && !http_->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    http_->stop();
    connections_->Drain(kStopDrainMs);
    thread_.join();
}

void Server::Send(httplib::Response& res, const Reply& reply, std::uint32_t clientTransaction) {
    if (!reply.badRequest.empty()) {
        res.status = 400;
        res.set_content(reply.badRequest, "text/plain");
        return;
    }
    json body;
    if (reply.hasValue) body["Value"] = reply.value;
    body["ClientTransactionID"] = clientTransaction;
    body["ServerTransactionID"] = ++serverTransaction_;
    body["ErrorNumber"] = reply.error;
    body["ErrorMessage"] = reply.message;
    res.status = 200;
    res.set_content(body.dump(), "application/json");
}

void Server::Device(const httplib::Request& req, httplib::Response& res, bool put) {
    std::shared_lock requests(requests_);
    if (stopping_) {
        res.status = 503;
        res.set_content(kStoppingText, "text/plain");
        return;
    }
    // GET carries its parameters in the query, PUT in the form body.
    Params params;
    if (put) {
        httplib::Params body;
        httplib::detail::parse_query_text(req.body, body);
        params.assign(body.begin(), body.end());
    } else {
        params.assign(req.params.begin(), req.params.end());
    }
    const std::optional<Miscapitalised> miscapitalised = put ? FindMiscapitalisedKey(params) : std::nullopt;
    const ParamView view(std::move(params), put);
    const std::uint32_t client = ParseClientNumber(view.Find("ClientTransactionID"));
    const std::string type = req.matches[1], number = req.matches[2], member = req.matches[3];
    if (type != "focuser") {
        res.status = 404;
        res.set_content("This server has no device of type '" + type + "'; it serves one focuser.", "text/plain");
        return;
    }
    const auto device = ParseDeviceNumber(number);
    if (!device || *device != 0) {
        Send(res, Reply::Bad("There is no focuser number '" + number + "' here: the only one is 0."), client);
        return;
    }
    if (miscapitalised) {
        Send(res,
             Reply::Bad("Bad Form Key Capitalization: " + miscapitalised->expected + ", received: " +
                        miscapitalised->received + ". PUT form keys are spelt as in the Alpaca API."),
             client);
        return;
    }
    Send(res, put ? Put(member, view) : Get(member), client);
}

Server::Reply Server::Get(const std::string& member) {
    // Descriptive members answer whether connected or not.
    if (member == "connected") return Reply::Of(service_.IsOpen() && !service_.Lost());
    if (member == "description") return Reply::Of("Kessivane focuser service: a focuser on a serial line");
    if (member == "driverinfo") {
        return Reply::Of(std::string("Kessivane Alpaca focuser server ") + KV_VERSION +
                         ", over the Kessivane focuser service (hub, RoboFocus, Optec)");
    }
    if (member == "driverversion") return Reply::Of(std::string(KV_VERSION));
    if (member == "interfaceversion") return Reply::Of(kInterfaceVersion);
    if (member == "name") return Reply::Of(kDeviceName);
    if (member == "supportedactions") return Reply::Of(json::array({kSyncAction}));
    static const char* const kMethods[] = {"action", "commandblind", "commandbool", "commandstring", "halt", "move"};
    if (std::find(std::begin(kMethods), std::end(kMethods), member) != std::end(kMethods)) {
        return Reply::Error(kNotImplemented, "'" + member + "' is a method: send it with PUT.");
    }

    static const char* const kFocuserMembers[] = {"absolute",   "ismoving", "maxincrement",      "maxstep",
                                                  "position",   "stepsize", "tempcomp",          "tempcompavailable",
                                                  "temperature"};
    if (std::find(std::begin(kFocuserMembers), std::end(kFocuserMembers), member) == std::end(kFocuserMembers)) {
        return Reply::Bad("The focuser has no member '" + member + "' to read.");
    }
    if (auto refused = Unconnected(member)) return *refused;
    if (member == "absolute") return Reply::Of(true);
    if (member == "ismoving") return Reply::Of(service_.Moving());
    if (member == "maxincrement" || member == "maxstep") return Reply::Of(service_.GetLimits().max);
    if (member == "position") return Reply::Of(service_.Position());
    if (member == "stepsize") {
        if (!settings_.stepSizeMicrons) {
            return Reply::Error(kNotImplemented, "The focuser's step size is not known: start the server with --step-size.");
        }
        return Reply::Of(*settings_.stepSizeMicrons);
    }
    if (member == "tempcomp") return Reply::Of(service_.GetCompensation().enabled);
    if (member == "tempcompavailable") return Reply::Of(CompensationAvailable());
    // temperature
    if (const auto t = service_.Temperature()) return Reply::Of(*t);
    return Reply::Error(kNotImplemented, "This focuser reports no temperature.");
}

Server::Reply Server::Put(const std::string& member, const ParamView& params) {
    // Every value is read and checked before anything is done.
    const auto require = [&](const char* name) -> std::optional<std::string> { return params.Find(name); };
    if (member == "connected") {
        const auto text = require("Connected");
        if (!text) return Reply::Bad("Connected is missing: send Connected=true or Connected=false.");
        const auto on = ParseBool(*text);
        if (!on) return Reply::Bad("Connected must be true or false, not '" + *text + "'.");
        return Connect(*on, ParseClientNumber(params.Find("ClientID")));
    }
    if (member == "action") {
        const auto action = require("Action");
        const auto parameters = require("Parameters");
        if (!action || !parameters) return Reply::Bad("Action needs Action and Parameters.");
        if (!SameNoCase(*action, kSyncAction)) {
            return Reply::Error(kActionNotImplemented, "This focuser supports one action, Sync, whose Parameters is "
                                                       "the position the focuser stands at.");
        }
        const auto position = ParseInt(*parameters);
        if (!position) {
            return Reply::Error(kInvalidValue, "Sync takes the position the focuser stands at, a whole number of "
                                               "steps, not '" + *parameters + "'.");
        }
        if (!service_.IsOpen()) return Reply::Error(kNotConnected, kNotConnectedText);
        const Answer a = service_.Sync(*position);
        if (!a) return Reply::Error(AscomError(a.result), a.message);
        Log("A client synced the position to " + std::to_string(*position) + ".");
        return Reply::Of(std::to_string(*position));
    }
    if (member == "commandblind" || member == "commandbool" || member == "commandstring") {
        if (!require("Command") || !require("Raw")) return Reply::Bad("A command needs Command and Raw.");
        return Reply::Error(kNotImplemented, "This focuser takes no raw commands.");
    }
    if (member == "move") {
        const auto text = require("Position");
        if (!text) return Reply::Bad("Position is missing: send Position=<steps>.");
        const auto target = ParseInt(*text);
        if (!target) return Reply::Bad("Position must be a whole number of steps, not '" + *text + "'.");
        if (auto refused = Unconnected(member)) return *refused;
        if (service_.PositionUncertain()) return Reply::Error(kInvalidOperation, kUnknownPositionText);
        const FocuserService::Limits limits = service_.GetLimits();
        if (*target < limits.min || *target > limits.max) {
            return Reply::Error(kInvalidValue, "Position " + std::to_string(*target) + " is outside " +
                                                   std::to_string(limits.min) + " to " + std::to_string(limits.max) + ".");
        }
        // The service refuses a client's move while another client's runs,
        // and lets it take a compensation correction's place.
        const Answer a = service_.MoveTo(*target);
        if (a.result == MoveResult::Busy) return Reply::Error(kInvalidOperation, kStillMovingText);
        return a ? Reply::Done() : Reply::Error(AscomError(a.result), a.message);
    }
    if (member == "halt") {
        if (auto refused = Unconnected(member)) return *refused;
        service_.Halt();
        return Reply::Done();
    }
    if (member == "tempcomp") {
        const auto text = require("TempComp");
        if (!text) return Reply::Bad("TempComp is missing: send TempComp=true or TempComp=false.");
        const auto on = ParseBool(*text);
        if (!on) return Reply::Bad("TempComp must be true or false, not '" + *text + "'.");
        if (auto refused = Unconnected(member)) return *refused;
        if (!service_.TemperatureAvailable()) {
            return Reply::Error(kNotImplemented, "This focuser reports no temperature, so it cannot compensate.");
        }
        if (!CompensationAvailable()) {
            return Reply::Error(kNotImplemented,
                                "Compensation needs a coefficient: start kessivane-alpaca with --coefficient (steps "
                                "per degree) or --tcd (a Kessivane calibration file to fit one from).");
        }
        CompensationConfig c = service_.GetCompensation();
        c.enabled = *on;
        const Answer a = service_.SetCompensation(c);
        if (!a) return Reply::Error(kInvalidOperation, a.message);
        return Reply::Done();
    }
    return Reply::Bad("The focuser has no member '" + member + "' to set.");
}

void Server::Log(const std::string& line) const {
    if (settings_.log) {
        settings_.log(line);
    } else {
        std::fprintf(stderr, "kessivane-alpaca: %s\n", line.c_str());
    }
}

std::optional<Server::Reply> Server::Unconnected(const std::string& member) const {
    if (!service_.IsOpen()) return Reply::Error(kNotConnected, kNotConnectedText);
    const auto lost = service_.Lost();
    if (!lost) return std::nullopt;
    const auto last = service_.LastMove();
    if (last && last->end == MoveEnd::Lost && (member == "ismoving" || member == "position")) {
        return Reply::Error(kDriverError, last->reason);
    }
    return Reply::Error(kNotConnected, *lost);
}

bool Server::CompensationAvailable() const {
    const CompensationConfig c = service_.GetCompensation();
    return service_.TemperatureAvailable() && c.coefficient && *c.coefficient != 0.0;
}

Server::Reply Server::Connect(bool on, std::uint32_t clientId) {
    std::lock_guard lock(connectMutex_);
    if (!on) {
        // The focuser stays open, and any move runs on, for the clients still
        // connected; the last one to leave closes it.
        clients_.erase(clientId);
        if (clients_.empty()) service_.Close();
        return Reply::Done();
    }
    if (!service_.IsOpen() || service_.Lost()) {
        // A device that went away is opened afresh for whoever connects.
        service_.Close();
        clients_.clear();
        const OpenResult opened = service_.Open(settings_.focuser);
        if (!opened.ok) return Reply::Error(kDriverError, AlpacaText(opened.message, settings_.focuser.device, 0));
        // Alpaca positions run from 0 to MaxStep; a focuser that keeps its own
        // position brings its own range, which the options may narrow.
        const auto range = service_.DeviceRange();
        if (range) service_.SetLimits({std::max(0, range->min), range->max});
        if (settings_.limits) {
            if (const Answer a = service_.SetLimits(*settings_.limits); !a) Log(a.message);
        }
        if (settings_.reverse) {
            if (const Answer a = service_.SetReverse(*settings_.reverse); !a) Log(a.message);
        }
        if (settings_.syncTo && !syncTaken_) {
            syncTaken_ = true;
            const Answer a = service_.Sync(*settings_.syncTo);
            Log(a ? "The position was synced to " + std::to_string(*settings_.syncTo) + " (--sync)."
                  : "--sync " + std::to_string(*settings_.syncTo) + ": " + a.message);
        }
        if (service_.PositionUncertain()) Log(kUnknownPositionText);
        CompensationConfig c = service_.GetCompensation();
        if (!settings_.tcdPath.empty()) {
            if (const Answer a = service_.LoadCoefficient(settings_.tcdPath); !a) Log(a.message);
        } else if (settings_.coefficient) {
            c.coefficient = settings_.coefficient;
            c.source = "typed in";
            service_.SetCompensation(c);
        }
        // A client that asks once at connect whether there is a sensor must
        // not be told "no" because the first reading has not come yet.
        service_.WaitFirstTemperature(kCapabilitiesWaitMs);
    }
    clients_.insert(clientId);
    return Reply::Done();
}

void Server::Management(const httplib::Request& req, httplib::Response& res) {
    const std::uint32_t client = ParseClientNumber(FindParam(Params(req.params.begin(), req.params.end()), "ClientTransactionID"));
    if (req.path == "/management/apiversions") {
        Send(res, Reply::Of(json::array({1})), client);
    } else if (req.path == "/management/v1/description") {
        Send(res,
             Reply::Of({{"ServerName", "Kessivane Alpaca focuser server"},
                        {"Manufacturer", "Kessivane"},
                        {"ManufacturerVersion", KV_VERSION},
                        {"Location", settings_.focuser.device}}),
             client);
    } else if (req.path == "/management/v1/configureddevices") {
        Send(res,
             Reply::Of(json::array({{{"DeviceName", kDeviceName},
                                     {"DeviceType", "Focuser"},
                                     {"DeviceNumber", 0},
                                     {"UniqueID", settings_.uniqueId}}})),
             client);
    } else {
        res.status = 404;
        res.set_content("No management member at " + req.path, "text/plain");
    }
}

}  // namespace kv::alpaca
