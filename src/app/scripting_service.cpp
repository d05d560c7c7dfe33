#include "app/scripting_service.h"

#include <QApplication>
#include <QDBusMetaType>
#include <QMessageBox>
#include <QSlider>
#include <QSpinBox>
#include <QStringList>
#include <QTimer>
#include <algorithm>
#include <optional>
#include <iterator>
#include <utility>

#include "app/auto_focus_page.h"
#include "app/exposure_page.h"
#include "app/focusing_view.h"
#include "app/radio_group.h"
#include "app/main_form.h"
#include "app/manual_focus_page.h"
#include "app/read_out_panel.h"
#include "camera/camera_control.h"
#include "camera/image_object.h"
#include "shell/log_channel.h"
#include "focuser/focus_control.h"

namespace {

// Longer than the longest focus exposure the camera controller waits for.
constexpr int kFocusFrameAnswerMs = 60000;

QString Q(const char* s) { return QString::fromLatin1(s); }

// "golden" and "fit" as the Auto Focus page's method items; the page's own
// captions are taken too.
std::optional<int> MethodItem(const QString& method) {
    const QString m = method.trimmed().toLower();
    if (m == QLatin1String("golden") || m == QLatin1String("golden section")) return TAutoFocusPage::kGoldenSectionItem;
    if (m == QLatin1String("fit") || m == QLatin1String("curve fit")) return TAutoFocusPage::kCurveFitItem;
    return std::nullopt;
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
    // A field with too few stars has no figure: a script is told so in words.
    if (r.status == kv::StarStatus::TooFewStars) {
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

TFocuserService::TFocuserService(TMainForm& form, QObject* parent) : QObject(parent), form_(form) {
    connect(form_.ManualFocusPage(), &TManualFocusPage::moveEnded, this, &TFocuserService::MoveFinished);
}

TFocuserService::~TFocuserService() { calls_.Close(); }

bool TFocuserService::Ready() {
    if (form_.FocusControl() != nullptr && form_.State().portOpen) return true;
    sendErrorReply(Q(scripting::kErrorNotReady), QStringLiteral("The focuser is not connected"));
    return false;
}

bool TFocuserService::Allowed() {
    CloseNotices();
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
    }
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

void TFocuserService::MoveTo(int position) {
    if (!Allowed() || !Ready()) return;
    if (form_.Focusing()->Running()) {
        sendErrorReply(Q(scripting::kErrorBusy), QStringLiteral("A scan or an auto focus is running"));
        return;
    }
    form_.ManualFocusPage()->StopAnnouncer();
    kv::TFocusControl* focuser = form_.FocusControl();
    Serve(TDeviceCalls::Move, [focuser, position] { focuser->MoveTo(position); });
}

void TFocuserService::MoveBy(int steps) {
    if (!Allowed() || !Ready()) return;
    if (form_.Focusing()->Running()) {
        sendErrorReply(Q(scripting::kErrorBusy), QStringLiteral("A scan or an auto focus is running"));
        return;
    }
    form_.ManualFocusPage()->StopAnnouncer();
    kv::TFocusControl* focuser = form_.FocusControl();
    Serve(TDeviceCalls::Move, [focuser, steps] { focuser->MoveBy(steps); });
}

void TFocuserService::Halt() {
    if (!Allowed()) return;
    kv::TFocusControl* focuser = form_.FocusControl();
    if (focuser == nullptr) return;
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
    const double average = form_.FocusControl()->TCAvg();
    if (!form_.FocusControl()->JMIFlag() || average <= kv::kTemperatureFloor || average == 0.0) {
        sendErrorReply(Q(scripting::kErrorNotReady),
                       QStringLiteral("No temperature has been read (a hub focuser with its temperature unit, "
                                      "and the Temp Control page opened once, are needed)"));
        return 0.0;
    }
    return average;
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
}

bool TCameraService::Allowed() {
    CloseNotices();
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
    if (image == nullptr) {
        bus_.send(pendingImage_.createErrorReply(Q(scripting::kErrorFailed), QStringLiteral("The image was lost")));
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
    QString why;
    const kv::StarField field = form_.ExposurePage()->FindStars(&why);
    if (!why.isEmpty()) {
        LogRefusal(message(), why);
        sendErrorReply(Q(scripting::kErrorNotReady), why);
        return {};
    }
    QList<QVariantMap> stars;
    for (const kv::FoundStar& s : field.stars) stars << StarOf(s);
    return stars;
}

void TCameraService::SelectStar(int x, int y) {
    if (!Allowed()) return;
    if (form_.Focusing()->Running()) {
        sendErrorReply(Q(scripting::kErrorBusy), QStringLiteral("A scan or an auto focus is running"));
        return;
    }
    const QString why = form_.ExposurePage()->SelectStar(x, y);
    if (why.isEmpty()) return;
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
    kv::FoundStar star;
    const QString why = form_.ExposurePage()->PickStar(&star);
    if (why.isEmpty()) return StarOf(star);
    LogRefusal(message(), why);
    sendErrorReply(Q(form_.State().imageTaken ? scripting::kErrorFailed : scripting::kErrorNotReady), why);
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
    CloseNotices();
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
                       QStringLiteral("The method must be \"golden\" or \"fit\", not \"%1\"").arg(method));
        return;
    }
    Start(initialStep, item);
}

void TFocusingService::Start(int initialStep, std::optional<int> methodItem) {
    const auto* found = std::find(std::begin(kv::kInitialSteps), std::end(kv::kInitialSteps), initialStep);
    if (found == std::end(kv::kInitialSteps)) {
        QStringList allowed;
        for (int step : kv::kInitialSteps) allowed << QString::number(step);
        sendErrorReply(Q(scripting::kErrorInvalid),
                       QStringLiteral("The initial step must be one of %1").arg(allowed.join(QStringLiteral(", "))));
        return;
    }
    if (!CanStart()) return;
    // Chosen on the page, so the user sees the run the script started.
    form_.AutoFocusPage()->InitialStepRG()->SetItemIndex(static_cast<int>(found - std::begin(kv::kInitialSteps)));
    if (methodItem) form_.AutoFocusPage()->MethodRG()->SetItemIndex(*methodItem);
    form_.Focusing()->StartSearchClick();
    if (!form_.Focusing()->Running()) {
        LogRefusal(message(), QStringLiteral("The auto focus did not start"));
        sendErrorReply(Q(scripting::kErrorFailed), QStringLiteral("The auto focus did not start"));
    }
}

void TFocusingService::StartScan(int start, int increment, int steps) {
    if (start < kv::kScanStartMin || start > kv::kScanStartMax || increment < kv::kScanIncrementMin ||
        increment > kv::kScanIncrementMax || steps < kv::kScanStepsMin || steps > kv::kScanStepsMax) {
        sendErrorReply(Q(scripting::kErrorInvalid),
                       QStringLiteral("Scan values out of range: start %1..%2, increment %3..%4, steps %5..%6")
                           .arg(kv::kScanStartMin).arg(kv::kScanStartMax).arg(kv::kScanIncrementMin)
                           .arg(kv::kScanIncrementMax).arg(kv::kScanStepsMin).arg(kv::kScanStepsMax));
        return;
    }
    if (!CanStart()) return;
    for (const auto& [name, value] : {std::pair{"StartScanSE", start}, std::pair{"ScanStepSE", increment},
                                      std::pair{"NumStepsSE", steps}}) {
        if (auto* spin = form_.findChild<QSpinBox*>(QString::fromLatin1(name))) spin->setValue(value);
    }
    form_.Focusing()->StartScanButtonClick();
    if (!form_.Focusing()->Running()) sendErrorReply(Q(scripting::kErrorFailed), QStringLiteral("The scan did not start"));
}

void TFocusingService::Cancel() {
    if (!Allowed()) return;
    TFocusingView* focusing = form_.Focusing();
    if (!focusing->Running()) return;
    // As the user would: the Cancel button of the procedure that runs, which
    // gives its own page's controls back.
    const auto* searchCancel = form_.findChild<QWidget*>(QStringLiteral("CancelSearch"));
    if (searchCancel != nullptr && searchCancel->isEnabled()) focusing->CancelSearchClick();
    else focusing->ScanCancelButtonClick();
}

bool TFocusingService::Running() { return form_.Focusing()->Running(); }

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
    constexpr auto kExport = QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals;
    if (!connection.registerObject(Q(scripting::kFocuserPath), focuser, kExport) ||
        !connection.registerObject(Q(scripting::kCameraPath), camera, kExport) ||
        !connection.registerObject(Q(scripting::kFocusingPath), focusing, kExport)) {
        return fail(QStringLiteral("the objects could not be registered"));
    }
    QObject::connect(&form, &TMainForm::focuserGoing, focuser, &TFocuserService::FocuserGoing);
    QObject::connect(&form, &TMainForm::closing, focuser, [connection, focuser, camera]() mutable {
        // Off the bus first: what is still queued for the objects is
        // answered by the bus itself, without the window's time.
        for (const char* path : {scripting::kFocuserPath, scripting::kCameraPath, scripting::kFocusingPath}) {
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
