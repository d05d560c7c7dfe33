// The device-server driver over the focuser service (drivers/indi), driven
// through a real server by the server's own command-line clients, with the
// hub simulated inside the driver and RoboFocus/Optec on pseudo-terminals.
#include <gtest/gtest.h>
#include <poll.h>

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "driver_rules.h"
#include "indi/indi_server.h"
#include "service/position_store.h"
#include "support/eventually.h"
#include "support/pty_simulator.h"
#include "support/raw_client.h"
#include "support/temp_files.h"

namespace kv {
namespace {

using namespace std::chrono_literals;
using test::IndiServer;
using test::PtySimulator;

TEST(IndiDriverRules, CatalogueModelsAndMoveEndings) {
    const std::string shipped = std::string(KV_SOURCE_DIR) + "/data/Focusers.ini";
    EXPECT_EQ(indi::FindCatalogue(std::string(KV_SOURCE_DIR) + "/data"), shipped);
    const auto models = indi::HubModels(shipped);
    EXPECT_EQ(models, (std::vector<std::string>{"Default", "JMI EV-2n", "JMI MotoFocus", "JMI NGF-S",
                                                "Meade LX200 Microfocuser"}));
    EXPECT_EQ(indi::HubModels(""), std::vector<std::string>{"Default"});
    // The ends the driver tests cannot bring about: a replaced move leaves the states to its successor.
    EXPECT_EQ(indi::StateForEnd(MoveEnd::Replaced), indi::EndState::Unchanged);
    EXPECT_EQ(indi::StateForEnd(MoveEnd::TimedOut), indi::EndState::Alert);
}

// The engine's texts as the desktop shows them, in the driver's words: its
// device, the position clients see (the hub's count runs the other way) and
// its own properties.
TEST(IndiDriverRules, EngineTextsSpeakOfTheDeviceThePositionAndTheDriversProperties) {
    const struct {
        std::string engine, face;
    } cases[] = {
        {std::string("The focuser on COM1 (/dev/ttyUSB0) stayed at position -2787 for 1.0 s while it was being "
                     "moved, so the motor was stopped. Check the focuser's power and cable; for a hub focuser also "
                     "check \"High Resolution Positioning\" against the encoder, and the motor timing settings."),
         "The focuser on /dev/ttyUSB0 stayed at position 2787 for 1.0 s while it was being moved, so the motor was "
         "stopped. Check the focuser's power and cable; for a hub also check the model chosen in KV_HUB_MODEL."},
        {kWrongWayText, "The focuser moved away from its target, so the move was stopped. If the hub's motor is wired "
                        "the other way round, switch FOCUS_REVERSE_MOTION on; if it is on, switch it off."},
        {"The focuser on COM12 stopped answering (hang-up); COM12 was closed.",
         "The focuser on /dev/ttyUSB0 stopped answering (hang-up); /dev/ttyUSB0 was closed."},
        {"Halted on request. It stands at 5.", "Halted on request. It stands at 5."},
    };
    for (const auto& c : cases) EXPECT_EQ(indi::FaceText(c.engine, "/dev/ttyUSB0", 2787), c.face) << c.engine;
    // A device path is put in as it is.
    EXPECT_EQ(indi::FaceText("On COM1 (x).", "/dev/$1&", 0), "On /dev/$1&.");
}

#ifdef KV_INDI_KESSIVANE_FOCUSER

constexpr const char* kDevice = "Kessivane Focuser";
// The simulated hub coasts after its last pulse; the service brings it back.
constexpr int kHubTolerance = kServiceLandingSteps;
constexpr int kWaitSeconds = 60;  // a hang guard: every move here takes seconds

std::string Cased(std::string text, int (*to)(int)) {
    for (char& c : text) c = static_cast<char>(to(static_cast<unsigned char>(c)));
    return text;
}

// A client of the server's protocol that asks for every property once and
// keeps what the server says, to count definitions and read messages.
class RawClient : public test::RawClient {
public:
    explicit RawClient(int port) : test::RawClient(port) { Send("<getProperties version=\"1.7\"/>\n"); }
    // What came until `text` was heard and then nothing for half a second:
    // a busy machine may pause the server in mid-answer.
    const std::string& Heard(const std::string& text) {
        heard_ += Read([&](const std::string& got) { return (heard_ + got).find(text) != std::string::npos; }, 20000);
        heard_ += Read([](const std::string&) { return false; }, 500);
        return heard_;
    }

private:
    std::string heard_;
};

// How often each property is defined in what a server said.
std::map<std::string, int> Definitions(const std::string& heard) {
    std::map<std::string, int> count;
    static const std::regex def(R"(<def[A-Za-z]+Vector\s[^>]*?\bname=["']([^"']*)["'])");
    for (std::sregex_iterator m(heard.begin(), heard.end(), def), end; m != end; ++m) ++count[(*m)[1]];
    return count;
}

class KessivaneDriver : public ::testing::Test {
protected:
    void SetUp() override {
        if (!IndiServer::Installed() || access("/usr/bin/indi_eval", X_OK) != 0) {
            GTEST_SKIP() << "indiserver or its command-line clients are not installed";
        }
    }
    // The state folder and the driver's configuration outlive each server,
    // as the user's own do.
    void Start(std::vector<std::string> env = {}) {
        server.reset();
        env.push_back("XDG_STATE_HOME=" + state.File("state"));
        env.push_back("HOME=" + state.Path().string());
        // A hub synced once, as a user's is; one never counted is not known (the service's tests).
        const PositionStore hub(FocuserStatePath("sim:hub", state.File("state").c_str(), nullptr));
        if (!hub.Load()) {
            ASSERT_TRUE(hub.Save({0, true, "sim:hub", "Default"}).ok);
        }
        server = std::make_unique<IndiServer>(std::vector<std::string>{KV_INDI_KESSIVANE_FOCUSER}, env,
                                              std::vector<std::string>{kDevice});
        ASSERT_TRUE(server->Running());
    }
    bool Set(const std::string& assignment) const { return server->Set(std::string(kDevice) + "." + assignment); }
    std::string Get(const std::string& what) const { return server->Get(std::string(kDevice) + "." + what); }
    int Whole(const std::string& what) const { return static_cast<int>(std::lround(std::atof(Get(what).c_str()))); }
    int Position() const { return Whole("ABS_FOCUS_POSITION.FOCUS_ABSOLUTE_POSITION"); }
    // "PROPERTY.ELEMENT" as an operand of indi_eval.
    static std::string Q(const std::string& what) { return "\"" + std::string(kDevice) + "." + what + "\""; }
    // Waits (bounded) for an expression over the device's properties to hold.
    bool WaitFor(const std::string& expression, int seconds = kWaitSeconds) const {
        return server->Run({"indi_eval", "-p", std::to_string(server->Port()), "-w", "-t", std::to_string(seconds),
                            expression}) == 0;
    }
    bool TextBecomes(const std::string& what, const std::string& value) const {
        return test::Eventually([&] { return Get(what) == value; }, 60s);
    }
    void Connect(const std::string& port, const std::string& kind = "HUB") {
        ASSERT_TRUE(Set("KV_FOCUSER_KIND." + kind + "=On"));
        ASSERT_TRUE(Set("DEVICE_PORT.PORT=" + port));
        ASSERT_TRUE(Set("CONNECTION.CONNECT=On"));
        ASSERT_TRUE(WaitFor(Q("CONNECTION.CONNECT") + "==1"));
        ASSERT_TRUE(TextBecomes("KV_DEVICE_INFO.KIND", Cased(kind, ::tolower)));
    }
    // Asks for `target` and waits for the move's end; the position's state then.
    // indi_setprop returns once the request is sent, and the server may answer
    // another client before the driver has taken it: the end is waited for
    // once the driver has answered (busy, refused, or there already).
    std::string MoveTo(int target, int tolerance = kHubTolerance) {
        EXPECT_TRUE(Set("ABS_FOCUS_POSITION.FOCUS_ABSOLUTE_POSITION=" + std::to_string(target)));
        // (indi_eval sees no value for an operand named twice.)
        const std::string off = Q("ABS_FOCUS_POSITION.FOCUS_ABSOLUTE_POSITION") + (target < 0 ? "+" : "-") +
                                std::to_string(std::abs(target));
        EXPECT_TRUE(WaitFor(Q("ABS_FOCUS_POSITION._STATE") + ">=2 || abs(" + off + ")<=" + std::to_string(tolerance)));
        EXPECT_TRUE(WaitFor(Q("ABS_FOCUS_POSITION._STATE") + "!=2"));
        return Get("ABS_FOCUS_POSITION._STATE");
    }
    double Number(const std::string& what) const { return std::atof(Get(what).c_str()); }

    test::TempDir state;
    std::unique_ptr<IndiServer> server;
};

// States as the command-line client prints them.
constexpr const char *kIdle = "Idle", *kOk = "Ok", *kAlert = "Alert";

TEST_F(KessivaneDriver, EveryStandardPropertyDrivesTheSimulatedHub) {
    Start();
    ASSERT_TRUE(Set("DEVICE_PORT.PORT=/dev/kv-no-such-port"));
    ASSERT_TRUE(Set("CONNECTION.CONNECT=On"));
    EXPECT_TRUE(WaitFor(Q("CONNECTION._STATE") + "==3"));
    Connect("sim:hub");
    EXPECT_EQ(Get("KV_DEVICE_INFO.MODEL"), "Default");
    // What is connected is chosen before connecting.
    ASSERT_TRUE(Set("KV_FOCUSER_KIND.OPTEC=On"));
    EXPECT_TRUE(WaitFor(Q("KV_FOCUSER_KIND._STATE") + "==3 && " + Q("KV_FOCUSER_KIND.HUB") + "==1"));
    EXPECT_EQ(Get("KV_POSITION_STATE.POSITION_KNOWN"), "Ok");
    EXPECT_TRUE(WaitFor(Q("FOCUS_TEMPERATURE.TEMPERATURE") + ">-50"));  // the hub's probe
    {
        // The temperature, defined last, ends the device's list.
        RawClient client(server->Port());
        auto defs = Definitions(client.Heard("name=\"FOCUS_TEMPERATURE\""));
        for (const char* name : {"ABS_FOCUS_POSITION", "KV_FOCUSER_KIND", "KV_HUB_MODEL", "USEJOYSTICK"}) {
            EXPECT_EQ(defs[name], 1) << name;
        }
        for (const auto& [name, times] : defs) EXPECT_EQ(times, 1) << name;
    }

    EXPECT_EQ(MoveTo(800), kOk);
    EXPECT_NEAR(Position(), 800, kHubTolerance);
    EXPECT_EQ(Get("KV_LAST_MOVE.END"), "arrived");
    ASSERT_TRUE(Set("FOCUS_MOTION.FOCUS_INWARD=On"));
    ASSERT_TRUE(Set("REL_FOCUS_POSITION.FOCUS_RELATIVE_POSITION=300"));
    // The relative move's state was Ok before it too: its end is told by where it stands.
    const auto endsNear = [&](int at, int tolerance) {
        return WaitFor(Q("REL_FOCUS_POSITION._STATE") + "==1 && abs(" + Q("ABS_FOCUS_POSITION.FOCUS_ABSOLUTE_POSITION") +
                       "-" + std::to_string(at) + ")<=" + std::to_string(tolerance));
    };
    EXPECT_TRUE(endsNear(500, 2 * kHubTolerance)) << Position();
    ASSERT_TRUE(Set("FOCUS_MOTION.FOCUS_OUTWARD=On"));
    ASSERT_TRUE(Set("REL_FOCUS_POSITION.FOCUS_RELATIVE_POSITION=100"));
    EXPECT_TRUE(endsNear(600, 3 * kHubTolerance)) << Position();

    // A target beyond the travel limit is refused and nothing moves.
    ASSERT_TRUE(Set("FOCUS_MAX.FOCUS_MAX_VALUE=1000"));
    EXPECT_TRUE(WaitFor(Q("FOCUS_MAX._STATE") + "==1"));
    const int here = Position();
    EXPECT_EQ(MoveTo(1500), kAlert);
    EXPECT_EQ(Position(), here);
    EXPECT_EQ(Get("KV_LAST_MOVE.END"), "arrived");

    // Sync: the count becomes the number given, and the state file keeps it.
    ASSERT_TRUE(Set("FOCUS_SYNC.FOCUS_SYNC_VALUE=900"));
    EXPECT_TRUE(WaitFor(Q("ABS_FOCUS_POSITION.FOCUS_ABSOLUTE_POSITION") + "==900"));
    EXPECT_NE(state.Read("state/kessivane/focuser-sim_hub.state").find("position=900\n"), std::string::npos);

    // A backlash approach still lands where it was asked to.
    ASSERT_TRUE(Set("FOCUS_BACKLASH_TOGGLE.INDI_ENABLED=On"));
    ASSERT_TRUE(Set("FOCUS_BACKLASH_STEPS.FOCUS_BACKLASH_VALUE=40"));
    EXPECT_TRUE(WaitFor(Q("FOCUS_BACKLASH_STEPS._STATE") + "==1"));
    EXPECT_EQ(MoveTo(550), kOk);
    EXPECT_NEAR(Position(), 550, kHubTolerance);
    ASSERT_TRUE(Set("FOCUS_BACKLASH_STEPS.FOCUS_BACKLASH_VALUE=20000"));
    EXPECT_TRUE(WaitFor(Q("FOCUS_BACKLASH_STEPS._STATE") + "==3"));
}

TEST_F(KessivaneDriver, AbortStopsAMoveAndANewTargetReplacesARunningOne) {
    Start();
    Connect("sim:hub");
    ASSERT_TRUE(Set("ABS_FOCUS_POSITION.FOCUS_ABSOLUTE_POSITION=3000"));  // ten seconds of travel
    ASSERT_TRUE(WaitFor(Q("ABS_FOCUS_POSITION.FOCUS_ABSOLUTE_POSITION") + ">=300"));
    ASSERT_TRUE(Set("FOCUS_ABORT_MOTION.ABORT=On"));
    EXPECT_TRUE(TextBecomes("KV_LAST_MOVE.END", "halted"));
    EXPECT_EQ(Get("ABS_FOCUS_POSITION._STATE"), kIdle);  // INDI's custom for an aborted move
    const int rest = Position();
    EXPECT_TRUE(rest >= 300 && rest < 3000) << rest;
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(Position(), rest);

    // The newest target wins; the replaced move leaves no trace in the states.
    ASSERT_TRUE(Set("ABS_FOCUS_POSITION.FOCUS_ABSOLUTE_POSITION=2800"));
    ASSERT_TRUE(WaitFor(Q("ABS_FOCUS_POSITION.FOCUS_ABSOLUTE_POSITION") + ">=" + std::to_string(rest + 150)));
    EXPECT_EQ(MoveTo(rest - 200), kOk);
    EXPECT_NEAR(Position(), rest - 200, kHubTolerance);
    EXPECT_EQ(Get("KV_LAST_MOVE.END"), "arrived");
}

// The simulator's knobs: a motor wired the other way round runs away from
// every target until the reverse switch is on; a jammed one never turns; a
// hub pulled out once a run has gone 200 counts is lost (the devices on a
// terminal are pulled out by closing it; a hub has no lines there to count by).
TEST_F(KessivaneDriver, AHubWiredTheOtherWayJammedOrPulledOutEndsTheMoveInAlertWithTheReason) {
    for (const auto& [knob, end, reason] :
         {std::tuple{"KESSIVANE_SIM_HUB_JAMMED=1", "stalled", "on sim:hub stayed at position 0"},
          {"KESSIVANE_SIM_HUB_UNPLUG_AFTER=200", "lost", "port sim:hub was lost"},
          {"KESSIVANE_SIM_HUB_REVERSED=1", "stalled", "switch FOCUS_REVERSE_MOTION on"}}) {
        std::filesystem::remove_all(state.File("state"));  // each hub synced at 0
        Start({knob});
        Connect("sim:hub");
        EXPECT_EQ(MoveTo(500), kAlert) << knob;
        EXPECT_EQ(std::tuple(Get("KV_LAST_MOVE.END"), Get("KV_LAST_MOVE._STATE")), std::tuple(end, kAlert)) << knob;
        EXPECT_NE(Get("KV_LAST_MOVE.REASON").find(reason), std::string::npos) << Get("KV_LAST_MOVE.REASON");
        if (end == std::string("lost")) {
            EXPECT_EQ(std::tuple(Get("CONNECTION._STATE"), Get("KV_POSITION_STATE.POSITION_KNOWN")),
                      std::tuple(kAlert, kAlert));
            EXPECT_EQ(MoveTo(0), kAlert);
        } else if (knob == std::string("KESSIVANE_SIM_HUB_REVERSED=1")) {
            EXPECT_EQ(Get("FOCUS_REVERSE_MOTION.INDI_ENABLED"), "Off");
            ASSERT_TRUE(Set("FOCUS_REVERSE_MOTION.INDI_ENABLED=On"));
            EXPECT_TRUE(WaitFor(Q("FOCUS_REVERSE_MOTION._STATE") + "==1"));
            EXPECT_EQ(MoveTo(300), kOk);
            EXPECT_NEAR(Position(), 300, kHubTolerance);
        }
    }
}

TEST_F(KessivaneDriver, ARestartKeepsThePositionAndTheSettingsAndAnUnfinishedMoveAsksForASync) {
    Start();
    Connect("sim:hub");
    EXPECT_EQ(MoveTo(700), kOk);
    const int kept = Position();
    ASSERT_TRUE(Set("FOCUS_MAX.FOCUS_MAX_VALUE=5000"));
    ASSERT_TRUE(Set("KV_COMPENSATION_SETTINGS.COEFFICIENT;MIN_STEPS=-3.5;4"));
    // Backlash steps kept while backlash is off.
    ASSERT_TRUE(Set("FOCUS_BACKLASH_TOGGLE.INDI_ENABLED=On"));
    ASSERT_TRUE(Set("FOCUS_BACKLASH_STEPS.FOCUS_BACKLASH_VALUE=40"));
    ASSERT_TRUE(Set("FOCUS_BACKLASH_TOGGLE.INDI_DISABLED=On"));
    EXPECT_TRUE(TextBecomes("KV_COMPENSATION_SOURCE.SOURCE", "typed in"));
    ASSERT_TRUE(WaitFor(Q("FOCUS_BACKLASH_TOGGLE.INDI_DISABLED") + "==1"));

    Start();  // a new server and driver: the port comes from the configuration
    std::optional<RawClient> client(std::in_place, server->Port());
    ASSERT_TRUE(Set("CONNECTION.CONNECT=On"));
    ASSERT_TRUE(WaitFor(Q("CONNECTION.CONNECT") + "==1"));
    EXPECT_EQ(Whole("FOCUS_BACKLASH_STEPS.FOCUS_BACKLASH_VALUE"), 40);
    EXPECT_FALSE(std::regex_search(client->Heard("is online"), std::regex("message=\"[^\"]*acklash")));
    EXPECT_EQ(Get("DEVICE_PORT.PORT"), "sim:hub");
    EXPECT_EQ(Position(), kept);
    EXPECT_EQ(Get("KV_POSITION_STATE.POSITION_KNOWN"), "Ok");
    EXPECT_EQ(Whole("FOCUS_MAX.FOCUS_MAX_VALUE"), 5000);
    EXPECT_EQ(Number("KV_COMPENSATION_SETTINGS.COEFFICIENT"), -3.5);
    EXPECT_EQ(Whole("KV_COMPENSATION_SETTINGS.MIN_STEPS"), 4);
    EXPECT_EQ(MoveTo(900), kOk);  // and it moves on from there

    // A move that never ended: the light says so until the position is synced.
    ASSERT_TRUE(Set("CONNECTION.DISCONNECT=On"));
    ASSERT_TRUE(WaitFor(Q("CONNECTION.CONNECT") + "==0"));
    ASSERT_TRUE(PositionStore(state.File("state/kessivane/focuser-sim_hub2.state")).Save({1234, false, "sim:hub2", "Default"}).ok);
    client.emplace(server->Port());
    Connect("sim:hub2");
    EXPECT_EQ(Position(), 1234);
    EXPECT_TRUE(WaitFor(Q("KV_POSITION_STATE.POSITION_KNOWN") + "==3"));
    // Clients read the standard property, and there it asks for a sync.
    EXPECT_EQ(Get("ABS_FOCUS_POSITION._STATE"), kAlert);
    EXPECT_TRUE(std::regex_search(client->Heard("Sync the"),
                                  std::regex("name=.ABS_FOCUS_POSITION. state=.Alert.[^>]*Sync the")));
    EXPECT_EQ(MoveTo(1250), kAlert);  // a move does not make it known
    ASSERT_TRUE(Set("FOCUS_SYNC.FOCUS_SYNC_VALUE=1300"));
    EXPECT_TRUE(WaitFor(Q("KV_POSITION_STATE.POSITION_KNOWN") + "==1"));
    EXPECT_EQ(Position(), 1300);
    EXPECT_EQ(Get("ABS_FOCUS_POSITION._STATE"), kOk);
}

TEST_F(KessivaneDriver, CompensationIsSetTypedInOrFromACalibrationFile) {
    Start();
    Connect("sim:hub");
    ASSERT_TRUE(WaitFor(Q("FOCUS_TEMPERATURE.TEMPERATURE") + ">-50"));
    ASSERT_TRUE(Set("KV_COMPENSATION_SETTINGS.COEFFICIENT;MIN_STEPS;IGNORE_STEPS=-4.5;3;100"));
    EXPECT_TRUE(TextBecomes("KV_COMPENSATION_SOURCE.SOURCE", "typed in"));
    EXPECT_EQ(std::tuple(Whole("KV_COMPENSATION_SETTINGS.MIN_STEPS"), Whole("KV_COMPENSATION_SETTINGS.IGNORE_STEPS")),
              std::tuple(3, 100));
    ASSERT_TRUE(Set("KV_COMPENSATION.INDI_ENABLED=On"));
    EXPECT_TRUE(WaitFor(Q("KV_COMPENSATION._STATE") + "==1 && " + Q("KV_COMPENSATION.INDI_ENABLED") + "==1"));

    // Ticked points on a line of 10 steps a degree; the unticked one is not fitted.
    state.Write("night.tcd", "; saved\r\n;\r\n1,1000,10.0,20:00,01/01/2024\r\n1,950,5.0,21:00,01/01/2024\r\n"
                             "0,0,7.0,21:30,01/01/2024\r\n1,900,0.0,22:00,01/01/2024\r\n");
    ASSERT_TRUE(Set("KV_COMPENSATION_FILE.PATH=" + state.File("night.tcd")));
    EXPECT_TRUE(TextBecomes("KV_COMPENSATION_SOURCE.SOURCE", "fit of 3 points from night.tcd (R^2 1.000)"));
    EXPECT_EQ(Number("KV_COMPENSATION_SETTINGS.COEFFICIENT"), 10.0);
    ASSERT_TRUE(Set("KV_COMPENSATION_FILE.PATH=" + state.File("missing.tcd")));
    EXPECT_TRUE(WaitFor(Q("KV_COMPENSATION_FILE._STATE") + "==3"));
    EXPECT_EQ(Number("KV_COMPENSATION_SETTINGS.COEFFICIENT"), 10.0);
}

class KessivanePtyDriver : public KessivaneDriver, public ::testing::WithParamInterface<const char*> {};

// It moves and halts; then the far end of its terminal is closed mid-move, as
// a device pulled out: the move ends lost, named by its device, the connection
// shows it, no move is taken, and CONNECT really connects again (to a device
// that is gone).
TEST_P(KessivanePtyDriver, MovesAndAbortsAFocuserThatKeepsItsOwnPosition) {
    std::optional<PtySimulator> sim(std::in_place, GetParam());
    const std::string path = sim->Path();
    ASSERT_FALSE(path.empty());
    Start();
    Connect(path, Cased(GetParam(), ::toupper));
    // Neither can be turned round or told its position (asked briefly: an
    // absent property is waited for to the end).
    EXPECT_EQ(server->Get(std::string(kDevice) + ".FOCUS_REVERSE_MOTION.INDI_ENABLED", 1), "");
    EXPECT_EQ(server->Get(std::string(kDevice) + ".FOCUS_SYNC.FOCUS_SYNC_VALUE", 1), "");
    const int max = Whole("FOCUS_MAX.FOCUS_MAX_VALUE");
    ASSERT_TRUE(Set("FOCUS_MAX.FOCUS_MAX_VALUE=" + std::to_string(max + 1000)));
    EXPECT_TRUE(WaitFor(Q("FOCUS_MAX._STATE") + "==3"));  // beyond the device's own range

    const int start = Position();
    const int target = start > max / 2 ? start - 300 : start + 300;
    EXPECT_EQ(MoveTo(target, 0), kOk);
    EXPECT_EQ(Position(), target);

    // An abort once the driver has the move of five seconds under way; the
    // position where it stopped may come after the end.
    const std::string far = "ABS_FOCUS_POSITION.FOCUS_ABSOLUTE_POSITION=" +
                            std::to_string(target > max / 2 ? target - 2500 : target + 2500);
    ASSERT_TRUE(Set(far));
    ASSERT_TRUE(WaitFor(Q("ABS_FOCUS_POSITION._STATE") + "==2"));
    ASSERT_TRUE(Set("FOCUS_ABORT_MOTION.ABORT=On"));
    EXPECT_TRUE(TextBecomes("KV_LAST_MOVE.END", "halted"));
    EXPECT_TRUE(WaitFor(Q("ABS_FOCUS_POSITION.FOCUS_ABSOLUTE_POSITION") + "!=" + std::to_string(target)));
    const int rest = Position();
    EXPECT_TRUE(std::abs(rest - target) > 0 && std::abs(rest - target) < 2500) << rest;
    EXPECT_EQ(MoveTo(target, 0), kOk);  // and it goes on from where it stopped
    EXPECT_EQ(Position(), target);

    ASSERT_TRUE(Set(far));
    ASSERT_TRUE(WaitFor(Q("ABS_FOCUS_POSITION._STATE") + "==2"));
    sim.reset();
    EXPECT_TRUE(TextBecomes("KV_LAST_MOVE.END", "lost"));
    EXPECT_NE(Get("KV_LAST_MOVE.REASON").find("port " + path + " was lost"), std::string::npos);
    EXPECT_EQ(std::tuple(Get("CONNECTION._STATE"), Get("KV_POSITION_STATE.POSITION_KNOWN")), std::tuple(kAlert, kAlert));
    EXPECT_EQ(MoveTo(target), kAlert);
    EXPECT_EQ(Get("KV_LAST_MOVE.END"), "lost");
    ASSERT_TRUE(Set("CONNECTION.CONNECT=On"));
    EXPECT_TRUE(WaitFor(Q("CONNECTION.CONNECT") + "==0"));
}

// The library lets a NaN past its range checks, and checks a range only
// after acting on the number.
TEST_F(KessivaneDriver, ANumberThatIsNoneOrOutOfItsRangeIsRefusedAndChangesNothing) {
    Start();
    Connect("sim:hub");
    EXPECT_EQ(MoveTo(300), kOk);
    const int here = Position();
    const std::string config = state.Read(".indi/Kessivane Focuser_config.xml");
    const char* const cases[][2] = {
        {"FOCUS_MAX.FOCUS_MAX_VALUE", "nan"},
        {"FOCUS_MAX.FOCUS_MAX_VALUE", "1e19"},
        {"FOCUS_SYNC.FOCUS_SYNC_VALUE", "nan"},
        {"FOCUS_BACKLASH_STEPS.FOCUS_BACKLASH_VALUE", "nan"},
        {"KV_COMPENSATION_SETTINGS.COEFFICIENT", "1e19"},
        {"KV_COMPENSATION_SETTINGS.MIN_STEPS", "1e300"},
        {"KV_COMPENSATION_SETTINGS.IGNORE_STEPS", "-1"},
        {"KV_COMPENSATION_SETTINGS.PERIOD", "nan"},
    };
    for (const auto& [what, bad] : cases) {
        const std::string element = what, property = element.substr(0, element.find('.'));
        const std::string before = Get(element);
        ASSERT_TRUE(Set(element + "=" + bad));
        EXPECT_EQ(Get(property + "._STATE"), kAlert) << element << "=" << bad;
        EXPECT_EQ(Get(element), before) << element << "=" << bad;
    }
    EXPECT_EQ(state.Read(".indi/Kessivane Focuser_config.xml"), config);
    EXPECT_EQ(Position(), here);
    EXPECT_EQ(MoveTo(600), kOk);
}

INSTANTIATE_TEST_SUITE_P(Kinds, KessivanePtyDriver, ::testing::Values("robofocus", "optec"));

#endif  // KV_INDI_KESSIVANE_FOCUSER

}  // namespace
}  // namespace kv
