// The "Focus history" window: the focus log's runs in a table, best focus
// against the temperature and against the time, the drift fitted over the
// chosen runs, and "Add to calibration", which stores the chosen runs in the
// Temp Control page's calibration list as "Store Data Point" does.
//
// Only completed auto focuses that know the temperature can be chosen; every
// other run is listed for the record. The window reads the log when it is
// shown and on "Reload"; it never writes it.
#pragma once

#include <QWidget>
#include <vector>

#include "focusing/focus_log.h"

class QChart;
class QLabel;
class QPushButton;
class QTableWidget;
class TPageContext;

class TFocusHistoryWindow : public QWidget {
    Q_OBJECT
public:
    explicit TFocusHistoryWindow(TPageContext& form);

    // Reads the log again; every candidate starts chosen.
    void Reload();
    // The log's runs as read (lines that are not runs left out).
    const std::vector<kv::FocusLogEntry>& Runs() const { return runs_; }
    // The candidates ticked in the table, in log order.
    std::vector<kv::FocusLogEntry> Chosen() const;
    void SetChosen(int run, bool chosen);
    // The drift over the chosen runs, as the window shows it.
    std::optional<kv::FocusDrift> Drift() const { return kv::FitFocusDrift(Chosen()); }

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
    void ShowDrift();

    TPageContext& form_;
    std::vector<kv::FocusLogEntry> runs_;
    QTableWidget* table_ = nullptr;
    QChart* byTemperature_ = nullptr;
    QChart* byTime_ = nullptr;
    QLabel* drift_ = nullptr;
    QLabel* file_ = nullptr;
    QPushButton* add_ = nullptr;
    bool filling_ = false;
};
