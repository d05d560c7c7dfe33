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

#include "app/scripted_window.h"
#include "app/scripting_focusing.h"

class QTimer;

namespace scripting {

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


}  // namespace scripting

class TFocuserService : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kessivane.Focuser")
public:
    explicit TFocuserService(TScriptedWindow& form, QObject* parent = nullptr);
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
    TScriptedWindow& form_;
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
    TCameraService(TScriptedWindow& form, QDBusConnection bus, QObject* parent = nullptr);

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
    TScriptedWindow& form_;
    QDBusConnection bus_;
    QDBusMessage pending_;
    bool waiting_ = false;
    QTimer* timeout_ = nullptr;
    QDBusMessage pendingImage_;
    bool waitingImage_ = false;
    QTimer* imageTimeout_ = nullptr;
};

// Registers the objects under kService on `connection`; false (with the reason
// in `error`) when the bus or the name is not available. The objects live as
// long as `parent`; when the window closes they leave the bus, and calls
// still queued for them are answered by the bus as for a missing object.
bool RegisterScripting(TScriptedWindow& form, QDBusConnection connection, QObject* parent, QString* error = nullptr);
