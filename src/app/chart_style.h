// How the pages' charts look; kept apart from any one page so that a page or
// window with a chart of its own need not include another page's header.
#pragma once

class QChart;

// Small type and margins for a chart that shares a page with controls: the
// axes' labels and long titles must fit a narrow chart.
void UseCompactChart(QChart* chart);
