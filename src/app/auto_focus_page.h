// The Auto Focus page: the search's controls and its two charts (focuser
// position and figure of merit against the step number).
#pragma once

#include <QWidget>

#include "focusing/auto_focus_search.h"

class QChart;
class TMainForm;
class TRadioGroup;

class TAutoFocusPage : public QWidget {
    Q_OBJECT
public:
    TAutoFocusPage(TMainForm& form, QWidget* parent);

    QChart* QualityChart() const { return qualityChart_; }
    QChart* PosChart() const { return posChart_; }
    TRadioGroup* InitialStepRG() const { return initialStep_; }
    // Both charts' step axes and the position chart's left axis for a search
    // (the quality chart's left axis follows the figure of merit elsewhere).
    void ShowSearchAxes(const kv::SearchChartAxes& axes);

public slots:
    // A new initial step: the charts are laid out for it.
    void InitialStepRGClick();

private:
    TMainForm& form_;
    QChart* qualityChart_ = nullptr;
    QChart* posChart_ = nullptr;
    TRadioGroup* initialStep_ = nullptr;
};

// Sets a chart's left axis for the figure-of-merit kind (0 FWHM .. 4 HFD):
// title, range, label size and format. `labelSizeOnly` sets just the label
// size (the position chart, whose axis counts steps).
void SetFomAxis(QChart* chart, int fomKind, bool labelSizeOnly = false);
// Small type and margins for a chart that shares a page with controls: the
// axes' labels and long titles must fit a narrow chart.
void UseCompactChart(QChart* chart);
