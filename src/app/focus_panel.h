// The focus panel at the right of the window: the focus frame display, the
// camera-busy lamp, the figures of the last focus frame, the exposure, gain,
// magnification and FWHM-factor sliders, the focus stretch and the zoom window.
#pragma once

#include <QFrame>

#include "camera/display_rules.h"
#include "camera/focus_figures.h"
#include "focusing/fom_average.h"

class QAction;
class QCheckBox;
class QLabel;
class QLineEdit;
class QMenu;
class QResizeEvent;
class QSlider;
class TFocusZoom;
class TPageContext;
class TPictureView;
class TRadioGroup;
namespace kv {
class IniFile;
class TlumLite;
class TImageObject;
}  // namespace kv

class TFocusPanel : public QFrame {
    Q_OBJECT
public:
    static constexpr int kWidth = 228;
    static constexpr int kHeight = 520;

    TFocusPanel(TPageContext& form, QWidget* parent);

    kv::TlumLite* CameraBusyLight() const { return cameraBusyLight_; }
    TPictureView* FocusDisplay() const { return focusDisplay_; }
    TFocusZoom* Zoom() const { return zoom_; }

    // Empties the focus read-out boxes. Any thread.
    void ClearFocusReadings();
    // Fills them from the camera controller's latest reading. Any thread: the
    // reading is taken when called.
    void ShowFocusReadings();
    // Fills them from `reading` as it stands, never averaged: a sample or the
    // final reading of a scan or search. GUI thread.
    void ShowFocusReading(const kv::FocusReading& reading) { ShowReading(reading, false); }
    // The figure of merit in use (0 FWHM .. 4 HFD): FOMLabel and FWHMPopup follow.
    void SetFomKind(int kind);
    // The hardware-interrupt lamp and its caption show only when the settings ask.
    void ShowInterruptsLite(bool show);

    // The running average FOMEdit shows while continuous focus runs: emptied,
    // and its caption refreshed (continuous focus switched on or off, a new
    // figure of merit). GUI thread.
    void ResetFomAverage();
    // The caption of the figure-of-merit box for the controller's state.
    void RefreshFomCaption();
    // Appends the current figure of merit and returns the mean of the last ten.
    double AverageFOM(double fom) { return fomAverage_.AverageFOM(fom); }
    const kv::TFomAverage& FomAverage() const { return fomAverage_; }

    // The focus stretch choice applied again (a click on FocusStretchRG).
    void FocusStretchRGClick();
    // Sizes FocusDisplayPanel for a focus frame and places the controls below it.
    void SetFocusFrameSize(int width, int height);
    // The camera's focus image is (re)attached, or detached with null.
    void SetFocusImage(kv::TImageObject* image);
    // The focus image into FocusDisplay and, when it is shown, the zoom window.
    void PutFocusImage();
    // The settings this panel's controls hold, handed to a new camera.
    void ApplyControlsToCamera();
    // Line-size filters start again from the sliders as they stand.
    void ResetLevelFilters();
    QMenu* FWHMPopup() const { return popup_; }
    bool FieldMedian() const;

    // "Save focus frames": scans and auto focus write each focus frame they
    // take as a FITS file (kv::TFocusFrameRecorder) into FocusFramesFolder.
    bool SaveFocusFrames() const;
    // The folder beside the settings file, with a trailing '/'.
    QString FocusFramesFolder() const;
    // The field-median switch and "Save focus frames" from the settings file.
    // Both are absent (off) until the user changes them, and then written at
    // once, so the factory file never holds them.
    void ReadOwnSettings(const kv::IniFile& ini);

private:
    void ShowReading(const kv::FocusReading& r, bool continuous);
    void FocusLevelChanged(QSlider* slider);
    void ApplyFocusStretch();
    void FomItemChosen(int kind);
    void FocusPointerMoved(QPoint pos);
    void PointerLeftFocusDisplay();
    void ShowPopup(QWidget* from, QPoint pos);
    kv::TImageObject* FocusImage() const;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    // The controls under the focus frame take the height the panel has left.
    void PlaceBelowFrame();

    TPageContext& form_;
    kv::TlumLite* cameraBusyLight_ = nullptr;
    kv::TlumLite* intLite_ = nullptr;
    QWidget* intLabel_ = nullptr;
    QWidget* head_ = nullptr;
    QFrame* displayPanel_ = nullptr;
    TPictureView* focusDisplay_ = nullptr;
    QWidget* below_ = nullptr;  // everything under the focus frame
    QLineEdit* fwhmEdit_ = nullptr;
    QLineEdit* hfdEdit_ = nullptr;
    QLineEdit* xFwhmEdit_ = nullptr;
    QLineEdit* yFwhmEdit_ = nullptr;
    QLineEdit* peakEdit_ = nullptr;
    QLineEdit* fomEdit_ = nullptr;
    QLabel* fomLabel_ = nullptr;
    QLabel* fomOrAvgLabel_ = nullptr;
    QSlider* exposureMS_ = nullptr;
    QSlider* focusGain_ = nullptr;
    QSlider* magnification_ = nullptr;
    QSlider* fwhmFactor_ = nullptr;
    TRadioGroup* stretch_ = nullptr;
    QSlider* minTB_ = nullptr;
    QSlider* maxTB_ = nullptr;
    QLabel* minLabel_ = nullptr;
    QLabel* maxLabel_ = nullptr;
    QCheckBox* removeBackground_ = nullptr;
    QCheckBox* saveFrames_ = nullptr;
    QMenu* popup_ = nullptr;
    QAction* fomItems_[5] = {};
    QAction* roiItem_ = nullptr;
    QAction* maskRoiItem_ = nullptr;
    QAction* fieldItem_ = nullptr;
    TFocusZoom* zoom_ = nullptr;
    kv::LineSizeFilter minFilter_;
    kv::LineSizeFilter maxFilter_;
    kv::TFomAverage fomAverage_;
};
