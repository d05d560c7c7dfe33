// The simulated hub unit: motor switch, encoder and temperature unit.
//
// Conventions (what a focuser driver must match):
//
//   Direction "in" raises the focuser's count and the observatory's true
//   position; "out" lowers both.
//
//   Text mode:  ":F-#" runs in, ":F+#" runs out, ":FQ#" stops,
//               ":FS#" / ":FF#" select the slow / fast speed (fast at power-up;
//               the choice holds until changed and applies to both modes).
//   Line mode:  RTS high runs the motor, RTS low stops it; DTR gives the
//               direction, high = in, low = out. The motor reacts to changes:
//               a rising RTS starts it in the DTR direction, a falling RTS stops
//               it, DTR flipping while RTS is high reverses it, DTR alone while
//               RTS is low does nothing. A text-mode run is stopped only by
//               ":FQ#" or by a falling RTS.
//
//   Reversed:   with `reversed` set, every command and line pattern turns the
//               motor the other way (a focuser whose motor is wired the other
//               way round); the driver's ReverseDir compensates for it.
//
//   Encoder:    every count the shaft turns is reported on CTS with the
//               direction on DSR.
//               Normal mode: one count = one full CTS pulse, rise then fall,
//               with DSR low while moving in and high while moving out (the
//               rising edge is the one counted: DSR low -> +1, high -> -1).
//               High-resolution mode (dualSense): one count = one CTS edge, the
//               level alternating; DSR behaves as the second channel of a
//               quadrature encoder, so that a rising edge comes with DSR low
//               (in) or high (out), and a falling edge with DSR high (in) or low
//               (out): the counting rule "rise: DSR low +1, high -1; fall: DSR
//               high +1, low -1" then counts every edge in the right direction.
//               In both modes the counted total equals the distance moved.
//
//   Motor:      after a switch-on it stands still for startLagMs, then turns at
//               the selected speed; after a switch-off it coasts on by
//               coastCounts (never further than it moved in that run), so a
//               short pulse moves it a little. The shaft position is continuous;
//               an encoder count happens whenever it crosses a whole count.
//               Restarting while it coasts in the same direction skips the lag.
//
//   Temperature: the night temperature of the Observatory plus
//               (offset register - 235) degrees, as "KTR09" and "%+05.1f"
//               (for example "KTR09+11.5", "KTR09-03.0").
//
//   Keep-alive: the program writes "5" every 200 ms. With keepAliveTimeoutMs
//               set, the hub takes a longer silence as a lost PC and stops the
//               motor, as it would for a run that nobody can stop any more; the
//               next command or line change clears the state.
//
// Time: motor speeds and delays run on the hub's own timeScale (simulated
// seconds per wall-clock second); the temperature follows the Observatory's
// night, which has its own timeScale.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/serial_port.h"

namespace kvsim {

class SimulatedSerialPort;

inline constexpr int kHubOffsetMin = 220;
inline constexpr int kHubOffsetMax = 250;
inline constexpr int kHubOffsetZero = 235;
inline constexpr std::size_t kHubReplyLength = 10;

struct HubParameters {
    double fastSpeed = 300.0;        // counts per second
    double slowSpeed = 100.0;        // counts per second
    double startLagMs = 4.0;         // stand-still after a switch-on
    double coastCounts = 2.0;        // run-on after a switch-off
    double speedNoise = 0.0;         // relative spread of the speed, drawn per run (0.1 = +-10 %)
    double temperatureNoiseC = 0.0;  // spread of each temperature reading
    double timeScale = 1.0;          // motor time: simulated seconds per wall-clock second
    bool dualSense = false;          // high-resolution encoder output (see above)
    bool reversed = false;           // a focuser wired the other way: "in" lowers the count
    bool temperatureUnit = true;     // false: KTR queries are never answered
    std::string firmware = "10203";  // the five characters of the KTR01 reply
    double replyDelayMs = 2.0;       // from the request's carriage return to the reply
    double keepAliveTimeoutMs = 0;   // 0: no watchdog
    double unplugAfterCounts = 0;    // pulled out once a run has gone this far (0: never)
    std::uint32_t seed = 1;          // for the noise
};

enum class HubFault {
    None,
    AnswerSecondTry,      // each KTR request is ignored once, answered when repeated
    NineBytesThenSilent,  // only the first nine bytes of each reply
    RefuseOffset,         // KTR06 is answered with the unchanged register
    BadPayload,           // right code, payload "?x?x?" (not a number)
    Garbage,              // ten bytes that are not a hub reply
    NeverAnswer,          // no reply to anything (the motor still obeys)
};

enum class MotorState { Off, Starting, Running, Coasting };

struct HubRecordEntry {
    enum class Kind { Bytes, Lines };
    Kind kind;
    double ms;          // since the hub was created (wall clock)
    std::string bytes;  // Kind::Bytes: one Write as received
    bool rts = false;   // Kind::Lines: the pattern after the change
    bool dtr = false;
    std::thread::id thread = std::this_thread::get_id();  // the program's thread that wrote or switched
};

// The command interpreter shared by the in-process hub and the pseudo-terminal
// responder: splits the byte stream into commands and answers the temperature
// unit's queries. Not thread-safe; its owner serialises calls.
class HubProtocol {
public:
    // Appends every complete command found to `commands`: LX-200 commands
    // (":...#"), hub requests (the 10 characters, without the carriage
    // return) and keep-alives ("5"). Other bytes are skipped.
    void Feed(std::string_view bytes, std::vector<std::string>& commands);
    // The bytes the hub sends back for one request (possibly none).
    std::string Answer(const std::string& request, double temperatureC);
    // Forgets a half-received command (a new connection starts clean).
    void ClearPending() { pending_.clear(); }

    HubFault fault = HubFault::None;
    bool temperatureUnit = true;
    std::string firmware = "10203";
    int offset = kHubOffsetZero;

private:
    std::string pending_;
    std::string lastIgnored_;  // AnswerSecondTry: the request ignored last
};

// Always owned by a std::shared_ptr (HubFor makes them; a test may make its
// own with std::make_shared): its ports keep it alive.
class HubSimulator : public std::enable_shared_from_this<HubSimulator> {
public:
    explicit HubSimulator(std::string name);
    ~HubSimulator();
    HubSimulator(const HubSimulator&) = delete;
    HubSimulator& operator=(const HubSimulator&) = delete;

    const std::string& Name() const { return name_; }

    void SetParameters(const HubParameters& p);
    HubParameters Parameters() const;
    void SetFault(HubFault f);
    HubFault Fault() const;
    // Unplugs (true) or plugs back (false) the hub: the port it is on fails
    // every call, and no port can be opened on it meanwhile.
    void SetVanished(bool vanished);
    // Holds back the program's reads of the lines on the open port (see
    // SimulatedSerialPort::DeviceHoldReader); the motor runs on meanwhile.
    void HoldReader(bool held);
    int Offset() const;
    void SetOffset(int registerValue);

    // A closed port for "sim:<name>"; it serves this hub while it is open.
    // Only one port can be open on a hub at a time.
    std::unique_ptr<kv::ISerialPort> CreatePort(const std::string& device);
    bool PortOpen() const;

    // The motor.
    MotorState State() const;
    int Direction() const;  // +1 in, -1 out, 0 standing
    bool FastSpeed() const;
    // Whole counts the shaft has turned since the hub was created (signed);
    // equals the edges reported, counted the way a driver counts them.
    std::int64_t EncoderCount() const;
    // Waits until the motor stands still (Off); false on time-out.
    bool WaitUntilStopped(std::chrono::milliseconds timeout) const;
    // Waits until EncoderCount() reaches or passes `count`, coming from where
    // it is at the call; false on time-out.
    bool WaitForCount(std::int64_t count, std::chrono::milliseconds timeout) const;

    // The keep-alive.
    std::uint64_t KeepAlives() const;
    bool KeepAliveLost() const;

    // What the hub received, in order.
    std::vector<HubRecordEntry> Record() const;
    void ClearRecord();
    // All bytes received, concatenated.
    std::string ReceivedBytes() const;
    // The commands recognised, in order (see HubProtocol::Feed), without keep-alives.
    std::vector<std::string> Commands() const;

private:
    friend class HubPort;

    // Called by the port (without its lock).
    bool Attach(SimulatedSerialPort* port);
    void Detach(SimulatedSerialPort* port);
    void Received(std::string_view bytes);
    void LinesChanged(bool rts, bool dtr);

    using Clock = std::chrono::steady_clock;
    double NowMs() const;
    void HandleCommandLocked(const std::string& command, Clock::time_point now);
    void SwitchOnLocked(int direction, Clock::time_point now);
    void SwitchOffLocked(Clock::time_point now);
    void SetVanishedLocked(bool vanished);
    void AdvanceLocked(Clock::time_point now);
    void StepLocked(int direction);
    Clock::time_point NextWakeLocked(Clock::time_point now) const;
    double SpeedLocked() const;
    void ThreadMain();

    const std::string name_;
    const Clock::time_point created_;
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;       // the hub thread
    mutable std::condition_variable stateCv_;  // WaitUntilStopped / WaitForCount
    HubParameters params_;
    HubProtocol protocol_;
    std::mt19937 rng_;
    bool vanished_ = false;
    bool quit_ = false;
    SimulatedSerialPort* port_ = nullptr;

    // Motor.
    MotorState state_ = MotorState::Off;
    int direction_ = 0;
    bool fast_ = true;
    double shaft_ = 0.0;          // continuous position in counts
    std::int64_t count_ = 0;      // floor(shaft_) as reported
    double runMoved_ = 0.0;       // distance of the current run
    double coastLeft_ = 0.0;
    double speedFactor_ = 1.0;    // noise of the current run
    Clock::time_point phaseStart_{};  // start of the lag
    Clock::time_point lastAdvance_{};
    bool cts_ = false;
    bool dsr_ = false;
    bool rts_ = false;
    bool dtr_ = false;

    // Keep-alive.
    std::uint64_t keepAlives_ = 0;
    Clock::time_point lastHeard_{};
    bool keepAliveLost_ = false;

    // Replies waiting for their moment.
    struct Outgoing {
        Clock::time_point due;
        std::string bytes;
    };
    std::deque<Outgoing> outbox_;

    std::vector<HubRecordEntry> record_;
    std::vector<std::string> commands_;

    std::thread thread_;
};

}  // namespace kvsim
