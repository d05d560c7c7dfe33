#include "app/chart_style.h"

#include <QAbstractAxis>
#include <QChart>
#include <QFont>
#include <QMargins>

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
