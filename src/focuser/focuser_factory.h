// Choosing and creating the focuser controller for a catalogue model, and what
// the main window shows for each kind of focuser.
//
// The kind comes from the model's name (FocuserKindFromName). Every decision
// the window makes from the kind lives here so that it is one table, tested
// without a display; the window only copies these values into its controls.
#pragma once

#include <memory>

#include "focuser/focus_control.h"
#include "platform/clock.h"
#include "platform/dialogs.h"
#include "platform/worker_thread.h"
#include "shell/focuser_catalogue.h"

namespace kv {

// What the window shows for each focuser kind.
struct FocuserKindControls {
    bool jmiFlag;
    const char* positionCaption;                     // FocusPositionLabel
    int moveMin, moveMax;                            // MoveToSE and MoveBySE
    int scanStartMin, scanStartMax, scanStartValue;  // StartScanSE
    int scanStepMin, scanStepMax, scanStepValue;     // ScanStepSE
    const char* inCaption;                           // Focus_InBtn
    const char* outCaption;                          // Focus_OutBtn
    bool parametersGroupVisible;                     // FocuserParametersGB
    // False: TempControl hidden and GetTempTimer, TCDetectTimer, SecondTimer
    // stopped. True: the page shows when TCEnableCB is checked.
    bool temperaturePage;
    const char* updateTrace;  // trace line written when the controller is replaced
};

// The row of `kind`; nullptr for FocuserKind::Unknown, which leaves the
// current controller and every one of these controls as they are.
const FocuserKindControls* ControlsForKind(FocuserKind kind);

// A new controller of the kind's class (TJFocusControl, TRFFocusControl,
// TOFocusControl, TIndiFocusControl) with JMIFlag set from the kind's row, port closed.
// nullptr for Unknown.
std::unique_ptr<TFocusControl> CreateFocusControl(FocuserKind kind, IDialogs& dialogs,
                                                  IClock& clock = DefaultClock());

// PriorityRG index: 0 "Normal", 1 "High", 2 "Time Critical"; anything else Normal.
ThreadPriority NudgePriorityFromIndex(int index);

}  // namespace kv
