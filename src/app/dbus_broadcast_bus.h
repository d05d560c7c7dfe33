// The broadcast bus across processes: D-Bus session-bus signals.
//
// Every message leaves as one signal on kDbusPath / kDbusInterface, member
// kDbusSignal, with the arguments (message name, wparam, lparam, text, sender
// pid). kessivane-msg prints them; other running instances hear them through
// `received`. Signals this process sent itself are not reported back.
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <cstdint>
#include <string_view>

#include "platform/broadcast.h"

class QDBusMessage;

class DbusBroadcastBus : public QObject, public kv::IBroadcastBus {
    Q_OBJECT
public:
    // On the session bus.
    explicit DbusBroadcastBus(QObject* parent = nullptr);
    // On a given connection (tests use a private bus).
    explicit DbusBroadcastBus(const QDBusConnection& connection, QObject* parent = nullptr);
    ~DbusBroadcastBus() override;

    // True when a session bus can be reached.
    static bool Available();
    // Waits until kessivane-msg listens on the session bus, at most `timeoutMs`;
    // false when there is no bus or no listener came.
    static bool WaitForLogger(int timeoutMs);

    // Any thread. Returns once the bus daemon has taken the signal, so a trace
    // line is out even if the process ends right after; false when the bus is
    // gone or does not answer within kConfirmTimeoutMs.
    bool Broadcast(std::string_view message, std::int64_t wparam, std::int64_t lparam,
                   std::string_view text) override;

    // Any thread. Queues the signal and returns at once; false only when the
    // bus is gone. The connection's own thread writes it out soon after, but a
    // process that exits at once may lose it.
    bool Post(std::string_view message, std::int64_t wparam, std::int64_t lparam,
              std::string_view text) override;

    static constexpr int kConfirmTimeoutMs = 2000;

signals:
    void received(QString message, qint64 wparam, qint64 lparam, QString text, qint64 senderPid);

private slots:
    void onSignal(const QDBusMessage& message);

private:
    QDBusConnection connection_;
    bool listening_ = false;
};
