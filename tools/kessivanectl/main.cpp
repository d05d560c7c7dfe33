// kessivanectl: drives a running Kessivane from a shell through its scripting
// interface on the session bus (docs/scripting.md).
//
//   kessivanectl position | absolute-position | idle | running | temperature | halt
//   kessivanectl move-to N | move-by N [--no-wait]
//   kessivanectl focus-frame
//   kessivanectl take-image | stars | pick-star | select-star X Y
//   kessivanectl autofocus [--step S] [--method fit|golden|quick] [--measure star|field]
//   kessivanectl scan [--start S] [--increment I] [--steps N]
//   kessivanectl cancel
//   kessivanectl triggers | set-triggers KEY=VALUE... | report-hfd HFD
//   kessivanectl optics | set-optics KEY=VALUE...
//   kessivanectl inspect
//   common: [--timeout-ms T]
//
// Exit status: 0 done, 1 the program refused or the procedure failed, 2 no
// Kessivane on the bus or no answer in time, 3 no session bus, 4 the move
// ended without arriving, 5 the focus frame has no star (inspect: no
// whole-field run has read the optics yet), 64 bad arguments.
#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QRegularExpression>
#include <QVariantMap>
#include <QStringList>
#include <QTimer>

#include <cstdint>
#include <cstdio>
#include <string_view>
#include <functional>
#include <optional>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitNoProgram = 2;
constexpr int kExitNoBus = 3;
constexpr int kExitNotArrived = 4;
constexpr int kExitNoStar = 5;
// An auto focus that ended at an answer whose own error estimate exceeds what
// it may claim: a script must not take it for focus.
constexpr int kExitUncertain = 6;
constexpr int kExitUsage = 64;
constexpr int kDefaultTimeoutMs = 600000;  // an auto focus with many samples takes minutes
constexpr qint64 kMaxPixel = 65535;  // a camera's rows and columns fit in 16 bits

const QString kService = QStringLiteral("org.kessivane.Kessivane");
const QString kFocuserPath = QStringLiteral("/org/kessivane/Focuser");
const QString kCameraPath = QStringLiteral("/org/kessivane/Camera");
const QString kFocusingPath = QStringLiteral("/org/kessivane/Focusing");
const QString kFocuser = QStringLiteral("org.kessivane.Focuser");
const QString kCamera = QStringLiteral("org.kessivane.Camera");
const QString kFocusing = QStringLiteral("org.kessivane.Focusing");
const QString kRefocusPath = QStringLiteral("/org/kessivane/Refocus");
const QString kRefocus = QStringLiteral("org.kessivane.Refocus");
// The refocus triggers' keys in the order they are printed; the switches
// take a yes or no, the counts a whole number, the rest any number.
const QStringList kTriggerSwitches{"afterTime", "onTemperature", "onHfdRise"};
const QStringList kTriggerCounts{"minutes", "hfdReadings"};
const QStringList kTriggerKeys{"afterTime", "minutes", "onTemperature", "temperatureChange",
                               "onHfdRise", "hfdRisePercent", "hfdReadings", "armed"};
// The optics keys in the order they are printed; the first two can be set.
const QStringList kOpticsKeys{"focalRatio", "stepSize", "catalogueStepSize", "cfzSteps"};
// The inspector's keys in the order they are printed (the map's rows follow);
// its figures are µm, to a tenth, and their size in zones to a hundredth.
const QStringList kInspectKeys{"time", "temperature", "why", "regions", "regionsFitted", "cfzMicrons",
                               "tilt", "tiltUncertainty", "tiltCfz", "tiltX", "tiltY", "tiltPlace", "tiltVerdict",
                               "curvature", "curvatureUncertainty", "curvatureCfz", "curvatureVerdict",
                               "backFocus", "backFocusUncertainty", "backFocusCfz", "backFocusVerdict"};

int Usage() {
    std::fputs(
        "usage: kessivanectl COMMAND [options]\n"
        "  position | absolute-position | idle | running | temperature | halt\n"
        "                                      (idle: the focuser stands still; running: a scan or\n"
        "                                      an auto focus runs)\n"
        "  move-to N | move-by N [--no-wait]   move and (by default) wait until the move ends;\n"
        "                                      exit 4 when it ended without arriving\n"
        "  focus-frame                         take one focus frame and print its figures;\n"
        "                                      exit 5 when it has no star\n"
        "  take-image                          take a main image and print its size and statistics\n"
        "  stars                               list the stars of the main image, brightest first\n"
        "  pick-star                           select the best star for focusing and print it\n"
        "  select-star X Y                     select the star at pixel X, Y as a click would\n"
        "  autofocus [--step S] [--method fit|golden|quick] [--measure star|field]\n"
        "                                      run an auto focus (initial step S, default 100; by\n"
        "                                      the method on the Auto Focus page unless given;\n"
        "                                      quick: a refocus on tonight's fitted curve;\n"
        "                                      star: the focus star, field: every star's median);\n"
        "                                      each reading averages one or more focus frames;\n"
        "                                      exit 6 when its answer is uncertain\n"
        "  scan [--start S] [--increment I] [--steps N]   run a focus scan\n"
        "  cancel                              cancel a running auto focus or scan\n"
        "  triggers                            print the refocus triggers, one key a line\n"
        "  set-triggers KEY=VALUE...           change them, e.g. onTemperature=on\n"
        "                                      temperatureChange=0.8 (switches: on/off)\n"
        "  report-hfd HFD                      report an HFD measured on your own frames\n"
        "  optics                              print the focal ratio, step size (um) and the\n"
        "                                      critical focus zone in steps, one key a line\n"
        "  set-optics KEY=VALUE...             change them, e.g. focalRatio=5 stepSize=3.6\n"
        "                                      (0 unsets one)\n"
        "  inspect                             print the optics the last whole-field auto focus\n"
        "                                      read (tilt, curvature, back focus, the regions'\n"
        "                                      map), one key a line; exit 5 before there is one\n"
        "  --timeout-ms T                      give up waiting after T ms\n",
        stderr);
    return kExitUsage;
}

struct Options {
    QString command;
    QList<qint64> values;
    QMap<QString, int> numbers;
    QString method;  // autofocus --method, in lower case; empty: the page's choice
    QString measure;  // autofocus --measure: star or field; empty: the page's choice
    QStringList words;  // set-triggers, set-optics and report-hfd: taken as they are
    bool wait = true;
    int timeoutMs = kDefaultTimeoutMs;
};

// A whole number within [lo, hi]. One outside is refused with the range:
// cut down to 32 bits it would be another number, and another move.
std::optional<qint64> Number(const QString& text, const QString& what, qint64 lo, qint64 hi) {
    static const QRegularExpression whole(QStringLiteral("^[-+]?[0-9]+$"));
    bool ok = false;
    const qint64 v = text.toLongLong(&ok);
    if (ok && v >= lo && v <= hi) return v;
    if (whole.match(text).hasMatch()) {
        std::fprintf(stderr, "kessivanectl: %s takes a whole number from %lld to %lld, not %s\n", qPrintable(what),
                     static_cast<long long>(lo), static_cast<long long>(hi), qPrintable(text));
    }
    return std::nullopt;
}

// Set when Parse has said what is wrong itself: the whole usage would bury it.
bool g_explained = false;

// Commands whose arguments are KEY=VALUE words or a value of their own, not positions.
bool TakesWords(const QString& command) {
    return command == QLatin1String("set-triggers") || command == QLatin1String("set-optics") ||
           command == QLatin1String("report-hfd");
}

std::optional<Options> Parse(const QStringList& args) {
    Options o;
    for (int i = 1; i < args.size(); ++i) {
        const QString& a = args[i];
        if (a == QLatin1String("--no-wait")) {
            o.wait = false;
        } else if (a == QLatin1String("--method") && i + 1 < args.size()) {
            o.method = args[++i].toLower();
            if (o.method != QLatin1String("fit") && o.method != QLatin1String("golden") &&
                o.method != QLatin1String("quick")) {
                std::fprintf(stderr, "kessivanectl: unknown method '%s': use golden, fit or quick\n", qPrintable(args[i]));
                g_explained = true;
                return std::nullopt;
            }
        } else if (a == QLatin1String("--measure") && i + 1 < args.size()) {
            o.measure = args[++i].toLower();
            if (o.measure != QLatin1String("star") && o.measure != QLatin1String("field")) {
                std::fprintf(stderr, "kessivanectl: unknown measure '%s': use star or field\n", qPrintable(args[i]));
                g_explained = true;
                return std::nullopt;
            }
        } else if (a.startsWith(QLatin1String("--")) && i + 1 < args.size()) {
            const bool timeout = a == QLatin1String("--timeout-ms");
            const auto v = Number(args[++i], a, timeout ? 1 : INT32_MIN, INT32_MAX);
            if (!v) return std::nullopt;
            if (timeout) o.timeoutMs = static_cast<int>(*v);
            else o.numbers[a.mid(2)] = static_cast<int>(*v);
        } else if (o.command.isEmpty()) {
            o.command = a;
        } else if (TakesWords(o.command)) {
            o.words << a;
        } else {
            // Pixels of a main image; positions and steps take any 32-bit number.
            const bool pixel = o.command == QLatin1String("select-star");
            const auto v = pixel ? Number(a, o.values.isEmpty() ? QStringLiteral("X") : QStringLiteral("Y"), 0, kMaxPixel)
                                 : Number(a, o.command, INT32_MIN, INT32_MAX);
            if (!v) return std::nullopt;
            o.values << *v;
        }
    }
    const QStringList plain{"position", "absolute-position", "idle",  "running",   "temperature", "halt",
                            "focus-frame", "cancel",         "take-image", "stars", "pick-star", "triggers",
                            "optics", "inspect"};
    const bool move = o.command == QLatin1String("move-to") || o.command == QLatin1String("move-by");
    const qsizetype needs = move ? 1 : o.command == QLatin1String("select-star") ? 2 : 0;
    if (o.values.size() != needs) return std::nullopt;
    if (TakesWords(o.command)) {
        const bool report = o.command == QLatin1String("report-hfd");
        if (report ? o.words.size() != 1 : o.words.isEmpty()) return std::nullopt;
        for (const QString& w : o.words) {
            if (!report && w.indexOf(QLatin1Char('=')) <= 0) {
                std::fprintf(stderr, "kessivanectl: '%s' is no KEY=VALUE\n", qPrintable(w));
                g_explained = true;
                return std::nullopt;
            }
        }
        if (!o.numbers.isEmpty() || !o.method.isEmpty() || !o.measure.isEmpty()) return std::nullopt;
        return o;
    }
    if (needs == 0 && !plain.contains(o.command) && o.command != QLatin1String("autofocus") &&
        o.command != QLatin1String("scan")) {
        return std::nullopt;
    }
    if ((!o.method.isEmpty() || !o.measure.isEmpty()) && o.command != QLatin1String("autofocus")) return std::nullopt;
    for (const QString& key : o.numbers.keys()) {
        const bool known = (o.command == QLatin1String("autofocus") && key == QLatin1String("step")) ||
                           (o.command == QLatin1String("scan") &&
                            (key == QLatin1String("start") || key == QLatin1String("increment") ||
                             key == QLatin1String("steps")));
        if (!known) return std::nullopt;
    }
    return o;
}

class Client : public QObject {
    Q_OBJECT
public:
    Client(QDBusConnection bus, Options options) : bus_(std::move(bus)), o_(std::move(options)) {}

    int Run() {
        if (!bus_.interface()->isServiceRegistered(kService).value()) {
            std::fputs("kessivanectl: Kessivane is not running on this desktop\n", stderr);
            return kExitNoProgram;
        }
        const QString& c = o_.command;
        if (c == QLatin1String("position")) return PrintReply(Call(kFocuserPath, kFocuser, "Position"));
        if (c == QLatin1String("absolute-position")) return PrintReply(Call(kFocuserPath, kFocuser, "AbsolutePosition"));
        if (c == QLatin1String("idle")) return Idle();
        if (c == QLatin1String("running")) return PrintReply(Call(kFocusingPath, kFocusing, "Running"));
        if (c == QLatin1String("temperature")) return PrintReply(Call(kFocuserPath, kFocuser, "Temperature"));
        if (c == QLatin1String("halt")) return PrintReply(Call(kFocuserPath, kFocuser, "Halt"));
        if (c == QLatin1String("cancel")) return PrintReply(Call(kFocusingPath, kFocusing, "Cancel"));
        if (c == QLatin1String("focus-frame")) return FocusFrame();
        if (c == QLatin1String("take-image")) return TakeImage();
        if (c == QLatin1String("stars")) return Stars();
        if (c == QLatin1String("pick-star")) return PickStar();
        if (c == QLatin1String("select-star")) {
            return PrintReply(Call(kCameraPath, kCamera, "SelectStar",
                                   {static_cast<int>(o_.values[0]), static_cast<int>(o_.values[1])}));
        }
        if (c == QLatin1String("move-to") || c == QLatin1String("move-by")) return Move();
        if (c == QLatin1String("triggers")) return Triggers();
        if (c == QLatin1String("set-triggers")) return SetTriggers();
        if (c == QLatin1String("report-hfd")) return ReportHfd();
        if (c == QLatin1String("optics")) return Optics();
        if (c == QLatin1String("set-optics")) return SetOptics();
        if (c == QLatin1String("inspect")) return Inspect();
        return Procedure();
    }

private slots:
    void OnFinished(const QString& procedure, bool completed, int position, double fom, const QString& message) {
        if (procedure != procedure_) return;
        const bool uncertain = !completed && details_.value(QStringLiteral("uncertain")).toBool();
        if (completed || uncertain) {
            std::printf("%s %s: position %d, figure of merit %.4f%s\n", qPrintable(procedure),
                        completed ? "completed" : "uncertain", position, fom, qPrintable(DetailsText()));
        }
        if (!completed) std::fprintf(stderr, "kessivanectl: %s ended: %s\n", qPrintable(procedure), qPrintable(message));
        result_ = completed ? kExitOk : uncertain ? kExitUncertain : kExitFailed;
        loopDone_();
    }
    void OnDetails(const QVariantMap& details) { details_ = details; }
    // One line a reading: a scan's point or a search's measured position
    // (several focus frames averaged; the result line counts both).
    void OnProgress(const QString& procedure, int step, int position, double fom) {
        if (procedure != procedure_) return;
        ++readings_;
        std::printf("%s step %d: reading %d at position %d, figure of merit %.4f\n", qPrintable(procedure), step,
                    readings_, position, fom);
        std::fflush(stdout);
    }

private:
    // What the auto focus's details add to its result line; empty for a scan
    // or a Kessivane that does not send them.
    QString DetailsText() const {
        if (procedure_ != QLatin1String("autofocus") || details_.isEmpty()) return {};
        QString text = QStringLiteral(", method %1, %2 readings of %3 focus frames")
                           .arg(details_.value(QStringLiteral("method")).toString())
                           .arg(readings_)
                           .arg(details_.value(QStringLiteral("frames")).toInt());
        if (const int coarse = details_.value(QStringLiteral("coarseFrames")).toInt(); coarse > 0)
            text += QStringLiteral(" after %1 whole-image frames").arg(coarse);
        // The quick refocus's positions; after a fallback the full curve fit found best focus.
        const QString predicted = details_.contains(QStringLiteral("predicted"))
                                      ? QString::number(details_.value(QStringLiteral("predicted")).toInt())
                                      : QString();
        const QString found = details_.contains(QStringLiteral("found"))
                                  ? QString::number(details_.value(QStringLiteral("found")).toInt())
                                  : QString();
        if (const QString why = details_.value(QStringLiteral("fallback")).toString(); !why.isEmpty()) {
            if (!predicted.isEmpty()) text += QStringLiteral(", predicted %1").arg(predicted);
            text += QStringLiteral(", fell back to the curve fit: %1").arg(why);
            if (!found.isEmpty()) text += QStringLiteral("; the curve fit found %1").arg(found);
        } else if (!found.isEmpty()) {
            text += QStringLiteral(", predicted %1, found %2").arg(predicted, found);
        }
        if (details_.contains(QStringLiteral("rSquared"))) {
            text += QStringLiteral(", R^2 %1").arg(details_.value(QStringLiteral("rSquared")).toDouble(), 0, 'f', 4);
        }
        // The answer's own error estimate: what a script weighs the result by.
        if (details_.contains(QStringLiteral("errorSteps"))) {
            text += QStringLiteral(", error about %1 steps").arg(details_.value(QStringLiteral("errorSteps")).toDouble(), 0, 'f', 1);
            if (details_.contains(QStringLiteral("errorCfz")))
                text += QStringLiteral(" (%1 CFZ)").arg(details_.value(QStringLiteral("errorCfz")).toDouble(), 0, 'f', 2);
        }
        if (details_.contains(QStringLiteral("absolutePosition"))) {
            text += QStringLiteral(", absolute position %1").arg(details_.value(QStringLiteral("absolutePosition")).toInt());
        }
        return text;
    }
    QDBusMessage Call(const QString& path, const QString& iface, const char* method, const QVariantList& args = {},
                      int timeoutMs = 25000) {
        QDBusMessage m = QDBusMessage::createMethodCall(kService, path, iface, QString::fromLatin1(method));
        m.setArguments(args);
        return bus_.call(m, QDBus::Block, timeoutMs);
    }
    static bool Failed(const QDBusMessage& reply) {
        if (reply.type() != QDBusMessage::ErrorMessage) return false;
        std::fprintf(stderr, "kessivanectl: %s\n", qPrintable(reply.errorMessage()));
        return true;
    }
    static int ExitFor(const QDBusMessage& reply) {
        const QString name = reply.errorName();
        return name.startsWith(QLatin1String("org.freedesktop.DBus.Error.")) ? kExitNoProgram : kExitFailed;
    }
    int PrintReply(const QDBusMessage& reply) {
        if (Failed(reply)) return ExitFor(reply);
        if (!reply.arguments().isEmpty()) {
            const QVariant v = reply.arguments().first();
            if (v.typeId() == QMetaType::Bool) std::printf("%d\n", v.toBool() ? 1 : 0);
            else if (v.typeId() == QMetaType::Double) std::printf("%.1f\n", v.toDouble());
            else std::printf("%s\n", qPrintable(v.toString()));
        }
        return kExitOk;
    }
    // Runs the event loop until `done` is called or the time is up; false on time-out.
    bool Wait(const std::function<void(std::function<void()>)>& start) {
        QEventLoop loop;
        bool finished = false;
        loopDone_ = [&] {
            finished = true;
            loop.quit();
        };
        QTimer::singleShot(o_.timeoutMs, &loop, &QEventLoop::quit);
        start(loopDone_);
        if (!finished) loop.exec();
        loopDone_ = [] {};
        return finished;
    }
    int FocusFrame() {
        const QDBusMessage reply = Call(kCameraPath, kCamera, "TakeFocusFrame", {}, o_.timeoutMs);
        if (Failed(reply)) return ExitFor(reply);
        const auto figures = qdbus_cast<QVariantMap>(reply.arguments().value(0));
        // Without a star (or with too few in the field) the numbers are no
        // figure: only the status is printed, and the exit says so.
        const QString status = figures.value(QStringLiteral("Status")).toString();
        if (!status.isEmpty()) {
            std::printf("Status %s\n", status.toLocal8Bit().constData());
            std::fprintf(stderr, "kessivanectl: the focus frame has no figure: %s\n", status.toLocal8Bit().constData());
            return kExitNoStar;
        }
        for (const char* key : {"FWHM", "HFD", "xFWHM", "yFWHM", "Peak", "FOM"}) {
            std::printf("%s %.4f\n", key, figures.value(QString::fromLatin1(key)).toDouble());
        }
        if (const int stars = figures.value(QStringLiteral("Stars")).toInt(); stars > 1) std::printf("Stars %d\n", stars);
        return kExitOk;
    }
    // The focuser's own idle; a procedure stands the focuser still between
    // its moves, so a running one is mentioned beside it.
    int Idle() {
        const int exit = PrintReply(Call(kFocuserPath, kFocuser, "Idle"));
        if (exit != kExitOk) return exit;
        const QDBusMessage running = Call(kFocusingPath, kFocusing, "Running");
        if (running.type() != QDBusMessage::ErrorMessage && running.arguments().value(0).toBool()) {
            std::fputs("kessivanectl: a scan or an auto focus is running (kessivanectl running)\n", stderr);
        }
        return kExitOk;
    }
    int TakeImage() {
        const QDBusMessage reply = Call(kCameraPath, kCamera, "TakeImage", {}, o_.timeoutMs);
        if (Failed(reply)) return ExitFor(reply);
        const auto image = qdbus_cast<QVariantMap>(reply.arguments().value(0));
        std::printf("Width %d\nHeight %d\nMin %d\nMax %d\nAvg %.1f\n", image.value(QStringLiteral("Width")).toInt(),
                    image.value(QStringLiteral("Height")).toInt(), image.value(QStringLiteral("Min")).toInt(),
                    image.value(QStringLiteral("Max")).toInt(), image.value(QStringLiteral("Avg")).toDouble());
        return kExitOk;
    }
    // One star a line: position, size, brightness and what makes it poor for focusing.
    static void PrintStar(const QVariantMap& s) {
        QStringList flags;
        for (const char* flag : {"saturated", "nearEdge", "crowded", "elongated"}) {
            if (s.value(QString::fromLatin1(flag)).toBool()) flags << QString::fromLatin1(flag);
        }
        auto d = [&s](const char* key) { return s.value(QString::fromLatin1(key)).toDouble(); };
        std::printf("x %.2f y %.2f hfd %.2f fwhm %.2f peak %.0f flux %.0f snr %.1f elongation %.2f%s%s\n", d("x"), d("y"),
                    d("hfd"), d("fwhm"), d("peak"), d("flux"), d("snr"), d("elongation"), flags.isEmpty() ? "" : " ",
                    qPrintable(flags.join(QLatin1Char(','))));
    }
    int Stars() {
        const QDBusMessage reply = Call(kCameraPath, kCamera, "FindStars");
        if (Failed(reply)) return ExitFor(reply);
        const QDBusArgument list = reply.arguments().value(0).value<QDBusArgument>();
        list.beginArray();
        while (!list.atEnd()) {
            QVariantMap star;
            list >> star;
            PrintStar(star);
        }
        list.endArray();
        return kExitOk;
    }
    int PickStar() {
        const QDBusMessage reply = Call(kCameraPath, kCamera, "PickStar");
        if (Failed(reply)) return ExitFor(reply);
        PrintStar(qdbus_cast<QVariantMap>(reply.arguments().value(0)));
        return kExitOk;
    }
    int Move() {
        const bool to = o_.command == QLatin1String("move-to");
        const int value = static_cast<int>(o_.values[0]);
        if (!o_.wait) return PrintReply(Call(kFocuserPath, kFocuser, to ? "MoveTo" : "MoveBy", {value}));
        // Answered when the move has ended, with how it ended.
        const QDBusMessage reply =
            Call(kFocuserPath, kFocuser, to ? "MoveToAndWait" : "MoveByAndWait", {value}, o_.timeoutMs);
        if (reply.type() == QDBusMessage::ErrorMessage && reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.NoReply")) {
            std::fputs("kessivanectl: the move did not end in time; it goes on (kessivanectl halt stops it)\n", stderr);
            return kExitNoProgram;
        }
        if (Failed(reply)) return ExitFor(reply);
        const auto ending = qdbus_cast<QVariantMap>(reply.arguments().value(0));
        std::printf("%d\n", ending.value(QStringLiteral("position")).toInt());
        const QString how = ending.value(QStringLiteral("ending")).toString();
        if (how == QLatin1String("arrived")) return kExitOk;
        std::fprintf(stderr, "kessivanectl: the move to %d ended %s: %s\n", ending.value(QStringLiteral("target")).toInt(),
                     qPrintable(how), qPrintable(ending.value(QStringLiteral("reason")).toString()));
        return kExitNotArrived;
    }
    int Triggers() {
        const QDBusMessage reply = Call(kRefocusPath, kRefocus, "Triggers");
        if (Failed(reply)) return ExitFor(reply);
        const auto map = qdbus_cast<QVariantMap>(reply.arguments().value(0));
        for (const QString& key : kTriggerKeys) {
            if (!map.contains(key)) continue;
            const QVariant v = map.value(key);
            if (v.typeId() == QMetaType::Bool) std::printf("%s %s\n", qPrintable(key), v.toBool() ? "on" : "off");
            else std::printf("%s %s\n", qPrintable(key), qPrintable(v.toString()));
        }
        return kExitOk;
    }
    // Each value goes as its key's type; an unknown key goes as it is
    // written, for Kessivane to refuse with the keys it knows.
    int SetTriggers() {
        QVariantMap values;
        for (const QString& w : o_.words) {
            const qsizetype eq = w.indexOf(QLatin1Char('='));
            const QString key = w.left(eq), text = w.mid(eq + 1).trimmed();
            bool ok = true;
            QVariant v;
            if (kTriggerSwitches.contains(key)) {
                const QString t = text.toLower();
                ok = QStringList{"on", "off", "yes", "no", "true", "false", "1", "0"}.contains(t);
                v = t == QLatin1String("on") || t == QLatin1String("yes") || t == QLatin1String("true") ||
                    t == QLatin1String("1");
            } else if (kTriggerCounts.contains(key)) {
                v = text.toInt(&ok);
            } else if (kTriggerKeys.contains(key)) {
                v = text.toDouble(&ok);
            } else {
                v = text;
            }
            if (!ok) {
                std::fprintf(stderr, "kessivanectl: %s does not take '%s'\n", qPrintable(key), qPrintable(text));
                return kExitUsage;
            }
            values.insert(key, v);
        }
        const QDBusMessage reply = Call(kRefocusPath, kRefocus, "SetTriggers", {values});
        if (Failed(reply)) return ExitFor(reply);
        return Triggers();
    }
    int Optics() {
        const QDBusMessage reply = Call(kFocusingPath, kFocusing, "Optics");
        if (Failed(reply)) return ExitFor(reply);
        const auto map = qdbus_cast<QVariantMap>(reply.arguments().value(0));
        for (const QString& key : kOpticsKeys) {
            // Six figures: the zone is a quotient, whose last digits mean nothing.
            if (map.contains(key)) std::printf("%s %s\n", qPrintable(key), qPrintable(QString::number(map.value(key).toDouble(), 'g', 6)));
        }
        return kExitOk;
    }
    // Known keys go as numbers; an unknown one as it is written, for
    // Kessivane to refuse with the keys it knows.
    int SetOptics() {
        QVariantMap values;
        for (const QString& w : o_.words) {
            const qsizetype eq = w.indexOf(QLatin1Char('='));
            const QString key = w.left(eq), text = w.mid(eq + 1).trimmed();
            if (!kOpticsKeys.mid(0, 2).contains(key)) {
                values.insert(key, text);
                continue;
            }
            bool ok = false;
            const double v = text.toDouble(&ok);
            if (!ok) {
                std::fprintf(stderr, "kessivanectl: %s takes a number, not '%s'\n", qPrintable(key), qPrintable(text));
                return kExitUsage;
            }
            values.insert(key, v);
        }
        const QDBusMessage reply = Call(kFocusingPath, kFocusing, "SetOptics", {values});
        if (Failed(reply)) return ExitFor(reply);
        return Optics();
    }
    int Inspect() {
        const QDBusMessage reply = Call(kFocusingPath, kFocusing, "Inspect");
        if (reply.type() == QDBusMessage::ErrorMessage && reply.errorName() == QLatin1String("org.kessivane.Error.NotReady")) {
            std::fprintf(stderr, "kessivanectl: %s\n", qPrintable(reply.errorMessage()));
            return kExitNoStar;
        }
        if (Failed(reply)) return ExitFor(reply);
        const auto map = qdbus_cast<QVariantMap>(reply.arguments().value(0));
        QStringList keys = kInspectKeys;
        for (int row = 1; map.contains(QStringLiteral("row%1").arg(row)); ++row) keys << QStringLiteral("row%1").arg(row);
        for (const QString& key : keys) {
            if (!map.contains(key)) continue;
            const QVariant v = map.value(key);
            const QString text = v.typeId() != QMetaType::Double ? v.toString()
                                 : QString::number(v.toDouble(), 'f', key.endsWith(QLatin1String("Cfz")) ? 2 : 1);
            std::printf("%s %s\n", qPrintable(key), text.toUtf8().constData());
        }
        // A run that measured nothing says why, and is no report to act on.
        return map.contains(QStringLiteral("why")) ? kExitFailed : kExitOk;
    }
    int ReportHfd() {
        bool ok = false;
        const double hfd = o_.words.value(0).toDouble(&ok);
        if (!ok) {
            std::fprintf(stderr, "kessivanectl: an HFD is a number of pixels, not '%s'\n", qPrintable(o_.words.value(0)));
            return kExitUsage;
        }
        return PrintReply(Call(kRefocusPath, kRefocus, "ReportHfd", {hfd}));
    }
    int Procedure() {
        const bool scan = o_.command == QLatin1String("scan");
        procedure_ = scan ? QStringLiteral("scan") : QStringLiteral("autofocus");
        bus_.connect(kService, kFocusingPath, kFocusing, QStringLiteral("Finished"), this,
                     SLOT(OnFinished(QString, bool, int, double, QString)));
        bus_.connect(kService, kFocusingPath, kFocusing, QStringLiteral("Progress"), this,
                     SLOT(OnProgress(QString, int, int, double)));
        bus_.connect(kService, kFocusingPath, kFocusing, QStringLiteral("AutoFocusFinished"), this,
                     SLOT(OnDetails(QVariantMap)));
        QVariantList autofocus{o_.numbers.value(QStringLiteral("step"), 100)};
        if (!o_.method.isEmpty() || !o_.measure.isEmpty()) autofocus << o_.method;
        if (!o_.measure.isEmpty()) autofocus << o_.measure;
        const QDBusMessage reply =
            scan ? Call(kFocusingPath, kFocusing, "StartScan",
                        {o_.numbers.value(QStringLiteral("start"), -100), o_.numbers.value(QStringLiteral("increment"), 20),
                         o_.numbers.value(QStringLiteral("steps"), 10)})
                 : Call(kFocusingPath, kFocusing, "StartAutoFocus", autofocus);
        if (Failed(reply)) return ExitFor(reply);
        if (!Wait([](auto) {})) {
            std::fprintf(stderr,
                         "kessivanectl: no result in time; the %s goes on in Kessivane (kessivanectl running "
                         "tells whether it still runs, kessivanectl cancel stops it)\n",
                         scan ? "scan" : "auto focus");
            return kExitNoProgram;
        }
        return result_;
    }

    QDBusConnection bus_;
    Options o_;
    QString procedure_;
    std::function<void()> loopDone_ = [] {};
    int readings_ = 0;
    int result_ = kExitFailed;
    QVariantMap details_;
};

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.contains(QStringLiteral("--help"))) {
        Usage();
        return kExitOk;
    }
    const auto options = Parse(args);
    if (!options) return g_explained ? kExitUsage : Usage();
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        std::fputs("kessivanectl: no session bus (is a desktop session running?)\n", stderr);
        return kExitNoBus;
    }
    Client client(bus, *options);
    return client.Run();
}

#include "main.moc"
