// The Manual Focus page: moving the focuser by hand, the controls of the
// focus scan, and the spoken position.
//
// Every handler runs on the GUI thread. The focuser's notifications arrive on
// its worker threads; AttachFocuser hands them over as queued calls that carry
// the values raised, never the focuser, because the parameter update may free
// that focuser before a call runs. A handler that needs the focuser asks the
// window for the current one.
#pragma once

#include <QPointer>
#include <QWidget>
#include <cstdint>
#include <memory>

#include "focusing/focus_scan.h"

class QChart;
class QPushButton;
class QSpinBox;
class QVBoxLayout;
class TPageContext;
class TRadioGroup;
class TReadOutPanel;
namespace kv {
class ISoundPlayer;
class TFocusControl;
class TVoiceAnnouncer;
}  // namespace kv

class TManualFocusPage : public QWidget {
    Q_OBJECT
public:
    // Delays before the position is spoken, in milliseconds.
    static constexpr int kManualRunVoiceDelayMs = 1500;  // after a held button is released
    static constexpr int kMoveEndVoiceDelayMs = 500;     // after a programmed move
    static constexpr int kResetVoiceDelayMs = 100;       // after Reset, once it has settled
    static constexpr int kResetSettleMs = 500;           // for the coasting motor after Reset
    // Lets a fine move start (and its busy report arrive) before the next click.
    static constexpr int kFineMoveSettleMs = 20;

    TManualFocusPage(TPageContext& form, QWidget* parent);
    // Stops and joins every announcer.
    ~TManualFocusPage() override;

    // Takes the focuser's position and idle notifications (raised on its
    // threads) and carries them out on the GUI thread in the order raised.
    void AttachFocuser(kv::TFocusControl* focuser);
    // The focus scan's chart (its left axis follows the figure of merit).
    QChart* ScanChart() const { return scanChart_; }
    // The Scan group's settings as the spin edits stand.
    kv::ScanSettings ScanSettings() const;
    // The chart's position axis for these settings.
    void ShowScanAxis(const kv::ScanSettings& settings);

    // The voice's output; the sound server unless a test hands in its own.
    // Any announcer still running is stopped and joined first.
    void SetSoundPlayer(kv::ISoundPlayer& player);
    // Null until the first announcement (never made while the voice is "None").
    const kv::TVoiceAnnouncer* Announcer() const { return announcer_.get(); }

signals:
    // A programmed move has ended; the position the read-out shows.
    void moveEnded(int position);
    // The user started a move with one of the page's buttons.
    void movedByHand();

public slots:
    // The coarse buttons, pressed and released (also the I and O keys).
    void Focus_InBtnMouseDown(bool inward);
    void Focus_InBtnMouseUp();
    // The six fine buttons: a programmed move of `steps`.
    void FineButtonClick(int steps);
    void MoveByButtonClick();
    void MoveToButtonClick();
    void MoveToMinButtonClick();
    void ResetButtonClick();
    void StopMainClick();
    // FW2Timer: the position for the hub companion program, once a held run has ended.
    void FW2TimerTimer();
    // Also the Auto Focus page's "Get Focus Image" button.
    void GetFocusImageButtonClick();
    void ContFocusClick(bool down);
    // The scan chart's position axis follows the three scan settings.
    void ScanStepSEChange();
    // Asks a still-speaking announcer to stop, without waiting for it.
    void StopAnnouncer();

    // The focuser's notifications, on the GUI thread. `lineMode`: the focuser
    // was switched by RTS/DTR when it reported (the speed choice is then left alone).
    void OnCTSChange(std::int32_t ctsCount, bool dsrValue);
    void OnIdleChange(bool idleValue, bool lineMode);

protected:
    void showEvent(QShowEvent* event) override;
    // The focus panel keeps to the window's right edge; the columns follow it.
    void resizeEvent(QResizeEvent* event) override;
    // The read-out panel changes height when the Temp Control page is left,
    // after this page is already shown: the page follows it.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The VoiceRG index when it chooses a voice; kVoiceNone otherwise.
    int Voice() const;
    // Stops the announcer speaking and starts one that reads the position after `delayMs`.
    void Announce(int delayMs);
    // The Reset button's last part, once the reset position is shown.
    void FinishReset();
    // Fits the controls between the read-out panel and the focus panel.
    void PlaceAroundPanels();
    TReadOutPanel* ReadOut() const;
    QWidget* FormControl(const char* name) const;

    TPageContext& form_;
    QChart* scanChart_ = nullptr;
    QPushButton* inButton_ = nullptr;
    QPushButton* outButton_ = nullptr;
    TRadioGroup* speed_ = nullptr;
    QPushButton* contFocus_ = nullptr;
    QWidget* fineButtons_[6] = {};
    QSpinBox* moveBy_ = nullptr;
    QSpinBox* moveTo_ = nullptr;
    QSpinBox* moveMin_ = nullptr;
    QSpinBox* startScan_ = nullptr;
    QSpinBox* scanStep_ = nullptr;
    QSpinBox* numSteps_ = nullptr;
    QVBoxLayout* leftColumn_ = nullptr;
    QWidget* leftColumnTop_ = nullptr;
    QPointer<QWidget> watchedReadOut_;

    kv::ISoundPlayer* soundPlayer_ = nullptr;
    std::unique_ptr<kv::TVoiceAnnouncer> announcer_;
};
