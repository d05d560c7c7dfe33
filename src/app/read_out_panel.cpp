#include "app/read_out_panel.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QSpinBox>
#include <QVBoxLayout>

#include "app/main_form.h"
#include "widgets/lum_lite.h"

TReadOutPanel::TReadOutPanel(TMainForm& form, QWidget* parent) : QFrame(parent), form_(form) {
    auto* readOutPanel_ = this;
    setObjectName(QStringLiteral("ReadOutPanel"));
    setFrameStyle(QFrame::Panel | QFrame::Sunken);
    setAutoFillBackground(true);
    setGeometry(10, 45, 170, 250);
    auto* v = new QVBoxLayout(readOutPanel_);
    auto* caption = new QLabel(QStringLiteral("Focuser Position"), readOutPanel_);
    caption->setObjectName(QStringLiteral("FocusPositionLabel"));
    caption->setAlignment(Qt::AlignCenter);
    v->addWidget(caption);
    auto* position = new QLabel(QStringLiteral("0"), readOutPanel_);
    position->setObjectName(QStringLiteral("CTSLabel"));
    position->setAlignment(Qt::AlignCenter);
    position->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    QFont big = position->font();
    big.setPointSize(20);
    big.setBold(true);
    position->setFont(big);
    position->setStyleSheet(QStringLiteral("background: black; color: lime;"));
    v->addWidget(position);
    auto* lamps = new QHBoxLayout;
    for (const char* name : {"InLite", "MovingLite", "OutLite"}) {
        auto* lamp = new kv::TlumLite(readOutPanel_);
        lamp->setObjectName(QString::fromLatin1(name));
        lamps->addWidget(lamp);
    }
    v->addLayout(lamps);
    auto* samplesA = new QLabel(QStringLiteral("Number of Samples"), readOutPanel_);
    auto* samplesB = new QLabel(QStringLiteral("per Focus Measurement"), readOutPanel_);
    auto* samples = new QSpinBox(readOutPanel_);
    samples->setObjectName(QStringLiteral("FocusSamples"));
    samples->setRange(1, 30);
    samples->setValue(5);
    auto* progress = new QProgressBar(readOutPanel_);
    progress->setObjectName(QStringLiteral("ProgressBar2"));
    progress->setTextVisible(false);
    for (QWidget* w : std::initializer_list<QWidget*>{samplesA, samplesB, samples, progress}) v->addWidget(w);
    v->addStretch();
    readOutPanel_->hide();
}

