// The real window and kessivane-hub on a private bus: the companion's questions,
// moves and watch; a camera driver's interrupt report; and the compensation
// announcement, which no companion, missing or hung, can hold up.
#include <QCheckBox>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLabel>
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <future>
#include <optional>

#include "app/dbus_broadcast_bus.h"
#include "app/main_form.h"
#include "app/settings_page.h"
#include "shell/settings_store.h"
#include "private_bus.h"
#include "shell/window_rules.h"
#include "sim/sim_devices.h"
#include "widgets/lum_lite.h"

using kvtest::ProcessEventsUntil;

namespace {

const QString kHub = QStringLiteral("kessivane-hub");

class HubCompanion : public ::testing::Test {
protected:
    void SetUp() override {
        if (!bus.Up() || !QFileInfo::exists(QStringLiteral(KV_BIN_DIR "/kessivane-hub"))) {
            GTEST_SKIP() << "needs dbus-daemon and a built kessivane-hub";
        }
        dbus.emplace(bus.Connection());
        previous = kv::BroadcastBus();
        kv::SetBroadcastBus(&*dbus);
        kvsim::InstallSimulatedPorts();
        kvsim::ResetSimulatedDevices();
        std::filesystem::copy_file(std::filesystem::path(KV_BIN_DIR) / "sim_camera.so", folder.File("sim_camera.so"));
        window.emplace(dialogs, folder.Dir(), QStringList{"kessivane", "--simulate"});
        ASSERT_TRUE(window->FormCreate());
        ASSERT_TRUE(window->State().portOpen);
        QObject::connect(&*dbus, &DbusBroadcastBus::received, &*window,
                         [this](const QString& message, qint64 wparam, qint64 lparam) {
                             window->OnBroadcast(message, wparam, lparam);
                         });
        window->show();
    }
    void TearDown() override {
        window.reset();
        if (dbus) kv::SetBroadcastBus(previous);
        dbus.reset();
        kvsim::ResetSimulatedDevices();
    }
    QString Shown() const { return window->findChild<QLabel*>(QStringLiteral("CTSLabel"))->text(); }
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
    kv::IBroadcastBus* previous = nullptr;
    kvtest::ProgramFolder folder;
    kvtest::RecordingDialogs dialogs;
    std::optional<TMainForm> window;
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

    // Kept out: the move codes are refused, the position is still answered,
    // and the choice is in the settings file from the click on.
    window->SettingsPage()->AllowControlCB()->click();
    EXPECT_EQ(kv::IniFile::Load(window->IniPath()).Get("Misc", kv::kAllowOtherProgramsKey), "0");
    bus.RunTool(kHub, {QStringLiteral("move-by"), QStringLiteral("100")});
    ProcessEventsUntil([] { return false; }, 500);
    EXPECT_EQ(window->FocusControl()->CTSCount(), end);
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
