// The focus panel at the right of the window: the focus frame display, the
// camera-busy lamp, the figures of the last focus frame, and the exposure,
// gain, magnification and FWHM-factor sliders.
#pragma once

#include <QFrame>

class TMainForm;
namespace kv {
class TlumLite;
}

class TFocusPanel : public QFrame {
    Q_OBJECT
public:
    static constexpr int kWidth = 228;

    TFocusPanel(TMainForm& form, QWidget* parent);

    kv::TlumLite* CameraBusyLight() const { return cameraBusyLight_; }
    // Empties the focus read-out boxes.
    void ClearFocusReadings();
    // Fills them from the camera controller's latest reading.
    void ShowFocusReadings();
    // The figure of merit in use (0 FWHM .. 4 HFD): FOMLabel and FWHMPopup follow.
    void SetFomKind(int kind);
    // The hardware-interrupt lamp and its caption show only when the settings ask.
    void ShowInterruptsLite(bool show);

private:
    TMainForm& form_;
    kv::TlumLite* cameraBusyLight_ = nullptr;
    kv::TlumLite* intLite_ = nullptr;
    QWidget* intLabel_ = nullptr;
};
