// kessivane-hub on a private bus daemon against this process, which answers as
// the main window does and records the moves it is asked for.
#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <utility>
#include <vector>

#include "app/dbus_broadcast_bus.h"
#include "private_bus.h"

namespace {

const QString kHub = QStringLiteral("kessivane-hub");

class HubToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!bus_.Up() || !QFileInfo::exists(QStringLiteral(KV_BIN_DIR "/kessivane-hub"))) {
            GTEST_SKIP() << "needs dbus-daemon and a built kessivane-hub";
        }
    }
    kvtest::PrivateBus::Run RunHub(const QStringList& args, const QString& address = {}) {
        return bus_.RunTool(kHub, args, address);
    }
    kvtest::PrivateBus bus_{QStringLiteral("kv-hub-test")};
};

}  // namespace

// The answer to a move is the asker's alone, even a refusal; a program that
// does not answer moves is taken to have made the move once the wait is over.
// Only the move asked for (move-by as code 4, move-to as 3) is answered.
TEST_F(HubToolTest, AMoveEndsAsTheProgramAnswersItsAsker) {
    DbusBroadcastBus bus(bus_.Connection());
    const QString kRefused = QStringLiteral("A scan or an auto focus is running");
    struct Case {
        const char* name;
        QStringList args;
        std::vector<std::pair<bool, QString>> answers;  // (to the asker?, why refused)
        int exitCode;
        QString err;
    };
    const std::vector<Case> cases{
        {"started", {"move-by", "40"}, {{true, {}}}, 0, {}},
        {"refused", {"move-to", "900"}, {{true, kRefused}}, 4, "The move was refused: " + kRefused + "\n"},
        {"another's refusal first", {"move-by", "5"}, {{false, kRefused}, {true, {}}}, 0, {}},
        {"another's start first", {"move-by", "-5"}, {{false, {}}, {true, kRefused}}, 4,
         "The move was refused: " + kRefused + "\n"},
        {"not answered", {"move-to", "10", "--timeout-ms", "300"}, {}, 0,
         "kessivane-hub: Kessivane did not say whether it made the move\n"},
    };
    const Case* current = nullptr;
    QObject::connect(&bus, &DbusBroadcastBus::received,
                     [&](const QString& message, qint64 code, qint64 value, const QString&, qint64 pid) {
                         if (message != QLatin1String(kv::kKantrelMessage) || current == nullptr) return;
                         if (code == 1) bus.Post(kv::kKantrelMessage, 2, 0, {});
                         const bool to = current->args[0] == QLatin1String("move-to");
                         if (code != (to ? 3 : 4) || value != current->args[1].toLongLong()) return;
                         for (const auto& [toAsker, why] : current->answers) {
                             bus.Post(kv::kKantrelMessage, 9, toAsker ? pid : pid + 1, why.toStdString());
                         }
                     });
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        current = &c;
        const auto r = RunHub(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, QString());
    }

    // The watch shows the counter reset the window's test never sends, and no request.
    current = nullptr;
    QProcess watch;
    bus_.Start(watch, kHub, {"watch", "--count", "1"});
    QByteArray out;
    ASSERT_TRUE(kvtest::PrivateBus::WaitForLine(watch, out, "watching\n"));
    bus.Post(kv::kKantrelMessage, 4, 10, {});
    bus.Post(kv::kKantrelMessage, 8, 0, {});
    ASSERT_TRUE(kvtest::ProcessEventsUntil([&] { return watch.state() == QProcess::NotRunning; }, kvtest::kBusLimitMs));
    EXPECT_EQ((out + watch.readAllStandardOutput()).toStdString(), "watching\ncode 8 0\n");
}

TEST_F(HubToolTest, NoAnswerNoBusAndBadArgumentsEachHaveTheirExitCode) {
    // A move nobody hears is no move made.
    for (const QStringList& ask : {QStringList{"position", "--timeout-ms", "200"},
                                   QStringList{"move-to", "100", "--timeout-ms", "200"}}) {
        const auto r = RunHub(ask);
        EXPECT_EQ(r.exitCode, 2) << ask.join(' ').toStdString();
        EXPECT_EQ(r.out, QString());
        EXPECT_TRUE(r.err.contains(QStringLiteral("No answer from Kessivane (is it running?)")));
    }
    EXPECT_EQ(RunHub({"watch", "--count", "1", "--timeout-ms", "200"}).exitCode, 1);
    EXPECT_EQ(RunHub({"watch", "--timeout-ms", "200"}).exitCode, 0);  // no count: its time was all it asked
    const QString noBus = QStringLiteral("unix:path=/nonexistent/kv-no-bus");
    EXPECT_EQ(RunHub({"idle"}, noBus).exitCode, 3);
    EXPECT_EQ(RunHub({"move-by", "ten"}).exitCode, 64);
    EXPECT_EQ(RunHub({"move-by"}).exitCode, 64);
    EXPECT_EQ(RunHub({"move-by", "4294967346"}).exitCode, 64);
    EXPECT_EQ(RunHub({"position", "--count", "2"}).exitCode, 64);

    // kessivanectl: a number its argument cannot hold is refused with the
    // range, before any bus is looked for (cut to 32 bits it moved +50).
    for (const QStringList& args : {QStringList{"move-by", "4294967346"}, QStringList{"move-by", "2147483648"},
                                    QStringList{"move-to", "-2147483649"}, QStringList{"move-to", "99999999999999999999"},
                                    QStringList{"scan", "--steps", "4294967306"},
                                    QStringList{"autofocus", "--step", "-4294967196"},
                                    QStringList{"position", "--timeout-ms", "0"}, QStringList{"select-star", "65536", "10"},
                                    QStringList{"select-star", "10", "-1"}}) {
        const auto r = bus_.RunTool(QStringLiteral("kessivanectl"), args, noBus);
        EXPECT_EQ(r.exitCode, 64) << args.join(' ').toStdString();
        EXPECT_TRUE(r.err.contains(QStringLiteral("takes a whole number from "))) << r.err.toStdString();
    }
    // A method name in any case gets as far as the bus; a bad one is named,
    // without the whole usage around it.
    EXPECT_EQ(bus_.RunTool(QStringLiteral("kessivanectl"), {"autofocus", "--method", "Fit"}, noBus).exitCode, 3);
    const auto bad = bus_.RunTool(QStringLiteral("kessivanectl"), {"autofocus", "--method", "Newton"}, noBus);
    EXPECT_EQ(bad.exitCode, 64);
    EXPECT_EQ(bad.err.toStdString(), "kessivanectl: unknown method 'Newton': use golden, fit or quick\n");
    EXPECT_EQ(bus_.RunTool(QStringLiteral("kessivanectl"), {"autofocus", "--measure", "Field"}, noBus).exitCode, 3);
    const auto measure = bus_.RunTool(QStringLiteral("kessivanectl"), {"autofocus", "--measure", "sky"}, noBus);
    EXPECT_EQ(std::pair(measure.exitCode, measure.err.toStdString()),
              std::pair(64, std::string("kessivanectl: unknown measure 'sky': use star or field\n")));
    EXPECT_EQ(bus_.RunTool(QStringLiteral("kessivanectl"), {"scan", "--measure", "field"}, noBus).exitCode, 64);
}
