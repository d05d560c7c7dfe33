// One focuser for several clients: the place both network faces (the INDI
// driver and the Alpaca server) drive a Kessivane focuser through.
//
// The service opens one focuser kind on one device (the hub with a catalogue
// model, RoboFocus or Optec; "sim:" devices reach the simulators when the
// program installed them) and keeps, on top of the engine's controller:
//
// - an absolute position. Focusers that keep their own position report it;
//   the hub counts pulses from wherever it was switched on, so the service
//   keeps the position in a state file (PositionStore) written before and
//   after every move. A hub without a clean record of where it stands (no
//   state file, one that does not read or holds a position beyond
//   kServiceMaxPosition, one counted on another device or model) or whose
//   move did not end cleanly (the program died, the port went away) has an
//   "uncertain" position until the user syncs it: it is reported, with why,
//   never silently trusted.
// - travel limits (moves beyond them are refused and change nothing), sync
//   (the count becomes the given position), reverse direction (the hub's
//   motor wiring; focusers that keep their own position cannot reverse), and
//   the one-sided backlash approach of focusing/backlash.h.
// - the motor watch: every move ends by arrival, a halt, a stall (the
//   engine's stall watch), a lost port or the service's own time-out, and the
//   ending is kept with its reason (LastMove) and told to the listener.
// - a lost device: once the port has closed under it (the device hung up or
//   failed), a running move ends Lost, the position is uncertain, and every
//   move and sync is refused with the reason (Lost()) until the focuser is
//   closed and opened again.
// - temperature compensation from a coefficient typed in or fitted to a
//   Kessivane calibration file (.tcd), with the compensation engine's minimum
//   correction and "Ignore Move" limit (CompensationStep).
//
// One command at a time: a move asked while another runs is refused
// (MoveResult::Busy) unless the caller asks to replace it; each face says
// which rule its protocol wants. Compensation never moves while any move
// runs. A client's move re-bases compensation: the position it reaches
// answers for the temperature at its end, and compensation then waits
// CompensationConfig::clientHoldMs after the client's last move, so the moves of a client's auto
// focus (a series of moves and exposures) are never corrected in between.
//
// The service is three parts under one small object: position keeping and
// its state file (PositionKeeper, position_keeper.h), motion with its motor
// watch (service_motion.cpp) and compensation (service_compensation.*).
//
// Threads and locks. Public calls may come from any thread.
// - mutex_ guards the configuration, the position keeper's position, the
//   running move and the compensation state; no part has a lock of its own
//   for its state. Nothing waits on the disk under it, and no temperature
//   exchange runs under it; a move request waits under it (at most
//   kServiceTemperatureWaitMs) for one on the line to finish.
// - The position keeper's writer thread puts state file records on disk in
//   the order posted, under its own lock, taken after mutex_ and never
//   before it; so is the Dialogs' lock. Lock order: mutex_, then either.
// - The watch thread (owned) follows each move to its end (backlash legs
//   included), reads the temperature and makes corrections. A leg starts
//   only once the state file says the position is uncertain: on the request's
//   thread when the record is already on disk, else on the writer's thread
//   when it lands (RecordWritten). Listener calls come from the watch thread
//   (and from Open and Close on the caller's), with no lock held; they must
//   not wait for the service's own calls to return.
// - open_, moving_ and closing_ are atomic, read without the lock.
// - Close() (and the destructor) refuses new moves from its first line, halts
//   a running move, waits for it to end (kServiceHaltWaitMs; a motor still
//   running then leaves the position uncertain), joins the watch, then lets
//   the writer put the last record on disk and joins it. No thread outlives
//   Close.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "focuser/focus_control.h"
#include "platform/clock.h"
#include "platform/dialogs.h"
#include "platform/worker_thread.h"
#include "service/position_keeper.h"
#include "service/service_compensation.h"
#include "shell/focuser_catalogue.h"

namespace kv {

// Time-outs and periods, in milliseconds.
inline constexpr int kServiceWatchPollMs = 20;
inline constexpr int kServiceMoveBaseTimeoutMs = 60000;  // every move may take this long ...
inline constexpr int kServiceMoveMsPerStep = 20;         // ... plus this much a step
inline constexpr int kServiceSettleMs = 200;             // idle and still this long: the move is over
inline constexpr int kServiceShortGraceMs = 2000;        // ... unless it stands short of its target
// A pulse-counted motor that came to rest further than this from its target
// (it ran on after its last pulse, or stopped a little short) is sent back,
// at most kServiceCorrections times a move.
inline constexpr int kServiceLandingSteps = 1;
inline constexpr int kServiceCorrections = 5;
inline constexpr int kServiceHaltWaitMs = 10000;         // for a halted motor to report idle
inline constexpr int kServiceTemperatureMs = 5000;       // between temperature readings, by default
inline constexpr int kServiceOpeningWaitMs = 3000;       // for a RoboFocus to tell its travel
inline constexpr int kServiceTemperatureWaitMs = 3000;   // for a temperature exchange on the line to finish
// Positions and steps a client may ask for: well inside 32 bits, so no
// arithmetic on them (targets, backlash overshoot) can overflow.
inline constexpr std::int32_t kServiceMaxPosition = 1'000'000'000;

enum class ServiceKind : std::uint8_t { Hub, RoboFocus, Optec };

// "hub", "robofocus", "optec" (any case) for the faces' settings and options.
std::optional<ServiceKind> ServiceKindFromName(const std::string& name);
const char* ServiceKindName(ServiceKind kind);

struct ServiceConfig {
    ServiceKind kind = ServiceKind::Hub;
    std::string device;         // "/dev/ttyUSB0", "sim:hub", a pty path ...
    std::string model;          // catalogue model for the hub ("JMI NGF-S"); empty: "Default"
    std::string cataloguePath;  // Focusers.ini; empty: the model's timings stay the engine's defaults
    std::string statePath;      // the position state file; empty: nothing kept across restarts
    // Called with the device and the model's high-resolution flag before the
    // port opens, so a simulated hub can turn out pulses as the chosen model's
    // encoder does (the programs that serve simulators set it).
    std::function<void(const std::string& device, bool hiRes)> prepareDevice;
    // Between temperature readings; the engine averages the last ten, so
    // this also sets how far the average lags a falling temperature.
    int temperaturePeriodMs = kServiceTemperatureMs;
};

// How a move ended.
enum class MoveEnd : std::uint8_t {
    Arrived,   // at the target
    Halted,    // Halt() or Close()
    Stalled,   // the motor watch stopped it (no count, wrong way)
    Lost,      // the port or device went away
    TimedOut,  // the service's own watch gave up on it
    Replaced,  // a newer move took its place
};
const char* MoveEndName(MoveEnd end);

struct MoveRecord {
    std::uint64_t id = 0;  // counts every accepted move of this service
    std::int32_t from = 0;
    std::int32_t target = 0;
    std::int32_t position = 0;  // where it stood at the end
    MoveEnd end = MoveEnd::Arrived;
    std::string reason;         // what happened and what to do, for every ending but Arrived
    bool compensation = false;  // made by temperature compensation
};

// Whether a request was taken.
enum class MoveResult : std::uint8_t {
    Started,      // the move runs (or ended at once: already there)
    Busy,         // another move runs and the caller did not ask to replace it
    OutOfRange,   // beyond the travel limits or kServiceMaxPosition
    NotOpen,      // no focuser connected
    Unsupported,  // this focuser cannot do it (reverse on a focuser that keeps its position)
};
struct Answer {
    MoveResult result = MoveResult::Started;
    std::string message;  // empty on success
    explicit operator bool() const { return result == MoveResult::Started; }
};

// How a request treats a move that is running.
enum class WhenBusy : std::uint8_t { Refuse, Replace };

struct OpenResult {
    bool ok = false;
    std::string message;  // what failed and what to do next
};

// What the listener hears, always from the watch thread.
struct ServiceListener {
    std::function<void(std::int32_t position)> positionChanged;
    std::function<void(const MoveRecord&)> moveEnded;
    std::function<void(double celsius)> temperatureChanged;
    // Every correction (made, skipped or ignored), as its log line.
    std::function<void(const std::string& line)> compensationLog;
    // Messages the engine would have shown in a box (a stall, a lost port).
    std::function<void(const std::string& text)> alert;
};

class FocuserService {
public:
    explicit FocuserService(IClock& clock = DefaultClock());
    ~FocuserService();
    FocuserService(const FocuserService&) = delete;
    FocuserService& operator=(const FocuserService&) = delete;

    // Set before Open; the calls come from the watch thread.
    void SetListener(ServiceListener listener);

    OpenResult Open(const ServiceConfig& config);
    void Close();
    bool IsOpen() const { return open_.load(); }
    // Why the device was lost (it stays open, refusing moves, until closed);
    // nullopt while it answers.
    std::optional<std::string> Lost() const;
    ServiceKind Kind() const;
    std::string Device() const;
    std::string Model() const;
    // Firmware or hub version text where the device tells one.
    std::string DeviceVersion() const;

    // ---- position and moves ----
    std::int32_t Position() const;
    bool PositionUncertain() const;
    bool Moving() const { return moving_.load(); }
    // The target of the running move (the final one, after any backlash leg).
    std::optional<std::int32_t> Target() const;
    Answer MoveTo(std::int32_t target, WhenBusy whenBusy = WhenBusy::Refuse);
    Answer MoveBy(std::int64_t steps, WhenBusy whenBusy = WhenBusy::Refuse);
    // Stops any move now; the move ends as Halted. Nothing when idle.
    void Halt();
    // Waits until no move runs (or `timeoutMs` passes, on the service's clock);
    // the last move's record. For tests, benches and the faces' blocking calls.
    std::optional<MoveRecord> WaitIdle(int timeoutMs);
    std::optional<MoveRecord> LastMove() const;
    // The count becomes `position` (the focuser does not move); the position
    // is certain afterwards. Refused while a move runs, and for focusers that
    // keep their own position beyond the device's range.
    Answer Sync(std::int32_t position);

    // ---- limits, direction, backlash ----
    struct Limits {
        std::int32_t min = 0;
        std::int32_t max = 100000;
    };
    Limits GetLimits() const;
    // Refused when min > max, or when a focuser that keeps its own position
    // reports a smaller range (its range is the outer bound).
    Answer SetLimits(Limits limits);
    // The device's own range for focusers that keep their position; nullopt for the hub.
    std::optional<Limits> DeviceRange() const;
    bool ReverseAvailable() const;
    bool Reverse() const;
    Answer SetReverse(bool reverse);
    struct Backlash {
        bool enabled = false;
        std::int32_t steps = 0;  // the overshoot, 0..10000
        bool fromBelow = true;   // the last motion to a target is upward
    };
    Backlash GetBacklash() const;
    Answer SetBacklash(Backlash backlash);

    // ---- temperature and compensation ----
    // The last reading (read every kServiceTemperatureMs by the watch);
    // nullopt when the focuser has no sensor or it does not answer.
    std::optional<double> Temperature() const;
    bool TemperatureAvailable() const { return Temperature().has_value(); }
    // Waits (at most `timeoutMs`) until the first temperature reading since
    // Open has been made, so a face can tell its clients at connect whether
    // there is a sensor; true once it has (or for a focuser the service reads
    // no temperature from).
    bool WaitFirstTemperature(int timeoutMs);
    CompensationConfig GetCompensation() const;
    // Refused (changing nothing) when it is switched on without a coefficient
    // or without a temperature.
    Answer SetCompensation(const CompensationConfig& config);
    // Fits the calibration file's ticked points; the coefficient and where it
    // came from are set on success (compensation stays as it was switched).
    Answer LoadCoefficient(const std::string& tcdPath);
    // Compensation held by a client (an auto focus run): no correction while held.
    void HoldCompensation(bool hold);
    bool CompensationHeld() const;
    // Runs the compensation rule now (the watch calls it on its own); the
    // steps moved, nullopt when none was made.
    std::optional<std::int32_t> CompensateNow();

    // For tests and the faces: the engine's controller (never null while open).
    TFocusControl* Controller() const;

private:
    class Dialogs;

    // ---- the small object: open, close, listener calls ----
    bool CountsPulses() const { return config_.kind == ServiceKind::Hub; }
    // What to do about a lost device, after the sentence that says so.
    std::string LostAdvice() const;
    std::int64_t NowMs() const;
    // What the engine said since last asked, as it would have shown it.
    std::vector<std::string> TakeSaid();
    // Listener calls gathered under the lock, made after it is released.
    using Calls = std::vector<std::function<void()>>;
    void Run(Calls& calls);
    Calls pending_;  // under mutex_

    IClock& clock_;
    std::unique_ptr<Dialogs> dialogs_;
    std::unique_ptr<TFocusControl> focuser_;
    std::unique_ptr<WorkerThread> watch_;
    std::atomic<bool> open_{false};
    std::atomic<bool> moving_{false};
    std::atomic<bool> closing_{false};  // Close has begun: no move may start

    mutable std::mutex mutex_;  // everything below
    ServiceConfig config_;
    ServiceListener listener_;
    std::optional<std::string> lost_;
    Limits limits_;
    bool reverse_ = false;
    Backlash backlash_;

    // ---- position keeping (position_keeper.h; its writer has its own lock) ----
    std::int32_t PositionLocked() const;
    // The count the engine must reach for `position`.
    std::int32_t CountFor(std::int32_t position) const;
    // Posts the position to the state file; the record's number (0: nothing kept).
    std::uint64_t SaveState(bool clean);
    // The state file writes that failed, told to the listener as alerts.
    void TakeWriteFailures();
    PositionKeeper position_;
    std::int32_t lastNotified_ = 0;

    // ---- motion and the motor watch (service_motion.cpp) ----
    Answer StartMove(std::int32_t target, WhenBusy whenBusy, bool compensation);
    // Plans the legs from where the focuser stands and starts the first; mutex_ held.
    void BeginLegs();
    void StartLeg();
    // The writer put a record on disk: a leg that waited for it starts.
    void RecordWritten();
    void FinishMove(MoveEnd end, std::string reason);
    void WatchLoop(WorkerThread& self);
    void FollowMove();
    std::condition_variable idleChanged_;
    std::uint64_t moveIds_ = 0;
    std::optional<MoveRecord> lastMove_;
    // The running move.
    struct Running {
        std::uint64_t id = 0;
        std::int32_t from = 0;
        std::int32_t finalTarget = 0;
        std::vector<std::int32_t> legs;  // targets still to go to, the running one first
        std::uint64_t ticket = 0;        // the engine's move ticket of the running leg
        std::uint64_t halts = 0;         // the engine's halt count when the leg started
        std::int64_t deadlineMs = 0;
        bool haltAsked = false;
        bool compensation = false;
        bool waitingForRest = false;     // a replaced move's motor is still running down
        std::string alert;               // what the engine said while it ran
        std::int32_t seen = 0;           // the position last seen, and since when
        std::int64_t seenSinceMs = 0;
        std::int64_t idleSinceTick = -1; // when the engine was first seen idle (the clock's TickMs)
        int corrections = 0;             // legs re-run to bring a motor that ran on back
        std::uint64_t record = 0;        // the state file record the leg waits for
        bool legPending = false;         // the leg starts once that record is on disk
    };
    std::optional<Running> running_;

    // ---- temperature and compensation (service_compensation.cpp) ----
    void ReadTemperature();
    std::optional<std::int32_t> Compensate(bool scheduled);
    void CompensationLogLocked(Calls& calls, const std::string& line);
    std::optional<double> temperature_;
    std::int64_t lastTemperatureMs_ = -1;
    bool readingTemperature_ = false;  // a temperature exchange is on the line
    std::condition_variable temperatureRead_;
    CompensationConfig compensation_;
    CompensationBase compBase_;
    bool compHeld_ = false;
    std::int64_t lastCompensationMs_ = -1;
    std::int64_t clientMoveEndedMs_ = -1;
};

}  // namespace kv
