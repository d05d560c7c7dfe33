// The Manual Focus page: moving the focuser by hand, and the spoken position.
#pragma once

#include <QWidget>

class QChart;
class TMainForm;
namespace kv {
class TFocusControl;
}

class TManualFocusPage : public QWidget {
    Q_OBJECT
public:
    TManualFocusPage(TMainForm& form, QWidget* parent);

    // Takes the focuser's position and idle notifications (raised on its
    // threads) and carries them out on the GUI thread in the order raised.
    void AttachFocuser(kv::TFocusControl* focuser);
    // The focus scan's chart (its left axis follows the figure of merit).
    QChart* ScanChart() const { return scanChart_; }

private:
    TMainForm& form_;
    QChart* scanChart_ = nullptr;
};
