// The Auto Focus page: the search's controls and its two charts (focuser
// position and figure of merit against the step number).
#pragma once

#include <QWidget>

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
