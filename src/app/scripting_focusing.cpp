#include "app/scripting_focusing.h"

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
#include "app/scripting_calls.h"

using scripting_calls::CloseNotices;
using scripting_calls::ControlsOf;
using scripting_calls::LogRefusal;
using scripting_calls::Q;

namespace {

// "golden", "fit" and "quick" as the Auto Focus page's method items; the page's own
// captions are taken too.
std::optional<int> MethodItem(const QString& method) {
    const QString m = method.trimmed().toLower();
    if (m == QLatin1String("golden") || m == QLatin1String("golden section")) return TAutoFocusPage::kGoldenSectionItem;
    if (m == QLatin1String("fit") || m == QLatin1String("curve fit")) return TAutoFocusPage::kCurveFitItem;
    if (m == QLatin1String("quick") || m == QLatin1String("quick refocus")) return TAutoFocusPage::kQuickRefocusItem;
    return std::nullopt;
}

}  // namespace

// ---------------------------------------------------------------- focusing

TFocusingService::TFocusingService(TScriptedWindow& form, QObject* parent) : QObject(parent), form_(form) {
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
        const auto* spin = form_.Window().findChild<QSpinBox*>(QString::fromLatin1(name));
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
        if (auto* spin = form_.Window().findChild<QSpinBox*>(QString::fromLatin1(name))) spin->setValue(value);
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
    const auto* searchCancel = form_.Window().findChild<QWidget*>(QStringLiteral("CancelSearch"));
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

TRefocusService::TRefocusService(TScriptedWindow& form, QObject* parent) : QObject(parent), form_(form) {
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
