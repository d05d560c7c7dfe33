// The window's own rules: page guards, the star's status panel, the I and O
// keys, F1, tooltips; and a page built alone against a stand-in for the window.
#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QRegularExpression>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>

#include <csignal>
#include <fstream>

#include "app/auto_focus_page.h"
#include "app/page_context.h"
#include "app_test_support.h"
#include "camera/display_rules.h"
#include "shell/ini_file.h"
#include "shell/window_rules.h"
#include "sim/hub_simulator.h"

using kvtest::ProcessEventsUntil;

namespace {

void Key(QWidget* to, QEvent::Type type, Qt::Key key, const QString& text, bool autoRepeat = false) {
    QKeyEvent e(type, key, Qt::NoModifier, text, autoRepeat);
    QApplication::sendEvent(to, &e);
}

class WindowRules : public kvtest::WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        AddSimCamera();
        ASSERT_TRUE(Open());
        ASSERT_TRUE(window->State().portOpen);
        window->show();
        pages = window->PageControl();
    }
    QTabWidget* pages = nullptr;
};

// Only what a page reaches through the frame; no window, no devices.
class StandInContext final : public TPageContext {
public:
    kv::TFocusControl* FocusControl() const override { return nullptr; }
    kv::TCameraControl* CameraControl() const override { return nullptr; }
    TWindowState& State() override { return state; }
    const std::string& IniPath() const override { return iniPath; }
    const std::string& ProgramFolder() const override { return iniPath; }
    std::string FocusLogPath() const override { return {}; }
    kv::IDialogs& Dialogs() override { return dialogs; }
    kv::IDialogs& EngineDialogs() override { return dialogs; }
    QString AskSaveFileName(const QString&, const QString&, const QString&, const QString&) override { return {}; }
    void SetStatusPanel(int, const QString&) override {}
    int StatusPanelWidth(int) const override { return 0; }
    void SetStatusPanelWidth(int, int) override {}
    QWidget& Window() override { return window; }
    QTabWidget* PageControl() const override { return nullptr; }
    TPageLinks Links() const override { return {}; }
    QTimer* FW2Timer() const override { return nullptr; }
    QTimer* IdleCheckTimer() const override { return nullptr; }
    void GetFocusImage() override { ++focusImages; }
    void DrawRoi() override {}
    void ShowFocusHistory() override { ++histories; }
    void StopContinuousFocus() override {}
    void SetStarSelected(bool) override {}
    void ShowCameraState() override {}
    bool ProcedureRunning() const override { return false; }
    bool IsWin9x() const override { return false; }

    QWidget window;
    TWindowState state;
    kvtest::RecordingDialogs dialogs;
    std::string iniPath;
    int focusImages = 0;
    int histories = 0;
};

}  // namespace

TEST(PageAlone, AutoFocusPageButtonsAndValuesGoThroughTheFrameItWasGiven) {
    kv::test::TempDir dir;
    StandInContext frame;
    frame.iniPath = dir.File("Kessivane.ini");
    auto* page = new TAutoFocusPage(frame, &frame.window);
    auto* focusImage = page->findChild<QPushButton*>(QStringLiteral("GetFocusImageButton2"));
    focusImage->setEnabled(true);
    focusImage->click();
    page->findChild<QPushButton*>(QStringLiteral("FocusHistoryButton2"))->click();
    EXPECT_EQ(frame.focusImages, 1);
    EXPECT_EQ(frame.histories, 1);

    auto* points = page->findChild<QSpinBox*>(QStringLiteral("FitPointsSE"));
    points->setValue(points->value() + 1);
    EXPECT_EQ(kv::IniFile::Load(frame.iniPath).GetInteger("AutoFocus", "PointsPerSide", -1), points->value());
    EXPECT_TRUE(frame.dialogs.shown.empty());

    // A settings file that cannot be written is said through the frame's dialogs, naming it.
    frame.iniPath = dir.File("gone/Kessivane.ini");
    points->setValue(points->value() + 1);
    ASSERT_EQ(frame.dialogs.shown.size(), 1u);
    EXPECT_NE(frame.dialogs.shown[0].text.find(frame.iniPath), std::string::npos) << frame.dialogs.shown[0].text;
}

TEST_F(WindowRules, ContinuousFocusHoldsManualFocusCompensationOnlyWarnsAndTheStarTextComesBack) {
    pages->setCurrentIndex(TMainForm::ExposureControl);
    window->SetStarSelected(true);
    // The longest text the selected star gives.
    const QString star = QString::fromStdString(kv::SelectedText(765, 510, 65535));
    window->SetStatusPanel(2, star);
    pages->setCurrentIndex(TMainForm::ManualFocus);
    EXPECT_TRUE(window->StatusPanelText(2).isEmpty());

    window->CameraControl()->SetContinuousFocus(true);
    pages->setCurrentIndex(TMainForm::AutoFocus);
    EXPECT_EQ(pages->currentIndex(), TMainForm::ManualFocus);
    EXPECT_TRUE(dialogs.Saw(kv::kStopContinuousFocusWarning));
    EXPECT_EQ(dialogs.beeps, 1);
    window->StopContinuousFocus();

    pages->setCurrentIndex(TMainForm::AutoFocus);
    pages->setTabVisible(TMainForm::TempControl, true);
    pages->setCurrentIndex(TMainForm::TempControl);
    window->findChild<QCheckBox*>(QStringLiteral("AutoSwitch"))->setChecked(true);
    dialogs.shown.clear();
    pages->setCurrentIndex(TMainForm::ExposureControl);
    EXPECT_EQ(pages->currentIndex(), TMainForm::ExposureControl);
    EXPECT_TRUE(dialogs.Saw(kv::kCompensationUnderwayWarning));
    EXPECT_EQ(dialogs.beeps, 2);
    // Three pages away and back: the selected star's text is there again, whole.
    EXPECT_EQ(window->StatusPanelText(2), star);
    QApplication::processEvents();
    auto* panel = window->findChild<QLabel*>(QStringLiteral("StatusPanel2"));
    EXPECT_LE(panel->fontMetrics().horizontalAdvance(star), panel->contentsRect().width());
    EXPECT_EQ(window->StatusPanelWidth(0), 300);  // the width it goes back to
}

// A held key moves the focuser like a held button, whatever has the keyboard,
// and the control still gets its letter.
TEST_F(WindowRules, HeldIOrOMovesTheFocuserUntilReleasedAndTheLetterIsStillTyped) {
    auto hub = kvsim::HubFor("hub");
    ASSERT_NE(hub, nullptr);
    auto* box = new QLineEdit(window->centralWidget());
    box->show();
    box->setFocus();

    Key(box, QEvent::KeyPress, Qt::Key_I, QStringLiteral("I"));
    ASSERT_TRUE(hub->WaitForCount(20, std::chrono::seconds(10)));
    EXPECT_EQ(hub->Direction(), 1);
    // Held: the system repeats the key as release-press pairs; the motor keeps running.
    for (int i = 0; i < 3; ++i) {
        Key(box, QEvent::KeyRelease, Qt::Key_I, QStringLiteral("I"), true);
        Key(box, QEvent::KeyPress, Qt::Key_I, QStringLiteral("I"), true);
    }
    ASSERT_TRUE(hub->WaitForCount(hub->EncoderCount() + 20, std::chrono::seconds(10)));
    Key(box, QEvent::KeyRelease, Qt::Key_I, QStringLiteral("I"));
    ASSERT_TRUE(hub->WaitUntilStopped(std::chrono::seconds(5)));

    Key(box, QEvent::KeyPress, Qt::Key_O, QStringLiteral("o"));
    ASSERT_TRUE(hub->WaitForCount(hub->EncoderCount() - 20, std::chrono::seconds(10)));
    EXPECT_EQ(hub->Direction(), -1);
    Key(box, QEvent::KeyRelease, Qt::Key_O, QStringLiteral("o"));
    ASSERT_TRUE(hub->WaitUntilStopped(std::chrono::seconds(5)));
    EXPECT_EQ(box->text(), QStringLiteral("IIIIo"));
    EXPECT_TRUE(box->hasFocus() || QApplication::focusWidget() == nullptr);
}

TEST_F(WindowRules, F1OpensTheGuideWithTheViewerKeptForShutDownOrSaysItCannot) {
    // Whatever fails, the user learns where the guide is and what to do.
    const std::string guide = std::filesystem::absolute(folder.File(kv::kHelpFileName)).lexically_normal().string();
    Key(window->centralWidget(), QEvent::KeyPress, Qt::Key_F1, QString());
    EXPECT_TRUE(dialogs.Saw(kv::HelpFileErrorText(guide, true)));
    EXPECT_NE(kv::HelpFileErrorText(guide, true).find(guide + " is missing"), std::string::npos);

    std::ofstream(folder.File(kv::kHelpFileName)) << "%PDF-1.4\n";
    const std::string viewer = folder.File("viewer");
    // The desktop's opener with no PDF viewer installed: it ends at once with status 3.
    std::ofstream(viewer) << "#!/bin/sh\nexit 3\n";
    std::filesystem::permissions(viewer, std::filesystem::perms::owner_all);
    window->SetHelpViewer(QString::fromStdString(viewer));
    dialogs.shown.clear();
    Key(window->centralWidget(), QEvent::KeyPress, Qt::Key_F1, QString());
    ASSERT_TRUE(kvtest::ProcessEventsUntil([&] { return !dialogs.shown.empty(); }, 5000));
    const std::string noViewer = dialogs.shown.front().text;
    EXPECT_EQ(noViewer, kv::HelpFileErrorText(guide, false));
    for (const std::string& part : {std::string(kv::kHelpFileError), "open " + guide, std::string("evince")}) {
        EXPECT_NE(noViewer.find(part), std::string::npos) << part;
    }

    std::ofstream(viewer, std::ios::trunc) << "#!/bin/sh\nexec sleep 60\n";
    dialogs.shown.clear();
    Key(window->centralWidget(), QEvent::KeyPress, Qt::Key_F1, QString());
    QProcess* running = window->HelpViewerProcess();
    ASSERT_NE(running, nullptr);
    EXPECT_EQ(running->state(), QProcess::Running);
    const qint64 pid = running->processId();
    EXPECT_TRUE(dialogs.shown.empty());

    window->close();
    EXPECT_NE(::kill(static_cast<pid_t>(pid), 0), 0);
}

// Every spin box explains itself with the range it accepts, also after the
// focuser changed it; the settings controls' tooltips are checked on their tabs.
TEST_F(WindowRules, SpinBoxesHaveToolTipsWhoseRangeIsTheBoxs) {
    const QRegularExpression range(QStringLiteral("\\((-?[0-9.]+)(?:-| to )(-?[0-9.]+)\\)$"));
    const auto boxRange = [](QWidget* w) -> std::optional<std::pair<double, double>> {
        if (auto* i = qobject_cast<QSpinBox*>(w)) return std::pair<double, double>(i->minimum(), i->maximum());
        if (auto* d = qobject_cast<QDoubleSpinBox*>(w)) return std::pair(d->minimum(), d->maximum());
        return std::nullopt;
    };
    for (QAbstractSpinBox* box : window->findChildren<QAbstractSpinBox*>()) {
        SCOPED_TRACE(box->objectName().toStdString());
        EXPECT_FALSE(box->toolTip().isEmpty());
        const auto bounds = boxRange(box);
        if (!bounds || bounds->second >= 1e9) continue;  // a box that takes any value shows no range
        const QRegularExpressionMatch m = range.match(box->toolTip());
        ASSERT_TRUE(m.hasMatch()) << box->toolTip().toStdString();
        EXPECT_DOUBLE_EQ(m.captured(1).toDouble(), bounds->first) << box->toolTip().toStdString();
        EXPECT_DOUBLE_EQ(m.captured(2).toDouble(), bounds->second) << box->toolTip().toStdString();
    }
}
