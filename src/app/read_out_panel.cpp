#include "app/read_out_panel.h"

#include <QGridLayout>
#include <QLabel>
#include <QProgressBar>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>

#include "app/page_context.h"
#include "app/settings_binder.h"
#include "focusing/focusing_runner.h"
#include "widgets/lum_lite.h"

TReadOutPanel::TReadOutPanel(TPageContext& form, QWidget* parent) : QFrame(parent), form_(form) {
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
    ctsLabel_ = position;
    caption_->Set(position->text().toStdString());
    auto* lamps = new QGridLayout;
    lamps->setVerticalSpacing(0);
    const char* names[] = {"InLite", "MovingLite", "OutLite"};
    const char* captions[] = {"In", "Moving", "Out"};
    kv::TlumLite** lamp[] = {&inLite_, &movingLite_, &outLite_};
    for (int i = 0; i < 3; ++i) {
        *lamp[i] = new kv::TlumLite(readOutPanel_);
        (*lamp[i])->setObjectName(QString::fromLatin1(names[i]));
        lamps->addWidget(*lamp[i], 0, i, Qt::AlignHCenter);
        auto* lampCaption = new QLabel(QString::fromLatin1(captions[i]), readOutPanel_);
        QFont small = lampCaption->font();
        small.setPointSize(small.pointSize() - 2);
        lampCaption->setFont(small);
        lamps->addWidget(lampCaption, 1, i, Qt::AlignHCenter);
    }
    v->addLayout(lamps);
    auto* samplesA = new QLabel(QStringLiteral("Number of Samples"), readOutPanel_);
    auto* samplesB = new QLabel(QStringLiteral("per Focus Measurement"), readOutPanel_);
    auto* samples = new QSpinBox(readOutPanel_);
    samples->setObjectName(QStringLiteral("FocusSamples"));
    samples->setRange(kv::kFocusSamplesMin, kv::kFocusSamplesMax);
    samples->setValue(kv::kDefaultFocusSamples);
    settings_ui::SetToolTip(samples, QStringLiteral("Readings averaged for each focus measurement"));
    auto* progress = new QProgressBar(readOutPanel_);
    progress->setObjectName(QStringLiteral("ProgressBar2"));
    progress->setTextVisible(false);
    for (QWidget* w : std::initializer_list<QWidget*>{samplesA, samplesB, samples, progress}) v->addWidget(w);
    v->addStretch();
    readOutPanel_->hide();

    movingTimer_ = new QTimer(this);
    movingTimer_->setObjectName(QStringLiteral("MovingTimer"));
    movingTimer_->setSingleShot(true);
    movingTimer_->setInterval(kMovingTimerMs);
    connect(movingTimer_, &QTimer::timeout, this, [this] {
        movingTimer_->stop();
        movingLite_->SetLit(false);
    });
}

void TReadOutPanel::SetPositionText(const QString& text) {
    caption_->Set(text.toStdString());
    ctsLabel_->setText(text);
}

QString TReadOutPanel::PositionText() const { return ctsLabel_->text(); }

int TReadOutPanel::PositionValue() const { return ctsLabel_->text().trimmed().toInt(); }

