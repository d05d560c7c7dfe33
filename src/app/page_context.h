// What a page of the main window reaches outside itself: the controllers,
// the settings file, the window state, the status bar, the dialogs and the
// frame's own actions. The main window implements it; a test builds a page
// against a small stand-in.
#pragma once

#include <QString>
#include <cstdint>
#include <string>
#include <string_view>

class QTabWidget;
class QTimer;
class QWidget;
class TAutoFocusPage;
class TExposurePage;
class TFocusPanel;
class TManualFocusPage;
class TReadOutPanel;
class TTCWindow;
class TTempPage;
namespace kv {
class IDialogs;
class TCameraControl;
class TFocusControl;
}  // namespace kv

// What the window knows beyond its controls (the parameter update and the
// image pages write it; every page reads it).
struct TWindowState {
    bool cameraReady = false;   // the camera is initialised
    bool imageTaken = false;    // a main image has been requested
    bool starSelected = false;  // a star has been picked; focus frames centre on it
    bool portOpen = false;      // the focuser's port is open
};

// The other parts of the window one page may hand work to; any may be null
// in a frame that has no such part.
struct TPageLinks {
    TExposurePage* exposure = nullptr;
    TManualFocusPage* manualFocus = nullptr;
    TAutoFocusPage* autoFocus = nullptr;
    TTempPage* temp = nullptr;
    TFocusPanel* focusPanel = nullptr;
    TReadOutPanel* readOut = nullptr;
    TTCWindow* tcWindow = nullptr;
};

class TPageContext {
public:
    virtual ~TPageContext() = default;

    // The least client size: the pages' controls are laid out for it, and a
    // larger window gives its extra room to the pictures and charts.
    static constexpr int kClientWidth = 792;
    static constexpr int kClientHeight = 576;
    // Page indexes.
    enum Page { ExposureControl = 0, ManualFocus, AutoFocus, StatusSettings, TempControl };

    virtual kv::TFocusControl* FocusControl() const = 0;
    virtual kv::TCameraControl* CameraControl() const = 0;
    // The window state; the port state follows the focuser's own.
    virtual TWindowState& State() = 0;

    virtual const std::string& IniPath() const = 0;
    virtual const std::string& ProgramFolder() const = 0;
    // The focus log beside the settings file.
    virtual std::string FocusLogPath() const = 0;

    // The dialogs the page asks the user through (GUI thread only).
    virtual kv::IDialogs& Dialogs() = 0;
    // The dialogs handed to engine objects, which may ask from any thread.
    virtual kv::IDialogs& EngineDialogs() = 0;
    // Asks where to save, starting in `folder` (empty: wherever the dialog
    // starts by itself); empty when the user cancelled.
    virtual QString AskSaveFileName(const QString& caption, const QString& filter, const QString& suffix,
                                    const QString& folder) = 0;

    virtual void SetStatusPanel(int panel, const QString& text) = 0;
    virtual int StatusPanelWidth(int panel) const = 0;
    virtual void SetStatusPanelWidth(int panel, int width) = 0;

    // The window the pages sit in: its title, its size and its named controls.
    virtual QWidget& Window() = 0;
    virtual QTabWidget* PageControl() const = 0;
    virtual TPageLinks Links() const = 0;
    TExposurePage* ExposurePage() const { return Links().exposure; }
    TManualFocusPage* ManualFocusPage() const { return Links().manualFocus; }
    TAutoFocusPage* AutoFocusPage() const { return Links().autoFocus; }
    TTempPage* TempPage() const { return Links().temp; }
    TFocusPanel* FocusPanel() const { return Links().focusPanel; }
    TReadOutPanel* ReadOutPanel() const { return Links().readOut; }
    TTCWindow* TCWindow() const { return Links().tcWindow; }
    // Reports the position to the hub companion program after a manual move.
    virtual QTimer* FW2Timer() const = 0;
    // Retries a temperature correction while the focuser is busy (one shot).
    virtual QTimer* IdleCheckTimer() const = 0;

    // The frame's actions a page starts.
    virtual void GetFocusImage() = 0;
    // The ROI outline on the main image and the focus frame drawn again
    // (the focus panel's stretch changes wipe it).
    virtual void DrawRoi() = 0;
    virtual void ShowFocusHistory() = 0;
    // Continuous focus and camera cycling end (the button is raised).
    virtual void StopContinuousFocus() = 0;
    // The star was picked (or forgotten): the focusing controls follow.
    virtual void SetStarSelected(bool selected) = 0;
    // The camera's label, button and readiness from the controller.
    virtual void ShowCameraState() = 0;
    // A focus scan or an auto-focus search is running.
    virtual bool ProcedureRunning() const = 0;
    // The reports of camera drivers apply only on the old Windows family.
    virtual bool IsWin9x() const = 0;

    // Posts "KANTREL_MESSAGE" with this code, value and text to the hub
    // companion program; never waits on the bus.
    static void BroadcastKantrel(int code, std::int64_t value, std::string_view text = {});
    // Sends it and waits until the bus has handed it to every listener, at
    // most the bus's confirmation time: a missing or hung companion cannot
    // hold the caller. Any thread. False when it could not be sent.
    static bool SendKantrel(int code, std::int64_t value);
};

// What the Status/Settings page asks of the frame beyond the other pages.
class TSettingsContext : public TPageContext {
public:
    // The parameter update; `fromButton` when the user clicked Update Parameters.
    virtual void UpdatePgmParameters(bool fromButton) = 0;
    virtual void SaveSettingsButtonClick() = 0;
    virtual void RevertSavedButtonClick() = 0;
    virtual void FactoryDefaultsButtonClick() = 0;
    virtual void AboutButtonClick() = 0;
    virtual void AllowOtherProgramsClick(bool on) = 0;
    virtual void FocuserComboBoxDropDown() = 0;
    virtual void FocuserComboBoxChange() = 0;
    // Under --simulate every port reaches a simulator.
    virtual bool Simulating() const = 0;
    // The device behind COM`number`.
    virtual std::string PortDeviceFor(int number) const = 0;
    // The user chose `device` for COM`number`; false (the user told why)
    // when the settings file could not be written.
    virtual bool ChoosePortDevice(int number, const std::string& device) = 0;
};
