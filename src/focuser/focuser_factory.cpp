#include "focuser/focuser_factory.h"

#include "focuser/indi_focus_control.h"
#include "focuser/j_focus_control.h"
#include "focuser/o_focus_control.h"
#include "focuser/rf_focus_control.h"

namespace kv {
namespace {

// Optec steps are much finer than a pulse-counted motor's codes, hence the wider
// ranges; its driver never moves more than 7000 steps, which the ±3500 move
// range keeps it within.
constexpr FocuserKindControls kJmi{
    true, "Focuser Position", -250, 250, -200, 200, -100, 5, 50, 20,
    "In+", "Out-", true, true, "Updating focuser parameters"};
constexpr FocuserKindControls kRoboFocus{
    false, "Focuser Position", -400, 400, -200, 200, -100, 5, 50, 20,
    "In+", "Out-", false, false, "Updating focuser parameters"};
constexpr FocuserKindControls kOptec{
    false, "Optec Focuser Position", -3500, 3500, -1000, 1000, -500, 25, 250, 100,
    "In-", "Out+", false, false, "Updating Optec focuser parameters"};
// The server's driver sets the pace, so the motor timing group stays hidden;
// positions are the server's absolute steps, in the wide range of fine-stepping focusers.
constexpr FocuserKindControls kIndi{
    false, "Focuser Position", -5000, 5000, -1000, 1000, -500, 25, 250, 100,
    "In-", "Out+", false, true, "Updating focuser parameters"};

}  // namespace

const FocuserKindControls* ControlsForKind(FocuserKind kind) {
    switch (kind) {
        case FocuserKind::JMI: return &kJmi;
        case FocuserKind::RoboFocus: return &kRoboFocus;
        case FocuserKind::Optec: return &kOptec;
        case FocuserKind::Indi: return &kIndi;
        case FocuserKind::Unknown: break;
    }
    return nullptr;
}

std::unique_ptr<TFocusControl> CreateFocusControl(FocuserKind kind, IDialogs& dialogs, IClock& clock) {
    std::unique_ptr<TFocusControl> control;
    switch (kind) {
        case FocuserKind::JMI: control = std::make_unique<TJFocusControl>(dialogs, clock); break;
        case FocuserKind::RoboFocus: control = std::make_unique<TRFFocusControl>(dialogs, clock); break;
        case FocuserKind::Optec: control = std::make_unique<TOFocusControl>(dialogs, clock); break;
        case FocuserKind::Indi: control = std::make_unique<TIndiFocusControl>(dialogs, clock); break;
        case FocuserKind::Unknown: return nullptr;
    }
    control->SetJMIFlag(ControlsForKind(kind)->jmiFlag);
    return control;
}

ThreadPriority NudgePriorityFromIndex(int index) {
    switch (index) {
        case 1: return ThreadPriority::Highest;
        case 2: return ThreadPriority::TimeCritical;
        default: return ThreadPriority::Normal;
    }
}

}  // namespace kv
