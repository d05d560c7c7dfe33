// The driver for Optec focusers.
//
// The focuser must first be put into serial mode ("FMMODE", answered "!"). It
// moves by relative step commands ("FO0020", "FI0005"), answers "*" when a
// step command is done, and reports its absolute position on request
// ("FPOSRO", answered "P=" and four digits). The driver approaches a target in
// steps of shrinking size, one step command per position reply, and turns the
// absolute position into the relative CTSCount (the first reply after a reset
// counts as 0).
//
// Threads. Replies and the two triggers arrive on the buffered port's reader
// thread; commands come from the caller's thread. One recursive mutex covers
// the reply buffer and the step decision, so each position reply leads to one
// step decision and a notification handler may call back into the driver.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "focuser/buffered_port.h"
#include "focuser/focus_control.h"

namespace kv {

inline constexpr std::size_t kOptecReplyLength = 6;
inline constexpr int kOptecModeTries = 21;
inline constexpr int kOptecModeWaitMs = 50;
inline constexpr int kOptecFineStepWaitMs = 50;
inline constexpr int kOptecFirstPositionSettleMs = 250;
inline constexpr int kOptecMaxMove = 7000;
inline constexpr int kOptecJogStep = 10;
inline constexpr const char* kOptecNoSessionText = "Unable to estabilish communication session with Optec focuser";
inline constexpr const char* kOptecCorrectedText = "Error in position values has been corrected";

class TOFocusControl : public TFocusControl {
public:
    explicit TOFocusControl(IDialogs& dialogs, IClock& clock = DefaultClock());
    ~TOFocusControl() override;

    // "FI" + |n|, "FO" + n, or "FPOSRO" for 0.
    static std::string StepCommand(std::int32_t n);

    // Leaves serial mode when open, closes the port, stores the number.
    void SetComPort(int value) override;
    // Clears the cancel request only; it does not stop the focuser.
    void SetCancelMovementFlag(bool value) override;
    bool GetIdle() const override;
    // Opens the port and asks for serial mode up to 21 times (an error message
    // when it never comes), then asks for the position. False (closed) when
    // ComPort is 0 or the device cannot be opened.
    bool OpenPort() override;
    // Jogs 7000 steps in or out, 10 steps (plus an approach step) per reply, until StopMove.
    void StartMove(bool inward, bool fast) override;
    // Sends nothing more; the focuser finishes its step command. Idle is true
    // and "GENERAL_DELAY_EVENT" is signalled.
    void StopMove() override;
    // Relative move in shrinking steps. More than 7000 steps either way is
    // refused with a message and ends at once (the event is signalled).
    void MoveBy(std::int32_t steps) override;
    void MoveTo(std::int32_t position) override;
    void ResetPosition() override;
    // Sends the text unchanged.
    void FocusCommand(const std::string& command) override;

    // The receive path: bytes as they come off the line. The buffered port's
    // two callbacks do the same, split at the trigger characters.
    void ReceiveBytes(std::string_view bytes);
    // Off: the settle waits the protocol keeps between commands are skipped.
    // For replaying traffic without a device (fuzzing); a real focuser needs them.
    void SetPaced(bool on) { paced_.store(on); }

    std::int32_t StartCount() const { return startCount_.load(); }
    std::int32_t CurrentCount() const { return currentCount_.load(); }
    std::int32_t MaxTravel() const { return 0; }
    std::string FirmWareVersion() const { return {}; }
    bool SerialMode() const { return serialMode_.load(); }

protected:
    void DoIdleChange() override;

private:
    void Pause(int ms) const;
    void ReceiveChars(std::string_view chars);
    void DoneTrigger();
    void ModeTrigger();
    void OnTrigger(int handle);
    // True when the count had to be corrected (the caller tells the user).
    bool ParseReply();
    void Step();
    void Send(const std::string& command);

    std::unique_ptr<TBufferedPort> port_;
    std::shared_ptr<NamedEvent> generalDelay_;
    mutable std::recursive_mutex mutex_;
    std::string reply_;
    std::atomic<int> doneTrigger_{0};
    std::atomic<int> modeTrigger_{0};
    std::atomic<std::int32_t> startCount_{0};
    std::atomic<std::int32_t> currentCount_{0};
    std::atomic<bool> firstPosition_{true};
    std::atomic<bool> destroying_{false};
    std::atomic<bool> paced_{true};
    std::atomic<std::int32_t> remaining_{0};
    std::atomic<std::int32_t> stepLimit_{0};
    std::atomic<bool> serialMode_{false};
};

}  // namespace kv
