#include "alpaca_server.h"

#include <httplib.h>

#include <nlohmann/json.hpp>

#include <cinttypes>
#include <cstdio>

#include "alpaca_request.h"

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

class ParamView {
public:
    explicit ParamView(Params params) : params_(std::move(params)) {}
    std::optional<std::string> Find(std::string_view name) const { return FindParam(params_, name); }

private:
    Params params_;
};

namespace {

constexpr const char* kDeviceName = "Kessivane Focuser";
constexpr const char* kNotConnectedText = "The focuser is not connected: set Connected to true first.";

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

Server::Server(FocuserService& service, ServerSettings settings)
    : service_(service), settings_(std::move(settings)), http_(std::make_unique<httplib::Server>()) {}

Server::~Server() { Stop(); }

bool Server::Start(std::string* error) {
    // Small answers go out at once instead of waiting for the client's
    // acknowledgement (about 40 ms a request otherwise).
    http_->set_tcp_nodelay(true);
    http_->Get(R"(/api/v1/([^/]+)/([^/]+)/([^/]+))",
               [this](const httplib::Request& req, httplib::Response& res) { Device(req, res, false); });
    http_->Put(R"(/api/v1/([^/]+)/([^/]+)/([^/]+))",
               [this](const httplib::Request& req, httplib::Response& res) { Device(req, res, true); });
    http_->Get(R"(/management/.*)", [this](const httplib::Request& req, httplib::Response& res) { Management(req, res); });
    port_ = settings_.port == 0 ? http_->bind_to_any_port(settings_.address)
                                : (http_->bind_to_port(settings_.address, settings_.port) ? settings_.port : -1);
    if (port_ <= 0) {
        if (error) {
            *error = "Cannot listen on " + settings_.address + " port " + std::to_string(settings_.port) +
                     ": the address is not this computer's, or another program uses the port. Choose another "
                     "with --address or --port.";
        }
        return false;
    }
    thread_ = std::thread([this] { http_->listen_after_bind(); });
    return true;
}

void Server::Stop() {
    if (thread_.joinable()) {
        http_->stop();
        thread_.join();
    }
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
    // GET carries its parameters in the query, PUT in the form body.
    Params params;
    if (put) {
        httplib::Params body;
        httplib::detail::parse_query_text(req.body, body);
        params.assign(body.begin(), body.end());
    } else {
        params.assign(req.params.begin(), req.params.end());
    }
    const ParamView view(std::move(params));
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
    Send(res, put ? Put(member, view) : Get(member), client);
}

Server::Reply Server::Get(const std::string& member) {
    // Descriptive members answer whether connected or not.
    if (member == "connected") return Reply::Of(service_.IsOpen());
    if (member == "description") return Reply::Of("Kessivane focuser service: a focuser on a serial line");
    if (member == "driverinfo") {
        return Reply::Of(std::string("Kessivane Alpaca focuser server ") + KV_VERSION +
                         ", over the Kessivane focuser service (hub, RoboFocus, Optec)");
    }
    if (member == "driverversion") return Reply::Of(std::string(KV_VERSION));
    if (member == "interfaceversion") return Reply::Of(kInterfaceVersion);
    if (member == "name") return Reply::Of(kDeviceName);
    if (member == "supportedactions") return Reply::Of(json::array());

    static const char* const kFocuserMembers[] = {"absolute",   "ismoving", "maxincrement",      "maxstep",
                                                  "position",   "stepsize", "tempcomp",          "tempcompavailable",
                                                  "temperature"};
    if (std::find(std::begin(kFocuserMembers), std::end(kFocuserMembers), member) == std::end(kFocuserMembers)) {
        return Reply::Bad("The focuser has no member '" + member + "' to read.");
    }
    if (!service_.IsOpen()) return Reply::Error(kNotConnected, kNotConnectedText);
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
    if (member == "tempcompavailable") return Reply::Of(service_.TemperatureAvailable());
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
        return Connect(*on);
    }
    if (member == "action") {
        if (!require("Action") || !require("Parameters")) return Reply::Bad("Action needs Action and Parameters.");
        return Reply::Error(kActionNotImplemented, "This focuser supports no actions.");
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
        if (!service_.IsOpen()) return Reply::Error(kNotConnected, kNotConnectedText);
        const FocuserService::Limits limits = service_.GetLimits();
        if (*target < limits.min || *target > limits.max) {
            return Reply::Error(kInvalidValue, "Position " + std::to_string(*target) + " is outside " +
                                                   std::to_string(limits.min) + " to " + std::to_string(limits.max) + ".");
        }
        if (service_.Moving()) {
            return Reply::Error(kInvalidOperation,
                                "The focuser is still moving; wait until IsMoving is false, or Halt it first.");
        }
        const Answer a = service_.MoveTo(*target);
        return a ? Reply::Done() : Reply::Error(AscomError(a.result), a.message);
    }
    if (member == "halt") {
        if (!service_.IsOpen()) return Reply::Error(kNotConnected, kNotConnectedText);
        service_.Halt();
        return Reply::Done();
    }
    if (member == "tempcomp") {
        const auto text = require("TempComp");
        if (!text) return Reply::Bad("TempComp is missing: send TempComp=true or TempComp=false.");
        const auto on = ParseBool(*text);
        if (!on) return Reply::Bad("TempComp must be true or false, not '" + *text + "'.");
        if (!service_.IsOpen()) return Reply::Error(kNotConnected, kNotConnectedText);
        if (!service_.TemperatureAvailable()) {
            return Reply::Error(kNotImplemented, "This focuser reports no temperature, so it cannot compensate.");
        }
        CompensationConfig c = service_.GetCompensation();
        c.enabled = *on;
        const Answer a = service_.SetCompensation(c);
        if (!a) return Reply::Error(kInvalidOperation, a.message);
        return Reply::Done();
    }
    return Reply::Bad("The focuser has no member '" + member + "' to set.");
}

Server::Reply Server::Connect(bool on) {
    std::lock_guard lock(connectMutex_);
    if (!on) {
        service_.Close();
        return Reply::Done();
    }
    if (service_.IsOpen()) return Reply::Done();
    const OpenResult opened = service_.Open(settings_.focuser);
    if (!opened.ok) return Reply::Error(kDriverError, opened.message);
    // Alpaca positions run from 0 to MaxStep; a focuser that keeps its own
    // position brings its own range.
    if (const auto range = service_.DeviceRange()) service_.SetLimits({std::max(0, range->min), range->max});
    CompensationConfig c = service_.GetCompensation();
    if (!settings_.tcdPath.empty()) {
        if (const Answer a = service_.LoadCoefficient(settings_.tcdPath); !a) {
            std::fprintf(stderr, "kessivane-alpaca: %s\n", a.message.c_str());
        }
    } else if (settings_.coefficient) {
        c.coefficient = settings_.coefficient;
        c.source = "typed in";
        service_.SetCompensation(c);
    }
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
