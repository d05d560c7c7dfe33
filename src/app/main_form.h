// The main window: the pages, the settings tabs, the logs, start-up and close.
//
// Construction only builds the controls. FormCreate runs the start-up sequence
// (trace, checks, factory file, settings) and says whether the program may go
// on; the caller ends the process when it may not, before anything is written.
#pragma once

#include <QMainWindow>
#include <QStringList>
#include <functional>
#include <memory>
#include <string>

#include "camera/camera_control.h"
#include "camera/plugin_host.h"
#include "focuser/focus_control.h"
#include "platform/dialogs.h"
#include "shell/settings_model.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QTabWidget;
class QTimer;
class QWidget;
class TRadioGroup;
class TSplashForm;
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

class TMainForm : public QMainWindow {
    Q_OBJECT
public:
    static constexpr int kClientWidth = 792;
    static constexpr int kClientHeight = 576;
    static constexpr int kCloseIdleWaitMs = 500;

    TMainForm(kv::IDialogs& dialogs, std::string programFolder, QStringList arguments,
              QWidget* parent = nullptr);
    ~TMainForm() override;

    // Runs the creation sequence. False: start-up must end now (the user has
    // been told why).
    bool FormCreate();

    // Page and tab indexes.
    enum Page { ExposureControl = 0, ManualFocus, AutoFocus, StatusSettings, TempControl };
    enum SettingsTab { StatusTab = 0, DevicePortsTab, CameraControlTab, FocuserControlTab };

    const std::string& IniPath() const { return iniPath_; }
    const std::string& ProgramFolder() const { return programFolder_; }
    kv::TFocusControl* FocusControl() const { return focusControl_.get(); }
    kv::TCameraControl* CameraControl() const { return cameraControl_.get(); }
    // The cameras the plug-in scan found; index-parallel to CameraComboBox.
    const kv::CameraList& Plugins() const { return plugins_; }
    void SetFocusControl(std::unique_ptr<kv::TFocusControl> f) { focusControl_ = std::move(f); }
    kv::DeferredMessageQueue& DeferredMessages() { return deferred_; }
    // The dialogs handed to the engine objects the window owns.
    kv::IDialogs& EngineDialogs() { return engineDialogs_; }
    // The settings as the controls show them.
    kv::Settings CurrentSettings() const;

    QTabWidget* PageControl() const { return pc1_; }
    QTabWidget* SettingsPages() const { return settingsPC_; }
    kv::TlumMemo* LogMemo() const { return logMemo_; }
    kv::TlumMemo* ComLogMemo() const { return comLogMemo_; }
    QString StatusPanelText(int panel) const;

    // Where a log is saved; tests replace the file dialog.
    void SetSaveFileNameProvider(std::function<QString()> provider) { saveFileName_ = std::move(provider); }
    // Called with the About box just before it runs; tests close it from here.
    void SetAboutShown(std::function<void(TSplashForm&)> shown) { aboutShown_ = std::move(shown); }
    // The temperature line of the About box, from the hub's last answers.
    static QString AboutTCText(kv::TFocusControl* focuser);

public slots:
    void SaveSettingsButtonClick();
    void RevertSavedButtonClick();
    void FactoryDefaultsButtonClick();
    void UpdatePgmParametersButtonClick();
    void FocuserComboBoxDropDown();
    void FocuserComboBoxChange();
    void AboutButtonClick();
    // Moves every pending log line to its destination; runs on the GUI thread.
    void DrainLog();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildUi();
    QWidget* BuildExposurePage();
    QWidget* BuildManualFocusPage();
    QWidget* BuildAutoFocusPage();
    QWidget* BuildSettingsPage();
    QWidget* BuildTempPage();
    QWidget* BuildStatusTab();
    QWidget* BuildDevicePortsTab();
    QWidget* BuildCameraControlTab();
    QWidget* BuildFocuserControlTab();
    void BuildFocusPanel();
    void BuildReadOutPanel();
    QWidget* Control(std::string_view name) const;

    void PC1Change(int index);
    void SettingsPCChange(int index);
    void UpdateSettingsButtons();
    bool FormCloseQuery();
    void FormClose();
    void SaveLogClick(kv::TlumMemo* memo);
    void TraceStartup();
    bool VerifyAndDumpIniFiles();
    void ApplyWindowPosition(const kv::Settings& s);
    // Reads the settings file into the controls; says so when it cannot be read.
    void LoadSettingsFile();
    // The focuser model a refused change goes back to.
    void RememberFocuserIndex();

    kv::IDialogs& dialogs_;
    kv::DeferredMessageQueue deferred_;
    FormDialogs engineDialogs_{dialogs_, deferred_};
    const std::string programFolder_;
    const QStringList arguments_;
    std::string iniPath_;
    kv::Settings loaded_;  // values with no control (window positions, InterruptsLite)
    std::unique_ptr<kv::TCameraControl> cameraControl_;
    std::unique_ptr<kv::TFocusControl> focusControl_;
    kv::CameraList plugins_;
    std::function<QString()> saveFileName_;
    std::function<void(TSplashForm&)> aboutShown_;
    TSplashForm* about_ = nullptr;
    int savedFocuserIndex_ = -1;
    bool cameraReleased_ = false;
    bool closing_ = false;
    bool isWin9x_ = false;

    QWidget* central_ = nullptr;
    QTabWidget* pc1_ = nullptr;
    QTabWidget* settingsPC_ = nullptr;
    QWidget* focusPanel_ = nullptr;
    QWidget* readOutPanel_ = nullptr;
    QWidget* settingsButtons_ = nullptr;
    QPushButton* updateButton_ = nullptr;
    QPushButton* saveButton_ = nullptr;
    QPushButton* revertButton_ = nullptr;
    QPushButton* factoryButton_ = nullptr;
    QPushButton* disconnectButton_ = nullptr;
    kv::TlumMemo* logMemo_ = nullptr;
    kv::TlumMemo* comLogMemo_ = nullptr;
    QCheckBox* progLogCB_ = nullptr;
    QCheckBox* comLogCB_ = nullptr;
    QCheckBox* timestampCB_ = nullptr;
    QLabel* statusPanels_[3] = {nullptr, nullptr, nullptr};
    QString keptPanel2_;
    kv::TlumLite* cameraBusyLight_ = nullptr;
    kv::TlumLite* intLite_ = nullptr;
    QLabel* intLabel_ = nullptr;
    QTimer* msgBoxTimer_ = nullptr;
    QTimer* idleCheckTimer_ = nullptr;
    QTimer* fw2Timer_ = nullptr;
};
