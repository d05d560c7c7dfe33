#include "app/temp_page.h"

#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLineEdit>
#include <QSpinBox>
#include <QTimer>

#include "app/main_form.h"

TTempPage::TTempPage(TMainForm& form, QWidget* parent) : QWidget(parent), form_(form) {
    setObjectName(QStringLiteral("TempControl"));
    auto* box = new QGroupBox(QStringLiteral("Temperature Compensation"), this);
    box->setGeometry(190, 6, 330, 230);
    auto* f = new QFormLayout(box);

    auto* minSteps = new QSpinBox(box);
    minSteps->setObjectName(QStringLiteral("MinStepsSE"));
    minSteps->setRange(1, 100);
    minSteps->setValue(1);
    f->addRow(QStringLiteral("Mininum\r\nCorrection (steps)"), minSteps);

    auto* ignoreCB = new QCheckBox(QStringLiteral("Ignore Move >"), box);
    ignoreCB->setObjectName(QStringLiteral("IgnoreStepsCB"));
    auto* ignoreSE = new QSpinBox(box);
    ignoreSE->setObjectName(QStringLiteral("IgnoreStepsSE"));
    ignoreSE->setRange(1, 1000);
    ignoreSE->setValue(250);
    ignoreSE->setEnabled(false);
    connect(ignoreCB, &QCheckBox::toggled, ignoreSE, &QWidget::setEnabled);
    f->addRow(ignoreCB, ignoreSE);

    auto* rate = new QDoubleSpinBox(box);
    rate->setObjectName(QStringLiteral("AutoTCRateSE"));
    rate->setRange(0.5, 30);
    rate->setSingleStep(0.5);
    rate->setValue(0.5);
    f->addRow(QStringLiteral("Auto Temp Comp. \r\nRate (minutes)"), rate);

    auto* slope = new QLineEdit(box);
    slope->setObjectName(QStringLiteral("SlopeEdit"));
    f->addRow(QStringLiteral("Steps/°C"), slope);

    auto* reading = new QSpinBox(box);
    reading->setObjectName(QStringLiteral("TempReadingRateSE"));
    reading->setRange(1, 30);
    f->addRow(QStringLiteral("Temperature Update (sec.)"), reading);

    // Hidden until the first temperature reading; the page guard asks it.
    autoSwitch_ = new QCheckBox(QStringLiteral("Auto Compensate"), this);
    autoSwitch_->setObjectName(QStringLiteral("AutoSwitch"));
    autoSwitch_->setGeometry(190, 244, 200, 24);
    autoSwitch_->hide();

    auto timer = [this](const char* name, int ms) {
        auto* t = new QTimer(this);
        t->setObjectName(QString::fromLatin1(name));
        if (ms > 0) t->setInterval(ms);
        return t;
    };
    getTempTimer_ = timer("GetTempTimer", 0);
    tcDetectTimer_ = timer("TCDetectTimer", 1000);
    secondTimer_ = timer("SecondTimer", 1000);
}

void TTempPage::StopTimers() {
    for (QTimer* t : {getTempTimer_, tcDetectTimer_, secondTimer_}) t->stop();
}

bool TTempPage::AutoCompensating() const { return autoSwitch_->isChecked(); }
