#include "app/settings_binder.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QHash>
#include <QSpinBox>
#include <cmath>
#include <limits>
#include <type_traits>

#include "app/radio_group.h"

namespace settings_ui {
namespace {

QString Q(std::string_view s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

bool IsSpin(const kv::SettingSpec& s) { return s.control.ends_with("SE"); }
bool IsCombo(const kv::SettingSpec& s) { return s.control.ends_with("ComboBox"); }
bool IsRadio(const kv::SettingSpec& s) { return !s.choices.empty(); }
bool IsWholeSpin(const kv::SettingSpec& s) {
    return IsSpin(s) && s.decimals == 0 && s.type != kv::SettingType::Float &&
           s.type != kv::SettingType::WholeOfFloat;
}

int ColumnsFor(const kv::SettingSpec& s) {
    if (s.choices.size() >= 20) return 5;
    if (s.choices.size() >= 8) return 2;
    return 1;
}

template <class T>
T& Field(kv::Settings& s, const kv::SettingSpec& setting) {
    return s.*std::get<T kv::Settings::*>(setting.field);
}

double NumberOf(const kv::Settings& s, const kv::SettingSpec& setting) {
    return std::visit(
        [&](auto member) -> double {
            using V = std::remove_cvref_t<decltype(s.*member)>;
            if constexpr (std::is_same_v<V, std::string>) {
                return 0.0;
            } else {
                return static_cast<double>(s.*member);
            }
        },
        setting.field);
}

void SetNumber(kv::Settings& s, const kv::SettingSpec& setting, double v) {
    std::visit(
        [&](auto member) {
            using V = std::remove_cvref_t<decltype(s.*member)>;
            if constexpr (std::is_same_v<V, bool>) {
                s.*member = v != 0.0;
            } else if constexpr (std::is_same_v<V, int>) {
                s.*member = static_cast<int>(std::lround(v));
            } else if constexpr (std::is_same_v<V, double>) {
                s.*member = v;
            }
        },
        setting.field);
}

const std::string* TextOf(const kv::Settings& s, const kv::SettingSpec& setting) {
    if (auto p = std::get_if<std::string kv::Settings::*>(&setting.field)) return &(s.**p);
    return nullptr;
}

// What each settings control does, in plain words; spin boxes get their range
// from the box itself.
QString TipFor(const kv::SettingSpec& setting) {
    static const QHash<QString, QString> tips = {
        {"SavePosCB", "Remember where the window was when the program closes"},
        {"CameraComboBox", "The camera plug-in that takes the images"},
        {"FocuserComboBox", "The focuser driver that moves the focus motor"},
        {"CameraIORG", "How the camera is connected"},
        {"ComPortRG", "The serial port the focuser is on"},
        {"ParPortRG", "The parallel port the camera is on"},
        {"CommandRG", "Send focuser commands through the telescope's LX-200 port, or straight to the focuser"},
        {"ExposureTimeDefaultSE", "Longest exposure of the focus exposure slider, in seconds"},
        {"DefaultGainSE", "Focus gain at start: brightens focus frames on screen"},
        {"ROIOnCB", "Measure the star in a square region around it only"},
        {"ROIValueSE", "Side of the square region, in pixels"},
        {"MaskROICB", "Show only the region of interest in focus frames"},
        {"ImageStretchDefaultRG", "How images are stretched for display at start"},
        {"FocusStretchDefaultRG", "How focus frames are stretched for display at start"},
        {"WhiteLevelSE", "Camera counts shown as white by a manual stretch"},
        {"BlackLevelSE", "Camera counts shown as black by a manual stretch"},
        {"NudgeTimeSE", "Length of one motor pulse, in seconds"},
        {"CloseNudgeTimeSE", "Length of a motor pulse close to the target, in seconds"},
        {"NudgeDelaySE", "Pause between motor pulses, in seconds"},
        {"BackLashSE", "Backlash taken up when the motor turns round"},
        {"StopFactorSE", "Moves shorter than this many steps use short pulses only"},
        {"ReverseDirCB", "Swap In and Out, for a motor mounted the other way round"},
        {"DualSenseCB", "Count both edges of each position pulse: twice the steps per turn"},
        {"SBIGInterlockCB", "Before moving, wait for the current focus frame to finish"},
        {"PriorityRG", "How urgently the motor pulses are timed against other programs"},
        {"CodesPerRevSE", "Position codes per turn of the focuser"},
        {"TravelPerRevSE", "Focuser travel per turn"},
        {"CursorTypeRG", "Cursor shape over images"},
        {"FocusSamplesSE", "Readings averaged for each focus measurement"},
        {"SmoothDataCB", "Drop the highest and lowest reading before averaging"},
        {"DefaultInitialStepRG", "First step of an auto focus, in steps"},
        {"FMKind", "The star size or brightness that focusing makes best"},
        {"ComLogCB", "Log every command sent to the focuser"},
        {"ProgLogCB", "Log what the program does"},
        {"NoSplashScreen", "Start without the splash screen"},
        {"VoiceRG", "Voice that speaks the results"},
        {"TCEnableCB", "Show the Temp Control page and allow temperature compensation"},
        {"MinCorrectSE", "Smallest focus correction made, in steps"},
        {"IgnoreCB", "Skip corrections larger than the steps beside"},
        {"IgnoreSE", "Corrections larger than this are skipped, in steps"},
        {"CompRateSE", "Minutes between automatic corrections"},
        {"DefCoefSE", "Focus shift per degree Celsius, in steps, until points are stored"},
        {"TempUpdateSE", "Seconds between temperature readings"},
    };
    return tips.value(Q(setting.control), Q(setting.caption));
}

// Bounds this wide mean the box takes any value; no range is worth showing.
constexpr double kUnbounded = 1e9;

QString RangeText(double min, double max) {
    if (min <= -kUnbounded || max >= kUnbounded) return {};
    const QString a = QString::number(min);
    const QString b = QString::number(max);
    // "-100-100" would read as a subtraction.
    return min < 0 ? QStringLiteral("(%1 to %2)").arg(a, b) : QStringLiteral("(%1-%2)").arg(a, b);
}

}  // namespace

// The text without the range, kept on the widget so a later range change can
// rebuild the tooltip.
constexpr const char* kBaseToolTip = "kvBaseToolTip";

void SetToolTip(QWidget* w, const QString& text) {
    w->setProperty(kBaseToolTip, text);
    QString range;
    if (auto* ispin = qobject_cast<QSpinBox*>(w)) {
        range = RangeText(ispin->minimum(), ispin->maximum());
    } else if (auto* dspin = qobject_cast<QDoubleSpinBox*>(w)) {
        range = RangeText(dspin->minimum(), dspin->maximum());
    }
    w->setToolTip(range.isEmpty() ? text : text + QLatin1Char(' ') + range);
}

void RefreshToolTipRange(QWidget* w) {
    const QVariant base = w->property(kBaseToolTip);
    if (base.isValid()) SetToolTip(w, base.toString());
}

QString LabelFor(const kv::SettingSpec& setting) {
    static const QHash<QString, QString> labels = {
        {"CameraComboBox", "Camera"},
        {"FocuserComboBox", "Focuser"},
        {"ExposureTimeDefaultSE", "Exposure (sec)"},
        {"DefaultGainSE", "Focus Gain"},
        {"ROIValueSE", "ROI Size (pixels)"},
        {"WhiteLevelSE", "White Level"},
        {"BlackLevelSE", "Black Level"},
        {"NudgeTimeSE", "Nudge Time (sec)"},
        {"CloseNudgeTimeSE", "Close Nudge Time (sec)"},
        {"NudgeDelaySE", "Nudge Delay (sec)"},
        {"BackLashSE", "Backlash"},
        {"StopFactorSE", "Stop Factor"},
        {"CodesPerRevSE", "Codes per Revolution"},
        {"TravelPerRevSE", "Travel per Revolution"},
        {"MinCorrectSE", "Minimum Correction (steps)"},
        {"IgnoreSE", "steps"},
        {"CompRateSE", "Compensation Rate (min)"},
        {"DefCoefSE", "Default Coefficient (steps/°C)"},
        {"TempUpdateSE", "Temperature Reading Rate (sec)"},
        {"FocusSamplesSE", "Default Number of Samples per Focus Measurement"},
    };
    return labels.value(Q(setting.control), Q(setting.key));
}

QWidget* CreateControl(const kv::SettingSpec& setting, QWidget* parent) {
    QWidget* w = nullptr;
    if (IsRadio(setting)) {
        QStringList items;
        for (auto c : setting.choices) items << Q(c);
        static const QHash<QString, QString> titles = {
            {"CameraIORG", "Camera Interface"},   {"ComPortRG", "Focuser COM Port"},
            {"ParPortRG", "Parallel Port"},       {"CommandRG", "Focuser Commands"},
            {"ImageStretchDefaultRG", "Image Stretch"}, {"FocusStretchDefaultRG", "Focus Stretch"},
            {"PriorityRG", "Nudge Priority"},     {"CursorTypeRG", "Cursor Type"},
            {"DefaultInitialStepRG", "Initial AutoFocus Step (Clicks)"}, {"FMKind", "Figure of Merit"},
            {"VoiceRG", "Voice"},
        };
        const QString title = setting.caption.empty() ? titles.value(Q(setting.control)) : Q(setting.caption);
        w = new TRadioGroup(title, items, ColumnsFor(setting), parent);
    } else if (IsCombo(setting)) {
        auto* c = new TDropDownComboBox(parent);
        c->setMinimumWidth(200);
        w = c;
    } else if (IsWholeSpin(setting)) {
        auto* sp = new QSpinBox(parent);
        sp->setRange(setting.hasRange ? static_cast<int>(setting.min) : std::numeric_limits<int>::min(),
                     setting.hasRange ? static_cast<int>(setting.max) : std::numeric_limits<int>::max());
        sp->setSingleStep(std::max(1, static_cast<int>(setting.step)));
        sp->setMinimumWidth(80);
        w = sp;
    } else if (IsSpin(setting)) {
        auto* sp = new QDoubleSpinBox(parent);
        sp->setDecimals(setting.decimals);
        sp->setRange(setting.hasRange ? setting.min : -kUnbounded, setting.hasRange ? setting.max : kUnbounded);
        sp->setSingleStep(setting.step);
        sp->setMinimumWidth(80);
        w = sp;
    } else {
        w = new QCheckBox(Q(setting.caption), parent);
    }
    w->setObjectName(Q(setting.control));
    SetToolTip(w, TipFor(setting));
    if (setting.disabled) w->setEnabled(false);
    if (setting.hidden) w->setVisible(false);
    return w;
}

namespace {
void SetControl(QWidget* root, const kv::Settings& s, const kv::SettingSpec& setting) {
    if (setting.control.empty()) return;
    QWidget* w = root->findChild<QWidget*>(Q(setting.control));
    if (w == nullptr) return;
    if (auto* combo = qobject_cast<QComboBox*>(w)) {
        const std::string* text = TextOf(s, setting);
        const QString wanted = text ? QString::fromStdString(*text) : QString();
        // The camera list may name one camera twice (two plug-ins): the last
        // equal name wins there, the first one in the sorted focuser list.
        int found = -1;
        for (int i = 0; i < combo->count(); ++i) {
            if (combo->itemText(i) == wanted) {
                found = i;
                if (setting.control == "FocuserComboBox") break;
            }
        }
        combo->setCurrentIndex(found);
    } else if (auto* radio = qobject_cast<TRadioGroup*>(w)) {
        radio->SetItemIndex(static_cast<int>(NumberOf(s, setting)));
    } else if (auto* check = qobject_cast<QCheckBox*>(w)) {
        check->setChecked(NumberOf(s, setting) != 0.0);
    } else if (auto* ispin = qobject_cast<QSpinBox*>(w)) {
        ispin->setValue(static_cast<int>(std::lround(NumberOf(s, setting))));
    } else if (auto* dspin = qobject_cast<QDoubleSpinBox*>(w)) {
        dspin->setValue(NumberOf(s, setting));
    }
}
}  // namespace

void ToControls(QWidget* root, const kv::Settings& s) {
    for (const auto& setting : kv::SettingSpecs()) SetControl(root, s, setting);
}

void ToControls(QWidget* root, const kv::Settings& s, std::span<const std::string_view> keys) {
    for (std::string_view key : keys) {
        if (const kv::SettingSpec* setting = kv::FindSettingSpec(key)) SetControl(root, s, *setting);
    }
}

kv::Settings FromControls(QWidget* root, const kv::Settings& base) {
    kv::Settings s = base;
    for (const auto& setting : kv::SettingSpecs()) {
        if (setting.control.empty()) continue;
        QWidget* w = root->findChild<QWidget*>(Q(setting.control));
        if (w == nullptr) continue;
        if (auto* combo = qobject_cast<QComboBox*>(w)) {
            // Nothing selected is written as an empty name.
            Field<std::string>(s, setting) = combo->currentIndex() < 0 ? std::string() : combo->currentText().toStdString();
        } else if (auto* radio = qobject_cast<TRadioGroup*>(w)) {
            SetNumber(s, setting, radio->ItemIndex());
        } else if (auto* check = qobject_cast<QCheckBox*>(w)) {
            SetNumber(s, setting, check->isChecked() ? 1 : 0);
        } else if (auto* ispin = qobject_cast<QSpinBox*>(w)) {
            SetNumber(s, setting, ispin->value());
        } else if (auto* dspin = qobject_cast<QDoubleSpinBox*>(w)) {
            SetNumber(s, setting, dspin->value());
        }
    }
    return s;
}

}  // namespace settings_ui
