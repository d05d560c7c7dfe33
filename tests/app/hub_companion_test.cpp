// The real window and kessivane-hub on a private bus: the companion's questions,
// moves, refusals and watch; a driver's interrupt report; the compensation announcement.
#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QSlider>
#include <QSpinBox>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <optional>

#include "app/dbus_broadcast_bus.h"
#include "app/focusing_view.h"
#include "app/main_form.h"
#include "app/scripting_service.h"
#include "app/settings_page.h"
#include "camera/camera_control.h"
#include "camera/image_object.h"
#include "widgets/lum_memo.h"
#include "shell/settings_store.h"
#include "private_bus.h"
#include "shell/window_rules.h"
#include "sim/hub_simulator.h"
#include "sim/sim_devices.h"
#include "widgets/lum_lite.h"

using kvtest::ProcessEventsUntil;

namespace {

const QString kHub = QStringLiteral("kessivane-hub");

class HubCompanion : public kvtest::WindowTest {
protected:
    void SetUp() override {
        if (!bus.Up() || !QFileInfo::exists(QStringLiteral(KV_BIN_DIR "/kessivane-hub"))) {
            GTEST_SKIP() << "needs dbus-daemon and a built kessivane-hub";
        }
        dbus.emplace(bus.Connection());
        UseBus(*dbus);
        WindowTest::SetUp();
        AddSimCamera();
        ASSERT_TRUE(Open());
        ASSERT_TRUE(window->State().portOpen);
        QObject::connect(&*dbus, &DbusBroadcastBus::received, &*window,
                         [this](const QString& message, qint64 wparam, qint64 lparam, const QString&, qint64 pid) {
                             window->OnBroadcast(message, wparam, lparam, pid);
                         });
        window->show();
    }
    void TearDown() override {
        WindowTest::TearDown();
        dbus.reset();
    }
    QString Shown() const { return window->findChild<QLabel*>(QStringLiteral("CTSLabel"))->text(); }
    // kessivane-hub's move, refused with `why`.
    void ExpectRefused(const QStringList& move, const QString& why) {
        const auto run = bus.RunTool(kHub, move);
        EXPECT_EQ(run.exitCode, 4) << move.join(' ').toStdString();
        EXPECT_EQ(run.err, "The move was refused: " + why + "\n");
        EXPECT_EQ(run.out, QString());
    }
    // A message from another process, as a camera driver would send it.
    void SendFromDriver(const char* message, qint64 wparam, qint64 lparam) {
        QProcess send;
        send.start("dbus-send", {"--bus=" + bus.Address(), "--type=signal", kv::kDbusPath,
                                 QString(kv::kDbusInterface) + '.' + kv::kDbusSignal, QString("string:") + message,
                                 QString("int64:%1").arg(wparam), QString("int64:%1").arg(lparam), "string:", "int64:1"});
        ASSERT_TRUE(send.waitForFinished(kvtest::kBusLimitMs));
    }

    kvtest::PrivateBus bus{QStringLiteral("kv-window-bus")};
    std::optional<DbusBroadcastBus> dbus;
};

}  // namespace

TEST_F(HubCompanion, MovesByWhatItAsksSeesTheIdleReportsAndReadsThePositionShown_AndADriversInterruptReport) {
    const std::int32_t start = window->FocusControl()->CTSCount();
    QProcess watch;
    bus.Start(watch, kHub, {QStringLiteral("watch"), QStringLiteral("--count"), QStringLiteral("4")});
    QByteArray seen;
    ASSERT_TRUE(kvtest::PrivateBus::WaitForLine(watch, seen, "watching\n"));

    // The move is sent once the program has answered where it stands.
    EXPECT_EQ(bus.RunTool(kHub, {QStringLiteral("move-by"), QStringLiteral("100")}).exitCode, 0);
    ASSERT_TRUE(ProcessEventsUntil([&] { return watch.state() == QProcess::NotRunning; }, kvtest::kBusLimitMs));
    seen += watch.readAllStandardOutput();
    const std::int32_t end = window->FocusControl()->CTSCount();
    // The hub's motor coasts on after it is switched off; pulse counting ends
    // within the coast of the target.
    EXPECT_NEAR(end, start + 100, 2);
    EXPECT_EQ(seen.toStdString(), "watching\ncode 2 " + std::to_string(start) + "\ncode 6 0\ncode 6 1\ncode 2 " +
                                      std::to_string(end) + "\n");

    const auto asked = bus.RunTool(kHub, {QStringLiteral("position")});
    EXPECT_EQ(asked.exitCode, 0) << asked.err.toStdString();
    EXPECT_EQ(asked.out.trimmed().toInt(), end);
    EXPECT_EQ(Shown().toInt(), end);
    EXPECT_EQ(bus.RunTool(kHub, {QStringLiteral("idle")}).out, QStringLiteral("1\n"));

    // Kept out: the moves are refused and said; the user's box stays, the
    // position is still answered, and the choice is saved from the click on.
    QMessageBox notice(QMessageBox::Information, QStringLiteral("Kessivane"), QStringLiteral("left over"),
                       QMessageBox::Ok);
    notice.show();
    window->SettingsPage()->AllowControlCB()->click();
    EXPECT_EQ(kv::IniFile::Load(window->IniPath()).Get("Misc", kv::kAllowOtherProgramsKey), "0");
    for (const char* move : {"move-by", "move-to"}) {
        ExpectRefused({QString::fromLatin1(move), QStringLiteral("100")},
                      QString::fromLatin1(scripting::kNotAllowedText));
    }
    // The answer went out before any move could have started.
    EXPECT_TRUE(window->FocusControl()->GetIdle());
    EXPECT_EQ(window->FocusControl()->CTSCount(), end);
    EXPECT_TRUE(notice.isVisible());
    EXPECT_EQ(bus.RunTool(kHub, {QStringLiteral("position")}).out.trimmed().toInt(), end);

    // A camera driver's interrupt report holds the focuser only on the old
    // system with that maker's camera.
    auto* lamp = window->findChild<kv::TlumLite*>(QStringLiteral("IntLite"));
    window->CameraControl()->SetIsSBIG(true);
    SendFromDriver(kv::kKvMsg, kv::kInterruptReportKey, 1);
    // The question goes through the same bus daemon after the report, so it is answered after it.
    ASSERT_EQ(bus.RunTool(kHub, {QStringLiteral("position")}).exitCode, 0);
    EXPECT_FALSE(window->FocusControl()->InterruptsOff());
    EXPECT_FALSE(lamp->Lit());

    window->SetIsWin9x(true);
    SendFromDriver(kv::kQxKvMsg, kv::kInterruptReportKey, 1);
    ASSERT_TRUE(ProcessEventsUntil([&] { return window->FocusControl()->InterruptsOff(); }));
    EXPECT_TRUE(lamp->Lit());
    EXPECT_EQ(lamp->OnColor(), QColor(Qt::red));
    SendFromDriver(kv::kKvMsg, kv::kInterruptReportKey, 0);
    ASSERT_TRUE(ProcessEventsUntil([&] { return !window->FocusControl()->InterruptsOff(); }));
    EXPECT_EQ(lamp->OnColor(), QColor(Qt::green));
}

// The announcement is sent from a worker, as a correction would be; the wait
// ends when the bus has taken it, whoever listens.
TEST_F(HubCompanion, CompensationAnnouncementWaitIsBoundedWithNobodyOrAHungCompanionListening) {
    auto announce = [this](int value) {
        QElapsedTimer took;
        took.start();
        auto sent = std::async(std::launch::async, [value] {
            return TMainForm::SendKantrel(kv::kKantrelCompensationMove, value);
        });
        // The window goes on meanwhile.
        EXPECT_TRUE(ProcessEventsUntil([&] { return sent.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
                                       kvtest::kBusLimitMs));
        EXPECT_TRUE(sent.get());
        return took.elapsed();
    };
    const qint64 bound = DbusBroadcastBus::kConfirmTimeoutMs + 1000;
    EXPECT_LT(announce(12), bound);

    QProcess watch;
    bus.Start(watch, kHub, {QStringLiteral("watch"), QStringLiteral("--count"), QStringLiteral("1")});
    QByteArray seen;
    ASSERT_TRUE(kvtest::PrivateBus::WaitForLine(watch, seen, "watching\n"));
    ::kill(static_cast<pid_t>(watch.processId()), SIGSTOP);
    EXPECT_LT(announce(-7), bound);
    ::kill(static_cast<pid_t>(watch.processId()), SIGCONT);
    ASSERT_TRUE(ProcessEventsUntil([&] { return watch.state() == QProcess::NotRunning; }, kvtest::kBusLimitMs));
    seen += watch.readAllStandardOutput();
    EXPECT_EQ(seen.toStdString(), "watching\ncode 7 -7\n");
}

// A scan, an auto focus or a move under way owns the focuser: the companion's
// move is refused with why and what runs goes on; once free, the move is made.
TEST_F(HubCompanion, AMoveWhileAProcedureRunsOrAMoveIsUnderWayIsRefusedAndLeavesItRunning) {
    // Steps long enough that the refusal comes before the procedure could end.
    Find<QSlider>("ExposureMS")->setValue(300);
    Find<QSpinBox>("FocusSamples")->setValue(3);
    Find<QSpinBox>("StartScanSE")->setValue(-20);
    Find<QSpinBox>("ScanStepSE")->setValue(10);
    Find<QSpinBox>("NumStepsSE")->setValue(8);
    PickStar();
    int steps = 0;
    std::optional<bool> completed;
    QObject::connect(window->Focusing(), &TFocusingView::procedureProgress, &*window, [&] { ++steps; });
    QObject::connect(window->Focusing(), &TFocusingView::procedureEnded, &*window,
                     [&](const QString&, bool done) { completed = done; });
    const QStringList move{QStringLiteral("move-by"), QStringLiteral("300")};
    const QString running = QStringLiteral("A scan or an auto focus is running");

    struct Procedure {
        const char* start;
        const char* cancel;
    };
    for (const Procedure& p :
         {Procedure{"StartScanButton", "ScanCancelButton"}, Procedure{"StartSearch", "CancelSearch"}}) {
        SCOPED_TRACE(p.start);
        steps = 0;
        completed.reset();
        Find<QAbstractButton>(p.start)->click();
        ASSERT_TRUE(ProcessEventsUntil([&] { return steps >= 1; }, 60000));
        ExpectRefused(move, running);
        // It measures on; had the move been made, the procedure's own move
        // would have been cut short and the procedure ended unfinished.
        const int seen = steps;
        ASSERT_TRUE(ProcessEventsUntil([&] { return steps > seen || completed.has_value(); }, 60000));
        EXPECT_TRUE(completed.value_or(true));
        if (window->Focusing()->Running()) Find<QAbstractButton>(p.cancel)->click();
        ASSERT_TRUE(ProcessEventsUntil([&] {
            return !window->Focusing()->Running() && window->FocusControl()->GetIdle() && Find(p.start)->isEnabled();
        }, 30000));
    }

    // A programmed move of the window's own, slowed so that it outlasts the
    // companion's start-up.
    const std::shared_ptr<kvsim::HubSimulator> hub = kvsim::HubFor("hub");
    const kvsim::HubParameters normal = hub->Parameters();
    kvsim::HubParameters slow = normal;
    slow.fastSpeed = slow.slowSpeed = 40.0;
    hub->SetParameters(slow);
    window->FocusControl()->MoveBy(200);
    ASSERT_TRUE(ProcessEventsUntil([&] { return !window->FocusControl()->GetIdle(); }));
    ExpectRefused(move, QStringLiteral("The focuser is moving"));
    EXPECT_FALSE(window->FocusControl()->GetIdle());  // not cut short
    Find<QAbstractButton>("StopMain")->click();
    ASSERT_TRUE(ProcessEventsUntil([&] { return window->FocusControl()->GetIdle(); }, kvtest::kBusLimitMs));
    hub->SetParameters(normal);

    // Each refusal is in the program log, with why.
    const auto logged = [&] {
        return window->LogMemo()->Lines().filter(QStringLiteral("from another program was refused: ")).size();
    };
    EXPECT_TRUE(ProcessEventsUntil([&] { return logged() == 3; })) << logged();

    const std::int32_t before = window->FocusControl()->CTSCount();
    const auto made = bus.RunTool(kHub, {QStringLiteral("move-by"), QStringLiteral("60")});
    EXPECT_EQ(made.exitCode, 0) << made.err.toStdString();
    kv::TFocusControl* focuser = window->FocusControl();
    // The count is what the motor really turned: on a loaded machine the
    // switch-off comes a little late and the motor coasts a few counts on.
    EXPECT_TRUE(ProcessEventsUntil(
        [&] { return focuser->GetIdle() && std::abs(focuser->CTSCount() - before - 60) <= 6; }, kvtest::kBusLimitMs))
        << focuser->CTSCount() - before;
}
