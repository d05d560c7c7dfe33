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
T& Field(kv::Settings& s, const kv::SettingSpec& spec) {
    return s.*std::get<T kv::Settings::*>(spec.field);
}

double NumberOf(const kv::Settings& s, const kv::SettingSpec& spec) {
    return std::visit(
        [&](auto member) -> double {
            using V = std::remove_cvref_t<decltype(s.*member)>;
            if constexpr (std::is_same_v<V, std::string>) {
                return 0.0;
            } else {
                return static_cast<double>(s.*member);
            }
        },
        spec.field);
}

void SetNumber(kv::Settings& s, const kv::SettingSpec& spec, double v) {
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
        spec.field);
}

const std::string* TextOf(const kv::Settings& s, const kv::SettingSpec& spec) {
    if (auto p = std::get_if<std::string kv::Settings::*>(&spec.field)) return &(s.**p);
    return nullptr;
}

}  // namespace

QString LabelFor(const kv::SettingSpec& spec) {
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
        {"FocusSamplesSE", "Focus Samples"},
    };
    return labels.value(Q(spec.control), Q(spec.key));
}

QWidget* CreateControl(const kv::SettingSpec& spec, QWidget* parent) {
    QWidget* w = nullptr;
    if (IsRadio(spec)) {
        QStringList items;
        for (auto c : spec.choices) items << Q(c);
        static const QHash<QString, QString> titles = {
            {"CameraIORG", "Camera Interface"},   {"ComPortRG", "Focuser COM Port"},
            {"ParPortRG", "Parallel Port"},       {"CommandRG", "Focuser Commands"},
            {"ImageStretchDefaultRG", "Image Stretch"}, {"FocusStretchDefaultRG", "Focus Stretch"},
            {"PriorityRG", "Nudge Priority"},     {"CursorTypeRG", "Cursor Type"},
            {"DefaultInitialStepRG", "Initial Step"}, {"FMKind", "Figure of Merit"},
            {"VoiceRG", "Voice"},
        };
        const QString title = spec.caption.empty() ? titles.value(Q(spec.control)) : Q(spec.caption);
        w = new TRadioGroup(title, items, ColumnsFor(spec), parent);
    } else if (IsCombo(spec)) {
        auto* c = new TDropDownComboBox(parent);
        c->setMinimumWidth(200);
        w = c;
    } else if (IsWholeSpin(spec)) {
        auto* sp = new QSpinBox(parent);
        sp->setRange(spec.hasRange ? static_cast<int>(spec.min) : std::numeric_limits<int>::min(),
                     spec.hasRange ? static_cast<int>(spec.max) : std::numeric_limits<int>::max());
        sp->setSingleStep(std::max(1, static_cast<int>(spec.step)));
        sp->setMinimumWidth(80);
        w = sp;
    } else if (IsSpin(spec)) {
        auto* sp = new QDoubleSpinBox(parent);
        sp->setDecimals(spec.decimals);
        sp->setRange(spec.hasRange ? spec.min : -1e9, spec.hasRange ? spec.max : 1e9);
        sp->setSingleStep(spec.step);
        sp->setMinimumWidth(80);
        w = sp;
    } else {
        w = new QCheckBox(Q(spec.caption), parent);
    }
    w->setObjectName(Q(spec.control));
    if (spec.disabled) w->setEnabled(false);
    if (spec.hidden) w->setVisible(false);
    return w;
}

void ToControls(QWidget* root, const kv::Settings& s) {
    for (const auto& spec : kv::SettingSpecs()) {
        if (spec.control.empty()) continue;
        QWidget* w = root->findChild<QWidget*>(Q(spec.control));
        if (w == nullptr) continue;
        if (auto* combo = qobject_cast<QComboBox*>(w)) {
            const std::string* text = TextOf(s, spec);
            const QString wanted = text ? QString::fromStdString(*text) : QString();
            // The camera list may name one camera twice (two plug-ins): the last
            // equal name wins there, the first one in the sorted focuser list.
            int found = -1;
            for (int i = 0; i < combo->count(); ++i) {
                if (combo->itemText(i) == wanted) {
                    found = i;
                    if (spec.control == "FocuserComboBox") break;
                }
            }
            combo->setCurrentIndex(found);
        } else if (auto* radio = qobject_cast<TRadioGroup*>(w)) {
            radio->SetItemIndex(static_cast<int>(NumberOf(s, spec)));
        } else if (auto* check = qobject_cast<QCheckBox*>(w)) {
            check->setChecked(NumberOf(s, spec) != 0.0);
        } else if (auto* ispin = qobject_cast<QSpinBox*>(w)) {
            ispin->setValue(static_cast<int>(std::lround(NumberOf(s, spec))));
        } else if (auto* dspin = qobject_cast<QDoubleSpinBox*>(w)) {
            dspin->setValue(NumberOf(s, spec));
        }
    }
}

kv::Settings FromControls(QWidget* root, const kv::Settings& base) {
    kv::Settings s = base;
    for (const auto& spec : kv::SettingSpecs()) {
        if (spec.control.empty()) continue;
        QWidget* w = root->findChild<QWidget*>(Q(spec.control));
        if (w == nullptr) continue;
        if (auto* combo = qobject_cast<QComboBox*>(w)) {
            // Nothing selected is written as an empty name.
            Field<std::string>(s, spec) = combo->currentIndex() < 0 ? std::string() : combo->currentText().toStdString();
        } else if (auto* radio = qobject_cast<TRadioGroup*>(w)) {
            SetNumber(s, spec, radio->ItemIndex());
        } else if (auto* check = qobject_cast<QCheckBox*>(w)) {
            SetNumber(s, spec, check->isChecked() ? 1 : 0);
        } else if (auto* ispin = qobject_cast<QSpinBox*>(w)) {
            SetNumber(s, spec, ispin->value());
        } else if (auto* dspin = qobject_cast<QDoubleSpinBox*>(w)) {
            SetNumber(s, spec, dspin->value());
        }
    }
    return s;
}

}  // namespace settings_ui
