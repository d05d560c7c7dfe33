#include "app/auto_focus_page.h"
#include "app/chart_style.h"

#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineSeries>
#include <QPushButton>
#include <QScatterSeries>
#include <QScrollArea>
#include <QScrollBar>
#include <QSpinBox>
#include <QValueAxis>
#include <QVBoxLayout>
#include <cmath>
#include <iterator>
#include <string>
#include <string_view>

#include "app/aberration_panel.h"
#include "app/page_context.h"
#include "app/radio_group.h"
#include "app/settings_binder.h"
#include "camera/camera_control.h"
#include "camera/display_rules.h"
#include "shell/focuser_catalogue.h"
#include "shell/ini_file.h"
#include "shell/log_channel.h"
#include "shell/settings_store.h"

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
    // The axis titles carry no unit: the tooltip gives them.
    view->setToolTip(objectName == QLatin1String("PosChart")
                         ? QStringLiteral("Focuser position in steps at each step of the search")
                         : QStringLiteral("Figure of merit: FWHM, xFWHM, yFWHM and HFD in pixels, Peak in camera "
                                          "counts; positions in steps"));
    into->addWidget(view);
    return chart;
}

QValueAxis* LeftAxis(QChart* chart) {
    const auto axes = chart->axes(Qt::Vertical);
    return axes.isEmpty() ? nullptr : qobject_cast<QValueAxis*>(axes.first());
}

QValueAxis* BottomAxis(QChart* chart) {
    const auto axes = chart->axes(Qt::Horizontal);
    return axes.isEmpty() ? nullptr : qobject_cast<QValueAxis*>(axes.first());
}

// The [AutoFocus] keys; absent until the user changes the value.
constexpr const char* kAutoFocusSection = "AutoFocus";
constexpr const char* kMethodKey = "Method";
constexpr const char* kPointsPerSideKey = "PointsPerSide";
constexpr const char* kOvershootKey = "BacklashOvershoot";
constexpr const char* kApproachKey = "ApproachFrom";
constexpr const char* kMeasureKey = "Measure";
constexpr const char* kFieldShareKey = "FieldShare";
// The whole field's shares of each side, as the FieldShareCB lists them.
constexpr double kFieldShares[] = {1.0, 0.75, 0.5};
constexpr int kPointsPerSideMin = 2, kPointsPerSideMax = 8;
constexpr int kOvershootMax = 2000;
// Points along the drawn curve.
constexpr int kCurveSamples = 120;
constexpr const char* kFittedCurveName = "FittedCurve";
// The share of a figure axis's span kept free beyond the highest and lowest reading.
constexpr double kFigureRoom = 0.04;

// The quality chart's extra series for a curve fit, all on its two axes.
template <class Series>
Series* AddSeries(QChart* chart, const QString& name, const QColor& color, double marker = 0) {
    auto* series = new Series(chart);
    series->setObjectName(name);
    if constexpr (std::is_same_v<Series, QScatterSeries>) {
        series->setMarkerSize(marker);
        series->setColor(color);
        series->setBorderColor(color);
    } else {
        QPen pen(color);
        pen.setWidth(2);
        series->setPen(pen);
    }
    chart->addSeries(series);
    for (QAbstractAxis* axis : chart->axes()) series->attachAxis(axis);
    return series;
}

template <class Series>
Series* Named(QChart* chart, const char* name) {
    for (QAbstractSeries* s : chart->series()) {
        if (s->objectName() == QLatin1String(name)) return qobject_cast<Series*>(s);
    }
    return nullptr;
}

// Shows a value with the places it has ("3.6", "0.045"), not padded to the
// box's precision: padding would rewrite "3" as "3.000" under the cursor of
// someone typing "3.6", and a fine step needs more places than a coarse one
// should be shown with.
class TFigureSpinBox final : public QDoubleSpinBox {
public:
    using QDoubleSpinBox::QDoubleSpinBox;
    QString textFromValue(double value) const override {
        QString text = locale().toString(value, 'f', decimals());
        const QString point = locale().decimalPoint();
        if (text.contains(point)) {
            while (text.endsWith(QLatin1Char('0'))) text.chop(1);
            if (text.endsWith(point)) text.chop(point.size());
        }
        return text;
    }
};

}  // namespace

void WidenToShow(QChart* chart, Qt::Orientation orientation, double value) {
    const auto axes = chart != nullptr ? chart->axes(orientation) : QList<QAbstractAxis*>();
    auto* axis = axes.isEmpty() ? nullptr : qobject_cast<QValueAxis*>(axes.first());
    if (axis == nullptr) return;
    // A marker on the edge is drawn half outside the plot: a figure keeps a
    // little room above and below it.
    if (orientation == Qt::Vertical && std::isfinite(value)) {
        const double room = kFigureRoom * (axis->max() - axis->min());
        if (value > axis->max() - room) value += room;
        else if (value < axis->min() + room) value -= room;
    }
    const auto [min, max] = kv::WidenToShow(axis->min(), axis->max(), value);
    if (min == axis->min() && max == axis->max()) return;
    axis->setRange(min, max);
    // Labels on round values again (the stated axes' own ticks no longer divide the range).
    if (axis->tickType() == QValueAxis::TicksFixed) axis->applyNiceNumbers();
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
    // The readings drawn stay inside (the drawn curve may leave the plot).
    for (QAbstractSeries* series : chart->series()) {
        auto* readings = qobject_cast<QXYSeries*>(series);
        if (readings == nullptr || series->objectName() == QLatin1String(kFittedCurveName)) continue;
        for (const QPointF& p : readings->points()) WidenToShow(chart, Qt::Vertical, p.y());
    }
}

TAutoFocusPage::TAutoFocusPage(TPageContext& form, QWidget* parent) : QWidget(parent), form_(form) {
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
    connect(focusImage, &QPushButton::clicked, this, [this] { form_.GetFocusImage(); });
    QStringList steps;
    for (int step : kv::kInitialSteps) steps << QString::number(step);
    initialStep_ = new TRadioGroup(QStringLiteral("Initial Step"), steps, 2, controls);
    initialStep_->setObjectName(QStringLiteral("InitialStepRG"));
    initialStep_->SetItemIndex(kv::kDefaultInitialStepItem);
    initialStep_->setToolTip(QStringLiteral("First step of the search, in steps"));
    method_ = new TRadioGroup(QStringLiteral("Method"),
                              {QStringLiteral("Golden Section"), QStringLiteral("Curve Fit"), QStringLiteral("Quick Refocus")},
                              1, controls);
    method_->setObjectName(QStringLiteral("FocusMethodRG"));
    method_->SetItemIndex(kGoldenSectionItem);
    method_->setToolTip(QStringLiteral("Golden Section narrows in on the best reading; Curve Fit fits a curve through "
                                       "readings on both sides; Quick Refocus finds tonight's fitted curve again in a "
                                       "few frames, where the temperature says focus moved"));

    measure_ = new TRadioGroup(QStringLiteral("Measure"), {QStringLiteral("Focus Star"), QStringLiteral("Whole Field")},
                               1, controls);
    measure_->setObjectName(QStringLiteral("FocusMeasureRG"));
    measure_->SetItemIndex(kFocusStarItem);
    measure_->setToolTip(QStringLiteral("Focus Star reads the selected star through the focus frame; Whole Field "
                                        "reads the median size of every usable star on the whole image"));
    fieldShare_ = new QComboBox(controls);
    fieldShare_->setObjectName(QStringLiteral("FieldShareCB"));
    fieldShare_->addItems({QStringLiteral("Whole image"), QStringLiteral("Middle 3/4"), QStringLiteral("Middle 1/2")});
    fieldShare_->setToolTip(QStringLiteral("The part of the image the whole field is read on, around its middle"));

    // The curve fit's own values; its step is the Initial Step above.
    const kv::CurveFitSettings engine;
    auto* fit = new QGroupBox(QStringLiteral("Curve Fit"), controls);
    fit->setObjectName(QStringLiteral("CurveFitGroup"));
    auto* rows = new QGridLayout(fit);
    rows->setContentsMargins(3, 2, 3, 2);
    rows->setHorizontalSpacing(3);
    int row = 0;
    const auto addRow = [&](const QString& label, QWidget* field, int width) {
        rows->addWidget(new QLabel(label, fit), row, 0);
        rows->addWidget(field, row++, 1);
        field->setFixedWidth(width);
    };
    pointsPerSide_ = new QSpinBox(fit);
    pointsPerSide_->setObjectName(QStringLiteral("FitPointsSE"));
    pointsPerSide_->setRange(kPointsPerSideMin, kPointsPerSideMax);
    pointsPerSide_->setValue(engine.pointsPerSide);
    settings_ui::SetToolTip(pointsPerSide_, QStringLiteral("Readings needed on each side of the lowest one"));
    addRow(QStringLiteral("Per side"), pointsPerSide_, 46);
    overshoot_ = new QSpinBox(fit);
    overshoot_->setObjectName(QStringLiteral("FitOvershootSE"));
    overshoot_->setRange(0, kOvershootMax);
    overshoot_->setSingleStep(10);
    overshoot_->setValue(engine.overshoot);
    settings_ui::SetToolTip(overshoot_, QStringLiteral("Backlash overshoot in steps: a move that would end the other "
                                                       "way runs this far past and comes back; 0 for none"));
    addRow(QStringLiteral("Backlash"), overshoot_, 46);
    approach_ = new QComboBox(fit);
    approach_->setObjectName(QStringLiteral("FitApproachCB"));
    approach_->addItems({QStringLiteral("Below"), QStringLiteral("Above")});
    approach_->setCurrentIndex(engine.approach == kv::ApproachSide::FromBelow ? 0 : 1);
    approach_->setToolTip(QStringLiteral("Every sample and the answer are reached moving up from below, or down "
                                         "from above"));
    addRow(QStringLiteral("From"), approach_, 64);

    // The optics that make a step mean something: results are also given in
    // the critical focus zone they span.
    auto* zone = new QGroupBox(QStringLiteral("Critical Focus Zone"), controls);
    zone->setObjectName(QStringLiteral("CfzGroup"));
    auto* zoneRows = new QGridLayout(zone);
    zoneRows->setContentsMargins(3, 2, 3, 2);
    zoneRows->setHorizontalSpacing(3);
    zoneRows->setVerticalSpacing(2);
    const auto opticsBox = [zone](const QString& name, double max, int decimals, double step, bool asTyped = false) {
        QDoubleSpinBox* box = asTyped ? new TFigureSpinBox(zone) : new QDoubleSpinBox(zone);
        box->setObjectName(name);
        box->setRange(0, max);
        box->setDecimals(decimals);
        box->setSingleStep(step);
        box->setSpecialValueText(QStringLiteral("unset"));
        // No arrows: both boxes fit one row of the narrow column (the wheel
        // and the arrow keys still step them).
        box->setButtonSymbols(QAbstractSpinBox::NoButtons);
        box->setAlignment(Qt::AlignRight);
        box->setFixedWidth(46);
        return box;
    };
    focalRatio_ = opticsBox(QStringLiteral("FocalRatioSE"), kv::kFocalRatioMax, kv::kFocalRatioDecimals, 0.1);
    settings_ui::SetToolTip(focalRatio_, QStringLiteral("The telescope's focal ratio (focal length over aperture, with "
                                                        "any reducer or Barlow); 0 for unset"));
    stepSize_ = opticsBox(QStringLiteral("StepSizeSE"), kv::kStepMicronsMax, kv::kStepMicronsDecimals, 0.1, true);
    zoneRows->addWidget(new QLabel(QStringLiteral("f/"), zone), 0, 0);
    zoneRows->addWidget(focalRatio_, 0, 1);
    zoneRows->addWidget(new QLabel(QStringLiteral("\u00b5m"), zone), 0, 2);
    zoneRows->addWidget(stepSize_, 0, 3);
    cfzLabel_ = new QLabel(zone);
    cfzLabel_->setObjectName(QStringLiteral("CfzLabel"));
    cfzLabel_->setWordWrap(true);
    zoneRows->addWidget(cfzLabel_, 1, 0, 1, 4);
    OpticsChanged(nullptr);

    for (QWidget* w : std::initializer_list<QWidget*>{start, cancel, focusImage, initialStep_, method_, measure_, fieldShare_,
                                                             fit, zone}) {
        cv->addWidget(w);
    }
    cv->addStretch();
    // Here too, for focusers without the Temp Control page.
    auto* history = new QPushButton(QStringLiteral("Focus history"), controls);
    history->setObjectName(QStringLiteral("FocusHistoryButton2"));
    history->setToolTip(QStringLiteral("Every auto focus and scan logged, and how best focus drifts with temperature"));
    connect(history, &QPushButton::clicked, this, [this] { form_.ShowFocusHistory(); });
    cv->addWidget(history);
    controls->setMaximumWidth(156);
    // At the window's first size, with the whole field's choices shown and a
    // desktop's usual font, the column is taller than the page: it scrolls
    // rather than crushing its groups into each other.
    auto* scroller = new QScrollArea(this);
    scroller->setObjectName(QStringLiteral("AutoFocusControlsScroller"));
    scroller->setFrameShape(QFrame::NoFrame);
    scroller->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroller->setWidgetResizable(true);
    scroller->viewport()->setAutoFillBackground(false);
    scroller->setWidget(controls);
    scroller->setFixedWidth(156 + scroller->verticalScrollBar()->sizeHint().width());
    // Down to the last result too: a long result wraps to several lines, which
    // must take height from the charts, not from the controls.
    lay->addWidget(scroller, 0, 0, 3, 1);

    auto* charts = new QVBoxLayout;
    // "#,##0.#": whole steps show without a fraction.
    posChart_ = MakeChart(QStringLiteral("PosChart"), QString::fromLatin1(kv::kPosChartTitle),
                          QStringLiteral("LineSeries2"), QString::fromLatin1(kv::kFocuserPositionTitle), -200, 200,
                          QStringLiteral("%.0f"), this, charts);
    qualityChart_ = MakeChart(QStringLiteral("QualityChart"), QString::fromLatin1(kv::kQualityChartTitle),
                              QStringLiteral("LineSeries1"), QStringLiteral("Figure of Merit"), 1, 8,
                              QStringLiteral("%.1f"), this, charts);
    aberration_ = new TAberrationPanel(form_, this);
    charts->addWidget(aberration_);
    lay->addLayout(charts, 0, 1, 2, 1);
    lay->setColumnStretch(1, 1);
    lastResult_ = new QLabel(this);
    lastResult_->setObjectName(QStringLiteral("LastResultLabel"));
    lastResult_->setWordWrap(true);
    lastResult_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    lastResult_->setToolTip(QStringLiteral("The last auto focus: the readings and focus frames it took, how well "
                                           "the curve held and its error in steps and critical focus zones"));
    lay->addWidget(lastResult_, 2, 1, Qt::AlignTop);
    AddSeries<QScatterSeries>(qualityChart_, QStringLiteral("CurvePoints"), Qt::blue, 7);
    AddSeries<QLineSeries>(qualityChart_, QStringLiteral("FittedCurve"), Qt::red);
    AddSeries<QScatterSeries>(qualityChart_, QStringLiteral("CheckFrame"), QColor(255, 140, 0), 10);
    AddSeries<QScatterSeries>(qualityChart_, QStringLiteral("FitAnswer"), QColor(0, 150, 0), 9);
    connect(initialStep_, &TRadioGroup::itemIndexChanged, this, &TAutoFocusPage::InitialStepRGClick);
    InitialStepRGClick();

    // The user's changes are kept at once; reading them back is signal-blocked.
    connect(method_, &TRadioGroup::itemIndexChanged, this, [this](int item) {
        SaveValue(kMethodKey, item);
        InitialStepRGClick();
    });
    connect(measure_, &TRadioGroup::itemIndexChanged, this, [this](int item) {
        SaveValue(kMeasureKey, item);
        ApplyMeasure();
    });
    connect(fieldShare_, &QComboBox::currentIndexChanged, this, [this](int i) {
        SaveValue(kFieldShareKey, i);
        ApplyMeasure();
    });
    connect(pointsPerSide_, &QSpinBox::valueChanged, this, [this](int n) { SaveValue(kPointsPerSideKey, n); });
    connect(overshoot_, &QSpinBox::valueChanged, this, [this](int n) { SaveValue(kOvershootKey, n); });
    connect(approach_, &QComboBox::currentIndexChanged, this, [this](int i) { SaveValue(kApproachKey, i); });
    connect(focalRatio_, &QDoubleSpinBox::valueChanged, this, [this] { OpticsChanged(kv::kFocalRatioKey); });
    connect(stepSize_, &QDoubleSpinBox::valueChanged, this, [this] { OpticsChanged(kv::kStepSizeKey); });
}

kv::FocusMethod TAutoFocusPage::MethodOf(int item) {
    switch (item) {
        case kCurveFitItem: return kv::FocusMethod::CurveFit;
        case kQuickRefocusItem: return kv::FocusMethod::QuickRefocus;
        default: return kv::FocusMethod::GoldenSection;
    }
}

void TAutoFocusPage::ApplyMeasure() const {
    kv::TCameraControl* camera = form_.CameraControl();
    if (camera == nullptr) return;
    camera->SetWholeField(measure_->ItemIndex() == kWholeFieldItem);
    const int share = fieldShare_->currentIndex();
    camera->SetFieldFraction(share >= 0 && share < static_cast<int>(std::size(kFieldShares)) ? kFieldShares[share] : 1.0);
}

kv::SearchOptions TAutoFocusPage::SearchOptions() const {
    kv::SearchOptions o;
    o.method = MethodOf(method_->ItemIndex());
    o.initialStep = kv::InitialStepForItem(initialStep_->ItemIndex());
    o.fit.step = o.initialStep;
    o.fit.pointsPerSide = pointsPerSide_->value();
    o.fit.overshoot = overshoot_->value();
    o.fit.approach = approach_->currentIndex() == 1 ? kv::ApproachSide::FromAbove : kv::ApproachSide::FromBelow;
    o.cfzSteps = Optics().CfzSteps();
    return o;
}

void TAutoFocusPage::ReadOwnSettings(const kv::IniFile& ini) {
    const kv::CurveFitSettings engine;
    const QSignalBlocker b1(method_), b2(pointsPerSide_), b3(overshoot_), b4(approach_);
    const auto get = [&](const char* key, std::int64_t def) { return ini.GetInteger(kAutoFocusSection, key, def); };
    const int method = get(kMethodKey, kGoldenSectionItem);
    method_->SetItemIndex(method == kCurveFitItem || method == kQuickRefocusItem ? method : kGoldenSectionItem);
    pointsPerSide_->setValue(static_cast<int>(get(kPointsPerSideKey, engine.pointsPerSide)));
    overshoot_->setValue(static_cast<int>(get(kOvershootKey, engine.overshoot)));
    approach_->setCurrentIndex(get(kApproachKey, engine.approach == kv::ApproachSide::FromBelow ? 0 : 1) == 1 ? 1 : 0);
    {
        const QSignalBlocker b7(measure_), b8(fieldShare_);
        measure_->SetItemIndex(get(kMeasureKey, kFocusStarItem) == kWholeFieldItem ? kWholeFieldItem : kFocusStarItem);
        const std::int64_t share = get(kFieldShareKey, 0);
        fieldShare_->setCurrentIndex(share >= 0 && share < static_cast<std::int64_t>(std::size(kFieldShares))
                                         ? static_cast<int>(share) : 0);
        ApplyMeasure();
    }
    InitialStepRGClick();

    const std::string model = ini.GetString("Device/Ports", "Focuser", "None");
    const kv::FocusZoneOptics optics =
        kv::ReadFocusZoneOptics(ini, kv::IniFile::Load(form_.ProgramFolder() + kv::kCatalogueFileName), model);
    const QSignalBlocker b5(focalRatio_), b6(stepSize_);
    focalRatio_->setValue(optics.focalRatio.value_or(0));
    stepSize_->setValue(optics.stepMicrons.value_or(0));
    catalogueStep_ = optics.catalogueStepMicrons;
    OpticsChanged(nullptr);
}

kv::FocusZoneOptics TAutoFocusPage::Optics() const {
    return {kv::FocalRatioValue(focalRatio_->value()), kv::StepMicronsValue(stepSize_->value()), catalogueStep_};
}

void TAutoFocusPage::SetFocuserModel(const std::string& model) {
    catalogueStep_ =
        kv::CatalogueStepMicrons(kv::IniFile::Load(form_.ProgramFolder() + kv::kCatalogueFileName), model);
    OpticsChanged(nullptr);
}

void TAutoFocusPage::OpticsChanged(const char* saveKey) {
    const kv::FocusZoneOptics optics = Optics();
    // A wrapped caption keeps each figure with its unit.
    cfzLabel_->setText(QString::fromStdString(kv::FocusZoneCaption(optics))
                           .replace(QStringLiteral(" \u00b5m"), QStringLiteral("\u00a0\u00b5m"))
                           .replace(QStringLiteral(" steps"), QStringLiteral("\u00a0steps")));
    // An unset step shows the catalogue's in brackets, where there is one.
    // Set only when it changes: setting it rewrites the box's text, under
    // the cursor of someone typing.
    const QString special = catalogueStep_ ? QStringLiteral("(%1)").arg(*catalogueStep_) : QStringLiteral("unset");
    if (stepSize_->specialValueText() != special) stepSize_->setSpecialValueText(special);
    settings_ui::SetToolTip(
        stepSize_, catalogueStep_
                       ? QStringLiteral("The focuser's step in micrometres; 0 uses the focuser catalogue's %1 "
                                        "\u00b5m for this model")
                             .arg(QString::fromStdString(kv::FocusZoneFileValue(catalogueStep_)))
                       : QStringLiteral("The focuser's step in micrometres (its travel over the steps it takes to "
                                        "cover it); 0 for unset"));
    cfzLabel_->setToolTip(QStringLiteral("Critical focus zone: 4.88 \u00b7 0.55 \u00b5m \u00b7 N\u00b2 for "
                                         "focal ratio N, in focuser steps; auto-focus results give their error "
                                         "in it"));
    if (saveKey == nullptr) return;
    const bool ratio = std::string_view(saveKey) == kv::kFocalRatioKey;
    const std::string value = kv::FocusZoneFileValue(ratio ? optics.focalRatio : optics.stepMicrons);
    const kv::WriteResult written = kv::SaveSettingValue(form_.IniPath(), kv::kFocusZoneSection, saveKey, value);
    if (written.ok) return;
    kv::WriteProgramLog(written.message);
    form_.Dialogs().Show(written.message, kv::DialogType::Error, kv::DialogButtons::Ok);
}

void TAutoFocusPage::SaveValue(const char* key, int value) {
    const kv::WriteResult written =
        kv::SaveSettingValue(form_.IniPath(), kAutoFocusSection, key, std::to_string(value));
    if (written.ok) return;
    kv::WriteProgramLog(written.message);
    form_.Dialogs().Show(written.message, kv::DialogType::Error, kv::DialogButtons::Ok);
}

void TAutoFocusPage::ShowAberration(const kv::AberrationReport& report, std::optional<double> temperatureC) {
    aberration_->Show(report, temperatureC);
}

void TAutoFocusPage::StartRefocus(const QString& reason) {
    auto* start = findChild<QPushButton*>(QStringLiteral("StartSearch"));
    if (start == nullptr || !start->isEnabled()) return;
    form_.SetStatusPanel(0, reason);
    const int chosen = method_->ItemIndex();
    {
        const QSignalBlocker quiet(method_);
        method_->SetItemIndex(kQuickRefocusItem);
    }
    // The search reads the page's options as it starts, so the user's method is back at once.
    start->click();
    const QSignalBlocker quiet(method_);
    method_->SetItemIndex(chosen);
}

void TAutoFocusPage::ClearFit() {
    for (const char* name : {"CurvePoints", "FittedCurve", "CheckFrame", "FitAnswer"}) {
        if (auto* s = Named<QXYSeries>(qualityChart_, name)) s->clear();
    }
}

void TAutoFocusPage::UseQualityAxisFor(kv::FocusMethod method) {
    const bool fit = method != kv::FocusMethod::GoldenSection;
    fitLayout_ = fit;
    if (QValueAxis* bottom = BottomAxis(qualityChart_)) {
        bottom->setTitleText(QString::fromLatin1(fit ? kv::kFocuserPositionTitle : kv::kStepNumberTitle));
        if (fit) {
            // Across the positions the position chart shows; labels at its ends and middle.
            if (QValueAxis* positions = LeftAxis(posChart_)) bottom->setRange(positions->min(), positions->max());
            bottom->setTickType(QValueAxis::TicksFixed);
            bottom->setTickCount(5);
            bottom->setLabelFormat(QStringLiteral("%.0f"));
        } else {
            bottom->setTickType(QValueAxis::TicksDynamic);
            bottom->setTickInterval(5);
        }
    }
}

void TAutoFocusPage::ShowFit(const kv::FitSummary& fit) {
    QValueAxis* bottom = BottomAxis(qualityChart_);
    auto* curve = Named<QLineSeries>(qualityChart_, "FittedCurve");
    if (bottom == nullptr || curve == nullptr) return;
    curve->clear();
    WidenToShow(qualityChart_, Qt::Horizontal, fit.bestPosition);
    if (fit.checkPosition) WidenToShow(qualityChart_, Qt::Horizontal, *fit.checkPosition);
    const double from = bottom->min(), to = bottom->max();
    for (int i = 0; i <= kCurveSamples; ++i) {
        const double x = from + (to - from) * i / kCurveSamples;
        const double y = kv::FitSummaryValue(fit, x);
        if (std::isfinite(y)) curve->append(x, y);
    }
    if (auto* answer = Named<QScatterSeries>(qualityChart_, "FitAnswer")) {
        answer->clear();
        answer->append(fit.bestPosition, fit.predicted);
        WidenToShow(qualityChart_, Qt::Vertical, fit.predicted);
    }
    if (auto* check = Named<QScatterSeries>(qualityChart_, "CheckFrame"); check != nullptr && fit.checkPosition &&
                                                                          fit.checkFom) {
        check->clear();
        check->append(*fit.checkPosition, *fit.checkFom);
        WidenToShow(qualityChart_, Qt::Vertical, *fit.checkFom);
    }
}

// A measured curve-fit point on the quality chart (position across).
void AppendCurvePoint(QChart* qualityChart, double position, double fom) {
    if (auto* points = Named<QScatterSeries>(qualityChart, "CurvePoints")) points->append(position, fom);
    WidenToShow(qualityChart, Qt::Horizontal, position);
    WidenToShow(qualityChart, Qt::Vertical, fom);
}

void TAutoFocusPage::InitialStepRGClick() {
    const kv::SearchOptions o = SearchOptions();
    const bool fit = o.method != kv::FocusMethod::GoldenSection;
    ShowSearchAxes(fit ? kv::CurveFitAxesFor(o.fit, kv::FomKind::FWHM) : kv::SearchAxesFor(o.initialStep, kv::FomKind::FWHM));
    UseQualityAxisFor(o.method);
}

void TAutoFocusPage::ShowSearchAxes(const kv::SearchChartAxes& axes) {
    if (QValueAxis* position = LeftAxis(posChart_)) position->setRange(axes.position.min, axes.position.max);
    if (QValueAxis* steps = BottomAxis(posChart_)) steps->setRange(0, axes.bottomMax);
    if (QValueAxis* across = BottomAxis(qualityChart_)) {
        if (fitLayout_) across->setRange(axes.position.min, axes.position.max);
        else across->setRange(0, axes.bottomMax);
    }
}
