#include "app/scripting_service.h"

#include "app/scripting_calls.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDBusMetaType>
#include <QDBusVariant>
#include <QDoubleSpinBox>
#include <QEvent>
#include <QMessageBox>
#include <QSlider>
#include <QSpinBox>
#include <QStringList>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/aberration_panel.h"
#include "app/auto_focus_page.h"
#include "app/exposure_page.h"
#include "app/focusing_view.h"
#include "app/radio_group.h"
#include "app/manual_focus_page.h"
#include "app/read_out_panel.h"
#include "app/refocus_watch.h"
#include "camera/camera_control.h"
#include "camera/image_object.h"
#include "focusing/focus_zone.h"
#include "shell/log_channel.h"
#include "shell/settings_store.h"
#include "focuser/focus_control.h"
#include "focuser/focuser_factory.h"
#include "focuser/indi_focus_control.h"
#include "focuser/j_focus_control.h"
#include "focuser/o_focus_control.h"
#include "focuser/rf_focus_control.h"

using scripting_calls::CloseNotices;
using scripting_calls::ControlsOf;
using scripting_calls::LogRefusal;
using scripting_calls::Q;

namespace {

// Longer than the longest focus exposure the camera controller waits for.
constexpr int kFocusFrameAnswerMs = 60000;

// A main image's exposure and download, and then some: past this the image is
// reported lost rather than awaited for ever.
constexpr int kImageAnswerMarginMs = 60000;

QVariantMap StarOf(const kv::FoundStar& s) {
    return {{QStringLiteral("x"), s.x},
            {QStringLiteral("y"), s.y},
            {QStringLiteral("peak"), s.peak},
            {QStringLiteral("flux"), s.flux},
            {QStringLiteral("hfd"), s.hfd},
            {QStringLiteral("fwhm"), s.fwhm},
            {QStringLiteral("snr"), s.snr},
            {QStringLiteral("elongation"), s.elongation},
            {QStringLiteral("saturated"), s.saturated},
            {QStringLiteral("nearEdge"), s.nearEdge},
            {QStringLiteral("crowded"), s.crowded},
            {QStringLiteral("elongated"), s.elongated},
            {QStringLiteral("usable"), s.Usable()}};
}

scripting::Figures FiguresOf(const kv::FocusReading& r) {
    scripting::Figures figures{{QStringLiteral("FWHM"), r.FWHM},   {QStringLiteral("HFD"), r.HFD},
                               {QStringLiteral("xFWHM"), r.xFWHM}, {QStringLiteral("yFWHM"), r.yFWHM},
                               {QStringLiteral("Peak"), static_cast<double>(r.Peak)}, {QStringLiteral("FOM"), r.FOM},
                               {QStringLiteral("Stars"), r.stars}};
    // Without a star, or with too few in the field, the numbers are no
    // figure: a script is told so, in words and as a flag.
    figures.insert(QStringLiteral("Star"), r.status == kv::StarStatus::Ok);
    if (r.status != kv::StarStatus::Ok) {
        figures.insert(QStringLiteral("Status"), QString::fromLatin1(kv::StarStatusText(r.status)));
    }
    return figures;
}

}  // namespace

// ---------------------------------------------------------------- device calls

bool TDeviceCalls::Run(Kind kind, std::function<void()> work) {
    std::lock_guard lock(mutex_);
    if (closed_ || busy_[kind].exchange(true)) return false;
    std::thread& t = threads_[kind];
    if (t.joinable()) t.join();  // it has ended: busy was clear
    t = std::thread([this, kind, work = std::move(work)] {
        work();
        busy_[kind].store(false);
    });
    return true;
}

void TDeviceCalls::Close(bool forGood) {
    std::lock_guard lock(mutex_);
    if (forGood) closed_ = true;
    for (std::thread& t : threads_) {
        if (t.joinable()) t.join();
    }
}

// ---------------------------------------------------------------- focuser

TFocuserService::TFocuserService(TScriptedWindow& form, QObject* parent) : QObject(parent), form_(form) {
    connect(form_.ManualFocusPage(), &TManualFocusPage::moveEnded, this, &TFocuserService::MoveFinished);
    moveWatch_ = new QTimer(this);
    moveWatch_->setInterval(scripting::kMoveWatchMs);
    connect(moveWatch_, &QTimer::timeout, this, &TFocuserService::WatchMove);
    clock_.start();
    // The window's Stop halts a scripted move as Halt does.
    if (auto* stop = form_.Window().findChild<QAbstractButton*>(QStringLiteral("StopMain"))) {
        connect(stop, &QAbstractButton::clicked, this, [this] {
            if (move_) move_->haltAsked = true;
        });
    }
}

TFocuserService::~TFocuserService() { calls_.Close(); }

void TFocuserService::FocuserGoing() {
    calls_.Close(false);
    if (move_) EndMove(scripting::kLost, QStringLiteral("The focuser was disconnected during the move"));
}

void TFocuserService::Close() {
    calls_.Close();
    if (!move_) return;
    moveWatch_->stop();
    qApp->removeEventFilter(this);
    const Watched m = *std::exchange(move_, std::nullopt);
    for (const QDBusMessage& waiter : m.waiters) {
        QDBusConnection(m.bus).send(waiter.createErrorReply(Q(scripting::kErrorFailed), QStringLiteral("Kessivane is closing")));
    }
}

bool TFocuserService::Ready() {
    if (form_.FocusControl() != nullptr && form_.State().portOpen) return true;
    sendErrorReply(Q(scripting::kErrorNotReady), QStringLiteral("The focuser is not connected"));
    return false;
}

bool TFocuserService::Allowed() {
    if (form_.AllowOtherPrograms()) return true;
    sendErrorReply(Q(scripting::kErrorNotAllowed), Q(scripting::kNotAllowedText));
    return false;
}

void TFocuserService::Serve(TDeviceCalls::Kind kind, std::function<void()> work) {
    setDelayedReply(true);
    QDBusMessage reply = message().createReply();
    QDBusConnection bus = connection();
    // QDBusConnection::send is thread-safe: the worker answers when the device has the command.
    if (!calls_.Run(kind, [work = std::move(work), reply, bus]() mutable {
            work();
            bus.send(reply);
        })) {
        bus.send(message().createErrorReply(
            Q(scripting::kErrorBusy), kind == TDeviceCalls::Halt ? QStringLiteral("A halt is still being sent")
                                                                 : QStringLiteral("A move is still being started")));
        return;
    }
    CloseNotices();
}

int TFocuserService::Position() { return form_.ReadOutPanel()->PositionValue(); }

int TFocuserService::AbsolutePosition() {
    if (!Ready()) return 0;
    if (const std::optional<std::int32_t> absolute = AbsolutePositionOf(form_.FocusControl())) return *absolute;
    sendErrorReply(Q(scripting::kErrorNotReady),
                   QStringLiteral("This focuser has no absolute position: it counts from where it stood at the last "
                                  "reset (use Position)"));
    return 0;
}

void TFocuserService::MoveTo(int position) { StartMove(true, position, false); }
void TFocuserService::MoveBy(int steps) { StartMove(false, steps, false); }
QVariantMap TFocuserService::MoveToAndWait(int position) {
    StartMove(true, position, true);
    return {};
}
QVariantMap TFocuserService::MoveByAndWait(int steps) {
    StartMove(false, steps, true);
    return {};
}

void TFocuserService::StartMove(bool to, int value, bool wait) {
    using scripting::MoveUnderWay;
    if (const std::optional<scripting::Refusal> refused = scripting::MoveRefusal(
            {form_.AllowOtherPrograms(), form_.FocusControl(), form_.State().portOpen, form_.ProcedureRunning()},
            MoveUnderWay::Replace)) {
        sendErrorReply(Q(refused->error), refused->text);
        return;
    }
    kv::TFocusControl* focuser = form_.FocusControl();
    // The window's Move To and Move By boxes hold the focuser kind's range; a
    // script is held to the same, so a slip cannot run a motor to its stop.
    if (const kv::FocuserKindControls* row = ControlsOf(focuser); row != nullptr &&
                                                               (value < row->moveMin || value > row->moveMax)) {
        const QString text = QStringLiteral("%1 %2 is outside %3..%4, the range of %5 for this focuser")
                                 .arg(to ? QStringLiteral("Position") : QStringLiteral("A move of"))
                                 .arg(value)
                                 .arg(row->moveMin)
                                 .arg(row->moveMax)
                                 .arg(to ? QStringLiteral("Move To") : QStringLiteral("Move By"));
        LogRefusal(message(), text);
        sendErrorReply(Q(scripting::kErrorInvalid), text);
        return;
    }
    Watched next;
    next.serial = ++moveSerial_;
    // Every move takes exactly one ticket, so the one after the last is this move's.
    next.ticket = focuser->MoveTicket() + 1;
    next.halts = focuser->HaltCount();
    next.start = focuser->CTSCount();
    next.target = to ? value : next.start + value;
    setDelayedReply(true);
    const QDBusMessage call = message();
    QDBusConnection bus = connection();
    const std::uint64_t serial = next.serial;
    const bool accepted = calls_.Run(TDeviceCalls::Move, [this, focuser, to, value, wait, call, bus, serial]() mutable {
        if (to) focuser->MoveTo(value);
        else focuser->MoveBy(value);
        if (!wait) bus.send(call.createReply());
        // The window outlives its workers: the destructor joins them first.
        QMetaObject::invokeMethod(this, [this, serial] {
            if (move_ && move_->serial == serial) move_->issued = true;
        }, Qt::QueuedConnection);
    });
    if (!accepted) {
        bus.send(call.createErrorReply(Q(scripting::kErrorBusy), QStringLiteral("A move is still being started")));
        return;
    }
    CloseNotices();
    form_.ManualFocusPage()->StopAnnouncer();
    form_.RefocusWatch()->MovedByHand();
    if (move_) {
        EndMove(scripting::kReplaced,
                QStringLiteral("Another scripted move took the focuser (to %1)").arg(next.target));
    }
    if (wait) next.waiters << call;
    next.bus = bus;
    move_ = std::move(next);
    qApp->installEventFilter(this);
    moveWatch_->start();
}

bool TFocuserService::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Show && move_) {
        if (auto* box = qobject_cast<QMessageBox*>(watched)) {
            if (box->icon() == QMessageBox::Critical || box->icon() == QMessageBox::Warning) move_->told << box->text();
        }
    }
    return QObject::eventFilter(watched, event);
}

void TFocuserService::WatchMove() {
    if (!move_ || !move_->issued) return;
    Watched& m = *move_;
    kv::TFocusControl* focuser = form_.FocusControl();
    auto told = [&](const QString& otherwise) {
        return m.told.isEmpty() ? otherwise : m.told.join(QLatin1Char(' '));
    };
    if (focuser == nullptr || !form_.State().portOpen) {
        EndMove(scripting::kLost, told(QStringLiteral("The focuser's connection was lost during the move")));
        return;
    }
    const std::int32_t at = focuser->CTSCount();
    if (focuser->MoveTicket() != m.ticket) {
        EndMove(scripting::kReplaced,
                QStringLiteral("Another move took the focuser (the window's controls, or another program)"));
        return;
    }
    const qint64 now = clock_.elapsed();
    if (!focuser->GetIdle()) {
        m.moved = true;
        m.stillSinceMs = -1;
        return;
    }
    if (m.stillSinceMs < 0 || at != m.stillAt) {
        m.stillSinceMs = now;
        m.stillAt = at;
        return;
    }
    const qint64 still = now - m.stillSinceMs;
    if (still < scripting::kMoveSettleMs) return;
    // A message the driver deferred is on its way to the screen: it is the reason.
    if (form_.DeferredMessages().Waiting() > 0 && still < scripting::kMoveSettleMs + scripting::kMoveToldWaitMs) return;
    const QString stands = QStringLiteral("it stands at %1").arg(at);
    if (focuser->HaltCount() != m.halts) {
        if (m.haltAsked) {
            EndMove(scripting::kHalted, QStringLiteral("Halted on request; ") + stands);
        } else {
            EndMove(scripting::kStalled, told(QStringLiteral("The motor watch stopped the move")) + QStringLiteral("; ") + stands);
        }
        return;
    }
    // A pulse-counted motor coasts after its last pulse by up to the model's stop factor.
    const std::int32_t tolerance = focuser->JMIFlag() ? std::max(0, focuser->StopFactor()) : 0;
    if (std::llabs(static_cast<long long>(at) - m.target) <= tolerance) {
        EndMove(scripting::kArrived, {});
    } else if (!m.moved && at == m.start) {
        EndMove(scripting::kRefused, told(QStringLiteral("The focuser did not start the move")) + QStringLiteral("; ") + stands);
    } else {
        EndMove(scripting::kStalled,
                told(QStringLiteral("The focuser stopped short of %1").arg(m.target)) + QStringLiteral("; ") + stands);
    }
}

void TFocuserService::EndMove(const char* ending, QString reason) {
    if (!move_) return;
    moveWatch_->stop();
    qApp->removeEventFilter(this);
    const Watched m = std::move(*move_);
    move_.reset();
    const QVariantMap answer{{QStringLiteral("position"), Position()},
                             {QStringLiteral("target"), m.target},
                             {QStringLiteral("ending"), Q(ending)},
                             {QStringLiteral("reason"), reason}};
    if (std::string_view(ending) != scripting::kArrived) {
        kv::WriteProgramLog("Scripting: the move to " + std::to_string(m.target) + " ended " + ending + ": " +
                            reason.toStdString());
    }
    QDBusConnection bus = m.bus;
    for (const QDBusMessage& waiter : m.waiters) bus.send(waiter.createReply(QVariant(answer)));
    emit MoveEnded(answer);
}

void TFocuserService::Halt() {
    if (!Allowed()) return;
    kv::TFocusControl* focuser = form_.FocusControl();
    if (focuser == nullptr) return;
    if (move_) move_->haltAsked = true;
    Serve(TDeviceCalls::Halt, [focuser] {
        focuser->CancelMovement();
        focuser->StopMove();
    });
}

bool TFocuserService::Idle() {
    if (!Ready()) return false;
    return form_.FocusControl()->GetIdle();
}

double TFocuserService::Temperature() {
    if (!Ready()) return 0.0;
    // The read-out keeps the average; asking the hub here would hold the
    // window for as long as the unit takes to answer.
    const std::optional<double> kept = kv::KeptTemperatureOf(form_.FocusControl());
    if (!kept) {
        sendErrorReply(Q(scripting::kErrorNotReady),
                       QStringLiteral("No temperature has been read (a hub focuser with its temperature unit and "
                                      "the Temp Control page opened once, or a device server's focuser that reports "
                                      "one, are needed)"));
        return 0.0;
    }
    return *kept;
}

// ---------------------------------------------------------------- camera

TCameraService::TCameraService(TScriptedWindow& form, QDBusConnection bus, QObject* parent)
    : QObject(parent), form_(form), bus_(std::move(bus)) {
    connect(form_.ExposurePage(), &TExposurePage::focusFrameShown, this, &TCameraService::FrameShown);
    connect(form_.ExposurePage(), &TExposurePage::imageShown, this, &TCameraService::ImageShown);
    timeout_ = new QTimer(this);
    timeout_->setSingleShot(true);
    timeout_->setInterval(kFocusFrameAnswerMs);
    connect(timeout_, &QTimer::timeout, this, [this] {
        if (!waiting_) return;
        waiting_ = false;
        LogRefusal(pending_, QStringLiteral("The focus frame did not arrive"));
        bus_.send(pending_.createErrorReply(Q(scripting::kErrorFailed), QStringLiteral("The focus frame did not arrive")));
    });
    imageTimeout_ = new QTimer(this);
    imageTimeout_->setSingleShot(true);
    connect(imageTimeout_, &QTimer::timeout, this, [this] {
        if (!waitingImage_) return;
        waitingImage_ = false;
        const QString text = QStringLiteral("The image did not arrive in %1 s: check the camera and its cable")
                                 .arg(imageTimeout_->interval() / 1000);
        LogRefusal(pendingImage_, text);
        bus_.send(pendingImage_.createErrorReply(Q(scripting::kErrorFailed), text));
    });
}

void TCameraService::Close() {
    const QString text = QStringLiteral("Kessivane is closing");
    if (waiting_) {
        waiting_ = false;
        timeout_->stop();
        bus_.send(pending_.createErrorReply(Q(scripting::kErrorFailed), text));
    }
    if (waitingImage_) {
        waitingImage_ = false;
        imageTimeout_->stop();
        bus_.send(pendingImage_.createErrorReply(Q(scripting::kErrorFailed), text));
    }
    // A star search a script waits on answers it with the same words.
    form_.ExposurePage()->CancelFindStars(text);
}

bool TCameraService::Allowed() {
    if (form_.AllowOtherPrograms()) return true;
    sendErrorReply(Q(scripting::kErrorNotAllowed), Q(scripting::kNotAllowedText));
    return false;
}

bool TCameraService::CanExpose() {
    auto refuse = [this](const char* error, const QString& text) {
        LogRefusal(message(), text);
        sendErrorReply(Q(error), text);
        return false;
    };
    kv::TCameraControl* camera = form_.CameraControl();
    if (camera == nullptr || !form_.State().cameraReady) return refuse(scripting::kErrorNotReady, QStringLiteral("The camera is not ready"));
    if (form_.Focusing()->Running()) return refuse(scripting::kErrorBusy, QStringLiteral("A scan or an auto focus is running"));
    if (waiting_ || waitingImage_ || camera->ContinuousFocus()) {
        return refuse(scripting::kErrorBusy, QStringLiteral("The camera is taking pictures already"));
    }
    if (form_.FocusControl() != nullptr && !form_.FocusControl()->GetIdle()) {
        return refuse(scripting::kErrorBusy, QStringLiteral("The focuser is moving"));
    }
    return true;
}

QVariantMap TCameraService::TakeFocusFrame() {
    if (!Allowed()) return {};
    if (form_.CameraControl() != nullptr && form_.State().cameraReady && !form_.State().starSelected) {
        LogRefusal(message(), QStringLiteral("No star is selected"));
        sendErrorReply(Q(scripting::kErrorNotReady), QStringLiteral("No star is selected"));
        return {};
    }
    if (!CanExpose()) return {};
    CloseNotices();
    setDelayedReply(true);
    pending_ = message();
    waiting_ = true;
    timeout_->start();
    form_.ExposurePage()->GetFocusImage();
    return {};
}

QVariantMap TCameraService::TakeImage() {
    if (!Allowed() || !CanExpose()) return {};
    kv::TCameraControl* camera = form_.CameraControl();
    if (!camera->Idle()) {
        LogRefusal(message(), QStringLiteral("The camera is still busy with the last picture"));
        sendErrorReply(Q(scripting::kErrorBusy), QStringLiteral("The camera is still busy with the last picture"));
        return {};
    }
    CloseNotices();
    setDelayedReply(true);
    pendingImage_ = message();
    waitingImage_ = true;
    form_.ExposurePage()->GetImageButtonClick();
    // The page asked the camera for its download time; the wait allows for it and the exposure.
    const kv::CameraInfo info = camera->CameraData();
    const auto* exposure = form_.Window().findChild<QSlider*>(QStringLiteral("ExposureMS"));
    imageTimeout_->setInterval(std::max(0, info.DownloadTime) + (exposure != nullptr ? exposure->value() : 0) +
                               kImageAnswerMarginMs);
    imageTimeout_->start();
    return {};
}

void TCameraService::ImageShown() {
    if (!waitingImage_) return;
    waitingImage_ = false;
    imageTimeout_->stop();
    kv::TImageObject* image = form_.CameraControl() != nullptr ? form_.CameraControl()->MainImage() : nullptr;
    // A camera that could not expose (busy with another client, say) may
    // still hand over a frame with no pixels, whose statistics are impossible
    // (Min above Max): no image came.
    QString lost;
    if (image == nullptr) {
        lost = QStringLiteral("The image was lost");
    } else if (const std::string failure = form_.CameraControl()->MainImageFailure(); !failure.empty()) {
        lost = QString::fromStdString(failure);
    } else if (image->Width() <= 0 || image->Height() <= 0 || image->Min() > image->Max()) {
        lost = QStringLiteral("No image arrived: the camera sent an empty frame (is it busy with another program?)");
    }
    if (!lost.isEmpty()) {
        LogRefusal(pendingImage_, lost);
        form_.SetStatusPanel(0, lost);
        bus_.send(pendingImage_.createErrorReply(Q(scripting::kErrorFailed), lost));
        return;
    }
    const QVariantMap answer{{QStringLiteral("Width"), image->Width()}, {QStringLiteral("Height"), image->Height()},
                             {QStringLiteral("Min"), image->Min()},     {QStringLiteral("Max"), image->Max()},
                             {QStringLiteral("Avg"), image->Avg()}};
    bus_.send(pendingImage_.createReply(answer));
}

QList<QVariantMap> TCameraService::FindStars() {
    if (!Allowed()) return {};
    if (waitingImage_) {
        sendErrorReply(Q(scripting::kErrorBusy), QStringLiteral("The image is still coming in"));
        return {};
    }
    // The answer goes when the search ends (seconds on a crowded field),
    // while the window goes on.
    setDelayedReply(true);
    const QDBusMessage call = message();
    QDBusConnection bus = bus_;
    const QString refused = form_.ExposurePage()->StartFindStars([call, bus](const kv::StarField& field, const QString& why) mutable {
        if (!why.isEmpty()) {
            LogRefusal(call, why);
            bus.send(call.createErrorReply(Q(scripting::kErrorFailed), why));
            return;
        }
        CloseNotices();
        QList<QVariantMap> stars;
        for (const kv::FoundStar& s : field.stars) stars << StarOf(s);
        bus.send(call.createReply(QVariant::fromValue(stars)));
    });
    if (!refused.isEmpty()) {
        LogRefusal(call, refused);
        const bool busy = form_.ExposurePage()->FindingStars();
        bus_.send(call.createErrorReply(Q(busy ? scripting::kErrorBusy : scripting::kErrorNotReady), refused));
    }
    return {};
}

void TCameraService::SelectStar(int x, int y) {
    if (!Allowed()) return;
    if (form_.Focusing()->Running()) {
        sendErrorReply(Q(scripting::kErrorBusy), QStringLiteral("A scan or an auto focus is running"));
        return;
    }
    const QString why = form_.ExposurePage()->SelectStar(x, y);
    if (why.isEmpty()) {
        CloseNotices();
        return;
    }
    LogRefusal(message(), why);
    const bool noImage = !form_.State().imageTaken;
    sendErrorReply(Q(noImage ? scripting::kErrorNotReady : scripting::kErrorInvalid), why);
}

QVariantMap TCameraService::PickStar() {
    if (!Allowed()) return {};
    if (form_.Focusing()->Running()) {
        sendErrorReply(Q(scripting::kErrorBusy), QStringLiteral("A scan or an auto focus is running"));
        return {};
    }
    if (waitingImage_) {
        sendErrorReply(Q(scripting::kErrorBusy), QStringLiteral("The image is still coming in"));
        return {};
    }
    kv::WriteProgramLog("Pick Star asked for by a script");
    setDelayedReply(true);
    const QDBusMessage call = message();
    QDBusConnection bus = bus_;
    const QString refused = form_.ExposurePage()->StartPickStar([call, bus](const kv::FoundStar& star, const QString& why) mutable {
        if (why.isEmpty()) {
            CloseNotices();
            bus.send(call.createReply(QVariant(StarOf(star))));
            return;
        }
        LogRefusal(call, why);
        bus.send(call.createErrorReply(Q(scripting::kErrorFailed), why));
    });
    if (!refused.isEmpty()) {
        LogRefusal(call, refused);
        const bool busy = form_.ExposurePage()->FindingStars();
        bus_.send(call.createErrorReply(
            Q(busy ? scripting::kErrorBusy : form_.State().imageTaken ? scripting::kErrorFailed : scripting::kErrorNotReady),
            refused));
    }
    return {};
}

void TCameraService::FrameShown() {
    const kv::TCameraControl* camera = form_.CameraControl();
    if (camera == nullptr) return;
    const scripting::Figures figures = FiguresOf(camera->Reading());
    if (waiting_) {
        waiting_ = false;
        timeout_->stop();
        bus_.send(pending_.createReply(figures));
    }
    emit FocusFrameTaken(figures);
}

// ---------------------------------------------------------------- registration

bool RegisterScripting(TScriptedWindow& form, QDBusConnection connection, QObject* parent, QString* error) {
    auto fail = [&](const QString& why) {
        if (error != nullptr) *error = why;
        return false;
    };
    if (!connection.isConnected()) return fail(QStringLiteral("no session bus"));
    qDBusRegisterMetaType<scripting::StarList>();
    auto* focuser = new TFocuserService(form, parent);
    auto* camera = new TCameraService(form, connection, parent);
    auto* focusing = new TFocusingService(form, parent);
    auto* refocus = new TRefocusService(form, parent);
    constexpr auto kExport = QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals;
    if (!connection.registerObject(Q(scripting::kFocuserPath), focuser, kExport) ||
        !connection.registerObject(Q(scripting::kCameraPath), camera, kExport) ||
        !connection.registerObject(Q(scripting::kFocusingPath), focusing, kExport) ||
        !connection.registerObject(Q(scripting::kRefocusPath), refocus, kExport)) {
        return fail(QStringLiteral("the objects could not be registered"));
    }
    QObject::connect(&form.Notices(), &TWindowNotices::focuserGoing, focuser, &TFocuserService::FocuserGoing);
    QObject::connect(&form.Notices(), &TWindowNotices::closing, focuser, [connection, focuser, camera]() mutable {
        // Off the bus first: what is still queued for the objects is
        // answered by the bus itself, without the window's time.
        for (const char* path :
             {scripting::kFocuserPath, scripting::kCameraPath, scripting::kFocusingPath, scripting::kRefocusPath}) {
            connection.unregisterObject(Q(path));
        }
        focuser->Close();
        camera->Close();
    });
    // A second Kessivane on the same desktop keeps the first one's name; its
    // objects are still there under its own unique bus name.
    if (!connection.registerService(Q(scripting::kService))) {
        return fail(QStringLiteral("%1 is taken by another Kessivane").arg(Q(scripting::kService)));
    }
    return true;
}
