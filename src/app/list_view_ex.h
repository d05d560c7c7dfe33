// The calibration list as the user sees it: one row per data point with its
// check box, then Position, Temp, Time and Date. The rows live in a
// TCalibrationList; this view only shows them and hands the user's check
// marks back.
#pragma once

#include <QTableWidget>

namespace kv {
class TCalibrationList;
}

class TListViewEx : public QTableWidget {
    Q_OBJECT
public:
    TListViewEx(kv::TCalibrationList& list, QWidget* parent);

    // Shows the list's rows again (after any change to them).
    void Refresh();
    // The row selected when exactly one is; -1 otherwise.
    int SingleSelectedRow() const;
    void ScrollToLast();

private:
    kv::TCalibrationList& list_;
};
