#include "app/refocus_watch.h"

#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTimer>
#include <cmath>

#include "app/auto_focus_page.h"
#include "app/exposure_page.h"
#include "app/focusing_view.h"
#include "app/manual_focus_page.h"
#include "app/page_context.h"
#include "app/read_out_panel.h"
#include "app/refocus_triggers_group.h"
#include "camera/camera_control.h"
#include "focuser/focus_control.h"
#include "focusing/focus_log.h"
#include "focusing/measure_focus.h"
#include "platform/clock.h"
#include "shell/log_channel.h"

namespace {

using namespace refocus_group;

template <class W>
W* Find(const QObject& root, const char* name) {
    return root.findChild<W*>(QString::fromLatin1(name));
}

}  // namespace

TRefocusWatch::TRefocusWatch(TPageContext& form, TFocusingView& focusing, QObject* parent)
    : QObject(parent), form_(form), focusing_(focusing) {
    timer_ = new QTimer(this);
    timer_->setObjectName(QStringLiteral("RefocusCheckTimer"));
    timer_->setInterval(kCheckIntervalMs);
    connect(timer_, &QTimer::timeout, this, [this] {
        ReadTemperature();
        Check();
    });
    timer_->start();
    connect(form_.ExposurePage(), &TExposurePage::focusFrameShown, this, &TRefocusWatch::FrameShown);
    connect(form_.ManualFocusPage(), &TManualFocusPage::movedByHand, this, &TRefocusWatch::MovedByHand);
    connect(form_.ManualFocusPage(), &TManualFocusPage::moveEnded, this, [this] {
        if (!handMove_) return;
        handMove_ = false;
        triggers_.Moved();
    });
    connect(&focusing_, &TFocusingView::procedureProgress, this, [this] { inProcedure_ = true; });
    connect(&focusing_, &TFocusingView::procedureEnded, this,
            [this](const QString& procedure, bool completed, int, double, const QString&) {
                inProcedure_ = false;
                procedureEndMs_ = Now();
                if (procedure == QLatin1String("autofocus")) AutoFocusEnded(completed);
            });
    for (const char* name : {kTimeCB, kTemperatureCB, kHfdCB}) {
        if (auto* cb = Find<QCheckBox>(form_.Window(), name)) connect(cb, &QCheckBox::toggled, this, &TRefocusWatch::GroupChanged);
    }
    for (const char* name : {kMinutesSE, kHfdReadingsSE}) {
        if (auto* se = Find<QSpinBox>(form_.Window(), name)) connect(se, &QSpinBox::valueChanged, this, &TRefocusWatch::GroupChanged);
    }
    for (const char* name : {kTemperatureSE, kHfdRiseSE}) {
        if (auto* se = Find<QDoubleSpinBox>(form_.Window(), name)) {
            connect(se, &QDoubleSpinBox::valueChanged, this, &TRefocusWatch::GroupChanged);
        }
    }
}

std::int64_t TRefocusWatch::Now() const { return kv::DefaultClock().TickMs(); }

bool TRefocusWatch::Busy() const {
    const kv::TFocusControl* focuser = form_.FocusControl();
    // A move of the window's, a script's or the hub companion's shows as a focuser that is not idle.
    return form_.ProcedureRunning() || inProcedure_ || focuser == nullptr || !form_.State().portOpen ||
           !focuser->GetIdle() || form_.CameraControl() == nullptr || !form_.State().cameraReady;
}

void TRefocusWatch::ReadOwnSettings(const kv::IniFile& ini) {
    const kv::RefocusTriggerSettings s = kv::ReadRefocusTriggers(ini);
    triggers_.SetSettings(s);
    ShowInGroup(s);
}

void TRefocusWatch::ShowInGroup(const kv::RefocusTriggerSettings& s) {
    showing_ = true;
    const auto setCheck = [&](const char* name, bool on) {
        if (auto* w = Find<QCheckBox>(form_.Window(), name)) w->setChecked(on);
    };
    const auto setInt = [&](const char* name, int v) {
        if (auto* w = Find<QSpinBox>(form_.Window(), name)) w->setValue(v);
    };
    const auto setReal = [&](const char* name, double v) {
        if (auto* w = Find<QDoubleSpinBox>(form_.Window(), name)) w->setValue(v);
    };
    setCheck(kTimeCB, s.afterTime);
    setInt(kMinutesSE, s.minutes);
    setCheck(kTemperatureCB, s.onTemperature);
    setReal(kTemperatureSE, s.temperatureC);
    setCheck(kHfdCB, s.onHfdRise);
    setReal(kHfdRiseSE, s.hfdRisePercent);
    setInt(kHfdReadingsSE, s.hfdReadings);
    showing_ = false;
}

void TRefocusWatch::GroupChanged() {
    if (showing_) return;
    kv::RefocusTriggerSettings s = Settings();
    if (auto* w = Find<QCheckBox>(form_.Window(), kTimeCB)) s.afterTime = w->isChecked();
    if (auto* w = Find<QSpinBox>(form_.Window(), kMinutesSE)) s.minutes = w->value();
    if (auto* w = Find<QCheckBox>(form_.Window(), kTemperatureCB)) s.onTemperature = w->isChecked();
    if (auto* w = Find<QDoubleSpinBox>(form_.Window(), kTemperatureSE)) s.temperatureC = w->value();
    if (auto* w = Find<QCheckBox>(form_.Window(), kHfdCB)) s.onHfdRise = w->isChecked();
    if (auto* w = Find<QDoubleSpinBox>(form_.Window(), kHfdRiseSE)) s.hfdRisePercent = w->value();
    if (auto* w = Find<QSpinBox>(form_.Window(), kHfdReadingsSE)) s.hfdReadings = w->value();
    const kv::WriteResult written = Change(s);
    if (written.ok) return;
    form_.Dialogs().Show(written.message, kv::DialogType::Error, kv::DialogButtons::Ok);
}

kv::WriteResult TRefocusWatch::Change(const kv::RefocusTriggerSettings& wanted) {
    const kv::RefocusTriggerSettings before = Settings();
    const kv::RefocusTriggerSettings after = kv::ClampRefocusTriggers(wanted);
    const kv::WriteResult written = kv::SaveRefocusTriggers(form_.IniPath(), before, after);
    if (!written.ok) {
        kv::WriteProgramLog(written.message);
        ShowInGroup(before);
        return written;
    }
    triggers_.SetSettings(after);
    ShowInGroup(after);
    return written;
}

std::optional<double> TRefocusWatch::Temperature() const {
    return kv::KeptTemperatureOf(form_.FocusControl());
}

void TRefocusWatch::ReadTemperature() {
    if (const std::optional<double> t = Temperature()) triggers_.Temperature(Now(), *t);
}

void TRefocusWatch::AutoFocusEnded(bool completed) { triggers_.FocusEnded(Now(), completed, Temperature()); }

void TRefocusWatch::FrameShown() {
    // A procedure's frames are taken away from where focus will be left.
    if (form_.ProcedureRunning()) inProcedure_ = true;
    if (inProcedure_ || Now() - procedureEndMs_ < kProcedureFrameLagMs) return;
    const kv::TCameraControl* camera = form_.CameraControl();
    if (camera == nullptr) return;
    const kv::FocusReading r = camera->Reading();
    if (r.status != kv::StarStatus::Ok) return;
    triggers_.Reading(Now(), r.HFD, kv::HfdSource::FocusFrame);
    Check();
}

void TRefocusWatch::MovedByHand() {
    handMove_ = true;
    triggers_.Moved();
}

bool TRefocusWatch::ClientReading(double hfd) {
    if (!std::isfinite(hfd) || hfd <= 0.0) return false;
    triggers_.Reading(Now(), hfd, kv::HfdSource::Client);
    Check();
    return true;
}

std::optional<kv::RefocusDue> TRefocusWatch::Check() {
    const std::optional<kv::RefocusDue> due = triggers_.Due(Now(), Busy());
    if (!due) return due;
    kv::WriteProgramLog(due->reason);
    WriteFocusLog(*due);
    const QString reason = QString::fromStdString(due->reason);
    emit triggered(QString::fromLatin1(kv::RefocusRuleName(due->rule)), reason);
    form_.AutoFocusPage()->StartRefocus(reason);
    if (!form_.ProcedureRunning()) {
        // No star selected, a box in the way: the rules try again later rather than at every reading.
        const std::string text = "The refocus did not start (" + due->reason +
                                 "): check that a star is selected and the camera and focuser are ready; the "
                                 "triggers try again in " + std::to_string(kv::kRefocusRetryMs / 60000) + " minutes";
        kv::WriteProgramLog(text);
        form_.SetStatusPanel(0, QString::fromStdString(text));
        triggers_.FocusEnded(Now(), false, std::nullopt);
    }
    return due;
}

void TRefocusWatch::WriteFocusLog(const kv::RefocusDue& due) {
    kv::FocusLogEntry e;
    e.time = kv::FocusLogTimeNow();
    // Not "autofocus": the history and the calibration never take it for a run with a best focus.
    e.procedure = "trigger";
    e.method = kv::RefocusRuleName(due.rule);
    e.outcome = "fired";
    const kv::TFocusControl* focuser = form_.FocusControl();
    e.start = e.final = focuser != nullptr ? focuser->CTSCount() : 0;
    if (const std::optional<std::int32_t> absolute = kv::AbsolutePositionOf(focuser)) {
        e.absoluteStart = e.absoluteFinal = *absolute;
    }
    e.kind = "HFD";
    e.stars = 0;
    e.temperatureC = Temperature();
    e.reason = due.reason;
    kv::TFocusLog log(form_.FocusLogPath());
    if (!log.Append(e)) {
        if (const std::optional<std::string> warning = log.TakeWarning()) kv::WriteProgramLog(*warning);
    }
}
