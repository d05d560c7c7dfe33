#include "app/main_form.h"
#include "app/chart_style.h"
#include "app/focus_history.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDialog>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QTextEdit>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QShortcut>
#include <QShowEvent>
#include <QScreen>
#include <QGuiApplication>
#include <QChart>
#include <QChartView>
#include <QLegend>
#include <QAbstractAxis>
#include <QScatterSeries>
#include <QXYSeries>
#include <QSlider>
#include <QSpinBox>
#include <QStatusBar>
#include <QTabWidget>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <atomic>
#include <csignal>
#include <exception>
#include <thread>
#include <filesystem>
#include <limits>
#include <memory>
#include <mutex>
#include <unistd.h>
#include <fstream>
#include <unordered_map>

#include "app/auto_focus_page.h"
#include "app/dbus_broadcast_bus.h"
#include "platform/device_wait.h"
#include "app/exposure_page.h"
#include "app/focus_panel.h"
#include "app/focusing_view.h"
#include "app/refocus_watch.h"
#include "app/manual_focus_page.h"
#include "app/radio_group.h"
#include "app/read_out_panel.h"
#include "app/settings_page.h"
#include "app/temp_page.h"
#include "app/tc_window.h"
#include "app/settings_binder.h"
#include "app/splash_form.h"
#include "focuser/focuser_factory.h"
#include "platform/clock.h"
#include "platform/broadcast.h"
#include "shell/port_map.h"
#include "shell/diagnostics.h"
#include "shell/focuser_catalogue.h"
#include "shell/log_channel.h"
#include "shell/program_folder.h"
#include "shell/settings_store.h"
#include "shell/window_rules.h"
#include "widgets/lum_lbl.h"
#include "widgets/lum_lite.h"
#include "widgets/lum_memo.h"
#include "widgets/night_vision.h"
#include "widgets/tcolor.h"

namespace {

constexpr int kWaitBoxDelayMs = 300;
// At the window's end, how long a plug-in call the user gave up on is waited for.
constexpr int kAbandonedCallJoinMs = 10000;

// A device's wait (a camera plug-in reaching its camera, a network focuser
// connecting) runs on a worker while the GUI thread goes on painting. Input is
// held back meanwhile: the window is in the middle of an update. A wait long
// enough to be noticed gets a box that says what it is for and takes the only
// input there is, its Cancel.
kv::DeviceWaitEnd WaitForDevice(QWidget* window, const kv::DeviceWaitCall& call) {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr || QThread::currentThread() != app->thread()) {
        call.work();
        return kv::DeviceWaitEnd::Done;
    }
    // Shared with the worker, which a cancel may leave running after this returns.
    struct Shared {
        std::mutex mutex;
        QEventLoop* loop = nullptr;
        std::atomic<bool> done{false};
        std::exception_ptr failure;
    };
    auto shared = std::make_shared<Shared>();
    QEventLoop loop;
    shared->loop = &loop;
    std::thread worker([shared, work = call.work]() mutable {
        try {
            work();
        } catch (...) {
            shared->failure = std::current_exception();
        }
        work = nullptr;  // what it holds goes with the call, not with the thread's end
        std::lock_guard lock(shared->mutex);
        shared->done.store(true);
        if (shared->loop != nullptr) QMetaObject::invokeMethod(shared->loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    QTimer::singleShot(kWaitBoxDelayMs, &loop, &QEventLoop::quit);
    if (!shared->done.load()) loop.exec(QEventLoop::ExcludeUserInputEvents);
    bool cancelled = false;
    if (!shared->done.load()) {
        QDialog box(window != nullptr && window->isVisible() ? window : nullptr);
        box.setObjectName(QStringLiteral("DeviceWaitBox"));
        box.setWindowTitle(QStringLiteral("Kessivane"));
        box.setWindowModality(Qt::ApplicationModal);
        auto* layout = new QVBoxLayout(&box);
        auto* text = new QLabel(QStringLiteral("Waiting for %1 to answer...").arg(QString::fromStdString(call.what)), &box);
        text->setObjectName(QStringLiteral("DeviceWaitText"));
        layout->addWidget(text);
        auto* cancel = new QPushButton(QStringLiteral("Cancel"), &box);
        cancel->setObjectName(QStringLiteral("DeviceWaitCancel"));
        layout->addWidget(cancel, 0, Qt::AlignHCenter);
        const auto giveUp = [&] {
            cancelled = true;
            loop.quit();
        };
        QObject::connect(cancel, &QPushButton::clicked, &box, giveUp);
        QObject::connect(&box, &QDialog::rejected, &box, giveUp);  // Escape, or the box's close button
        box.show();
        while (!shared->done.load() && !cancelled) loop.exec();
        box.hide();
    }
    if (cancelled && !shared->done.load()) {
        if (!call.abort) {
            // A call that cannot be cut short owns what it uses; it is kept
            // to be joined at the end, never left to a destroyed loop.
            {
                std::lock_guard lock(shared->mutex);
                shared->loop = nullptr;
            }
            kv::AdoptDeviceWaitWorker(std::move(worker), std::shared_ptr<const std::atomic<bool>>(shared, &shared->done));
            return kv::DeviceWaitEnd::Cancelled;
        }
        call.abort();
        while (!shared->done.load()) loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
    worker.join();
    {
        std::lock_guard lock(shared->mutex);
        shared->loop = nullptr;
    }
    if (shared->failure) std::rethrow_exception(shared->failure);
    return cancelled ? kv::DeviceWaitEnd::Cancelled : kv::DeviceWaitEnd::Done;
}

constexpr int kLoggerStartMs = 3000;
constexpr int kFw2TimerMs = 500;
constexpr int kStatusPanelWidths[3] = {300, 250, 50};

QString Q(std::string_view s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

std::string NowText() { return kv::FormatDateTime(std::chrono::system_clock::now()); }

}  // namespace

TMainForm::TMainForm(kv::IDialogs& dialogs, std::string programFolder, QStringList arguments, QWidget* parent)
    : QMainWindow(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                              Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint |
                              Qt::WindowCloseButtonHint),
      dialogs_(dialogs),
      programFolder_(std::move(programFolder)),
      userFolder_(programFolder_),
      arguments_(std::move(arguments)) {
    setObjectName(QStringLiteral("MainForm"));
    setWindowTitle(QStringLiteral("Kessivane"));
    kv::SetDeviceWaitHandler([this](const kv::DeviceWaitCall& call) { return WaitForDevice(this, call); });
    BuildUi();
    setMinimumSize(kClientWidth, kClientHeight);
    resize(kClientWidth, kClientHeight);
    // Application-wide, so it also reaches the compensation window and any box shown.
    auto* night = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_N), this);
    night->setObjectName(QStringLiteral("NightVisionKey"));
    night->setContext(Qt::ApplicationShortcut);
    connect(night, &QShortcut::activated, this, &TMainForm::NightVisionKey);

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
    idleCheckTimer_->setInterval(kv::kIdleCheckTimerMs);
    connect(idleCheckTimer_, &QTimer::timeout, tempPage_, &TTempPage::IdleCheckTimerTimer);
    fw2Timer_ = new QTimer(this);
    fw2Timer_->setObjectName(QStringLiteral("FW2Timer"));
    fw2Timer_->setSingleShot(true);
    fw2Timer_->setInterval(kFw2TimerMs);
    focusing_ = std::make_unique<TFocusingView>(*this);
    refocusWatch_ = new TRefocusWatch(*this, *focusing_, this);

    // Log lines from any thread land here, in order, on the GUI thread.
    kv::LogChannel::Instance().SetWakeUp(
        [this] { QMetaObject::invokeMethod(this, &TMainForm::DrainLog, Qt::QueuedConnection); });
    qApp->installEventFilter(this);
}

TMainForm::~TMainForm() {
    if (!closingEmitted_) emit notices_.closing();
    emit notices_.focuserGoing();
    kv::SetDeviceWaitHandler({});
    qApp->removeEventFilter(this);
    if (const int left = kv::JoinDeviceWaitWorkers(kAbandonedCallJoinMs); left > 0) {
        kv::WriteProgramLog(std::to_string(left) + " cancelled camera plug-in call(s) had still not returned at the end");
    }
    CloseHelpViewer();
    kv::LogChannel::Instance().SetWakeUp({});
    deferred_.SetArmTimer({});
    focusing_.reset();  // its worker uses the camera and the focuser
    exposurePage_->DetachImages();
    cameraControl_.reset();  // its threads stop before the focuser goes
    tempPage_->FocuserGoing();
}

// ---------------------------------------------------------------- building

QWidget* TMainForm::Control(std::string_view name) const { return findChild<QWidget*>(Q(name)); }

void TMainForm::BuildUi() {
    central_ = new QWidget(this);
    setCentralWidget(central_);

    pc1_ = new QTabWidget(central_);
    pc1_->setObjectName(QStringLiteral("PC1"));
    // Parented at once so that pages can find each other's controls by name.
    exposurePage_ = new TExposurePage(*this, pc1_);
    manualFocusPage_ = new TManualFocusPage(*this, pc1_);
    autoFocusPage_ = new TAutoFocusPage(*this, pc1_);
    settingsPage_ = new TSettingsPage(*this, pc1_);
    // Before the Temp Control page, which fills it.
    tcWindow_ = std::make_unique<TTCWindow>();
    tempPage_ = new TTempPage(*this, pc1_);
    pc1_->addTab(exposurePage_, QStringLiteral("Exposure Control"));
    pc1_->addTab(manualFocusPage_, QStringLiteral("Manual Focus"));
    pc1_->addTab(autoFocusPage_, QStringLiteral("Auto Focus"));
    pc1_->addTab(settingsPage_, QStringLiteral("Status/Settings"));
    pc1_->addTab(tempPage_, QStringLiteral("Temp Control"));
    // Shown only once the temperature unit answers.
    pc1_->setTabVisible(TempControl, false);
    auto* lay = new QVBoxLayout(central_);
    lay->setContentsMargins(2, 2, 2, 0);
    lay->addWidget(pc1_);

    focusPanel_ = new TFocusPanel(*this, central_);
    readOutPanel_ = new TReadOutPanel(*this, central_);
    focusPanel_->raise();

    auto* bar = statusBar();
    bar->setObjectName(QStringLiteral("StatusBar1"));
    bar->setSizeGripEnabled(false);
    for (int i = 0; i < 3; ++i) {
        statusPanels_[i] = new QLabel(bar);
        statusPanels_[i]->setObjectName(QStringLiteral("StatusPanel%1").arg(i));
        // The last panel takes the rest of the bar, as the selected star's text needs.
        if (i < 2) statusPanels_[i]->setFixedWidth(kStatusPanelWidths[i]);
        else statusPanels_[i]->setMinimumWidth(kStatusPanelWidths[i]);
        statusPanels_[i]->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        bar->addWidget(statusPanels_[i], i == 2 ? 1 : 0);
    }
    chosenPanelWidth_[0] = kStatusPanelWidths[0];
    chosenPanelWidth_[1] = kStatusPanelWidths[1];

    connect(pc1_, &QTabWidget::currentChanged, this, &TMainForm::PageChanged);
    connect(SettingsPages(), &QTabWidget::currentChanged, this, &TMainForm::SettingsPCChange);
    connect(settingsPage_->DisconnectButton(), &QPushButton::clicked, this, &TMainForm::DisconnectButtonClick);
    if (auto* interlock = findChild<QCheckBox*>(QStringLiteral("SBIGInterlockCB"))) {
        connect(interlock, &QCheckBox::clicked, this, [this] { SetStatusPanel(2, QString()); });
    }
}

QTabWidget* TMainForm::SettingsPages() const { return settingsPage_->Tabs(); }
kv::TlumMemo* TMainForm::LogMemo() const { return settingsPage_->LogMemo(); }
kv::TlumMemo* TMainForm::ComLogMemo() const { return settingsPage_->ComLogMemo(); }

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
    for (const std::string& path :
         {userFolder_ + kv::kSettingsFileName, programFolder_ + kv::kCatalogueFileName}) {
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

    AdoptProgramFolderSettings();
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
    SettingsPages()->setCurrentIndex(StatusTab);
    UpdateSettingsButtons();
    readOutPanel_->move(10, 45);

    kv::TraceDiag("Instantiating CameraControl class");
    cameraControl_ = std::make_unique<kv::TCameraControl>(engineDialogs_, programFolder_);
    // Camera threads report here; the lamp is changed on the GUI thread.
    cameraControl_->SetOnBusyChange([this](auto&, bool idle) {
        QMetaObject::invokeMethod(this, [this, idle] { focusPanel_->CameraBusyLight()->SetLit(!idle); }, Qt::QueuedConnection);
    });

    kv::TraceDiag("Checking INI files");
    if (!kv::FileExists(programFolder_ + kv::kCatalogueFileName)) {
        dialogs_.Show("The FOCUSERS.INI file is missing!  \r\n\r\nThe program will shut down so you can correct the problem.",
                      kv::DialogType::Error, kv::DialogButtons::Ok);
        return false;
    }
    FocuserComboBoxDropDown();

    iniPath_ = userFolder_ + kv::kSettingsFileName;
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
    kv::TraceDiag("INI Path: " + userFolder_);

    kv::TraceDiag("Scanning for Camera Plug-ins");
    plugins_ = kv::ScanForPlugins(programFolder_);
    if (auto* cameras = qobject_cast<QComboBox*>(Control("CameraComboBox"))) {
        cameras->clear();
        for (const auto& name : plugins_.names) cameras->addItem(QString::fromStdString(name));
    }

    kv::TraceDiag("Instantiating FocuserControl class");
    focusControl_ = kv::CreateFocusControl(kv::FocuserKind::JMI, engineDialogs_);

    LoadSettingsFile();
    tcWindow_->Place(frameGeometry(), loaded_.tcLeft, loaded_.tcTop);
    if (arguments_.contains(QStringLiteral("--simulate"))) ChooseSimulatedObservatory();

    kv::TraceDiag("Beginning parameter update");
    UpdatePgmParameters(false);
    RestoreWindowLayout();
    return true;
}

void TMainForm::AdoptProgramFolderSettings() {
    // The program folder is not the user's (it cannot be written to), but a
    // settings file there is still the one the user set up: it is copied to
    // where changes can be saved, never replaced by the factory file.
    const std::string mine = userFolder_ + kv::kSettingsFileName;
    const std::string shipped = programFolder_ + kv::kSettingsFileName;
    std::error_code ec;
    if (userFolder_ == programFolder_ || std::filesystem::exists(mine, ec) || !kv::FileExists(shipped)) return;
    std::filesystem::copy_file(shipped, mine, ec);
    const std::string text =
        ec ? "The settings file " + shipped + " is in a folder you cannot write to, and it could not be copied to " +
                 mine + " (" + ec.message() + "). Check that folder's permissions, or set KESSIVANE_HOME to a folder you can write to."
           : "The settings file " + shipped + " is in a folder you cannot write to. Its settings are used, and from now on "
                 "settings are read from and saved to " + mine + ".";
    kv::WriteProgramLog(text);
    dialogs_.Show(text, ec ? kv::DialogType::Error : kv::DialogType::Information, kv::DialogButtons::Ok);
}

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
    const kv::SettingsReading reading = kv::ReadSettingsReporting(ini);
    if (!reading.unreadableLines.empty()) {
        const std::string text = kv::UnreadableSettingsText(iniPath_, reading.unreadableLines);
        kv::WriteProgramLog(text);
        dialogs_.Show(text, kv::DialogType::Warning, kv::DialogButtons::Ok);
    }
    loaded_ = reading.settings;
    settings_ui::ToControls(this, loaded_);
    settingsPage_->AllowControlCB()->setChecked(kv::ReadAllowOtherPrograms(ini));
    settingsPage_->ReadOwnSettings(ini);
    tempPage_->ReadOwnSettings(ini);
    autoFocusPage_->ReadOwnSettings(ini);
    focusPanel_->ReadOwnSettings(ini);
    if (refocusWatch_ != nullptr) refocusWatch_->ReadOwnSettings(ini);
    ApplyWindowPosition(loaded_);
    RememberFocuserIndex();
}

bool TMainForm::AllowOtherPrograms() const { return settingsPage_->AllowControlCB()->isChecked(); }

void TMainForm::AllowOtherProgramsClick(bool on) {
    const auto saved = kv::SaveAllowOtherPrograms(iniPath_, on);
    if (!saved.ok) {
        kv::WriteProgramLog(saved.message);
        dialogs_.Show(saved.message, kv::DialogType::Error, kv::DialogButtons::Ok);
    }
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
    // The model's step stands in for a step size the user has not set.
    autoFocusPage_->SetFocuserModel(name);
    QWidget* group = Control("FocuserParametersGB");
    group->setVisible(kv::FocuserParametersGroupVisible(name, !group->isHidden()));
    RememberFocuserIndex();
}

// ---------------------------------------------------------------- pages

void TMainForm::PageChanged(int index) {
    const int leaving = currentPage_;
    if (index == leaving) return;
    if (!PC1Changing(leaving)) return;
    currentPage_ = index;
    PC1Change(index, leaving);
}

bool TMainForm::PC1Changing(int leaving) {
    kv::PageGuardState state;
    state.continuousFocus = cameraControl_ && cameraControl_->ContinuousFocus();
    state.autoCompensation = tempPage_->AutoCompensating();
    const kv::PageLeave verdict = kv::LeavingPage(leaving == ManualFocus, leaving == TempControl, state);
    // The tab control has already switched when it tells us; a refused change
    // is undone before the box shows, so the page never appears to change.
    if (!verdict.allowed) {
        const QSignalBlocker block(pc1_);
        pc1_->setCurrentIndex(leaving);
    }
    if (verdict.warning != nullptr) {
        dialogs_.Show(verdict.warning, kv::DialogType::Warning, kv::DialogButtons::Ok);
        dialogs_.Beep();
    }
    return verdict.allowed;
}

void TMainForm::PC1Change(int index, int leaving) {
    // Kept from the page that shows the star, so a walk through several other
    // pages does not replace it with their empty panel.
    if (leaving == ExposureControl) keptPanel2_ = statusPanels_[2]->text();
    for (auto* p : statusPanels_) p->clear();
    FitStatusPanels();
    readOutPanel_->setVisible(index == ManualFocus || index == AutoFocus || index == TempControl);
    const bool settingsOffStatus = index == StatusSettings && SettingsPages()->currentIndex() != StatusTab;
    focusPanel_->setVisible(index != TempControl && !settingsOffStatus);
    if (index == ExposureControl && state_.starSelected) SetStatusPanel(2, keptPanel2_);
    UpdateSettingsButtons();
    focusPanel_->raise();
    readOutPanel_->raise();
    if (leaving == TempControl) tempPage_->TempControlHide();
    if (index == TempControl) tempPage_->TempControlShow();
}

void TMainForm::SettingsPCChange(int index) {
    UpdateSettingsButtons();
    if (pc1_->currentIndex() == StatusSettings) focusPanel_->setVisible(index == StatusTab);
}

void TMainForm::UpdateSettingsButtons() {
    settingsPage_->ShowSettingsButtons(SettingsPages()->currentIndex() != StatusTab);
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
            case kv::kComLog: ComLogMemo()->Add(text); break;
            case kv::kProgramLog:
                LogMemo()->Add(text, line.kind == kv::LogKind::Trace ? kv::TlumMemo::LineKind::Trace
                                                                     : kv::TlumMemo::LineKind::Result);
                break;
            case kv::kStatusBar: statusPanels_[0]->setText(QStringLiteral(" ") + text); break;
            default: break;
        }
    }
}

QString TMainForm::AskSaveFileName(const QString& caption, const QString& filter, const QString& suffix,
                                   const QString& folder) {
    QString name;
    if (saveFileName_) {
        name = saveFileName_(caption, filter, suffix, folder);
    } else {
        QFileDialog dialog(this, caption, folder, filter);
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setDefaultSuffix(suffix);
        // A name typed without an extension takes the one of the file type
        // chosen ("FITS Files (*.fits *.fit *.fts)": fits).
        connect(&dialog, &QFileDialog::filterSelected, &dialog, [&dialog](const QString& chosen) {
            const qsizetype star = chosen.indexOf(QLatin1String("*."));
            if (star < 0) return;
            qsizetype end = star + 2;
            while (end < chosen.size() && chosen[end].isLetterOrNumber()) ++end;
            dialog.setDefaultSuffix(chosen.mid(star + 2, end - star - 2));
        });
        // Asked below, once the name carries the extension it is saved under.
        dialog.setOption(QFileDialog::DontConfirmOverwrite);
        if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()) name = dialog.selectedFiles().first();
    }
    if (name.isEmpty()) return {};
    // A name typed without an extension gets the default one before the
    // overwrite question, so the question names the file that is written.
    if (QFileInfo(name).suffix().isEmpty()) name += QLatin1Char('.') + suffix;
    if (QFileInfo::exists(name)) {
        const QString question = QStringLiteral("%1 already exists.\r\nDo you want to replace it?").arg(name);
        if (dialogs_.Show(question.toStdString(), kv::DialogType::Confirmation, kv::DialogButtons::YesNo) !=
            kv::DialogResult::Yes) {
            return {};
        }
    }
    return name;
}

void TMainForm::SetSaveFileNameProvider(std::function<QString()> provider) {
    saveFileName_ = [provider = std::move(provider)](const QString&, const QString&, const QString&, const QString&) {
        return provider ? provider() : QString();
    };
}

// ---------------------------------------------------------------- close

bool TMainForm::FormCloseQuery() {
    // A scan or search would start its next move after the stop below.
    focusing_->CancelAndJoin();
    if (!focusControl_) return true;
    if (settingsPage_->DisconnectButton()->text() == QStringLiteral("Connect Camera")) cameraReleased_ = true;
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
    closingEmitted_ = true;
    emit notices_.closing();
    if (focusControl_ && !iniPath_.empty()) {
        SaveWindowLayout();
    }
    msgBoxTimer_->stop();
    idleCheckTimer_->stop();
    fw2Timer_->stop();
    tempPage_->StopTimers();
    tcWindow_->hide();
    if (focusHistory_) focusHistory_->hide();
    CloseHelpViewer();
    // The camera goes first: its threads may still ask the focuser.
    if (cameraControl_) cameraControl_->SetFocuserIdle({}), cameraControl_->SetFocuserAtExposure({});
    exposurePage_->DetachImages();
    cameraControl_.reset();
    tempPage_->FocuserGoing();
    emit notices_.focuserGoing();
    focusControl_.reset();
    kv::TraceDiag("Kessivane closed down: " + NowText());
}

bool TMainForm::ConfirmCloseWhileBusy() {
    const TFocusingView::Procedure procedure = focusing_->RunningProcedure();
    const bool compensating = tempPage_->AutoCompensating();
    if (unattended_ || (procedure == TFocusingView::Procedure::None && !compensating)) return true;
    const char* text = procedure == TFocusingView::Procedure::Scan        ? kv::kCloseDuringScanText
                       : procedure == TFocusingView::Procedure::AutoFocus ? kv::kCloseDuringAutoFocusText
                                                                          : kv::kCloseDuringCompensationText;
    if (dialogs_.Show(text, kv::DialogType::Confirmation, kv::DialogButtons::YesNo) != kv::DialogResult::Yes) {
        return false;
    }
    tempPage_->StopCompensation();
    if (!focusing_->Running()) return true;
    focusing_->Runner().Cancel();
    // The procedure's last reports and the window's painting go on while it
    // winds down; input waits, so nothing new starts meanwhile.
    QElapsedTimer waited;
    waited.start();
    QEventLoop loop;
    QTimer poll;
    connect(&poll, &QTimer::timeout, &loop, [&] {
        if (!focusing_->Running() || waited.elapsed() >= kCloseProcedureWaitMs) loop.quit();
    });
    poll.start(20);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    if (focusing_->Running()) {
        kv::WriteProgramLog("The " + std::string(procedure == TFocusingView::Procedure::Scan ? "scan" : "auto focus") +
                            " had not ended " + std::to_string(kCloseProcedureWaitMs / 1000) +
                            " s after it was cancelled; Kessivane closes anyway.");
    }
    return true;
}

void TMainForm::closeEvent(QCloseEvent* event) {
    if (closing_) {
        event->accept();
        return;
    }
    // A second close while the first one asks or waits is the same request.
    if (askingToClose_) {
        event->ignore();
        return;
    }
    askingToClose_ = true;
    const bool confirmed = ConfirmCloseWhileBusy();
    askingToClose_ = false;
    if (!confirmed) {
        event->ignore();
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

// ---------------------------------------------------------------- shared

std::string TMainForm::FocusLogPath() const { return userFolder_ + kv::kFocusLogFileName; }

TFocusHistoryWindow* TMainForm::FocusHistory() {
    if (!focusHistory_) {
        focusHistory_ = std::make_unique<TFocusHistoryWindow>(*this);
        connect(focusHistory_.get(), &TFocusHistoryWindow::runsForCalibration, tempPage_, &TTempPage::AddRunPoints);
    }
    return focusHistory_.get();
}

void TMainForm::ShowFocusHistory() {
    TFocusHistoryWindow* history = FocusHistory();
    history->Reload();
    history->show();
    history->raise();
    history->activateWindow();
}

void TMainForm::SetStatusPanel(int panel, const QString& text) {
    statusPanels_[panel]->setText(text);
    FitStatusPanels();
}

int TMainForm::StatusPanelWidth(int panel) const { return panel < 2 ? chosenPanelWidth_[panel] : statusPanels_[panel]->width(); }

void TMainForm::SetStatusPanelWidth(int panel, int width) {
    // The last panel takes the rest of the bar: only its least width is set.
    if (panel < 2) chosenPanelWidth_[panel] = width;
    if (panel < 2) statusPanels_[panel]->setFixedWidth(width);
    else statusPanels_[panel]->setMinimumWidth(width);
    FitStatusPanels();
}

void TMainForm::FitStatusPanels() {
    // The selected star's text in the last panel is longer than the rest of
    // the bar leaves it (a narrow window, a large font): the first panels give
    // up what their own texts do not need, so the star's value is never cut
    // at the window's edge.
    QLabel* last = statusPanels_[2];
    if (!last->isVisible()) return;
    constexpr int kTextMargin = 8;
    auto need = [](const QLabel* l) { return l->fontMetrics().horizontalAdvance(l->text()) + 2 * l->frameWidth() + kTextMargin; };
    int missing = need(last) - last->width();
    for (int i = 0; i < 2; ++i) missing -= statusPanels_[i]->maximumWidth() - chosenPanelWidth_[i];
    for (int i = 0; i < 2; ++i) {
        const int give = std::clamp(missing, 0, std::max(0, chosenPanelWidth_[i] - need(statusPanels_[i])));
        if (statusPanels_[i]->maximumWidth() != chosenPanelWidth_[i] - give) {
            statusPanels_[i]->setFixedWidth(chosenPanelWidth_[i] - give);
        }
        missing -= give;
    }
}

TPageLinks TMainForm::Links() const {
    return {exposurePage_, manualFocusPage_, autoFocusPage_, tempPage_, focusPanel_, readOutPanel_, tcWindow_.get()};
}

bool TMainForm::ProcedureRunning() const { return focusing_ != nullptr && focusing_->Running(); }

void TMainForm::GetFocusImage() { exposurePage_->GetFocusImage(); }

void TMainForm::DrawRoi() { exposurePage_->DrawRoi(); }

void TMainForm::StopContinuousFocus() {
    auto* button = findChild<QPushButton*>(QStringLiteral("ContFocus"));
    if (button != nullptr && button->isChecked()) {
        {
            const QSignalBlocker block(button);
            button->setChecked(false);
        }
        manualFocusPage_->ContFocusClick(false);
    }
    if (cameraControl_) cameraControl_->SetContinuousFocus(false);
}

void TMainForm::SetFocusingControlsEnabled(bool enabled) {
    for (const char* name : {"GetFocusImageButton", "GetFocusImageButton2", "ContFocus", "StartSearch",
                             "StartScanButton", "MoveLeftSB", "MoveRightSB", "MoveUpSB", "MoveDownSB"}) {
        if (auto* w = findChild<QWidget*>(QString::fromLatin1(name))) w->setEnabled(enabled);
    }
}

void TMainForm::SetStarSelected(bool selected) {
    state_.starSelected = selected;
    SetFocusingControlsEnabled(selected);
}

// ---------------------------------------------------------------- other programs

std::string TMainForm::PortDeviceFor(int number) const {
    const std::string mapped = kv::PortDeviceFromFile(iniPath_, number);
    if (!simulate_ || mapped.starts_with("sim:") || chosenPorts_.count(number) != 0) return mapped;
    // Under --simulate every port reaches the simulator that speaks the
    // chosen focuser's protocol, whatever a saved file maps it to.
    auto* combo = findChild<QComboBox*>(QStringLiteral("FocuserComboBox"));
    switch (kv::FocuserKindFromName(combo != nullptr ? combo->currentText().toStdString() : std::string())) {
        case kv::FocuserKind::JMI: return "sim:hub";
        case kv::FocuserKind::RoboFocus: return "sim:robofocus";
        case kv::FocuserKind::Optec: return "sim:optec";
        default: return mapped;
    }
}

bool TMainForm::ChoosePortDevice(int number, const std::string& device) {
    const kv::WriteResult saved =
        kv::SaveSettingValue(iniPath_, kv::kPortsSection, "COM" + std::to_string(number), device);
    if (!saved.ok) {
        kv::WriteProgramLog(saved.message);
        dialogs_.Show(saved.message, kv::DialogType::Error, kv::DialogButtons::Ok);
        return false;
    }
    chosenPorts_.insert(number);
    kv::WriteProgramLog("COM" + std::to_string(number) + " is now " + device + " (in the [Ports] section of " + iniPath_ + ")");
    return true;
}

void TMainForm::ChooseSimulatedObservatory() {
    simulate_ = true;
    // A camera the user named stays theirs; a start that names none gets the
    // simulated camera.
    auto* cameras = findChild<QComboBox*>(QStringLiteral("CameraComboBox"));
    const bool noCamera = loaded_.camera.empty() || loaded_.camera == "None";
    if (cameras == nullptr || cameras->currentIndex() >= 0 || !noCamera) return;
    for (std::size_t i = 0; i < plugins_.size(); ++i) {
        if (plugins_.names[i] == "Simulated CCD") cameras->setCurrentIndex(static_cast<int>(i));
    }
    kv::WriteProgramLog("Simulated observatory: the simulated camera, and the simulator of the chosen focuser on its COM port");
}
