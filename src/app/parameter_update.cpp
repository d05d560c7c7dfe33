// The parameter update: turns what the Settings pages show into a working
// camera and focuser. The only place the focuser controller is replaced.
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>
#include <QTimer>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "app/auto_focus_page.h"
#include "app/exposure_page.h"
#include "app/focus_panel.h"
#include "app/focusing_view.h"
#include "app/main_form.h"
#include "app/manual_focus_page.h"
#include "app/radio_group.h"
#include "app/settings_binder.h"
#include "app/settings_page.h"
#include "app/temp_page.h"
#include "camera/display_rules.h"
#include "focuser/focuser_factory.h"
#include "platform/broadcast.h"
#include "tempcomp/tc_texts.h"
#include "shell/diagnostics.h"
#include "shell/focuser_catalogue.h"
#include "shell/log_channel.h"
#include "shell/port_map.h"
#include "shell/settings_store.h"
#include "sim/sim_devices.h"

namespace {

constexpr const char* kNoCameraText =
    "A camera was not specified or found!\r\n\r\nYou may select a camera in Settings on the Devices/Ports tab.\r\n\r\n"
    "You must select a camera, update program parameters, and save \r\nsettings before continuing.";
constexpr const char* kNoFocuserText =
    "A focuser was not specified or found!\r\n\r\nYou may select a focuser in Settings on the Devices/Ports tab.\r\n\r\n"
    "You must select a focuser, update program parameters, and save \r\nsettings before continuing.";
constexpr const char* kNoTemperatureText = "Cannot establish communication with temperature control hardware!";

}  // namespace

void TMainForm::UpdatePgmParameters(bool fromButton) {
    kv::TraceDiag(" ");
    kv::TraceDiag("Entering parameter update method");
    const kv::Settings s = CurrentSettings();
    // The same camera on the same port goes on as it is: re-initialising it
    // would throw away the image and the star the user picked in it.
    const std::string cameraFile = ChosenCameraFile();
    const bool keepCamera = cameraControl_->Initialized() && !cameraFile.empty() && cameraFile == cameraFile_ &&
                            cameraControl_->ParPort() == s.parPort + 1;
    if (!keepCamera) {
        state_.cameraReady = false;
        state_.imageTaken = false;
    }
    // The focuser (and the camera's plug-in) may be replaced below.
    focusing_->CancelAndJoin();
    StopContinuousFocus();
    if (!keepCamera) {
        exposurePage_->DetachImages();  // the camera's images go with it
        if (cameraControl_->Initialized()) cameraControl_->Uninitialize();
    }
    kv::ProgramLog::Instance().logging = s.progLogging;

    // The camera controller's settings and the figure of merit.
    const int parPort = s.parPort + 1;
    kv::TraceDiag("Parallel Port: " + std::to_string(parPort));
    cameraControl_->SetParPort(parPort);
    cameraControl_->SetFocusGain(s.focusGain);
    cameraControl_->SetROISize(s.roiValue);
    cameraControl_->SetROIOn(s.roiOn);
    cameraControl_->SetMaskROI(s.maskROI);
    cameraControl_->SetSBIGInterlock(s.sbigInterlock);
    exposurePage_->AttachCamera(cameraControl_.get());
    const int fom = std::clamp(s.figureMerit, 0, 4);
    cameraControl_->SetFOMKind(static_cast<kv::FomKind>(fom));
    kv::TraceDiag(std::string("FOM in use: ") + kv::FomName(fom));
    focusPanel_->SetFomKind(fom);
    if (fom == 4) {
        if (auto* cb = findChild<QCheckBox*>(QStringLiteral("RemoveBackgroundCB"))) cb->setChecked(true);
    }

    // The display stretch defaults.
    auto setRadio = [this](const char* name, int index) {
        if (auto* rg = findChild<TRadioGroup*>(QString::fromLatin1(name))) rg->SetItemIndex(index);
    };
    auto setSlider = [this](const char* name, int value) {
        if (auto* sl = findChild<QSlider*>(QString::fromLatin1(name))) sl->setValue(value);
    };
    setRadio("ImageStretchRG", s.stretchImage);
    setRadio("FocusStretchRG", s.stretchFocus);
    setSlider("ImageMinTB", s.blackLevel);
    setSlider("FocusMinTB", s.blackLevel);
    setSlider("ImageMaxTB", s.whiteLevel);
    setSlider("FocusmaxTB", s.whiteLevel);

    if (!keepCamera) UpdateCameraParameters();

    for (QChart* chart : {autoFocusPage_->QualityChart(), manualFocusPage_->ScanChart()}) {
        if (chart != nullptr) SetFomAxis(chart, fom);
    }
    SetFomAxis(autoFocusPage_->PosChart(), fom, true);

    exposurePage_->SetStarCursor(s.cursorType == 0);

    // Exposure and gain sliders from the defaults.
    const kv::ExposureSliderSetup exposure = kv::ExposureSliderFor(s.exposureTimeDefault);
    if (auto* sl = findChild<QSlider*>(QStringLiteral("ExposureMS"))) {
        sl->setMaximum(exposure.maximum);
        sl->setValue(exposure.position);
        sl->setTickInterval(exposure.tick);
        if (auto* l = findChild<QLabel*>(QStringLiteral("ExposeTimeLabel"))) {
            l->setText(QString::fromStdString(kv::ExposeTimeText(exposure.position)));
        }
    }
    if (auto* l = findChild<QLabel*>(QStringLiteral("Label20"))) l->setText(QString::fromStdString(kv::ExposureScaleText(s.exposureTimeDefault / 2)));
    if (auto* l = findChild<QLabel*>(QStringLiteral("Label21"))) l->setText(QString::fromStdString(kv::ExposureScaleText(s.exposureTimeDefault)));
    if (auto* sl = findChild<QSlider*>(QStringLiteral("FocusGain"))) {
        sl->setValue(static_cast<int>(std::lround(s.focusGain * 10)));
        if (auto* l = findChild<QLabel*>(QStringLiteral("FocusGainLabel"))) {
            l->setText(QString::fromStdString(kv::FocusGainText(sl->value() / 10.0)));
        }
    }
    if (auto* sl = findChild<QSlider*>(QStringLiteral("Magnification"))) {
        if (auto* l = findChild<QLabel*>(QStringLiteral("MagLabel"))) {
            l->setText(QString::fromStdString(kv::MagnificationText(sl->value())));
        }
    }
    if (auto* se = findChild<QSpinBox*>(QStringLiteral("FocusSamples"))) se->setValue(s.focusSamples);

    const bool focuserChosen = UpdateFocuserParameters();
    ShowCameraState();

    if (!keepCamera || !state_.starSelected) {
        focusPanel_->ClearFocusReadings();
        SetStarSelected(false);
    }
    autoFocusPage_->InitialStepRG()->SetItemIndex(s.initialStep);

    if (fromButton) {
        // What the update could not do is said again here: a box that says
        // the parameters were updated must not follow one that says a device failed.
        std::vector<std::string> failed;
        if (!cameraFile.empty() && !cameraControl_->Initialized()) failed.push_back("the camera is not initialized");
        if (focuserChosen && !(state_.portOpen && focusControl_ && focusControl_->Connected())) {
            failed.push_back("the focuser on COM " + std::to_string(s.comPort + 1) + " is not connected");
        }
        if (failed.empty()) {
            dialogs_.Show("Parameters have been updated", kv::DialogType::Information, kv::DialogButtons::Ok);
        } else {
            std::string text = "The parameter update failed: ";
            for (std::size_t i = 0; i < failed.size(); ++i) text += (i > 0 ? " and " : "") + failed[i];
            text += ".\r\n\r\nCorrect what the message before this one names, then press Update Parameters again.";
            kv::WriteProgramLog(text);
            dialogs_.Show(text, kv::DialogType::Error, kv::DialogButtons::Ok);
        }
    }
    kv::TraceDiag("Leaving parameter update method");
    kv::TraceDiag(" ");

    // The controllers know each other: the camera holds the motor still while
    // it reads out, the focuser asks whether the camera is busy.
    if (focusControl_) {
        kv::TFocusControl* focuser = focusControl_.get();
        cameraControl_->SetFocuserIdle([focuser] { return focuser->GetIdle(); });
        cameraControl_->SetFocuserAtExposure([focuser] {
            kv::TImageObject::FocuserAtExposure at;
            if (!focuser->Connected()) return at;
            at.position = focuser->CTSCount();
            if (focuser->TCAvail() && focuser->TCAvg() > kv::kTemperatureFloor) at.temperature = focuser->TCAvg();
            return at;
        });
        focuser->SetCameraControl(cameraControl_->IdleProbe());
        focuser->SetDualSense(s.hiResPositioning);
        focuser->SetNudgePriority(kv::NudgePriorityFromIndex(s.nudgePriority));
    } else {
        cameraControl_->SetFocuserIdle({});
        cameraControl_->SetFocuserAtExposure({});
    }
}

void TMainForm::UpdateCameraParameters() {
    auto* cameras = findChild<QComboBox*>(QStringLiteral("CameraComboBox"));
    const int index = cameras != nullptr ? cameras->currentIndex() : -1;
    auto* memo = findChild<QPlainTextEdit*>(QStringLiteral("CameraDataMemo"));
    if (index < 0 || static_cast<std::size_t>(index) >= plugins_.size()) {
        dialogs_.Show(kNoCameraText, kv::DialogType::Error, kv::DialogButtons::Ok);
        ShowDevicePortsTab();
        return;
    }
    kv::TraceDiag("Initializing Camera Control");
    cameraFile_ = plugins_.fileNames[static_cast<std::size_t>(index)];
    cameraControl_->Initialize(cameraFile_);
    if (const std::string cancelled = cameraControl_->CancelledText(); !cameraControl_->Initialized() && !cancelled.empty()) {
        SetStatusPanel(0, QString::fromStdString(cancelled));
    }
    const kv::CameraInfo info = cameraControl_->CameraData();
    memo->clear();
    for (const auto& line : kv::CameraDataLines(info)) memo->appendPlainText(QString::fromStdString(line));
    cameraControl_->SetIsSBIG(info.Manufacturer.find("Santa") != std::string::npos);
    if (!cameraControl_->Initialized()) return;
    exposurePage_->CameraReconfigured(info);
    // Asked only of a camera that is there: a plug-in that failed to start has nothing to calibrate.
    if (const auto calibrate = cameraControl_->GetCalibrate(); calibrate != 0) {
        memo->appendPlainText(QStringLiteral("Calibrate Value = %1").arg(calibrate));
    }
    kv::TraceDiag("Main image display cleared");
    kv::TraceDiag("Focus image display cleared");
}

bool TMainForm::UpdateFocuserParameters() {
    auto* combo = findChild<QComboBox*>(QStringLiteral("FocuserComboBox"));
    if (combo == nullptr || combo->currentIndex() < 0) {
        dialogs_.Show(kNoFocuserText, kv::DialogType::Error, kv::DialogButtons::Ok);
        ShowDevicePortsTab();
        return false;
    }
    const kv::Settings s = CurrentSettings();
    const kv::FocuserKind kind = kv::FocuserKindFromName(combo->currentText().toStdString());
    const int com = s.comPort + 1;
    // A new controller of the same kind on the same device takes over the
    // count: the focuser has not moved, and its position must not become 0.
    std::optional<kv::PositionHandover> handover;
    if (focusControl_ && state_.portOpen && kind == focuserKind_ && focusControl_->ComPort() == com &&
        PortDeviceFor(com) == openedDevice_) {
        handover = focusControl_->Handover();
    }
    if (const kv::FocuserKindControls* row = kv::ControlsForKind(kind)) {
        // Nothing may still report from the old controller: its notifications
        // go nowhere from here on, and the camera stops asking it first.
        cameraControl_->SetFocuserIdle({});
        cameraControl_->SetFocuserAtExposure({});
        tempPage_->FocuserGoing();
        emit notices_.focuserGoing();
        focusControl_.reset();
        kv::TraceDiag(row->updateTrace);
        state_.portOpen = false;
        focusControl_ = kv::CreateFocusControl(kind, engineDialogs_);
        focuserKind_ = kind;
        focusControl_->SetJMIFlag(row->jmiFlag);
        auto text = [this](const char* name, const char* caption) {
            if (auto* w = findChild<QLabel*>(QString::fromLatin1(name))) w->setText(QString::fromLatin1(caption));
            if (auto* w = findChild<QPushButton*>(QString::fromLatin1(name))) w->setText(QString::fromLatin1(caption));
        };
        text("FocusPositionLabel", row->positionCaption);
        text("Focus_InBtn", row->inCaption);
        text("Focus_OutBtn", row->outCaption);
        auto range = [this](const char* name, int min, int max) {
            if (auto* se = findChild<QSpinBox*>(QString::fromLatin1(name))) {
                se->setRange(min, max);
                settings_ui::RefreshToolTipRange(se);
            }
        };
        range("MoveToSE", row->moveMin, row->moveMax);
        range("MoveBySE", row->moveMin, row->moveMax);
        range("StartScanSE", row->scanStartMin, row->scanStartMax);
        range("ScanStepSE", row->scanStepMin, row->scanStepMax);
        if (auto* se = findChild<QSpinBox*>(QStringLiteral("StartScanSE"))) se->setValue(row->scanStartValue);
        if (auto* se = findChild<QSpinBox*>(QStringLiteral("ScanStepSE"))) se->setValue(row->scanStepValue);
        if (auto* gb = findChild<QWidget*>(QStringLiteral("FocuserParametersGB"))) gb->setVisible(row->parametersGroupVisible);
        if (row->temperaturePage) {
            pc1_->setTabVisible(TempControl, s.tcEnabled);
        } else {
            pc1_->setTabVisible(TempControl, false);
            tempPage_->StopTimers();
        }
        if (kind == kv::FocuserKind::JMI) {
            auto setSpin = [this](const char* name, int v) {
                if (auto* se = findChild<QSpinBox*>(QString::fromLatin1(name))) se->setValue(v);
            };
            setSpin("MinStepsSE", s.minCorrection);
            findChild<QCheckBox*>(QStringLiteral("IgnoreStepsCB"))->setChecked(s.ignoreMoveOn);
            setSpin("IgnoreStepsSE", s.ignoreMove);
            findChild<QDoubleSpinBox*>(QStringLiteral("AutoTCRateSE"))->setValue(s.tempCompRate);
            // Written as the compensation reads it back: with the system's decimal separator.
            findChild<QLineEdit*>(QStringLiteral("SlopeEdit"))
                ->setText(QString::fromStdString(kv::FormatShortest(s.defaultCoefficient, kv::TCLocale::FromProcess())));
            setSpin("TempReadingRateSE", s.tempReadingRate);
            tempPage_->GetTempTimer()->setInterval(s.tempReadingRate * 1000);
        }
        kv::TraceDiag("Done setting focuser parameters");
    }
    kv::TraceDiag("Setting event handler addresses and focuser settings");
    kv::TFocusControl* focuser = focusControl_.get();
    AttachFocuserHandlers();
    focuser->SetNudgeTime(s.nudgeTime);
    focuser->SetCloseNudgeTime(s.closeNudgeTime);
    focuser->SetNudgeSleep(s.nudgeDelay);
    focuser->SetStopFactor(s.stopFactor);
    focuser->SetBackLash(s.backLashValue);
    focuser->SetUseRTS_DTR(s.commands == 1);
    focuser->SetReverseDir(s.reverseDirection);
    if (auto* speed = findChild<QWidget*>(QStringLiteral("SpeedRG"))) speed->setEnabled(s.commands != 1);

    kv::TraceDiag("Ready to open the Comport");
    kv::TraceDiag("Comport selected: " + std::to_string(com));
    if (kind == kv::FocuserKind::JMI) {
        // A simulated hub turns out pulses as the chosen model's encoder does.
        kv::Settings entry;
        kv::ApplyCatalogueModel(programFolder_ + kv::kCatalogueFileName, combo->currentText().toStdString(), entry);
        kvsim::ModelHubEncoder(PortDeviceFor(com), entry.hiResPositioning);
    }
    // An open port stays as it is only while its number still names the
    // device it was opened on: a device chosen since is opened now.
    if (!(state_.portOpen && focuser->ComPort() == com && PortDeviceFor(com) == openedDevice_)) {
        focuser->SetPortResolver([this](int n) { return PortDeviceFor(n); });
        focuser->SetComPort(com);
        state_.portOpen = focuser->OpenPort();
        openedDevice_ = state_.portOpen ? PortDeviceFor(com) : std::string();
        if (state_.portOpen && handover) focuser->TakeOver(*handover);
        if (const std::string cancelled = focuser->OpenCancelled(); !cancelled.empty()) {
            // The user chose to stop waiting; no box to say what they know.
            SetStatusPanel(0, QString::fromStdString(cancelled));
        } else if (!state_.portOpen) {
            const std::string failure = focuser->OpenFailure();
            const std::string text = "Could not open COM " + std::to_string(com) +
                                     (failure.empty() ? std::string() : "\r\n\r\nTried " + failure + ".") +
                                     "\r\n\r\nChoose the focuser's port on the Device/Ports tab, or map COM" +
                                     std::to_string(com) + " to its device in the [Ports] section of " + iniPath_ + ".";
            kv::WriteProgramLog(text);
            dialogs_.Show(text, kv::DialogType::Error, kv::DialogButtons::Ok);
        }
    }
    if (s.tcEnabled && focuser->JMIFlag()) {
        while (!focuser->GetTCAvail()) {
            if (dialogs_.Show(kNoTemperatureText, kv::DialogType::Warning, kv::DialogButtons::OkRetry) !=
                kv::DialogResult::Retry) {
                break;
            }
        }
    }
    kv::TraceDiag(state_.portOpen ? "Com Port opened" : "Com Port NOT opened");
    focuser->SetLogCommands(s.comLogging);
    return true;
}

std::string TMainForm::ChosenCameraFile() const {
    auto* cameras = findChild<QComboBox*>(QStringLiteral("CameraComboBox"));
    const int index = cameras != nullptr ? cameras->currentIndex() : -1;
    if (index < 0 || static_cast<std::size_t>(index) >= plugins_.size()) return {};
    return plugins_.fileNames[static_cast<std::size_t>(index)];
}

void TMainForm::ShowCameraState() {
    state_.cameraReady = cameraControl_->Initialized();
    const kv::CameraInfo info = cameraControl_->CameraData();
    if (auto* l = findChild<QLabel*>(QStringLiteral("CameraLabel"))) {
        l->setText(state_.cameraReady ? QString::fromStdString(info.CameraName) : QString());
    }
    if (auto* l = findChild<QLabel*>(QStringLiteral("CamNotInitializedLabel"))) l->setVisible(!state_.cameraReady);
    QPushButton* button = settingsPage_->DisconnectButton();
    button->setText(state_.cameraReady ? QStringLiteral("Disconnect Camera") : QStringLiteral("Connect Camera"));
    button->setStyleSheet(state_.cameraReady ? QStringLiteral("font-weight: normal;")
                                             : QStringLiteral("color: red; font-weight: bold;"));
    kv::TraceDiag(state_.cameraReady ? "Camera is properly initialized" : "Camera is NOT properly initialized");
    if (auto* get = findChild<QPushButton*>(QStringLiteral("GetImageButton"))) get->setEnabled(state_.cameraReady);
}

void TMainForm::ShowDevicePortsTab() {
    pc1_->setCurrentIndex(StatusSettings);
    SettingsPages()->setCurrentIndex(DevicePortsTab);
    UpdateSettingsButtons();
}

void TMainForm::AttachFocuserHandlers() {
    manualFocusPage_->AttachFocuser(focusControl_.get());
    tempPage_->FocuserChanged();
}

void TMainForm::DisconnectButtonClick() {
    auto* cameras = findChild<QComboBox*>(QStringLiteral("CameraComboBox"));
    const int index = cameras != nullptr ? cameras->currentIndex() : -1;
    const std::string file =
        index >= 0 && static_cast<std::size_t>(index) < plugins_.size() ? plugins_.fileNames[static_cast<std::size_t>(index)] : std::string();
    const bool wasReady = cameraControl_->Initialized();
    focusing_->CancelAndJoin();
    StopContinuousFocus();
    exposurePage_->DetachImages();
    // A failed connection is reported by the controller itself.
    cameraControl_->ToggleConnection(file);
    if (const std::string cancelled = cameraControl_->CancelledText(); !cameraControl_->Initialized() && !cancelled.empty()) {
        SetStatusPanel(0, QString::fromStdString(cancelled));
    }
    cameraFile_ = cameraControl_->Initialized() ? file : std::string();
    if (cameraControl_->Initialized() && !wasReady) exposurePage_->CameraReconfigured(cameraControl_->CameraData());
    state_.imageTaken = false;
    SetStarSelected(false);
    ShowCameraState();
}
