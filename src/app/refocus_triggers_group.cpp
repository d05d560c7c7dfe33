#include "app/refocus_triggers_group.h"

#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QSpinBox>

#include "app/settings_binder.h"
#include "focusing/refocus_triggers.h"

using namespace refocus_group;

QGroupBox* NewRefocusTriggersGroup(QWidget* parent) {
    auto* group = new QGroupBox(QStringLiteral("Refocus Triggers"), parent);
    group->setObjectName(QStringLiteral("RefocusTriggersGB"));
    group->setToolTip(QStringLiteral("Refocus by itself, after the first auto focus of the session, when one of these "
                                     "holds; never while a procedure or another program's move runs"));
    auto* grid = new QGridLayout(group);
    const auto check = [&](const char* name, const QString& text, int row) {
        auto* cb = new QCheckBox(text, group);
        cb->setObjectName(QString::fromLatin1(name));
        grid->addWidget(cb, row, 0);
        return cb;
    };
    const auto unit = [&](const QString& text, int row, int column) {
        grid->addWidget(new QLabel(text, group), row, column);
    };
    const kv::RefocusTriggerSettings def;
    check(kTimeCB, QStringLiteral("After"), 0);
    auto* minutes = new QSpinBox(group);
    minutes->setObjectName(QString::fromLatin1(kMinutesSE));
    minutes->setRange(kv::kRefocusMinutesMin, kv::kRefocusMinutesMax);
    minutes->setValue(def.minutes);
    settings_ui::SetToolTip(minutes, QStringLiteral("Minutes since the last completed auto focus"));
    grid->addWidget(minutes, 0, 1);
    unit(QStringLiteral("minutes since the last focus"), 0, 2);

    check(kTemperatureCB, QStringLiteral("Temperature changed by"), 1);
    auto* temperature = new QDoubleSpinBox(group);
    temperature->setObjectName(QString::fromLatin1(kTemperatureSE));
    temperature->setDecimals(1);
    temperature->setSingleStep(0.1);
    temperature->setRange(kv::kRefocusTemperatureMinC, kv::kRefocusTemperatureMaxC);
    temperature->setValue(def.temperatureC);
    settings_ui::SetToolTip(temperature, QStringLiteral("Change of temperature since the last completed auto focus, "
                                                        "either way"));
    grid->addWidget(temperature, 1, 1);
    unit(QStringLiteral("\u00B0C"), 1, 2);

    check(kHfdCB, QStringLiteral("HFD risen by"), 2);
    auto* rise = new QDoubleSpinBox(group);
    rise->setObjectName(QString::fromLatin1(kHfdRiseSE));
    rise->setDecimals(0);
    rise->setRange(kv::kRefocusHfdRiseMinPercent, kv::kRefocusHfdRiseMaxPercent);
    rise->setValue(def.hfdRisePercent);
    settings_ui::SetToolTip(rise, QStringLiteral("Rise of the star's HFD over its value just after the last focus, "
                                                 "in per cent"));
    grid->addWidget(rise, 2, 1);
    unit(QStringLiteral("% (median of the last"), 2, 2);
    auto* readings = new QSpinBox(group);
    readings->setObjectName(QString::fromLatin1(kHfdReadingsSE));
    readings->setRange(kv::kRefocusHfdReadingsMin, kv::kRefocusHfdReadingsMax);
    readings->setValue(def.hfdReadings);
    settings_ui::SetToolTip(readings, QStringLiteral("Readings compared: the median of as many just after the last "
                                                     "focus is the value the rise is measured from"));
    grid->addWidget(readings, 3, 1);
    unit(QStringLiteral("readings)"), 3, 2);
    grid->setColumnStretch(2, 1);
    return group;
}
