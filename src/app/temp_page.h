// The Temp Control page: the temperature read-out and the compensation
// controls. Offered only for a hub focuser with compensation enabled.
#pragma once

#include <QWidget>

class QCheckBox;
class QTimer;
class TMainForm;

class TTempPage : public QWidget {
    Q_OBJECT
public:
    TTempPage(TMainForm& form, QWidget* parent);

    QTimer* GetTempTimer() const { return getTempTimer_; }
    QTimer* TCDetectTimer() const { return tcDetectTimer_; }
    QTimer* SecondTimer() const { return secondTimer_; }
    // The three timers stop (a focuser without a temperature unit).
    void StopTimers();
    // Automatic compensation is switched on (AutoSwitch).
    bool AutoCompensating() const;
    // An auto focus has just found best focus. Nothing to do here yet; the
    // compensation takes its new reference point from this call.
    void AutoFocusCompleted() {}

private:
    TMainForm& form_;
    QCheckBox* autoSwitch_ = nullptr;
    QTimer* getTempTimer_ = nullptr;
    QTimer* tcDetectTimer_ = nullptr;
    QTimer* secondTimer_ = nullptr;
};
