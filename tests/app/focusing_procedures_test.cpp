// The focus scan and the auto-focus search in the real main window on the
// simulated observatory: they find the true best focus, and a cancel gives every control back.
#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QComboBox>
#include <QRegularExpression>
#include <QChart>
#include <QDir>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QLabel>
#include <QLineEdit>
#include <QLineSeries>
#include <QMessageBox>
#include <QProgressBar>
#include <QSlider>
#include <QSpinBox>
#include <QValueAxis>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
#include <QScatterSeries>

#include "app/aberration_panel.h"
#include "app/auto_focus_page.h"
#include "app/focus_history.h"
#include "app/focus_panel.h"
#include "app/focusing_view.h"
#include "app/manual_focus_page.h"
#include "app/radio_group.h"
#include "app/refocus_watch.h"
#include "app/scripting_service.h"
#include "focusing/focus_log.h"
#include "focusing/focus_scan.h"
#include "shell/window_rules.h"
#include "app_test_support.h"
#include "private_bus.h"
#include "shell/ini_file.h"
#include "shell/settings_store.h"
#include "sim/observatory.h"
#include "widgets/aberration_map.h"
#include "widgets/lum_memo.h"

using kvtest::ProcessEventsUntil;

namespace {

// How far from the true best focus a search or scan may end: a 7-sample
// reading's jitter is worth 4.5 steps, the search stops at a bracket of 12
// steps from 60, and the motor runs on. A wrong turn ends 40 or more off.
constexpr int kTolerance = 20;
// A tenth of the curve fit's 100-step start; a busy machine delays the motor's count.
constexpr int kCurveFitTolerance = 10;
constexpr int kRunOn = 5;  // counts the motor may run on after a move
constexpr int kSamples = 7;

const char* const kProcedureControls[] = {"ContFocus",    "GetFocusImageButton", "GetFocusImageButton2",
                                          "StartScanButton", "StartSearch",      "GetImageButton",
                                          "MoveToMinButton", "MoveMinSE",        "AboutButton",
                                          "Focus_OutBtn",    "Focus_InBtn"};

// The manual moves: locked for the whole of a scan or auto focus.
const char* const kMoveControls[] = {"In10", "In5", "In1", "Out1", "Out5", "Out10", "MoveByButton", "MoveToButton",
                                     "ResetButton"};

class FocusingProcedures : public kvtest::WindowTest {
protected:
    void SetUp() override {
        // Best focus stays put while the test runs.
        kvsim::Observatory::Instance().StartNight({.temperatureRateCPerHour = 0.0});
        WindowTest::SetUp();
        AddSimCamera();
        ASSERT_TRUE(Open());
        ASSERT_TRUE(window->State().cameraReady);
        window->show();
        // The default seeing model, with one fixed set of draws so a failure can be rerun.
        Camera([](KVSimCameraConfig& c) { c.Seed = 20240611; });
        Find<QSlider>("ExposureMS")->setValue(20);
        Find<QSpinBox>("FocusSamples")->setValue(kSamples);
    }
    void TearDown() override {
        window.reset();
        Camera([](KVSimCameraConfig& c) {
            c.Curve = KV_SIM_CURVE_V;
            c.SeeingJitter = 0.08;
        });
        kvsim::Observatory::Instance().SetBacklash(0);
        kvsim::Observatory::Instance().StartNight({});
    }
    // A hyperbolic focus curve and steadier seeing than the default.
    void Steady(double jitter = 0.01) {
        Camera([jitter](KVSimCameraConfig& c) {
            c.Curve = KV_SIM_CURVE_HYPERBOLA;
            c.SeeingJitter = jitter;
        });
    }
    void EmptyFrames(int count) {
        void* camera = dlopen(folder.File("sim_camera.so").c_str(), RTLD_NOW | RTLD_NOLOAD);
        ASSERT_NE(camera, nullptr);
        auto set = reinterpret_cast<KVSimCameraSetEmptyFramesProc>(dlsym(camera, "KVSimCamera_SetEmptyFrames"));
        ASSERT_NE(set, nullptr);
        set(count);
        dlclose(camera);
    }
    bool Enabled(const char* name) { return Find<QWidget>(name)->isEnabled(); }
    // The true distance of the focuser from best focus, in steps.
    static long FromBest() {
        const kvsim::Observatory& sky = kvsim::Observatory::Instance();
        return std::lround(static_cast<double>(sky.TruePosition()) - sky.BestFocus());
    }
    static void Defocus(long offset) {
        kvsim::Observatory& sky = kvsim::Observatory::Instance();
        sky.SetTruePosition(std::llround(sky.BestFocus()) + offset);
    }
    // Clicks `start` and waits until the procedure has ended and the window has
    // taken its last report; any manual move offered meanwhile is counted.
    bool Run(const char* start, int timeoutMs = 90000) {
        Find<QAbstractButton>(start)->click();
        return ProcessEventsUntil(
            [&] {
                if (window->Focusing()->Running()) {
                    for (const char* name : kMoveControls) movesOffered += Enabled(name) ? 1 : 0;
                }
                return !window->Focusing()->Running() && Enabled(start);
            },
            timeoutMs);
    }
    int movesOffered = 0;
    // Waits until no procedure runs, the focuser is idle and `control` is enabled.
    bool Ended(const char* control, int timeoutMs = 30000) {
        return ProcessEventsUntil([&] {
            return !window->Focusing()->Running() && window->FocusControl()->GetIdle() && Enabled(control);
        }, timeoutMs);
    }
    bool Logged(const QString& line) { return window->LogMemo()->Lines().contains(line); }
    bool LoggedStart(const QString& start) {
        for (const QString& line : window->LogMemo()->Lines()) {
            if (line.startsWith(start)) return true;
        }
        return false;
    }
    // Clicks "Auto Focus", waits for `stage`, clicks "Cancel": every control comes back.
    void CancelWhen(const std::function<bool()>& stage, const char* what) {
        SCOPED_TRACE(what);
        Find<QAbstractButton>("StartSearch")->click();
        ASSERT_TRUE(ProcessEventsUntil([&] { return stage() && Enabled("CancelSearch"); }, 120000));
        Find<QAbstractButton>("CancelSearch")->click();
        ASSERT_TRUE(Ended("Focus_InBtn"));
        EXPECT_FALSE(Enabled("CancelSearch"));
        if (window->AutoFocusPage()->MethodRG()->ItemIndex() == TAutoFocusPage::kCurveFitItem) {
            EXPECT_TRUE(window->StatusPanelText(0).endsWith(
                QStringLiteral("Auto focus cancelled; the focuser stays at position %1, where the search had taken it")
                    .arg(window->FocusControl()->CTSCount())))
                << window->StatusPanelText(0).toStdString();
        }
        for (const char* name : kProcedureControls) {
            // The scan's result controls wait for a scan.
            if (std::string_view(name) != "MoveToMinButton" && std::string_view(name) != "MoveMinSE") {
                EXPECT_TRUE(Enabled(name)) << name;
            }
        }
    }
    // The window's scripting service on a private bus named `name` (made when
    // given); false without a dbus-daemon.
    bool Serve(const char* name = nullptr) {
        if (name != nullptr) bus.emplace(QString::fromLatin1(name));
        QString why;
        if (bus->Up() && !RegisterScripting(*window, bus->Connection(), &*window, &why)) {
            ADD_FAILURE() << why.toStdString();
        }
        return bus->Up();
    }
    static QStringList Words(const char* line) { return QString::fromLatin1(line).split(QLatin1Char(' ')); }
    kvtest::PrivateBus::Run Ctl(const char* line) { return bus->RunTool(ctl, Words(line)); }
    // A command that must succeed.
    kvtest::PrivateBus::Run Ran(const char* line) {
        auto run = Ctl(line);
        EXPECT_EQ(run.exitCode, 0) << line << ": " << run.err.toStdString();
        return run;
    }
    // The error name a call on the window's Focuser or Focusing object gets.
    QString CallError(const char* object, const char* method, const QVariantList& args) {
        const char* path = std::string_view(object) == "Focuser" ? scripting::kFocuserPath : scripting::kFocusingPath;
        const QString service = QString::fromLatin1(scripting::kService);
        QDBusMessage call = QDBusMessage::createMethodCall(service, QString::fromLatin1(path),
                                                           QStringLiteral("org.kessivane.") + QLatin1String(object),
                                                           QString::fromLatin1(method));
        call.setArguments(args);
        return bus->Connection().call(call, QDBus::BlockWithGui).errorName();
    }
    static bool Finished(QProcess& p, int timeoutMs = kvtest::kBusLimitMs) {
        return ProcessEventsUntil([&] { return p.state() == QProcess::NotRunning; }, timeoutMs);
    }
    void ExpectRefused(const char* line, const char* why) {
        const auto run = Ctl(line);
        EXPECT_EQ(run.exitCode, 1) << line;
        EXPECT_TRUE(run.err.contains(QLatin1String(why))) << line << ": " << run.err.toStdString();
    }
    static QLineSeries* Series(QChart* chart) { return qobject_cast<QLineSeries*>(chart->series().first()); }
    static QValueAxis* Axis(QChart* chart, Qt::Orientation o) {
        return qobject_cast<QValueAxis*>(chart->axes(o).first());
    }

    const QString ctl = QStringLiteral("kessivanectl");
    std::optional<kvtest::PrivateBus> bus;
};

}  // namespace

TEST_F(FocusingProcedures, AutoFocusFindsBestFocusAndAScanAroundItAgrees) {
    // 60 steps out is beyond half a 100-step bracket: the search says so and stays.
    Defocus(-60);
    PickStar();
    auto* page = window->AutoFocusPage();
    ASSERT_TRUE(Run("StartSearch"));
    // Shown by the window's message timer, a moment after the search ended.
    EXPECT_TRUE(ProcessEventsUntil([&] { return dialogs.Saw(kv::kNotInRangeText); }));
    EXPECT_NEAR(FromBest(), -60, kRunOn);
    EXPECT_EQ(Series(page->PosChart())->count(), 3);

    // A 150-step bracket holds it.
    page->InitialStepRG()->SetItemIndex(5);
    EXPECT_EQ(Axis(page->PosChart(), Qt::Vertical)->min(), -150);
    EXPECT_EQ(Axis(page->QualityChart(), Qt::Horizontal)->max(), 15);
    Find<QAbstractButton>("StartSearch")->click();
    ASSERT_TRUE(ProcessEventsUntil([&] { return Enabled("CancelSearch"); }));
    EXPECT_EQ(window->StatusPanelWidth(0), kv::kSearchStatusPanelWidth);
    EXPECT_FALSE(Enabled("StartScanButton"));
    ASSERT_TRUE(ProcessEventsUntil([&] { return !window->Focusing()->Running() && Enabled("StartSearch"); }, 90000));
    EXPECT_LE(std::abs(FromBest()), kTolerance);
    EXPECT_EQ(window->StatusPanelText(0), QString::fromLatin1(kv::kSearchCompletePanelText));
    EXPECT_EQ(window->StatusPanelWidth(0), 300);
    const QString finalFocus = "Final Focus = " + Find<QLineEdit>("FOMEdit")->text();
    const double searchFom = Find<QLineEdit>("FOMEdit")->text().toDouble();
    EXPECT_TRUE(Logged(finalFocus)) << finalFocus.toStdString();
    QLineSeries* positions = Series(page->PosChart());
    ASSERT_GE(positions->count(), 7);
    const double bracket[] = {-150, 150, 0};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(positions->at(i).x(), i + 1);
        EXPECT_NEAR(positions->at(i).y(), bracket[i], kRunOn);
    }
    EXPECT_EQ(Series(page->QualityChart())->count(), positions->count());

    // A fine scan around where the search stopped, watched in the log's Results view.
    Find<QComboBox>("LogViewCombo")->setCurrentIndex(1);
    kv::TlumMemo* log = window->LogMemo();
    log->Clear();
    Find<QSpinBox>("StartScanSE")->setValue(-50);
    Find<QSpinBox>("ScanStepSE")->setValue(10);
    Find<QSpinBox>("NumStepsSE")->setValue(10);
    const long scanStart = FromBest();
    // Every frame the scan measures is kept, in a folder of its own.
    Find<QCheckBox>("SaveFocusFramesCB")->setChecked(true);
    ASSERT_TRUE(Run("StartScanButton"));
    QLineSeries* scan = Series(window->ManualFocusPage()->ScanChart());
    ASSERT_EQ(scan->count(), 11);
    const QDir frames(window->FocusPanel()->FocusFramesFolder());
    const QStringList runFolders = frames.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    ASSERT_EQ(runFolders.size(), 1);
    EXPECT_EQ(QDir(frames.filePath(runFolders[0])).entryList({QStringLiteral("*.fits")}, QDir::Files).size(), 11 * kSamples);
    EXPECT_TRUE(kv::IniFile::Load(window->IniPath()).GetBool("CameraControl", "SaveFocusFrames", false));
    ASSERT_TRUE(ProcessEventsUntil([&] { return log->ShownLines().filter("Scan complete").size() == 1; }));
    const QStringList shown = log->ShownLines();
    EXPECT_TRUE(shown.contains(kv::kStartingScanText));
    QStringList points;
    for (const QPointF& p : scan->points()) points << QString::asprintf(kv::kScanPointFormat, int(p.x()), p.y());
    static const QRegularExpression pointLine(QStringLiteral("^-?\\d+ \\d+\\.\\d{4}$"));
    EXPECT_EQ(shown.filter(pointLine), points);
    EXPECT_TRUE(shown.filter("Scan complete").first().startsWith(
        QStringLiteral("Scan complete: best focus at %1 (").arg(Find<QSpinBox>("MoveMinSE")->value())));
    // The trace of every frame is kept, not shown.
    for (const char* trace :
         {"In TImageObject.PutImage method", "In TimageObject.Update method", "Comupting LUT", "Image stats:"}) {
        EXPECT_TRUE(shown.filter(trace).isEmpty()) << trace;
        EXPECT_FALSE(log->Lines().filter(trace).isEmpty()) << trace;
    }
    // Each relative move may run on a little, and the run-ons add up.
    EXPECT_NEAR(scan->at(0).x(), -50, kRunOn);
    EXPECT_NEAR(scan->at(10).x(), 50, 10 * kRunOn);
    EXPECT_EQ(FromBest(), scanStart + window->FocusControl()->CTSCount());  // left at the last position
    const int best = Find<QSpinBox>("MoveMinSE")->value();
    EXPECT_LE(std::abs(scanStart + best), kTolerance);
    // Best holds wherever a scan can end up, beyond the start box's own range.
    const int farthest = Find<QSpinBox>("StartScanSE")->maximum() +
                         Find<QSpinBox>("NumStepsSE")->maximum() * Find<QSpinBox>("ScanStepSE")->maximum();
    EXPECT_GE(Find<QSpinBox>("MoveMinSE")->maximum(), farthest);
    EXPECT_LE(Find<QSpinBox>("MoveMinSE")->minimum(), -farthest);
    EXPECT_LE(std::abs(best), 2 * kTolerance);  // the search's end, seen by the scan
    for (const char* name : kProcedureControls) EXPECT_TRUE(Enabled(name)) << name;
    EXPECT_EQ(movesOffered, 0);
    ASSERT_TRUE(ProcessEventsUntil([&] { return window->FocusControl()->GetIdle(); }, 20000));
    for (const char* name : kMoveControls) EXPECT_TRUE(Enabled(name)) << name;

    Find<QAbstractButton>("MoveToMinButton")->click();
    ASSERT_TRUE(ProcessEventsUntil([&] { return !window->FocusControl()->GetIdle(); }, 2000));
    ASSERT_TRUE(ProcessEventsUntil([&] { return window->FocusControl()->GetIdle(); }, 20000));
    EXPECT_NEAR(FromBest(), scanStart + best, kRunOn);

    // One line a run in the focus log: the scan started where the auto focus ended.
    const std::vector<kv::FocusLogEntry> runs = kv::TFocusLog::Read(folder.File(kv::kFocusLogFileName));
    ASSERT_EQ(runs.size(), 3u) << folder.Read(kv::kFocusLogFileName);
    EXPECT_EQ(runs[0].outcome, "not in range");
    EXPECT_EQ(runs[0].reason.rfind("The optimum focus point does not appear to be within the specified range....", 0), 0u)
        << runs[0].reason;
    EXPECT_EQ(runs[1].procedure, "autofocus");
    EXPECT_EQ(runs[1].method, "golden section");
    EXPECT_EQ(runs[1].outcome, "completed");
    EXPECT_NEAR(runs[1].start, runs[0].final, kRunOn);
    EXPECT_GT(runs[1].frames, 7 * kSamples);
    ASSERT_TRUE(runs[1].figure);
    EXPECT_NEAR(*runs[1].figure, searchFom, 0.01);
    EXPECT_FALSE(runs[1].absoluteFinal);  // the hub only counts
    EXPECT_EQ(runs[2].procedure, "scan");
    EXPECT_NEAR(runs[2].start, runs[1].final, kRunOn);
    EXPECT_EQ(runs[2].final, runs[2].start + best);
    EXPECT_EQ(runs[2].frames, 11 * kSamples);
}

TEST_F(FocusingProcedures, ContinuousFocusAveragesCancelGivesEveryControlBackAndClosingDuringAScanAsks) {
    // A focus log that cannot be written is said once and stops nothing.
    std::filesystem::create_directory(folder.File(kv::kFocusLogFileName));
    Defocus(30);
    PickStar();
    auto* fomCaption = Find<QLabel>("FOMorAvgLabel");
    auto* fwhm = Find<QLineEdit>("FWHMEdit");

    // Continuous focus: the read-outs follow each frame, FOMEdit the mean of the last ten.
    Find<QAbstractButton>("ContFocus")->click();
    EXPECT_EQ(fomCaption->text(), "Average\n\r of 10");
    QStringList seen;
    ASSERT_TRUE(ProcessEventsUntil([&] {
        if (!fwhm->text().isEmpty() && !seen.contains(fwhm->text())) seen << fwhm->text();
        return window->FocusPanel()->FomAverage().Count() >= 3 && seen.size() >= 2;
    }, 20000));

    // A scan switches it off first; cancelled after its first point.
    auto* moveMin = Find<QSpinBox>("MoveMinSE");
    moveMin->setValue(70);
    Find<QAbstractButton>("StartScanButton")->click();
    EXPECT_FALSE(Find<QAbstractButton>("ContFocus")->isChecked());
    EXPECT_EQ(fomCaption->text(), "Figure\n\rof Merit");
    QLineSeries* scan = Series(window->ManualFocusPage()->ScanChart());
    ASSERT_TRUE(ProcessEventsUntil([&] { return scan->count() >= 1 && Enabled("ScanCancelButton"); }, 30000));
    Find<QAbstractButton>("ScanCancelButton")->click();
    // A move under way when the scan stopped runs to its end; the coarse buttons come back with it.
    ASSERT_TRUE(Ended("Focus_InBtn"));
    ASSERT_TRUE(ProcessEventsUntil([&] { return Enabled("MoveToMinButton"); }));
    EXPECT_TRUE(Logged(kv::kScanCancelledText));
    EXPECT_EQ(moveMin->value(), 70);
    EXPECT_FALSE(Enabled("ScanCancelButton"));
    for (const char* name : kProcedureControls) EXPECT_TRUE(Enabled(name)) << name;

    // The search, cancelled during its bracketing check.
    QLineSeries* positions = Series(window->AutoFocusPage()->PosChart());
    ASSERT_NO_FATAL_FAILURE(CancelWhen([&] { return positions->count() >= 1; }, "bracketing"));
    ProcessEventsUntil([] { return false; }, 200);  // nothing more arrives
    EXPECT_LE(positions->count(), 2);
    EXPECT_EQ(window->StatusPanelWidth(0), 300);
    EXPECT_EQ(Find<QProgressBar>("ProgressBar2")->value(), 0);
    for (const char* name : kMoveControls) EXPECT_TRUE(Enabled(name)) << name;  // given back on Cancel too
    for (const char* name : kProcedureControls) EXPECT_TRUE(Enabled(name)) << name;
    EXPECT_FALSE(Logged(kv::kInRangeText));

    Find<QSpinBox>("NumStepsSE")->setValue(1);
    ASSERT_TRUE(Run("StartScanButton"));
    EXPECT_EQ(Series(window->ManualFocusPage()->ScanChart())->count(), 2);  // it ran to its end
    const QStringList warned = window->LogMemo()->Lines().filter(QRegularExpression(QStringLiteral("^The focus log ")));
    EXPECT_EQ(warned.size(), 1) << warned.join(QLatin1Char('\n')).toStdString();
    EXPECT_TRUE(window->StatusPanelText(2).contains(QLatin1String(kv::kFocusLogFileName)));
    EXPECT_TRUE(window->StatusPanelText(2).contains(QStringLiteral("writable")));

    // Closing during a scan asks: No keeps both going; Yes cancels the scan, waits for it and closes.
    Find<QSpinBox>("NumStepsSE")->setValue(20);
    scan->clear();  // the last scan's points
    Find<QAbstractButton>("StartScanButton")->click();
    ASSERT_TRUE(ProcessEventsUntil([&] { return scan->count() >= 1 && Enabled("ScanCancelButton"); }, 30000));

    dialogs.answer = kv::DialogResult::No;
    EXPECT_FALSE(window->close());
    EXPECT_TRUE(dialogs.Saw(kv::kCloseDuringScanText));
    const int points = scan->count();
    EXPECT_TRUE(ProcessEventsUntil([&] { return scan->count() > points; }, 30000));
    EXPECT_TRUE(window->isVisible());

    dialogs.answer = kv::DialogResult::Yes;
    EXPECT_TRUE(window->close());
    EXPECT_FALSE(window->Focusing()->Running());
    EXPECT_EQ(window->FocusControl(), nullptr);
    EXPECT_LT(scan->count(), 21);
}

// What a script does through kessivanectl: frames, refusals, halts, cancels and an auto focus.
TEST_F(FocusingProcedures, ScriptsTakeFramesRunAndCancelProceduresOverTheBus) {
    if (!Serve("kv-scripting-test")) GTEST_SKIP() << "needs dbus-daemon";
    // A night at exactly freezing: 0.0 is a temperature, not the lack of one.
    kvsim::Observatory::Instance().StartNight({.startTemperatureC = 0.0, .temperatureRateCPerHour = 0.0});
    Defocus(40);
    PickStar();
    ExpectRefused("temperature", "No temperature has been read");
    window->FocusControl()->GetTemperature();
    auto temperature = Ran("temperature");
    EXPECT_EQ(temperature.out, QStringLiteral("0.0\n"));

    auto frame = Ran("focus-frame");
    EXPECT_TRUE(frame.out.startsWith(QStringLiteral("FWHM "))) << frame.out.toStdString();
    EXPECT_EQ(frame.out.count(QLatin1Char('\n')), 6);
    // No star in the frame: no figure, only the status, and a failing exit.
    Camera([](KVSimCameraConfig& c) { c.FluxScale = 0.0; });
    frame = Ctl("focus-frame");
    Camera([](KVSimCameraConfig& c) { c.FluxScale = 1.0; });
    EXPECT_EQ(frame.exitCode, 5) << frame.err.toStdString();
    EXPECT_EQ(frame.out, QStringLiteral("Status no star\n"));
    // The panel says so too, and shows none of the noise's figures.
    const auto readOut = [&](const char* name) {
        return window->FocusPanel()->findChild<QLineEdit*>(QString::fromLatin1(name))->text();
    };
    EXPECT_TRUE(ProcessEventsUntil([&] { return readOut("FOMEdit") == QStringLiteral("no star"); }))
        << readOut("FOMEdit").toStdString();
    for (const char* box : {"FWHMEdit", "HFDEdit", "xFWHMEdit", "yFWHMEdit", "PeakEdit"})
        EXPECT_EQ(readOut(box), QString()) << box;

    // Refused moves and scans: the hub's ranges, named; nothing moves, and a
    // refusal leaves the user's box alone (parentless: the window is replaced further on).
    QMessageBox notice(QMessageBox::Information, QStringLiteral("Kessivane"), QStringLiteral("left over"),
                       QMessageBox::Ok);
    notice.show();
    const std::int32_t still = window->FocusControl()->CTSCount();
    ExpectRefused("move-by 251", "-250..250");
    ExpectRefused("move-to -251", "-250..250");
    const QString invalid = QString::fromLatin1(scripting::kErrorInvalid);
    EXPECT_EQ(CallError("Focuser", "MoveBy", {std::numeric_limits<std::int32_t>::min()}), invalid);
    ExpectRefused("scan --start -20 --increment 4 --steps 2", "increment 5..50");
    ExpectRefused("autofocus --step 33", "must be one of");
    EXPECT_TRUE(notice.isVisible());
    EXPECT_EQ(window->FocusControl()->CTSCount(), still);
    EXPECT_TRUE(window->FocusControl()->GetIdle());
    // The method argument reaches the program; a hub focuser has no absolute position.
    EXPECT_EQ(CallError("Focusing", "StartAutoFocus", {100, QStringLiteral("newton")}), invalid);
    ExpectRefused("absolute-position", "no absolute position");
    // A move from the shell waits for its end and prints where the read-out stands.
    const long before = FromBest();
    auto moved = Ran("move-by 150");
    EXPECT_NEAR(std::abs(FromBest() - before), 150, kRunOn);
    EXPECT_EQ(moved.out.trimmed().toInt(), window->FocusControl()->CTSCount()) << moved.out.toStdString();
    EXPECT_FALSE(notice.isVisible());
    // A move another script halts did not arrive: it says so and how.
    QProcess halted;
    bus->Start(halted, ctl, Words("move-by -250"));
    ASSERT_TRUE(ProcessEventsUntil([&] { return !window->FocusControl()->GetIdle(); }, kvtest::kBusLimitMs));
    EXPECT_EQ(Ctl("halt").exitCode, 0);
    ASSERT_TRUE(Finished(halted));
    EXPECT_EQ(halted.exitCode(), 4);
    const QString haltedErr = QString::fromUtf8(halted.readAllStandardError());
    EXPECT_TRUE(haltedErr.contains(QStringLiteral("ended halted: Halted on request"))) << haltedErr.toStdString();
    EXPECT_EQ(QString::fromUtf8(halted.readAllStandardOutput()).trimmed().toInt(), window->FocusControl()->CTSCount());

    // A halt ends the scan as a cancel does: no reading under a position never reached.
    QByteArray printed;
    for (const char* stop : {"cancel", "halt"}) {
        SCOPED_TRACE(stop);
        QProcess scan;
        bus->Start(scan, ctl, Words("scan --start -20 --increment 10 --steps 4"));
        printed.clear();
        ASSERT_TRUE(kvtest::PrivateBus::WaitForLine(scan, printed, "scan step 1:"));
        EXPECT_EQ(Ctl(stop).exitCode, 0);
        ASSERT_TRUE(Finished(scan));
        EXPECT_EQ(scan.exitCode(), 1);
        ASSERT_TRUE(Ended("StartScanButton"));
    }
    EXPECT_TRUE(Logged(QLatin1String(kv::kMoveHaltedText)));

    // A script that gives up waiting leaves the search running and is told how to stop it.
    auto gaveUp = Ctl("--timeout-ms 1500 autofocus --step 100");
    EXPECT_EQ(gaveUp.exitCode, 2);
    EXPECT_TRUE(gaveUp.err.contains(QStringLiteral("the auto focus goes on"))) << gaveUp.err.toStdString();
    EXPECT_TRUE(gaveUp.err.contains(QStringLiteral("kessivanectl cancel"))) << gaveUp.err.toStdString();
    EXPECT_EQ(Ctl("running").out, QStringLiteral("1\n"));
    EXPECT_EQ(Ctl("cancel").exitCode, 0);
    ASSERT_TRUE(Ended("StartSearch"));
    EXPECT_EQ(Ctl("running").out, QStringLiteral("0\n"));

    Defocus(40);
    QProcess focus;
    bus->Start(focus, ctl, Words("autofocus --step 100"));
    printed.clear();
    ASSERT_TRUE(kvtest::PrivateBus::WaitForLine(focus, printed, "autofocus step 1:"))
        << focus.readAllStandardError().toStdString();
    for (const char* busy : {"autofocus", "move-by 10 --no-wait", "focus-frame"}) ExpectRefused(busy, "is running");
    ASSERT_TRUE(Finished(focus, 90000));
    printed += focus.readAllStandardOutput();
    EXPECT_EQ(focus.exitCode(), 0) << focus.readAllStandardError().toStdString();
    const QStringList lines = QString::fromUtf8(printed).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_GE(lines.size(), 5);
    for (int i = 0; i + 1 < lines.size(); ++i) {
        EXPECT_TRUE(lines[i].startsWith(QStringLiteral("autofocus step %1:").arg(i + 1))) << lines[i].toStdString();
    }
    EXPECT_TRUE(lines.last().startsWith(QStringLiteral("autofocus completed: position"))) << lines.last().toStdString();
    // The result counts the readings printed and the focus frames they took.
    EXPECT_TRUE(lines.last().contains(QStringLiteral(", method golden, %1 readings of %2 focus frames")
                                          .arg(lines.size() - 1)
                                          .arg((lines.size() - 1) * kSamples)))
        << lines.last().toStdString();
    EXPECT_LE(std::abs(FromBest()), kTolerance);

    // Kept out, a script may still read but no longer move.
    Find<QAbstractButton>("AllowControlCB")->click();
    ExpectRefused("move-by 10", "Allow other programs");
    EXPECT_EQ(Ctl("position").exitCode, 0);

    // An Optec's finer steps have ranges of their own (an increment of 5 is never run at 25 instead).
    window.reset();
    folder.Write("Kessivane.ini", "[Device/Ports]\r\nCamera=Simulated CCD\r\nFocuser=Optec TCF-S\r\nComPort=1\r\n"
                                  "[Ports]\r\nCOM1=sim:optec\r\n");
    ASSERT_TRUE(Open(false));
    window->show();
    ASSERT_TRUE(Serve());
    PickStar();
    ExpectRefused("move-by 3501", "-3500..3500");
    ExpectRefused("scan --start 0 --increment 5 --steps 1", "increment 25..250");
    EXPECT_FALSE(window->Focusing()->Running());
    const auto optecScan = Ran("scan --start -500 --increment 100 --steps 1");
    EXPECT_EQ(Find<QSpinBox>("StartScanSE")->value(), -500);
}

// A whole focus run from a script with nobody at the window. A frame without
// stars and one whose stars are all clipped are refused with the reason, and
// the notice a refusal left on the screen goes when the next command arrives.
TEST_F(FocusingProcedures, AFourCommandScriptFocusesAndSaysWhyAFrameHasNoStarToPick) {
    if (!Serve("kv-pick-test")) GTEST_SKIP() << "needs dbus-daemon";
    Steady();  // the run is judged on where it ends, not on how the fit copes with jitter
    Defocus(200);

    // A camera that answers "done" without pixels: the picture on screen is not this one.
    ASSERT_EQ(Ctl("take-image").exitCode, 0);
    EmptyFrames(1);
    const auto empty = Ctl("take-image");
    EXPECT_EQ(empty.exitCode, 1);
    EXPECT_TRUE(empty.err.contains(QLatin1String("the camera sent an empty frame"))) << empty.err.toStdString();
    EXPECT_FALSE(empty.out.contains(QLatin1String("Width"))) << empty.out.toStdString();

    QMessageBox notice(QMessageBox::Information, QStringLiteral("Kessivane"), QStringLiteral("left over"),
                       QMessageBox::Ok, &*window);
    notice.show();
    const struct {
        double fluxScale;
        const char* reason;
    } starless[] = {{0.0, "No star was found in the image"}, {1e5, "saturated"}};
    for (const auto& c : starless) {
        SCOPED_TRACE(c.reason);
        Camera([&](KVSimCameraConfig& k) { k.FluxScale = c.fluxScale; });
        Ran("take-image");
        const auto pick = Ctl("pick-star");
        EXPECT_EQ(pick.exitCode, 1);
        EXPECT_TRUE(pick.err.contains(QLatin1String(c.reason))) << pick.err.toStdString();
        EXPECT_TRUE(LoggedStart(QStringLiteral("Scripting: PickStar refused: ") + pick.err.section(QStringLiteral(": "), 1).trimmed().left(20)));
        EXPECT_FALSE(window->State().starSelected);
        EXPECT_FALSE(notice.isVisible());
    }
    Camera([](KVSimCameraConfig& k) { k.FluxScale = 1.0; });

    Find<QSpinBox>("FitPointsSE")->setValue(4);
    const kvtest::FocusScript run = kvtest::RunFocusScript(*bus, Words("--method fit --step 75"), 180000);
    ASSERT_TRUE(run.failure.isEmpty()) << run.failure.toStdString();
    EXPECT_TRUE(run.image.startsWith(QStringLiteral("Width 765\nHeight 510\n"))) << run.image.toStdString();
    EXPECT_EQ(window->CameraControl()->FocusX(), 382);
    EXPECT_EQ(window->CameraControl()->FocusY(), 255);
    EXPECT_EQ(run.position, window->FocusControl()->CTSCount());
    // The list travels as aa{sv}: brightest first, the bright one in the middle.
    const auto stars = Ran("stars");
    EXPECT_GE(stars.out.count(QLatin1Char('\n')), 2) << stars.out.toStdString();
    EXPECT_TRUE(stars.out.startsWith(QStringLiteral("x 382."))) << stars.out.toStdString();
    // A click's refusal, in the window's words.
    ExpectRefused("select-star 3 200", "(Too close)");
    EXPECT_EQ(window->CameraControl()->FocusX(), 382);
    EXPECT_LE(std::abs(FromBest()), kCurveFitTolerance);

    // Focus drifts; the refocus finds the curve just fitted from a handful of readings.
    Defocus(-30);
    Find<QDoubleSpinBox>("FocalRatioSE")->setValue(8.0);
    Find<QDoubleSpinBox>("StepSizeSE")->setValue(3.6);
    QVariantMap details;
    QObject::connect(window->Focusing(), &TFocusingView::searchDetails, &*window,
                     [&](const QVariantMap& d) { details = d; });
    const kvtest::FocusScript quick = kvtest::RunFocusScript(*bus, Words("--method quick"), 180000);
    ASSERT_TRUE(quick.failure.isEmpty()) << quick.failure.toStdString();
    EXPECT_TRUE(quick.result.contains(QLatin1String("method quick"))) << quick.result.toStdString();
    EXPECT_FALSE(quick.result.contains(QLatin1String("fell back"))) << quick.result.toStdString();
    // Both are positions, and the answer is where the focuser stands. It fitted no curve to rate.
    ASSERT_EQ(details.value(QStringLiteral("predicted")).typeId(), QMetaType::Int);
    EXPECT_TRUE(quick.result.contains(QStringLiteral(", predicted %1, found %2")
                                          .arg(details.value(QStringLiteral("predicted")).toInt())
                                          .arg(quick.position)))
        << quick.result.toStdString();
    EXPECT_FALSE(quick.result.contains(QLatin1String("R^2"))) << quick.result.toStdString();
    EXPECT_LE(std::abs(FromBest()), kCurveFitTolerance);
    // The page shows the result counted as the script counts it, the chart each reading.
    const QRegularExpressionMatch counted =
        QRegularExpression(QStringLiteral("(\\d+) readings of (\\d+) focus frames")).match(quick.result);
    ASSERT_TRUE(counted.hasMatch()) << quick.result.toStdString();
    const QString shown = window->AutoFocusPage()->LastResultLabel()->text();
    EXPECT_TRUE(shown.startsWith(QStringLiteral("Quick refocus: ") + counted.captured(0))) << shown.toStdString();
    EXPECT_TRUE(shown.contains(QRegularExpression(QStringLiteral("error about [0-9.]+ steps? \\([0-9.]+ CFZ\\)$"))))
        << shown.toStdString();
    const QList<QPointF> points = window->AutoFocusPage()->QualityChart()->findChild<QScatterSeries*>(
        QStringLiteral("CurvePoints"))->points();
    ASSERT_EQ(points.size(), counted.captured(1).toInt());
    const auto [left, right] = std::minmax_element(points.begin(), points.end(), [](QPointF a, QPointF b) { return a.x() < b.x(); });
    EXPECT_GT(right->x() - left->x(), 100.0) << "the readings lie on both flanks";

    // Mostly too far for the learned curve's readings: the full curve fit finds
    // it and the line says so; where the seeing let the quick readings reach it,
    // the quick answer must be focus itself.
    Defocus(-150);
    const kvtest::FocusScript far = kvtest::RunFocusScript(*bus, Words("--method quick"), 180000, {}, true);
    ASSERT_TRUE(far.failure.isEmpty()) << far.failure.toStdString();
    if (far.result.contains(QLatin1String("fell back"))) {
        EXPECT_TRUE(far.result.contains(QStringLiteral(", predicted %1, fell back to the curve fit: ")
                                            .arg(details.value(QStringLiteral("predicted")).toInt())))
            << far.result.toStdString();
        EXPECT_TRUE(far.result.contains(QStringLiteral("; the curve fit found %1, R^2 ").arg(far.position)))
            << far.result.toStdString();
        EXPECT_FALSE(far.result.contains(QLatin1String(", found "))) << far.result.toStdString();
    } else {
        EXPECT_TRUE(far.result.contains(QStringLiteral(", found %1,").arg(far.position))) << far.result.toStdString();
        EXPECT_LE(std::abs(FromBest()), kCurveFitTolerance) << far.result.toStdString();
    }

    // On the whole field each reading stands for many stars; the same run reads
    // the optics: the right edge focuses 120 µm further out than the left.
    Camera([](KVSimCameraConfig& k) {
        k.FieldStars = 60;
        k.TiltX = 60.0;
        k.StepMicrons = 5.0;
    });
    ASSERT_EQ(Ctl("set-optics focalRatio=5 stepSize=5").exitCode, 0);
    Defocus(-200);
    const kvtest::FocusScript field = kvtest::RunFocusScript(*bus, Words("--method fit --measure field"), 180000, {}, true);
    ASSERT_TRUE(field.failure.isEmpty()) << field.failure.toStdString();
    EXPECT_EQ(Find<TRadioGroup>("FocusMeasureRG")->ItemIndex(), TAutoFocusPage::kWholeFieldItem);
    EXPECT_TRUE(window->CameraControl()->WholeField());
    const kv::FocusReading last = window->CameraControl()->Reading();
    ASSERT_NE(last.field, nullptr);
    EXPECT_TRUE(last.stars >= 20 && static_cast<std::size_t>(last.stars) == last.field->stars.size()) << last.stars;
    // Within the critical focus zone, 13.4 steps at f/5 and 5 µm a step: the
    // tilted field's median is a broader bottom than one star's.
    EXPECT_LE(std::abs(FromBest()), 13);
    EXPECT_FALSE(window->AutoFocusPage()->Aberration()->isHidden());
    const auto inspect = Ran("inspect");
    const QRegularExpressionMatch tiltX = QRegularExpression(QStringLiteral("\\ntiltX (-?[0-9.]+)\\n")).match(inspect.out);
    ASSERT_TRUE(tiltX.hasMatch()) << inspect.out.toStdString();
    // The truth lies within the interval the report states (60 stars leave it wide).
    const QRegularExpressionMatch within =
        QRegularExpression(QStringLiteral("\\ntiltUncertainty ([0-9.]+)\\n")).match(inspect.out);
    ASSERT_TRUE(within.hasMatch()) << inspect.out.toStdString();
    EXPECT_NEAR(tiltX.captured(1).toDouble(), 120.0, within.captured(1).toDouble()) << inspect.out.toStdString();
    // The left side stands out; a corner depends on a tiltY the interval leaves open.
    EXPECT_TRUE(QRegularExpression(QStringLiteral("\\ntiltPlace (left edge|(top|bottom)-left corner)\\n")).match(inspect.out).hasMatch())
        << inspect.out.toStdString();
    Camera([](KVSimCameraConfig& k) {
        k.FieldStars = 0;
        k.TiltX = 0.0;
    });
}

// A close asked for behind a flood of halt calls is not held up by them: a halt
// arriving while one is still being sent is answered Busy, off the GUI thread.
TEST_F(FocusingProcedures, AFloodOfHaltCallsDoesNotHoldUpClosing) {
    if (!Serve("kv-flood-test")) GTEST_SKIP() << "needs dbus-daemon";
    QDBusConnection flood = QDBusConnection::connectToBus(bus->Address(), QStringLiteral("kv-flood"));
    ASSERT_TRUE(flood.isConnected());
    const QDBusMessage halt = QDBusMessage::createMethodCall(QLatin1String(scripting::kService),
                                                             QLatin1String(scripting::kFocuserPath),
                                                             QStringLiteral("org.kessivane.Focuser"), QStringLiteral("Halt"));
    // A hang guard, not a speed figure: closing must not wait for the flood to be worked off.
    QElapsedTimer closing;
    closing.start();
    const QDBusPendingCall first = flood.asyncCall(halt);
    for (int i = 0; i < 400; ++i) flood.send(halt);
    ASSERT_TRUE(ProcessEventsUntil([&] { return first.isFinished(); }, 60000));
    QMetaObject::invokeMethod(&*window, &QWidget::close, Qt::QueuedConnection);
    ASSERT_TRUE(ProcessEventsUntil([&] { return !window->isVisible(); }, 60000));
    EXPECT_LT(closing.elapsed(), 10000);
    QDBusConnection::disconnectFromBus(QStringLiteral("kv-flood"));
}

// So far out that the focus frame holds only light wider than itself: the curve
// fit finds the star on whole images first.
TEST_F(FocusingProcedures, CurveFitFromFarOutFindsTheStarOnWholeImagesFirst) {
    Steady();  // the fit's scatter under seeing is the other curve-fit test's
    Defocus(0);
    PickStar();
    // A longer exposure, as a user would take far out, keeps the blurred stars above the sky.
    Find<QSlider>("ExposureMS")->setValue(100);
    Defocus(1000);
    auto* page = window->AutoFocusPage();
    page->MethodRG()->SetItemIndex(TAutoFocusPage::kCurveFitItem);
    page->InitialStepRG()->SetItemIndex(3);
    ASSERT_TRUE(Run("StartSearch", 300000));
    static const QRegularExpression phases(QStringLiteral("^(No star in the focus frame:|Coarse|Curve|Fitted|Check|Auto|The) "));
    const QString said = window->LogMemo()->Lines().filter(phases).join(QLatin1Char('\n'));
    EXPECT_LE(std::abs(FromBest()), kCurveFitTolerance) << said.toStdString();
    EXPECT_TRUE(said.contains(QStringLiteral("No star in the focus frame: measuring the star on the whole image")))
        << said.toStdString();
    EXPECT_TRUE(said.contains(QStringLiteral("Coarse phase: "))) << said.toStdString();
}

// The curve fit with 30 steps of play ends at best focus with its curve on the
// chart; Cancel while it walks or goes to its answer gives every control back;
// a curve too flat to trust sends the focuser back to where it started.
TEST_F(FocusingProcedures, CurveFitEndsAtBestFocusCancelsCleanlyAndAFailedGateGoesBackToTheStart) {
    Steady(0.03);  // a reading of a few frames holds its figure to a few steps of defocus
    kvsim::Observatory& sky = kvsim::Observatory::Instance();
    sky.SetBacklash(30);
    Defocus(200);
    PickStar();
    auto* page = window->AutoFocusPage();
    // The method is kept the moment it is chosen, and not before.
    EXPECT_EQ(folder.Read("Kessivane.ini").find("[AutoFocus]"), std::string::npos);
    page->MethodRG()->SetItemIndex(TAutoFocusPage::kCurveFitItem);
    EXPECT_NE(folder.Read("Kessivane.ini").find("[AutoFocus]\r\nMethod=1\r\n"), std::string::npos);
    // Samples 50 steps apart, four each side, on a round bottom some 125 steps wide.
    page->InitialStepRG()->SetItemIndex(2);
    Find<QSpinBox>("FitPointsSE")->setValue(4);
    ASSERT_TRUE(Run("StartSearch", 180000));
    static const QRegularExpression fitLines(QStringLiteral("^(Fitted|Check) "));
    EXPECT_LE(std::abs(FromBest()), kCurveFitTolerance)
        << window->LogMemo()->Lines().filter(fitLines).join(QLatin1Char('\n')).toStdString();
    EXPECT_TRUE(window->StatusPanelText(0).startsWith(QStringLiteral("Curve fit: "))) << window->StatusPanelText(0).toStdString();
    EXPECT_TRUE(window->StatusPanelText(0).contains(QStringLiteral("R^2")));
    QChart* quality = page->QualityChart();
    const auto named = [&](const char* name) { return quality->findChild<QXYSeries*>(QLatin1String(name)); };
    ASSERT_GE(named("CurvePoints")->count(), 7);
    EXPECT_GT(named("FittedCurve")->count(), 50);
    EXPECT_EQ(named("FitAnswer")->count(), 1);
    EXPECT_EQ(named("CheckFrame")->count(), 1);
    // Every point drawn lies on the chart.
    for (const char* name : {"CurvePoints", "FitAnswer", "CheckFrame"}) {
        for (const QPointF& p : named(name)->points()) {
            EXPECT_TRUE(p.x() >= Axis(quality, Qt::Horizontal)->min() && p.x() <= Axis(quality, Qt::Horizontal)->max() &&
                        p.y() >= Axis(quality, Qt::Vertical)->min() && p.y() <= Axis(quality, Qt::Vertical)->max())
                << name << " " << p.x() << ", " << p.y();
        }
    }
    for (const QPointF& p : Series(page->PosChart())->points()) {
        EXPECT_LE(std::abs(p.y()), std::max(-Axis(page->PosChart(), Qt::Vertical)->min(),
                                            Axis(page->PosChart(), Qt::Vertical)->max()));
        EXPECT_LE(p.x(), Axis(page->PosChart(), Qt::Horizontal)->max());
    }

    Defocus(200);
    CancelWhen([&] { return named("CurvePoints")->count() >= 2; }, "walking");
    Defocus(200);
    CancelWhen([&] { return LoggedStart(QStringLiteral("Fitted ")); }, "going to the answer");

    // Step 10 at best focus: the curve hardly rises within the readings allowed.
    Defocus(0);
    page->InitialStepRG()->SetItemIndex(0);
    const std::int64_t start = sky.DrivePosition();
    ASSERT_TRUE(Run("StartSearch", 180000));
    const auto back = [&] {
        for (const auto& box : dialogs.shown) {
            if (box.text.find("The focuser is back at its starting position") != std::string::npos) return true;
        }
        return false;
    };
    EXPECT_TRUE(ProcessEventsUntil(back)) << window->StatusPanelText(0).toStdString();
    // The way back is a move and its backlash leg, and each may run on.
    EXPECT_NEAR(sky.DrivePosition(), start, 2 * kRunOn);
}

// The triggers set up from a script: refusals change neither the window nor the
// file; the HFD rule, armed by a curve fit and fed by reports, starts over after
// a move by hand, waits while a scan runs, then fires once a quick refocus.
TEST_F(FocusingProcedures, AnHfdTriggerSetFromAScriptRefocusesByTheQuickMethod) {
    if (!Serve("kv-trigger-test")) GTEST_SKIP() << "needs dbus-daemon";
    Steady();
    Find<QSpinBox>("FocusSamples")->setValue(3);
    const auto ini = [&] { return folder.Read(kv::kSettingsFileName); };
    ASSERT_EQ(ini(), kv::FactorySettingsText());

    struct Refusal {
        const char* line;
        const char* why;
    } const refusals[] = {
        {"set-triggers onHfdRise=on bogus=1", "Unknown key \"bogus\""},
        {"set-triggers onHfdRise=on hfdReadings=0", "hfdReadings takes a whole number from 1 to 50, not 0"},
        {"set-triggers onHfdRise=on hfdRisePercent=501", "hfdRisePercent takes a number from 1 to 500, not 501"},
        {"set-optics stepSize=3.6 focalRatio=40.5", "focalRatio takes a number from 0 (unset) to 40, not 40.5"},
        {"set-optics stepSize=3.6 aperture=200", "Unknown key \"aperture\""},
        {"set-optics focalRatio=-1", "focalRatio takes a number from 0 (unset) to 40, not -1"},
    };
    for (const Refusal& r : refusals) ExpectRefused(r.line, r.why);
    EXPECT_TRUE(Ctl("triggers").out.contains(QLatin1String("onHfdRise off\n")));
    EXPECT_EQ(Ctl("optics").out, QStringLiteral("focalRatio 0\nstepSize 0\n"));
    EXPECT_EQ(ini(), kv::FactorySettingsText());
    // Setting a box to what it shows is no change either.
    EXPECT_EQ(Ctl("set-optics focalRatio=0").exitCode, 0);
    EXPECT_EQ(ini(), kv::FactorySettingsText());

    const auto optics = Ran("set-optics focalRatio=5 stepSize=3.6");
    EXPECT_EQ(optics.out.toStdString(), "focalRatio 5\nstepSize 3.6\ncfzSteps 18.6389\n");
    EXPECT_DOUBLE_EQ(Find<QDoubleSpinBox>("FocalRatioSE")->value(), 5.0);
    EXPECT_EQ(window->AutoFocusPage()->CfzLabel()->text().replace(QChar(0x00a0), QLatin1Char(' ')),
              QStringLiteral("CFZ: 19 steps (67 \u00b5m)"));
    const auto triggers = Ran("set-triggers onHfdRise=on hfdReadings=3 hfdRisePercent=20");
    EXPECT_TRUE(triggers.out.contains(QLatin1String("onHfdRise on\n")) && triggers.out.endsWith(QLatin1String("armed off\n")))
        << triggers.out.toStdString();
    const kv::IniFile written = kv::IniFile::Load(window->IniPath());
    EXPECT_EQ(written.Get("AutoFocus", "FocalRatio"), "5");
    EXPECT_EQ(written.Get("AutoFocus", "StepSize"), "3.6");
    EXPECT_EQ(written.Get("RefocusTriggers", "OnHfdRise"), "1");
    EXPECT_EQ(written.Get("RefocusTriggers", "Minutes"), std::nullopt) << "only the keys changed";
    EXPECT_EQ(ini().rfind(kv::FactorySettingsText(), 0), 0u);

    QStringList fired;
    QObject::connect(window->findChild<TRefocusService*>(), &TRefocusService::Triggered, &*window,
                     [&](const QString& rule, const QString& reason) { fired << rule + QLatin1Char('|') + reason; });
    // Reports before any auto focus of the session arm nothing.
    const TRefocusWatch& watch = *window->RefocusWatch();
    for (const char* hfd : {"report-hfd 2", "report-hfd 9", "report-hfd 9", "report-hfd 9"}) Ctl(hfd);
    EXPECT_FALSE(watch.Triggers().Armed());
    EXPECT_TRUE(fired.isEmpty());
    QVariantMap details;
    QObject::connect(window->Focusing(), &TFocusingView::searchDetails, &*window,
                     [&](const QVariantMap& d) { details = d; });

    Defocus(100);
    PickStar();
    auto* page = window->AutoFocusPage();
    page->MethodRG()->SetItemIndex(TAutoFocusPage::kCurveFitItem);
    page->InitialStepRG()->SetItemIndex(2);
    Find<QSpinBox>("FitPointsSE")->setValue(4);
    ASSERT_TRUE(Run("StartSearch", 180000));
    ASSERT_EQ(details.value(QStringLiteral("completed")), true)
        << details.value(QStringLiteral("message")).toString().toStdString() << " / "
        << window->StatusPanelText(0).toStdString();
    EXPECT_TRUE(watch.Triggers().Armed());
    const auto report = [&](std::initializer_list<const char*> hfds) {
        for (const char* hfd : hfds) Ran((std::string("report-hfd ") + hfd).c_str());
    };
    report({"2", "2", "2"});
    EXPECT_EQ(watch.Triggers().BaselineHfd(), 2.0);

    // The user steps the focuser: the star's size now says where they put it.
    bool moveEnded = false;
    QObject::connect(window->ManualFocusPage(), &TManualFocusPage::moveEnded, &*window, [&] { moveEnded = true; });
    Find<QAbstractButton>("In1")->click();
    EXPECT_FALSE(watch.Triggers().BaselineHfd());
    ASSERT_TRUE(ProcessEventsUntil([&] { return moveEnded && window->FocusControl()->GetIdle(); }, 20000));
    report({"2.5", "2.5"});
    EXPECT_FALSE(watch.Triggers().BaselineHfd());
    report({"2.5"});
    EXPECT_EQ(watch.Triggers().BaselineHfd(), 2.5);

    // Focus drifts, and while a scan runs the rule holds but waits for it.
    Defocus(40);
    Find<QSpinBox>("StartScanSE")->setValue(-10);
    Find<QSpinBox>("ScanStepSE")->setValue(10);
    Find<QSpinBox>("NumStepsSE")->setValue(2);
    Find<QAbstractButton>("StartScanButton")->click();
    ASSERT_TRUE(window->Focusing()->Running());
    report({"4", "4", "4"});
    EXPECT_TRUE(fired.isEmpty());
    EXPECT_TRUE(watch.Triggers().Armed());
    details.clear();
    ASSERT_TRUE(Ended("StartScanButton", 90000));
    // The scan over, the rules' next look (their timer's, or this report's) fires.
    if (fired.isEmpty()) report({"4"});
    ASSERT_EQ(fired.size(), 1) << "the scan's last frame, shown late, is no reading";
    const QString reason = QStringLiteral("Refocus: HFD rose by 60 % over the last 3 readings (4.00 against 2.50 after "
                                          "the last focus)");
    EXPECT_EQ(fired[0], QStringLiteral("hfd|") + reason);
    EXPECT_TRUE(Logged(reason));
    EXPECT_TRUE(window->Focusing()->Running());
    // Fired once: more reports while the refocus runs start nothing more.
    report({"5", "5", "5"});
    EXPECT_EQ(fired.size(), 1);
    ASSERT_TRUE(ProcessEventsUntil([&] { return !window->Focusing()->Running() && Enabled("StartSearch"); }, 120000));
    EXPECT_EQ(details.value(QStringLiteral("method")), QStringLiteral("quick"));
    EXPECT_EQ(details.value(QStringLiteral("completed")), true) << details.value(QStringLiteral("message")).toString().toStdString();
    EXPECT_FALSE(details.contains(QStringLiteral("fallback"))) << details.value(QStringLiteral("fallback")).toString().toStdString();
    EXPECT_NEAR(details.value(QStringLiteral("cfzSteps")).toDouble(), 18.64, 0.01);
    EXPECT_TRUE(details.contains(QStringLiteral("errorCfz")));
    EXPECT_LE(std::abs(FromBest()), kCurveFitTolerance);
    // The page keeps the user's method; the rules are armed again from this focus.
    EXPECT_EQ(page->MethodRG()->ItemIndex(), TAutoFocusPage::kCurveFitItem);
    EXPECT_TRUE(Ctl("triggers").out.endsWith(QLatin1String("armed on\n")));

    // The focus log: the fit, the scan, the trigger's mark, then the refocus it started.
    const std::vector<kv::FocusLogEntry> runs = kv::TFocusLog::Read(folder.File(kv::kFocusLogFileName));
    ASSERT_EQ(runs.size(), 4u) << folder.Read(kv::kFocusLogFileName);
    EXPECT_EQ(runs[2].procedure, "trigger");
    EXPECT_EQ(runs[2].method, "hfd");
    EXPECT_EQ(runs[2].outcome, "fired");
    EXPECT_EQ(runs[2].reason, reason.toStdString());
    EXPECT_EQ(runs[3].procedure, "autofocus");
    EXPECT_EQ(runs[3].outcome, "completed");
    EXPECT_TRUE(runs[3].predicted.has_value());
    EXPECT_FALSE(runs[3].rSquared.has_value()) << "a quick refocus fits no curve";

    // Kept out, a script still reads both but changes neither.
    Find<QAbstractButton>("AllowControlCB")->click();
    ExpectRefused("set-optics focalRatio=8", "Allow other programs");
    ExpectRefused("set-triggers onHfdRise=off", "Allow other programs");
    EXPECT_TRUE(Ctl("optics").out.startsWith(QLatin1String("focalRatio 5\n")));
    EXPECT_TRUE(Ctl("triggers").out.contains(QLatin1String("onHfdRise on\n")));
}

// The optics a whole-field curve fit read: hidden until then; then a map of each
// region's best focus against the mean with the verdicts, a line a run in the
// aberration log that the history charts read back, and the same report to a script.
TEST_F(FocusingProcedures, AWholeFieldReportShowsItsMapLogsItAndAScriptReadsIt) {
    if (!Serve("kv-inspect-test")) GTEST_SKIP() << "needs dbus-daemon";
    TAberrationPanel* panel = window->AutoFocusPage()->Aberration();
    EXPECT_TRUE(panel->isHidden());
    const auto none = Ctl("inspect");
    EXPECT_EQ(none.exitCode, 5);
    EXPECT_TRUE(none.err.contains(QLatin1String("No whole-field auto focus has given an optics report yet")));

    // The right column focuses 40 µm further out than the left; the top middle has no stars.
    kv::AberrationReport r;
    r.ok = true;
    r.columns = r.rows = 3;
    r.cfzMicrons = 24.0;
    r.outwardMicronsPerStep = -4.0;
    for (int i = 0; i < 9; ++i) {
        r.regions.push_back({i % 3, i / 3, i != 1, i != 1 ? "" : "too few stars", 1005.0 - 5.0 * (i % 3), 0.5, 12});
    }
    r.tiltXMicrons = 40.0;
    r.tilt = {kv::FigureState::Act, 40.0, 6.0, 1.67,
              "tilt of 40 µm across the long side, the left edge is 20 µm too far out: shim there"};
    r.tiltPlace = "left edge";
    r.curvature = {kv::FigureState::WithinZone, 3.0, 5.0, 0.13, "within the critical focus zone: nothing to do"};
    r.backFocus = {kv::FigureState::Absent, 0, 0, 0, "left out: no flattener back focus is set"};
    window->AutoFocusPage()->ShowAberration(r, 7.5);
    EXPECT_FALSE(panel->isHidden());
    using Tone = kv::MapCell::Tone;
    const std::pair<const char*, Tone> cells[] = {
        {"-20", Tone::Act}, {"\u2013", Tone::None}, {"+20", Tone::Act},   {"-20", Tone::Act}, {"0", Tone::Within},
        {"+20", Tone::Act}, {"-20", Tone::Act},     {"0", Tone::Within}, {"+20", Tone::Act}};
    for (int i = 0; i < 9; ++i) {
        const kv::MapCell cell = panel->Map()->Cell(i % 3, i / 3);
        EXPECT_EQ(cell.text, QString::fromUtf8(cells[i].first)) << i;
        EXPECT_EQ(cell.tone, cells[i].second) << i;
    }
    EXPECT_EQ(panel->Map()->Cell(1, 0).toolTip, QStringLiteral("No figure: too few stars"));
    EXPECT_EQ(panel->Verdicts()->text().toStdString(), "Tilt: " + r.tilt.verdict + "\nCurvature: " + r.curvature.verdict +
                                                           "\nBack focus: " + r.backFocus.verdict);
    const std::string time = panel->Last()->time;
    const std::string log = (std::filesystem::path(window->FocusLogPath()).parent_path() / kv::kAberrationLogFileName).string();
    EXPECT_FALSE(window->StatusPanelText(2).contains(QLatin1String("aberration log")));

    const auto inspect = Ran("inspect");
    EXPECT_EQ(inspect.out.toStdString(),
              "time " + time +
                  "\ntemperature 7.5\nregions 3x3\nregionsFitted 8\ncfzMicrons 24.0\ntilt 40.0\ntiltUncertainty 6.0\n"
                  "tiltCfz 1.67\ntiltX 40.0\ntiltY 0.0\ntiltPlace left edge\ntiltVerdict " + r.tilt.verdict +
                  "\ncurvature 3.0\ncurvatureUncertainty 5.0\ncurvatureCfz 0.13\ncurvatureVerdict " +
                  r.curvature.verdict + "\nbackFocusVerdict " + r.backFocus.verdict +
                  "\nrow1 -20 - 20\nrow2 -20 0 20\nrow3 -20 0 20\n");

    // A second run, cooler, with half the tilt and no curvature: the history reads both from the log.
    r.tilt.microns = 20.0;
    r.curvature = {kv::FigureState::Absent, 0, 0, 0, "left out"};
    window->AutoFocusPage()->ShowAberration(r, 2.5);
    window->ShowFocusHistory();
    TFocusHistoryWindow* history = window->FocusHistory();
    const auto plotted = [&](int plot) {
        history->PlotChoice()->setCurrentIndex(plot);
        return qobject_cast<QScatterSeries*>(history->TemperatureChart()->series().first())->points();
    };
    EXPECT_EQ(plotted(TFocusHistoryWindow::PlotTilt), (QList<QPointF>{{7.5, 40.0}, {2.5, 20.0}}));
    EXPECT_EQ(plotted(TFocusHistoryWindow::PlotCurvature), (QList<QPointF>{{7.5, 3.0}}));
    EXPECT_EQ(history->TimeChart()->axes(Qt::Vertical).first()->titleText(), QStringLiteral("Curvature (\u00b5m)"));
    history->close();

    std::filesystem::remove(log);
    std::filesystem::create_directory(log);
    r.tilt.microns = 30.0;
    window->AutoFocusPage()->ShowAberration(r, 1.0);
    EXPECT_TRUE(window->StatusPanelText(2).startsWith(QString::fromStdString("The aberration log " + log + " could not be written: ")))
        << window->StatusPanelText(2).toStdString();
    EXPECT_TRUE(panel->Verdicts()->toolTip().startsWith(QString::fromUtf8("Tilt: 30 µm")));
}
