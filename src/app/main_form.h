// The main window: the pages, the settings tabs, the logs, start-up and close.
//
// Construction only builds the controls. FormCreate runs the start-up sequence
// (trace, checks, factory file, settings) and says whether the program may go
// on; the caller ends the process when it may not, before anything is written.
//
// The class spans four files: main_form.cpp (start-up, the pages' frame, the
// settings buttons, close), parameter_update.cpp (the camera and focuser from
// the settings), window_layout.cpp (size, place, page, night vision) and
// window_messages.cpp (the bus, the keys, the help viewer). The pages, the
// focusing view and the refocus watch see it only as a TPageContext, the
// scripting objects as a TScriptedWindow.
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <QStringList>
#include <functional>
#include <memory>
#include <set>
#include <string>

#include "camera/camera_control.h"
#include "camera/plugin_host.h"
#include "focuser/focus_control.h"
#include "platform/dialogs.h"
#include "shell/focuser_catalogue.h"
#include "shell/settings_model.h"
#include "app/page_context.h"
#include "app/scripted_window.h"

class QCheckBox;
class QKeyEvent;
class QProcess;
class QComboBox;
class QLabel;
class QPushButton;
class QTabWidget;
class QTimer;
class QWidget;
class TRadioGroup;
class TSplashForm;
class TExposurePage;
class TManualFocusPage;
class TAutoFocusPage;
class TSettingsPage;
class TTempPage;
class TTCWindow;
class TFocusPanel;
class TFocusingView;
class TRefocusWatch;
class TFocusHistoryWindow;
class TReadOutPanel;
namespace kv {
class TlumMemo;
class TlumLite;
}  // namespace kv

// What the window's engine objects ask the user through: Show and Beep go to
// the window's dialogs, Defer to the window's queue, which MsgBoxTimer empties
// on the GUI thread one message at a time.
class FormDialogs final : public kv::IDialogs {
public:
    FormDialogs(kv::IDialogs& inner, kv::DeferredMessageQueue& queue) : inner_(inner), queue_(queue) {}
    kv::DialogResult Show(const std::string& text, kv::DialogType type, kv::DialogButtons buttons) override {
        return inner_.Show(text, type, buttons);
    }
    void Defer(const kv::DeferredMessage& message) override { queue_.Post(message); }
    void Beep() override { inner_.Beep(); }

private:
    kv::IDialogs& inner_;
    kv::DeferredMessageQueue& queue_;
};

// The frame of the main window: the page control, status bar, timers,
// start-up and close. It owns what the pages share (camera and focuser
// controllers, settings, plug-in list); each page is a class of its own.
class TMainForm : public QMainWindow, public TScriptedWindow {
    Q_OBJECT
public:
    static constexpr int kCloseIdleWaitMs = 500;
    // How long a close the user confirmed waits for a cancelled scan or auto
    // focus to end: a focus frame in progress is the one thing a cancel does
    // not cut short, and the camera gives it up after kGetFocusFrameWaitMs.
    static constexpr int kCloseProcedureWaitMs = 25000;

    TMainForm(kv::IDialogs& dialogs, std::string programFolder, QStringList arguments,
              QWidget* parent = nullptr);
    ~TMainForm() override;

    // Runs the creation sequence. False: start-up must end now (the user has
    // been told why).
    bool FormCreate();
    // The camera's label, button and readiness from the controller.
    void ShowCameraState() override;

    // Settings tab indexes.
    enum SettingsTab { StatusTab = 0, DevicePortsTab, CameraControlTab, FocuserControlTab };

    const std::string& IniPath() const override { return iniPath_; }
    const std::string& ProgramFolder() const override { return programFolder_; }
    // Where the settings file lives: the program folder unless set before
    // FormCreate(), for an installation the user may not write to.
    void SetUserFolder(std::string folder) { userFolder_ = std::move(folder); }
    // The focus log beside the settings file.
    std::string FocusLogPath() const override;
    // The "Focus history" window over that log, made on first use.
    TFocusHistoryWindow* FocusHistory();
    void ShowFocusHistory() override;
    kv::TFocusControl* FocusControl() const override { return focusControl_.get(); }
    kv::TCameraControl* CameraControl() const override { return cameraControl_.get(); }
    // The cameras the plug-in scan found; index-parallel to CameraComboBox.
    const kv::CameraList& Plugins() const { return plugins_; }
    void SetFocusControl(std::unique_ptr<kv::TFocusControl> f) { focusControl_ = std::move(f); }
    kv::DeferredMessageQueue& DeferredMessages() override { return deferred_; }
    // The dialogs the window asks the user through (GUI thread only).
    kv::IDialogs& Dialogs() override { return dialogs_; }
    // The dialogs handed to the engine objects the window owns.
    kv::IDialogs& EngineDialogs() override { return engineDialogs_; }
    // The settings as the controls show them.
    kv::Settings CurrentSettings() const;
    // The port state follows the focuser's own: a lost server or cable
    // closes it there, and a move asked of a closed port does nothing.
    TWindowState& State() override {
        if (state_.portOpen && (!focusControl_ || !focusControl_->PortOpen())) state_.portOpen = false;
        return state_;
    }

    QTabWidget* PageControl() const override { return pc1_; }
    QTabWidget* SettingsPages() const;
    kv::TlumMemo* LogMemo() const;
    kv::TlumMemo* ComLogMemo() const;
    QString StatusPanelText(int panel) const;
    void SetStatusPanel(int panel, const QString& text) override;
    int StatusPanelWidth(int panel) const override;
    // The width chosen for a panel; the first two may lend some of it to
    // the last while the last shows a text that needs it.
    void SetStatusPanelWidth(int panel, int width) override;

    QWidget& Window() override { return *this; }
    // The compensation window is created with the window and shown by the
    // Temp Control page.
    TPageLinks Links() const override;
    void GetFocusImage() override;
    void DrawRoi() override;
    TSettingsPage* SettingsPage() const { return settingsPage_; }
    // The focus scan and the auto-focus search, with the worker that runs them.
    TFocusingView* Focusing() const override { return focusing_.get(); }
    // The refocus triggers' settings, rules and the refocus they start.
    TRefocusWatch* RefocusWatch() const override { return refocusWatch_; }
    bool ProcedureRunning() const override;
    // Reports the position to the hub companion program after a manual move.
    QTimer* FW2Timer() const override { return fw2Timer_; }
    // Retries a temperature correction while the focuser is busy (one shot).
    QTimer* IdleCheckTimer() const override { return idleCheckTimer_; }

    // Where a file is saved (logs, pictures); tests replace the file dialog.
    // The provider gets the dialog's caption, filter, default suffix and start folder.
    using SaveFileNameProvider = std::function<QString(const QString& caption, const QString& filter,
                                                       const QString& suffix, const QString& folder)>;
    void SetSaveFileNameProvider(std::function<QString()> provider);
    void SetSaveFileNameProvider(SaveFileNameProvider provider) { saveFileName_ = std::move(provider); }
    // Asks where to save; empty when the user cancelled.
    QString AskSaveFileName(const QString& caption, const QString& filter, const QString& suffix,
                            const QString& folder) override;
    // Called with the About box just before it runs; tests close it from here.
    void SetAboutShown(std::function<void(TSplashForm&)> shown) { aboutShown_ = std::move(shown); }
    // The temperature line of the About box, from the hub's last answers.
    static QString AboutTCText(kv::TFocusControl* focuser);

    // Continuous focus and camera cycling end (the button is raised).
    void StopContinuousFocus() override;
    // Enables or disables what needs a chosen star: the focus-image buttons,
    // continuous focus, search, scan and the four arrow buttons.
    void SetFocusingControlsEnabled(bool enabled);
    // The star was picked (or forgotten): the focusing controls follow.
    void SetStarSelected(bool selected) override;
    // The reports of camera drivers apply only on the old Windows family,
    // which a Linux system never is; tests say otherwise.
    void SetIsWin9x(bool value) { isWin9x_ = value; }
    bool IsWin9x() const override { return isWin9x_; }
    // Nobody is at the screen (--tour, --screenshot): a close never asks.
    void SetUnattended(bool on) { unattended_ = on; }
    // What F1 starts with the help document's path (the desktop's opener by default).
    void SetHelpViewer(QString program) { helpViewer_ = std::move(program); }
    QProcess* HelpViewerProcess() const { return helpProcess_; }
    // Opens the user's guide from the program folder.
    void ShowHelp();
    // "Allow other programs to control the focuser": the scripting interface
    // and the hub companion's move codes obey it. On unless the user turned it off.
    bool AllowOtherPrograms() const override;
    // The user ticked or cleared it: applies at once and goes to the settings
    // file at once (the only time the key is written).
    void AllowOtherProgramsClick(bool on) override;
    // The device behind COM`number`: the settings file's [Ports], or under
    // --simulate the simulator of the chosen focuser's kind unless the user
    // chose a device for that port in this session.
    std::string PortDeviceFor(int number) const override;
    bool Simulating() const override { return simulate_; }
    // The user chose `device` for COM`number` on the Device/Ports tab: it goes
    // into the settings file's [Ports] at once, and the next parameter update
    // opens it. False (the user told why) when the file could not be written.
    bool ChoosePortDevice(int number, const std::string& device) override;
    // Night vision (Ctrl+N): red on black in every window, chart and picture.
    // Kept in the settings file from the first time the user switches it.
    bool NightVisionOn() const { return night_; }
    void SetNightVision(bool on);
    void NightVisionKey() { SetNightVision(!night_); SaveNightVision(); }

    // Its focuserGoing and closing.
    TWindowNotices& Notices() override { return notices_; }

public slots:
    void SaveSettingsButtonClick() override;
    void RevertSavedButtonClick() override;
    void FactoryDefaultsButtonClick() override;
    // The parameter update; `fromButton` when the user clicked Update Parameters.
    void UpdatePgmParameters(bool fromButton) override;
    void FocuserComboBoxDropDown() override;
    void FocuserComboBoxChange() override;
    void AboutButtonClick() override;
    void DisconnectButtonClick();
    // Moves every pending log line to its destination; runs on the GUI thread.
    void DrainLog();
    // A message from another program on the bus: the hub companion's codes and
    // the camera drivers' interrupt reports. `senderPid`: the sending
    // process, as its message gives it (0 when it does not).
    void OnBroadcast(const QString& message, qint64 wparam, qint64 lparam, qint64 senderPid = 0);

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    // The window sees keys before its controls (F1, I and O).
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildUi();
    // Size, state and page as the user left them; absent keys keep the built-in layout.
    void RestoreWindowLayout();
    // Writes only what differs from the start: a start and quit leaves the file as it was.
    void SaveWindowLayout();
    void SaveNightVision();
    void PlaceFocusPanel();
    QWidget* Control(std::string_view name) const;

    // Runs the guard for the page being left; false when the change is refused.
    bool PC1Changing(int leaving);
    void PC1Change(int index, int leaving);
    void PageChanged(int index);
    // I and O: the coarse buttons go down and up as under a held mouse button.
    bool FocusKey(QKeyEvent* key);
    void HandleKantrel(int code, std::int64_t value, std::int64_t senderPid);
    void HandleInterruptReport(std::int64_t wparam, std::int64_t lparam);
    void CloseHelpViewer();
    void FitStatusPanels();
    void SettingsPCChange(int index);
    void UpdateSettingsButtons();
    // A close while a scan, an auto focus or automatic compensation runs
    // asks first. False: the user keeps it running. Yes cancels it and waits
    // (bounded) for the procedure's end, painting meanwhile.
    bool ConfirmCloseWhileBusy();
    bool FormCloseQuery();
    void FormClose();
    void TraceStartup();
    bool VerifyAndDumpIniFiles();
    void ApplyWindowPosition(const kv::Settings& s);
    // A settings file beside a program the user may not write to is taken
    // over into the user folder, and the user is told where it now lives.
    void AdoptProgramFolderSettings();
    // Reads the settings file into the controls; says so when it cannot be read.
    void LoadSettingsFile();
    // The focuser model a refused change goes back to.
    void RememberFocuserIndex();
    // The steps of the parameter update that touch the camera and the focuser.
    void UpdateCameraParameters();
    // False when no focuser is chosen.
    bool UpdateFocuserParameters();
    // The plug-in file of the chosen camera; empty when none is chosen.
    std::string ChosenCameraFile() const;
    void ShowDevicePortsTab();
    void AttachCameraHandlers();
    void AttachFocuserHandlers();
    // --simulate: the simulated camera when none is chosen, and simulators on every port.
    void ChooseSimulatedObservatory();

    kv::IDialogs& dialogs_;
    kv::DeferredMessageQueue deferred_;
    FormDialogs engineDialogs_{dialogs_, deferred_};
    const std::string programFolder_;
    std::string userFolder_;
    const QStringList arguments_;
    std::string iniPath_;
    kv::Settings loaded_;  // values with no control (window positions, InterruptsLite)
    bool closingEmitted_ = false;
    TWindowNotices notices_;
    TWindowState state_;
    std::unique_ptr<kv::TCameraControl> cameraControl_;
    std::unique_ptr<kv::TFocusControl> focusControl_;
    kv::CameraList plugins_;
    SaveFileNameProvider saveFileName_;
    std::function<void(TSplashForm&)> aboutShown_;
    TSplashForm* about_ = nullptr;
    int savedFocuserIndex_ = -1;
    bool cameraReleased_ = false;
    bool closing_ = false;
    bool askingToClose_ = false;
    bool unattended_ = false;
    bool isWin9x_ = false;
    bool simulate_ = false;
    std::string cameraFile_;    // the plug-in the camera was initialised from
    kv::FocuserKind focuserKind_ = kv::FocuserKind::JMI;  // of the current controller
    std::string openedDevice_;  // the device its port was opened on
    std::set<int> chosenPorts_;  // COM numbers the user gave a device in this session

    QWidget* central_ = nullptr;
    QTabWidget* pc1_ = nullptr;
    TExposurePage* exposurePage_ = nullptr;
    TManualFocusPage* manualFocusPage_ = nullptr;
    TAutoFocusPage* autoFocusPage_ = nullptr;
    TSettingsPage* settingsPage_ = nullptr;
    TTempPage* tempPage_ = nullptr;
    std::unique_ptr<TTCWindow> tcWindow_;
    std::unique_ptr<TFocusHistoryWindow> focusHistory_;
    TFocusPanel* focusPanel_ = nullptr;
    TReadOutPanel* readOutPanel_ = nullptr;
    QLabel* statusPanels_[3] = {nullptr, nullptr, nullptr};
    // The window as it came up, to tell a user's change from none.
    QPoint startPos_;
    QSize startSize_;
    bool startMaximized_ = false;
    int startPage_ = 0;
    bool shownOnce_ = false;
    bool night_ = false;
    QString keptPanel2_;
    int chosenPanelWidth_[2] = {300, 250};  // of status panels 0 and 1, before lending to panel 2
    int currentPage_ = 0;
    QString helpViewer_ = QStringLiteral("xdg-open");
    QProcess* helpProcess_ = nullptr;
    // The key event last acted on, so that its way up through the parents is not acted on again.
    const QEvent* lastKey_ = nullptr;
    QPointer<QObject> lastKeyTarget_;
    QTimer* msgBoxTimer_ = nullptr;
    QTimer* idleCheckTimer_ = nullptr;
    QTimer* fw2Timer_ = nullptr;
    // Its worker uses the focuser and the camera: it goes before either.
    std::unique_ptr<TFocusingView> focusing_;
    TRefocusWatch* refocusWatch_ = nullptr;
};
