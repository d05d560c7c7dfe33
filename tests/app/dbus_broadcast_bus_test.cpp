// The desktop's broadcast bus and kessivane-msg end to end on a private bus
// daemon; the bus's own signals are not reported back to it.
#include "app/dbus_broadcast_bus.h"

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <functional>

#include "private_bus.h"

namespace {

constexpr int kLimitMs = kvtest::kBusLimitMs;
const QString kMsg = QStringLiteral("kessivane-msg");

bool PumpUntil(const std::function<bool()>& done) { return kvtest::ProcessEventsUntil(done, kLimitMs); }

class DbusBroadcastBusTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!bus_.Up() || !QFileInfo::exists(QStringLiteral(KV_BIN_DIR "/kessivane-msg"))) {
            GTEST_SKIP() << "needs dbus-daemon and a built kessivane-msg";
        }
    }
    kvtest::PrivateBus bus_{QStringLiteral("kv-broadcast-test")};
};

TEST_F(DbusBroadcastBusTest, KessivaneMsgPrintsTraceLinesBareAndOtherMessagesWithChannelAndSaysSoWithoutABus) {
    DbusBroadcastBus bus(bus_.Connection());
    QProcess msg;
    bus_.Start(msg, kMsg, {QStringLiteral("--count"), QStringLiteral("3")});
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

    bus_.Start(msg, kMsg, {}, QStringLiteral("unix:path=/nonexistent/kv-no-bus"));
    ASSERT_TRUE(msg.waitForFinished(kLimitMs));
    EXPECT_EQ(msg.exitCode(), 1);
    EXPECT_TRUE(msg.readAllStandardError().contains("kessivane-msg: no session bus"));
}

TEST_F(DbusBroadcastBusTest, ReportsOtherProcessesSignalsButNotItsOwn) {
    if (QStandardPaths::findExecutable(QStringLiteral("dbus-send")).isEmpty()) {
        GTEST_SKIP() << "no dbus-send here";
    }
    DbusBroadcastBus bus(bus_.Connection());
    QStringList heard;
    QObject::connect(&bus, &DbusBroadcastBus::received,
                     [&](const QString& message, qint64 wparam, qint64 lparam, const QString& text, qint64) {
                         heard << QStringLiteral("%1|%2|%3|%4").arg(message).arg(wparam).arg(lparam).arg(text);
                     });
    // Sent first, so it would be heard first if it came back.
    EXPECT_TRUE(bus.Broadcast(kv::kKvMessage, 0, 2, "mine"));

    QProcess sender;
    sender.start("dbus-send", {"--bus=" + bus_.Address(), "--type=signal", kv::kDbusPath,
                               QString(kv::kDbusInterface) + '.' + kv::kDbusSignal, "string:KV_MESSAGE", "int64:0",
                               "int64:1", "string::FP0100#", "int64:1"});
    ASSERT_TRUE(sender.waitForFinished(kLimitMs));
    ASSERT_EQ(sender.exitCode(), 0) << sender.readAllStandardError().toStdString();

    ASSERT_TRUE(PumpUntil([&] { return !heard.isEmpty(); }));
    EXPECT_EQ(heard, QStringList{QStringLiteral("KV_MESSAGE|0|1|:FP0100#")});
}

}  // namespace
