// What reaches the main window from outside its pages: the hub companion's
// codes and the camera drivers' interrupt reports on the broadcast bus, the
// keys the window sees before its controls (F1, I and O), and the user's
// guide. Takes the window's pages and controllers as TMainForm holds them;
// gives the answers on the bus, the moves asked for and the help viewer.
#include "app/main_form.h"

#include <QAbstractSpinBox>
#include <QApplication>
#include <QColor>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPointF>
#include <QProcess>
#include <QPushButton>
#include <QRectF>
#include <QTextEdit>
#include <QTimer>
#include <csignal>
#include <string>
#include <string_view>

#include "app/exposure_page.h"
#include "app/manual_focus_page.h"
#include "app/read_out_panel.h"
#include "app/refocus_watch.h"
#include "platform/broadcast.h"
#include "shell/log_channel.h"
#include "shell/window_rules.h"
#include "widgets/lum_lite.h"

namespace {

constexpr int kHelpStartMs = 2000;
constexpr int kHelpCloseMs = 500;

QString Q(std::string_view s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

}  // namespace

void TMainForm::OnBroadcast(const QString& message, qint64 wparam, qint64 lparam, qint64 senderPid) {
    if (message == QLatin1String(kv::kKantrelMessage)) {
        HandleKantrel(static_cast<int>(wparam), lparam, senderPid);
    } else if (message == QLatin1String(kv::kKvMsg) || message == QLatin1String(kv::kQxKvMsg)) {
        HandleInterruptReport(wparam, lparam);
    }
}

void TMainForm::HandleKantrel(int code, std::int64_t value, std::int64_t senderPid) {
    kv::TFocusControl* focuser = focusControl_.get();
    // A value from another program is kept within what the focuser counts in.
    const auto steps = static_cast<std::int32_t>(std::clamp<std::int64_t>(
        value, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
    switch (code) {
        case kv::kKantrelAskPosition:
            BroadcastKantrel(kv::kKantrelPosition, readOutPanel_->PositionValue());
            break;
        case kv::kKantrelMoveTo:
        case kv::kKantrelMoveBy:
            // The companion's move passes the guards a script's does; a refused
            // one touches nothing, not even the announcer.
            if (const std::optional<scripting::Refusal> refused =
                    scripting::MoveRefusal({AllowOtherPrograms(), FocusControl(), State().portOpen, ProcedureRunning()},
                                         scripting::MoveUnderWay::Refuse)) {
                const std::string why = refused->text.toStdString();
                kv::WriteProgramLog("A focuser " + std::string(code == kv::kKantrelMoveTo ? "move to " : "move by ") +
                                    std::to_string(steps) + " from another program was refused: " + why);
                BroadcastKantrel(kv::kKantrelMoveAnswer, senderPid, why);
                return;
            }
            // The end of the move announces the new position; an old announcement would talk over it.
            manualFocusPage_->StopAnnouncer();
            if (code == kv::kKantrelMoveTo) focuser->MoveTo(steps);
            else focuser->MoveBy(steps);
            if (refocusWatch_ != nullptr) refocusWatch_->MovedByHand();
            BroadcastKantrel(kv::kKantrelMoveAnswer, senderPid, {});
            break;
        case kv::kKantrelAskIdle:
            if (focuser == nullptr) return;
            BroadcastKantrel(kv::kKantrelIdle, kv::KantrelIdleValue(focuser->GetIdle() ? 1 : 0));
            break;
        default: break;  // codes this program sends itself
    }
}

void TMainForm::HandleInterruptReport(std::int64_t wparam, std::int64_t lparam) {
    const bool sbig = cameraControl_ && cameraControl_->IsSBIG();
    const int interfaceType =
        cameraControl_ && cameraControl_->Initialized() ? cameraControl_->CameraData().InterfaceType : 0;
    const kv::InterruptAction action = kv::InterruptReportAction(wparam, lparam, isWin9x_, sbig, interfaceType);
    if (action == kv::InterruptAction::None) return;
    const bool off = action == kv::InterruptAction::InterruptsOff;
    if (focusControl_) {
        if (off) focusControl_->MotorOff();
        focusControl_->SetInterruptsOff(off);
    }
    if (auto* lite = findChild<kv::TlumLite*>(QStringLiteral("IntLite"))) {
        lite->SetOnColor(off ? QColor(Qt::red) : QColor(Qt::green));
        lite->SetLit(true);
        lite->repaint();
    }
}

// ---------------------------------------------------------------- keys and help

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if ((watched == central_ || watched == pc1_) && type == QEvent::Resize) PlaceFocusPanel();
    // The room the bar leaves the star's text changes with the window.
    if (watched == statusPanels_[2] && type == QEvent::Resize) FitStatusPanels();
    if ((type == QEvent::KeyPress || type == QEvent::KeyRelease) && watched->isWidgetType()) {
        auto* widget = static_cast<QWidget*>(watched);
        if (widget->window() == this) {
            // A key the focused control leaves alone climbs through its
            // parents as the same event; it is acted on once, at the first.
            auto* previous = qobject_cast<QWidget*>(lastKeyTarget_.data());
            const bool climbing = event == lastKey_ && previous != nullptr && previous != widget &&
                                  widget->isAncestorOf(previous);
            if (!climbing) {
                lastKey_ = event;
                lastKeyTarget_ = watched;
                return FocusKey(static_cast<QKeyEvent*>(event));
            }
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

namespace {
// A control the user types into keeps its letters.
bool TakesText(const QWidget* w) {
    if (w == nullptr) return false;
    if (qobject_cast<const QLineEdit*>(w) || qobject_cast<const QAbstractSpinBox*>(w) ||
        qobject_cast<const QPlainTextEdit*>(w) || qobject_cast<const QTextEdit*>(w)) {
        return true;
    }
    const auto* combo = qobject_cast<const QComboBox*>(w);
    return combo != nullptr && combo->isEditable();
}
}  // namespace

bool TMainForm::FocusKey(QKeyEvent* key) {
    const bool press = key->type() == QEvent::KeyPress;
    if (key->key() == Qt::Key_F1) {
        if (press && !key->isAutoRepeat()) ShowHelp();
        return true;
    }
    if (key->key() == Qt::Key_P && !(key->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) &&
        pc1_->currentIndex() == ExposureControl && !TakesText(qobject_cast<QWidget*>(lastKeyTarget_.data()))) {
        if (press && !key->isAutoRepeat()) exposurePage_->PickStarKey();
        return true;
    }
    // Escape calls a running star search off, on whichever page; otherwise
    // it goes to the control as before.
    if (key->key() == Qt::Key_Escape && exposurePage_->FindingStars()) {
        if (press) exposurePage_->CancelFindStars();
        return true;
    }
    if ((key->key() != Qt::Key_I && key->key() != Qt::Key_O) ||
        (key->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))) {
        return false;
    }
    // The system repeats a held key as release-press pairs; only the last
    // release lets the button up.
    if (!press && key->isAutoRepeat()) return false;
    auto* button = findChild<QPushButton*>(key->key() == Qt::Key_I ? QStringLiteral("Focus_InBtn")
                                                                    : QStringLiteral("Focus_OutBtn"));
    // A disabled button would not take the press: nothing moves, so the lamp stays as it is.
    if (button == nullptr || !button->isEnabled()) return false;
    if (press) readOutPanel_->MovingLite()->SetLit(true);
    const QPointF at = QRectF(button->rect()).center();
    QMouseEvent mouse(press ? QEvent::MouseButtonPress : QEvent::MouseButtonRelease, at, button->mapToGlobal(at),
                      Qt::LeftButton, press ? Qt::LeftButton : Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(button, &mouse);
    // The focused control still gets its letter.
    return false;
}

void TMainForm::ShowHelp() {
    const QString path = QDir::cleanPath(QFileInfo(Q(programFolder_) + QLatin1String(kv::kHelpFileName)).absoluteFilePath());
    auto say = [this, path](bool missing) {
        const std::string text = kv::HelpFileErrorText(path.toStdString(), missing);
        kv::WriteProgramLog(text);
        dialogs_.Show(text, kv::DialogType::Error, kv::DialogButtons::Ok);
    };
    auto fail = [say] { say(false); };
    if (!QFileInfo::exists(path)) {
        say(true);
        return;
    }
    auto* viewer = new QProcess(this);
    viewer->setProgram(helpViewer_);
    viewer->setArguments({path});
    // Its own process group, so that closing it at shut-down also closes the
    // viewer the desktop's opener starts from it.
    viewer->setChildProcessModifier([] { ::setsid(); });
    viewer->setStandardOutputFile(QProcess::nullDevice());
    viewer->setStandardErrorFile(QProcess::nullDevice());
    viewer->start();
    if (!viewer->waitForStarted(kHelpStartMs)) {
        viewer->deleteLater();
        fail();
        return;
    }
    helpProcess_ = viewer;
    connect(viewer, &QProcess::finished, this, [this, viewer, fail](int exitCode, QProcess::ExitStatus status) {
        // The opener ends at once with an error when no viewer takes the file.
        const bool failed = status == QProcess::NormalExit && exitCode != 0 && !closing_;
        if (helpProcess_ == viewer) helpProcess_ = nullptr;
        viewer->deleteLater();
        if (failed) fail();
    });
}

void TMainForm::CloseHelpViewer() {
    for (QProcess* viewer : findChildren<QProcess*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (viewer->state() == QProcess::NotRunning) continue;
        viewer->disconnect(this);
        const qint64 pid = viewer->processId();
        if (pid > 0) ::kill(-static_cast<pid_t>(pid), SIGTERM);
        if (!viewer->waitForFinished(kHelpCloseMs)) viewer->kill();
        viewer->waitForFinished(kHelpCloseMs);
    }
    helpProcess_ = nullptr;
}
