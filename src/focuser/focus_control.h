// The focuser controller.
//
// TFocusControl is the one object through which the program drives a focuser.
// The base class is itself the driver for pulse-counted motor focusers behind
// the hub unit (or an LX-200 telescope): it switches the motor with LX-200
// text commands or with the RTS/DTR lines, counts encoder pulses arriving as
// CTS edges (direction on DSR), and talks to the hub's temperature unit.
// Focusers that keep their own position (RoboFocus, Optec) derive from it and
// replace the transport and movement operations marked "RF/O" below; they
// never call the base OpenPort, so none of the hub threads below runs for them.
//
// Threads. A pulse-counted move runs on up to three worker threads (coarse-run
// watcher, coarse-run starter, nudger); one counting thread and one keep-alive
// thread serve the port while the base OpenPort has it open. All of them are
// owned here. A move that ends leaves finished threads that the next move
// reaps. A move started while another runs first ends the old one: it stops
// the old move's threads (joining every one but the thread it is called on,
// which may be one of them through a callback), switches the motor off and
// marks both phases done, and only then starts. Destroying the object cancels
// the move, stops and joins every thread and only then closes the port. A
// subclass whose threads or overrides may still be called by these workers
// must call Shutdown() first thing in its own destructor.
//
// Worker threads never wait for the user: their messages go through
// IDialogs::Defer, because the GUI thread may be joining them at that moment.
//
// Completion. Every MoveBy/MoveTo resets the process-wide event
// "GENERAL_DELAY_EVENT" and signals it exactly when the move has ended
// (a zero-length move signals at once). Idle and OnIdleChange report the same
// state to the desktop. Callbacks run on the thread that raised them; the
// desktop must hand its control updates to the GUI thread.
//
// Serial exchanges. One mutex covers each purge-write(-read) exchange, so a
// hub query from the main thread and a focus command from a movement thread
// never interleave on the line.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <exception>
#include <optional>
#include <string>
#include <thread>
#include <vector>
#include <utility>

#include "platform/clock.h"
#include "platform/dialogs.h"
#include "platform/named_event.h"
#include "platform/notifier.h"
#include "platform/serial_port.h"
#include "platform/timed_mutex.h"
#include "platform/waits.h"
#include "platform/worker_thread.h"

namespace kv {

class TFocusControl;
class TCTSThread;

// Notifications, sender first. `dsrValue` is the direction of the last count:
// true outward (the hub's DSR line; a device server's count that grew).
using TCTSEvent = std::function<void(TFocusControl& sender, std::int32_t ctsCount, bool dsrValue)>;
using TIdleEvent = std::function<void(TFocusControl& sender, bool idleValue)>;
using TTCAvailChangeEvent = std::function<void(TFocusControl& sender, bool tcAvailValue)>;

// COM number -> device path ("/dev/ttyUSB0", "sim:hub", ...).
using PortResolverFn = std::function<std::string(int comPort)>;
// Device path -> closed port; CreateSerialPort unless a test hands in its own.
using PortFactoryFn = std::function<std::unique_ptr<ISerialPort>(const std::string& device)>;
// The camera controller's idle flag, consulted under SBIGInterlock. None set:
// no camera, which counts as idle.
using CameraIdleFn = std::function<bool()>;

// The LX-200 focus commands.
inline constexpr const char* kFocusStop = ":FQ#";
inline constexpr const char* kFocusIn = ":F-#";   // raises CTSCount
inline constexpr const char* kFocusOut = ":F+#";  // lowers CTSCount
inline constexpr const char* kFocusSlow = ":FS#";
inline constexpr const char* kFocusFast = ":FF#";
// Written every kKeepAliveIntervalMs while QuorvelEnable and the port is open.
inline constexpr const char* kKeepAliveText = "5";

// Line-control functions of EscapeComm (the values the hub software always used).
enum class LineFunction : std::uint8_t { SetRts = 3, ClrRts = 4, SetDtr = 5, ClrDtr = 6 };

// Outcome of a hub command that can be refused.
enum class HubResult {
    Ok,           // the hub confirmed
    Unavailable,  // no temperature unit answered; nothing was sent
    Failed,       // sent, but no reply, a wrong reply, or a value the hub did not take
};

// Fixed texts.
inline constexpr const char* kIllegalFocusCommandText = "Illegal FocusCommand";
inline constexpr const char* kSetCalFailedText = "Set Cal value failed!";
inline constexpr const char* kFirmwareUnknownText = "??";
inline constexpr const char* kCtsEventName = "THE_CTS_EVENT";
inline constexpr const char* kWrongWayText =
    "The focuser moved away from its target, so the move was stopped. If it is wired the other way round, "
    "tick \"Reverse Focuser Direction\"; if that is ticked, untick it.";

inline constexpr WaitMessages kMoveItWaitMessages{"Time out during focuser movement",
                                                  "Abandoned event during focuser movement",
                                                  "An error occurred during focuser movement"};
inline constexpr WaitMessages kInterlockNudgeWaitMessages{"Time out during interlocked nudging",
                                                          "Abandoned event during interlocked nudging",
                                                          "An error occurred during interlocked nudging"};
inline constexpr WaitMessages kCoarseRunWaitMessages{"Time out during nudging", "Abandoned event during nudging",
                                                     "An error occurred during nudging"};

// Time-outs and delays, in milliseconds.
inline constexpr int kKeepAliveIntervalMs = 200;
inline constexpr int kOpenSettleMs = 500;         // after starting the counting thread
inline constexpr int kLineResetRepeats = 5;       // RTS/DTR dropped this often on open
inline constexpr int kPurgeSettleMs = 20;         // before each purge
inline constexpr int kLineSwitchDelayMs = 5;      // DTR (direction) before RTS (motor)
inline constexpr int kStopDtrDelayMs = 10;        // RTS off before DTR off on ":FQ#"
inline constexpr int kAvailFirstWaitMs = 30;
inline constexpr int kAvailRetryWaitMs = 100;
inline constexpr int kHubQueryWaitMs = 10;
inline constexpr int kCoarseStopSettleMs = 100;   // after the coarse run is stopped
inline constexpr int kNudgeSettleMs = 100;        // before the first nudge
inline constexpr int kNudgeRestMs = 50;           // ... and the lines read this long without a count
inline constexpr int kNudgeRestWaitMs = 500;      // ... waited for at most this long
inline constexpr int kInterlockWaitMs = 10000;    // for "FOCUSER_WAIT_EVENT"
inline constexpr int kCoarseRunWaitMs = 120000;   // for "THE_CTS_EVENT"
inline constexpr int kInterruptsSettleMs = 10;
inline constexpr int kWatcherPollMs = 1;          // coarse-run watcher pass
inline constexpr int kInterruptsPollMs = 10;      // coarse-run starter waiting for InterruptsOff
inline constexpr int kCtsWaitSliceMs = 50;        // counting thread re-checks its stop request (and stamps a read)
inline constexpr int kCtsPollMs = 1;              // counting by polling when line events fail
inline constexpr int kLockRetryMs = 5;
inline constexpr int kStallPollMs = 20;           // stall watch pass
inline constexpr int kStallFloorMs = 1000;        // shortest stall limit
inline constexpr int kStallCycles = 3;            // nudge cycles without a count before a stall
inline constexpr int kStallProgressCounts = 2;    // what counts as the motor getting somewhere            // re-check for a newer move while waiting for a lock
// Counts a move may go the wrong way, beyond StopFactor (what an earlier run
// may still coast), before it counts as a motor turning against its commands.
inline constexpr int kWrongWayCounts = 20;
inline constexpr std::size_t kHubReplyLength = 10;

inline constexpr double kNoTemperature = -100.0;
inline constexpr double kTemperatureFloor = -99.0;  // readings at or below are not averaged
inline constexpr std::size_t kTempHistoryLength = 10;

// Common plumbing of the movement threads (TEndMoveThread, TMoveItThread,
// TNudgeThread): each belongs to one move (its generation) and runs once on an
// owned WorkerThread. "Stopping" means the owner is being destroyed or a newer
// move has replaced this one; a replaced thread sends nothing more and leaves
// the shared move state to the newer move.
class TFocuserThread {
public:
    TFocuserThread(TFocusControl& owner, std::uint64_t generation, ThreadPriority priority);
    virtual ~TFocuserThread();
    TFocuserThread(const TFocuserThread&) = delete;
    TFocuserThread& operator=(const TFocuserThread&) = delete;

    void Start() { worker_.Start(); }
    void RequestStop() { worker_.RequestStop(); }
    void Hold() { worker_.Hold(); }
    void Release() { worker_.Release(); }
    bool Finished() const { return worker_.Finished(); }
    void Join() { worker_.Join(); }
    ThreadPriority GrantedPriority() const { return worker_.GrantedPriority(); }
    // The movement thread the caller runs on; nullptr on any other thread.
    static const TFocuserThread* Current();
    std::uint64_t Generation() const { return generation_; }
    const TFocusControl& Owner() const { return owner_; }

protected:
    virtual void Run() = 0;
    // Every subclass calls this in its destructor, before its own part is gone.
    void StopAndJoin();
    bool StopRequested() const { return worker_.StopRequested(); }
    bool Stopping() const;
    bool Superseded() const;
    // Waits for `event` at most `timeoutMs` on the owner's clock; nullopt when
    // stopping (or `alsoEndWhen` turned true) first.
    std::optional<WaitResult> WaitFor(NamedEvent& event, int timeoutMs, const StopFn& alsoEndWhen = {});
    // Sleeps on the owner's clock; false when stopping ended it early.
    bool Sleep(double ms);
    // Reports Idle for this thread's move; nothing once a newer move has started.
    void ReportIdle();
    // Holds here while the owner holds this thread; false when stopping.
    bool Checkpoint() { return worker_.Checkpoint() && !Stopping(); }

    TFocusControl& owner_;
    const std::uint64_t generation_;

private:
    WorkerThread worker_;
};

// What a controller replacing another on the same focuser and port needs to
// count on from where the old one stood, rather than from 0.
struct PositionHandover {
    std::int32_t count = 0;
    // Focusers that know their own position: the absolute position the old
    // controller counted as 0; nullopt when it never learnt one.
    std::optional<std::int32_t> zero;
};

class TFocusControl {
public:
    explicit TFocusControl(IDialogs& dialogs, IClock& clock = DefaultClock());
    virtual ~TFocusControl();
    TFocusControl(const TFocusControl&) = delete;
    TFocusControl& operator=(const TFocusControl&) = delete;

    // ---- virtual operations, in slot order ("RF/O": replaced by those drivers) ----

    // RF/O. Closes the port (stops the counting thread) and stores the number;
    // never reopens. Idle is unchanged.
    virtual void SetComPort(int value);
    // Carries out one LX-200 focus command as text or by the lines (UseRTS_DTR);
    // returns when it has been written or switched. Lost on a closed port.
    virtual void SendFocusCommand(const std::string& command);
    // RF/O. Sets or clears both cancel requests and marks both move phases done,
    // so Idle is true when it returns with `value` true; the threads end within one pass.
    virtual void SetCancelMovementFlag(bool value);
    // RF/O. True when no programmed move is running (coarse run and nudging both done).
    virtual bool GetIdle() const;
    // Hub "KTR06": Ok when the hub echoed `value` (TCCal is then `value`);
    // Unavailable when no temperature unit answered (nothing sent); Failed when
    // the hub did not take it or `value` does not fit five digits (TCCal keeps
    // its previous value; the caller shows kSetCalFailedText, the failure is logged here).
    virtual HubResult SetTCCal(int value);
    // Hub "KTR04": the hub's register; the stored TCCal when the unit is absent or the reply is bad.
    virtual int GetTCCal();
    // Hub "KTR02", two tries: true when the temperature unit answered. Raises
    // OnAvailChange when the answer changed; empties the temperature history when false.
    virtual bool GetTCAvail();
    // Hub "KTR00": "ab.c.de" from the reply's payload, kFirmwareUnknownText without a reply.
    virtual std::string GetTCFirmwareVersion();
    // RF/O. Opens and configures the port, starts the counting thread, resets
    // the position. False (port closed) when ComPort is 0 or the device cannot be opened.
    virtual bool OpenPort();
    // Stops the counting thread and closes the port; nothing when it is not open.
    virtual void ClosePort();
    // RF/O. Starts continuous motion (":FQ#", then ":F-#" inward or ":F+#"); returns at once.
    // `fast` is accepted for the Slow/Fast choice but no driver acts on it.
    virtual void StartMove(bool inward, bool fast);
    // RF/O. Stops the motor now (":FQ#" twice); returns at once.
    virtual void StopMove();
    // Drops RTS only (the motor line in "Direct to Focuser" mode).
    virtual void MotorOff();
    // Ends any programmed move; Idle is true when it returns.
    virtual void CancelMovement();
    // RF/O. Programmed relative move; returns at once. "GENERAL_DELAY_EVENT" is
    // signalled when the move has ended (at once for 0 steps, sending nothing),
    // also when it was cancelled; a move that never counts ends only by cancel.
    virtual void MoveBy(std::int32_t steps);
    // RF/O. MoveBy(position - CTSCount).
    virtual void MoveTo(std::int32_t position);
    // RF/O. Makes the current position 0 (and resets "GENERAL_DELAY_EVENT").
    virtual void ResetPosition();
    // Where this controller stands, for the one that replaces it.
    virtual PositionHandover Handover() const { return {CTSCount(), std::nullopt}; }
    // After a successful OpenPort: counts on from `from` instead of from 0.
    virtual void TakeOver(const PositionHandover& from);
    // The port is open and the focuser behind it answered as it should; a
    // driver whose handshake can fail says so here.
    virtual bool Connected() const { return PortOpen(); }
    // RF/O. Sends one of ":FQ#", ":F-#", ":F+#", ":FS#", ":FF#"; anything else
    // shows "Illegal FocusCommand" and sends nothing.
    virtual void FocusCommand(const std::string& command);
    // Applies one line-control function; nothing on a closed port.
    virtual void EscapeComm(LineFunction func);
    // Hub "KTR08": degrees Celsius, kNoTemperature when the unit is absent or
    // the reply is bad. Valid readings feed TCAvg.
    virtual double GetTemperature();

    // Empties the temperature history; TCAvg keeps its value until the next valid reading.
    void ClearTempHistory();

    // Stops and joins every thread this object started and closes the port.
    // Idempotent; the destructor calls it.
    void Shutdown();

    // ---- how a move ended ----
    // Every MoveBy, of every kind, takes the next ticket. Halts (StopMove,
    // CancelMovement, a lost port, a motor turning the wrong way or standing
    // still) are counted. Whoever waits for "GENERAL_DELAY_EVENT" compares
    // both with what it saw when it started its move: a different ticket means
    // another move replaced it, a different halt count that it was halted,
    // and in neither case did the focuser arrive where it was sent.
    std::uint64_t MoveTicket() const { return moveTicket_.load(); }
    std::uint64_t HaltCount() const { return haltCount_.load(); }

    // How long a running move may go without a change of CTSCount before the
    // motor is stopped as stalled (an encoder that does not count, a jammed
    // drive, a device that stopped reporting).
    virtual int StallLimitMs() const;

    // Whether the motor stands: the counting thread has read the lines for
    // `ms` after `sinceMs` (the clock's TickMs) and after the last count,
    // without a count. Told by the time stamps of the reads, not by anyone's
    // wake-ups, so a loaded machine that holds the counting thread back is
    // never taken for a motor at rest, nor a motor that stands for one that
    // runs. Always true without a counting thread (the drivers that keep
    // their own position).
    bool LinesStill(std::int64_t sinceMs, int ms) const {
        const std::int64_t read = lineReadMs_.load();
        return read < 0 || read - std::max(countReadMs_.load(), sinceMs) >= ms;
    }

    // ---- properties ----
    std::int32_t CTSCount() const { return ctsCount_.load(); }
    bool LastDirection() const { return lastDirection_.load(); }
    void SetLastDirection(bool v) { lastDirection_.store(v); }
    double BackLash() const { return backLash_.load(); }
    void SetBackLash(double v) { backLash_.store(v); }
    int CodesPerRev() const { return codesPerRev_.load(); }
    void SetCodesPerRev(int v) { codesPerRev_.store(v); }
    double TravelPerRev() const { return travelPerRev_.load(); }
    void SetTravelPerRev(double v) { travelPerRev_.store(v); }
    int ComPort() const { return comPort_.load(); }
    double NudgeTime() const { return nudgeTime_.load(); }
    void SetNudgeTime(double seconds) { nudgeTime_.store(seconds); }
    double CloseNudgeTime() const { return closeNudgeTime_.load(); }
    void SetCloseNudgeTime(double seconds) { closeNudgeTime_.store(seconds); }
    double NudgeSleep() const { return nudgeSleep_.load(); }
    void SetNudgeSleep(double seconds) { nudgeSleep_.store(seconds); }
    int StopFactor() const { return stopFactor_.load(); }
    void SetStopFactor(int v) { stopFactor_.store(v); }
    bool UseRTS_DTR() const { return useRtsDtr_.load(); }
    void SetUseRTS_DTR(bool v) { useRtsDtr_.store(v); }
    bool ReverseDir() const { return reverseDir_.load(); }
    void SetReverseDir(bool v) { reverseDir_.store(v); }
    bool CancelMovementFlag() const { return cancelMovementFlag_.load(); }
    bool DualSense() const { return dualSense_.load(); }
    void SetDualSense(bool v) { dualSense_.store(v); }
    void SetOnCTSChange(TCTSEvent handler);
    void SetOnIdleChange(TIdleEvent handler);
    void SetOnAvailChange(TTCAvailChangeEvent handler);
    // The last answers of the hub, without asking it again.
    bool TCAvail() const { return tcAvail_.load(); }
    int TCCal() const { return tcCal_.load(); }
    double TCAvg() const { return tcAvg_.load(); }
    // A valid reading has fed TCAvg: until then its 0.0 is no temperature.
    bool TCAvgRead() const { return tcAvgRead_.load(); }
    std::string TCFirmwareVersion() const;
    void SetCameraControl(CameraIdleFn cameraIdle);
    bool JMIFlag() const { return jmiFlag_.load(); }
    void SetJMIFlag(bool v) { jmiFlag_.store(v); }
    bool SBIGInterlock() const { return sbigInterlock_.load(); }
    void SetSBIGInterlock(bool v) { sbigInterlock_.store(v); }
    bool InterruptsOff() const { return interruptsOff_.load(); }
    // Camera read-out interlock: true stops the motor and holds nudging,
    // false releases it; Paused follows after kInterruptsSettleMs.
    void SetInterruptsOff(bool value);
    bool Paused() const { return paused_.load(); }
    ThreadPriority NudgePriority() const { return nudgePriority_.load(); }
    void SetNudgePriority(ThreadPriority p) { nudgePriority_.store(p); }
    bool QuorvelEnable() const { return quorvelEnable_.load(); }
    void SetQuorvelEnable(bool v) { quorvelEnable_.store(v); }
    bool LogCommands() const { return logCommands_.load(); }
    void SetLogCommands(bool v) { logCommands_.store(v); }
    bool PortOpen() const { return portOpen_.load(); }
    // What the last OpenPort tried and why it failed, for the message that
    // follows "Could not open COM n": "/dev/ttyS0 (open: Permission denied)".
    // Empty after a success.
    std::string OpenFailure() const {
        std::lock_guard lock(settingsMutex_);
        return openFailure_;
    }
    // What the user's cancel of the last OpenPort's wait left behind and what
    // to do next; empty when it was not cancelled.
    std::string OpenCancelled() const {
        std::lock_guard lock(settingsMutex_);
        return openCancelled_;
    }
    // How COM n becomes a device path; "/dev/ttyS<n-1>" unless the main window
    // hands in the [Ports] lookup. Set before OpenPort.
    void SetPortResolver(PortResolverFn resolver);
    void SetPortFactory(PortFactoryFn factory);

protected:
    // Notifications, raised by the drivers and threads on their own thread.
    void DoCTSChange(std::int32_t count, bool dsr);
    // Base: reports Idle when it differs from the value last reported.
    virtual void DoIdleChange();
    virtual void DoAvailChange();

    bool Destroying() const { return destroying_.load(); }
    IDialogs& Dialogs() { return dialogs_; }
    IClock& Clock() { return clock_; }
    // Purge, then write; false when the port is closed or the write failed.
    bool WriteString(const std::string& text);
    // Sleeps `waitMs`, then purge, write `request` + CR, read kHubReplyLength
    // bytes; empty when nothing complete arrived.
    std::string HubExchange(const std::string& request, int waitMs);
    // Shows one message through the dialogs (waiting for the answer) and logs it.
    void TellUser(const std::string& text);
    // The device path for `comPort` and the port factory, for subclasses that
    // open their own transport.
    std::string ResolvePort(int comPort) const {
        PortResolverFn resolver;
        {
            std::lock_guard lock(settingsMutex_);
            resolver = portResolver_;
        }
        return resolver(comPort);
    }
    // The device behind the controller's COM port; nullopt when no port is
    // chosen or the port names no device.
    std::optional<std::string> ChosenPortDevice() const {
        const int com = ComPort();
        if (com == 0) return std::nullopt;
        try {
            return ResolvePort(com);
        } catch (const std::exception&) {
            return std::nullopt;
        }
    }
    PortFactoryFn PortFactory() const {
        std::lock_guard lock(settingsMutex_);
        return portFactory_;
    }
    void SetOpenFailure(const std::string& device, const std::string& reason) {
        std::lock_guard lock(settingsMutex_);
        openFailure_ = device.empty() && reason.empty() ? std::string()
                       : device.empty()                 ? reason
                       : reason.empty()                 ? device
                                                        : device + " (" + reason + ")";
    }
    void SetOpenCancelled(std::string text) {
        std::lock_guard lock(settingsMutex_);
        openCancelled_ = std::move(text);
    }
    // Raises OnIdleChange with `idle` unless the object is being destroyed,
    // for drivers that report every idle change themselves.
    void RaiseIdleChange(bool idle) {
        if (!destroying_.load()) onIdleChange_(*this, idle);
    }

    // Every MoveBy calls this first: takes the next ticket and puts the move
    // under the stall watch.
    void MoveStarted();
    // Every way of halting a move calls this.
    void NoteHalt() { haltCount_.fetch_add(1); }
    // A move somebody else gave the device took the place of this one.
    void NoteReplaced() { moveTicket_.fetch_add(1); }
    // Ends the stall watch for good; a driver whose overrides the watch calls
    // must do this before its own part is destroyed (Shutdown does it too).
    void StopStallWatch();

    // A valid reading joins the history TCAvg averages.
    void AddTemperature(double reading);
    // For drivers that learn of the temperature unit without asking the hub; the old value.
    bool ExchangeTCAvail(bool value) { return tcAvail_.exchange(value); }

    std::atomic<std::int32_t> ctsCount_{0};
    // Last Idle value reported through OnIdleChange (the subclasses keep their own Idle here).
    std::atomic<bool> fIdle_{true};
    std::atomic<bool> portOpen_{false};

private:
    friend class TFocuserThread;
    friend class TCTSThread;
    friend class TEndMoveThread;
    friend class TMoveItThread;
    friend class TNudgeThread;

    void StartKeepAlive();
    void StopKeepAlive();
    void KeepAliveLoop(WorkerThread& self);
    // Brings a running move to its end before a new one starts: bumps the
    // move generation, stops and joins the old threads except `self`, and
    // switches the motor off when anything was still moving. Returns the new
    // move's generation.
    std::uint64_t EndPreviousMove(const TFocuserThread* self);
    void ReportIdle(std::uint64_t generation);
    void StartMoveThread(std::unique_ptr<TFocuserThread> thread, TFocuserThread** latest);
    void ReapFinishedThreads();  // threadsMutex_ held
    // Runs `action` (commands, end-of-phase flags) for the move of `generation`
    // unless a newer move has started; a new move cannot start meanwhile.
    bool WhileCurrent(std::uint64_t generation, const std::function<void()>& action);
    bool Superseded(std::uint64_t generation) const { return moveGeneration_.load() != generation; }
    bool CameraIdle() const;
    void ShowWaitResult(const WaitMessages& messages, WaitResult result);
    void StallWatchLoop(WorkerThread& self);
    // Stops a move whose count stood still for `ms`, and says so.
    void StopStalledMove(std::int64_t ms);
    // For worker threads: logs `text` and hands it to the desktop to show later.
    void TellUserLater(const std::string& text);
    // A move of `generation` counted away from its target: ends it as a
    // cancel does and tells the user.
    void WrongWay(std::uint64_t generation);
    void HoldNudging(bool hold);
    void LineOp(bool rts, bool on);
    // Stops the motor at once in either mode: MotorOff drops RTS, which a
    // text-mode run ignores, so text mode adds ":FQ#", written without the
    // purge and its settling pause so that a nudge pulse ends on time.
    void HaltMotor();
    // ":FQ#" twice, the first one at once (the motor coasts on while a
    // write waits to settle).
    void StopMotorTwice();
    // The write of WriteString without the settling pause and purge.
    bool WriteNow(const std::string& text);
    void PortLost(const std::string& why);
    std::shared_ptr<ISerialPort> Port() const;

    IDialogs& dialogs_;
    IClock& clock_;

    // Properties.
    std::atomic<bool> lastDirection_{true};
    std::atomic<double> backLash_{0.035};
    std::atomic<int> codesPerRev_{512};
    std::atomic<double> travelPerRev_{0.58};
    std::atomic<int> comPort_{1};
    std::atomic<double> nudgeTime_{0.015};
    std::atomic<double> closeNudgeTime_{0.01};
    std::atomic<double> nudgeSleep_{0.08};
    std::atomic<int> stopFactor_{8};
    std::atomic<bool> cancelMovementFlag_{false};
    std::atomic<bool> useRtsDtr_{false};
    std::atomic<bool> reverseDir_{false};
    std::atomic<bool> dualSense_{false};
    std::atomic<bool> jmiFlag_{false};
    std::atomic<bool> sbigInterlock_{false};
    std::atomic<bool> tcAvail_{false};
    std::atomic<int> tcCal_{0};
    std::atomic<double> tcAvg_{0.0};
    std::atomic<bool> tcAvgRead_{false};
    std::atomic<bool> interruptsOff_{false};
    std::atomic<bool> paused_{false};
    std::atomic<ThreadPriority> nudgePriority_{ThreadPriority::Normal};
    std::atomic<bool> quorvelEnable_{true};
    std::atomic<bool> logCommands_{false};

    // Move state shared with the threads.
    std::atomic<bool> moveDone_{true};
    std::atomic<bool> nudgeDone_{true};
    std::atomic<bool> endMoveCancel_{false};
    std::atomic<bool> nudgeCancel_{false};
    std::atomic<bool> moveUp_{false};
    std::atomic<std::uint64_t> moveGeneration_{0};
    std::atomic<bool> destroying_{false};
    std::atomic<std::uint64_t> moveTicket_{0};
    std::atomic<std::uint64_t> haltCount_{0};
    // Time a move spends waiting for the camera (SBIG interlock) is not a stall.
    std::atomic<bool> waitingForCamera_{false};
    std::atomic<int> stallLimitMs_{1000};
    // TickMs of the counting thread's last read of the lines, and of the read
    // that last changed the count; -1 while no counting thread reads.
    std::atomic<std::int64_t> lineReadMs_{-1};
    std::atomic<std::int64_t> countReadMs_{-1};
    std::unique_ptr<WorkerThread> stallWatch_;  // under threadsMutex_
    bool stallWatchEnded_ = false;              // under threadsMutex_
    std::mutex moveMutex_;  // a new move against the end of a phase of the previous one
    TimedMutex moveStartMutex_;  // one MoveBy at a time
    std::shared_ptr<NamedEvent> generalDelay_;

    // Callbacks and settings read by several threads.
    mutable std::mutex settingsMutex_;
    Notifier<void(TFocusControl&, std::int32_t, bool)> onCTSChange_;
    Notifier<void(TFocusControl&, bool)> onIdleChange_;
    Notifier<void(TFocusControl&, bool)> onAvailChange_;
    CameraIdleFn cameraIdle_;
    PortResolverFn portResolver_;
    std::string openFailure_;    // guarded by settingsMutex_
    std::string openCancelled_;  // guarded by settingsMutex_
    PortFactoryFn portFactory_;
    std::string tcFirmwareVersion_;
    RecursiveTimedMutex idleMutex_;  // keeps Idle reports in order

    // The port: the pointer under portMutex_, each purge-write(-read) exchange
    // under commMutex_, each sequence of line switches under lineMutex_.
    mutable std::mutex portMutex_;
    std::shared_ptr<ISerialPort> port_;
    std::mutex commMutex_;
    std::mutex lineMutex_;

    // Threads.
    std::mutex threadsMutex_;
    std::unique_ptr<TCTSThread> ctsThread_;
    std::vector<std::unique_ptr<TFocuserThread>> moveThreads_;
    TFocuserThread* latestEndMove_ = nullptr;
    TFocuserThread* latestMoveIt_ = nullptr;
    TFocuserThread* latestNudge_ = nullptr;

    std::unique_ptr<WorkerThread> keepAlive_;

    std::mutex tempMutex_;
    std::deque<double> tempList_;
};

}  // namespace kv
