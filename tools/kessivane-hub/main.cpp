// kessivane-hub: the hub unit's companion program.
//
// Talks to a running Kessivane over the session bus with the KANTREL_MESSAGE
// codes: it asks for the focuser position (1, answered by 2) or the idle state
// (5, answered by 6), moves the focuser to a position (3) or by some steps (4),
// and watches what Kessivane reports on its own (2, 6, 7, 8).
//
//   kessivane-hub position | move-to N | move-by N | idle | watch [--count K] [--timeout-ms T]
//
// A move is sent only once the program has answered a position question, so
// a move with no Kessivane running fails with status 2 like a question does.
// Kessivane then answers the move with code 9 (our process id, and why when
// it refused): a refused move ends with status 4 and the reason on standard
// error. Kessivane refuses while "Allow other programs to control the
// focuser" is off, while a scan or an auto focus runs, or while the focuser
// is moving. A Kessivane that does not answer moves is waited for until
// --timeout-ms and taken to have made it, as before.
//
// Exit status: 0 done, 1 watch ended before K lines, 2 no answer, 3 no session
// bus, 4 move refused, 64 bad arguments.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QStringList>
#include <QTimer>
#include <QVariantList>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <utility>

#include "platform/broadcast.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitShort = 1;
constexpr int kExitNoAnswer = 2;
constexpr int kExitNoBus = 3;
constexpr int kExitRefused = 4;
constexpr int kExitUsage = 64;  // EX_USAGE
constexpr int kDefaultTimeoutMs = 3000;

// KANTREL_MESSAGE codes.
constexpr qint64 kAskPosition = 1;
constexpr qint64 kPosition = 2;
constexpr qint64 kMoveTo = 3;
constexpr qint64 kMoveBy = 4;
constexpr qint64 kAskIdle = 5;
constexpr qint64 kIdle = 6;
constexpr qint64 kCompensationMove = 7;
constexpr qint64 kCounterReset = 8;
// Kessivane's own, not the hub's: the answer to a move (value: the asker's
// process id; text: empty when the move was started, else why not).
constexpr qint64 kMoveAnswer = 9;

enum class Command { Position, Idle, MoveTo, MoveBy, Watch };

struct Options {
    Command command = Command::Position;
    qint64 value = 0;                 // move-to / move-by
    long long count = 0;              // watch: 0 = no limit
    std::optional<int> timeoutMs;     // unset: default for questions, none for watch
};

int Usage() {
    std::fputs(
        "usage: kessivane-hub position | move-to N | move-by N | idle | watch [--count K] [--timeout-ms T]\n"
        "  position, idle   ask Kessivane and print its answer (waits --timeout-ms, default 3000)\n"
        "  move-to N        move the focuser to position N\n"
        "  move-by N        move the focuser by N steps (negative: inward)\n"
        "  watch            print \"code <c> <value>\" for each report Kessivane sends\n"
        "exit status: 0 done, 1 watch ended before K lines, 2 no answer, 3 no session bus,\n"
        "  4 move refused (the reason is printed), 64 bad arguments\n",
        stderr);
    return kExitUsage;
}

bool ParsePositive(const QString& text, long long& out) {
    bool ok = false;
    out = text.toLongLong(&ok);
    return ok && out > 0;
}

// Options may stand before or after the command; a number after move-to or
// move-by is the command's own, so "-25" is never taken for an option.
std::optional<Options> Parse(const QStringList& args) {
    Options o;
    bool haveCommand = false;
    bool haveCount = false;
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString& a = args.at(i);
        long long n = 0;
        if (a == QLatin1String("--count") || a == QLatin1String("--timeout-ms")) {
            if (i + 1 >= args.size() || !ParsePositive(args.at(++i), n)) return std::nullopt;
            if (a == QLatin1String("--count")) {
                o.count = n;
                haveCount = true;
            } else {
                if (n > 24LL * 3600 * 1000) return std::nullopt;
                o.timeoutMs = static_cast<int>(n);
            }
            continue;
        }
        if (haveCommand) return std::nullopt;
        haveCommand = true;
        if (a == QLatin1String("position")) {
            o.command = Command::Position;
        } else if (a == QLatin1String("idle")) {
            o.command = Command::Idle;
        } else if (a == QLatin1String("watch")) {
            o.command = Command::Watch;
        } else if (a == QLatin1String("move-to") || a == QLatin1String("move-by")) {
            o.command = a == QLatin1String("move-to") ? Command::MoveTo : Command::MoveBy;
            bool ok = false;
            if (i + 1 >= args.size()) return std::nullopt;
            o.value = args.at(++i).toLongLong(&ok);
            if (!ok) return std::nullopt;
            if (o.value < INT32_MIN || o.value > INT32_MAX) {
                std::fprintf(stderr, "kessivane-hub: %s takes a whole number from %d to %d\n", qPrintable(a),
                             INT32_MIN, INT32_MAX);
                return std::nullopt;
            }
        } else {
            return std::nullopt;
        }
    }
    if (!haveCommand) return std::nullopt;
    if (haveCount && o.command != Command::Watch) return std::nullopt;
    return o;
}

QDBusMessage Signal(qint64 code, qint64 value) {
    QDBusMessage signal = QDBusMessage::createSignal(QLatin1String(kv::kDbusPath), QLatin1String(kv::kDbusInterface),
                                                     QLatin1String(kv::kDbusSignal));
    signal << QString::fromLatin1(kv::kKantrelMessage) << code << value << QString()
           << static_cast<qint64>(QCoreApplication::applicationPid());
    return signal;
}

// The bus handles one connection's messages in order, so once this call
// returns, everything sent before it has been routed and every match rule
// added before it is in force.
bool RoundTrip(QDBusConnection& bus, int timeoutMs) {
    const QDBusMessage reply = bus.call(
        QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                                       QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetId")),
        QDBus::Block, timeoutMs);
    return reply.type() == QDBusMessage::ReplyMessage;
}

// Hears the KANTREL_MESSAGE codes other processes send and ends the event
// loop once it has what it waits for.
class Listener : public QObject {
    Q_OBJECT
public:
    Listener(QDBusConnection bus, const Options& options, int waitMs)
        : bus_(std::move(bus)), options_(options), waitMs_(waitMs) {
        timeout_.setSingleShot(true);
        connect(&timeout_, &QTimer::timeout, this, &Listener::onTimeout);
    }

    // The wait for the answer, or with no answer awaited (a watch without
    // --timeout-ms) none.
    void StartWaiting() {
        if (options_.command != Command::Watch || options_.timeoutMs) timeout_.start(waitMs_);
    }

public slots:
    void onMessage(const QDBusMessage& message) {
        // Signals read off the bus in one batch are all delivered before the
        // event loop sees the exit: nothing more once the answer is in.
        if (finished_) return;
        if (message.service() == bus_.baseService()) return;  // our own request
        const QVariantList args = message.arguments();
        if (args.size() < 3 || args.at(0).toString() != QLatin1String(kv::kKantrelMessage)) return;
        if (args.size() >= 5 && args.at(4).toLongLong() == QCoreApplication::applicationPid()) return;
        const qint64 code = args.at(1).toLongLong();
        const qint64 value = args.at(2).toLongLong();

        switch (options_.command) {
            case Command::Position:
            case Command::Idle:
                if (code != (options_.command == Command::Position ? kPosition : kIdle)) return;
                std::printf("%lld\n", static_cast<long long>(value));
                std::fflush(stdout);
                Finish(kExitOk);
                return;
            case Command::Watch:
                if (code != kPosition && code != kIdle && code != kCompensationMove && code != kCounterReset) return;
                std::printf("code %lld %lld\n", static_cast<long long>(code), static_cast<long long>(value));
                std::fflush(stdout);
                if (options_.count > 0 && ++printed_ >= options_.count) Finish(kExitOk);
                return;
            case Command::MoveTo:
            case Command::MoveBy:
                if (!moveSent_) {
                    // The program has answered: it is there to be asked for the move.
                    if (code != kPosition) return;
                    moveSent_ = true;
                    if (const int sent = SendMove(); sent != kExitOk) {
                        Finish(sent);
                        return;
                    }
                    timeout_.start(waitMs_);
                    return;
                }
                // Other companions' moves are answered too, each with its asker's id.
                if (code != kMoveAnswer || value != QCoreApplication::applicationPid()) return;
                if (const QString why = args.size() >= 4 ? args.at(3).toString() : QString(); !why.isEmpty()) {
                    std::fprintf(stderr, "The move was refused: %s\n", qPrintable(why));
                    Finish(kExitRefused);
                    return;
                }
                Finish(kExitOk);
                return;
        }
    }

    void onTimeout() {
        if (finished_) return;
        if (options_.command == Command::Watch) {
            // A watch without --count simply ends when its time is up.
            Finish(options_.count > 0 ? kExitShort : kExitOk);
            return;
        }
        if (moveSent_) {
            // It answered the question, so it heard the move; only a Kessivane
            // that does not answer moves says nothing more.
            std::fputs("kessivane-hub: Kessivane did not say whether it made the move\n", stderr);
            Finish(kExitOk);
            return;
        }
        std::fputs("No answer from Kessivane (is it running?)\n", stderr);
        Finish(kExitNoAnswer);
    }

private:
    int SendMove() {
        const qint64 code = options_.command == Command::MoveTo ? kMoveTo : kMoveBy;
        if (!bus_.send(Signal(code, options_.value)) || !RoundTrip(bus_, kDefaultTimeoutMs)) {
            std::fprintf(stderr, "kessivane-hub: the session bus did not take the message: %s\n",
                         qPrintable(bus_.lastError().message()));
            return kExitNoBus;
        }
        return kExitOk;
    }
    void Finish(int code) {
        finished_ = true;
        timeout_.stop();
        QCoreApplication::exit(code);
    }

    QDBusConnection bus_;
    Options options_;
    int waitMs_;
    QTimer timeout_;
    long long printed_ = 0;
    bool moveSent_ = false;
    bool finished_ = false;
};

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kessivane-hub"));

    const QStringList args = QCoreApplication::arguments();
    if (args.size() == 2 && (args.at(1) == QLatin1String("--help") || args.at(1) == QLatin1String("-h"))) {
        Usage();
        return kExitOk;
    }
    const std::optional<Options> parsed = Parse(args);
    if (!parsed) return Usage();
    const Options& options = *parsed;
    const int waitMs = options.timeoutMs.value_or(kDefaultTimeoutMs);

    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        std::fprintf(stderr, "kessivane-hub: no session bus: %s\n", qPrintable(bus.lastError().message()));
        return kExitNoBus;
    }

    Listener listener(bus, options, waitMs);
    if (!bus.connect(QString(), QLatin1String(kv::kDbusPath), QLatin1String(kv::kDbusInterface),
                     QLatin1String(kv::kDbusSignal), &listener, SLOT(onMessage(QDBusMessage))) ||
        !RoundTrip(bus, waitMs)) {
        std::fprintf(stderr, "kessivane-hub: cannot listen on the session bus: %s\n",
                     qPrintable(bus.lastError().message()));
        return kExitNoBus;
    }

    // Listening before asking: the answer can come back at once.
    if (options.command == Command::Watch) {
        std::fputs("watching\n", stdout);
        std::fflush(stdout);
    } else {
        // A move is sent once the program has answered a question: a move
        // signal nobody hears would pass for one made.
        const qint64 code = options.command == Command::Idle ? kAskIdle : kAskPosition;
        if (!bus.send(Signal(code, 0))) {
            std::fprintf(stderr, "kessivane-hub: the session bus did not take the message: %s\n",
                         qPrintable(bus.lastError().message()));
            return kExitNoBus;
        }
    }
    listener.StartWaiting();
    return QCoreApplication::exec();
}

#include "main.moc"
