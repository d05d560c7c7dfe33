// kessivane-msg: the external logger of the diagnostic trace.
//
// Listens on the session bus for the signals every running Kessivane sends and
// prints one line per signal on standard output: a trace line as its bare text,
// anything else with its message name and parameters in front. Once it is
// listening it says so on standard error, so a script can start the program
// and only then start Kessivane with "/D".
//
//   kessivane-msg [--count N]
//
// With --count it exits after N lines; without, it runs until interrupted.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QStringList>
#include <QTextStream>
#include <QVariantList>

#include <cstdio>

#include "platform/broadcast.h"

namespace {

class Printer : public QObject {
    Q_OBJECT
public:
    explicit Printer(long long limit) : limit_(limit) {}

public slots:
    void onMessage(const QDBusMessage& message) {
        // Signals read off the bus in one batch are all delivered before the
        // event loop sees the exit asked for at the limit: drop the rest.
        if (limit_ > 0 && printed_ >= limit_) {
            return;
        }
        const QVariantList args = message.arguments();
        if (args.size() < 4) {
            return;  // not one of ours
        }
        const QString name = args.at(0).toString();
        const qint64 wparam = args.at(1).toLongLong();
        const qint64 lparam = args.at(2).toLongLong();
        const QString text = args.at(3).toString();

        QString line;
        if (name == QLatin1String(kv::kMessageLogger)) {
            line = text;
        } else if (name == QLatin1String(kv::kKvMessage)) {
            // The channel travels in the second parameter (1 COM log, 2 program log, 3 status).
            line = QStringLiteral("%1 [%2] %3").arg(name).arg(lparam).arg(text);
        } else {
            line = QStringLiteral("%1 [%2,%3] %4").arg(name).arg(wparam).arg(lparam).arg(text);
        }
        out_ << line << '\n';
        out_.flush();
        if (limit_ > 0 && ++printed_ >= limit_) {
            QCoreApplication::exit(0);
        }
    }

private:
    QTextStream out_{stdout};
    long long limit_;
    long long printed_ = 0;
};

int Usage() {
    std::fputs("usage: kessivane-msg [--count N]\n", stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kessivane-msg"));

    long long limit = 0;
    const QStringList args = QCoreApplication::arguments();
    for (qsizetype i = 1; i < args.size(); ++i) {
        if (args.at(i) == QLatin1String("--count") && i + 1 < args.size()) {
            bool ok = false;
            limit = args.at(++i).toLongLong(&ok);
            if (!ok || limit <= 0) {
                return Usage();
            }
        } else {
            return Usage();
        }
    }

    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        std::fputs("kessivane-msg: no session bus\n", stderr);
        return 1;
    }

    Printer printer(limit);
    if (!bus.connect(QString(), QLatin1String(kv::kDbusPath), QLatin1String(kv::kDbusInterface),
                     QLatin1String(kv::kDbusSignal), &printer, SLOT(onMessage(QDBusMessage)))) {
        std::fprintf(stderr, "kessivane-msg: cannot listen: %s\n",
                     qPrintable(bus.lastError().message()));
        return 1;
    }
    // The match rule is registered without waiting for the bus. A blocking call
    // made after it returns only once the bus has handled the rule, so from then
    // on no signal can be missed.
    bus.call(QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
                                            QStringLiteral("/org/freedesktop/DBus"),
                                            QStringLiteral("org.freedesktop.DBus"),
                                            QStringLiteral("GetId")));
    // The well-known name tells a starting Kessivane that its trace has a listener.
    bus.registerService(QLatin1String(kv::kDbusLoggerService));
    std::fputs("kessivane-msg: listening\n", stderr);
    std::fflush(stderr);

    return QCoreApplication::exec();
}

#include "main.moc"
