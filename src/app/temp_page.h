// The Temp Control page: the temperature read-out of the hub's sensor and its
// offset, the calibration list and its fit, and temperature compensation
// (the "Control" and "Compensation Activity" groups). Offered only for a hub
// focuser with compensation enabled.
//
// The decisions and every message text live in the engine (TCalibrationList,
// TTempCompensator, tc_texts.h); this page asks the user, calls them and shows
// what they say. The page's timers and controls run on the GUI thread; every
// exchange with the temperature unit goes through the reader, whose answers
// and the focuser's availability reports are queued here.
#pragma once

#include <QWidget>
#include <functional>
#include <memory>

#include "app/temp_reader.h"
#include "focusing/focus_log.h"
#include "tempcomp/calibration_list.h"
#include "tempcomp/compensator.h"

class QCheckBox;
class QDoubleSpinBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTimer;
class TListViewEx;
class TPageContext;
namespace kv {
class IniFile;
class TMeter;
class TlumSB;
}  // namespace kv

class TTempPage : public QWidget {
    Q_OBJECT
public:
    // After the beep for a missing unit, before asking it once more.
    static constexpr int kMissingRecheckMs = 300;
    static constexpr int kReadOutShrink = 60;

    TTempPage(TPageContext& form, QWidget* parent);
    ~TTempPage() override;

    QTimer* GetTempTimer() const { return getTempTimer_; }
    QTimer* TCDetectTimer() const { return tcDetectTimer_; }
    QTimer* SecondTimer() const { return secondTimer_; }
    // The three timers stop (a focuser without a temperature unit).
    void StopTimers();
    // Automatic compensation is switched on (AutoSwitch).
    bool AutoCompensating() const;
    // Switches automatic compensation off, as unticking AutoSwitch does.
    void StopCompensation();

    // The page was opened / left (the main window's page change).
    void TempControlShow();
    void TempControlHide();
    // An auto focus ended at best focus: with "Store point after Auto Focus"
    // ticked and training on, the position is stored as a data point.
    void AutoFocusCompleted();
    // Past auto focuses chosen in the focus history, stored as data points
    // one by one as "Store Data Point" stores one (training on or off; the
    // list is never cleared for them). The first refusal stops it and is shown.
    void AddRunPoints(const std::vector<kv::FocusLogEntry>& runs);
    // "Compensate Now", also the compensation window's "Compensate".
    void ManualTCButtonClick();
    // The main window's one-shot IdleCheckTimer fired: a correction retried.
    void IdleCheckTimerTimer();
    // Reads the page's own option from the settings file.
    void ReadOwnSettings(const kv::IniFile& ini);
    // Availability reports of the window's (possibly new) focuser come here.
    void AttachAvailChange();
    // Before the window's focuser is freed: the reader lets go of it, waiting
    // for the exchange in flight. After a new one is made: the reader asks it.
    void FocuserGoing();
    void FocuserChanged();

    // Where Load and Merge read from; tests replace the dialog. Gets the
    // caption and the filter; empty when the user cancelled.
    using OpenFileNameProvider = std::function<QString(const QString& caption, const QString& filter)>;
    void SetOpenFileNameProvider(OpenFileNameProvider provider) { openFileName_ = std::move(provider); }

    kv::TCalibrationList& Calibration() { return calibration_; }
    kv::TTempCompensator& Compensator() { return *compensator_; }
    // The file-dialog filter of .tcd files.
    static QString TcdFilter();

private:
    QWidget* BuildReadOut();
    QWidget* BuildControl();
    QWidget* BuildActivity();
    QWidget* BuildCalibration();

    // Read-out.
    void GetTempTimerTimer();
    void TCDetectTimerTimer();
    void TCAvailChange(bool avail);
    void ShowReading(const TTempAnswer& answer);
    void ShowCheckAnswered(bool avail, bool recheck);
    bool OnPage() const;
    // The page is open, or compensation or the compensation window keeps the read-out going.
    bool ReadOutRunning() const;
    void SetCalUpButtonClick(bool up);
    void ShowOffset();
    void ShowNoTemperature();
    void ClearAverage();
    void SetTitle();
    void ShowSamplesControls(bool show);

    // Compensation.
    void SyncCompensator();
    void ShowCompensation();
    void AutoSwitchClick(bool on);
    void SecondTimerTimer();
    void TCResetButtonClick();
    void UpdateEnables();

    // Calibration.
    void TrainSBClick(bool down);
    void StorePointButtonClick();
    void DeletePointButtonClick();
    void ClearAllButtonClick();
    void CalcCoeffButtonClick();
    void LoadTCButtonClick(bool merge);
    void SaveTCButtonClick();
    void ClearFit();
    bool Ask(const char* question, kv::DialogType type, kv::DialogButtons buttons = kv::DialogButtons::YesNo);
    void Tell(const kv::TCStatus& status);
    QString AskOpenFileName();

    TPageContext& form_;
    kv::TCLocale locale_;
    std::unique_ptr<kv::ICompensationFocuser> focuser_;
    kv::TCalibrationList calibration_;
    std::unique_ptr<kv::TTempCompensator> compensator_;
    OpenFileNameProvider openFileName_;
    TTempReader* reader_ = nullptr;
    bool tcAvail_ = false;
    bool readOutShrunk_ = false;

    QLabel* tempLabel_ = nullptr;
    QLabel* avgTempLabel_ = nullptr;
    QLabel* avgTempLabelF_ = nullptr;
    QLabel* currentTimeLabel_ = nullptr;
    QLabel* tcWarningLabel_ = nullptr;
    QLabel* calValueLabel_ = nullptr;
    QLabel* dcLabel_ = nullptr;
    QPushButton* setCalUp_ = nullptr;
    QPushButton* setCalDown_ = nullptr;
    QSpinBox* tempReadingRateSE_ = nullptr;

    QCheckBox* autoSwitch_ = nullptr;
    QLabel* autoTCLabel_ = nullptr;
    QPushButton* manualTCButton_ = nullptr;
    QSpinBox* minStepsSE_ = nullptr;
    QCheckBox* ignoreStepsCB_ = nullptr;
    QSpinBox* ignoreStepsSE_ = nullptr;
    QDoubleSpinBox* autoTCRateSE_ = nullptr;
    QCheckBox* storeAfterAF_ = nullptr;
    QPushButton* openTCWindow_ = nullptr;

    QLabel* startTempPanel_ = nullptr;
    QLabel* startTimePanel_ = nullptr;
    QLabel* schedPanel_ = nullptr;
    QLabel* timeUntilPanel_ = nullptr;
    QLabel* occurredAtPanel_ = nullptr;
    QLabel* tempPanel_ = nullptr;
    QLabel* stepsMovedPanel_ = nullptr;
    QLabel* methodPanel_ = nullptr;
    QPushButton* tcResetButton_ = nullptr;

    kv::TlumSB* trainSB_ = nullptr;
    QPushButton* storePointButton_ = nullptr;
    QPushButton* deletePointButton_ = nullptr;
    QPushButton* clearAllButton_ = nullptr;
    QPushButton* calcCoeffButton_ = nullptr;
    QLineEdit* slopeEdit_ = nullptr;
    QLabel* stepsLabel_ = nullptr;
    kv::TMeter* r2Meter_ = nullptr;
    QLabel* r2Label_ = nullptr;
    QPushButton* loadTCButton_ = nullptr;
    QPushButton* mergeTCButton_ = nullptr;
    QPushButton* saveTCButton_ = nullptr;
    QPushButton* historyButton_ = nullptr;
    TListViewEx* listView_ = nullptr;

    QTimer* getTempTimer_ = nullptr;
    QTimer* tcDetectTimer_ = nullptr;
    QTimer* secondTimer_ = nullptr;
};
