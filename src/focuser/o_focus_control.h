// The driver for Optec focusers.
//
// The focuser must first be put into serial mode ("FMMODE", answered "!"). It
// moves by relative step commands ("FO0020", "FI0005"), answers "*" when a
// step command is done, and reports its absolute position on request
// ("FPOSRO", answered "P=" and four digits). Every reply ends with a line end,
// which the driver ignores whatever its bytes. The driver approaches a target
// in steps of shrinking size, one step command per position reply.
//
// Each position reply leads to one step decision, taken under `mutex_`.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "focuser/position_focus_control.h"

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

class TOFocusControl : public TPositionFocusControl {
public:
    explicit TOFocusControl(IDialogs& dialogs, IClock& clock = DefaultClock());
    ~TOFocusControl() override;

    // "FI" + |n|, "FO" + n, or "FPOSRO" for 0.
    static std::string StepCommand(std::int32_t n);

    // Jogs 7000 steps in or out, 10 steps (plus an approach step) per reply, until StopMove.
    void StartMove(bool inward, bool fast) override;
    // Sends nothing more; the focuser finishes its step command. Idle is true
    // and "GENERAL_DELAY_EVENT" is signalled.
    void StopMove() override;
    // Relative move in shrinking steps. More than 7000 steps either way is
    // refused (logged, shown later) and ends at once (the event is signalled).
    void MoveBy(std::int32_t steps) override;
    void ResetPosition() override;
    // Sends the text unchanged.
    void FocusCommand(const std::string& command) override;

    bool SerialMode() const { return serialMode_.load(); }
    // No serial mode, no session: the port alone is no connection.
    bool Connected() const override { return PortOpen() && SerialMode(); }

protected:
    // Asks for serial mode up to 21 times (an error message when it never
    // comes), then for the position.
    void Handshake() override;
    // Leaves serial mode when the port is open.
    void LeaveLink() override;
    void ReceiveChars(std::string_view chars) override;
    void Trigger(char c) override;

private:
    // True when the count had to be corrected (the caller tells the user).
    bool ParseReply();
    void Step();
    void Send(const std::string& command);

    std::atomic<std::int32_t> remaining_{0};
    std::atomic<std::int32_t> stepLimit_{0};
    // Between a step command and the focuser's "*": a step sent then would be
    // ignored by the focuser and its steps lost from the move.
    std::atomic<bool> stepRunning_{false};
    std::atomic<bool> serialMode_{false};
};

}  // namespace kv
