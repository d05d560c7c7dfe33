#include "app/chart_style.h"

#include <QAbstractAxis>
#include <QBrush>
#include <QByteArray>
#include <QChart>
#include <QColor>
#include <QFont>
#include <QLegend>
#include <QMargins>
#include <QScatterSeries>
#include <QVariant>
#include <QXYSeries>

#include "widgets/night_vision.h"

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

namespace {

// A chart's colours are its own, not the palette's: at night each is swapped
// for its red, and the day's is kept on the object to come back to.
enum class ChartPart { Text, Line };

template <class Get, class Set>
void SwapColour(QObject* owner, const char* what, bool night, ChartPart part, Get get, Set set) {
    const QByteArray key = QByteArray("kvDayColour_") + what;
    const QVariant day = owner->property(key.constData());
    if (night) {
        const QColor kept = day.isValid() ? day.value<QColor>() : QColor(get());
        if (!day.isValid()) owner->setProperty(key.constData(), kept);
        // Text reads as the windows' text does; lines keep their relative brightness.
        switch (part) {
            case ChartPart::Text: set(kv::NightPalette().color(QPalette::WindowText)); break;
            case ChartPart::Line: set(kv::NightColor(kept)); break;
        }
    } else if (day.isValid()) {
        set(day.value<QColor>());
        owner->setProperty(key.constData(), QVariant());
    }
}

// The theme paints the background with a gradient, whose colour() reads
// black: the whole brush is kept for the day, or the day comes back black.
void SwapBackground(QChart* chart, bool night) {
    static const char* const key = "kvDayBrush_background";
    const QVariant day = chart->property(key);
    if (night) {
        if (!day.isValid()) chart->setProperty(key, QVariant::fromValue(chart->backgroundBrush()));
        chart->setBackgroundBrush(QColor(Qt::black));
    } else if (day.isValid()) {
        chart->setBackgroundBrush(day.value<QBrush>());
        chart->setProperty(key, QVariant());
    }
}

}  // namespace

void ShowChartAtNight(QChart* chart, bool night) {
    SwapBackground(chart, night);
    SwapColour(chart, "title", night, ChartPart::Text, [&] { return chart->titleBrush().color(); },
               [&](const QColor& c) { chart->setTitleBrush(c); });
    if (QLegend* legend = chart->legend()) {
        SwapColour(legend, "label", night, ChartPart::Text, [&] { return legend->labelColor(); },
                   [&](const QColor& c) { legend->setLabelColor(c); });
    }
    for (QAbstractAxis* axis : chart->axes()) {
        SwapColour(axis, "labels", night, ChartPart::Text, [&] { return axis->labelsColor(); },
                   [&](const QColor& c) { axis->setLabelsColor(c); });
        SwapColour(axis, "line", night, ChartPart::Line, [&] { return axis->linePenColor(); },
                   [&](const QColor& c) { axis->setLinePenColor(c); });
        // The grid stays dim: it is only there to read values against.
        SwapColour(axis, "grid", night, ChartPart::Line, [&] { return axis->gridLineColor(); },
                   [&](const QColor& c) { axis->setGridLineColor(night ? c.darker(300) : c); });
        SwapColour(axis, "minorGrid", night, ChartPart::Line, [&] { return axis->minorGridLineColor(); },
                   [&](const QColor& c) { axis->setMinorGridLineColor(night ? c.darker(300) : c); });
        SwapColour(axis, "title", night, ChartPart::Text, [&] { return axis->titleBrush().color(); },
                   [&](const QColor& c) { axis->setTitleBrush(c); });
    }
    for (QAbstractSeries* series : chart->series()) {
        if (auto* xy = qobject_cast<QXYSeries*>(series)) {
            SwapColour(xy, "line", night, ChartPart::Line, [&] { return xy->color(); }, [&](const QColor& c) { xy->setColor(c); });
        }
        if (auto* scatter = qobject_cast<QScatterSeries*>(series)) {
            SwapColour(scatter, "border", night, ChartPart::Line, [&] { return scatter->borderColor(); },
                       [&](const QColor& c) { scatter->setBorderColor(c); });
        }
    }
}

