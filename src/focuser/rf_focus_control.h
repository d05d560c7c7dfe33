// The driver for focusers speaking the RoboFocus protocol.
//
// The focuser keeps its own absolute position. Every command and reply is a
// nine-byte frame: two letters, a six-character argument and a checksum (the
// byte sum of the first eight, modulo 256). While it moves the focuser sends
// one "I" (inward, position - 1) or "O" (outward, position + 1) per step and a
// position frame ("FD") when it arrives; any character received during a move
// stops it. After a reset the driver asks for the position, then the travel
// limit, the firmware version and the configuration, one after the other.
//
// Sense. A positive MoveBy goes inward, to a lower position, unless ReverseDir
// is set (then outward, to a higher one). CTSCount counts in the same sense,
// so MoveBy(+n) always raises it by n and MoveTo(p) = MoveBy(p - CTSCount)
// lands on p with either setting: CTSCount = CurrentCount - StartCount with
// ReverseDir, StartCount - CurrentCount without. The sense is taken at each
// position report, so change ReverseDir only between a reset and the first move.
//
// Replies are checked before they are believed: a frame whose checksum or
// digits are wrong is dropped (and logged), and the buffer resynchronises at
// the next "F", so line noise never moves the position.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "focuser/position_focus_control.h"

namespace kv {

inline constexpr std::size_t kRfFrameLength = 9;
inline constexpr int kRfMaxFramedPosition = 99999;
inline constexpr int kRfStopCharacters = 97;
inline constexpr int kRfOpenSettleMs = 500;
inline constexpr int kRfResetSettleMs = 250;
inline constexpr int kRfFrameGapMs = 50;
// How long a move waits for the replies to the opening queries.
inline constexpr int kRfOpeningWaitMs = 1000;

class TRFFocusControl : public TPositionFocusControl {
public:
    explicit TRFFocusControl(IDialogs& dialogs, IClock& clock = DefaultClock());
    ~TRFFocusControl() override;

    // Builds the nine frame bytes for an eight-character command.
    static std::array<char, kRfFrameLength> Frame(std::string_view command);

    // Inward: go to position 1; outward: go to the travel limit.
    void StartMove(bool inward, bool fast) override;
    // Sends characters that stop a moving focuser; Idle is true at once.
    void StopMove() override;
    // Go-to CurrentCount -/+ steps (+ with ReverseDir), kept within 1 ..
    // MaxTravel (99999 while unknown). Signals "GENERAL_DELAY_EVENT" at the
    // position reply; a zero-length move signals at once, once the first
    // position reply has come. Waits up to kRfOpeningWaitMs for the replies to
    // the opening queries (a go-to sent among them would be stopped by the
    // next query); refused (logged, shown later, the event signalled, nothing
    // sent) when the position is still unknown.
    void MoveBy(std::int32_t steps) override;
    // Makes the focuser's current position 0 and asks for it.
    void ResetPosition() override;
    // Frames and sends an eight-character command; other lengths are refused.
    void FocusCommand(const std::string& command) override;

    // Replies dropped because their checksum or digits were wrong.
    int RejectedReplies() const { return rejected_.load(); }

protected:
    void Handshake() override;
    void ReceiveChars(std::string_view chars) override;
    void Trigger(char c) override;
    std::int32_t CountFrom(std::int32_t current, std::int32_t zero) const override { return Sense() * (current - zero); }

private:
    bool AwaitOpeningReplies();
    // +1 when CTSCount grows with the focuser's position, -1 when it shrinks.
    int Sense() const { return ReverseDir() ? 1 : -1; }
    void ParseReplies();
    void HandleReply(const std::string& reply);
    void SendFrame(std::string_view command);
    void SendGoTo(std::int64_t destination);

    std::array<char, kRfFrameLength> frame_{};
    std::atomic<bool> opening_{false};  // from a reset until the last opening query is answered
    std::atomic<int> rejected_{0};
};

}  // namespace kv
