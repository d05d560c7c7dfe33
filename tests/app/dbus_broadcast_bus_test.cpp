// The desktop's broadcast bus and kessivane-msg end to end, on a private bus
// daemon: what the bus sends is printed by kessivane-msg, what another process
// sends comes out of `received`, and the bus's own signals are not reported back.
#include "app/dbus_broadcast_bus.h"

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <functional>

#include "app_test_support.h"

namespace {

constexpr int kLimitMs = 20000;  // generous: only reached when something is broken
const QString kMsgProgram = QStringLiteral(KV_BIN_DIR "/kessivane-msg");

bool PumpUntil(const std::function<bool()>& done) { return kvtest::ProcessEventsUntil(done, kLimitMs); }

void StartMsg(QProcess& msg, const QString& address, const QStringList& args) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), address);
    env.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
    msg.setProcessEnvironment(env);
    msg.start(kMsgProgram, args);
}

class DbusBroadcastBusTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty() ||
            !QFileInfo::exists(kMsgProgram)) {
            GTEST_SKIP() << "needs dbus-daemon and a built kessivane-msg";
        }
        daemon_.start(QStringLiteral("dbus-daemon"),
                      {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address")});
        ASSERT_TRUE(PumpUntil([this] {
            daemon_.waitForReadyRead(10);
            return daemon_.canReadLine();
        }));
        address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
        connection_ = QDBusConnection::connectToBus(address_, QStringLiteral("kv-broadcast-test"));
        ASSERT_TRUE(connection_.isConnected());
    }

    void TearDown() override {
        QDBusConnection::disconnectFromBus(QStringLiteral("kv-broadcast-test"));
        daemon_.kill();
        daemon_.waitForFinished(kLimitMs);
    }

    QProcess daemon_;
    QString address_;
    QDBusConnection connection_{QString()};
};

TEST_F(DbusBroadcastBusTest, KessivaneMsgPrintsTraceLinesBareAndOtherMessagesWithChannel) {
    DbusBroadcastBus bus(connection_);
    QProcess msg;
    StartMsg(msg, address_, {QStringLiteral("--count"), QStringLiteral("3")});
    QByteArray err;
    ASSERT_TRUE(PumpUntil([&] {
        msg.waitForReadyRead(10);
        err += msg.readAllStandardError();
        return err.contains("listening");
    })) << err.toStdString();

    const std::string longLine(300, 'k');  // longer than the old 255-character limit
    EXPECT_TRUE(bus.Broadcast(kv::kMessageLogger, 0, 0, "Diagnostic Trace Initiated"));
    EXPECT_TRUE(bus.Broadcast(kv::kKvMessage, 0, 2, "Auto focus started"));
    EXPECT_TRUE(bus.Broadcast(kv::kMessageLogger, 0, 0, longLine));
    EXPECT_TRUE(bus.Broadcast(kv::kMessageLogger, 0, 0, "past the count"));
    ASSERT_TRUE(msg.waitForFinished(kLimitMs));
    EXPECT_EQ(msg.exitCode(), 0);
    EXPECT_EQ(msg.readAllStandardOutput().toStdString(),
              "Diagnostic Trace Initiated\nKV_MESSAGE [2] Auto focus started\n" + longLine + "\n");
}

TEST_F(DbusBroadcastBusTest, ReportsOtherProcessesSignalsButNotItsOwn) {
    if (QStandardPaths::findExecutable(QStringLiteral("dbus-send")).isEmpty()) {
        GTEST_SKIP() << "no dbus-send here";
    }
    DbusBroadcastBus bus(connection_);
    QStringList heard;
    QObject::connect(&bus, &DbusBroadcastBus::received,
                     [&](const QString& message, qint64 wparam, qint64 lparam, const QString& text, qint64) {
                         heard << QStringLiteral("%1|%2|%3|%4").arg(message).arg(wparam).arg(lparam).arg(text);
                     });
    // Sent first, so it would be heard first if it came back.
    EXPECT_TRUE(bus.Broadcast(kv::kKvMessage, 0, 2, "mine"));

    QProcess sender;
    sender.start(QStringLiteral("dbus-send"),
                 {QStringLiteral("--bus=") + address_, QStringLiteral("--type=signal"), QLatin1String(kv::kDbusPath),
                  QLatin1String(kv::kDbusInterface) + QLatin1Char('.') + QLatin1String(kv::kDbusSignal),
                  QStringLiteral("string:KV_MESSAGE"), QStringLiteral("int64:0"), QStringLiteral("int64:1"),
                  QStringLiteral("string::FP0100#"), QStringLiteral("int64:1")});
    ASSERT_TRUE(sender.waitForFinished(kLimitMs));
    ASSERT_EQ(sender.exitCode(), 0) << sender.readAllStandardError().toStdString();

    ASSERT_TRUE(PumpUntil([&] { return !heard.isEmpty(); }));
    EXPECT_EQ(heard, QStringList{QStringLiteral("KV_MESSAGE|0|1|:FP0100#")});
}

TEST_F(DbusBroadcastBusTest, KessivaneMsgSaysSoWithoutASessionBus) {
    QProcess msg;
    StartMsg(msg, QStringLiteral("unix:path=/nonexistent/kv-no-bus"), {});
    ASSERT_TRUE(msg.waitForFinished(kLimitMs));
    EXPECT_EQ(msg.exitCode(), 1);
    EXPECT_TRUE(msg.readAllStandardError().contains("kessivane-msg: no session bus"));
}

}  // namespace
