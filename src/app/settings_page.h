// The Status/Settings page: the two logs on the Status tab and, on the other
// three tabs, every settings control (built from the settings table) with the
// four settings buttons below them.
#pragma once

#include <QWidget>
#include <string_view>

class QCheckBox;
class QComboBox;
class QPushButton;
class QTabWidget;
class TMainForm;
namespace kv {
class IniFile;
class TlumMemo;
}

class TSettingsPage : public QWidget {
    Q_OBJECT
public:
    TSettingsPage(TMainForm& form, QWidget* parent);

    QTabWidget* Tabs() const { return tabs_; }
    kv::TlumMemo* LogMemo() const { return logMemo_; }
    kv::TlumMemo* ComLogMemo() const { return comLogMemo_; }
    QCheckBox* ProgLogCB() const { return progLogCB_; }
    QCheckBox* ComLogCB() const { return comLogCB_; }
    QPushButton* UpdateButton() const { return updateButton_; }
    QPushButton* DisconnectButton() const { return disconnectButton_; }
    QCheckBox* AllowControlCB() const { return allowControlCB_; }
    // Update, Save, Revert and Factory show only off the Status tab.
    void ShowSettingsButtons(bool show);
    void ShowSaveButton();
    // The compensation settings are usable only with compensation enabled,
    // and the ignore limit only with its check box.
    void TCEnableCBClick();
    // The page's own option kept outside the settings model: the program
    // log's view.
    void ReadOwnSettings(const kv::IniFile& ini);

private:
    QWidget* BuildStatusTab();
    QWidget* BuildDevicePortsTab();
    QWidget* BuildCameraControlTab();
    QWidget* BuildFocuserControlTab();
    QWidget* Control(std::string_view name) const;
    void SaveLogClick(kv::TlumMemo* memo);

    TMainForm& form_;
    QTabWidget* tabs_ = nullptr;
    QWidget* settingsButtons_ = nullptr;
    QPushButton* updateButton_ = nullptr;
    QPushButton* saveButton_ = nullptr;
    QPushButton* revertButton_ = nullptr;
    QPushButton* factoryButton_ = nullptr;
    QPushButton* disconnectButton_ = nullptr;
    QCheckBox* allowControlCB_ = nullptr;
    kv::TlumMemo* logMemo_ = nullptr;
    kv::TlumMemo* comLogMemo_ = nullptr;
    QCheckBox* progLogCB_ = nullptr;
    QCheckBox* comLogCB_ = nullptr;
    QCheckBox* timestampCB_ = nullptr;
    QComboBox* logViewCombo_ = nullptr;
};
