#include "app/focus_panel.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QSlider>
#include <QVBoxLayout>

#include "app/main_form.h"
#include "widgets/lum_lbl.h"
#include "widgets/lum_lite.h"
#include "widgets/tcolor.h"

namespace {

QLabel* Caption(const QString& text, QWidget* parent) {
    auto* l = new kv::TlumLbl(parent);
    l->setText(text);
    l->setAlignment(Qt::AlignCenter);
    l->setFixedHeight(20);
    return l;
}

}  // namespace

void TFocusPanel::ShowInterruptsLite(bool show) {
    intLabel_->setVisible(show);
    intLite_->setVisible(show);
}

TFocusPanel::TFocusPanel(TMainForm& form, QWidget* parent) : QFrame(parent), form_(form) {
    auto* focusPanel_ = this;
    setObjectName(QStringLiteral("FocusPanel"));
    setFrameStyle(QFrame::Panel | QFrame::Raised);
    setAutoFillBackground(true);
    setGeometry(TMainForm::kClientWidth - kWidth - 4, 26, kWidth, 520);

    auto* v = new QVBoxLayout(focusPanel_);
    v->setContentsMargins(6, 6, 6, 6);
    v->setSpacing(3);

    auto* head = new QHBoxLayout;
    head->addWidget(new QLabel(QStringLiteral("Focus Frame"), focusPanel_));
    head->addStretch();
    head->addWidget(new QLabel(QStringLiteral("Camera Busy"), focusPanel_));
    cameraBusyLight_ = new kv::TlumLite(focusPanel_);
    cameraBusyLight_->setObjectName(QStringLiteral("CameraBusyLight"));
    cameraBusyLight_->SetOnColor(kv::ColorFromTColor(250859));
    cameraBusyLight_->SetOffColor(kv::ColorFromTColor(30583));
    head->addWidget(cameraBusyLight_);
    v->addLayout(head);

    auto* display = new QLabel(focusPanel_);
    display->setObjectName(QStringLiteral("FocusDisplayPanel"));
    display->setFixedSize(130, 130);
    display->setStyleSheet(QStringLiteral("background: black; border: 1px inset gray;"));
    v->addWidget(display, 0, Qt::AlignHCenter);

    auto* figures = new QGridLayout;
    const char* names[] = {"FWHM", "xFWHM", "yFWHM", "Peak", "HFD"};
    for (int i = 0; i < 5; ++i) {
        figures->addWidget(new QLabel(QString::fromLatin1(names[i]), focusPanel_), i, 0);
        auto* value = new QLabel(QStringLiteral("--"), focusPanel_);
        value->setObjectName(QStringLiteral("%1Value").arg(QString::fromLatin1(names[i])));
        value->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        value->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        figures->addWidget(value, i, 1);
    }
    auto* fom = new QLabel(QStringLiteral("FWHM"), focusPanel_);
    fom->setObjectName(QStringLiteral("FOMLabel"));
    fom->setStyleSheet(QStringLiteral("font-weight: bold;"));
    figures->addWidget(new QLabel(QStringLiteral("Figure of Merit"), focusPanel_), 5, 0);
    figures->addWidget(fom, 5, 1);
    v->addLayout(figures);

    const struct {
        const char* name;
        const char* label;
        const char* caption;
        int min, max, value;
    } sliders[] = {{"ExposureMS", "ExposeTimeLabel", "Expose Time = 0.50", 0, 2000, 1000},
                   {"FocusGain", "FocusGainLabel", "Focus Gain = 1.0", 1, 40, 10},
                   {"Magnification", "MagLabel", "Magnification = 1x", 1, 3, 1},
                   {"FWHMFactor", "FWHMFactorLabel", "FWHM Factor = 1x", 1, 3, 1}};
    for (const auto& s : sliders) {
        auto* caption = Caption(QString::fromLatin1(s.caption), focusPanel_);
        caption->setObjectName(QString::fromLatin1(s.label));
        v->addWidget(caption);
        auto* slider = new QSlider(Qt::Horizontal, focusPanel_);
        slider->setObjectName(QString::fromLatin1(s.name));
        slider->setRange(s.min, s.max);
        slider->setValue(s.value);
        v->addWidget(slider);
    }
    v->addStretch();
    auto* intRow = new QHBoxLayout;
    intLabel_ = new QLabel(QStringLiteral("Hardware Interrupts State"), focusPanel_);
    intLabel_->setObjectName(QStringLiteral("IntLabel"));
    intLite_ = new kv::TlumLite(focusPanel_);
    intLite_->setObjectName(QStringLiteral("IntLite"));
    intRow->addWidget(intLabel_);
    intRow->addWidget(intLite_);
    intRow->addStretch();
    v->addLayout(intRow);
    intLabel_->hide();
    intLite_->hide();
}


void TFocusPanel::ClearFocusReadings() {}
void TFocusPanel::ShowFocusReadings() {}
void TFocusPanel::SetFomKind(int) {}
