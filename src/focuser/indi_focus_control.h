// The driver for a focuser reached through a device server on the network
// (often a small computer at the telescope).
//
// The COM port number names no serial line here: the [Ports] line maps it to
// "indi://host:port/device". OpenPort connects to that server, asks it to
// connect the device and waits (bounded) until the device shows a position
// property. The server's driver moves the focuser; this class only asks for
// moves and listens: CTSCount follows the server's absolute position (minus
// the offset ResetPosition takes), Idle follows the state of the property the
// move was asked through (Busy is not idle), and "GENERAL_DELAY_EVENT" is
// signalled when that property leaves Busy. A focuser without an absolute
// position is moved through FOCUS_MOTION and REL_FOCUS_POSITION and counted
// by the steps of each move that ends well (a halted one is not counted: such
// a device never says how far it got). Such devices often never show the
// relative property Busy, so its first update after the device has answered
// the direction switch ends the move; an older update (the answer to an
// abort, say) arrives before that answer and is passed over.
//
// A server that goes away, or falls silent for kIndiSilenceMs during a move,
// ends the move with a message handed to the desktop through IDialogs::Defer:
// a caller waiting for the event never hangs on the network.
//
// Threads. The server's messages arrive on the network library's own thread;
// a watchdog thread ends silent moves. Notifications are raised on those
// threads with no lock of this class held.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "focuser/focus_control.h"

namespace kv {

inline constexpr int kIndiConnectWaitMs = 5000;   // server, device and its properties, each
inline constexpr int kIndiSilenceMs = 30000;      // a move with no word from the device this long ends
inline constexpr int kIndiWatchdogPollMs = 100;
// A server's driver may publish the position only about once a second while
// it moves: a few of its updates may pass before a move counts as stalled.
inline constexpr int kIndiStallMs = 5000;
inline constexpr int kIndiDefineWaitMs = 1000;  // for an absolute position after a relative one
inline constexpr int kIndiCancelSliceMs = 50;    // a cancelled connect is heard within this
// A device that ends a move further than this from its target was given another target.
inline constexpr std::int64_t kIndiLandingSteps = 1;

inline constexpr const char* kIndiLostServerText = "The connection to the focuser's server was lost during a move.";
inline constexpr const char* kIndiSilentText = "The focuser's server stopped answering during a move.";
inline constexpr const char* kIndiMoveFailedText = "The focuser's server reported that the move failed.";

// A device's number as a whole number within [lo, hi] (saturated); nothing
// when it is not finite: a server may send NaN or infinity, and the protocol
// gives those no meaning.
std::optional<std::int64_t> IndiWhole(double value, std::int64_t lo, std::int64_t hi);
// Positions further out than this are no focuser's; the count arithmetic
// stays exact and free of overflow below it.
inline constexpr std::int64_t kIndiMaxPosition = std::int64_t{1} << 53;
// The absolute target of a move by `steps` from `from`: the count
// (target - offset) stays a 32-bit number, and the target within the device's
// range [min, max] unless that range is none (min == max, a bound that is not
// finite, or min > max all mean "no limit").
std::int64_t IndiMoveTarget(std::int64_t from, std::int64_t steps, double min, double max, std::int64_t offset);

class TIndiFocusControl : public TFocusControl {
public:
    explicit TIndiFocusControl(IDialogs& dialogs, IClock& clock = DefaultClock());
    ~TIndiFocusControl() override;

    void SetComPort(int value) override;
    void SendFocusCommand(const std::string& command) override;
    // true: ends the move as CancelMovement does.
    void SetCancelMovementFlag(bool value) override;
    bool GetIdle() const override;
    int StallLimitMs() const override { return kIndiStallMs; }
    HubResult SetTCCal(int value) override;
    int GetTCCal() override;
    // Whether the device reports FOCUS_TEMPERATURE; raises OnAvailChange on a change.
    bool GetTCAvail() override;
    std::string GetTCFirmwareVersion() override;
    // Connects to the server and the device named by the COM port's [Ports]
    // line. False (closed, reason logged) when the line is no "indi://"
    // address or the server, the device or its position do not answer in time,
    // and when the user cancels the wait (OpenCancelled says so).
    bool OpenPort() override;
    // Ends any move, then disconnects.
    void ClosePort() override;
    // Runs toward the end of the travel (inward: lower positions).
    void StartMove(bool inward, bool fast) override;
    // Asks the server to abort and ends the move here at once.
    void StopMove() override;
    void MotorOff() override {}
    void CancelMovement() override;
    void MoveBy(std::int32_t steps) override;
    void MoveTo(std::int32_t position) override;
    void ResetPosition() override;
    // ":FQ#" stops, ":F-#" runs inward, ":F+#" outward; ":FS#"/":FF#" are
    // accepted and do nothing; anything else is "Illegal FocusCommand".
    void FocusCommand(const std::string& command) override;
    void EscapeComm(LineFunction) override {}
    // The device's last FOCUS_TEMPERATURE, kNoTemperature without one.
    double GetTemperature() override;
    // The same, kept from the device's last report: asks nothing, waits for
    // nothing, so the window's thread may read it.
    std::optional<double> Temperature() const;

    // The server's absolute position, when the device has one.
    std::optional<std::int32_t> AbsolutePosition() const;
    // The device's travel in this controller's counts (what MoveTo takes),
    // when the device tells one.
    struct CountRange {
        std::int32_t min;
        std::int32_t max;
    };
    std::optional<CountRange> MoveRange() const;

    class Link;  // the network client; public for its callbacks only

    // From the network thread.
    void OnNumber(const std::string& property, int state, const std::string& element, double value, double min,
                  double max);
    void OnServerLost();
    // A FOCUS_MOTION definition, or (`answer`) an update of it.
    void OnMotion(bool answer);

protected:
    void DoIdleChange() override;

private:
    enum class Via { None, Absolute, Relative };
    bool Connect();
    // Ends the move in progress, if any: Idle, the event, the notification,
    // and `message` (when not empty) for the desktop to show later.
    void EndMove(const std::string& message);
    void StartWatchdog();
    void StopWatchdog();
    void WatchdogLoop();
    // False when the time runs out, the port closes or the connect is cancelled.
    bool WaitUntil(const std::function<bool()>& ready, int timeoutMs);
    bool Cancelled() const;
    void Heard();

    std::shared_ptr<NamedEvent> generalDelay_;
    std::unique_ptr<Link> link_;
    std::string device_;

    mutable std::mutex mutex_;  // everything below
    std::condition_variable changed_;
    bool moving_ = false;
    Via via_ = Via::None;
    bool sawBusy_ = false;        // the server has taken up the move in progress
    std::int64_t target_ = 0;     // of the absolute move in progress
    std::int32_t relSteps_ = 0;  // signed steps of the relative move in progress
    bool sawAbsolute_ = false;
    bool sawRelative_ = false;
    bool sawMotion_ = false;
    std::uint64_t motionAsked_ = 0;     // directions sent for relative moves since OpenPort
    std::uint64_t motionAnswered_ = 0;  // FOCUS_MOTION updates since OpenPort
    std::int64_t absolute_ = 0;
    bool absKnown_ = false;  // a finite position has come
    double absMin_ = 0.0;
    double absMax_ = 0.0;
    double relMax_ = 0.0;
    std::int64_t offset_ = 0;
    std::int64_t relativeCount_ = 0;  // counted position without an absolute one
    std::optional<double> temperature_;
    std::chrono::steady_clock::time_point lastHeard_{};
    bool closing_ = false;
    bool cancelled_ = false;  // the user gave up on the connect in progress

    std::mutex watchdogMutex_;
    std::condition_variable watchdogWake_;
    bool watchdogStop_ = false;
    std::thread watchdog_;
};

}  // namespace kv
