#include "app/scripting_service.h"

#include <QDBusMetaType>
#include <QTimer>

#include "app/exposure_page.h"
#include "app/main_form.h"
#include "app/manual_focus_page.h"
#include "app/read_out_panel.h"
#include "camera/camera_control.h"
#include "focuser/focus_control.h"

namespace {

// Longer than the longest focus exposure the camera controller waits for.
constexpr int kFocusFrameAnswerMs = 60000;

QString Q(const char* s) { return QString::fromLatin1(s); }

scripting::Figures FiguresOf(const kv::FocusReading& r) {
    return {{QStringLiteral("FWHM"), r.FWHM}, {QStringLiteral("HFD"), r.HFD},   {QStringLiteral("xFWHM"), r.xFWHM},
            {QStringLiteral("yFWHM"), r.yFWHM}, {QStringLiteral("Peak"), r.Peak}, {QStringLiteral("FOM"), r.FOM}};
}

}  // namespace

// ---------------------------------------------------------------- focuser

TFocuserService::TFocuserService(TMainForm& form, QObject* parent) : QObject(parent), form_(form) {
    connect(form_.ManualFocusPage(), &TManualFocusPage::moveEnded, this, &TFocuserService::MoveFinished);
}

bool TFocuserService::Ready() {
    if (form_.FocusControl() != nullptr && form_.State().portOpen) return true;
    sendErrorReply(Q(scripting::kErrorNotReady), QStringLiteral("The focuser is not connected"));
    return false;
}

int TFocuserService::Position() { return form_.ReadOutPanel()->PositionValue(); }

void TFocuserService::MoveTo(int position) {
    if (!Ready()) return;
    form_.ManualFocusPage()->StopAnnouncer();
    form_.FocusControl()->MoveTo(position);
}

void TFocuserService::MoveBy(int steps) {
    if (!Ready()) return;
    form_.ManualFocusPage()->StopAnnouncer();
    form_.FocusControl()->MoveBy(steps);
}

void TFocuserService::Halt() {
    if (kv::TFocusControl* focuser = form_.FocusControl()) {
        focuser->CancelMovement();
        focuser->StopMove();
    }
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
    timeout_ = new QTimer(this);
    timeout_->setSingleShot(true);
    timeout_->setInterval(kFocusFrameAnswerMs);
    connect(timeout_, &QTimer::timeout, this, [this] {
        if (!waiting_) return;
        waiting_ = false;
        bus_.send(pending_.createErrorReply(Q(scripting::kErrorFailed),
                                                                  QStringLiteral("The focus frame did not arrive")));
    });
}

scripting::Figures TCameraService::TakeFocusFrame() {
    kv::TCameraControl* camera = form_.CameraControl();
    if (camera == nullptr || !form_.State().cameraReady) {
        sendErrorReply(Q(scripting::kErrorNotReady), QStringLiteral("The camera is not ready"));
        return {};
    }
    if (!form_.State().starSelected) {
        sendErrorReply(Q(scripting::kErrorNotReady), QStringLiteral("No star is selected"));
        return {};
    }
    if (waiting_ || camera->ContinuousFocus()) {
        sendErrorReply(Q(scripting::kErrorBusy), QStringLiteral("The camera is taking focus frames already"));
        return {};
    }
    if (form_.FocusControl() != nullptr && !form_.FocusControl()->GetIdle()) {
        sendErrorReply(Q(scripting::kErrorBusy), QStringLiteral("The focuser is moving"));
        return {};
    }
    setDelayedReply(true);
    pending_ = message();
    waiting_ = true;
    timeout_->start();
    form_.ExposurePage()->GetFocusImage();
    return {};
}

void TCameraService::FrameShown() {
    const kv::TCameraControl* camera = form_.CameraControl();
    if (camera == nullptr) return;
    const scripting::Figures figures = FiguresOf(camera->Reading());
    if (waiting_) {
        waiting_ = false;
        timeout_->stop();
        bus_.send(pending_.createReply(QVariant::fromValue(figures)));
    }
    emit FocusFrameTaken(figures);
}

// ---------------------------------------------------------------- registration

bool RegisterScripting(TMainForm& form, QDBusConnection connection, QObject* parent, QString* error) {
    qDBusRegisterMetaType<scripting::Figures>();
    auto fail = [&](const QString& why) {
        if (error != nullptr) *error = why;
        return false;
    };
    if (!connection.isConnected()) return fail(QStringLiteral("no session bus"));
    auto* focuser = new TFocuserService(form, parent);
    auto* camera = new TCameraService(form, connection, parent);
    constexpr auto kExport = QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals;
    if (!connection.registerObject(Q(scripting::kFocuserPath), focuser, kExport) ||
        !connection.registerObject(Q(scripting::kCameraPath), camera, kExport)) {
        return fail(QStringLiteral("the objects could not be registered"));
    }
    // A second Kessivane on the same desktop keeps the first one's name; its
    // objects are still there under its own unique bus name.
    if (!connection.registerService(Q(scripting::kService))) {
        return fail(QStringLiteral("%1 is taken by another Kessivane").arg(Q(scripting::kService)));
    }
    return true;
}
