// The scripting interface on the session bus: one object per subsystem, each
// with typed methods and signals, so a shell script (kessivanectl) or another
// program can drive the focuser, take focus frames and run the focusing
// procedures of a running Kessivane. docs/scripting.md describes it.
//
// Every method runs on the GUI thread and returns at once; a call that must
// wait for the devices (a focus frame) answers later, so the window never
// waits for a script and a script never sees a half-done state.
#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QVariantMap>
#include <QObject>
#include <QString>
#include <optional>

class TMainForm;
class QTimer;

namespace scripting {

inline constexpr const char* kService = "org.kessivane.Kessivane";
inline constexpr const char* kFocuserPath = "/org/kessivane/Focuser";
inline constexpr const char* kCameraPath = "/org/kessivane/Camera";
inline constexpr const char* kFocusingPath = "/org/kessivane/Focusing";
inline constexpr const char* kErrorNotReady = "org.kessivane.Error.NotReady";
inline constexpr const char* kErrorBusy = "org.kessivane.Error.Busy";
inline constexpr const char* kErrorFailed = "org.kessivane.Error.Failed";
inline constexpr const char* kErrorInvalid = "org.kessivane.Error.InvalidArgument";

// Figures of one focus frame, by name (FWHM, HFD, xFWHM, yFWHM, Peak, FOM),
// each a double: a{sv} on the bus, which every D-Bus binding reads.
using Figures = QVariantMap;

}  // namespace scripting

class TFocuserService : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kessivane.Focuser")
public:
    explicit TFocuserService(TMainForm& form, QObject* parent = nullptr);

public slots:
    int Position();
    // The focuser's own absolute position, beside the read-out's count: for
    // focusers that keep one (RoboFocus, Optec, a device-server focuser with
    // an absolute position); NotReady for a hub focuser, which only counts
    // from its last reset.
    int AbsolutePosition();
    void MoveTo(int position);
    void MoveBy(int steps);
    void Halt();
    bool Idle();
    // The average of the hub's recent readings, in degrees Celsius.
    double Temperature();

signals:
    // A programmed move has ended; the position shown.
    void MoveFinished(int position);

private:
    bool Ready();
    TMainForm& form_;
};

class TCameraService : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kessivane.Camera")
public:
    TCameraService(TMainForm& form, QDBusConnection bus, QObject* parent = nullptr);

public slots:
    // Takes one focus frame around the selected star and answers with its figures.
    QVariantMap TakeFocusFrame();

signals:
    void FocusFrameTaken(const QVariantMap& figures);

private:
    void FrameShown();
    TMainForm& form_;
    QDBusConnection bus_;
    QDBusMessage pending_;
    bool waiting_ = false;
    QTimer* timeout_ = nullptr;
};

class TFocusingService : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kessivane.Focusing")
public:
    explicit TFocusingService(TMainForm& form, QObject* parent = nullptr);

public slots:
    // Starts an auto focus with this initial step (one of the Auto Focus
    // page's choices) by the method chosen on the page; Progress,
    // AutoFocusFinished and Finished follow.
    void StartAutoFocus(int initialStep);
    // The same by `method`: "golden" (golden section) or "fit" (curve fit);
    // the page's method is set to it, as a user would.
    void StartAutoFocus(int initialStep, const QString& method);
    // Starts a scan: from `start` steps, `steps` increments of `increment`.
    void StartScan(int start, int increment, int steps);
    void Cancel();
    bool Running();

signals:
    // procedure is "autofocus" or "scan".
    void Progress(const QString& procedure, int step, int position, double fom);
    void Finished(const QString& procedure, bool completed, int position, double fom, const QString& message);
    // Sent just before an auto focus's Finished, with what that signal has no
    // room for (docs/scripting.md lists the keys): the method, frames used,
    // the focuser's absolute position where it has one, and for a curve fit
    // R^2, the model and its parameters.
    void AutoFocusFinished(const QVariantMap& details);

private:
    bool CanStart();
    // methodItem: the page's method item, or nullopt to keep the page's choice.
    void Start(int initialStep, std::optional<int> methodItem);
    TMainForm& form_;
};

// Registers the objects under kService on `connection`; false (with the reason
// in `error`) when the bus or the name is not available. The objects live as
// long as `parent`.
bool RegisterScripting(TMainForm& form, QDBusConnection connection, QObject* parent, QString* error = nullptr);
