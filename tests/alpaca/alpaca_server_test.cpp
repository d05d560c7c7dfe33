// The Alpaca server over real HTTP and UDP on loopback, with the simulated hub
// behind the real focuser service: every member with good values, values of
// the wrong type, out of range and missing, and a refused call changes nothing.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "alpaca_request.h"
#include "alpaca_server.h"
#include "discovery.h"
#include "platform/posix_serial_port.h"
#include "sim/hub_simulator.h"
#include "sim/observatory.h"
#include "sim/sim_devices.h"
#include "support/eventually.h"
#include "support/pty.h"
#include "support/pty_simulator.h"
#include "support/raw_client.h"
#include "support/temp_files.h"
#include "tempcomp/tcd_file.h"

namespace kv::alpaca {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;
using test::Eventually;
using testing::HasSubstr;
using testing::Not;

// The first answer's status on a raw connection (0 when it closed without one).
int Status(test::RawClient& c) {
    const std::string got = c.Read([](const std::string& g) { return g.find("\r\n") != std::string::npos; });
    return got.rfind("HTTP/1.1 ", 0) == 0 ? std::atoi(got.c_str() + 9) : 0;
}

// The answers on a raw connection until the server closes it.
int Answers(test::RawClient& c) {
    const std::string got = c.Read([](const std::string&) { return false; });
    int count = 0;
    for (auto at = got.find("HTTP/1.1 200"); at != std::string::npos; at = got.find("HTTP/1.1 200", at + 1)) ++count;
    return count;
}

// Clients that hold connections: some silent, some sending a request a byte
// every 100 ms, for at most `within`. A trickler stops when the server
// answers or closes its connection.
class HeldConnections {
public:
    HeldConnections(int port, int idle, int trickling, std::chrono::milliseconds within) {
        for (int i = 0; i < idle; ++i) idle_.push_back(std::make_unique<test::RawClient>(port));
        for (int i = 0; i < trickling; ++i) {
            tricklers_.emplace_back([this, port, within] {
                test::RawClient c(port);
                // Longer than `within` at this pace: only the server ends it.
                const std::string request = "GET /api/v1/focuser/0/name HTTP/1.1\r\nHost: x\r\nX-Slow: " +
                                            std::string(100, 'x') + "\r\n\r\n";
                const auto end = std::chrono::steady_clock::now() + within;
                for (std::size_t at = 0; std::chrono::steady_clock::now() < end && !stop_; at = (at + 1) % request.size()) {
                    if (c.Answered() || !c.Send(request.substr(at, 1))) {
                        ++cut_;
                        return;
                    }
                    std::this_thread::sleep_for(100ms);
                }
            });
        }
        std::this_thread::sleep_for(300ms);  // every one connected and sending
    }
    ~HeldConnections() {
        stop_ = true;
        for (auto& t : tricklers_) t.join();
    }
    // Tricklers the server has let go of so far.
    int Cut() const { return cut_; }
    int IdleOpen() const {
        return static_cast<int>(std::count_if(idle_.begin(), idle_.end(), [](const auto& c) { return !c->Answered(); }));
    }

private:
    std::vector<std::unique_ptr<test::RawClient>> idle_;
    std::vector<std::thread> tricklers_;
    std::atomic<int> cut_{0};
    std::atomic<bool> stop_{false};
};

class AlpacaServer : public ::testing::Test {
protected:
    void SetUp() override {
        kvsim::InstallSimulatedPorts();
        kvsim::ResetSimulatedDevices();
        kvsim::HubFor("hub-alpaca")->SetParameters({.fastSpeed = 1000.0, .slowSpeed = 100.0});
        ServerSettings& s = settings;
        s.focuser.device = "sim:hub-alpaca";
        s.focuser.cataloguePath = std::string(KV_SOURCE_DIR) + "/data/Focusers.ini";
        s.focuser.statePath = dir.File("alpaca.state");
        s.focuser.temperaturePeriodMs = 100;
        s.port = 0;
        s.coefficient = -12.0;
        s.uniqueId = UniqueIdFor(s.focuser.device, "hub");
        s.log = [this](const std::string& line) {
            std::lock_guard lock(logMutex);
            logged += line + "\n";
        };
        service.SetListener(ConsoleListener(service, s.log));
        // A hub synced before; one whose position is not known has its own test.
        ASSERT_TRUE(PositionStore(s.focuser.statePath).Save({0, true, s.focuser.device, "Default"}).ok);
        Restart(s);
    }
    void TearDown() override {
        server->Stop();
        service.Close();
    }
    void Restart(const ServerSettings& s) {
        if (server) server->Stop();
        server = std::make_unique<Server>(service, s);
        std::string error;
        ASSERT_TRUE(server->Start(&error)) << error;
        client = std::make_unique<httplib::Client>("127.0.0.1", server->Port());
    }
    // The JSON answer, or {"http": status, "text": body} for anything but 200.
    json Call(const std::string& how, const std::string& member, const std::string& params = "", int device = 0) {
        const std::string path = "/api/v1/focuser/" + std::to_string(device) + "/" + member;
        const auto r = how == "PUT" ? client->Put(path, params, "application/x-www-form-urlencoded")
                                    : client->Get(path + (params.empty() ? "" : "?" + params));
        if (!r) return {{"http", -1}};
        if (r->status != 200) return {{"http", r->status}, {"text", r->body}};
        return json::parse(r->body);
    }
    json Get(const std::string& member, const std::string& params = "") { return Call("GET", member, params); }
    json Put(const std::string& member, const std::string& params) { return Call("PUT", member, params); }
    static int Error(const json& j) { return j.value("ErrorNumber", -1); }
    std::string Logged() {
        std::lock_guard lock(logMutex);
        return logged;
    }

    test::TempDir dir;
    ServerSettings settings;
    FocuserService service;
    std::unique_ptr<Server> server;
    std::unique_ptr<httplib::Client> client;
    std::mutex logMutex;
    std::string logged;  // the server's console
};

// Before Connected, the descriptive members answer and the device members say
// NotConnected; then every member with a good value, and the values a client
// may get wrong, each of which changes nothing.
TEST_F(AlpacaServer, EveryMemberWithGoodAndBadValues) {
    EXPECT_EQ(Get("interfaceversion")["Value"], kInterfaceVersion);
    EXPECT_EQ(Get("name")["Value"], "Kessivane Focuser");
    EXPECT_EQ(Get("supportedactions")["Value"], json::array({"Sync"}));
    EXPECT_FALSE(Get("driverinfo")["Value"].get<std::string>().empty());
    EXPECT_EQ(Get("connected")["Value"], false);
    for (const auto& [how, member, params] :
         {std::tuple{"GET", "position", ""}, {"GET", "ismoving", ""}, {"GET", "maxstep", ""}, {"GET", "temperature", ""},
          {"PUT", "move", "Position=10"}, {"PUT", "halt", ""}, {"PUT", "tempcomp", "TempComp=true"}}) {
        EXPECT_EQ(Error(Call(how, member, params)), kNotConnected) << member;
    }

    ASSERT_EQ(Put("Connected", "Connected=true")["http"], 400) << "member names are lower case";
    ASSERT_EQ(Error(Put("connected", "Connected=true")), 0);
    // What a client reads once at connect is what the focuser has.
    EXPECT_EQ(Get("tempcompavailable")["Value"], true);
    EXPECT_NEAR(Get("temperature")["Value"].get<double>(), kvsim::Observatory::Instance().TemperatureC(), 0.2);
    EXPECT_EQ(Get("connected")["Value"], true);
    EXPECT_EQ(Get("absolute")["Value"], true);
    EXPECT_EQ(Get("maxstep")["Value"], 100000);
    EXPECT_EQ(Get("maxincrement")["Value"], 100000);
    EXPECT_EQ(Get("position")["Value"], 0);
    EXPECT_EQ(Get("ismoving")["Value"], false);
    EXPECT_EQ(Error(Get("stepsize")), kNotImplemented);
    EXPECT_EQ(Error(Put("action", "Action=x&Parameters=")), kActionNotImplemented);
    EXPECT_EQ(Error(Put("commandstring", "Command=x&Raw=true")), kNotImplemented);

    // The last is an HTTP status (400, 404) or an ASCOM error.
    for (const auto& [how, member, params, expected] :
         {std::tuple{"PUT", "move", "Position=abc", 400}, {"PUT", "move", "Position=1.5", 400},
          {"PUT", "move", "", 400}, {"PUT", "move", "Position=", 400},
          {"PUT", "move", "Position=99999999999", 400}, {"PUT", "move", "Position=-1", kInvalidValue},
          {"PUT", "move", "Position=100001", kInvalidValue}, {"PUT", "connected", "Connected=maybe", 400},
          {"PUT", "connected", "", 400}, {"PUT", "tempcomp", "TempComp=1", 400},
          {"PUT", "tempcomp", "", 400}, {"GET", "focus", "", 400}, {"PUT", "position", "Position=3", 400},
          {"PUT", "action", "Action=x", 400}, {"PUT", "action", "Action=sync&Parameters=1.5", kInvalidValue},
          {"PUT", "action", "Action=Halt&Parameters=", kActionNotImplemented}, {"PUT", "move", "position=5", 400},
          {"PUT", "move", "Position=5&clientid=1", 400}, {"PUT", "connected", "CONNECTED=false", 400},
          {"GET", "action", "", kNotImplemented}, {"GET", "move", "", kNotImplemented}}) {
        const json j = Call(how, member, params);
        EXPECT_EQ(j.contains("http") ? j["http"].get<int>() : Error(j), expected) << member << " " << params;
    }
    for (const auto& [path, status] : {std::pair{"/api/v1/focuser/1/position", 400}, {"/api/v1/focuser/x/position", 400},
                                       {"/api/v1/focuser/-0/position", 400}, {"/api/v1/camera/0/position", 404}}) {
        EXPECT_EQ(client->Get(path)->status, status) << path;
    }
    EXPECT_THAT(Put("move", "position=5")["text"].get<std::string>(), HasSubstr("Bad Form Key Capitalization"));
    EXPECT_EQ(Get("position")["Value"], 0) << "nothing refused moved the focuser";
    EXPECT_EQ(Get("ismoving")["Value"], false);

    // Query names in any case; the client's transaction id back, the server's increasing.
    const json first = Get("position", "clienttransactionid=77");
    EXPECT_EQ(first["ClientTransactionID"], 77);
    for (const char* id : {"ClientTransactionID=-5", "ClientTransactionID=abc", "ClientTransactionID=4294967296"}) {
        const json j = Get("position", id);
        EXPECT_EQ(j["ClientTransactionID"], 0) << id;
        EXPECT_GT(j["ServerTransactionID"].get<std::uint32_t>(), first["ServerTransactionID"].get<std::uint32_t>());
    }
    ASSERT_EQ(Error(Put("move", "Position=150&ClientID=3")), 0);
    ASSERT_TRUE(Eventually([&] { return Get("ismoving")["Value"] == false; }));
    // The hub's motor coasts after its last pulse, by up to the catalogue's stop factor.
    EXPECT_LE(std::abs(Get("position")["Value"].get<int>() - 150), service.Controller()->StopFactor())
        << Get("position") << " " << service.LastMove()->reason;

    // Compensation with the coefficient the server was given (on and off: CompensationIsOfferedOnlyWhereItCanRun).
    EXPECT_EQ(Error(Put("tempcomp", "TempComp=True")), 0);
    EXPECT_EQ(Error(Put("move", "Position=160")), 0) << "a move with compensation on is allowed";

    EXPECT_EQ(Error(Put("connected", "Connected=false")), 0);
    EXPECT_EQ(Get("connected")["Value"], false);
    EXPECT_EQ(Error(Get("position")), kNotConnected);
}

// One client's move is never taken over by another: a second Move (or a
// Sync, which the service refuses as busy) while it runs is an invalid
// operation, readings go on and tell where it is on the way, and Halt stops
// it. Clients are counted by ClientID: one connecting again, or leaving, never
// reopens or closes the focuser, nor halts or moves the count of another's
// move; the last one closes it.
TEST_F(AlpacaServer, TwoClientsAtOnceAndHalt) {
    ASSERT_EQ(Error(Put("connected", "Connected=true&ClientID=1")), 0);
    ASSERT_EQ(Error(Put("connected", "Connected=true&ClientID=2")), 0);
    ASSERT_EQ(Error(Put("move", "Position=6000&ClientID=1")), 0);
    ASSERT_TRUE(Eventually([&] { return Get("position")["Value"].get<int>() > 50; }));
    const int midway = Get("position")["Value"];
    EXPECT_TRUE(midway > 0 && midway < 6000) << midway;
    EXPECT_EQ(Error(Put("action", "Action=Sync&Parameters=10")), kInvalidOperation);
    httplib::Client other("127.0.0.1", server->Port());
    const auto r = other.Put("/api/v1/focuser/0/move", "Position=10&ClientTransactionID=9", "application/x-www-form-urlencoded");
    ASSERT_TRUE(r);
    EXPECT_EQ(json::parse(r->body)["ErrorNumber"], kInvalidOperation);
    for (const char* request : {"Connected=true&ClientID=1", "Connected=false&ClientID=2",
                                "Connected=false&ClientID=2", "Connected=false&ClientID=7"}) {
        const std::int32_t before = service.Position();
        ASSERT_EQ(Error(Put("connected", request)), 0) << request;
        EXPECT_EQ(Get("connected")["Value"], true) << request;
        EXPECT_EQ(service.Target(), 6000) << request << " ended client 1's move";
        EXPECT_GE(service.Position(), before) << request;
    }
    // Readers on two connections while it moves: every answer whole.
    std::atomic<int> good{0};
    std::vector<std::thread> readers;
    for (int c = 0; c < 2; ++c) {
        readers.emplace_back([&] {
            httplib::Client mine("127.0.0.1", server->Port());
            for (int i = 0; i < 40; ++i) {
                const auto a = mine.Get("/api/v1/focuser/0/position");
                if (a && a->status == 200 && json::parse(a->body)["ErrorNumber"] == 0) ++good;
            }
        });
    }
    for (auto& t : readers) t.join();
    EXPECT_EQ(good, 80);
    ASSERT_EQ(Error(Put("halt", "")), 0);
    ASSERT_TRUE(Eventually([&] { return Get("ismoving")["Value"] == false; }));
    EXPECT_LT(Get("position")["Value"].get<int>(), 5900) << "halted well before the target";
    EXPECT_EQ(service.LastMove()->end, MoveEnd::Halted);
    ASSERT_EQ(Error(Put("connected", "Connected=false&ClientID=1")), 0);
    EXPECT_EQ(Get("connected")["Value"], false);
}

// A position not known, for whatever reason the state file gives, is said on
// the console and refuses every move until a client syncs it (the action
// Sync) or the server was told where the hub stands (--sync, once). Limits
// and the motor's direction come from the options.
TEST_F(AlpacaServer, AnUnknownPositionRefusesMovesUntilSynced) {
    struct Case {
        const char* name;
        const char* state;  // nullptr: no file
        std::optional<std::int32_t> syncTo;
        const char* said;   // on the console, beside the advice to sync
        bool reverse;       // on this normally wired hub: the move runs the wrong way
    };
    for (const Case& c : {Case{"no file", nullptr, std::nullopt, "There is no focuser state file", false},
                          {"a move that never ended", "position=700\nclean=0\ndevice=sim:hub-alpaca\nmodel=Default\n",
                           std::nullopt, "never ended", true},
                          {"beyond any travel", "position=2147483647\nclean=1\ndevice=sim:hub-alpaca\nmodel=Default\n",
                           std::nullopt, "does not read", false},
                          {"no file, --sync", nullptr, 4000, "synced to 4000 (--sync)", false}}) {
        std::filesystem::remove(settings.focuser.statePath);
        if (c.state) std::ofstream(settings.focuser.statePath) << c.state;
        ServerSettings s = settings;
        s.syncTo = c.syncTo;
        s.limits = FocuserService::Limits{1000, 60000};
        s.reverse = c.reverse;
        Restart(s);
        ASSERT_EQ(Error(Put("connected", "Connected=true")), 0) << c.name;
        EXPECT_THAT(Logged(), HasSubstr(c.said)) << c.name;
        EXPECT_EQ(Get("maxstep")["Value"], 60000) << c.name;
        if (!c.syncTo) {
            EXPECT_THAT(Logged(), HasSubstr("moves are refused until it is synced")) << c.name;
            const json refused = Put("move", "Position=5000");
            EXPECT_EQ(Error(refused), kInvalidOperation) << c.name;
            EXPECT_THAT(refused["ErrorMessage"].get<std::string>(), AllOf(HasSubstr("Sync"), HasSubstr("--sync"))) << c.name;
            EXPECT_FALSE(service.Moving()) << c.name;
            EXPECT_EQ(Error(Put("action", "Action=Sync&Parameters=70000")), kInvalidValue) << c.name << ": beyond the limits";
            const json synced = Put("action", "Action=Sync&Parameters=4000");
            ASSERT_EQ(Error(synced), 0) << c.name << " " << synced;
            EXPECT_EQ(synced["Value"], "4000");
        }
        EXPECT_EQ(Get("position")["Value"], 4000) << c.name;
        EXPECT_EQ(Error(Put("move", "Position=500")), kInvalidValue) << c.name << ": below the lower limit";
        EXPECT_EQ(Error(Put("move", "Position=4100")), 0) << c.name;
        ASSERT_TRUE(service.WaitIdle(30000)) << c.name;
        const json moved = Get("position")["Value"];
        EXPECT_EQ(Error(Put("connected", "Connected=false")), 0);
        ASSERT_EQ(Error(Put("connected", "Connected=true")), 0);
        EXPECT_EQ(Get("position")["Value"], moved) << c.name << ": kept, and synced only at the first connection";
        EXPECT_EQ(Error(Put("connected", "Connected=false")), 0);
    }
    EXPECT_TRUE(PositionStore(settings.focuser.statePath).Load()->clean) << "synced, and kept for the next start";
    // Only the move that did not arrive, in the server's words.
    EXPECT_THAT(Logged(), AllOf(HasSubstr("move to 4100 stalled"), HasSubstr("--reverse off"),
                                Not(HasSubstr("arrived"))));
}

// The engine's texts in the server's words: the device, the position clients
// see, and the server's options for the desktop's settings (the motor's
// direction: AnUnknownPositionRefusesMovesUntilSynced).
TEST(AlpacaText, EngineTextsSpeakOfTheDeviceThePositionAndTheServersOptions) {
    EXPECT_EQ(AlpacaText("The focuser on COM1 (/dev/ttyUSB0) stayed at position -2787 for 1.0 s while it was being "
                         "moved, so the motor was stopped. Check the focuser's power and cable; for a hub focuser also "
                         "check \"High Resolution Positioning\" against the encoder, and the motor timing settings.",
                         "/dev/ttyUSB0", 2787),
              "The focuser on /dev/ttyUSB0 stayed at position 2787 for 1.0 s while it was being moved, so the motor "
              "was stopped. Check the focuser's power and cable; for a hub also check the model given with --model.");
}

// TempCompAvailable says whether TempComp=true can run, from the moment
// Connected=true returns; when it cannot, TempComp either way is not
// implemented, and the reason names the options (or the missing probe).
TEST_F(AlpacaServer, CompensationIsOfferedOnlyWhereItCanRun) {
    struct Case {
        const char* name;
        std::optional<double> coefficient;
        std::string tcd;
        bool available;
        bool probe = true;
    };
    ASSERT_TRUE(WriteTcdFile(dir.File("night.tcd"), {{true, "1000", "10.0", "", ""}, {true, "1120", "0.0", "", ""}}, "", "").ok);
    // The service keeps a coefficient across connections: the cases with one come last.
    for (const Case& c : {Case{"nothing", std::nullopt, "", false},
                          Case{"a calibration file that is not there", std::nullopt, dir.File("none.tcd"), false},
                          Case{"a calibration file", std::nullopt, dir.File("night.tcd"), true},
                          Case{"a coefficient", -12.0, "", true}, Case{"no probe", -12.0, "", false, false}}) {
        ServerSettings s = settings;
        s.coefficient = c.coefficient;
        s.tcdPath = c.tcd;
        kvsim::HubFor("hub-alpaca")->SetParameters({.fastSpeed = 1000.0, .slowSpeed = 100.0, .temperatureUnit = c.probe});
        Restart(s);
        ASSERT_EQ(Error(Put("connected", "Connected=true")), 0) << c.name;
        EXPECT_EQ(Get("tempcompavailable")["Value"], c.available) << c.name;
        for (const bool on : {true, false}) {
            const json j = Put("tempcomp", on ? "TempComp=true" : "TempComp=false");
            EXPECT_EQ(Error(j), c.available ? 0 : kNotImplemented) << c.name << " " << on;
            EXPECT_THAT(j.value("ErrorMessage", ""), HasSubstr(c.available ? "" : c.probe ? "--tcd" : "no temperature"))
                << c.name;
            EXPECT_EQ(Get("tempcomp")["Value"], c.available && on) << c.name;
        }
    }
}

// Requests beyond an Alpaca request's size, or whose length two programs on
// the way could read differently, are refused before their body is read, and
// nothing is done.
TEST_F(AlpacaServer, OversizedAndAmbiguouslyFramedRequestsAreRefused) {
    ASSERT_EQ(Error(Put("connected", "Connected=true")), 0);
    std::string headers;
    for (int i = 0; i < 200; ++i) headers += "X-Padding-" + std::to_string(i) + ": " + std::string(90, 'x') + "\r\n";
    const std::string move = "PUT /api/v1/focuser/0/move HTTP/1.1\r\nHost: x\r\n"
                             "Content-Type: application/x-www-form-urlencoded\r\n";
    for (const auto& [name, request, status] :
         {std::tuple{"20 KiB of headers", "GET /api/v1/focuser/0/position HTTP/1.1\r\n" + headers + "\r\n", 400},
          {"6 KiB of headers", "GET /api/v1/focuser/0/position HTTP/1.1\r\n" + headers.substr(0, headers.find("X-Padding-55")) + "\r\n", 200},
          {"a body of 1 MiB", move + "Content-Length: 1048576\r\n\r\nPosition=5&", 413},
          {"two different lengths", move + "Content-Length: 10\r\nContent-Length: 11\r\n\r\nPosition=50", 400},
          {"a length and chunks", move + "Content-Length: 10\r\nTransfer-Encoding: chunked\r\n\r\na\r\nPosition=5\r\n0\r\n\r\n", 400},
          {"the same length twice", move + "Content-Length: 10\r\nContent-Length: 10\r\n\r\nPosition=0", 200},
          {"the most body taken", move + "Content-Length: 4096\r\n\r\nPosition=0&X=" + std::string(4096 - 13, 'x'), 200}}) {
        test::RawClient raw(server->Port());
        ASSERT_TRUE(raw.Send(request)) << name;
        EXPECT_EQ(Status(raw), status) << name;
    }
    EXPECT_EQ(Get("position")["Value"], 0);
    EXPECT_EQ(Get("ismoving")["Value"], false);

    // A kept-alive connection is closed after its share of requests, even
    // when they come back to back.
    std::string many;
    for (int i = 0; i <= kMaxRequestsPerConnection; ++i) many += "GET /api/v1/focuser/0/name HTTP/1.1\r\nHost: x\r\n\r\n";
    test::RawClient raw(server->Port());
    ASSERT_TRUE(raw.Send(many));
    EXPECT_EQ(Answers(raw), kMaxRequestsPerConnection);
}

// Clients that hold connections, silent or a byte at a time, never keep
// another client's request waiting, and the slow ones are let go. With every
// worker taken, the idle connections first made are closed for newcomers
// (one each), not all of them after their idle time.
TEST_F(AlpacaServer, HeldConnectionsShutNoOneOut) {
    HeldConnections held(server->Port(), kWorkers, 4, 10s);
    client->set_read_timeout(8s);  // a bound for a hang, not a speed
    const auto r = client->Get("/api/v1/focuser/0/name");
    ASSERT_TRUE(r);
    EXPECT_EQ(json::parse(r->body)["Value"], "Kessivane Focuser");
    EXPECT_GE(held.IdleOpen(), kWorkers - 8);
    EXPECT_TRUE(Eventually([&] { return held.Cut() == 4; }, 8s)) << held.Cut() << " of 4 slow clients let go";
}

// Stopping halts the focuser and saves its position first, then lets slow
// clients go rather than waiting for them.
TEST_F(AlpacaServer, StopHaltsAndSavesFirstAndWaitsForNoClient) {
    ASSERT_EQ(Error(Put("connected", "Connected=true")), 0);
    ASSERT_EQ(Error(Put("move", "Position=3000")), 0);
    ASSERT_TRUE(Eventually([&] { return service.Position() > 50; }));
    HeldConnections held(server->Port(), 2, 2, 12s);
    const auto start = std::chrono::steady_clock::now();
    server->Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 8s) << "a bound for a hang, not a speed";
    EXPECT_FALSE(service.IsOpen());
    ASSERT_TRUE(service.LastMove());
    EXPECT_EQ(service.LastMove()->end, MoveEnd::Halted);
    const auto saved = PositionStore(settings.focuser.statePath).Load();
    ASSERT_TRUE(saved);
    EXPECT_TRUE(saved->clean);
    EXPECT_EQ(saved->position, service.LastMove()->position);
}

// Lines that never change, for a hub on a pseudo-terminal (which has none):
// its move runs, uncounted, until the terminal's far end closes.
class LinesAtRest : public PosixSerialPort::ModemIo {
    bool Get(int, int& bits) override { return (bits = 0, true); }
    bool Set(int, int, bool) override { return true; }
    bool CtsCount(int, std::uint64_t&) override { return false; }
};

// Every kind's device gone mid-move (the far end of its terminal closed):
// the calls that would tell a waiting client the move ended get DriverError,
// Connected turns false, nothing more is taken, and the position is uncertain
// until a client connects again.
TEST_F(AlpacaServer, ADeviceRemovedMidMoveIsLostOnEveryKind) {
    test::Pty hubLine;
    kvsim::RegisterSimulatedDevice("ptyhub", [path = hubLine.Path()](const std::string&) {
        return std::make_unique<PosixSerialPort>(path, std::make_shared<LinesAtRest>());
    });
    for (const char* kind : {"hub", "robofocus", "optec"}) {
        const bool hub = kind == std::string("hub");
        std::optional<test::PtySimulator> sim;
        ServerSettings s = settings;
        s.focuser.kind = *ServiceKindFromName(kind);
        s.focuser.device = hub ? "sim:ptyhub" : sim.emplace(kind).Path();
        ASSERT_TRUE(PositionStore(s.focuser.statePath).Save({0, true, s.focuser.device, "Default"}).ok);
        Restart(s);
        ASSERT_EQ(Error(Put("connected", "Connected=true")), 0) << kind;
        const int at = Get("position")["Value"], far = at > Get("maxstep")["Value"].get<int>() / 2 ? at - 2500 : at + 2500;
        ASSERT_EQ(Error(Put("move", "Position=" + std::to_string(far))), 0) << kind;
        ASSERT_EQ(Get("ismoving")["Value"], true) << kind;
        hub ? hubLine.CloseMaster() : sim.reset();
        ASSERT_TRUE(Eventually([&] { return Get("connected")["Value"] == false; })) << kind;
        for (const char* member : {"ismoving", "position"}) {
            const json j = Get(member);
            EXPECT_EQ(Error(j), kDriverError) << kind << " " << member;
            EXPECT_THAT(j.value("ErrorMessage", ""), HasSubstr("port " + s.focuser.device + " was lost")) << kind;
        }
        EXPECT_EQ(Error(Put("move", "Position=" + std::to_string(at))), kNotConnected) << kind;
        EXPECT_EQ(Error(Get("maxstep")), kNotConnected) << kind;
        EXPECT_TRUE(service.PositionUncertain()) << kind;
        EXPECT_NE(PositionStore(s.focuser.statePath).Load()->clean, hub) << kind;
    }
}

// Both ports are this server's alone: a second server on the HTTP port does
// not start, and discovery is off, saying so, where its port is held, shared
// with SO_REUSEPORT or not.
TEST_F(AlpacaServer, BothPortsAreTakenExclusively) {
    ServerSettings same = settings;
    same.port = server->Port();
    FocuserService other;
    Server second(other, same);
    std::string error;
    EXPECT_FALSE(second.Start(&error));
    EXPECT_THAT(error, HasSubstr("port " + std::to_string(server->Port())));

    for (const bool shared : {true, false}) {
        const int holder = socket(AF_INET, SOCK_DGRAM, 0);
        const int on = 1;
        if (shared) setsockopt(holder, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
        sockaddr_in at = test::Loopback();
        socklen_t len = sizeof at;
        ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
        getsockname(holder, reinterpret_cast<sockaddr*>(&at), &len);
        const int port = ntohs(at.sin_port);
        Discovery discovery;
        EXPECT_FALSE(discovery.Start("127.0.0.1", port, server->Port(), &error)) << shared;
        EXPECT_THAT(error, AllOf(HasSubstr("UDP port " + std::to_string(port)), HasSubstr("discovery is off"))) << shared;
        close(holder);
    }
}

// Management answers, discovery answers only its own message, and nothing
// listens anywhere but on loopback.
TEST_F(AlpacaServer, ManagementDiscoveryAndOnlyLoopback) {
    const auto versions = client->Get("/management/apiversions");
    ASSERT_TRUE(versions);
    EXPECT_EQ(json::parse(versions->body)["Value"], json::array({1}));
    const json devices = json::parse(client->Get("/management/v1/configureddevices")->body)["Value"];
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0]["DeviceType"], "Focuser");
    EXPECT_EQ(devices[0]["DeviceNumber"], 0);
    EXPECT_EQ(devices[0]["UniqueID"], UniqueIdFor("sim:hub-alpaca", "hub"));
    EXPECT_NE(UniqueIdFor("sim:hub-alpaca", "hub"), UniqueIdFor("sim:hub-other", "hub"));
    EXPECT_EQ(json::parse(client->Get("/management/v1/description")->body)["Value"]["Manufacturer"], "Kessivane");

    Discovery discovery;
    std::string error;
    ASSERT_TRUE(discovery.Start("127.0.0.1", 0, server->Port(), &error)) << error;
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to = test::Loopback(discovery.Port());
    const auto ask = [&](const std::string& message) -> std::string {
        sendto(fd, message.data(), message.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 1000) != 1) return {};
        char buffer[256];
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
    };
    for (const char* stray : {"alpacadiscovery", "alpacadiscovery2", "hello"}) EXPECT_EQ(ask(stray), "") << stray;
    const std::string answer = ask(kDiscoveryMessage);
    ASSERT_FALSE(answer.empty());
    EXPECT_EQ(json::parse(answer)["AlpacaPort"], server->Port());
    close(fd);
    discovery.Stop();

    // The machine's other addresses do not reach the server.
    ifaddrs* all = nullptr;
    ASSERT_EQ(getifaddrs(&all), 0);
    int tried = 0;
    for (ifaddrs* a = all; a != nullptr; a = a->ifa_next) {
        if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET) continue;
        sockaddr_in at = *reinterpret_cast<sockaddr_in*>(a->ifa_addr);
        if (ntohl(at.sin_addr.s_addr) >> 24 == 127) continue;
        at.sin_port = htons(static_cast<std::uint16_t>(server->Port()));
        const int s = socket(AF_INET, SOCK_STREAM, 0);
        EXPECT_NE(connect(s, reinterpret_cast<sockaddr*>(&at), sizeof at), 0) << a->ifa_name;
        close(s);
        ++tried;
    }
    freeifaddrs(all);
    if (tried == 0) GTEST_SKIP() << "this machine has no address but loopback";
}

// The program refuses options it does not know, or whose values do not
// read, with why and its usage, before it opens anything.
TEST(AlpacaProgram, RefusesWhatItCannotRead) {
    for (const auto& [args, says] : {std::pair{"--bogus=1", "unknown option '--bogus'"},
                                     {"--kind=other", "--kind must be hub, robofocus or optec, not 'other'"},
                                     {"--device=/dev/x --port", "--port needs a value"},
                                     {"--simulate --port=70000", "a port is a whole number from 0 to 65535"},
                                     {"--simulate --port=65535 --step-size=0 --reverse=x", "--step-size takes microns"},
                                     {"--simulate --port=0 --discovery-port=0 --reverse=x", "--reverse takes on or off"}}) {
        FILE* out = popen(("timeout 10 " KV_ALPACA_PROGRAM " " + std::string(args) + " 2>&1").c_str(), "r");
        ASSERT_NE(out, nullptr);
        std::string said(4096, '\0');
        said.resize(std::fread(said.data(), 1, said.size(), out));
        EXPECT_EQ(WEXITSTATUS(pclose(out)), 64) << args;
        EXPECT_THAT(said, AllOf(HasSubstr("kessivane-alpaca: " + std::string(says)), HasSubstr("usage:"))) << args;
    }
}

// A lone --min-position or --max-position is a limit with the other's
// default, and --reverse on turns the motor round (the simulated hub's is
// not, so its move is stopped as going the wrong way).
TEST(AlpacaProgram, TakesALoneLimitAndReverseOn) {
    test::TempDir dir;
    for (const auto& [limit, outside] : {std::pair{"--min-position=500", 499}, {"--max-position=2000", 2001}}) {
        const std::string args = " --simulate --port=0 --discovery-port=0 --sync=1000 --reverse=on --state=" +
                                 dir.File("hub.state") + " " + limit;
        FILE* out = popen(("echo $$; exec timeout 60 " KV_ALPACA_PROGRAM + args + " 2>&1").c_str(), "r");
        ASSERT_NE(out, nullptr);
        char line[512] = {};
        const pid_t pid = std::fgets(line, sizeof line, out) ? std::atoi(line) : 0;
        std::string said;
        while (said.find("/api/") == std::string::npos && std::fgets(line, sizeof line, out)) said += line;
        ASSERT_GT(pid, 0);
        httplib::Client client("127.0.0.1", std::atoi(said.c_str() + said.find("127.0.0.1:") + 10));
        const auto put = [&](const std::string& member, const std::string& params) {
            const auto r = client.Put("/api/v1/focuser/0/" + member, params, "application/x-www-form-urlencoded");
            return r ? json::parse(r->body).value("ErrorNumber", -1) : -1;
        };
        ASSERT_EQ(put("connected", "Connected=true"), 0) << said;
        EXPECT_EQ(put("move", "Position=" + std::to_string(outside)), kInvalidValue) << limit;
        ASSERT_EQ(put("move", "Position=1100"), 0);
        const auto moving = [&] { return json::parse(client.Get("/api/v1/focuser/0/ismoving")->body)["Value"]; };
        EXPECT_TRUE(Eventually([&] { return moving() == false; }));
        kill(pid, SIGTERM);
        for (std::size_t n; (n = std::fread(line, 1, sizeof line, out)) > 0;) said.append(line, n);
        pclose(out);
        EXPECT_THAT(said, HasSubstr("move to 1100 stalled: The focuser moved away from its target")) << limit;
    }
}

// The values read from the decoded request, without the network.
TEST(AlpacaRequest, ValuesReadAsTheProtocolDefinesThem) {
    const Params p{{"position", "5"}, {"POSITION", "6"}, {"ClientID", "x"}};
    EXPECT_EQ(FindParam(p, "Position"), "5");
    EXPECT_FALSE(FindParam(p, "Positio"));
    for (const auto& [text, value] : {std::pair<const char*, std::optional<std::int32_t>>{"-120", -120}, {"+7", 7},
                                      {"0", 0}, {"2147483647", 2147483647}, {"2147483648", std::nullopt},
                                      {"1.0", std::nullopt}, {" 1", std::nullopt}, {"1e3", std::nullopt},
                                      {"", std::nullopt}, {"+-1", std::nullopt}, {"--1", std::nullopt}}) {
        EXPECT_EQ(ParseInt(text), value) << text;
    }
    EXPECT_EQ(std::tuple(ParseBool("TRUE"), ParseBool("false"), ParseBool("1"), ParseBool("truex")),
              std::tuple(std::optional(true), std::optional(false), std::optional<bool>(), std::optional<bool>()));
    EXPECT_EQ(std::tuple(ParseClientNumber("4294967295"), ParseClientNumber("-1"), ParseClientNumber(std::nullopt),
                         ParseClientNumber("+12")),
              std::tuple(4294967295u, 0u, 0u, 12u));
    EXPECT_EQ(std::tuple(ParseDeviceNumber("0"), ParseDeviceNumber("+0"), ParseDeviceNumber("-0")),
              std::tuple(std::optional(0u), std::optional<std::uint32_t>(), std::optional<std::uint32_t>()));
}

}  // namespace
}  // namespace kv::alpaca
