#include "shell/window_rules.h"

namespace kv {

std::string HelpFileErrorText(const std::string& path, bool fileMissing) {
    if (fileMissing) {
        return std::string(kHelpFileError) + "\n\nThe user's guide " + path +
               " is missing. Reinstalling Kessivane puts it back.";
    }
    return std::string(kHelpFileError) + "\n\nNo PDF viewer opened the user's guide " + path +
           ". Install one, for example the Debian package evince or okular (sudo apt install evince), "
           "or open " + path + " in any PDF viewer.";
}

PageLeave LeavingPage(bool manualFocusPage, bool tempControlPage, const PageGuardState& state) {
    if (manualFocusPage && state.continuousFocus) return {false, kStopContinuousFocusWarning};
    if (tempControlPage && state.autoCompensation) return {true, kCompensationUnderwayWarning};
    return {};
}

InterruptAction InterruptReportAction(std::int64_t wparam, std::int64_t lparam, bool isWin9x, bool isSbig,
                                      int interfaceType) {
    if (wparam != kInterruptReportKey || !isWin9x || !isSbig || interfaceType == 2) return InterruptAction::None;
    if (lparam == 0) return InterruptAction::InterruptsOn;
    if (lparam == 1) return InterruptAction::InterruptsOff;
    return InterruptAction::None;
}

}  // namespace kv
