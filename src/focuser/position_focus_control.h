// What the drivers of focusers that keep their own position have in common.
//
// Such a focuser (RoboFocus, Optec) knows its absolute position and moves
// itself; the driver talks to it over a buffered port with one-character data
// triggers, never touches the modem lines, and turns the absolute position
// into the relative CTSCount: the first position reply after a reset counts
// as 0 (StartCount).
//
// This class owns the port and its wiring, the pacing of the protocols, the
// idle reporting (Idle is whatever the driver last stored; every change is
// reported unless the object is being destroyed) and the position fields. A
// driver supplies the handshake that follows opening the line, its receive
// path and its movement operations.
//
// Threads. Received characters and triggers arrive on the port's reader
// thread; commands come from the caller's thread. `mutex_` is recursive so a
// notification handler may call back into the driver. A driver's destructor
// must call EndLink() first: it joins the reader, so no callback reaches a
// half-destroyed driver. Messages raised on the reader thread go through
// TellUserLater, never through a dialog that waits: the GUI thread may be
// joining that very thread (ClosePort, SetComPort, a destructor).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "focuser/buffered_port.h"
#include "focuser/focus_control.h"

namespace kv {

class TPositionFocusControl : public TFocusControl {
public:
    ~TPositionFocusControl() override;

    // Leaves the device's remote mode where it has one, closes the port and
    // stores the number; never reopens.
    void SetComPort(int value) override;
    // Removes the triggers and closes the port; the reader is joined unless
    // this is called from one of its callbacks.
    void ClosePort() override;
    // Clears the cancel request only; it does not stop the focuser (StopMove does).
    void SetCancelMovementFlag(bool value) override;
    bool GetIdle() const override;
    // Opens the line, registers the driver's trigger characters and runs its
    // handshake. False (closed) when ComPort is 0 or the device cannot be opened.
    bool OpenPort() override;
    // MoveBy(position - CTSCount), the difference kept within an int32.
    void MoveTo(std::int32_t position) override;

    // The receive path: bytes as they come off the line, each trigger
    // character reported after itself, as the port's callbacks do.
    void ReceiveBytes(std::string_view bytes);
    // Off: the settle waits the protocols keep between commands are skipped.
    // For replaying traffic without a device (fuzzing); a real focuser needs them.
    void SetPaced(bool on) { paced_.store(on); }

    PositionHandover Handover() const override;
    void TakeOver(const PositionHandover& from) override;

    std::int32_t StartCount() const { return startCount_.load(); }
    std::int32_t CurrentCount() const { return currentCount_.load(); }
    std::int32_t MaxTravel() const { return maxTravel_.load(); }
    // +1 when CTSCount grows with CurrentCount, -1 when it shrinks.
    int CountSense() const { return CountFrom(1, 0) - CountFrom(0, 0); }
    std::string FirmWareVersion() const;

protected:
    // `triggers`: the characters the device uses as events; the two traces go
    // to the diagnostic trace when the driver is made and freed.
    TPositionFocusControl(IDialogs& dialogs, IClock& clock, int baud, std::string triggers,
                          std::string createdTrace, std::string freedTrace);

    void DoIdleChange() override;

    // Runs in OpenPort with the port open and the triggers registered.
    virtual void Handshake() = 0;
    // Runs before the port is closed by SetComPort or destruction (also when
    // it is not open); the Optec driver leaves serial mode here.
    virtual void LeaveLink() {}
    // Every received character, triggers included, in arrival order.
    virtual void ReceiveChars(std::string_view chars) = 0;
    // One trigger character, after the characters that came before it.
    virtual void Trigger(char c) = 0;

    // Call first thing in a driver's destructor: marks the object as ending,
    // drops unread input, leaves the link and closes it (joining the reader).
    void EndLink();
    bool Ending() const { return ending_.load(); }
    // Sleeps `ms` on the clock when paced; cut short when the object ends.
    void Pause(int ms);
    // Logs `text` and has the desktop show it later; returns at once.
    void TellUserLater(const std::string& text);
    TBufferedPort& Link() { return *port_; }
    // The zero for a first position reply (mutex_ held): the one handed over,
    // once, else `current` itself.
    std::int32_t TakeZero(std::int32_t current) {
        const std::int32_t zero = takeoverZero_.value_or(current);
        takeoverZero_.reset();
        return zero;
    }
    // CTSCount for an absolute position.
    virtual std::int32_t CountFrom(std::int32_t current, std::int32_t zero) const { return current - zero; }

    std::shared_ptr<NamedEvent> generalDelay_;
    mutable std::recursive_mutex mutex_;  // reply buffer, firmware text and each driver's reply handling
    std::string reply_;
    std::string firmWareVersion_;
    std::atomic<std::int32_t> startCount_{0};
    std::atomic<std::int32_t> currentCount_{0};
    std::atomic<std::int32_t> maxTravel_{0};
    std::atomic<bool> firstPosition_{true};
    std::optional<std::int32_t> takeoverZero_;  // mutex_
    std::atomic<bool> paced_{true};

private:
    void OnTriggerHandle(int handle);
    void RemoveTriggers();

    std::unique_ptr<TBufferedPort> port_;
    const std::string triggerChars_;
    const std::string freedTrace_;
    std::mutex triggersMutex_;
    std::vector<std::pair<int, char>> triggers_;  // handle, character
    std::atomic<bool> ending_{false};
};

}  // namespace kv
