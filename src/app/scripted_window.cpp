#include "app/scripted_window.h"

#include "focuser/focus_control.h"

std::optional<scripting::Refusal> scripting::MoveRefusal(const MoveGuards& now, MoveUnderWay underWay) {
    if (!now.allowed) return Refusal{kErrorNotAllowed, QString::fromLatin1(kNotAllowedText)};
    const kv::TFocusControl* focuser = now.focuser;
    if (focuser == nullptr || !now.portOpen) {
        return Refusal{kErrorNotReady, QStringLiteral("The focuser is not connected")};
    }
    // A procedure's own move would be cut short under it, and it would go on
    // measuring where the focuser never stood.
    if (now.procedureRunning) return Refusal{kErrorBusy, QStringLiteral("A scan or an auto focus is running")};
    if (underWay == MoveUnderWay::Refuse && !focuser->GetIdle()) {
        return Refusal{kErrorBusy, QStringLiteral("The focuser is moving")};
    }
    return std::nullopt;
}
