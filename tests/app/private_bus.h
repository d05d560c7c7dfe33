// A bus daemon of the test's own, so that desktop tests running in parallel
// never hear each other's broadcasts, and the program's tools started on it.
#pragma once

#include <QDBusConnection>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <functional>

#include "app_test_support.h"

namespace kvtest {

inline constexpr int kBusLimitMs = 20000;  // only reached when something is broken

class PrivateBus {
public:
    explicit PrivateBus(QString name) : name_(std::move(name)) {
        if (QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty()) return;
        daemon_.start(QStringLiteral("dbus-daemon"),
                      {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address")});
        ProcessEventsUntil(
            [this] {
                daemon_.waitForReadyRead(10);
                return daemon_.canReadLine();
            },
            kBusLimitMs);
        if (!daemon_.canReadLine()) return;
        address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
        connection_ = QDBusConnection::connectToBus(address_, name_);
    }
    ~PrivateBus() {
        QDBusConnection::disconnectFromBus(name_);
        daemon_.kill();
        daemon_.waitForFinished(kBusLimitMs);
    }
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    // False without a dbus-daemon on this machine.
    bool Up() const { return connection_.isConnected(); }
    const QString& Address() const { return address_; }
    QDBusConnection Connection() const { return connection_; }

    // Starts `program` from the program folder on this bus (or on `address`).
    void Start(QProcess& process, const QString& program, const QStringList& args, const QString& address = {}) const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), address.isEmpty() ? address_ : address);
        env.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
        process.setProcessEnvironment(env);
        process.start(QStringLiteral(KV_BIN_DIR "/") + program, args);
    }
    // Runs it to its end, keeping this process's events flowing meanwhile.
    struct Run {
        int exitCode = -1;
        QString out;
        QString err;
    };
    Run RunTool(const QString& program, const QStringList& args, const QString& address = {}) const {
        QProcess p;
        Start(p, program, args, address);
        ProcessEventsUntil([&] { return p.state() == QProcess::NotRunning; }, kBusLimitMs);
        return {p.exitCode(), QString::fromUtf8(p.readAllStandardOutput()), QString::fromUtf8(p.readAllStandardError())};
    }
    // Waits until `process` has printed `line`; everything it printed is added to `out`.
    static bool WaitForLine(QProcess& process, QByteArray& out, const QByteArray& line) {
        return ProcessEventsUntil(
            [&] {
                process.waitForReadyRead(10);
                out += process.readAllStandardOutput();
                return out.contains(line);
            },
            kBusLimitMs);
    }

private:
    QString name_;
    QProcess daemon_;
    QString address_;
    QDBusConnection connection_{QString()};
};

// A script's focus run: take-image, pick-star, autofocus with `autofocusOptions`,
// position; `beforeFocus` runs between the star and the focus run.
struct FocusScript {
    QString failure;  // the command that failed and what it said; empty when all went through
    QString image;    // what take-image printed
    QString result;   // what autofocus printed
    int position = 0;
};
// `orUncertain`: an answer the program calls uncertain (exit 6) goes through too.
inline FocusScript RunFocusScript(const PrivateBus& bus, const QStringList& autofocusOptions, int focusLimitMs,
                                  const std::function<void()>& beforeFocus = {}, bool orUncertain = false) {
    const QString ctl = QStringLiteral("kessivanectl");
    FocusScript run;
    const auto image = bus.RunTool(ctl, {QStringLiteral("take-image")});
    run.image = image.out;
    if (image.exitCode != 0) return run.failure = QStringLiteral("take-image: ") + image.err, run;
    const auto pick = bus.RunTool(ctl, {QStringLiteral("pick-star")});
    if (pick.exitCode != 0) return run.failure = QStringLiteral("pick-star: ") + pick.err, run;
    if (beforeFocus) beforeFocus();
    QProcess focus;
    bus.Start(focus, ctl, QStringList{QStringLiteral("autofocus")} + autofocusOptions);
    if (!ProcessEventsUntil([&] { return focus.state() == QProcess::NotRunning; }, focusLimitMs)) {
        focus.kill();
        focus.waitForFinished(kBusLimitMs);
        return run.failure = QStringLiteral("autofocus did not end"), run;
    }
    run.result = QString::fromUtf8(focus.readAllStandardOutput());
    const bool completed = focus.exitCode() == 0 && run.result.contains(QStringLiteral("autofocus completed: position"));
    const bool uncertain = focus.exitCode() == 6 && run.result.contains(QStringLiteral("autofocus uncertain: position"));
    if (!completed && !(orUncertain && uncertain)) {
        return run.failure = QStringLiteral("autofocus: ") + run.result + QString::fromUtf8(focus.readAllStandardError()),
               run;
    }
    const auto position = bus.RunTool(ctl, {QStringLiteral("position")});
    if (position.exitCode != 0) return run.failure = QStringLiteral("position: ") + position.err, run;
    run.position = position.out.trimmed().toInt();
    return run;
}

}  // namespace kvtest
