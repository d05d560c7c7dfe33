#include "app/scripting_service.h"

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
#include "app/main_form.h"
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

namespace {

// Longer than the longest focus exposure the camera controller waits for.
constexpr int kFocusFrameAnswerMs = 60000;

QString Q(const char* s) { return QString::fromLatin1(s); }

// "golden", "fit" and "quick" as the Auto Focus page's method items; the page's own
// captions are taken too.
std::optional<int> MethodItem(const QString& method) {
    const QString m = method.trimmed().toLower();
    if (m == QLatin1String("golden") || m == QLatin1String("golden section")) return TAutoFocusPage::kGoldenSectionItem;
    if (m == QLatin1String("fit") || m == QLatin1String("curve fit")) return TAutoFocusPage::kCurveFitItem;
    if (m == QLatin1String("quick") || m == QLatin1String("quick refocus")) return TAutoFocusPage::kQuickRefocusItem;
    return std::nullopt;
}

// The window's ranges for the current controller's kind; nullptr for none.
const kv::FocuserKindControls* ControlsOf(const kv::TFocusControl* focuser) {
    using kv::FocuserKind;
    if (dynamic_cast<const kv::TOFocusControl*>(focuser) != nullptr) return kv::ControlsForKind(FocuserKind::Optec);
    if (dynamic_cast<const kv::TRFFocusControl*>(focuser) != nullptr) return kv::ControlsForKind(FocuserKind::RoboFocus);
    if (dynamic_cast<const kv::TIndiFocusControl*>(focuser) != nullptr) return kv::ControlsForKind(FocuserKind::Indi);
    if (dynamic_cast<const kv::TJFocusControl*>(focuser) != nullptr) return kv::ControlsForKind(FocuserKind::JMI);
    return nullptr;
}

// A main image's exposure and download, and then some: past this the image is
// reported lost rather than awaited for ever.
constexpr int kImageAnswerMarginMs = 60000;

// A box with only OK carries news, not a question. A script that sends its
// next command has moved on, so the box it left open goes, and boxes from an
// unattended night never pile up on the screen; a box that asks stays.
void CloseNotices() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(w);
        if (box != nullptr && box->isVisible() && box->standardButtons() == QMessageBox::Ok) box->done(QMessageBox::Ok);
    }
}

// Refusals are logged as well: the log is what is read the morning after.
void LogRefusal(const QDBusMessage& call, const QString& text) {
    kv::WriteProgramLog("Scripting: " + call.member().toStdString() + " refused: " + text.toStdString());
}

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

// ---------------------------------------------------------------- moves from other programs

std::optional<scripting::Refusal> scripting::MoveRefusal(TMainForm& form, MoveUnderWay underWay) {
    if (!form.AllowOtherPrograms()) return Refusal{kErrorNotAllowed, Q(kNotAllowedText)};
    const kv::TFocusControl* focuser = form.FocusControl();
    if (focuser == nullptr || !form.State().portOpen) {
        return Refusal{kErrorNotReady, QStringLiteral("The focuser is not connected")};
    }
    // A procedure's own move would be cut short under it, and it would go on
    // measuring where the focuser never stood.
    if (form.ProcedureRunning()) return Refusal{kErrorBusy, QStringLiteral("A scan or an auto focus is running")};
    if (underWay == MoveUnderWay::Refuse && !focuser->GetIdle()) {
        return Refusal{kErrorBusy, QStringLiteral("The focuser is moving")};
    }
    return std::nullopt;
}

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

TFocuserService::TFocuserService(TMainForm& form, QObject* parent) : QObject(parent), form_(form) {
    connect(form_.ManualFocusPage(), &TManualFocusPage::moveEnded, this, &TFocuserService::MoveFinished);
    moveWatch_ = new QTimer(this);
    moveWatch_->setInterval(scripting::kMoveWatchMs);
    connect(moveWatch_, &QTimer::timeout, this, &TFocuserService::WatchMove);
    clock_.start();
    // The window's Stop halts a scripted move as Halt does.
    if (auto* stop = form_.findChild<QAbstractButton*>(QStringLiteral("StopMain"))) {
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
    if (const std::optional<scripting::Refusal> refused = scripting::MoveRefusal(form_, MoveUnderWay::Replace)) {
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

TCameraService::TCameraService(TMainForm& form, QDBusConnection bus, QObject* parent)
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
    const auto* exposure = form_.findChild<QSlider*>(QStringLiteral("ExposureMS"));
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

// ---------------------------------------------------------------- focusing

TFocusingService::TFocusingService(TMainForm& form, QObject* parent) : QObject(parent), form_(form) {
    connect(form_.Focusing(), &TFocusingView::procedureProgress, this, &TFocusingService::Progress);
    connect(form_.Focusing(), &TFocusingView::searchDetails, this, &TFocusingService::AutoFocusFinished);
    connect(form_.Focusing(), &TFocusingView::procedureEnded, this, &TFocusingService::Finished);
}

bool TFocusingService::Allowed() {
    if (form_.AllowOtherPrograms()) return true;
    sendErrorReply(Q(scripting::kErrorNotAllowed), Q(scripting::kNotAllowedText));
    return false;
}

bool TFocusingService::CanStart() {
    if (!Allowed()) return false;
    if (form_.CameraControl() == nullptr || !form_.State().cameraReady || form_.FocusControl() == nullptr ||
        !form_.State().portOpen) {
        sendErrorReply(Q(scripting::kErrorNotReady), QStringLiteral("The camera or the focuser is not ready"));
        return false;
    }
    if (!form_.State().starSelected) {
        sendErrorReply(Q(scripting::kErrorNotReady), QStringLiteral("No star is selected"));
        return false;
    }
    if (form_.Focusing()->Running() || !form_.FocusControl()->GetIdle()) {
        sendErrorReply(Q(scripting::kErrorBusy), QStringLiteral("A scan, an auto focus or a move is running"));
        return false;
    }
    return true;
}

void TFocusingService::StartAutoFocus(int initialStep) { Start(initialStep, std::nullopt); }

void TFocusingService::StartAutoFocus(int initialStep, const QString& method) {
    const std::optional<int> item = MethodItem(method);
    if (!item) {
        sendErrorReply(Q(scripting::kErrorInvalid),
                       QStringLiteral("The method must be \"golden\", \"fit\" or \"quick\", not \"%1\"").arg(method));
        return;
    }
    Start(initialStep, item);
}

void TFocusingService::StartAutoFocus(int initialStep, const QString& method, const QString& measure) {
    std::optional<int> item;
    if (!method.trimmed().isEmpty()) {
        item = MethodItem(method);
        if (!item) {
            sendErrorReply(Q(scripting::kErrorInvalid),
                           QStringLiteral("The method must be \"golden\", \"fit\" or \"quick\", not \"%1\"").arg(method));
            return;
        }
    }
    const QString m = measure.trimmed().toLower();
    const std::optional<int> measureItem = m == QLatin1String("star")    ? std::optional(TAutoFocusPage::kFocusStarItem)
                                           : m == QLatin1String("field") ? std::optional(TAutoFocusPage::kWholeFieldItem)
                                                                         : std::nullopt;
    if (!measureItem) {
        sendErrorReply(Q(scripting::kErrorInvalid),
                       QStringLiteral("The measure must be \"star\" or \"field\", not \"%1\"").arg(measure));
        return;
    }
    Start(initialStep, item, measureItem);
}

void TFocusingService::Start(int initialStep, std::optional<int> methodItem, std::optional<int> measureItem) {
    const auto* found = std::find(std::begin(kv::kInitialSteps), std::end(kv::kInitialSteps), initialStep);
    if (found == std::end(kv::kInitialSteps)) {
        QStringList allowed;
        for (int step : kv::kInitialSteps) allowed << QString::number(step);
        sendErrorReply(Q(scripting::kErrorInvalid),
                       QStringLiteral("The initial step must be one of %1").arg(allowed.join(QStringLiteral(", "))));
        return;
    }
    if (!CanStart()) return;
    CloseNotices();
    // Chosen on the page, so the user sees the run the script started.
    form_.AutoFocusPage()->InitialStepRG()->SetItemIndex(static_cast<int>(found - std::begin(kv::kInitialSteps)));
    if (methodItem) form_.AutoFocusPage()->MethodRG()->SetItemIndex(*methodItem);
    if (measureItem) form_.AutoFocusPage()->MeasureRG()->SetItemIndex(*measureItem);
    form_.Focusing()->StartSearchClick();
    if (!form_.Focusing()->Running()) {
        LogRefusal(message(), QStringLiteral("The auto focus did not start"));
        sendErrorReply(Q(scripting::kErrorFailed), QStringLiteral("The auto focus did not start"));
    }
}

void TFocusingService::StartScan(int start, int increment, int steps) {
    if (!CanStart()) return;
    // The Scan group's boxes hold the focuser kind's ranges: a value outside
    // them is refused with the range, never cut down to fit.
    const kv::FocuserKindControls* row = ControlsOf(form_.FocusControl());
    if (row == nullptr) {
        sendErrorReply(Q(scripting::kErrorNotReady), QStringLiteral("The focuser's kind is not known"));
        return;
    }
    if (start < row->scanStartMin || start > row->scanStartMax || increment < row->scanStepMin ||
        increment > row->scanStepMax || steps < kv::kScanStepsMin || steps > kv::kScanStepsMax) {
        const QString text = QStringLiteral("Scan values out of range for this focuser: start %1..%2, increment "
                                            "%3..%4, steps %5..%6 (asked: start %7, increment %8, steps %9)")
                                 .arg(row->scanStartMin).arg(row->scanStartMax).arg(row->scanStepMin)
                                 .arg(row->scanStepMax).arg(kv::kScanStepsMin).arg(kv::kScanStepsMax)
                                 .arg(start).arg(increment).arg(steps);
        LogRefusal(message(), text);
        sendErrorReply(Q(scripting::kErrorInvalid), text);
        return;
    }
    const std::pair<const char*, int> values[] = {{"StartScanSE", start}, {"ScanStepSE", increment}, {"NumStepsSE", steps}};
    for (const auto& [name, value] : values) {
        const auto* spin = form_.findChild<QSpinBox*>(QString::fromLatin1(name));
        if (spin != nullptr && (value < spin->minimum() || value > spin->maximum())) {
            const QString text = QStringLiteral("%1 takes %2..%3, not %4").arg(Q(name)).arg(spin->minimum())
                                     .arg(spin->maximum()).arg(value);
            LogRefusal(message(), text);
            sendErrorReply(Q(scripting::kErrorInvalid), text);
            return;
        }
    }
    CloseNotices();
    for (const auto& [name, value] : values) {
        if (auto* spin = form_.findChild<QSpinBox*>(QString::fromLatin1(name))) spin->setValue(value);
    }
    form_.Focusing()->StartScanButtonClick();
    if (!form_.Focusing()->Running()) sendErrorReply(Q(scripting::kErrorFailed), QStringLiteral("The scan did not start"));
}

void TFocusingService::Cancel() {
    if (!Allowed()) return;
    TFocusingView* focusing = form_.Focusing();
    if (!focusing->Running()) return;
    CloseNotices();
    // As the user would: the Cancel button of the procedure that runs, which
    // gives its own page's controls back.
    const auto* searchCancel = form_.findChild<QWidget*>(QStringLiteral("CancelSearch"));
    if (searchCancel != nullptr && searchCancel->isEnabled()) focusing->CancelSearchClick();
    else focusing->ScanCancelButtonClick();
}

bool TFocusingService::Running() { return form_.Focusing()->Running(); }

namespace {

// The optics boxes by their names on the bus, with the settings key each is
// kept under and the value a box shows for a number (nullopt: unset).
struct OpticsKey {
    const char* name;
    const char* box;
    const char* settingsKey;
    double max;
    std::optional<double> (*shown)(double);
};
constexpr OpticsKey kOpticsKeys[] = {
    {"focalRatio", "FocalRatioSE", kv::kFocalRatioKey, kv::kFocalRatioMax, kv::FocalRatioValue},
    {"stepSize", "StepSizeSE", kv::kStepSizeKey, kv::kStepMicronsMax, kv::StepMicronsValue},
};

}  // namespace

QVariantMap TFocusingService::Optics() {
    const kv::FocusZoneOptics optics = form_.AutoFocusPage()->Optics();
    QVariantMap map{{QStringLiteral("focalRatio"), optics.focalRatio.value_or(0.0)},
                    {QStringLiteral("stepSize"), optics.stepMicrons.value_or(0.0)}};
    if (optics.catalogueStepMicrons) map.insert(QStringLiteral("catalogueStepSize"), *optics.catalogueStepMicrons);
    if (const std::optional<double> cfz = optics.CfzSteps()) map.insert(QStringLiteral("cfzSteps"), *cfz);
    return map;
}

QVariantMap TFocusingService::Inspect() {
    const auto& last = form_.AutoFocusPage()->Aberration()->Last();
    if (!last) {
        sendErrorReply(Q(scripting::kErrorNotReady),
                       QStringLiteral("No whole-field auto focus has given an optics report yet"));
        return {};
    }
    const kv::AberrationReport& r = last->report;
    QVariantMap map{{QStringLiteral("time"), QString::fromStdString(last->time)}};
    if (last->temperatureC) map.insert(QStringLiteral("temperature"), *last->temperatureC);
    if (!r.ok) {
        map.insert(QStringLiteral("why"), QString::fromStdString(r.why));
        return map;
    }
    map.insert(QStringLiteral("regions"), QStringLiteral("%1x%2").arg(r.columns).arg(r.rows));
    map.insert(QStringLiteral("cfzMicrons"), r.cfzMicrons);
    const auto figure = [&](const char* name, const kv::AberrationFigure& f) {
        const QString key = Q(name);
        map.insert(key + QStringLiteral("Verdict"), QString::fromStdString(f.verdict));
        if (f.state == kv::FigureState::Absent) return;
        map.insert(key, f.microns);
        map.insert(key + QStringLiteral("Uncertainty"), f.uncertainty);
        map.insert(key + QStringLiteral("Cfz"), f.cfz);
    };
    figure("tilt", r.tilt);
    if (r.tilt.state != kv::FigureState::Absent) {
        map.insert(QStringLiteral("tiltX"), r.tiltXMicrons);
        map.insert(QStringLiteral("tiltY"), r.tiltYMicrons);
        map.insert(QStringLiteral("tiltPlace"), QString::fromStdString(r.tiltPlace));
    }
    figure("curvature", r.curvature);
    figure("backFocus", r.backFocus);
    // The map a row a key: whole µm from the regions' mean, "-" for a region without a figure.
    const std::vector<std::optional<double>> offsets = TAberrationPanel::RegionOffsets(r);
    int fitted = 0;
    for (int row = 0; row < r.rows; ++row) {
        QStringList cells;
        for (int column = 0; column < r.columns; ++column) {
            const auto k = static_cast<std::size_t>(row * r.columns + column);
            const std::optional<double> o = k < offsets.size() ? offsets[k] : std::nullopt;
            cells << (o ? QString::number(std::lround(*o)) : QStringLiteral("-"));
            fitted += o ? 1 : 0;
        }
        map.insert(QStringLiteral("row%1").arg(row + 1), cells.join(QLatin1Char(' ')));
    }
    map.insert(QStringLiteral("regionsFitted"), fitted);
    return map;
}

void TFocusingService::SetOptics(const QVariantMap& values) {
    if (!Allowed()) return;
    // Every value is checked before any box changes, so a refusal leaves all as they were.
    std::vector<std::pair<const OpticsKey*, double>> wanted;
    for (auto it = values.begin(); it != values.end(); ++it) {
        const auto* key = std::find_if(std::begin(kOpticsKeys), std::end(kOpticsKeys),
                                       [&](const OpticsKey& k) { return it.key() == QLatin1String(k.name); });
        QString why;
        const QVariant v = it.value().canConvert<QDBusVariant>() ? it.value().value<QDBusVariant>().variant()
                                                                 : it.value();
        const int type = v.typeId();
        const bool number = type == QMetaType::Double || type == QMetaType::Int || type == QMetaType::UInt ||
                            type == QMetaType::LongLong || type == QMetaType::ULongLong;
        if (key == std::end(kOpticsKeys)) {
            why = QStringLiteral("Unknown key \"%1\": the keys are focalRatio, stepSize").arg(it.key());
        } else if (!number || !std::isfinite(v.toDouble()) || v.toDouble() < 0.0 || v.toDouble() > key->max) {
            why = QStringLiteral("%1 takes a number from 0 (unset) to %2, not %3")
                      .arg(Q(key->name))
                      .arg(key->max)
                      .arg(v.toString());
        }
        if (!why.isEmpty()) {
            LogRefusal(message(), why);
            sendErrorReply(Q(scripting::kErrorInvalid), why);
            return;
        }
        wanted.emplace_back(key, v.toDouble());
    }
    QStringList said;
    for (const auto& [key, value] : wanted) {
        auto* box = form_.AutoFocusPage()->findChild<QDoubleSpinBox*>(Q(key->box));
        if (box == nullptr) continue;
        const std::optional<double> shown = key->shown(value);
        said << QStringLiteral("%1 %2").arg(Q(key->name), QString::fromStdString(kv::FocusZoneFileValue(shown)));
        // An unchanged box writes nothing, as when the user leaves it alone.
        if (shown == key->shown(box->value())) continue;
        // Written here first, so that a file that cannot be written is the
        // caller's answer; the box then keeps the same value once more.
        const kv::WriteResult written = kv::SaveSettingValue(form_.IniPath(), kv::kFocusZoneSection, key->settingsKey,
                                                             kv::FocusZoneFileValue(shown));
        if (!written.ok) {
            kv::WriteProgramLog(written.message);
            sendErrorReply(Q(scripting::kErrorFailed), QString::fromStdString(written.message));
            return;
        }
        box->setValue(shown.value_or(0.0));
    }
    kv::WriteProgramLog("Scripting: optics set (" + said.join(QStringLiteral(", ")).toStdString() + ")");
}

// ---------------------------------------------------------------- refocus triggers

namespace {

// The bus's names for the settings, each with its type and range.
struct TriggerKey {
    const char* name;
    QMetaType::Type type;
    double min, max;
};
constexpr TriggerKey kTriggerKeys[] = {
    {"afterTime", QMetaType::Bool, 0, 1},
    {"minutes", QMetaType::Int, kv::kRefocusMinutesMin, kv::kRefocusMinutesMax},
    {"onTemperature", QMetaType::Bool, 0, 1},
    {"temperatureChange", QMetaType::Double, kv::kRefocusTemperatureMinC, kv::kRefocusTemperatureMaxC},
    {"onHfdRise", QMetaType::Bool, 0, 1},
    {"hfdRisePercent", QMetaType::Double, kv::kRefocusHfdRiseMinPercent, kv::kRefocusHfdRiseMaxPercent},
    {"hfdReadings", QMetaType::Int, kv::kRefocusHfdReadingsMin, kv::kRefocusHfdReadingsMax},
};

// The value of `v` as the key's type, or why not. A whole number does for a
// real; a real with a fraction does not do for a count.
std::optional<double> TriggerValue(const TriggerKey& key, const QVariant& v, QString* why) {
    const int type = v.typeId();
    const bool number = type == QMetaType::Int || type == QMetaType::UInt || type == QMetaType::LongLong ||
                        type == QMetaType::ULongLong || type == QMetaType::Double || type == QMetaType::Short ||
                        type == QMetaType::UShort || type == QMetaType::UChar;
    if (key.type == QMetaType::Bool) {
        if (type == QMetaType::Bool) return v.toBool() ? 1.0 : 0.0;
        *why = QStringLiteral("%1 takes true or false").arg(Q(key.name));
        return std::nullopt;
    }
    const double d = v.toDouble();
    if (!number || !std::isfinite(d) || (key.type == QMetaType::Int && d != std::floor(d)) || d < key.min ||
        d > key.max) {
        *why = QStringLiteral("%1 takes %2 from %3 to %4, not %5")
                   .arg(Q(key.name),
                        key.type == QMetaType::Int ? QStringLiteral("a whole number") : QStringLiteral("a number"))
                   .arg(key.min)
                   .arg(key.max)
                   .arg(v.toString());
        return std::nullopt;
    }
    return d;
}

}  // namespace

TRefocusService::TRefocusService(TMainForm& form, QObject* parent) : QObject(parent), form_(form) {
    connect(form_.RefocusWatch(), &TRefocusWatch::triggered, this, &TRefocusService::Triggered);
}

bool TRefocusService::Allowed() {
    if (form_.AllowOtherPrograms()) return true;
    sendErrorReply(Q(scripting::kErrorNotAllowed), Q(scripting::kNotAllowedText));
    return false;
}

QVariantMap TRefocusService::Triggers() {
    const TRefocusWatch& watch = *form_.RefocusWatch();
    const kv::RefocusTriggerSettings& s = watch.Settings();
    return {{QStringLiteral("afterTime"), s.afterTime},
            {QStringLiteral("minutes"), s.minutes},
            {QStringLiteral("onTemperature"), s.onTemperature},
            {QStringLiteral("temperatureChange"), s.temperatureC},
            {QStringLiteral("onHfdRise"), s.onHfdRise},
            {QStringLiteral("hfdRisePercent"), s.hfdRisePercent},
            {QStringLiteral("hfdReadings"), s.hfdReadings},
            {QStringLiteral("armed"), watch.Triggers().Armed()}};
}

void TRefocusService::SetTriggers(const QVariantMap& values) {
    if (!Allowed()) return;
    kv::RefocusTriggerSettings s = form_.RefocusWatch()->Settings();
    for (auto it = values.begin(); it != values.end(); ++it) {
        const auto* key = std::find_if(std::begin(kTriggerKeys), std::end(kTriggerKeys),
                                       [&](const TriggerKey& k) { return it.key() == QLatin1String(k.name); });
        QString why;
        if (key == std::end(kTriggerKeys)) {
            QStringList names;
            for (const TriggerKey& k : kTriggerKeys) names << Q(k.name);
            why = QStringLiteral("Unknown key \"%1\": the keys are %2").arg(it.key(), names.join(QStringLiteral(", ")));
        }
        // A QDBusVariant arrives when the caller wrapped the value once more.
        const QVariant value = it.value().canConvert<QDBusVariant>() ? it.value().value<QDBusVariant>().variant()
                                                                     : it.value();
        const std::optional<double> v = why.isEmpty() ? TriggerValue(*key, value, &why) : std::nullopt;
        if (!v) {
            LogRefusal(message(), why);
            sendErrorReply(Q(scripting::kErrorInvalid), why);
            return;
        }
        const std::string_view name = key->name;
        if (name == "afterTime") s.afterTime = *v != 0;
        else if (name == "minutes") s.minutes = static_cast<int>(*v);
        else if (name == "onTemperature") s.onTemperature = *v != 0;
        else if (name == "temperatureChange") s.temperatureC = *v;
        else if (name == "onHfdRise") s.onHfdRise = *v != 0;
        else if (name == "hfdRisePercent") s.hfdRisePercent = *v;
        else s.hfdReadings = static_cast<int>(*v);
    }
    const kv::WriteResult written = form_.RefocusWatch()->Change(s);
    if (!written.ok) {
        sendErrorReply(Q(scripting::kErrorFailed), QString::fromStdString(written.message));
        return;
    }
    kv::WriteProgramLog("Scripting: refocus triggers set");
}

void TRefocusService::ReportHfd(double hfd) {
    if (!Allowed()) return;
    if (!form_.RefocusWatch()->ClientReading(hfd)) {
        const QString why = QStringLiteral("An HFD is a number of pixels above 0, not %1").arg(hfd);
        LogRefusal(message(), why);
        sendErrorReply(Q(scripting::kErrorInvalid), why);
    }
}

// ---------------------------------------------------------------- registration

bool RegisterScripting(TMainForm& form, QDBusConnection connection, QObject* parent, QString* error) {
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
    QObject::connect(&form, &TMainForm::focuserGoing, focuser, &TFocuserService::FocuserGoing);
    QObject::connect(&form, &TMainForm::closing, focuser, [connection, focuser, camera]() mutable {
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
