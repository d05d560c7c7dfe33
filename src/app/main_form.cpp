#include "app/main_form.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QSlider>
#include <QSpinBox>
#include <QStatusBar>
#include <QTabWidget>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>
#include <filesystem>
#include <fstream>
#include <unordered_map>

#include "app/dbus_broadcast_bus.h"
#include "app/radio_group.h"
#include "app/settings_binder.h"
#include "app/splash_form.h"
#include "platform/clock.h"
#include "shell/diagnostics.h"
#include "shell/focuser_catalogue.h"
#include "shell/log_channel.h"
#include "shell/program_folder.h"
#include "shell/settings_store.h"
#include "widgets/lum_lbl.h"
#include "widgets/lum_lite.h"
#include "widgets/lum_memo.h"
#include "widgets/tcolor.h"

namespace {

constexpr int kIdleCheckTimerMs = 2000;
constexpr int kLoggerStartMs = 3000;
constexpr int kFw2TimerMs = 500;
constexpr int kFocusPanelWidth = 228;
constexpr int kStatusPanelWidths[3] = {300, 250, 50};
constexpr int kLogMemoLines = 4048;
constexpr int kComLogMemoLines = 8096;

QString Q(std::string_view s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

std::string NowText() { return kv::FormatDateTime(std::chrono::system_clock::now()); }

QLabel* Caption(const QString& text, QWidget* parent) {
    auto* l = new kv::TlumLbl(parent);
    l->setText(text);
    l->setAlignment(Qt::AlignCenter);
    l->setFixedHeight(20);
    return l;
}

}  // namespace

TMainForm::TMainForm(kv::IDialogs& dialogs, std::string programFolder, QStringList arguments, QWidget* parent)
    : QMainWindow(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                              Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                              Qt::MSWindowsFixedSizeDialogHint),
      dialogs_(dialogs),
      programFolder_(std::move(programFolder)),
      arguments_(std::move(arguments)) {
    setObjectName(QStringLiteral("MainForm"));
    setWindowTitle(QStringLiteral("Kessivane"));
    BuildUi();
    setFixedSize(kClientWidth, kClientHeight);

    msgBoxTimer_ = new QTimer(this);
    msgBoxTimer_->setObjectName(QStringLiteral("MsgBoxTimer"));
    msgBoxTimer_->setSingleShot(true);
    msgBoxTimer_->setInterval(kv::kMsgBoxTimerMs);
    connect(msgBoxTimer_, &QTimer::timeout, this, [this] {
        msgBoxTimer_->stop();
        if (auto m = deferred_.Take()) dialogs_.Show(m->text, m->type, m->buttons);
        // The next one a second after this box is closed.
        if (deferred_.Waiting() > 0) msgBoxTimer_->start();
    });
    deferred_.SetArmTimer([this] {
        QMetaObject::invokeMethod(msgBoxTimer_, qOverload<>(&QTimer::start), Qt::QueuedConnection);
    });

    idleCheckTimer_ = new QTimer(this);
    idleCheckTimer_->setObjectName(QStringLiteral("IdleCheckTimer"));
    idleCheckTimer_->setSingleShot(true);
    idleCheckTimer_->setInterval(kIdleCheckTimerMs);
    fw2Timer_ = new QTimer(this);
    fw2Timer_->setObjectName(QStringLiteral("FW2Timer"));
    fw2Timer_->setSingleShot(true);
    fw2Timer_->setInterval(kFw2TimerMs);

    // Log lines from any thread land here, in order, on the GUI thread.
    kv::LogChannel::Instance().SetWakeUp(
        [this] { QMetaObject::invokeMethod(this, &TMainForm::DrainLog, Qt::QueuedConnection); });
}

TMainForm::~TMainForm() {
    kv::LogChannel::Instance().SetWakeUp({});
    deferred_.SetArmTimer({});
    cameraControl_.reset();  // its threads stop before the focuser goes
}

// ---------------------------------------------------------------- building

QWidget* TMainForm::Control(std::string_view name) const { return findChild<QWidget*>(Q(name)); }

void TMainForm::BuildUi() {
    central_ = new QWidget(this);
    setCentralWidget(central_);

    pc1_ = new QTabWidget(central_);
    pc1_->setObjectName(QStringLiteral("PC1"));
    pc1_->addTab(BuildExposurePage(), QStringLiteral("Exposure Control"));
    pc1_->addTab(BuildManualFocusPage(), QStringLiteral("Manual Focus"));
    pc1_->addTab(BuildAutoFocusPage(), QStringLiteral("Auto Focus"));
    pc1_->addTab(BuildSettingsPage(), QStringLiteral("Status/Settings"));
    pc1_->addTab(BuildTempPage(), QStringLiteral("Temp Control"));
    // Shown only once the temperature unit answers.
    pc1_->setTabVisible(TempControl, false);
    auto* lay = new QVBoxLayout(central_);
    lay->setContentsMargins(2, 2, 2, 0);
    lay->addWidget(pc1_);

    BuildFocusPanel();
    BuildReadOutPanel();

    auto* bar = statusBar();
    bar->setObjectName(QStringLiteral("StatusBar1"));
    bar->setSizeGripEnabled(false);
    for (int i = 0; i < 3; ++i) {
        statusPanels_[i] = new QLabel(bar);
        statusPanels_[i]->setObjectName(QStringLiteral("StatusPanel%1").arg(i));
        statusPanels_[i]->setFixedWidth(kStatusPanelWidths[i]);
        statusPanels_[i]->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        bar->addWidget(statusPanels_[i], i == 2 ? 1 : 0);
    }

    connect(pc1_, &QTabWidget::currentChanged, this, &TMainForm::PC1Change);
    connect(settingsPC_, &QTabWidget::currentChanged, this, &TMainForm::SettingsPCChange);
}

QWidget* TMainForm::BuildExposurePage() {
    auto* page = new QWidget;
    page->setObjectName(QStringLiteral("ExposureControl"));
    auto* scroll = new QScrollArea(page);
    scroll->setObjectName(QStringLiteral("ImageScrollBox"));
    scroll->setGeometry(6, 6, 540, 400);
    scroll->setBackgroundRole(QPalette::Dark);
    auto* display = new QLabel;
    display->setObjectName(QStringLiteral("ImageDisplay"));
    display->setFixedSize(510, 384);
    display->setStyleSheet(QStringLiteral("background: black; border: 1px inset gray;"));
    scroll->setWidget(display);
    scroll->setAlignment(Qt::AlignCenter);

    auto* get = new QPushButton(QStringLiteral("Get Image"), page);
    get->setObjectName(QStringLiteral("GetImageButton"));
    get->setGeometry(6, 414, 100, 28);
    get->setEnabled(false);
    auto* progress = new QProgressBar(page);
    progress->setObjectName(QStringLiteral("DNProgress"));
    progress->setGeometry(114, 418, 170, 20);
    progress->setRange(0, 100);
    progress->setValue(0);
    progress->setTextVisible(false);

    auto* stretch = new TRadioGroup(QStringLiteral("Image Stretch"), {"None", "Manual", "Auto"}, 3, page);
    stretch->setObjectName(QStringLiteral("ImageStretchRG"));
    stretch->setGeometry(6, 448, 278, 46);
    stretch->SetItemIndex(2);

    const struct {
        const char* name;
        const char* caption;
        int min, max, value;
    } sliders[] = {{"ImageMinTB", "Black", 10, 65535, 100},
                   {"ImageMaxTB", "White", 100, 65535, 65535},
                   {"ImageGammaTB", "Gamma", 1, 30, 10}};
    int y = 414;
    for (const auto& s : sliders) {
        auto* label = new QLabel(QString::fromLatin1(s.caption), page);
        label->setGeometry(296, y, 50, 22);
        auto* tb = new QSlider(Qt::Horizontal, page);
        tb->setObjectName(QString::fromLatin1(s.name));
        tb->setRange(s.min, s.max);
        tb->setValue(s.value);
        tb->setGeometry(346, y, 200, 22);
        tb->setEnabled(false);
        y += 28;
    }
    return page;
}

QWidget* TMainForm::BuildManualFocusPage() {
    auto* page = new QWidget;
    page->setObjectName(QStringLiteral("ManualFocus"));
    return page;
}

QWidget* TMainForm::BuildAutoFocusPage() {
    auto* page = new QWidget;
    page->setObjectName(QStringLiteral("AutoFocus"));
    return page;
}

QWidget* TMainForm::BuildTempPage() {
    auto* page = new QWidget;
    page->setObjectName(QStringLiteral("TempControl"));
    return page;
}

QWidget* TMainForm::BuildSettingsPage() {
    // Parented at once so the tabs can find the table-built controls by name.
    auto* page = new QWidget(central_);
    page->setObjectName(QStringLiteral("StatusSettings"));
    // Every settings control exists once, built from the settings table; the
    // tabs below only place them.
    for (const auto& setting : kv::SettingSpecs()) {
        // Read-only keys steer other controls (InterruptsLite shows IntLite) and have none of their own.
        if (!setting.control.empty() && setting.written) settings_ui::CreateControl(setting, page);
    }

    settingsPC_ = new QTabWidget(page);
    settingsPC_->setObjectName(QStringLiteral("SettingsPC"));
    settingsPC_->addTab(BuildStatusTab(), QStringLiteral("Status"));
    settingsPC_->addTab(BuildDevicePortsTab(), QStringLiteral("Device/Ports"));
    settingsPC_->addTab(BuildCameraControlTab(), QStringLiteral("Camera Control"));
    settingsPC_->addTab(BuildFocuserControlTab(), QStringLiteral("Focuser Control"));

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
    connect(updateButton_, &QPushButton::clicked, this, &TMainForm::UpdatePgmParametersButtonClick);
    connect(saveButton_, &QPushButton::clicked, this, &TMainForm::SaveSettingsButtonClick);
    connect(revertButton_, &QPushButton::clicked, this, &TMainForm::RevertSavedButtonClick);
    connect(factoryButton_, &QPushButton::clicked, this, &TMainForm::FactoryDefaultsButtonClick);

    auto* lay = new QVBoxLayout(page);
    lay->setContentsMargins(4, 4, 4, 4);
    lay->addWidget(settingsPC_, 1);
    lay->addWidget(settingsButtons_);
    return page;
}

QWidget* TMainForm::BuildStatusTab() {
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
    progControls->insertWidget(1, timestampCB_);

    connect(progLogCB_, &QCheckBox::toggled, this, [](bool on) { kv::ProgramLog::Instance().logging = on; });
    connect(timestampCB_, &QCheckBox::toggled, this, [](bool on) { kv::ProgramLog::Instance().timestamp = on; });
    // Changing a log switch is a settings change the user may want to keep.
    connect(progLogCB_, &QCheckBox::clicked, this, [this] { saveButton_->setVisible(true); });
    connect(comLogCB_, &QCheckBox::clicked, this, [this] {
        saveButton_->setVisible(true);
        if (focusControl_) focusControl_->SetLogCommands(comLogCB_->isChecked());
    });
    return tab;
}

QWidget* TMainForm::BuildDevicePortsTab() {
    auto* tab = new QWidget;
    tab->setObjectName(QStringLiteral("DevicePortsTab"));
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
    for (const char* name : {"ComPortRG", "ParPortRG"}) {
        auto* w = Control(name);
        w->setParent(tab);
        ports->addWidget(w, name == std::string_view("ComPortRG") ? 3 : 1, Qt::AlignTop);
    }
    v->addLayout(ports);

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
    connect(about, &QPushButton::clicked, this, &TMainForm::AboutButtonClick);
    sv->addWidget(about);
    sv->addStretch();
    misc->addWidget(startup);
    misc->addStretch();
    v->addLayout(misc);
    v->addStretch();

    connect(focuserCombo, &QComboBox::activated, this, [this](int) { FocuserComboBoxChange(); });
    connect(focuserCombo, &TDropDownComboBox::dropDown, this, &TMainForm::FocuserComboBoxDropDown);
    return tab;
}

QWidget* TMainForm::BuildCameraControlTab() {
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
            if (qobject_cast<QCheckBox*>(w) != nullptr) form->addRow(w);
            else form->addRow(settings_ui::LabelFor(*setting), w);
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

QWidget* TMainForm::BuildFocuserControlTab() {
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
    right->addWidget(temp);
    right->addStretch();
    cols->addLayout(right, 1);
    v->addStretch();
    return tab;
}

void TMainForm::BuildFocusPanel() {
    focusPanel_ = new QFrame(central_);
    focusPanel_->setObjectName(QStringLiteral("FocusPanel"));
    auto* frame = static_cast<QFrame*>(focusPanel_);
    frame->setFrameStyle(QFrame::Panel | QFrame::Raised);
    frame->setAutoFillBackground(true);
    focusPanel_->setGeometry(kClientWidth - kFocusPanelWidth - 4, 26, kFocusPanelWidth, 520);

    auto* v = new QVBoxLayout(focusPanel_);
    v->setContentsMargins(6, 6, 6, 6);
    v->setSpacing(3);

    auto* head = new QHBoxLayout;
    head->addWidget(new QLabel(QStringLiteral("Focus Frame"), focusPanel_));
    head->addStretch();
    head->addWidget(new QLabel(QStringLiteral("Camera Busy"), focusPanel_));
    cameraBusyLight_ = new kv::TlumLite(focusPanel_);
    cameraBusyLight_->setObjectName(QStringLiteral("CameraBusyLight"));
    cameraBusyLight_->SetOnColor(kv::ColorFromTColor(250859));
    cameraBusyLight_->SetOffColor(kv::ColorFromTColor(30583));
    head->addWidget(cameraBusyLight_);
    v->addLayout(head);

    auto* display = new QLabel(focusPanel_);
    display->setObjectName(QStringLiteral("FocusDisplayPanel"));
    display->setFixedSize(130, 130);
    display->setStyleSheet(QStringLiteral("background: black; border: 1px inset gray;"));
    v->addWidget(display, 0, Qt::AlignHCenter);

    auto* figures = new QGridLayout;
    const char* names[] = {"FWHM", "xFWHM", "yFWHM", "Peak", "HFD"};
    for (int i = 0; i < 5; ++i) {
        figures->addWidget(new QLabel(QString::fromLatin1(names[i]), focusPanel_), i, 0);
        auto* value = new QLabel(QStringLiteral("--"), focusPanel_);
        value->setObjectName(QStringLiteral("%1Value").arg(QString::fromLatin1(names[i])));
        value->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        value->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        figures->addWidget(value, i, 1);
    }
    auto* fom = new QLabel(QStringLiteral("FWHM"), focusPanel_);
    fom->setObjectName(QStringLiteral("FOMLabel"));
    fom->setStyleSheet(QStringLiteral("font-weight: bold;"));
    figures->addWidget(new QLabel(QStringLiteral("Figure of Merit"), focusPanel_), 5, 0);
    figures->addWidget(fom, 5, 1);
    v->addLayout(figures);

    const struct {
        const char* name;
        const char* label;
        const char* caption;
        int min, max, value;
    } sliders[] = {{"ExposureMS", "ExposeTimeLabel", "Expose Time = 0.50", 0, 2000, 1000},
                   {"FocusGain", "FocusGainLabel", "Focus Gain = 1.0", 1, 40, 10},
                   {"Magnification", "MagLabel", "Magnification = 1x", 1, 3, 1},
                   {"FWHMFactor", "FWHMFactorLabel", "FWHM Factor = 1x", 1, 3, 1}};
    for (const auto& s : sliders) {
        auto* caption = Caption(QString::fromLatin1(s.caption), focusPanel_);
        caption->setObjectName(QString::fromLatin1(s.label));
        v->addWidget(caption);
        auto* slider = new QSlider(Qt::Horizontal, focusPanel_);
        slider->setObjectName(QString::fromLatin1(s.name));
        slider->setRange(s.min, s.max);
        slider->setValue(s.value);
        v->addWidget(slider);
    }
    v->addStretch();
    auto* intRow = new QHBoxLayout;
    intLabel_ = new QLabel(QStringLiteral("Hardware Interrupts State"), focusPanel_);
    intLabel_->setObjectName(QStringLiteral("IntLabel"));
    intLite_ = new kv::TlumLite(focusPanel_);
    intLite_->setObjectName(QStringLiteral("IntLite"));
    intRow->addWidget(intLabel_);
    intRow->addWidget(intLite_);
    intRow->addStretch();
    v->addLayout(intRow);
    intLabel_->hide();
    intLite_->hide();
    focusPanel_->raise();
}

void TMainForm::BuildReadOutPanel() {
    readOutPanel_ = new QFrame(central_);
    readOutPanel_->setObjectName(QStringLiteral("ReadOutPanel"));
    auto* frame = static_cast<QFrame*>(readOutPanel_);
    frame->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    frame->setAutoFillBackground(true);
    readOutPanel_->setGeometry(10, 45, 170, 250);
    auto* v = new QVBoxLayout(readOutPanel_);
    auto* caption = new QLabel(QStringLiteral("Focuser Position"), readOutPanel_);
    caption->setObjectName(QStringLiteral("FocusPositionLabel"));
    caption->setAlignment(Qt::AlignCenter);
    v->addWidget(caption);
    auto* position = new QLabel(QStringLiteral("0"), readOutPanel_);
    position->setObjectName(QStringLiteral("CTSLabel"));
    position->setAlignment(Qt::AlignCenter);
    position->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    QFont big = position->font();
    big.setPointSize(20);
    big.setBold(true);
    position->setFont(big);
    position->setStyleSheet(QStringLiteral("background: black; color: lime;"));
    v->addWidget(position);
    auto* lamps = new QHBoxLayout;
    for (const char* name : {"InLite", "MovingLite", "OutLite"}) {
        auto* lamp = new kv::TlumLite(readOutPanel_);
        lamp->setObjectName(QString::fromLatin1(name));
        lamps->addWidget(lamp);
    }
    v->addLayout(lamps);
    auto* samplesA = new QLabel(QStringLiteral("Number of Samples"), readOutPanel_);
    auto* samplesB = new QLabel(QStringLiteral("per Focus Measurement"), readOutPanel_);
    auto* samples = new QSpinBox(readOutPanel_);
    samples->setObjectName(QStringLiteral("FocusSamples"));
    samples->setRange(1, 30);
    samples->setValue(5);
    auto* progress = new QProgressBar(readOutPanel_);
    progress->setObjectName(QStringLiteral("ProgressBar2"));
    progress->setTextVisible(false);
    for (QWidget* w : std::initializer_list<QWidget*>{samplesA, samplesB, samples, progress}) v->addWidget(w);
    v->addStretch();
    readOutPanel_->hide();
}

// ---------------------------------------------------------------- start-up

void TMainForm::TraceStartup() {
    const kv::SystemFacts facts = kv::ReadSystemFacts();
    kv::TraceDiag("Diagnostic Trace Initiated " + NowText());
    kv::TraceDiag("");
    kv::TraceDiag("Windows Version: " + facts.versionText);
    kv::TraceDiag("Windows Directory: " + facts.systemDirectory);
    kv::TraceDiag(std::string("Kessivane Version: ") + KV_VERSION);
    kv::TraceDiag(kv::FileExists(programFolder_ + "kantrel") ? "Kantrel Version: " KV_VERSION
                                                             : "Kantrel not installed");
    for (const auto& line : kv::MemoryTraceLines(facts)) kv::TraceDiag(line);
    for (const auto& line : kv::FileCheckTraceLines(facts.systemDirectory, programFolder_)) kv::TraceDiag(line);
}

bool TMainForm::VerifyAndDumpIniFiles() {
    for (const char* name : {kv::kSettingsFileName, kv::kCatalogueFileName}) {
        const std::string path = programFolder_ + name;
        if (!kv::FileExists(path)) {
            const std::string text = path + " could not be found";
            kv::TraceDiag(text);
            dialogs_.Show(text, kv::DialogType::Error, kv::DialogButtons::Ok);
            return false;
        }
        kv::TraceDiag(" ------------------------------- ");
        kv::TraceDiag(path + " follows:");
        std::ifstream in(path, std::ios::binary);
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            kv::TraceDiag(line);
        }
    }
    kv::TraceDiag(" ------------------------------- ");
    kv::TraceDiag(" ");
    return true;
}

bool TMainForm::FormCreate() {
    // A Linux system is never of the old Windows family; the flag stays for
    // the interrupt-state messages that test it.
    isWin9x_ = false;

    std::vector<std::string> args;
    for (const auto& a : arguments_) args.push_back(a.toStdString());
    std::vector<const char*> argv;
    for (const auto& a : args) argv.push_back(a.c_str());
    if (kv::IsDiagnosticSwitch(static_cast<int>(argv.size()), argv.data())) {
        kv::SetDiagnosticMode(true);
        // The external logger is ours to start; wait (briefly) until it
        // listens, or the first trace lines would go nowhere.
        if (QProcess::startDetached(QString::fromStdString(programFolder_ + "kessivane-msg"), {})) {
            DbusBroadcastBus::WaitForLogger(kLoggerStartMs);
        }
    }

    if (kv::DiagnosticMode()) {
        TraceStartup();
        if (auto cpu = kv::ReadProcessorFacts()) {
            for (const auto& line : kv::ProcessorTraceLines(*cpu)) kv::TraceDiag(line);
            if (!cpu->hasCpuid || !cpu->hasTsc) {
                dialogs_.Show(kv::kCpuMessage, kv::DialogType::Error, kv::DialogButtons::Ok);
            }
        }
        if (!VerifyAndDumpIniFiles()) return false;
    }

    kv::TraceDiag("Creating Main Form");
    pc1_->setCurrentIndex(ExposureControl);
    settingsPC_->setCurrentIndex(StatusTab);
    UpdateSettingsButtons();
    readOutPanel_->move(10, 45);

    kv::TraceDiag("Instantiating CameraControl class");
    cameraControl_ = std::make_unique<kv::TCameraControl>(engineDialogs_, programFolder_);
    // Camera threads report here; the lamp is changed on the GUI thread.
    cameraControl_->SetOnBusyChange([this](auto&, bool idle) {
        QMetaObject::invokeMethod(this, [this, idle] { cameraBusyLight_->SetLit(!idle); }, Qt::QueuedConnection);
    });

    kv::TraceDiag("Checking INI files");
    if (!kv::FileExists(programFolder_ + kv::kCatalogueFileName)) {
        dialogs_.Show("The FOCUSERS.INI file is missing!  \r\n\r\nThe program will shut down so you can correct the problem.",
                      kv::DialogType::Error, kv::DialogButtons::Ok);
        return false;
    }
    FocuserComboBoxDropDown();

    iniPath_ = programFolder_ + kv::kSettingsFileName;
    std::error_code noEntry;
    // Anything at the path (a file that cannot be read, a folder) is the
    // user's and is never replaced by the factory file.
    if (!std::filesystem::exists(iniPath_, noEntry)) {
        dialogs_.Show("KESSIVANE.INI is missing....  A factory default INI is being installed",
                      kv::DialogType::Information, kv::DialogButtons::Ok);
        move(1, 1);
        const auto written = kv::WriteFactorySettings(iniPath_);
        if (!written.ok) {
            kv::WriteProgramLog(written.message);
            dialogs_.Show(written.message, kv::DialogType::Error, kv::DialogButtons::Ok);
        }
    }
    kv::TraceDiag("INI Path: " + programFolder_);

    kv::TraceDiag("Scanning for Camera Plug-ins");
    plugins_ = kv::ScanForPlugins(programFolder_);
    if (auto* cameras = qobject_cast<QComboBox*>(Control("CameraComboBox"))) {
        cameras->clear();
        for (const auto& name : plugins_.names) cameras->addItem(QString::fromStdString(name));
    }

    kv::TraceDiag("Instantiating FocuserControl class");
    focusControl_ = std::make_unique<kv::TFocusControl>(engineDialogs_);

    LoadSettingsFile();

    kv::TraceDiag("Beginning parameter update");
    UpdatePgmParametersButtonClick();
    return true;
}

void TMainForm::ApplyWindowPosition(const kv::Settings& s) {
    if (s.savePosition) move(s.left, s.top);
    const bool showInterrupts = s.interruptsLite != 0;
    intLabel_->setVisible(showInterrupts);
    intLite_->setVisible(showInterrupts);
}

// ---------------------------------------------------------------- settings

kv::Settings TMainForm::CurrentSettings() const {
    return settings_ui::FromControls(const_cast<TMainForm*>(this), loaded_);
}

void TMainForm::SaveSettingsButtonClick() {
    const auto result = kv::WriteSettings(iniPath_, CurrentSettings());
    if (!result.ok) {
        kv::WriteProgramLog(result.message);
        dialogs_.Show(result.message, kv::DialogType::Error, kv::DialogButtons::Ok);
        return;
    }
    dialogs_.Show("Settings file has been updated with new parameters", kv::DialogType::Information,
                  kv::DialogButtons::Ok);
}

void TMainForm::RevertSavedButtonClick() { LoadSettingsFile(); }

void TMainForm::LoadSettingsFile() {
    const kv::IniFile ini = kv::IniFile::Load(iniPath_);
    if (!ini.Loaded() && ini.Exists()) {
        // Reading on as if empty would quietly show every default; the user
        // must know the file was not used, and the file stays as it is
        // (later saves refuse to replace it too).
        const std::string text = "The settings file " + iniPath_ + " could not be read, so its settings are not used (" +
                                 ini.LoadError() + "). The file has been left as it is.";
        kv::WriteProgramLog(text);
        dialogs_.Show(text, kv::DialogType::Error, kv::DialogButtons::Ok);
    }
    loaded_ = kv::ReadSettings(ini);
    settings_ui::ToControls(this, loaded_);
    ApplyWindowPosition(loaded_);
    RememberFocuserIndex();
}

void TMainForm::RememberFocuserIndex() {
    savedFocuserIndex_ = qobject_cast<QComboBox*>(Control("FocuserComboBox"))->currentIndex();
}

void TMainForm::FactoryDefaultsButtonClick() {
    kv::Settings s = kv::FactoryDefaultsButtonValues();
    // Window positions and read-only keys are not part of the factory values.
    s.left = loaded_.left;
    s.top = loaded_.top;
    s.tcLeft = loaded_.tcLeft;
    s.tcTop = loaded_.tcTop;
    s.interruptsLite = loaded_.interruptsLite;
    settings_ui::ToControls(this, s);
    if (auto* camera = qobject_cast<QComboBox*>(Control("CameraComboBox"))) {
        camera->setCurrentIndex(-1);
        camera->setEditText(QString());
    }
    move(1, 1);
    RememberFocuserIndex();
}

void TMainForm::UpdatePgmParametersButtonClick() {
    kv::TraceDiag(" ");
    kv::TraceDiag("Entering parameter update method");
    kv::ProgramLog::Instance().logging = progLogCB_->isChecked();
    if (sender() == updateButton_) {
        dialogs_.Show("Parameters have been updated", kv::DialogType::Information, kv::DialogButtons::Ok);
    }
    kv::TraceDiag("Leaving parameter update method");
    kv::TraceDiag(" ");
}

void TMainForm::FocuserComboBoxDropDown() {
    auto* combo = qobject_cast<QComboBox*>(Control("FocuserComboBox"));
    const QString current = combo->currentText();
    const QSignalBlocker block(combo);
    combo->clear();
    for (const auto& name : kv::CatalogueModelNames(programFolder_ + kv::kCatalogueFileName)) {
        combo->addItem(QString::fromStdString(name));
    }
    // Refilling must not lose the choice the user sees.
    combo->setCurrentIndex(combo->findText(current, Qt::MatchExactly | Qt::MatchCaseSensitive));
    // Taken after the refill: a catalogue edited meanwhile may have moved the model.
    RememberFocuserIndex();
}

void TMainForm::FocuserComboBoxChange() {
    auto* combo = qobject_cast<QComboBox*>(Control("FocuserComboBox"));
    const auto answer = dialogs_.Show(kv::kFocuserChangeQuestion, kv::DialogType::Confirmation,
                                      kv::DialogButtons::YesNo);
    if (answer != kv::DialogResult::Yes) {
        const QSignalBlocker block(combo);
        combo->setCurrentIndex(savedFocuserIndex_);
        return;
    }
    const std::string name = combo->currentText().toStdString();
    kv::Settings s = CurrentSettings();
    kv::ApplyCatalogueModel(programFolder_ + kv::kCatalogueFileName, name, s);
    // Only the model's own values: rewriting every control would, for one,
    // move the camera list to the last of two equal names.
    settings_ui::ToControls(this, s, kv::kCatalogueKeys);
    QWidget* group = Control("FocuserParametersGB");
    group->setVisible(kv::FocuserParametersGroupVisible(name, !group->isHidden()));
    RememberFocuserIndex();
}

// ---------------------------------------------------------------- pages

void TMainForm::PC1Change(int index) {
    if (index != ExposureControl) keptPanel2_ = statusPanels_[2]->text();
    for (auto* p : statusPanels_) p->clear();
    readOutPanel_->setVisible(index == ManualFocus || index == AutoFocus || index == TempControl);
    const bool settingsOffStatus = index == StatusSettings && settingsPC_->currentIndex() != StatusTab;
    focusPanel_->setVisible(index != TempControl && !settingsOffStatus);
    if (index == ExposureControl && !keptPanel2_.isEmpty()) statusPanels_[2]->setText(keptPanel2_);
    UpdateSettingsButtons();
    focusPanel_->raise();
    readOutPanel_->raise();
}

void TMainForm::SettingsPCChange(int index) {
    UpdateSettingsButtons();
    if (pc1_->currentIndex() == StatusSettings) focusPanel_->setVisible(index == StatusTab);
}

void TMainForm::UpdateSettingsButtons() {
    const bool show = settingsPC_->currentIndex() != StatusTab;
    for (auto* b : {updateButton_, saveButton_, revertButton_, factoryButton_}) b->setVisible(show);
}

QString TMainForm::StatusPanelText(int panel) const { return statusPanels_[panel]->text(); }

QString TMainForm::AboutTCText(kv::TFocusControl* focuser) {
    // Asked afresh: the firmware is read nowhere else, and a hub that has gone
    // away since start-up must show as unavailable. Each exchange is bounded
    // (one second), and a closed port answers at once.
    if (focuser != nullptr && focuser->GetTCAvail()) {
        const std::string firmware = focuser->GetTCFirmwareVersion();
        return QStringLiteral("TC/Guider Firmware Version ") + QString::fromStdString(firmware.size() > 1 ? firmware.substr(1) : std::string());
    }
    return QStringLiteral("TC/Guider Unavailable");
}

void TMainForm::AboutButtonClick() {
    if (cameraControl_ && cameraControl_->ContinuousFocus()) return;
    if (about_ == nullptr) about_ = new TSplashForm(this);
    about_->SetAutoClose(false);
    about_->SetTCText(AboutTCText(focusControl_.get()));
    if (aboutShown_) aboutShown_(*about_);
    about_->exec();
}

// ---------------------------------------------------------------- logs

void TMainForm::DrainLog() {
    for (auto& line : kv::LogChannel::Instance().TakePending()) {
        const QString text = QString::fromStdString(line.text);
        switch (line.channel) {
            case kv::kComLog: comLogMemo_->Add(text); break;
            case kv::kProgramLog: logMemo_->Add(text); break;
            case kv::kStatusBar: statusPanels_[0]->setText(QStringLiteral(" ") + text); break;
            default: break;
        }
    }
}

void TMainForm::SaveLogClick(kv::TlumMemo* memo) {
    QString name;
    if (saveFileName_) {
        name = saveFileName_();
    } else {
        QFileDialog dialog(this, QStringLiteral("Save Log File"), QString(),
                           QStringLiteral("Log Data Files (*.txt);;All Files (*.*)"));
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setDefaultSuffix(QStringLiteral("txt"));
        // Asked below, once the name carries the extension it is saved under.
        dialog.setOption(QFileDialog::DontConfirmOverwrite);
        if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()) name = dialog.selectedFiles().first();
    }
    if (name.isEmpty()) return;
    // A name typed without an extension gets the log's own, before the
    // overwrite question, so the question names the file that is written.
    if (QFileInfo(name).suffix().isEmpty()) name += QStringLiteral(".txt");
    if (QFileInfo::exists(name)) {
        const QString question = QStringLiteral("%1 already exists.\r\nDo you want to replace it?").arg(name);
        if (dialogs_.Show(question.toStdString(), kv::DialogType::Confirmation, kv::DialogButtons::YesNo) !=
            kv::DialogResult::Yes) {
            return;
        }
    }
    QFile file(name);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        dialogs_.Show(QStringLiteral("Could not save the log to %1: %2").arg(name, file.errorString()).toStdString(),
                      kv::DialogType::Error, kv::DialogButtons::Ok);
        return;
    }
    for (const QString& line : memo->Lines()) {
        file.write(line.toUtf8());
        file.write("\r\n");
    }
    if (!file.flush()) {
        dialogs_.Show(QStringLiteral("Could not save the log to %1: %2").arg(name, file.errorString()).toStdString(),
                      kv::DialogType::Error, kv::DialogButtons::Ok);
    }
}

// ---------------------------------------------------------------- close

bool TMainForm::FormCloseQuery() {
    if (!focusControl_) return true;
    if (disconnectButton_->text() == QStringLiteral("Connect Camera")) cameraReleased_ = true;
    focusControl_->StopMove();
    focusControl_->CancelMovement();
    focusControl_->ResetPosition();
    // Give the motor up to half a second to come to rest; stop waiting as soon as it has.
    QElapsedTimer waited;
    waited.start();
    while (!focusControl_->GetIdle() && waited.elapsed() < kCloseIdleWaitMs) QThread::msleep(10);
    if (!focusControl_->GetIdle()) {
        dialogs_.Show("Kessivane cannot shut down while the focuser is moving!", kv::DialogType::Warning,
                      kv::DialogButtons::Ok);
        dialogs_.Beep();
        cameraReleased_ = false;
        return false;
    }
    return true;
}

void TMainForm::FormClose() {
    if (focusControl_ && !iniPath_.empty()) {
        const auto saved = kv::SaveWindowPosition(iniPath_, x(), y());
        if (!saved.ok) kv::WriteProgramLog(saved.message);
    }
    msgBoxTimer_->stop();
    idleCheckTimer_->stop();
    fw2Timer_->stop();
    // The camera goes first: its threads may still ask the focuser.
    if (cameraControl_) cameraControl_->SetFocuserIdle({});
    cameraControl_.reset();
    focusControl_.reset();
    kv::TraceDiag("Kessivane closed down: " + NowText());
}

void TMainForm::closeEvent(QCloseEvent* event) {
    if (closing_) {
        event->accept();
        return;
    }
    if (!FormCloseQuery()) {
        event->ignore();
        return;
    }
    closing_ = true;
    FormClose();
    event->accept();
}
