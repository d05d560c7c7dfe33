#include "app/aberration_panel.h"

#include <QLabel>
#include <QVBoxLayout>
#include <cmath>
#include <cstring>

#include "app/page_context.h"
#include "focusing/focus_log.h"
#include "shell/log_channel.h"
#include "widgets/aberration_map.h"

namespace {

QString Microns(double v) {
    const long rounded = std::lround(v);
    return rounded == 0 ? QStringLiteral("0") : QStringLiteral("%1%2").arg(rounded > 0 ? "+" : "").arg(rounded);
}

}  // namespace

TAberrationPanel::TAberrationPanel(TPageContext& form, QWidget* parent)
    : QGroupBox(QStringLiteral("Whole-field optics"), parent), form_(form) {
    setObjectName(QStringLiteral("AberrationGroup"));
    // The column between the panels is narrow: the map across its width,
    // the verdicts under it in the charts' small type.
    auto* lay = new QVBoxLayout(this);
    lay->setContentsMargins(3, 2, 3, 2);
    lay->setSpacing(2);
    map_ = new kv::TAberrationMap(this);
    map_->setObjectName(QStringLiteral("AberrationMap"));
    map_->setMinimumHeight(map_->minimumSizeHint().height());
    map_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    map_->setToolTip(QStringLiteral("Each region's best focus in \u00b5m from the mean of the regions, positive "
                                    "further out; green within half the critical focus zone of it"));
    map_->ShowMessage(QStringLiteral("No whole-field run yet"));
    verdicts_ = new QLabel(this);
    verdicts_->setObjectName(QStringLiteral("AberrationVerdicts"));
    verdicts_->setWordWrap(true);
    verdicts_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    verdicts_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QFont small = verdicts_->font();
    small.setPointSize(7);
    verdicts_->setFont(small);
    lay->addWidget(map_);
    lay->addWidget(verdicts_);
    hide();
}

void TAberrationPanel::resizeEvent(QResizeEvent* event) {
    QGroupBox::resizeEvent(event);
    FitVerdicts();
}

void TAberrationPanel::FitVerdicts() {
    const int width = verdicts_->width() > 50 ? verdicts_->width() : contentsRect().width() - 6;
    const int height = verdicts_->heightForWidth(width);
    if (height > 0 && height != verdicts_->minimumHeight()) verdicts_->setMinimumHeight(height);
}

std::string TAberrationPanel::LogPathBeside(const std::string& focusLogPath) {
    const std::string::size_type slash = focusLogPath.rfind('/');
    return (slash == std::string::npos ? std::string() : focusLogPath.substr(0, slash + 1)) +
           kv::kAberrationLogFileName;
}

std::vector<std::optional<double>> TAberrationPanel::RegionOffsets(const kv::AberrationReport& report) {
    double sum = 0.0;
    int fitted = 0;
    for (const kv::RegionResult& r : report.regions) {
        if (!r.ok) continue;
        sum += r.bestFocus;
        ++fitted;
    }
    std::vector<std::optional<double>> offsets;
    for (const kv::RegionResult& r : report.regions) {
        if (r.ok) offsets.push_back((r.bestFocus - sum / fitted) * report.outwardMicronsPerStep);
        else offsets.emplace_back();
    }
    return offsets;
}

void TAberrationPanel::Show(const kv::AberrationReport& report, std::optional<double> temperatureC) {
    last_ = Inspected{report, kv::FocusLogTimeNow(), temperatureC};
    setTitle(QStringLiteral("Whole-field optics (\u00b5m), %1").arg(QString::fromStdString(last_->time.substr(11, 5))));
    if (!report.ok) {
        map_->ShowMessage(QStringLiteral("No figures"));
        verdicts_->setText(QStringLiteral("Nothing measured on this run: %1").arg(QString::fromStdString(report.why)));
        verdicts_->setToolTip(QString());
    } else {
        const std::vector<std::optional<double>> offsets = RegionOffsets(report);
        std::vector<kv::MapCell> cells;
        for (std::size_t i = 0; i < report.regions.size(); ++i) {
            const kv::RegionResult& r = report.regions[i];
            kv::MapCell cell;
            if (!offsets[i]) {
                cell.text = QStringLiteral("\u2013");
                cell.toolTip = QStringLiteral("No figure: %1").arg(QString::fromStdString(r.why));
            } else {
                // A region is out of line with the field once it leaves the
                // zone centred on the field's focus: half its depth either way.
                const double uncertainty = 2.0 * r.sigma * std::fabs(report.outwardMicronsPerStep);
                switch (kv::JudgeFigure(*offsets[i], uncertainty, report.cfzMicrons / 2.0)) {
                    case kv::FigureState::WithinZone: cell.tone = kv::MapCell::Tone::Within; break;
                    case kv::FigureState::Act: cell.tone = kv::MapCell::Tone::Act; break;
                    default: cell.tone = kv::MapCell::Tone::Unsure; break;
                }
                cell.text = Microns(*offsets[i]);
                cell.toolTip = QStringLiteral("Best focus %1 \u00b1 %2 \u00b5m from the field's mean, at position "
                                              "%3; %4 stars a reading")
                                   .arg(Microns(*offsets[i]))
                                   .arg(uncertainty, 0, 'f', 1)
                                   .arg(r.bestFocus, 0, 'f', 1)
                                   .arg(r.stars);
            }
            cells.push_back(std::move(cell));
        }
        map_->SetCells(report.columns, report.rows, std::move(cells));
        // The verdicts in words; their figures and uncertainties under the pointer.
        QStringList lines;
        for (const auto& [name, figure] : {std::pair{"Tilt", &report.tilt}, std::pair{"Curvature", &report.curvature},
                                           std::pair{"Back focus", &report.backFocus}}) {
            lines << QStringLiteral("%1: %2").arg(QLatin1String(name), QString::fromStdString(figure->verdict));
        }
        verdicts_->setText(lines.join(QLatin1Char('\n')));
        QString figures = QString::fromStdString(report.Summary()).trimmed();
        if (temperatureC) figures += QStringLiteral("\nAt %1 \u00b0C").arg(*temperatureC, 0, 'f', 1);
        verdicts_->setToolTip(figures);
    }
    show();
    FitVerdicts();
    if (!report.ok) return;
    const std::string path = LogPathBeside(form_.FocusLogPath());
    const int error = kv::AppendLogLine(path, kv::kAberrationLogHeader,
                                        kv::FormatAberrationLogRow(kv::AberrationLogRowOf(report, last_->time, temperatureC)));
    if (error == 0) {
        logFailing_ = false;
        return;
    }
    if (logFailing_) return;
    logFailing_ = true;
    const std::string message = "The aberration log " + path + " could not be written: " + std::strerror(error) +
                                ". The map still shows this run; check that the settings folder is writable and the "
                                "disk is not full.";
    kv::WriteProgramLog(message);
    // The widest panel; the whole text stays at hand under the pointer.
    form_.SetStatusPanel(2, QString::fromStdString(message));
    if (auto* panel = form_.Window().findChild<QWidget*>(QStringLiteral("StatusPanel2")))
        panel->setToolTip(QString::fromStdString(message));
}
