// How the pages' charts look; kept apart from any one page so that a page or
// window with a chart of its own need not include another page's header.
#pragma once

class QChart;

// Small type and margins for a chart that shares a page with controls: the
// axes' labels and long titles must fit a narrow chart.
void UseCompactChart(QChart* chart);

// At night the chart's own colours (background, texts, axes, grid, series)
// become their reds; the day's are kept on the chart's objects and come back
// when `night` is false. A chart made while night vision is on needs it too.
void ShowChartAtNight(QChart* chart, bool night);
