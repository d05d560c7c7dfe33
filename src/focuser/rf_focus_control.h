// The driver for focusers speaking the RoboFocus protocol.
//
// The focuser keeps its own absolute position. Every command and reply is a
// nine-byte frame: two letters, a six-character argument and a checksum (the
// byte sum of the first eight, modulo 256). While it moves the focuser sends
// one "I" (inward, position - 1) or "O" (outward, position + 1) per step and a
// position frame ("FD") when it arrives; any character received during a move
// stops it. The driver turns the absolute position into the relative CTSCount:
// the first position reply after a reset counts as 0.
//
// Threads. Received characters and the step triggers arrive on the buffered
// port's reader thread; commands come from the caller's thread. One recursive
// mutex covers the reply buffer and the position fields, so a reply is parsed
// whole and a notification handler may call back into the driver.
//
// Replies are checked before they are believed: a frame whose checksum or
// digits are wrong is dropped (and logged), and the buffer resynchronises at
// the next "F", so line noise never moves the position.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "focuser/buffered_port.h"
#include "focuser/focus_control.h"

namespace kv {

inline constexpr std::size_t kRfFrameLength = 9;
inline constexpr int kRfMaxFramedPosition = 99999;
inline constexpr int kRfStopCharacters = 97;
inline constexpr int kRfOpenSettleMs = 500;
inline constexpr int kRfResetSettleMs = 250;
inline constexpr int kRfFrameGapMs = 50;

class TRFFocusControl : public TFocusControl {
public:
    explicit TRFFocusControl(IDialogs& dialogs, IClock& clock = DefaultClock());
    ~TRFFocusControl() override;

    // Builds the nine frame bytes for an eight-character command.
    static std::array<char, kRfFrameLength> Frame(std::string_view command);

    // Removes the triggers, closes the port, stores the number.
    void SetComPort(int value) override;
    // Clears the cancel request only; it does not stop the focuser (StopMove does).
    void SetCancelMovementFlag(bool value) override;
    // False from a go-to until its position reply, or until StopMove.
    bool GetIdle() const override;
    // Opens the port, registers the step triggers and asks for the position;
    // false (closed) when ComPort is 0 or the device cannot be opened.
    bool OpenPort() override;
    // Inward: go to position 1; outward: go to the travel limit.
    void StartMove(bool inward, bool fast) override;
    // Sends characters that stop a moving focuser; Idle is true at once.
    void StopMove() override;
    // Go-to CurrentCount -/+ steps (+ with ReverseDir), kept within 1 ..
    // MaxTravel (99999 while unknown). Signals "GENERAL_DELAY_EVENT" at the
    // position reply; a zero-length move signals at once, once the first
    // position reply has come.
    void MoveBy(std::int32_t steps) override;
    void MoveTo(std::int32_t position) override;
    // Makes the focuser's current position 0 and asks for it.
    void ResetPosition() override;
    // Frames and sends an eight-character command; other lengths are refused.
    void FocusCommand(const std::string& command) override;

    // The receive path: bytes as they come off the line. The buffered port's
    // two callbacks do the same, split at the step characters.
    void ReceiveBytes(std::string_view bytes);
    // Off: the settle waits the protocol keeps between commands are skipped.
    // For replaying traffic without a device (fuzzing); a real focuser needs them.
    void SetPaced(bool on) { paced_.store(on); }

    std::int32_t StartCount() const { return startCount_.load(); }
    std::int32_t CurrentCount() const { return currentCount_.load(); }
    std::int32_t MaxTravel() const { return maxTravel_.load(); }
    std::string FirmWareVersion() const;
    // Replies dropped because their checksum or digits were wrong.
    int RejectedReplies() const { return rejected_.load(); }

protected:
    void DoIdleChange() override;

private:
    void Pause(int ms) const;
    void ReceiveChars(std::string_view chars);
    void StepTrigger(bool inward);
    void OnTrigger(int handle);
    void ParseReplies();
    void HandleReply(const std::string& reply);
    void SendFrame(std::string_view command);
    void SendGoTo(std::int64_t destination);

    std::unique_ptr<TBufferedPort> port_;
    std::shared_ptr<NamedEvent> generalDelay_;
    mutable std::recursive_mutex mutex_;
    std::string reply_;
    std::array<char, kRfFrameLength> frame_{};
    std::atomic<int> stepInTrigger_{0};
    std::atomic<int> stepOutTrigger_{0};
    std::atomic<std::int32_t> startCount_{0};
    std::atomic<std::int32_t> currentCount_{0};
    std::atomic<std::int32_t> maxTravel_{0};
    std::atomic<bool> firstPosition_{true};
    std::atomic<bool> destroying_{false};
    std::atomic<bool> paced_{true};
    std::atomic<int> rejected_{0};
    std::string firmWareVersion_;
};

}  // namespace kv
