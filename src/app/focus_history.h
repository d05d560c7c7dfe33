// The "Focus history" window: the focus log's runs in a table, best focus
// against the temperature and against the time, the drift fitted over the
// chosen runs, and "Add to calibration", which stores the chosen runs in the
// Temp Control page's calibration list as "Store Data Point" does.
//
// Only completed auto focuses that know the temperature can be chosen; every
// other run is listed for the record. Positions of different scales (a
// counting focuser's sessions) do not fit one line, so the chosen runs are
// always of one scale: the most recent candidate's at first, and ticking a
// run of another scale unticks the rest. The window reads the log when it is
// shown and on "Reload"; it never writes it.
//
// The charts can show instead the tilt or the field curvature each
// whole-field run read (the aberration log beside the focus log), against
// the temperature and the time; the table and the drift stay the runs'.
#pragma once

#include <QWidget>
#include <vector>

#include "focusing/aberration.h"
#include "focusing/focus_log.h"

class QChart;
class QComboBox;
class QLabel;
class QPushButton;
class QTableWidget;
class TPageContext;

class TFocusHistoryWindow : public QWidget {
    Q_OBJECT
public:
    explicit TFocusHistoryWindow(TPageContext& form);

    // Reads the log again; the candidates on the latest candidate's scale start chosen.
    void Reload();
    // The log's runs as read (lines that are not runs left out).
    const std::vector<kv::FocusLogEntry>& Runs() const { return runs_; }
    // The candidates ticked in the table, in log order; all of one scale.
    std::vector<kv::FocusLogEntry> Chosen() const;
    // Choosing a run of another scale than the chosen ones unchooses those.
    void SetChosen(int run, bool chosen);
    // The drift over the chosen runs, as the window shows it.
    std::optional<kv::FocusDrift> Drift() const { return kv::FitFocusDrift(Chosen()); }

    // The whole-field runs' optics as read (lines that are not rows left out).
    const std::vector<kv::AberrationLogRow>& Aberrations() const { return aberrations_; }
    // What the charts plot: best focus (the runs), the tilt or the field curvature.
    enum Plot { PlotBestFocus = 0, PlotTilt, PlotCurvature };
    QComboBox* PlotChoice() const { return plot_; }
    QChart* TemperatureChart() const { return byTemperature_; }
    QChart* TimeChart() const { return byTime_; }

    QLabel* DriftLabel() const { return drift_; }
    QPushButton* AddButton() const { return add_; }

    // The chosen runs into the calibration list; a full list stops it with its message.
    void AddToCalibration();

signals:
    // The chosen runs, for the Temp Control page's calibration list.
    void runsForCalibration(const std::vector<kv::FocusLogEntry>& runs);

private:
    void ShowRuns();
    void ShowCharts();
    // The tilt or curvature of the whole-field runs on both charts.
    void ShowOptics(Plot plot);
    void ShowDrift();
    // Whether `run` is on the scale of the run `scaleRun_`.
    bool OnChosenScale(int run) const;
    // The scale of `scaleRun_` in words, for the drift label.
    QString ChosenScaleText() const;

    TPageContext& form_;
    std::vector<kv::FocusLogEntry> runs_;
    std::vector<kv::AberrationLogRow> aberrations_;
    QComboBox* plot_ = nullptr;
    QTableWidget* table_ = nullptr;
    QChart* byTemperature_ = nullptr;
    QChart* byTime_ = nullptr;
    QLabel* drift_ = nullptr;
    QLabel* file_ = nullptr;
    QPushButton* add_ = nullptr;
    bool filling_ = false;
    // A run of the scale that is combined; -1 when no run can be chosen.
    int scaleRun_ = -1;
};
