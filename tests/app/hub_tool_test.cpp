// kessivane-hub against a stand-in for the program on a private bus daemon: the
// test process answers the position and idle questions the way the main window
// does, and records the moves it is asked for.
#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <utility>
#include <vector>

#include "app/dbus_broadcast_bus.h"
#include "app_test_support.h"

namespace {

constexpr int kLimitMs = 20000;  // only reached when something is broken
const QString kHubProgram = QStringLiteral(KV_BIN_DIR "/kessivane-hub");

struct HubRun {
    int exitCode = -1;
    QString out;
    QString err;
};

class HubToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty() ||
            !QFileInfo::exists(kHubProgram)) {
            GTEST_SKIP() << "needs dbus-daemon and a built kessivane-hub";
        }
        daemon_.start(QStringLiteral("dbus-daemon"),
                      {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address")});
        ASSERT_TRUE(kvtest::ProcessEventsUntil(
            [this] {
                daemon_.waitForReadyRead(10);
                return daemon_.canReadLine();
            },
            kLimitMs));
        address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
        connection_ = QDBusConnection::connectToBus(address_, QStringLiteral("kv-hub-test"));
        ASSERT_TRUE(connection_.isConnected());
    }

    void TearDown() override {
        QDBusConnection::disconnectFromBus(QStringLiteral("kv-hub-test"));
        daemon_.kill();
        daemon_.waitForFinished(kLimitMs);
    }

    void Start(QProcess& hub, const QStringList& args, const QString& address = {}) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), address.isEmpty() ? address_ : address);
        env.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
        hub.setProcessEnvironment(env);
        hub.start(kHubProgram, args);
    }

    // Keeps this process's events flowing while the tool waits for an answer from it.
    HubRun RunHub(const QStringList& args, const QString& address = {}) {
        QProcess hub;
        Start(hub, args, address);
        EXPECT_TRUE(kvtest::ProcessEventsUntil([&] { return hub.state() == QProcess::NotRunning; }, kLimitMs));
        return {hub.exitCode(), QString::fromUtf8(hub.readAllStandardOutput()),
                QString::fromUtf8(hub.readAllStandardError())};
    }

    QProcess daemon_;
    QString address_;
    QDBusConnection connection_{QString()};
};

TEST_F(HubToolTest, AsksMovesAndWatchesARunningProgram) {
    DbusBroadcastBus bus(connection_);
    std::vector<std::pair<qint64, qint64>> asked;
    QObject::connect(&bus, &DbusBroadcastBus::received,
                     [&](const QString& message, qint64 code, qint64 value, const QString&, qint64) {
                         if (message != QLatin1String(kv::kKantrelMessage)) return;
                         asked.emplace_back(code, value);
                         if (code == 1) bus.Post(kv::kKantrelMessage, 2, 1520, {});
                         if (code == 5) bus.Post(kv::kKantrelMessage, 6, 1, {});
                     });

    HubRun r = RunHub({QStringLiteral("position")});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, QStringLiteral("1520\n"));
    r = RunHub({QStringLiteral("idle")});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, QStringLiteral("1\n"));
    EXPECT_EQ(RunHub({QStringLiteral("move-by"), QStringLiteral("-25")}).exitCode, 0);
    EXPECT_EQ(RunHub({QStringLiteral("move-to"), QStringLiteral("3000")}).exitCode, 0);
    kvtest::ProcessEventsUntil([&] { return asked.size() >= 4; }, kLimitMs);
    const std::vector<std::pair<qint64, qint64>> expected{{1, 0}, {5, 0}, {4, -25}, {3, 3000}};
    EXPECT_EQ(asked, expected);

    // Only the program's reports are shown; a move request is not one.
    QProcess watch;
    Start(watch, {QStringLiteral("watch"), QStringLiteral("--count"), QStringLiteral("2")});
    QByteArray out;
    ASSERT_TRUE(kvtest::ProcessEventsUntil(
        [&] {
            watch.waitForReadyRead(10);
            out += watch.readAllStandardOutput();
            return out.contains("watching\n");
        },
        kLimitMs));
    bus.Post(kv::kKantrelMessage, 4, 10, {});
    bus.Post(kv::kKantrelMessage, 7, -12, {});
    bus.Post(kv::kKantrelMessage, 8, 0, {});
    bus.Post(kv::kKantrelMessage, 6, 1, {});
    ASSERT_TRUE(kvtest::ProcessEventsUntil([&] { return watch.state() == QProcess::NotRunning; }, kLimitMs));
    out += watch.readAllStandardOutput();
    EXPECT_EQ(watch.exitCode(), 0);
    EXPECT_EQ(out.toStdString(), "watching\ncode 7 -12\ncode 8 0\n");
}

TEST_F(HubToolTest, NoAnswerNoBusAndBadArgumentsEachHaveTheirExitCode) {
    HubRun r = RunHub({QStringLiteral("position"), QStringLiteral("--timeout-ms"), QStringLiteral("200")});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out, QString());
    EXPECT_TRUE(r.err.contains(QStringLiteral("No answer from Kessivane (is it running?)")));
    r = RunHub({QStringLiteral("watch"), QStringLiteral("--count"), QStringLiteral("1"), QStringLiteral("--timeout-ms"),
                QStringLiteral("200")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(RunHub({QStringLiteral("idle")}, QStringLiteral("unix:path=/nonexistent/kv-no-bus")).exitCode, 3);
    EXPECT_EQ(RunHub({QStringLiteral("move-by"), QStringLiteral("ten")}).exitCode, 64);
    EXPECT_EQ(RunHub({QStringLiteral("position"), QStringLiteral("--count"), QStringLiteral("2")}).exitCode, 64);
}

}  // namespace
