#include "app/splash_form.h"

#include "widgets/night_vision.h"

#include <QEventLoop>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QRadialGradient>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

namespace {
constexpr int kWidth = 440;
constexpr int kHeight = 300;
constexpr int kSkyHeight = 150;
}  // namespace

TSplashForm::TSplashForm(QWidget* parent)
    : QDialog(parent, Qt::SplashScreen | Qt::FramelessWindowHint),
      label1_(new QLabel(QStringLiteral("Kessivane"), this)),
      label2_(new QLabel(QStringLiteral("Telescope focusing and temperature compensation"), this)),
      version_(new QLabel(this)),
      notice_(new QLabel(QStringLiteral("Free software. Use at the telescope, at your own risk."), this)),
      tcLabel_(new QLabel(this)),
      ok_(new QPushButton(QStringLiteral("OK"), this)),
      frameTimer_(new QTimer(this)),
      timer1_(new QTimer(this)) {
    setObjectName(QStringLiteral("SplashForm"));
    setFixedSize(kWidth, kHeight);
    label1_->setObjectName(QStringLiteral("Label1"));
    label2_->setObjectName(QStringLiteral("Label2"));
    version_->setObjectName(QStringLiteral("Version"));
    notice_->setObjectName(QStringLiteral("NoticeLabel"));
    tcLabel_->setObjectName(QStringLiteral("TCLabel"));
    ok_->setObjectName(QStringLiteral("OKButton"));

    QFont big = label1_->font();
    big.setPointSize(20);
    big.setBold(true);
    label1_->setFont(big);

    auto* lay = new QVBoxLayout(this);
    lay->setContentsMargins(16, kSkyHeight + 8, 16, 10);
    lay->setSpacing(2);
    for (QLabel* l : {label1_, label2_, version_, tcLabel_, notice_}) {
        l->setAlignment(Qt::AlignHCenter);
        lay->addWidget(l);
    }
    lay->addStretch();
    lay->addWidget(ok_, 0, Qt::AlignHCenter);
    connect(ok_, &QPushButton::clicked, this, &QDialog::accept);

    frameTimer_->setInterval(33);
    connect(frameTimer_, &QTimer::timeout, this, [this] {
        update(0, 0, kWidth, kSkyHeight);
        if (clock_.elapsed() >= kAnimationMs) AnimationStopped();
    });
    timer1_->setSingleShot(true);
    timer1_->setInterval(kTimer1Ms);
    connect(timer1_, &QTimer::timeout, this, [this] {
        timer1_->stop();
        done_ = true;
        if (onDone_) onDone_();
        hide();
        emit Done();
    });
}

void TSplashForm::WaitUntilDone() {
    // Only a shown auto-closing splash ever becomes done.
    if (done_ || !autoClose_ || !isVisible()) return;
    QEventLoop loop;
    connect(this, &TSplashForm::Done, &loop, &QEventLoop::quit);
    loop.exec();
}

void TSplashForm::SetTCText(const QString& text) { tcLabel_->setText(text); }

bool TSplashForm::AnimationRunning() const { return animating_; }

void TSplashForm::showEvent(QShowEvent* e) {
    QDialog::showEvent(e);
    version_->setText(QStringLiteral("Version " KV_VERSION));
    for (QWidget* w : std::initializer_list<QWidget*>{label1_, label2_, version_, notice_, tcLabel_, ok_}) {
        w->hide();
    }
    animating_ = true;
    clock_.start();
    frameTimer_->start();
}

void TSplashForm::AnimationStopped() {
    frameTimer_->stop();
    animating_ = false;
    update();
    for (QWidget* w : std::initializer_list<QWidget*>{label1_, label2_, version_, notice_, tcLabel_}) {
        w->show();
    }
    if (autoClose_) {
        timer1_->start();
    } else {
        ok_->show();
        ok_->setFocus();
    }
}

double TSplashForm::Progress() const {
    if (!animating_) return 1.0;
    return std::clamp(static_cast<double>(clock_.elapsed()) / kAnimationMs, 0.0, 1.0);
}

void TSplashForm::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.fillRect(rect(), palette().window());

    // Night sky.
    const QRect sky(0, 0, kWidth, kSkyHeight);
    QLinearGradient night(sky.topLeft(), sky.bottomLeft());
    night.setColorAt(0, kv::ShownColor(QColor(4, 6, 22)));
    night.setColorAt(1, kv::ShownColor(QColor(20, 30, 64)));
    p.fillRect(sky, night);
    // A few fixed background stars.
    p.setPen(Qt::NoPen);
    static constexpr int stars[][3] = {{30, 20, 1}, {80, 110, 2}, {150, 35, 1}, {395, 25, 2}, {410, 120, 1},
                                       {250, 128, 1}, {330, 60, 1}, {60, 70, 1}, {190, 100, 1}};
    for (const auto& s : stars) {
        p.setBrush(kv::ShownColor(QColor(200, 210, 255)));
        p.drawEllipse(QPointF(s[0], s[1]), s[2] * 0.8, s[2] * 0.8);
    }

    // The star coming to focus: a defocused doughnut (the secondary's shadow)
    // that closes into a point.
    const double t = Progress();
    const double ease = 1.0 - std::pow(1.0 - t, 3.0);
    const QPointF centre(120, 75);
    const double radius = 3.0 + 45.0 * (1.0 - ease);
    QRadialGradient g(centre, radius);
    const int alpha = static_cast<int>(90 + 165 * ease);
    g.setColorAt(0.0, kv::ShownColor(QColor(255, 255, 240, alpha)));
    g.setColorAt(0.35 * (1.0 - ease), kv::ShownColor(QColor(255, 250, 220, static_cast<int>(alpha * (0.2 + 0.8 * ease)))));
    g.setColorAt(0.6, kv::ShownColor(QColor(255, 240, 200, alpha / 2)));
    g.setColorAt(1.0, kv::ShownColor(QColor(255, 240, 200, 0)));
    p.setBrush(g);
    p.drawEllipse(centre, radius, radius);
    if (ease > 0.85) {  // diffraction spikes once sharp
        p.setPen(QPen(kv::ShownColor(QColor(255, 255, 240, static_cast<int>(255 * (ease - 0.85) / 0.15))), 1));
        p.drawLine(centre - QPointF(14, 0), centre + QPointF(14, 0));
        p.drawLine(centre - QPointF(0, 14), centre + QPointF(0, 14));
    }

    // The focus curve being traced: figure of merit against position.
    const QRectF chart(230, 22, 180, 106);
    p.setPen(QPen(kv::ShownColor(QColor(90, 110, 160)), 1));
    p.setBrush(Qt::NoBrush);
    p.drawLine(chart.bottomLeft(), chart.bottomRight());
    p.drawLine(chart.bottomLeft(), chart.topLeft());
    QPainterPath curve;
    const int n = 40;
    const int shown = std::max(1, static_cast<int>(std::round(n * t)));
    for (int i = 0; i <= shown; ++i) {
        const double x = static_cast<double>(i) / n;
        const double fom = std::sqrt(0.02 + (x - 0.55) * (x - 0.55) * 3.0) / 1.05;
        const QPointF pt(chart.left() + x * chart.width(), chart.bottom() - 4 - fom * (chart.height() - 8));
        if (i == 0) curve.moveTo(pt); else curve.lineTo(pt);
    }
    p.setPen(QPen(kv::ShownColor(QColor(120, 220, 120)), 2));
    p.drawPath(curve);
}
