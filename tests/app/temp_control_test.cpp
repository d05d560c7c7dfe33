// The Temp Control page and the compensation window in the real main window on
// the simulated hub and its temperature unit.
#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QValueAxis>
#include <QChartView>
#include <QTabWidget>
#include <QTimer>

#include <thread>

#include "app/focus_history.h"
#include "app/read_out_panel.h"
#include "app/tc_window.h"
#include "app/temp_page.h"
#include "app_test_support.h"
#include "shell/settings_store.h"
#include "shell/window_rules.h"
#include "focusing/focus_log.h"
#include "sim/hub_simulator.h"
#include "sim/observatory.h"
#include "tempcomp/calibration_list.h"
#include "tempcomp/compensator.h"
#include "widgets/lum_lite.h"

using kvtest::ProcessEventsUntil;

namespace {

class TempControl : public kvtest::WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        hub = kvsim::HubFor("hub");
        UseBus(bus);
    }
    void Start(bool enabled = true) {
        folder.Write("Kessivane.ini", std::string("[Device/Ports]\r\nFocuser=JMI NGF-S\r\nComPort=1\r\nCommands=1\r\n") +
                                          "[TempControl]\r\nEnabled=" + (enabled ? "1" : "0") +
                                          "\r\nTempReadingRate=1\r\n[Ports]\r\nCOM1=sim:hub\r\n");
        ASSERT_TRUE(WindowTest::Open(false));
        ASSERT_TRUE(window->State().portOpen);
        window->show();
        page = window->TempPage();
    }
    // Opens the page and waits for the first reading and the offset.
    void Open() {
        window->PageControl()->setCurrentIndex(TMainForm::TempControl);
        ASSERT_EQ(window->PageControl()->currentIndex(), TMainForm::TempControl);
        ASSERT_TRUE(ProcessEventsUntil([&] { return Text("AvgTempLabel").endsWith(QStringLiteral("°C")); }));
        ASSERT_TRUE(ProcessEventsUntil([&] { return Text("CalValueLabel") != kv::kNoOffsetText; }));
    }
    QString Text(const char* name) { return Find<QLabel>(name)->text(); }
    std::size_t OffsetWrites() {
        std::size_t n = 0;
        for (const auto& c : hub->Commands()) n += c.rfind("KTR06", 0) == 0 ? 1 : 0;
        return n;
    }
    // Silences the hub's temperature unit (or brings it back) and waits for the page's warning to follow.
    void SetTemperatureUnit(bool present, bool pageOpen = true) {
        kvsim::HubParameters p = hub->Parameters();
        p.temperatureUnit = present;
        hub->SetParameters(p);
        if (pageOpen) {
            ASSERT_TRUE(ProcessEventsUntil([&] { return Find("TCWarningLabel")->isVisible() != present; }, 20000));
        }
    }
    void AutoOn() {
        Find<QLineEdit>("SlopeEdit")->setText("10");
        Find<QCheckBox>("AutoSwitch")->click();
    }
    kv::TlumLite* OnLamp() { return window->TCWindow()->findChild<kv::TlumLite*>("TCOnLite"); }

    kvtest::KantrelBus bus;  // the compensation moves go out as code 7
    std::shared_ptr<kvsim::HubSimulator> hub;
    TTempPage* page = nullptr;
};

}  // namespace

TEST_F(TempControl, OfferedOnlyWithCompensationEnabled_ReadsTheSensorAndKeepsTheOffsetInRange) {
    Start(false);
    EXPECT_FALSE(window->PageControl()->isTabVisible(TMainForm::TempControl));
    Find<QCheckBox>("TCEnableCB")->setChecked(true);
    window->UpdatePgmParameters(false);
    ASSERT_TRUE(window->PageControl()->isTabVisible(TMainForm::TempControl));

    hub->SetOffset(kv::kCalRegisterMax);
    Open();
    EXPECT_FALSE(Find("TCWarningLabel")->isVisible());
    EXPECT_TRUE(Find("AutoSwitch")->isVisible());
    EXPECT_TRUE(Text("AvgTempLabel_F").endsWith(QStringLiteral("°F")));
    EXPECT_EQ(Text("CalValueLabel"), "+15");
    // The samples controls give way to the page; the read-out panel shrinks.
    EXPECT_FALSE(Find("FocusSamples")->isVisible());

    Find<QPushButton>("SetCalUpButton")->click();
    EXPECT_EQ(OffsetWrites(), 0u);
    EXPECT_EQ(Text("CalValueLabel"), "+15");
    Find<QPushButton>("SetCalDownButton")->click();
    EXPECT_FALSE(Find("SetCalDownButton")->isEnabled());
    ASSERT_TRUE(ProcessEventsUntil([&] { return Find("SetCalDownButton")->isEnabled(); }));
    EXPECT_EQ(OffsetWrites(), 1u);
    EXPECT_EQ(hub->Offset(), kv::kCalRegisterMax - 1);
    EXPECT_EQ(Text("CalValueLabel"), "+14");
    EXPECT_TRUE(page->GetTempTimer()->isActive());

    // Away from the page without compensation: everything stops, the offset is unknown.
    window->PageControl()->setCurrentIndex(TMainForm::ManualFocus);
    EXPECT_FALSE(page->GetTempTimer()->isActive());
    EXPECT_FALSE(page->SecondTimer()->isActive());
    EXPECT_EQ(Text("CalValueLabel"), "???");
    EXPECT_TRUE(Find("FocusSamples")->isVisible());
    // The panel grew back after the page was laid out: the Scan group moves
    // down with it rather than staying under it.
    QApplication::processEvents();
    QWidget* readOut = window->ReadOutPanel();
    QWidget* scan = Find("StartScanSE")->parentWidget();
    EXPECT_GE(scan->mapTo(window->centralWidget(), QPoint(0, 0)).y(),
              readOut->mapTo(window->centralWidget(), QPoint(0, readOut->height())).y());
}

TEST_F(TempControl, LeavingDuringAutomaticCompensationKeepsTheScheduleTheClockAndTheTitle) {
    Start();
    Open();
    Find<QDoubleSpinBox>("AutoTCRateSE")->setValue(0.5);
    AutoOn();
    // The first activation corrects at once (nothing has changed yet) and schedules the next.
    EXPECT_EQ(bus.Values(kv::kKantrelCompensationMove), std::vector<std::int64_t>{0});
    EXPECT_EQ(Text("MethodPanel"), kv::kMethodAutomatic);
    EXPECT_EQ(Text("TimeUntilPanel"), "00:30");
    EXPECT_EQ(Text("StartTempPanel"), Text("AvgTempLabel"));
    EXPECT_TRUE(OnLamp()->Lit());
    for (const char* name : {"TrainSB", "TCResetButton", "ClearAllButton", "LoadTCButton"}) {
        EXPECT_FALSE(Find(name)->isEnabled()) << name;
    }

    window->PageControl()->setCurrentIndex(TMainForm::ManualFocus);
    EXPECT_EQ(window->PageControl()->currentIndex(), TMainForm::ManualFocus);
    EXPECT_TRUE(dialogs.Saw(kv::kCompensationUnderwayWarning));
    EXPECT_TRUE(page->GetTempTimer()->isActive());
    EXPECT_EQ(window->windowTitle(), "Kessivane " + Text("AvgTempLabel"));
    // Seconds pass quickly: the countdown runs out and the next correction is made.
    page->SecondTimer()->setInterval(5);
    ASSERT_TRUE(ProcessEventsUntil([&] { return bus.Values(kv::kKantrelCompensationMove).size() == 2; }, 10000));
    EXPECT_FALSE(Find<QLabel>("CurrentTimeLabel")->text().isEmpty());
    EXPECT_FALSE(window->TCWindow()->findChild<QLabel*>("CurrentTimeLabel")->text().isEmpty());
    EXPECT_TRUE(window->windowTitle().startsWith("Kessivane "));

    window->PageControl()->setCurrentIndex(TMainForm::TempControl);
    Find<QCheckBox>("AutoSwitch")->click();
    EXPECT_TRUE(Text("TimeUntilPanel").isEmpty());
    EXPECT_TRUE(Find("LoadTCButton")->isEnabled());
    window->PageControl()->setCurrentIndex(TMainForm::ManualFocus);
    EXPECT_FALSE(page->SecondTimer()->isActive());
    EXPECT_EQ(window->windowTitle(), "Kessivane");
}

TEST_F(TempControl, CompensateInTheWindowIsCompensateNowWithItsInterruptWarning) {
    Start();
    TTCWindow* tc = window->TCWindow();
    // No TCLeft/TCTop: centred over the main window (give or take its frame).
    const QPoint offCentre = tc->frameGeometry().center() - window->frameGeometry().center();
    EXPECT_LE(offCentre.manhattanLength(), 8);
    Open();
    Find<QPushButton>("OpenTCWindow")->click();
    ASSERT_TRUE(tc->isVisible());
    tc->FaranCB()->click();
    EXPECT_EQ(tc->findChild<QLabel*>("AvgTempLabel")->text(), Text("AvgTempLabel_F"));

    Find<QLineEdit>("SlopeEdit")->setText("x");
    tc->CompNow()->click();
    EXPECT_TRUE(dialogs.Saw(kv::kNoCoefficientNowText));

    Find<QLineEdit>("SlopeEdit")->setText("10");
    window->SetIsWin9x(true);
    window->CameraControl()->SetIsSBIG(true);
    window->OnBroadcast(kv::kKvMsg, kv::kInterruptReportKey, 1);
    ASSERT_TRUE(window->FocusControl()->InterruptsOff());
    dialogs.shown.clear();
    tc->CompNow()->click();
    Find<QPushButton>("ManualTCButton")->click();
    ASSERT_EQ(dialogs.shown.size(), 2u);
    for (const auto& box : dialogs.shown) {
        EXPECT_EQ(box.text, kv::kInterruptsOffText);
        EXPECT_EQ(box.type, kv::DialogType::Warning);
    }
    EXPECT_TRUE(bus.Values(kv::kKantrelCompensationMove).empty());
    EXPECT_TRUE(Text("MethodPanel").isEmpty());

    window->OnBroadcast(kv::kKvMsg, kv::kInterruptReportKey, 0);
    tc->CompNow()->click();
    EXPECT_EQ(bus.Values(kv::kKantrelCompensationMove), std::vector<std::int64_t>{0});
    EXPECT_EQ(Text("MethodPanel"), kv::kMethodManual);
    EXPECT_EQ(Text("StepsMovedPanel"), "0");
    EXPECT_EQ(tc->findChild<QLabel*>("LastTemp")->text(), Text("TempPanel"));
    // The window keeps the clock while the page is left.
    window->PageControl()->setCurrentIndex(TMainForm::ManualFocus);
    EXPECT_TRUE(page->SecondTimer()->isActive());
}

TEST_F(TempControl, CalibrationPointsAreStoredAfterAutoFocusWhileTrainingLoadedSavedAndAddedFromTheFocusHistory) {
    Start();
    EXPECT_EQ(kv::FactorySettingsText().find(kv::kStoreAfterAutoFocusKey), std::string::npos);
    Open();
    kv::TCalibrationList& list = page->Calibration();
    auto* option = Find<QCheckBox>("StoreAfterAFCB");
    EXPECT_FALSE(option->isChecked());
    window->SaveSettingsButtonClick();
    EXPECT_EQ(folder.Read("Kessivane.ini").find(kv::kStoreAfterAutoFocusKey), std::string::npos);
    option->click();
    EXPECT_NE(folder.Read("Kessivane.ini").find(std::string(kv::kStoreAfterAutoFocusKey) + "=1"), std::string::npos);

    page->AutoFocusCompleted();
    EXPECT_EQ(list.Count(), 0u);  // not training
    qobject_cast<QAbstractButton*>(Find("TrainSB"))->click();
    EXPECT_FALSE(Find("SaveTCButton")->isEnabled());
    EXPECT_FALSE(Find("AutoSwitch")->isEnabled());
    page->AutoFocusCompleted();
    ASSERT_EQ(list.Count(), 1u);
    EXPECT_EQ(list.Rows()[0].position, std::to_string(Text("CTSLabel").toInt()));
    EXPECT_TRUE(list.Rows()[0].checked);

    // Saved and loaded back through the file dialogs.
    qobject_cast<QAbstractButton*>(Find("TrainSB"))->click();
    const std::string path = folder.File("night.tcd");
    window->SetSaveFileNameProvider([&] { return QString::fromStdString(path); });
    Find<QPushButton>("SaveTCButton")->click();
    EXPECT_EQ(folder.Read("night.tcd").rfind("; ", 0), 0u);
    dialogs.answer = kv::DialogResult::Yes;
    Find<QPushButton>("ClearAllButton")->click();
    EXPECT_EQ(list.Count(), 0u);
    page->SetOpenFileNameProvider([&](const QString&, const QString& filter) {
        EXPECT_EQ(filter, "Temp Compensation Data (*.tcd);;All Files (*.*)");
        return QString::fromStdString(path);
    });
    Find<QPushButton>("LoadTCButton")->click();
    ASSERT_EQ(list.Count(), 1u);
    EXPECT_TRUE(list.Clean());
    Find<QPushButton>("CalcCoeffButton")->click();
    EXPECT_TRUE(dialogs.Saw(kv::kTooFewCheckedText));

    // A file that is not calibration data, loaded or merged: the list and the
    // coefficient stay, the message names the file and line and shows no raw bytes.
    auto* slope = Find<QLineEdit>("SlopeEdit");
    slope->setText(QStringLiteral("2.5"));
    const std::string bad = folder.File("bad.tcd");
    kv::test::WriteFile(bad, "1,5,6,7,8\r\n\x01\x89PNG\x1a\xff,1,2\r\n");
    page->SetOpenFileNameProvider([&](const QString&, const QString&) { return QString::fromStdString(bad); });
    for (const char* button : {"LoadTCButton", "MergeTCButton"}) {
        dialogs.shown.clear();
        Find<QPushButton>(button)->click();
        ASSERT_EQ(list.Count(), 1u) << button;
        EXPECT_EQ(slope->text(), "2.5");
        ASSERT_FALSE(dialogs.shown.empty());
        EXPECT_EQ(dialogs.shown.back().text, "Cannot load file \"" + bad + "\": Line 2: '?PNG?" "?' is not a valid integer "
                                             "value. The calibration list was not changed.");
    }

    // A night's auto focuses in the focus log, following the simulated drift
    // with jitter, among runs that are no calibration points and a line that is
    // no run: the history fits the drift, and the chosen runs join the list.
    // Before any run the chart's axes still read as a night's temperatures and whole steps.
    Find<QPushButton>("FocusHistoryButton")->click();
    {
        QChart* chart = window->FocusHistory()->TemperatureChart();
        const auto* across = qobject_cast<QValueAxis*>(chart->axes(Qt::Horizontal).first());
        const auto* down = qobject_cast<QValueAxis*>(chart->axes(Qt::Vertical).first());
        EXPECT_LE(across->min(), -10);
        EXPECT_GE(across->max(), 20);
        EXPECT_GE(down->max() - down->min(), 100) << "steps that do not all round to the same whole number";
        window->FocusHistory()->close();
    }
    kvsim::Observatory& sky = kvsim::Observatory::Instance();
    sky.StartNight({});
    const double truth = sky.Parameters().stepsPerDegree;
    {
        kv::TFocusLog log(folder.File(kv::kFocusLogFileName));
        const auto dusk = std::chrono::system_clock::now() - std::chrono::hours(12);
        kv::FocusLogEntry e;
        e.method = "curve fit";
        e.figure = 2.5;
        e.kind = "HFD";
        e.scale = kv::CountingScale(dusk);  // the hub only counts: one session's night
        for (int hour = 0; hour <= 10; ++hour) {
            sky.SetNightSeconds(hour * 3600.0);
            e.time = kv::FocusLogTime(dusk + std::chrono::hours(hour));
            e.procedure = "autofocus";
            e.outcome = "completed";
            e.final = std::llround(sky.BestFocus()) + (hour % 2 == 0 ? 4 : -4);  // jitter the fit sees through
            e.temperatureC = std::round(sky.TemperatureC() * 10.0) / 10.0;  // the hub's resolution
            ASSERT_TRUE(log.Append(e));
            if (hour == 3) {  // a scan, a failed auto focus and one without a temperature
                e.procedure = "scan";
                ASSERT_TRUE(log.Append(e));
                e.procedure = "autofocus";
                e.outcome = "failed";
                ASSERT_TRUE(log.Append(e));
                e.outcome = "completed";
                e.temperatureC.reset();
                ASSERT_TRUE(log.Append(e));
                // A refocus trigger's mark, with a temperature as the window writes it.
                kv::FocusLogEntry mark = e;
                mark.procedure = "trigger";
                mark.method = "temperature";
                mark.outcome = "fired";
                mark.temperatureC = 4.0;
                mark.reason = "Refocus: temperature changed by 1.2 \u00B0C since the last focus";
                ASSERT_TRUE(log.Append(mark));
            }
        }
        sky.SetNightSeconds(std::nullopt);
        std::ofstream(log.Path(), std::ios::app) << "2026-12-07 22:00:00,autofocus,torn\n";
    }
    Find<QPushButton>("ClearAllButton")->click();
    ASSERT_EQ(list.Count(), 0u);
    ASSERT_TRUE(list.StoreRunPoint(4321, 8.5, std::chrono::system_clock::now()).ok());  // the user's own
    Find<QPushButton>("FocusHistoryButton")->click();
    TFocusHistoryWindow* history = window->FocusHistory();
    ASSERT_TRUE(history->isVisible());
    ASSERT_EQ(history->Runs().size(), 15u);
    ASSERT_EQ(history->Chosen().size(), 11u);
    // The runs that cannot be chosen say why; a trigger's mark gives its reason first.
    auto* table = history->findChild<QTableWidget*>();
    for (const auto& [row, says] : {std::pair{4, "A scan"}, {5, "This auto focus failed"}, {6, "No temperature"},
                                    {7, "Refocus: temperature changed by 1.2 \u00B0C since the last focus\nA refocus "
                                        "trigger"}}) {
        EXPECT_TRUE(table->item(row, 1)->toolTip().startsWith(QString::fromUtf8(says))) << row << " "
                                                                                      << table->item(row, 1)->toolTip().toStdString();
    }
    EXPECT_TRUE(table->item(3, 1)->toolTip().isEmpty());
    const std::optional<kv::FocusDrift> drift = history->Drift();
    ASSERT_TRUE(drift);
    EXPECT_EQ(drift->runs, 11);
    EXPECT_NEAR(drift->stepsPerDegree, truth, 0.1 * std::abs(truth));
    EXPECT_TRUE(history->DriftLabel()->text().contains(QStringLiteral("(11 runs"))) << history->DriftLabel()->text().toStdString();

    history->SetChosen(0, false);  // dusk's run, and one that is not offered
    history->SetChosen(4, true);
    history->SetChosen(7, true);  // a trigger's mark is no best focus
    EXPECT_FALSE(table->item(7, 0)->flags() & Qt::ItemIsUserCheckable);
    EXPECT_EQ(history->Chosen().size(), 10u);
    EXPECT_TRUE(history->DriftLabel()->text().contains(QStringLiteral("(10 runs")));
    history->AddButton()->click();
    ASSERT_EQ(list.Count(), 11u);
    EXPECT_EQ(list.Rows()[0].position, "4321");
    const std::vector<kv::FocusLogEntry> chosen = history->Chosen();
    for (std::size_t i = 0; i < chosen.size(); ++i) {
        const auto point = list.GetDataPoint(i + 1);
        ASSERT_TRUE(point);
        EXPECT_EQ(point->Position, chosen[i].final);
        EXPECT_DOUBLE_EQ(point->Temp, *chosen[i].temperatureC);
        EXPECT_TRUE(point->Checked);
    }
    // The page's own fit over them agrees with the history's.
    list.SetChecked(0, false);
    Find<QPushButton>("CalcCoeffButton")->click();
    EXPECT_NEAR(Find<QLineEdit>("SlopeEdit")->text().toDouble(), history->Drift()->stepsPerDegree, 0.01);
    sky.StartNight({});
}

// Two sessions of a counting focuser, a focuser's own scale and older lines: the
// history combines one scale at a time, the latest run's first, and adds only its runs.
TEST_F(TempControl, TheFocusHistoryCombinesRunsOfOneScaleOnly) {
    Start();
    kv::TCalibrationList& list = page->Calibration();
    ASSERT_EQ(list.Count(), 0u);
    const auto now = std::chrono::system_clock::now();
    const auto earlier = now - std::chrono::hours(48), later = now - std::chrono::hours(6);
    // An older log, with its own header and lines that name no scale.
    folder.Write(kv::kFocusLogFileName,
                 "time,procedure,method,outcome,start,final,absolute_start,absolute_final,figure,kind,stars,frames,"
                 "r_squared,temperature_c,reason\n" +
                     kv::FocusLogTime(earlier - std::chrono::hours(30)) +
                     ",autofocus,curve fit,completed,0,-500,,,2.5000,HFD,1,40,,9.00,\n" +
                     kv::FocusLogTime(earlier - std::chrono::hours(29)) +
                     ",autofocus,curve fit,completed,0,700,,,2.5000,HFD,1,40,,7.00,\n");
    const std::string first = kv::CountingScale(earlier), second = kv::CountingScale(later);
    {
        kv::TFocusLog log(folder.File(kv::kFocusLogFileName));
        kv::FocusLogEntry e;
        e.procedure = "autofocus", e.method = "curve fit", e.outcome = "completed", e.kind = "HFD";
        // Each scale's own slope: -12, -25 and -15 steps a degree.
        const auto add = [&](std::chrono::system_clock::time_point at, double t, std::int64_t final,
                             std::optional<std::int64_t> absolute, const std::string& scale) {
            e.time = kv::FocusLogTime(at), e.temperatureC = t, e.final = final, e.absoluteFinal = absolute,
            e.scale = scale;
            ASSERT_TRUE(log.Append(e));
        };
        for (int i = 0; i < 3; ++i) add(earlier + std::chrono::hours(i), 10 - 2 * i, 1000 + 24 * i, std::nullopt, first);
        for (int i = 0; i < 3; ++i)
            add(earlier + std::chrono::hours(10 + i), 10 - 2 * i, 3 * i, 30000 + 50 * i, std::string());
        for (int i = 0; i < 3; ++i) add(later + std::chrono::hours(i), 5 - 2 * i, 200 + 30 * i, std::nullopt, second);
        e.outcome = "failed";  // the latest run, but no candidate
        add(later + std::chrono::hours(4), 0, 0, 31000, std::string());
    }
    window->ShowFocusHistory();
    TFocusHistoryWindow* history = window->FocusHistory();
    ASSERT_EQ(history->Runs().size(), 12u);
    auto* table = history->findChild<QTableWidget*>();
    int scaleColumn = -1;
    for (int c = 0; c < table->columnCount(); ++c)
        if (table->horizontalHeaderItem(c)->text() == QLatin1String("Scale")) scaleColumn = c;
    ASSERT_GE(scaleColumn, 0);
    const QString firstStart = QString::fromStdString(kv::FocusLogTime(earlier));
    const QString secondStart = QString::fromStdString(kv::FocusLogTime(later));
    for (const auto& [row, says] : {std::pair{0, QStringLiteral("unknown (older log line)")},
                                    {2, QStringLiteral("counted from ") + firstStart},
                                    {5, QStringLiteral("focuser position")},
                                    {8, QStringLiteral("counted from ") + secondStart},
                                    {11, QStringLiteral("focuser position")}}) {
        EXPECT_EQ(table->item(row, scaleColumn)->text(), says) << row;
    }
    const auto rows = [&] {
        std::vector<std::int64_t> best;
        for (const kv::FocusLogEntry& e : history->Chosen()) best.push_back(kv::BestFocusPosition(e));
        return best;
    };

    // What ticking runs leaves chosen, from the runs the window starts with.
    struct Case {
        const char* what;
        std::vector<int> tick;
        std::vector<std::int64_t> chosen;
        std::optional<double> slope;
        QString label;
    };
    const Case cases[] = {
        {"the latest candidate's session", {}, {200, 230, 260}, -15.0, QStringLiteral("steps counted from ") + secondStart},
        {"the earlier session", {2}, {1000}, std::nullopt, QStringLiteral("steps counted from ") + firstStart},
        {"the earlier session, all of it", {2, 3, 4}, {1000, 1024, 1048}, -12.0, QStringLiteral("counted from ") + firstStart},
        {"the focuser's scale", {5, 6, 7}, {30000, 30050, 30100}, -25.0, QStringLiteral("the focuser's position")},
        {"one older line", {0}, {-500}, std::nullopt, QStringLiteral("older run of ")},
        {"two older lines", {0, 1}, {700}, std::nullopt, QStringLiteral("older run of ")},
        {"back to the latest session", {5, 9}, {230}, std::nullopt, QStringLiteral("counted from ") + secondStart},
    };
    for (const Case& c : cases) {
        history->Reload();
        for (const int row : c.tick) history->SetChosen(row, true);
        EXPECT_EQ(rows(), c.chosen) << c.what;
        const std::optional<kv::FocusDrift> drift = history->Drift();
        EXPECT_EQ(drift.has_value(), c.slope.has_value()) << c.what;
        if (drift && c.slope) {
            EXPECT_NEAR(drift->stepsPerDegree, *c.slope, 1e-9) << c.what;
        }
        EXPECT_TRUE(history->DriftLabel()->text().contains(c.label)) << c.what << ": "
                                                                      << history->DriftLabel()->text().toStdString();
    }

    // Added twice, the earlier session's runs are there once, and nothing else is.
    history->Reload();
    for (const int row : {2, 3, 4}) history->SetChosen(row, true);
    history->AddButton()->click();
    history->AddButton()->click();
    ASSERT_EQ(list.Count(), 3u);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(list.GetDataPoint(i)->Position, 1000 + 24 * static_cast<int>(i)) << i;
}

// The unit is asked on a worker: opening the page or polling a silent unit
// never holds up the window, and the reader follows a replaced focuser.
TEST_F(TempControl, ASilentUnitNeverFreezesTheWindowIsWarnedOfAndSwitchesCompensationOff) {
    Start();
    SetTemperatureUnit(false, false);
    // Told by the asking thread, not by the window's pauses (long on a loaded
    // machine anyway): no question of the unit's comes from the window's thread.
    hub->ClearRecord();
    window->PageControl()->setCurrentIndex(TMainForm::TempControl);
    ASSERT_TRUE(ProcessEventsUntil([&] { return Find("TCWarningLabel")->isVisible(); }, 10000));
    const auto unitQuestions = [&] {
        const auto record = hub->Record();
        return std::count_if(record.begin(), record.end(),
                             [](const auto& e) { return e.bytes.find("KTR") != std::string::npos; });
    };
    const auto opened = unitQuestions();
    ASSERT_TRUE(ProcessEventsUntil([&] { return unitQuestions() > opened; }, 20000)) << "polled again";
    for (const auto& e : hub->Record()) {
        EXPECT_FALSE(e.bytes.find("KTR") != std::string::npos && e.thread == std::this_thread::get_id()) << e.bytes;
    }
    EXPECT_GE(dialogs.beeps, 1);
    EXPECT_TRUE(page->TCDetectTimer()->isActive());
    EXPECT_EQ(Text("TempLabel"), kv::kNoTemperatureText);

    // The focuser is replaced (and freed) while the reader still asks the old one;
    // the update shows the settings, so back to the page, where the new one is asked.
    window->UpdatePgmParameters(false);
    window->PageControl()->setCurrentIndex(TMainForm::TempControl);
    SetTemperatureUnit(true);
    ASSERT_TRUE(ProcessEventsUntil([&] { return page->GetTempTimer()->isActive(); }));
    EXPECT_FALSE(page->TCDetectTimer()->isActive());
    EXPECT_TRUE(ProcessEventsUntil([&] { return Text("TempLabel").endsWith(QStringLiteral("°C")); }, 10000));
    EXPECT_TRUE(ProcessEventsUntil([&] { return Text("CalValueLabel") == "  0"; }));
    EXPECT_TRUE(Find("AutoSwitch")->isEnabled());

    // Silenced during automatic compensation: it is switched off and the title and lamp say so.
    Open();
    AutoOn();
    ASSERT_TRUE(page->AutoCompensating());
    SetTemperatureUnit(false);
    EXPECT_EQ(Find<QLabel>("TCWarningLabel")->text(), kv::kTempUnavailableText);
    EXPECT_FALSE(page->GetTempTimer()->isActive());
    EXPECT_EQ(Text("CalValueLabel"), "???");
    EXPECT_FALSE(page->AutoCompensating());
    EXPECT_FALSE(Find("AutoSwitch")->isEnabled());
    EXPECT_FALSE(Find("ManualTCButton")->isEnabled());
    EXPECT_TRUE(Text("SchedPanel").isEmpty());
    EXPECT_EQ(window->windowTitle(), "Kessivane");
    EXPECT_FALSE(OnLamp()->Lit());
    // The warning is read whole, above the reading rate rather than over it,
    // and the window's lamp caption keeps its "On".
    QApplication::processEvents();
    auto* warning = Find<QLabel>("TCWarningLabel");
    EXPECT_GE(warning->height(), warning->heightForWidth(warning->width()));
    QWidget* rate = Find("TempReadingRateSE");
    EXPECT_LE(warning->geometry().bottom(), rate->geometry().top());
    EXPECT_LE(rate->geometry().bottom(), rate->parentWidget()->contentsRect().bottom());
    QWidget* open = Find("OpenTCWindow");
    EXPECT_LE(open->geometry().bottom(), open->parentWidget()->contentsRect().bottom());
    window->TCWindow()->show();
    QApplication::processEvents();
    auto* lampCaption = window->TCWindow()->findChild<QLabel*>("Label1");
    EXPECT_LE(lampCaption->fontMetrics().horizontalAdvance(lampCaption->text()), lampCaption->contentsRect().width());
}
