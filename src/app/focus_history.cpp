#include "app/focus_history.h"

#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineSeries>
#include <QPushButton>
#include <QScatterSeries>
#include <QSplitter>
#include <QTableWidget>
#include <QValueAxis>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <fstream>

#include "app/aberration_panel.h"
#include "app/chart_style.h"
#include "app/page_context.h"
#include "widgets/night_vision.h"

namespace {

enum Column {
    Chosen = 0, Time, Run, Outcome, BestFocus, Scale, Temperature, Figure, Stars, Frames, RSquared, Reason, Columns
};

QString Q(const std::string& s) { return QString::fromStdString(s); }

QString RunText(const kv::FocusLogEntry& e) {
    return e.method.empty() ? Q(e.procedure) : Q(e.procedure) + QStringLiteral(", ") + Q(e.method);
}

QString ScaleText(const kv::FocusLogEntry& e) {
    switch (kv::ScaleOf(e)) {
        case kv::FocusScale::Focuser: return QStringLiteral("focuser position");
        case kv::FocusScale::Counted: return QStringLiteral("counted from %1").arg(Q(kv::CountingScaleStart(e.scale)));
        case kv::FocusScale::Unknown: break;
    }
    return QStringLiteral("unknown (older log line)");
}

// Why a scale can or cannot be combined with others, which the short text cannot say.
QString ScaleTip(const kv::FocusLogEntry& e) {
    switch (kv::ScaleOf(e)) {
        case kv::FocusScale::Focuser:
            return QStringLiteral("The focuser's own position: the same scale in every session");
        case kv::FocusScale::Counted:
            return QStringLiteral("Steps counted in the program session started %1: only runs of that session "
                                  "share its zero")
                .arg(Q(kv::CountingScaleStart(e.scale)));
        case kv::FocusScale::Unknown: break;
    }
    return QStringLiteral("Steps counted by a session this older log line does not name: no other run is known "
                          "to share its zero");
}

// A trigger's row marks a moment, not a run: its reason first, as that is what the user looks for.
QString TriggerTip(const kv::FocusLogEntry& e) {
    const QString what = QStringLiteral("A refocus trigger marks when and why a refocus started; the auto focus it "
                                        "ran has a row of its own");
    return e.reason.empty() ? what : Q(e.reason) + QStringLiteral("\n") + what;
}

template <class T>
QString Optional(const std::optional<T>& v, int decimals) {
    return v ? QString::number(static_cast<double>(*v), 'f', decimals) : QString();
}

QChart* MakeChart(const QString& name, const QString& title, QAbstractAxis* bottom, const QString& bottomTitle) {
    auto* chart = new QChart;
    chart->setObjectName(name);
    chart->setTitle(title);
    chart->legend()->hide();
    auto* points = new QScatterSeries(chart);
    points->setObjectName(QStringLiteral("Runs"));
    points->setMarkerSize(7);
    chart->addSeries(points);
    auto* line = new QLineSeries(chart);
    line->setObjectName(QStringLiteral("Drift"));
    chart->addSeries(line);
    bottom->setTitleText(bottomTitle);
    auto* left = new QValueAxis(chart);
    left->setTitleText(QStringLiteral("Best focus (steps)"));
    left->setLabelFormat(QStringLiteral("%d"));
    chart->addAxis(bottom, Qt::AlignBottom);
    chart->addAxis(left, Qt::AlignLeft);
    for (QAbstractSeries* s : chart->series()) {
        s->attachAxis(bottom);
        s->attachAxis(left);
    }
    UseCompactChart(chart);
    // The window may first open when night vision is already on.
    if (kv::NightVision()) ShowChartAtNight(chart, true);
    return chart;
}

template <class Series>
Series* Named(QChart* chart, const char* name) {
    for (QAbstractSeries* s : chart->series()) {
        if (s->objectName() == QLatin1String(name)) return qobject_cast<Series*>(s);
    }
    return nullptr;
}

// Room around the points, so none sits on the frame; a single value gets some too.
void Span(QAbstractAxis* axis, double lo, double hi, double least) {
    const double pad = std::max((hi - lo) * 0.08, least);
    if (auto* value = qobject_cast<QValueAxis*>(axis)) {
        value->setRange(lo - pad, hi + pad);
        value->applyNiceNumbers();
    } else if (auto* time = qobject_cast<QDateTimeAxis*>(axis)) {
        time->setRange(QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(lo - pad)),
                       QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(hi + pad)));
    }
}

}  // namespace

TFocusHistoryWindow::TFocusHistoryWindow(TPageContext& form) : QWidget(nullptr, Qt::Window), form_(form) {
    setObjectName(QStringLiteral("FocusHistory"));
    setWindowTitle(QStringLiteral("Focus history"));
    resize(900, 640);

    auto* time = new QDateTimeAxis;
    time->setFormat(QStringLiteral("dd MMM hh:mm"));
    time->setTickCount(5);
    byTemperature_ = MakeChart(QStringLiteral("HistoryTemperatureChart"), QStringLiteral("Best focus against temperature"),
                               new QValueAxis, QStringLiteral("Temperature (\u00B0C)"));
    byTime_ = MakeChart(QStringLiteral("HistoryTimeChart"), QStringLiteral("Best focus against time"), time,
                        QStringLiteral("Time"));
    auto* charts = new QHBoxLayout;
    for (QChart* chart : {byTemperature_, byTime_}) {
        auto* view = new QChartView(chart, this);
        view->setObjectName(chart->objectName() + QStringLiteral("View"));
        view->setRenderHint(QPainter::Antialiasing);
        view->setMinimumHeight(240);
        charts->addWidget(view);
    }

    table_ = new QTableWidget(0, Columns, this);
    table_->setObjectName(QStringLiteral("HistoryTable"));
    table_->setHorizontalHeaderLabels({QStringLiteral("Use"), QStringLiteral("Time"), QStringLiteral("Run"),
                                       QStringLiteral("Outcome"), QStringLiteral("Best focus"), QStringLiteral("Scale"),
                                       QStringLiteral("Temp \u00B0C"), QStringLiteral("Figure"),
                                       QStringLiteral("Stars"), QStringLiteral("Frames"), QStringLiteral("R\u00B2"),
                                       QStringLiteral("Reason")});
    table_->verticalHeader()->hide();
    table_->verticalHeader()->setDefaultSectionSize(table_->fontMetrics().height() + 6);
    table_->setWordWrap(false);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->horizontalHeader()->setStretchLastSection(true);
    connect(table_, &QTableWidget::itemChanged, this, [this](QTableWidgetItem* item) {
        if (filling_ || item->column() != Column::Chosen) return;
        // Only one scale is ever combined: a run of another one takes its place.
        if (item->checkState() == Qt::Checked && !OnChosenScale(item->row())) {
            scaleRun_ = item->row();
            filling_ = true;
            for (int row = 0; row < table_->rowCount(); ++row) {
                QTableWidgetItem* other = table_->item(row, Column::Chosen);
                if (other != nullptr && !OnChosenScale(row) && (other->flags() & Qt::ItemIsUserCheckable))
                    other->setCheckState(Qt::Unchecked);
            }
            filling_ = false;
        }
        ShowCharts();
        ShowDrift();
    });

    drift_ = new QLabel(this);
    drift_->setObjectName(QStringLiteral("DriftLabel"));
    file_ = new QLabel(this);
    file_->setObjectName(QStringLiteral("HistoryFileLabel"));
    file_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    plot_ = new QComboBox(this);
    plot_->setObjectName(QStringLiteral("HistoryPlotCB"));
    plot_->addItems({QStringLiteral("Best focus"), QStringLiteral("Tilt"), QStringLiteral("Field curvature")});
    plot_->setToolTip(QStringLiteral("What the charts show: each run's best focus, or the tilt or field curvature "
                                     "each whole-field auto focus read"));
    connect(plot_, &QComboBox::currentIndexChanged, this, [this] { ShowCharts(); });
    auto* reload = new QPushButton(QStringLiteral("Reload"), this);
    reload->setObjectName(QStringLiteral("HistoryReloadButton"));
    add_ = new QPushButton(QStringLiteral("Add to calibration"), this);
    add_->setObjectName(QStringLiteral("AddToCalibrationButton"));
    add_->setToolTip(QStringLiteral("Stores the ticked runs, all of one scale, as data points on the Temp Control page"));
    auto* close = new QPushButton(QStringLiteral("Close"), this);
    connect(reload, &QPushButton::clicked, this, &TFocusHistoryWindow::Reload);
    connect(add_, &QPushButton::clicked, this, &TFocusHistoryWindow::AddToCalibration);
    connect(close, &QPushButton::clicked, this, &QWidget::close);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(drift_, 1);
    buttons->addWidget(plot_);
    buttons->addWidget(reload);
    buttons->addWidget(add_);
    buttons->addWidget(close);

    auto* lay = new QVBoxLayout(this);
    lay->addLayout(charts, 3);
    lay->addWidget(table_, 2);
    lay->addLayout(buttons);
    lay->addWidget(file_);
}

void TFocusHistoryWindow::Reload() {
    const std::string path = form_.FocusLogPath();
    runs_ = kv::TFocusLog::Read(path);
    file_->setText(runs_.empty() ? QStringLiteral("No runs logged yet in %1").arg(Q(path)) : Q(path));
    aberrations_.clear();
    std::ifstream optics(TAberrationPanel::LogPathBeside(path));
    for (std::string line; std::getline(optics, line);) {
        if (auto row = kv::ParseAberrationLogRow(line)) aberrations_.push_back(std::move(*row));
    }
    ShowRuns();
    ShowCharts();
    ShowDrift();
}

void TFocusHistoryWindow::ShowRuns() {
    filling_ = true;
    // The latest run's scale is most likely the one the focuser still counts on.
    scaleRun_ = -1;
    for (int row = 0; row < static_cast<int>(runs_.size()); ++row) {
        if (kv::IsCalibrationCandidate(runs_[static_cast<std::size_t>(row)])) scaleRun_ = row;
    }
    table_->setRowCount(static_cast<int>(runs_.size()));
    for (int row = 0; row < static_cast<int>(runs_.size()); ++row) {
        const kv::FocusLogEntry& e = runs_[static_cast<std::size_t>(row)];
        const bool candidate = kv::IsCalibrationCandidate(e);
        const QString cells[Columns] = {
            QString(), Q(e.time), RunText(e), Q(e.outcome), QString::number(kv::BestFocusPosition(e)), ScaleText(e),
            Optional(e.temperatureC, 2), Optional(e.figure, 3), QString::number(e.stars), QString::number(e.frames),
            Optional(e.rSquared, 3), Q(e.reason)};
        // A run that cannot be chosen says why, instead of only looking disabled.
        const bool trigger = e.procedure == "trigger";
        const QString why = candidate ? QString()
                            : trigger ? TriggerTip(e)
                            : e.procedure != "autofocus"
                                ? QStringLiteral("A scan: only auto focuses give a best focus to calibrate with")
                            : e.outcome != "completed"
                                ? QStringLiteral("This auto focus %1: only completed ones give a best focus").arg(Q(e.outcome))
                                : QStringLiteral("No temperature was read during this auto focus");
        for (int c = 0; c < Columns; ++c) {
            auto* item = new QTableWidgetItem(cells[c]);
            if (!candidate) item->setToolTip(why);
            Qt::ItemFlags flags = Qt::ItemIsSelectable;
            if (candidate) flags |= Qt::ItemIsEnabled;
            if (c == Column::Chosen && candidate) {
                flags |= Qt::ItemIsUserCheckable;
                item->setCheckState(OnChosenScale(row) ? Qt::Checked : Qt::Unchecked);
            }
            item->setFlags(flags);
            if (c == Column::Reason && !trigger) {
                item->setToolTip(candidate || cells[c].isEmpty() ? (candidate ? cells[c] : why) : cells[c] + "\n" + why);
            }
            if (c == Column::Scale) item->setToolTip(candidate ? ScaleTip(e) : ScaleTip(e) + "\n" + why);
            table_->setItem(row, c, item);
        }
    }
    table_->resizeColumnsToContents();
    if (!runs_.empty()) table_->scrollToBottom();
    filling_ = false;
}

std::vector<kv::FocusLogEntry> TFocusHistoryWindow::Chosen() const {
    std::vector<kv::FocusLogEntry> chosen;
    for (int row = 0; row < table_->rowCount() && row < static_cast<int>(runs_.size()); ++row) {
        const QTableWidgetItem* item = table_->item(row, Column::Chosen);
        if (item != nullptr && (item->flags() & Qt::ItemIsUserCheckable) && item->checkState() == Qt::Checked &&
            OnChosenScale(row)) {
            chosen.push_back(runs_[static_cast<std::size_t>(row)]);
        }
    }
    return chosen;
}

void TFocusHistoryWindow::SetChosen(int run, bool chosen) {
    if (QTableWidgetItem* item = table_->item(run, Column::Chosen)) {
        if (item->flags() & Qt::ItemIsUserCheckable) item->setCheckState(chosen ? Qt::Checked : Qt::Unchecked);
    }
}

bool TFocusHistoryWindow::OnChosenScale(int run) const {
    const int count = static_cast<int>(runs_.size());
    if (scaleRun_ < 0 || scaleRun_ >= count || run < 0 || run >= count) return false;
    return run == scaleRun_ ||
           kv::OnOneScale(runs_[static_cast<std::size_t>(run)], runs_[static_cast<std::size_t>(scaleRun_)]);
}

QString TFocusHistoryWindow::ChosenScaleText() const {
    if (scaleRun_ < 0 || scaleRun_ >= static_cast<int>(runs_.size())) return QString();
    const kv::FocusLogEntry& e = runs_[static_cast<std::size_t>(scaleRun_)];
    switch (kv::ScaleOf(e)) {
        case kv::FocusScale::Focuser: return QStringLiteral("the focuser's position");
        case kv::FocusScale::Counted:
            return QStringLiteral("steps counted from %1").arg(Q(kv::CountingScaleStart(e.scale)));
        case kv::FocusScale::Unknown: break;
    }
    return QStringLiteral("the unknown scale of the older run of %1").arg(Q(e.time));
}

void TFocusHistoryWindow::ShowCharts() {
    const auto plot = static_cast<Plot>(plot_->currentIndex());
    for (QChart* chart : {byTemperature_, byTime_}) {
        chart->axes(Qt::Vertical).first()->setTitleText(plot == PlotTilt        ? QStringLiteral("Tilt (\u00b5m)")
                                                        : plot == PlotCurvature ? QStringLiteral("Curvature (\u00b5m)")
                                                                                : QStringLiteral("Best focus (steps)"));
    }
    if (plot != PlotBestFocus) {
        ShowOptics(plot);
        return;
    }
    byTime_->setTitle(QStringLiteral("Best focus against time"));
    const std::vector<kv::FocusLogEntry> chosen = Chosen();
    // Against the temperature: the chosen runs and the drift through them.
    auto* points = Named<QScatterSeries>(byTemperature_, "Runs");
    auto* line = Named<QLineSeries>(byTemperature_, "Drift");
    QList<QPointF> at;
    for (const kv::FocusLogEntry& e : chosen) at << QPointF(*e.temperatureC, static_cast<double>(kv::BestFocusPosition(e)));
    points->replace(at);
    line->clear();
    // An empty chart still reads as one: a night's temperatures and whole steps,
    // not 0 to 1 in steps that round to the same number.
    byTemperature_->setTitle(at.isEmpty() ? QStringLiteral("Best focus against temperature (no chosen run yet)")
                                          : QStringLiteral("Best focus against temperature"));
    if (at.isEmpty()) {
        Span(byTemperature_->axes(Qt::Horizontal).first(), -10, 20, 0.5);
        Span(byTemperature_->axes(Qt::Vertical).first(), -100, 100, 5);
    } else {
        const auto [tlo, thi] = std::minmax_element(at.begin(), at.end(), [](auto a, auto b) { return a.x() < b.x(); });
        const auto [plo, phi] = std::minmax_element(at.begin(), at.end(), [](auto a, auto b) { return a.y() < b.y(); });
        Span(byTemperature_->axes(Qt::Horizontal).first(), tlo->x(), thi->x(), 0.5);
        Span(byTemperature_->axes(Qt::Vertical).first(), plo->y(), phi->y(), 5);
        if (const auto drift = kv::FitFocusDrift(chosen)) {
            double mt = 0, mp = 0;
            for (const QPointF& p : at) mt += p.x(), mp += p.y();
            mt /= at.size();
            mp /= at.size();
            for (const double t : {tlo->x(), thi->x()}) line->append(t, mp + drift->stepsPerDegree * (t - mt));
        }
    }
    // Against the time: every completed auto focus, with a temperature or not.
    QList<QPointF> when;
    for (const kv::FocusLogEntry& e : runs_) {
        if (e.procedure != "autofocus" || e.outcome != "completed") continue;
        if (const auto t = kv::ParseFocusLogTime(e.time)) {
            const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t->time_since_epoch()).count();
            when << QPointF(static_cast<double>(ms), static_cast<double>(kv::BestFocusPosition(e)));
        }
    }
    Named<QScatterSeries>(byTime_, "Runs")->replace(when);
    if (!when.isEmpty()) {
        const auto [tlo, thi] = std::minmax_element(when.begin(), when.end(), [](auto a, auto b) { return a.x() < b.x(); });
        const auto [plo, phi] = std::minmax_element(when.begin(), when.end(), [](auto a, auto b) { return a.y() < b.y(); });
        Span(byTime_->axes(Qt::Horizontal).first(), tlo->x(), thi->x(), 30 * 60 * 1000.0);
        Span(byTime_->axes(Qt::Vertical).first(), plo->y(), phi->y(), 5);
    }
}

void TFocusHistoryWindow::ShowOptics(Plot plot) {
    const bool tilt = plot == PlotTilt;
    const QString what = tilt ? QStringLiteral("Tilt") : QStringLiteral("Field curvature");
    QList<QPointF> at, when;
    for (const kv::AberrationLogRow& row : aberrations_) {
        const std::optional<double>& figure = tilt ? row.tiltMicrons : row.curvatureMicrons;
        if (!figure) continue;
        if (row.temperatureC) at << QPointF(*row.temperatureC, *figure);
        if (const auto t = kv::ParseFocusLogTime(row.time)) {
            const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t->time_since_epoch()).count();
            when << QPointF(static_cast<double>(ms), *figure);
        }
    }
    const struct {
        QChart* chart;
        const QList<QPointF>& points;
        QString title;
        double leastX;
    } charts[] = {{byTemperature_, at, what + QStringLiteral(" against temperature"), 0.5},
                  {byTime_, when, what + QStringLiteral(" against time"), 30 * 60 * 1000.0}};
    for (const auto& c : charts) {
        Named<QScatterSeries>(c.chart, "Runs")->replace(c.points);
        Named<QLineSeries>(c.chart, "Drift")->clear();
        c.chart->setTitle(c.points.isEmpty() ? c.title + QStringLiteral(" (no whole-field run yet)") : c.title);
        if (c.points.isEmpty()) continue;
        const auto [xlo, xhi] = std::minmax_element(c.points.begin(), c.points.end(), [](auto a, auto b) { return a.x() < b.x(); });
        const auto [ylo, yhi] = std::minmax_element(c.points.begin(), c.points.end(), [](auto a, auto b) { return a.y() < b.y(); });
        Span(c.chart->axes(Qt::Horizontal).first(), xlo->x(), xhi->x(), c.leastX);
        // A tilt is never below 0; a curvature is signed, so its 0 stays in sight.
        Span(c.chart->axes(Qt::Vertical).first(), tilt ? ylo->y() : std::min(0.0, ylo->y()),
             tilt ? yhi->y() : std::max(0.0, yhi->y()), 5);
    }
}

void TFocusHistoryWindow::ShowDrift() {
    const std::vector<kv::FocusLogEntry> chosen = Chosen();
    const std::optional<kv::FocusDrift> drift = kv::FitFocusDrift(chosen);
    const QString scale = ChosenScaleText();
    if (drift) {
        drift_->setText(QStringLiteral("Drift: %1 steps per degree (%2 runs, R\u00B2 %3) on %4")
                            .arg(drift->stepsPerDegree, 0, 'f', 2)
                            .arg(drift->runs)
                            .arg(drift->r2, 0, 'f', 2)
                            .arg(scale));
    } else if (!scale.isEmpty()) {
        drift_->setText(
            QStringLiteral("Drift on %1: needs at least 2 chosen auto focuses at different temperatures").arg(scale));
    } else {
        drift_->setText(QStringLiteral("Drift: needs at least 2 chosen auto focuses at different temperatures"));
    }
    add_->setEnabled(!chosen.empty());
}

void TFocusHistoryWindow::AddToCalibration() {
    emit runsForCalibration(Chosen());
}
