// Kessivane: focuses a telescope.
//
// Command line: "/D" or "/d" as the first argument turns the diagnostic trace on.
// Linux additions: --simulate (use the simulated observatory),
// --screenshot FILE (save a picture of the main window once it is up, then close;
// used where there is no one at the screen, so message boxes answer themselves),
// --show PAGE[/TAB] (open a page, and a settings tab, by caption; "Focus history"
// opens that window, and a screenshot is then of it),
// --tour PREFIX (with --simulate: take an image, pick a star, focus a little,
// save PREFIX-exposure-control.png and PREFIX-manual-focus.png, print the
// figures, then close; unattended like --screenshot; on factory settings in
// a folder of its own).
#include <QApplication>
#include <QDBusConnection>
#include <QDir>
#include <QEventLoop>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "app/dbus_broadcast_bus.h"
#include "app/kv_application.h"
#include "app/focus_history.h"
#include "app/main_form.h"
#include "app/scripting_service.h"
#include "app/qt_dialogs.h"
#include "app/simulated_tour.h"
#include "app/splash_form.h"
#include "shell/focuser_catalogue.h"
#include "shell/log_channel.h"
#include "shell/program_folder.h"
#include "shell/settings_store.h"
#include "sim/observatory.h"
#include "sim/sim_devices.h"

namespace {

constexpr int kScreenshotDelayMs = 1500;
// How far from best focus the simulated telescope starts, in focuser steps:
// enough that a newcomer sees the star sharpen as they focus.
constexpr std::int64_t kSimulatedDefocusSteps = 150;

constexpr const char* kUsage =
    "Usage: kessivane [/D] [options]\n"
    "Focuses a telescope: drives the focuser, takes focus frames, finds best focus\n"
    "and keeps it as the night cools.\n"
    "\n"
    "  /D                  narrate start-up to the diagnostic trace (kessivane-msg)\n"
    "  --simulate          run on the simulated observatory (camera, hub and sky)\n"
    "  --show PAGE[/TAB]   open a page (and a settings tab) by its caption, e.g.\n"
    "                      --show \"Status/Settings/Focuser Control\"\n"
    "  --screenshot FILE   save a picture of the main window (or of the Focus history\n"
    "                      window opened by --show) once it is up, then close\n"
    "  --tour PREFIX       with --simulate: take an image, pick a star, focus with both\n"
    "                      auto-focus methods, print the figures, save pictures under\n"
    "                      PREFIX, then close; it runs on factory settings of its\n"
    "                      own and leaves yours and your focus history as they were\n"
    "  --version           print the version and exit\n"
    "  --help, -h          print this help and exit\n"
    "\n"
    "Settings: Kessivane.ini in the program folder when it is writable, else in\n"
    "$XDG_CONFIG_HOME/kessivane/ (KESSIVANE_HOME names one folder for everything).\n"
    "Scripting: kessivanectl; the hub companion: kessivane-hub.\n";

QString OptionValue(const QStringList& args, const QString& name) {
    const int i = args.indexOf(name);
    return (i >= 0 && i + 1 < args.size()) ? args[i + 1] : QString();
}

bool IsHistory(const QString& setting) { return setting.compare(QStringLiteral("Focus history"), Qt::CaseInsensitive) == 0; }

void ShowPageByCaption(TMainForm& form, const QString& setting) {
    if (IsHistory(setting)) {
        form.ShowFocusHistory();
        return;
    }
    const QStringList parts = setting.split(QLatin1Char('/'));
    auto select = [](QTabWidget* tabs, const QString& caption) {
        for (int i = 0; i < tabs->count(); ++i) {
            if (tabs->tabText(i).compare(caption, Qt::CaseInsensitive) == 0) tabs->setCurrentIndex(i);
        }
    };
    // "Status/Settings" is itself a caption with a slash.
    if (setting.startsWith(QStringLiteral("Status/Settings"), Qt::CaseInsensitive)) {
        form.PageControl()->setCurrentIndex(TMainForm::StatusSettings);
        const QString rest = setting.mid(QStringLiteral("Status/Settings").size() + 1);
        if (!rest.isEmpty()) select(form.SettingsPages(), rest);
        return;
    }
    select(form.PageControl(), parts.value(0));
}

}  // namespace

int main(int argc, char** argv) {
    // Answered before the application object, which needs a display.
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg(argv[i]);
        if (arg == "--version") {
            std::printf("Kessivane %s\n", KV_VERSION);
            return 0;
        }
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
    }
    KvApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Kessivane"));
    const QStringList args = QApplication::arguments();
    const QString screenshot = OptionValue(args, QStringLiteral("--screenshot"));
    const QString showPage = OptionValue(args, QStringLiteral("--show"));
    const QString tour = OptionValue(args, QStringLiteral("--tour"));
    const bool simulate = args.contains(QStringLiteral("--simulate"));

    const std::string folder = kv::ProgramFolder();
    std::string userFolder = kv::UserFolder();
    // A tour's choices, runs and learned curves are not the user's: it runs
    // on the factory settings in a folder of its own, gone when it ends, so
    // the next start finds the user's settings and focus history untouched.
    std::optional<QTemporaryDir> tourFolder;
    if (!tour.isEmpty() && simulate) {
        tourFolder.emplace(QDir::tempPath() + QStringLiteral("/kessivane-tour-XXXXXX"));
        const std::string own = tourFolder->path().toStdString() + "/";
        const kv::WriteResult written =
            tourFolder->isValid() ? kv::WriteFactorySettings(own + kv::kSettingsFileName)
                                  : kv::WriteResult{false, "No folder for the tour's settings could be made in " +
                                                               QDir::tempPath().toStdString()};
        if (!written.ok) {
            std::fprintf(stderr, "%s\n", written.message.c_str());
            return 1;
        }
        userFolder = own;
    }
    QtDialogs dialogs;
    if (!screenshot.isEmpty() || !tour.isEmpty()) dialogs.SetUnattended(true);
    app.SetDialogs(&dialogs);

    // The simulated observatory answers on "sim:" devices ([Ports] COMn=sim:hub, sim:robofocus, sim:optec).
    if (simulate) {
        kvsim::InstallSimulatedPorts();
        kvsim::Observatory& sky = kvsim::Observatory::Instance();
        sky.SetTruePosition(std::llround(sky.BestFocus()) - kSimulatedDefocusSteps);
        // Play in the simulated focuser's drive, to try the backlash overshoot on.
        if (const char* backlash = std::getenv("KESSIVANE_SIM_BACKLASH")) {
            sky.SetBacklash(std::strtoll(backlash, nullptr, 10));
            if (sky.Backlash() > 0) std::printf("Simulated focuser backlash: %lld steps\n", static_cast<long long>(sky.Backlash()));
        }
    }

    DbusBroadcastBus bus;
    if (DbusBroadcastBus::Available()) kv::SetBroadcastBus(&bus);

    // The splash is skipped when asked, and whenever a settings file is
    // missing, so the main window's own checks can say what is wrong at once.
    const std::string iniPath = userFolder + kv::kSettingsFileName;
    bool noSplash = true;
    if (kv::FileExists(iniPath) && kv::FileExists(folder + kv::kCatalogueFileName)) {
        noSplash = kv::ReadSettings(iniPath).noSplashScreen;
    }
    bool splashDone = noSplash;
    TSplashForm splash;
    if (!noSplash) {
        splash.SetAutoClose(true);
        splash.SetOnDone([&splashDone] { splashDone = true; });
        splash.show();
        splash.repaint();
    }

    int status = 0;
    {
        TMainForm form(dialogs, folder, args);
        dialogs.SetWindow(&form);
        form.SetUnattended(!screenshot.isEmpty() || !tour.isEmpty());
        form.SetUserFolder(userFolder);
        if (!form.FormCreate()) {
            kv::SetBroadcastBus(nullptr);
            return 1;
        }
        // Scripts reach the running program on the session bus; without one
        // (or with the name taken by another Kessivane) it runs without them.
        QString scriptingError;
        if (!RegisterScripting(form, QDBusConnection::sessionBus(), &form, &scriptingError)) {
            kv::WriteProgramLog("Scripting interface not available: " + scriptingError.toStdString());
        }
        // The hub companion's requests and the camera drivers' reports, once
        // the focuser they ask about is there.
        QObject::connect(&bus, &DbusBroadcastBus::received, &form,
                         [&form](const QString& message, qint64 wparam, qint64 lparam, const QString&,
                                 qint64 senderPid) { form.OnBroadcast(message, wparam, lparam, senderPid); });
        if (!splashDone) splash.WaitUntilDone();
        form.show();
        if (!showPage.isEmpty()) ShowPageByCaption(form, showPage);

        if (!screenshot.isEmpty()) {
            QTimer::singleShot(kScreenshotDelayMs, &form, [&form, &screenshot, &showPage] {
                QWidget* shown = IsHistory(showPage) ? static_cast<QWidget*>(form.FocusHistory()) : &form;
                const bool ok = shown->grab().save(screenshot);
                std::printf(ok ? "Screenshot of the main window saved to %s\n"
                               : "Could not save the screenshot to %s\n",
                            screenshot.toLocal8Bit().constData());
                std::fflush(stdout);
                form.close();
            });
        }
        if (!tour.isEmpty() && simulate) {
            auto* run = new TSimulatedTour(form, tour);
            QObject::connect(run, &TSimulatedTour::finished, &form, [&form, &status](bool ok) {
                status = ok ? 0 : 2;
                form.close();
            });
            run->Start();
        }
        const int loopStatus = QApplication::exec();
        if (status == 0) status = loopStatus;
    }
    kv::SetBroadcastBus(nullptr);
    return status;
}
