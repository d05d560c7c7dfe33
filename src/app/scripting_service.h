// The scripting interface on the session bus: one object per subsystem, each
// with typed methods and signals, so a shell script (kessivanectl) or another
// program can drive the focuser, take focus frames and run the focusing
// procedures of a running Kessivane. docs/scripting.md describes it.
//
// Every method runs on the GUI thread and returns at once; a call that must
// wait for the devices (a focus frame) answers later, so the window never
// waits for a script and a script never sees a half-done state. Focuser
// commands go to the serial line off the GUI thread, one of each kind at a
// time: a call that arrives while one of its kind is being served is answered
// Busy, so no queue builds up behind a flood of calls.
//
// With "Allow other programs to control the focuser" off every call that
// moves, stops or measures is refused (NotAllowed); the read-only calls and
// the signals stay.
#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <QList>
#include <QVariantMap>
#include <QObject>
#include <QString>
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

class TMainForm;
class QTimer;

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

// Figures of one focus frame, by name (FWHM, HFD, xFWHM, yFWHM, Peak, FOM),
// each a double, with Star (b) and, when there is no figure, Status (s):
// a{sv} on the bus, which every D-Bus binding reads.
using Figures = QVariantMap;
// Stars found in the main image, brightest first, each by name (x, y, peak,
// flux, hfd, fwhm, snr, elongation as doubles; saturated, nearEdge, crowded,
// elongated, usable as booleans): aa{sv} on the bus.
using StarList = QList<QVariantMap>;

}  // namespace scripting

// Device work of the scripting calls, off the GUI thread: one worker per kind
// of call, each serving one call at a time.
class TDeviceCalls {
public:
    enum Kind { Move, Halt, kKinds };
    TDeviceCalls() = default;
    ~TDeviceCalls() { Close(); }
    TDeviceCalls(const TDeviceCalls&) = delete;
    TDeviceCalls& operator=(const TDeviceCalls&) = delete;

    // Runs `work` on the kind's worker; false (nothing run) while a call of
    // that kind is still served, or after Close.
    bool Run(Kind kind, std::function<void()> work);
    // Waits for the calls being served; with `forGood`, Run refuses from now on.
    void Close(bool forGood = true);

private:
    std::mutex mutex_;
    bool closed_ = false;
    std::array<std::thread, kKinds> threads_;
    std::array<std::atomic<bool>, kKinds> busy_{};
};

namespace scripting {

// How a scripted move ended: MoveEnded's and the waiting calls' "ending".
inline constexpr const char* kArrived = "arrived";    // at the target
inline constexpr const char* kHalted = "halted";      // Halt, or the window's Stop
inline constexpr const char* kReplaced = "replaced";  // another move took the focuser
inline constexpr const char* kStalled = "stalled";    // stopped by the motor watch, or short of the target
inline constexpr const char* kRefused = "refused";    // the focuser did not take the move
inline constexpr const char* kLost = "lost";          // the focuser's connection went

// A focuser that has stood idle and still this long has ended its move
// (a coasting motor counts on, a position report may come late).
inline constexpr int kMoveSettleMs = 500;
// How long a move's end waits for a message its driver deferred to reach the
// screen, so that the reason travels with the ending.
inline constexpr int kMoveToldWaitMs = 3000;
inline constexpr int kMoveWatchMs = 50;

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
// focus running. Nothing changes; nullopt when the move may go ahead.
std::optional<Refusal> MoveRefusal(TMainForm& form, MoveUnderWay underWay);

}  // namespace scripting

class TFocuserService : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kessivane.Focuser")
public:
    explicit TFocuserService(TMainForm& form, QObject* parent = nullptr);
    ~TFocuserService() override;
    // Before the focuser goes: the calls being served end first, and a
    // scripted move still watched ends as lost.
    void FocuserGoing();
    // The window closes: no call is served any more.
    void Close();

public slots:
    int Position();
    // The focuser's own absolute position, beside the read-out's count: for
    // focusers that keep one (RoboFocus, Optec, a device-server focuser with
    // an absolute position); NotReady for a hub focuser, which only counts
    // from its last reset.
    int AbsolutePosition();
    // Answer once the focuser has the command; MoveEnded tells how it ended.
    void MoveTo(int position);
    void MoveBy(int steps);
    // The same, answered when the move has ended, with how (MoveEnded's map).
    QVariantMap MoveToAndWait(int position);
    QVariantMap MoveByAndWait(int steps);
    void Halt();
    // The focuser's own idle: false while it moves, whoever moved it. A scan
    // or an auto focus stands still between its moves; Running tells of them.
    bool Idle();
    // The average of the hub's recent readings, in degrees Celsius; NotReady
    // until one has been read (0.0 is a reading like any other).
    double Temperature();

signals:
    // A programmed move has ended; the position shown.
    void MoveFinished(int position);
    // A move a script asked for has ended: position (i, the read-out),
    // target (i), ending (s: arrived, halted, replaced, stalled, refused,
    // lost) and reason (s, empty on arrival).
    void MoveEnded(const QVariantMap& ending);

protected:
    // Boxes shown while a scripted move runs: a driver's refusal or stall
    // message is the move's reason.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // A scripted move being watched to its end.
    struct Watched {
        std::uint64_t serial = 0;
        std::uint64_t ticket = 0;  // the one its MoveBy takes
        std::uint64_t halts = 0;
        std::int32_t start = 0, target = 0;
        bool issued = false;  // the worker has handed it to the focuser
        bool moved = false;   // the focuser was seen busy
        bool haltAsked = false;
        qint64 stillSinceMs = -1;
        std::int32_t stillAt = 0;
        QStringList told;
        QList<QDBusMessage> waiters;
        QDBusConnection bus{QString()};  // the waiters' (replies go out off any call)
    };
    bool Ready();
    bool Allowed();
    // The checks every move makes, then the move; `wait`: the reply comes at its end.
    void StartMove(bool to, int value, bool wait);
    void WatchMove();
    void EndMove(const char* ending, QString reason);
    // Replies to the current call when `work` has run off the GUI thread;
    // Busy when a call of the kind is still served.
    void Serve(TDeviceCalls::Kind kind, std::function<void()> work);
    TMainForm& form_;
    TDeviceCalls calls_;
    std::optional<Watched> move_;
    std::uint64_t moveSerial_ = 0;
    QTimer* moveWatch_ = nullptr;
    QElapsedTimer clock_;
};

class TCameraService : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kessivane.Camera")
public:
    TCameraService(TMainForm& form, QDBusConnection bus, QObject* parent = nullptr);

public slots:
    // Takes one focus frame around the selected star and answers with its figures.
    QVariantMap TakeFocusFrame();
    // Takes a main image as Get Image does and answers once it is in, with
    // its Width, Height, Min, Max and Avg.
    QVariantMap TakeImage();
    // The stars of the main image (scripting::StarList).
    QList<QVariantMap> FindStars();
    // Selects the star at (x, y) as a click does; refused with the reason.
    void SelectStar(int x, int y);
    // Picks and selects the best star for focusing, as Pick Star does, and
    // answers with it; refused with why none qualifies.
    QVariantMap PickStar();

signals:
    void FocusFrameTaken(const QVariantMap& figures);

public:
    // The window closes: a frame or an image still awaited is answered now.
    void Close();

private:
    void FrameShown();
    void ImageShown();
    // The checks every call that takes a picture makes; false once refused.
    bool CanExpose();
    bool Allowed();
    TMainForm& form_;
    QDBusConnection bus_;
    QDBusMessage pending_;
    bool waiting_ = false;
    QTimer* timeout_ = nullptr;
    QDBusMessage pendingImage_;
    bool waitingImage_ = false;
    QTimer* imageTimeout_ = nullptr;
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
    // The same, each reading measuring `measure`: "star" (the focus star)
    // or "field" (the median over the whole field's stars); the page's
    // choice is set to it. An empty `method` keeps the page's method.
    void StartAutoFocus(int initialStep, const QString& method, const QString& measure);
    // Starts a scan: from `start` steps, `steps` increments of `increment`.
    void StartScan(int start, int increment, int steps);
    void Cancel();
    bool Running();
    // The Auto Focus page's optics (docs/scripting.md lists the keys): the
    // focal ratio and step size as its boxes hold them (0: unset) and the
    // critical focus zone in steps they give, when they give one.
    QVariantMap Optics();
    // Sets the boxes given (focalRatio, stepSize), as the user would; each
    // changed one is kept in the settings file. An unknown key or a value
    // out of the box's range refuses the whole call, changing nothing.
    void SetOptics(const QVariantMap& values);
    // The optics the last whole-field curve fit read, as the Auto Focus
    // page's map shows them (docs/scripting.md lists the keys); NotReady
    // until a whole-field run has given a report.
    QVariantMap Inspect();

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
    // Without a refusal: true. Checks only, nothing changes.
    bool CanStart();
    // methodItem: the page's method item, or nullopt to keep the page's choice.
    void Start(int initialStep, std::optional<int> methodItem, std::optional<int> measureItem = std::nullopt);
    bool Allowed();
    TMainForm& form_;
};

class TRefocusService : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kessivane.Refocus")
public:
    explicit TRefocusService(TMainForm& form, QObject* parent = nullptr);

public slots:
    // The refocus triggers as the Settings page shows them (docs/scripting.md
    // lists the keys), and whether the rules are armed.
    QVariantMap Triggers();
    // Changes the keys given, as the user would; the rest stay. An unknown
    // key or a value out of range refuses the whole call, changing nothing.
    void SetTriggers(const QVariantMap& values);
    // An HFD (pixels) the caller measured on its own frames, for the HFD
    // rule: compared only with the caller's earlier reports.
    void ReportHfd(double hfd);

signals:
    // A trigger fired and the refocus is being started: the rule ("time",
    // "temperature", "hfd") and the reason with its figures.
    void Triggered(const QString& rule, const QString& reason);

private:
    bool Allowed();
    TMainForm& form_;
};

// Registers the objects under kService on `connection`; false (with the reason
// in `error`) when the bus or the name is not available. The objects live as
// long as `parent`; when the window closes they leave the bus, and calls
// still queued for them are answered by the bus as for a missing object.
bool RegisterScripting(TMainForm& form, QDBusConnection connection, QObject* parent, QString* error = nullptr);
