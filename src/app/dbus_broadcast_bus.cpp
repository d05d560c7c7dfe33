#include "app/dbus_broadcast_bus.h"

#include <QDBusConnectionInterface>
#include <QElapsedTimer>
#include <QThread>

#include <QCoreApplication>
#include <QDBusMessage>
#include <QVariantList>

namespace {

QString FromView(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

DbusBroadcastBus::DbusBroadcastBus(QObject* parent) : DbusBroadcastBus(QDBusConnection::sessionBus(), parent) {}

DbusBroadcastBus::DbusBroadcastBus(const QDBusConnection& connection, QObject* parent)
    : QObject(parent), connection_(connection) {
    if (connection_.isConnected()) {
        listening_ = connection_.connect(QString(), QLatin1String(kv::kDbusPath), QLatin1String(kv::kDbusInterface),
                                         QLatin1String(kv::kDbusSignal), this, SLOT(onSignal(QDBusMessage)));
    }
}

DbusBroadcastBus::~DbusBroadcastBus() {
    if (listening_) {
        connection_.disconnect(QString(), QLatin1String(kv::kDbusPath), QLatin1String(kv::kDbusInterface),
                               QLatin1String(kv::kDbusSignal), this, SLOT(onSignal(QDBusMessage)));
    }
}

bool DbusBroadcastBus::Available() { return QDBusConnection::sessionBus().isConnected(); }

bool DbusBroadcastBus::WaitForLogger(int timeoutMs) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || bus.interface() == nullptr) return false;
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < timeoutMs) {
        if (bus.interface()->isServiceRegistered(QLatin1String(kv::kDbusLoggerService)).value()) return true;
        QThread::msleep(20);
    }
    return false;
}

bool DbusBroadcastBus::Post(std::string_view message, std::int64_t wparam, std::int64_t lparam,
                            std::string_view text) {
    if (!connection_.isConnected()) {
        return false;
    }
    QDBusMessage signal = QDBusMessage::createSignal(QLatin1String(kv::kDbusPath), QLatin1String(kv::kDbusInterface),
                                                     QLatin1String(kv::kDbusSignal));
    signal << FromView(message) << static_cast<qint64>(wparam) << static_cast<qint64>(lparam) << FromView(text)
           << static_cast<qint64>(QCoreApplication::applicationPid());
    return connection_.send(signal);
}

bool DbusBroadcastBus::Broadcast(std::string_view message, std::int64_t wparam, std::int64_t lparam,
                                 std::string_view text) {
    if (!Post(message, wparam, lparam, text)) {
        return false;
    }
    // send() only queues. The bus handles one connection's messages in order,
    // so when this round trip returns the signal has been routed to every
    // listener: the line survives even if the process ends at once.
    const QDBusMessage reply = connection_.call(
        QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                                       QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetId")),
        QDBus::Block, kConfirmTimeoutMs);
    return reply.type() == QDBusMessage::ReplyMessage;
}

void DbusBroadcastBus::onSignal(const QDBusMessage& message) {
    // Our own signals come back through the same connection; the log already has them.
    if (message.service() == connection_.baseService()) {
        return;
    }
    const QVariantList args = message.arguments();
    if (args.size() < 4) {
        return;
    }
    const qint64 senderPid = args.size() >= 5 ? args.at(4).toLongLong() : 0;
    if (senderPid == QCoreApplication::applicationPid()) {
        return;
    }
    emit received(args.at(0).toString(), args.at(1).toLongLong(), args.at(2).toLongLong(), args.at(3).toString(),
                  senderPid);
}
