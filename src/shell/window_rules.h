// The main window's own rules, kept apart from its widgets: what leaving a page
// does, the interrupt-state reports of camera drivers, and the codes exchanged
// with the hub companion program.
#pragma once

#include <cstdint>
#include <string>

namespace kv {

inline constexpr const char* kStopContinuousFocusWarning = "Please stop Continous Focus before taking other action";
inline constexpr const char* kCompensationUnderwayWarning = "Temperature compensation is underway";
inline constexpr const char* kHelpFileName = "Kessivane and Kantrel User's Guides.pdf";
inline constexpr const char* kHelpFileError = "Could not load Help File";
// What follows that line: where the guide is and how to read it anyway. A
// missing file says so; otherwise no viewer took it (none installed, or the
// desktop's opener missing), and the user is told which package gives one.
std::string HelpFileErrorText(const std::string& path, bool fileMissing);

// Asked before closing while a procedure runs (Yes quits, No keeps it running).
inline constexpr const char* kCloseDuringScanText = "A scan is running. Stop it and quit?";
inline constexpr const char* kCloseDuringAutoFocusText = "An auto focus is running. Stop it and quit?";
inline constexpr const char* kCloseDuringCompensationText =
    "Automatic temperature compensation is running. Stop it and quit?";

// What runs while the user leaves a page; each later subsystem answers its own part.
struct PageGuardState {
    bool continuousFocus = false;   // the camera takes focus frames one after another
    bool autoCompensation = false;  // automatic temperature compensation is switched on
};

struct PageLeave {
    bool allowed = true;
    const char* warning = nullptr;  // shown (with a beep) before the change is refused or made
};

// Leaving the Manual Focus page while continuous focus runs is refused: the
// interlock and the read-out belong to that page. Leaving Temp Control while
// compensation runs is allowed, with a reminder that it goes on.
PageLeave LeavingPage(bool manualFocusPage, bool tempControlPage, const PageGuardState& state);

// "KV_MSG" / "QX_KV_MSG": a camera driver reports the hardware interrupts off
// (the pulse-counting focuser must not move) or on again.
enum class InterruptAction { None, InterruptsOn, InterruptsOff };
inline constexpr std::int64_t kInterruptReportKey = 1234;
// Only reports carrying the key, on a system where drivers turn interrupts off
// (the old Windows family), from a camera of that maker not on interface 2.
InterruptAction InterruptReportAction(std::int64_t wparam, std::int64_t lparam, bool isWin9x, bool isSbig,
                                      int interfaceType);

// "KANTREL_MESSAGE" codes (first parameter; the second carries the value).
enum KantrelCode : int {
    kKantrelAskPosition = 1,
    kKantrelPosition = 2,
    kKantrelMoveTo = 3,
    kKantrelMoveBy = 4,
    kKantrelAskIdle = 5,
    kKantrelIdle = 6,
    kKantrelCompensationMove = 7,
    kKantrelReset = 8,
    // Ours, beyond the hub's own set (a companion that knows only those
    // passes it over): the answer to a move (3 or 4). The value is the asker's
    // process id, from its message; the text is empty when the move was
    // started, else why it was refused.
    kKantrelMoveAnswer = 9,
};

// The idle state as the companion reads it: the low seven bits.
inline constexpr std::int64_t KantrelIdleValue(int getIdle) { return getIdle & 0x7F; }

}  // namespace kv
