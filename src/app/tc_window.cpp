#include "app/tc_window.h"

#include <QGuiApplication>
#include <QScreen>

#include <QStyle>

#include <algorithm>

#include <QCheckBox>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

#include "tempcomp/tc_texts.h"
#include "widgets/lum_lite.h"

namespace {

QLabel* Panel(const char* name, QWidget* parent) {
    auto* label = new QLabel(QString::fromLatin1(kv::kNoTemperatureText), parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setAlignment(Qt::AlignCenter);
    label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    return label;
}

}  // namespace

TTCWindow::TTCWindow()
    : QWidget(nullptr, Qt::Tool | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
    setObjectName(QStringLiteral("TCWindow"));
    setWindowTitle(QStringLiteral("Temp Control"));
    setFixedSize(kClientWidth, kClientHeight);

    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(4, 4, 4, 4);
    grid->setSpacing(3);
    avgTempLabel_ = Panel("AvgTempLabel", this);
    QFont bold = avgTempLabel_->font();
    bold.setBold(true);
    avgTempLabel_->setFont(bold);
    faranCB_ = new QCheckBox(QStringLiteral("F"), this);
    faranCB_->setObjectName(QStringLiteral("FaranCB"));
    faranCB_->setToolTip(QStringLiteral("Show the temperature in degrees Fahrenheit"));
    grid->addWidget(avgTempLabel_, 0, 0);
    grid->addWidget(faranCB_, 0, 1);
    currentTimeLabel_ = Panel("CurrentTimeLabel", this);
    currentTimeLabel_->clear();
    grid->addWidget(currentTimeLabel_, 1, 0, 1, 2);
    compNow_ = new QPushButton(QStringLiteral("Compensate"), this);
    compNow_->setObjectName(QStringLiteral("CompNow"));
    grid->addWidget(compNow_, 2, 0, 1, 2);
    auto* last = new QLabel(QStringLiteral("Last"), this);
    last->setObjectName(QStringLiteral("Label2"));
    lastTemp_ = Panel("LastTemp", this);
    lastTemp_->clear();
    auto* lastRow = new QHBoxLayout;
    lastRow->addWidget(last);
    lastRow->addWidget(lastTemp_, 1);
    grid->addLayout(lastRow, 3, 0, 1, 2);
    auto* lampRow = new QHBoxLayout;
    tcOnLite_ = new kv::TlumLite(this);
    tcOnLite_->setObjectName(QStringLiteral("TCOnLite"));
    tcOnLite_->setFixedSize(kv::TlumLite::DefaultSize, kv::TlumLite::DefaultSize);
    auto* lampCaption = new QLabel(QStringLiteral("Auto Compensation On"), this);
    lampCaption->setObjectName(QStringLiteral("Label1"));
    lampRow->addWidget(tcOnLite_);
    lampRow->addWidget(lampCaption, 1);
    grid->addLayout(lampRow, 4, 0, 1, 2);
    // About 151 x 141, but never so small that "Auto Compensation On" loses
    // its "On" (without it a dark lamp reads as the opposite) in a larger font.
    // Nor so narrow that the desktop cuts its caption beside the close box.
    const QSize need = grid->totalMinimumSize();
    const int title = fontMetrics().horizontalAdvance(windowTitle()) + 3 * style()->pixelMetric(QStyle::PM_TitleBarHeight);
    setFixedSize(std::max({kClientWidth, need.width(), title}), std::max(kClientHeight, need.height()));

    connect(faranCB_, &QCheckBox::toggled, this, &TTCWindow::FaranCBClick);
    connect(compNow_, &QPushButton::clicked, this, &TTCWindow::compensateClicked);
    SetAverage(QString::fromLatin1(kv::kNoTemperatureText), QString::fromLatin1(kv::kNoTemperatureText));
}

QPoint TTCWindow::Placement(const QRect& mainFrame, const QSize& own, int tcLeft, int tcTop) {
    // Integer division truncates toward zero, as the halving must.
    const int left = tcLeft >= 1 ? tcLeft : mainFrame.left() + (mainFrame.width() - own.width()) / 2;
    const int top = tcTop >= 1 ? tcTop : mainFrame.top() + (mainFrame.height() - own.height()) / 2;
    return {left, top};
}

QPoint KeepOnAvailableScreen(const QPoint& topLeft, const QSize& size) {
    // Enough of the title bar to take hold of with the mouse.
    constexpr int kGripWidth = 50;
    constexpr int kGripHeight = 20;
    const QRect titleBar(topLeft, QSize(std::max(size.width(), 1), kGripHeight));
    for (const QScreen* screen : QGuiApplication::screens()) {
        const QRect on = screen->availableGeometry().intersected(titleBar);
        if (on.width() >= std::min(kGripWidth, titleBar.width()) && on.height() >= kGripHeight) return topLeft;
    }
    const QScreen* primary = QGuiApplication::primaryScreen();
    if (primary == nullptr) return topLeft;
    return primary->availableGeometry().topLeft();
}

void TTCWindow::Place(const QRect& mainFrame, int tcLeft, int tcTop) {
    move(KeepOnAvailableScreen(Placement(mainFrame, size(), tcLeft, tcTop), size()));
    placed_ = pos();
}

void TTCWindow::SetAverage(const QString& celsius, const QString& fahrenheit) {
    celsius_ = celsius;
    fahrenheit_ = fahrenheit;
    FaranCBClick();
}

void TTCWindow::FaranCBClick() { avgTempLabel_->setText(faranCB_->isChecked() ? fahrenheit_ : celsius_); }

void TTCWindow::SetTime(const QString& text) { currentTimeLabel_->setText(text); }

void TTCWindow::SetLast(const QString& text) { lastTemp_->setText(text); }

void TTCWindow::SetAutoOn(bool on) { tcOnLite_->SetLit(on); }
