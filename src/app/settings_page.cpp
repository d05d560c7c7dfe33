#include "app/settings_page.h"

#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTabWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <filesystem>
#include <utility>
#include <vector>

#include "app/page_context.h"
#include "app/radio_group.h"
#include "app/refocus_triggers_group.h"
#include "app/settings_binder.h"
#include "focuser/focus_control.h"
#include "platform/dialogs.h"
#include "shell/log_channel.h"
#include "shell/port_map.h"
#include "shell/settings_model.h"
#include "shell/settings_store.h"
#include "widgets/lum_lbl.h"
#include "widgets/lum_memo.h"

namespace {

constexpr int kFocusPanelWidth = 228;
constexpr int kLogMemoLines = 4048;
constexpr int kComLogMemoLines = 8096;
// Longer setting captions go on a row of their own.
constexpr qsizetype kLongCaption = 30;
// The program log's view choices, in the order of LogViewCombo.
constexpr int kResultsView = 1;

QString Q(std::string_view s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

QLabel* Caption(const QString& text, QWidget* parent) {
    auto* l = new kv::TlumLbl(parent);
    l->setText(text);
    l->setAlignment(Qt::AlignCenter);
    l->setFixedHeight(20);
    return l;
}

}  // namespace

QWidget* TSettingsPage::Control(std::string_view name) const { return findChild<QWidget*>(Q(name)); }

void TSettingsPage::ShowSettingsButtons(bool show) {
    for (auto* b : {updateButton_, saveButton_, revertButton_, factoryButton_}) b->setVisible(show);
}

void TSettingsPage::ShowSaveButton() { saveButton_->setVisible(true); }

TSettingsPage::TSettingsPage(TSettingsContext& form, QWidget* parent) : QWidget(parent), form_(form) {
    auto* page = this;
    page->setObjectName(QStringLiteral("StatusSettings"));
    // Every settings control exists once, built from the settings table; the
    // tabs below only place them.
    for (const auto& setting : kv::SettingSpecs()) {
        // Read-only keys steer other controls (InterruptsLite shows IntLite) and have none of their own.
        if (!setting.control.empty() && setting.written) settings_ui::CreateControl(setting, page);
    }

    tabs_ = new QTabWidget(page);
    tabs_->setObjectName(QStringLiteral("SettingsPC"));
    tabs_->addTab(BuildStatusTab(), QStringLiteral("Status"));
    tabs_->addTab(BuildDevicePortsTab(), QStringLiteral("Device/Ports"));
    tabs_->addTab(BuildCameraControlTab(), QStringLiteral("Camera Control"));
    tabs_->addTab(BuildFocuserControlTab(), QStringLiteral("Focuser Control"));
    TCEnableCBClick();

    settingsButtons_ = new QWidget(page);
    auto* row = new QHBoxLayout(settingsButtons_);
    row->setContentsMargins(0, 0, 0, 0);
    auto button = [&](const char* name, const char* text) {
        auto* b = new QPushButton(QString::fromLatin1(text), settingsButtons_);
        b->setObjectName(QString::fromLatin1(name));
        b->setMinimumWidth(130);
        row->addWidget(b);
        return b;
    };
    updateButton_ = button("UpdatePgmParametersButton", "Update Parameters");
    saveButton_ = button("SaveSettingsButton", "Save Settings");
    revertButton_ = button("RevertSavedButton", "Revert to Saved");
    factoryButton_ = button("FactoryDefaultsButton", "Factory Defaults");
    row->addStretch();
    connect(updateButton_, &QPushButton::clicked, this, [this] { form_.UpdatePgmParameters(true); });
    connect(saveButton_, &QPushButton::clicked, this, [this] { form_.SaveSettingsButtonClick(); });
    connect(revertButton_, &QPushButton::clicked, this, [this] { form_.RevertSavedButtonClick(); });
    connect(factoryButton_, &QPushButton::clicked, this, [this] { form_.FactoryDefaultsButtonClick(); });

    auto* lay = new QVBoxLayout(page);
    lay->setContentsMargins(4, 4, 4, 4);
    lay->addWidget(tabs_, 1);
    lay->addWidget(settingsButtons_);
}

QWidget* TSettingsPage::BuildStatusTab() {
    auto* tab = new QWidget;
    tab->setObjectName(QStringLiteral("StatusTab"));
    auto* grid = new QHBoxLayout(tab);
    // The focus panel covers the right of the window while this tab shows.
    grid->setContentsMargins(2, 2, kFocusPanelWidth - 12, 2);

    auto makeLog = [&](const char* title, const char* memoName, int maxLines, const char* cbName,
                       const char* saveName, const char* clearName, kv::TlumMemo*& memo, QCheckBox*& logCB) {
        auto* box = new QGroupBox(QString::fromLatin1(title), tab);
        auto* v = new QVBoxLayout(box);
        memo = new kv::TlumMemo(box);
        memo->setObjectName(QString::fromLatin1(memoName));
        memo->SetMaxLines(static_cast<quint16>(maxLines));
        v->addWidget(memo, 1);
        auto* controls = new QHBoxLayout;
        // The "Log" check box is a setting, built from the settings table.
        logCB = findChild<QCheckBox*>(QString::fromLatin1(cbName));
        logCB->setParent(box);
        logCB->setText(QStringLiteral("Log"));
        controls->addWidget(logCB);
        auto* save = new QPushButton(QStringLiteral("Save"), box);
        save->setObjectName(QString::fromLatin1(saveName));
        save->setMaximumWidth(56);
        auto* clear = new QPushButton(QStringLiteral("Clear"), box);
        clear->setObjectName(QString::fromLatin1(clearName));
        clear->setMaximumWidth(56);
        controls->addStretch();
        controls->addWidget(save);
        controls->addWidget(clear);
        v->addLayout(controls);
        kv::TlumMemo* m = memo;
        connect(save, &QPushButton::clicked, this, [this, m] { SaveLogClick(m); });
        connect(clear, &QPushButton::clicked, this, [m] { m->Clear(); });
        grid->addWidget(box, 1);
        return controls;
    };

    auto* progControls = makeLog("Focuser and Camera Progress and Status", "LogMemo", kLogMemoLines, "ProgLogCB",
                                 "SaveLog", "ClearLog", logMemo_, progLogCB_);
    makeLog("Com Port Activity", "ComLogMemo", kComLogMemoLines, "ComLogCB", "SaveComLog", "ClearComLog",
            comLogMemo_, comLogCB_);
    timestampCB_ = new QCheckBox(QStringLiteral("Time Stamp"), progLogCB_->parentWidget());
    timestampCB_->setObjectName(QStringLiteral("TimestampCB"));
    timestampCB_->setToolTip(QStringLiteral("Start each program log line with the date and time"));
    progControls->insertWidget(1, timestampCB_);

    // Above the program log: everything it keeps, or the results alone.
    // Save writes every line either way.
    auto* viewRow = new QHBoxLayout;
    auto* viewLabel = new QLabel(QStringLiteral("Show:"), logMemo_->parentWidget());
    logViewCombo_ = new QComboBox(logMemo_->parentWidget());
    logViewCombo_->setObjectName(QStringLiteral("LogViewCombo"));
    logViewCombo_->addItems({QStringLiteral("Everything"), QStringLiteral("Results")});
    logViewCombo_->setToolTip(
        QStringLiteral("Results: moves, frames, procedures, positions and figures, warnings and errors, "
                       "without the program's step-by-step trace"));
    viewLabel->setBuddy(logViewCombo_);
    viewRow->addWidget(viewLabel);
    viewRow->addWidget(logViewCombo_);
    viewRow->addStretch();
    qobject_cast<QVBoxLayout*>(logMemo_->parentWidget()->layout())->insertLayout(0, viewRow);
    connect(logViewCombo_, &QComboBox::currentIndexChanged, this,
            [this](int index) { logMemo_->SetShowTrace(index != kResultsView); });
    // Only the user's choice is written, at once; reading the file is not a choice.
    connect(logViewCombo_, &QComboBox::activated, this, [this](int index) {
        const kv::WriteResult saved = kv::SaveLogResultsOnly(form_.IniPath(), index == kResultsView);
        if (!saved.ok) {
            kv::WriteProgramLog(saved.message);
            form_.Dialogs().Show(saved.message, kv::DialogType::Error, kv::DialogButtons::Ok);
        }
    });

    connect(progLogCB_, &QCheckBox::toggled, this, [](bool on) { kv::ProgramLog::Instance().logging = on; });
    connect(timestampCB_, &QCheckBox::toggled, this, [](bool on) { kv::ProgramLog::Instance().timestamp = on; });
    // Changing a log switch is a settings change the user may want to keep.
    connect(progLogCB_, &QCheckBox::clicked, this, [this] { saveButton_->setVisible(true); });
    connect(comLogCB_, &QCheckBox::clicked, this, [this] {
        saveButton_->setVisible(true);
        if (form_.FocusControl() != nullptr) form_.FocusControl()->SetLogCommands(comLogCB_->isChecked());
    });
    return tab;
}

QWidget* TSettingsPage::BuildDevicePortsTab() {
    auto* tab = new QWidget;
    tab->setObjectName(QStringLiteral("DevicePortsTab"));
    devicePortsTab_ = tab;
    // Shown: the list is made afresh, so an adapter plugged in meanwhile is there.
    tab->installEventFilter(this);
    auto* v = new QVBoxLayout(tab);
    v->addWidget(Caption(QStringLiteral("Camera, Focuser and Port Selection"), tab));
    auto* focuserCombo = qobject_cast<TDropDownComboBox*>(Control("FocuserComboBox"));

    auto* top = new QHBoxLayout;
    auto* devices = new QGroupBox(QStringLiteral("Devices"), tab);
    auto* form = new QFormLayout(devices);
    for (const char* name : {"CameraComboBox", "FocuserComboBox"}) {
        auto* w = Control(name);
        w->setParent(devices);
        form->addRow(settings_ui::LabelFor(*kv::FindSettingSpec(name == std::string_view("CameraComboBox") ? "Camera" : "Focuser")), w);
    }
    auto* hiddenIO = Control("CameraIORG");
    hiddenIO->setParent(devices);
    hiddenIO->hide();
    top->addWidget(devices, 1);

    auto* commands = Control("CommandRG");
    commands->setParent(tab);
    top->addWidget(commands);
    v->addLayout(top);

    auto* ports = new QHBoxLayout;
    auto* comColumn = new QVBoxLayout;
    auto* comPorts = qobject_cast<TRadioGroup*>(Control("ComPortRG"));
    comPorts->setParent(tab);
    comColumn->addWidget(comPorts);
    comColumn->addWidget(BuildPortDeviceRow(tab));
    ports->addLayout(comColumn, 3);
    // The choice is kept for the camera plug-ins, which receive it, but this
    // system has no parallel port to offer.
    auto* parColumn = new QVBoxLayout;
    auto* parPorts = Control("ParPortRG");
    parPorts->setParent(tab);
    parPorts->setEnabled(false);
    parPorts->setToolTip(QStringLiteral("Parallel ports are not available on this system; cameras are reached through their plug-ins"));
    parColumn->addWidget(parPorts);
    auto* parNote = new QLabel(QStringLiteral("Not available on this system"), tab);
    parNote->setObjectName(QStringLiteral("ParPortNote"));
    parNote->setEnabled(false);
    parColumn->addWidget(parNote);
    parColumn->addStretch();
    ports->addLayout(parColumn, 1);
    v->addLayout(ports);
    connect(comPorts, &TRadioGroup::itemIndexChanged, this, [this] {
        if (devicePortsTab_->isVisible()) RefreshPortDevices();
    });

    auto* misc = new QHBoxLayout;
    auto* voice = Control("VoiceRG");
    voice->setParent(tab);
    misc->addWidget(voice);
    auto* startup = new QGroupBox(QStringLiteral("Start-up and Shut-down"), tab);
    auto* sv = new QVBoxLayout(startup);
    for (const char* name : {"NoSplashScreen", "SavePosCB"}) {
        auto* w = Control(name);
        w->setParent(startup);
        sv->addWidget(w);
    }
    auto* about = new QPushButton(QStringLiteral("About Kessivane..."), startup);
    about->setObjectName(QStringLiteral("AboutButton"));
    connect(about, &QPushButton::clicked, this, [this] { form_.AboutButtonClick(); });
    sv->addWidget(about);
    sv->addStretch();
    misc->addWidget(startup);
    auto* others = new QGroupBox(QStringLiteral("Other Programs"), tab);
    auto* ov = new QVBoxLayout(others);
    allowControlCB_ = new QCheckBox(QStringLiteral("Allow other programs to control the focuser"), others);
    allowControlCB_->setObjectName(QStringLiteral("AllowControlCB"));
    allowControlCB_->setChecked(true);
    allowControlCB_->setToolTip(QStringLiteral("Scripts (kessivanectl) and the hub companion may move the focuser "
                                               "and run the focusing procedures; reading the position stays open"));
    connect(allowControlCB_, &QCheckBox::clicked, this, [this](bool on) { form_.AllowOtherProgramsClick(on); });
    ov->addWidget(allowControlCB_);
    ov->addStretch();
    misc->addWidget(others);
    misc->addStretch();
    v->addLayout(misc);
    v->addStretch();

    connect(focuserCombo, &QComboBox::activated, this, [this](int) { form_.FocuserComboBoxChange(); });
    connect(focuserCombo, &TDropDownComboBox::dropDown, this, [this] { form_.FocuserComboBoxDropDown(); });
    return tab;
}

QWidget* TSettingsPage::BuildPortDeviceRow(QWidget* tab) {
    auto* box = new QWidget(tab);
    auto* grid = new QVBoxLayout(box);
    grid->setContentsMargins(0, 0, 0, 0);
    auto* row = new QHBoxLayout;
    portDeviceLabel_ = new QLabel(box);
    portDeviceLabel_->setObjectName(QStringLiteral("PortDeviceLabel"));
    auto* combo = new TDropDownComboBox(box);
    combo->setObjectName(QStringLiteral("PortDeviceCombo"));
    // Editable: a device server's address ("indi://host:7624/device") or an
    // unusual device path may be typed in.
    combo->setEditable(true);
    combo->setInsertPolicy(QComboBox::InsertAtBottom);
    combo->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    combo->setMinimumContentsLength(28);
    combo->setToolTip(QStringLiteral("The device this COM port opens; choosing one writes it to the [Ports] section of the "
                                     "settings file, and Update Parameters opens it"));
    portDevice_ = combo;
    portDeviceLabel_->setBuddy(combo);
    row->addWidget(portDeviceLabel_);
    row->addWidget(combo, 1);
    grid->addLayout(row);
    portDeviceNote_ = new QLabel(box);
    portDeviceNote_->setObjectName(QStringLiteral("PortDeviceNote"));
    portDeviceNote_->setWordWrap(true);
    portDeviceNote_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    grid->addWidget(portDeviceNote_);
    connect(combo, &QComboBox::activated, this, &TSettingsPage::PortDeviceChosen);
    connect(combo, &TDropDownComboBox::dropDown, this, &TSettingsPage::RefreshPortDevices);
    return box;
}

int TSettingsPage::ChosenComNumber() const {
    const auto* group = qobject_cast<TRadioGroup*>(Control("ComPortRG"));
    const int index = group != nullptr ? group->ItemIndex() : -1;
    return index >= 0 ? index + 1 : 0;
}

bool TSettingsPage::eventFilter(QObject* watched, QEvent* event) {
    if (watched == devicePortsTab_ && event->type() == QEvent::Show) RefreshPortDevices();
    return QWidget::eventFilter(watched, event);
}

void TSettingsPage::RefreshPortDevices() {
    const int com = ChosenComNumber();
    // Rebuilding is no choice of the user's.
    const QSignalBlocker quiet(portDevice_);
    portDevice_->clear();
    portDevice_->setEnabled(com != 0);
    portDeviceLabel_->setText(com != 0 ? QStringLiteral("Device for COM%1:").arg(com) : QStringLiteral("Device:"));
    if (com == 0) {
        portDeviceNote_->setText(QStringLiteral("Choose a COM port to choose its device."));
        return;
    }

    std::vector<kv::SerialDevice> devices = kv::ListSerialDevices(serialRoots_);
    const bool noSerialDevice = devices.empty();
    if (form_.Simulating()) {
        for (const auto& [path, what] : {std::pair{"sim:hub", "simulated hub"}, {"sim:robofocus", "simulated RoboFocus"},
                                         {"sim:optec", "simulated Optec"}}) {
            devices.push_back({path, std::string(path) + " (" + what + ")"});
        }
    }
    const kv::IniFile ini = kv::IniFile::Load(form_.IniPath());
    auto listed = [&devices](const std::string& path) {
        return std::any_of(devices.begin(), devices.end(), [&path](const kv::SerialDevice& d) { return d.path == path; });
    };
    // A server another port reaches serves this one as well.
    for (int other = kv::kFirstComPort; other <= kv::kLastComPort; ++other) {
        const std::string mapped = kv::PortDevice(ini, other);
        if (mapped.starts_with(kv::kIndiScheme) && !listed(mapped)) devices.push_back({mapped, mapped + " (device server)"});
    }
    const std::string current = kv::PortDevice(ini, com);
    if (!listed(current)) {
        std::error_code ec;
        const bool gone = current.starts_with('/') && !std::filesystem::exists(current, ec);
        devices.insert(devices.begin(), {current, current + (gone ? " (not present now)" : "")});
    }
    for (const kv::SerialDevice& d : devices) {
        portDevice_->addItem(QString::fromStdString(d.description), QString::fromStdString(d.path));
        portDevice_->setItemData(portDevice_->count() - 1, QString::fromStdString(d.path), Qt::ToolTipRole);
    }
    // Under --simulate the port reaches a simulator whatever the file maps it
    // to: the list shows what the port opens, not a device it leaves alone.
    const std::string opens = form_.PortDeviceFor(com);
    const int opened = portDevice_->findData(QString::fromStdString(opens));
    portDevice_->setCurrentIndex(opened >= 0 ? opened : portDevice_->findData(QString::fromStdString(current)));

    QString note = QStringLiteral("COM%1 opens %2").arg(com).arg(QString::fromStdString(opens));
    if (opens != current) note += QStringLiteral(", the simulator of the chosen focuser, until you choose a device here");
    note += QStringLiteral(".");
    if (noSerialDevice) note += QStringLiteral(" No serial device was found on this computer; a USB adapter shows here once plugged in.");
    portDeviceNote_->setText(note);
}

void TSettingsPage::PortDeviceChosen(int index) {
    const int com = ChosenComNumber();
    if (com == 0 || index < 0) return;
    // A typed entry has no device of its own: its text is the device.
    QString device = portDevice_->itemData(index).toString();
    if (device.isEmpty()) device = portDevice_->itemText(index).trimmed();
    if (!device.isEmpty()) form_.ChoosePortDevice(com, device.toStdString());
    RefreshPortDevices();
}

QWidget* TSettingsPage::BuildCameraControlTab() {
    auto* tab = new QWidget;
    tab->setObjectName(QStringLiteral("CameraControlTab"));
    auto* v = new QVBoxLayout(tab);
    v->addWidget(Caption(QStringLiteral("Camera and Focus Measurement Settings"), tab));
    auto* cols = new QHBoxLayout;
    v->addLayout(cols);

    auto formBox = [&](const QString& title, std::initializer_list<const char*> keys) {
        auto* box = new QGroupBox(title, tab);
        auto* form = new QFormLayout(box);
        for (const char* key : keys) {
            const kv::SettingSpec* setting = kv::FindSettingSpec(key);
            QWidget* w = Control(setting->control);
            w->setParent(box);
            const QString caption = settings_ui::LabelFor(*setting);
            if (qobject_cast<QCheckBox*>(w) != nullptr) {
                form->addRow(w);
            } else if (caption.size() > kLongCaption) {
                // A caption this long would take the column from its spin box:
                // it gets a row of its own, wrapped, above the box.
                auto* label = new QLabel(caption, box);
                label->setWordWrap(true);
                label->setBuddy(w);
                form->addRow(label);
                form->addRow(w);
            } else {
                form->addRow(caption, w);
            }
        }
        return box;
    };
    auto place = [&](QBoxLayout* into, const char* controlName) {
        QWidget* w = Control(controlName);
        w->setParent(tab);
        into->addWidget(w);
    };

    auto* left = new QVBoxLayout;
    left->addWidget(formBox(QStringLiteral("Exposure"), {"ExposureTimeDefault", "FocusGain"}));
    left->addWidget(formBox(QStringLiteral("Region of Interest"), {"ROIOn", "ROIValue", "MaskROI"}));
    left->addWidget(formBox(QStringLiteral("Stretch Levels"), {"WhiteLevel", "BlackLevel"}));
    left->addStretch();
    cols->addLayout(left);

    auto* middle = new QVBoxLayout;
    place(middle, "ImageStretchDefaultRG");
    place(middle, "FocusStretchDefaultRG");
    place(middle, "CursorTypeRG");
    middle->addStretch();
    cols->addLayout(middle);

    auto* right = new QVBoxLayout;
    place(right, "FMKind");
    right->addWidget(formBox(QStringLiteral("Focus Measurement"), {"FocusSamples", "SmoothData"}));
    place(right, "DefaultInitialStepRG");
    right->addStretch();
    cols->addLayout(right);

    auto* camera = new QVBoxLayout;
    auto* dataMemo = new QPlainTextEdit(tab);
    dataMemo->setObjectName(QStringLiteral("CameraDataMemo"));
    dataMemo->setReadOnly(true);
    dataMemo->setMinimumWidth(170);
    camera->addWidget(new QLabel(QStringLiteral("Camera Data"), tab));
    // The name of the camera in use, which the data below does not give.
    auto* cameraName = new QLabel(tab);
    cameraName->setObjectName(QStringLiteral("CameraLabel"));
    cameraName->setStyleSheet(QStringLiteral("font-weight: bold;"));
    camera->addWidget(cameraName);
    camera->addWidget(dataMemo, 1);
    auto* notInit = new QLabel(QStringLiteral("CAMERA IS NOT INITIALIZED!!"), tab);
    notInit->setObjectName(QStringLiteral("CamNotInitializedLabel"));
    notInit->setStyleSheet(QStringLiteral("color: red; font-weight: bold;"));
    camera->addWidget(notInit);
    disconnectButton_ = new QPushButton(QStringLiteral("Connect Camera"), tab);
    disconnectButton_->setObjectName(QStringLiteral("DisconnectButton"));
    disconnectButton_->setStyleSheet(QStringLiteral("color: red; font-weight: bold;"));
    camera->addWidget(disconnectButton_);
    cols->addLayout(camera, 1);
    return tab;
}

QWidget* TSettingsPage::BuildFocuserControlTab() {
    auto* tab = new QWidget;
    tab->setObjectName(QStringLiteral("FocuserControlTab"));
    auto* v = new QVBoxLayout(tab);
    v->addWidget(Caption(QStringLiteral("Focuser and Temperature Compensation Settings"), tab));
    auto* cols = new QHBoxLayout;
    v->addLayout(cols);

    auto addKeys = [&](QWidget* box, QFormLayout* form, std::initializer_list<const char*> keys) {
        for (const char* key : keys) {
            const kv::SettingSpec* setting = kv::FindSettingSpec(key);
            QWidget* w = Control(setting->control);
            w->setParent(box);
            if (qobject_cast<QCheckBox*>(w) != nullptr || qobject_cast<TRadioGroup*>(w) != nullptr) {
                form->addRow(w);
            } else {
                form->addRow(settings_ui::LabelFor(*setting), w);
            }
            if (setting->hidden) form->setRowVisible(w, false);
        }
    };

    auto* motor = new QGroupBox(QStringLiteral("Focuser Parameters"), tab);
    motor->setObjectName(QStringLiteral("FocuserParametersGB"));
    auto* mform = new QFormLayout(motor);
    addKeys(motor, mform,
            {"NudgeTime", "CloseNudgeTime", "NudgeDelay", "StopFactor", "BackLashValue", "CodesPerRev",
             "TravelPerRev", "HiResPositioning", "NudgePriority"});
    cols->addWidget(motor, 1, Qt::AlignTop);

    auto* right = new QVBoxLayout;
    auto* general = new QGroupBox(QStringLiteral("Focuser"), tab);
    auto* gform = new QFormLayout(general);
    addKeys(general, gform, {"ReverseDirection", "SBIGInterlock"});
    right->addWidget(general);

    auto* temp = new QGroupBox(QStringLiteral("Temperature Compensation"), tab);
    auto* tform = new QFormLayout(temp);
    addKeys(temp, tform, {"Enabled", "MinCorrection"});
    // "Ignore Move >" reads as one phrase with its spin edit.
    auto* ignoreRow = new QHBoxLayout;
    QWidget* ignoreCB = Control("IgnoreCB");
    QWidget* ignoreSE = Control("IgnoreSE");
    ignoreCB->setParent(temp);
    ignoreSE->setParent(temp);
    ignoreRow->addWidget(ignoreCB);
    ignoreRow->addWidget(ignoreSE);
    ignoreRow->addWidget(new QLabel(QStringLiteral("steps"), temp));
    ignoreRow->addStretch();
    tform->addRow(ignoreRow);
    addKeys(temp, tform, {"TempCompRate", "DefaultCoefficient", "TempReadingRate"});
    // The tab is not yet this page's: its controls are found through the group.
    for (const char* name : {"MinCorrectSE", "CompRateSE", "DefCoefSE", "TempUpdateSE"}) {
        const QString control = QString::fromLatin1(name);
        if (QWidget* label = tform->labelForField(temp->findChild<QWidget*>(control))) {
            label->setObjectName(control.chopped(2) + QStringLiteral("Label"));
        }
    }
    // toggled, not clicked: a settings file read or Factory Defaults change them too.
    connect(temp->findChild<QCheckBox*>(QStringLiteral("TCEnableCB")), &QCheckBox::toggled, this,
            &TSettingsPage::TCEnableCBClick);
    connect(qobject_cast<QCheckBox*>(ignoreCB), &QCheckBox::toggled, this, &TSettingsPage::TCEnableCBClick);
    right->addWidget(temp);
    right->addWidget(NewRefocusTriggersGroup(tab));
    right->addStretch();
    cols->addLayout(right, 1);
    v->addStretch();
    return tab;
}

void TSettingsPage::TCEnableCBClick() {
    const bool on = qobject_cast<QCheckBox*>(Control("TCEnableCB"))->isChecked();
    for (const char* name : {"MinCorrectLabel", "MinCorrectSE", "IgnoreCB", "CompRateLabel", "CompRateSE", "DefCoefLabel",
                             "DefCoefSE", "TempUpdateLabel", "TempUpdateSE"}) {
        if (QWidget* w = Control(name)) w->setEnabled(on);
    }
    Control("IgnoreSE")->setEnabled(on && qobject_cast<QCheckBox*>(Control("IgnoreCB"))->isChecked());
}

void TSettingsPage::ReadOwnSettings(const kv::IniFile& ini) {
    logViewCombo_->setCurrentIndex(kv::ReadLogResultsOnly(ini) ? kResultsView : 0);
}

void TSettingsPage::SaveLogClick(kv::TlumMemo* memo) {
    const QString name = form_.AskSaveFileName(QStringLiteral("Save Log File"),
                                               QStringLiteral("Log Data Files (*.txt);;All Files (*.*)"),
                                               QStringLiteral("txt"), QString());
    if (name.isEmpty()) return;
    QFile file(name);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        form_.Dialogs().Show(QStringLiteral("Could not save the log to %1: %2").arg(name, file.errorString()).toStdString(),
                      kv::DialogType::Error, kv::DialogButtons::Ok);
        return;
    }
    for (const QString& line : memo->Lines()) {
        file.write(line.toUtf8());
        file.write("\r\n");
    }
    if (!file.flush()) {
        form_.Dialogs().Show(QStringLiteral("Could not save the log to %1: %2").arg(name, file.errorString()).toStdString(),
                      kv::DialogType::Error, kv::DialogButtons::Ok);
    }
}

