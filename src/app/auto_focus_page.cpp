#include "app/auto_focus_page.h"

#include <QChart>
#include <QChartView>
#include <QGridLayout>
#include <QGroupBox>
#include <QLineSeries>
#include <QPushButton>
#include <QValueAxis>
#include <QVBoxLayout>

#include "app/main_form.h"
#include "app/manual_focus_page.h"
#include "app/radio_group.h"
#include "camera/display_rules.h"

namespace {

QChart* MakeChart(const QString& objectName, const QString& title, const QString& series, const QString& leftTitle,
                  double leftMin, double leftMax, const QString& leftFormat, QWidget* parent, QLayout* into) {
    auto* chart = new QChart;
    chart->setObjectName(objectName);
    chart->setTitle(title);
    chart->legend()->hide();
    auto* line = new QLineSeries(chart);
    line->setObjectName(series);
    chart->addSeries(line);
    auto* bottom = new QValueAxis(chart);
    bottom->setTitleText(QString::fromLatin1(kv::kStepNumberTitle));
    bottom->setRange(0, 20);
    bottom->setTickType(QValueAxis::TicksDynamic);
    // A label every fifth step and a grid line at every step: twenty-one
    // labels do not fit the page's width.
    bottom->setTickInterval(5);
    bottom->setMinorTickCount(4);
    bottom->setLabelFormat(QStringLiteral("%d"));
    auto* left = new QValueAxis(chart);
    left->setTitleText(leftTitle);
    left->setRange(leftMin, leftMax);
    left->setLabelFormat(leftFormat);
    chart->addAxis(bottom, Qt::AlignBottom);
    chart->addAxis(left, Qt::AlignLeft);
    line->attachAxis(bottom);
    line->attachAxis(left);
    UseCompactChart(chart);
    auto* view = new QChartView(chart, parent);
    view->setObjectName(objectName + QStringLiteral("View"));
    view->setRenderHint(QPainter::Antialiasing);
    into->addWidget(view);
    return chart;
}

QValueAxis* LeftAxis(QChart* chart) {
    const auto axes = chart->axes(Qt::Vertical);
    return axes.isEmpty() ? nullptr : qobject_cast<QValueAxis*>(axes.first());
}

}  // namespace

void UseCompactChart(QChart* chart) {
    chart->setMargins(QMargins(2, 2, 2, 2));
    for (QAbstractAxis* axis : chart->axes()) {
        QFont labels = axis->labelsFont();
        labels.setPointSize(7);
        axis->setLabelsFont(labels);
        QFont title = axis->titleFont();
        title.setPointSize(8);
        axis->setTitleFont(title);
    }
    QFont titleFont = chart->titleFont();
    titleFont.setPointSize(9);
    chart->setTitleFont(titleFont);
}

void SetFomAxis(QChart* chart, int fomKind, bool labelSizeOnly) {
    QValueAxis* axis = LeftAxis(chart);
    if (axis == nullptr) return;
    const kv::FomAxis want = kv::FomAxisFor(fomKind);
    // Qt's axes have no label width; the width the labels are laid out for is
    // kept with the axis so that the charts' users (and tests) can read it.
    axis->setProperty("labelSize", want.labelSize);
    if (labelSizeOnly) return;
    axis->setTitleText(QString::fromStdString(want.title));
    // Lowered first so no step of the change has the minimum above the maximum.
    axis->setMin(-128000);
    axis->setMax(want.max);
    axis->setMin(want.min);
    // "###0.0" and "###0." in printf terms.
    axis->setLabelFormat(want.labelSize == 40 ? QStringLiteral("%.0f") : QStringLiteral("%.1f"));
    // Whole figures on the 1 to 8 axis; five labels across the peak's range.
    axis->setTickCount(want.labelSize == 40 ? 5 : static_cast<int>(want.max - want.min) + 1);
}

TAutoFocusPage::TAutoFocusPage(TMainForm& form, QWidget* parent) : QWidget(parent), form_(form) {
    setObjectName(QStringLiteral("AutoFocus"));
    auto* lay = new QGridLayout(this);
    // The read-out panel covers the left, the focus panel the right.
    lay->setContentsMargins(190, 6, 236, 6);

    auto* controls = new QGroupBox(QStringLiteral("Auto Focus"), this);
    auto* cv = new QVBoxLayout(controls);
    auto* start = new QPushButton(QStringLiteral("Auto Focus"), controls);
    start->setObjectName(QStringLiteral("StartSearch"));
    start->setEnabled(false);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), controls);
    cancel->setObjectName(QStringLiteral("CancelSearch"));
    cancel->setEnabled(false);
    auto* focusImage = new QPushButton(QStringLiteral("Get Focus Image"), controls);
    focusImage->setObjectName(QStringLiteral("GetFocusImageButton2"));
    focusImage->setEnabled(false);
    // The same frame as the Manual Focus page's button takes.
    connect(focusImage, &QPushButton::clicked, form_.ManualFocusPage(), &TManualFocusPage::GetFocusImageButtonClick);
    QStringList steps;
    for (int step : kv::kInitialSteps) steps << QString::number(step);
    initialStep_ = new TRadioGroup(QStringLiteral("Initial Step"), steps, 2, controls);
    initialStep_->setObjectName(QStringLiteral("InitialStepRG"));
    initialStep_->SetItemIndex(kv::kDefaultInitialStepItem);
    for (QWidget* w : std::initializer_list<QWidget*>{start, cancel, focusImage, initialStep_}) cv->addWidget(w);
    cv->addStretch();
    controls->setMaximumWidth(140);
    lay->addWidget(controls, 0, 0, 2, 1);

    auto* charts = new QVBoxLayout;
    // "#,##0.#": whole steps show without a fraction.
    posChart_ = MakeChart(QStringLiteral("PosChart"), QString::fromLatin1(kv::kPosChartTitle),
                          QStringLiteral("LineSeries2"), QString::fromLatin1(kv::kFocuserPositionTitle), -200, 200,
                          QStringLiteral("%.0f"), this, charts);
    qualityChart_ = MakeChart(QStringLiteral("QualityChart"), QString::fromLatin1(kv::kQualityChartTitle),
                              QStringLiteral("LineSeries1"), QStringLiteral("Figure of Merit"), 1, 8,
                              QStringLiteral("%.1f"), this, charts);
    lay->addLayout(charts, 0, 1, 2, 1);
    lay->setColumnStretch(1, 1);
    connect(initialStep_, &TRadioGroup::itemIndexChanged, this, &TAutoFocusPage::InitialStepRGClick);
    InitialStepRGClick();
}

void TAutoFocusPage::InitialStepRGClick() {
    ShowSearchAxes(kv::SearchAxesFor(kv::InitialStepForItem(initialStep_->ItemIndex()), kv::FomKind::FWHM));
}

void TAutoFocusPage::ShowSearchAxes(const kv::SearchChartAxes& axes) {
    if (QValueAxis* position = LeftAxis(posChart_)) position->setRange(axes.position.min, axes.position.max);
    for (QChart* chart : {posChart_, qualityChart_}) {
        const auto bottom = chart->axes(Qt::Horizontal);
        if (auto* axis = bottom.isEmpty() ? nullptr : qobject_cast<QValueAxis*>(bottom.first())) {
            axis->setRange(0, axes.bottomMax);
        }
    }
}
