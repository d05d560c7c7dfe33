// The Status/Settings page: the two logs on the Status tab and, on the other
// three tabs, every settings control (built from the settings table) with the
// four settings buttons below them.
#pragma once

#include <QWidget>
#include <string_view>

#include "platform/serial_port_list.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QTabWidget;
class TSettingsContext;
namespace kv {
class IniFile;
class TlumMemo;
}

class TSettingsPage : public QWidget {
    Q_OBJECT
public:
    TSettingsPage(TSettingsContext& form, QWidget* parent);

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
    // The device list for the chosen COM port: the machine's serial devices
    // now (a USB adapter plugged in since shows), the simulators under
    // --simulate, the device servers other ports name, and the port's own
    // device. Runs whenever the Device/Ports tab is shown.
    void RefreshPortDevices();
    // Where the device list looks; tests point it at a folder of their own.
    void SetSerialRoots(kv::SerialRoots roots) { serialRoots_ = std::move(roots); }

    // The page's own option kept outside the settings model: the program
    // log's view.
    void ReadOwnSettings(const kv::IniFile& ini);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* BuildStatusTab();
    QWidget* BuildDevicePortsTab();
    QWidget* BuildCameraControlTab();
    QWidget* BuildFocuserControlTab();
    QWidget* Control(std::string_view name) const;
    void SaveLogClick(kv::TlumMemo* memo);
    QWidget* BuildPortDeviceRow(QWidget* tab);
    void PortDeviceChosen(int index);
    // The chosen COM number, 0 when none is chosen.
    int ChosenComNumber() const;

    TSettingsContext& form_;
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
    QWidget* devicePortsTab_ = nullptr;
    QComboBox* portDevice_ = nullptr;
    QLabel* portDeviceLabel_ = nullptr;
    QLabel* portDeviceNote_ = nullptr;
    kv::SerialRoots serialRoots_;
    QComboBox* logViewCombo_ = nullptr;
};
