// What a program that drives the window from outside (a script over the
// session bus, the hub companion) reaches beyond a page's context, and the
// guards its moves pass. Takes nothing from the window's frame: the window
// implements TScriptedWindow, and the scripting objects and the hub
// companion's handling see only this.
#pragma once

#include <QObject>
#include <QString>
#include <optional>

#include "app/page_context.h"

class TFocusingView;
class TRefocusWatch;
namespace kv {
class DeferredMessageQueue;
class TFocusControl;
}  // namespace kv

namespace scripting {

inline constexpr const char* kService = "org.kessivane.Kessivane";
inline constexpr const char* kFocuserPath = "/org/kessivane/Focuser";
inline constexpr const char* kCameraPath = "/org/kessivane/Camera";
inline constexpr const char* kFocusingPath = "/org/kessivane/Focusing";
inline constexpr const char* kRefocusPath = "/org/kessivane/Refocus";
inline constexpr const char* kErrorNotReady = "org.kessivane.Error.NotReady";
inline constexpr const char* kErrorBusy = "org.kessivane.Error.Busy";
inline constexpr const char* kErrorFailed = "org.kessivane.Error.Failed";
inline constexpr const char* kErrorInvalid = "org.kessivane.Error.InvalidArgument";
inline constexpr const char* kErrorNotAllowed = "org.kessivane.Error.NotAllowed";
inline constexpr const char* kNotAllowedText =
    "Kessivane does not let other programs control the focuser: tick \"Allow other programs to control the "
    "focuser\" on its Settings page (Device/Ports tab)";

// What the guards read, as the window stands now.
struct MoveGuards {
    bool allowed = false;  // "Allow other programs to control the focuser"
    const kv::TFocusControl* focuser = nullptr;
    bool portOpen = false;
    bool procedureRunning = false;  // a scan or an auto focus
};
// Why a move another program asks for may not be made now: the error name a
// script is answered with, and the words for the log and for the asker.
struct Refusal {
    const char* error;
    QString text;
};
// What to make of a focuser already moving. A script's move takes over (the
// move it ends reports "replaced" to whoever started it); the hub companion
// learns nothing of a move it cut short, so its move waits for the focuser.
enum class MoveUnderWay { Replace, Refuse };
// The guards every move from another program passes, scripted or from the
// hub companion: the user's permission, a connected focuser, no scan or auto
// focus running, read from the window as it stands. Nothing changes; nullopt
// when the move may go ahead.
std::optional<Refusal> MoveRefusal(const MoveGuards& now, MoveUnderWay underWay);

}  // namespace scripting

// The two moments of the window a program driving it must hear of.
class TWindowNotices : public QObject {
    Q_OBJECT
signals:
    // The focuser controller is about to be destroyed or replaced.
    void focuserGoing();
    // The window has agreed to close and is shutting down.
    void closing();
};

class TScriptedWindow : public TSettingsContext {
public:
    // "Allow other programs to control the focuser": the scripting interface
    // and the hub companion's move codes obey it.
    virtual bool AllowOtherPrograms() const = 0;
    // The messages engine objects deferred, not yet shown.
    virtual kv::DeferredMessageQueue& DeferredMessages() = 0;
    // The focus scan and the auto-focus search, with the worker that runs them.
    virtual TFocusingView* Focusing() const = 0;
    // The refocus triggers' settings, rules and the refocus they start.
    virtual TRefocusWatch* RefocusWatch() const = 0;
    virtual TWindowNotices& Notices() = 0;
};
