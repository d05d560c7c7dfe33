// The Manual Focus page on the simulated hub: read-out, enable rules during a
// programmed move, messages to the hub companion and the spoken position.
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QKeyEvent>
#include <QLineEdit>

#include <thread>

#include "app/manual_focus_page.h"
#include "app/radio_group.h"
#include "app/read_out_panel.h"
#include "app_test_support.h"
#include "camera/display_rules.h"
#include "focuser/voice_thread.h"
#include "platform/sound_player.h"
#include "sim/hub_simulator.h"
#include "widgets/lum_lite.h"

using kvtest::ProcessEventsUntil;

namespace {

using Codes = kvtest::KantrelBus::Codes;
using kvtest::KantrelBus;

// Records the clips it is asked to play ("0F").
class RecordingPlayer final : public kv::ISoundPlayer {
public:
    bool Play(const std::string& path) override {
        std::lock_guard lock(mutex_);
        played_.push_back(std::filesystem::path(path).stem().string());
        return true;
    }
    std::vector<std::string> Played() {
        std::lock_guard lock(mutex_);
        return played_;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> played_;
};

// A focuser whose position reports a test raises itself.
class ReportingFocuser : public kv::TFocusControl {
public:
    using kv::TFocusControl::TFocusControl;
    void Report(std::int32_t count, bool dsr) { DoCTSChange(count, dsr); }
};

void Mouse(QPushButton* b, QEvent::Type type) {
    const QPointF at(b->width() / 2.0, b->height() / 2.0);
    QMouseEvent e(type, at, b->mapToGlobal(at), Qt::LeftButton,
                  type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(b, &e);
}

// The main window on the simulated hub (COM1, LX-200 commands), showing the
// Manual Focus page.
class ManualFocus : public kvtest::WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        hub = kvsim::HubFor("hub");
        // A 150-step move takes about a second: long enough to act while it runs.
        hub->SetParameters({.fastSpeed = 200.0, .slowSpeed = 100.0});
        UseBus(bus);
    }
    void Start(int voice) {
        folder.Write("Kessivane.ini", "[Device/Ports]\r\nFocuser=Default\r\nComPort=1\r\nCommands=0\r\n[Misc]\r\nVoice=" +
                                          std::to_string(voice) + "\r\n[Ports]\r\nCOM1=sim:hub\r\n");
        ASSERT_TRUE(Open(false));
        ASSERT_TRUE(window->State().portOpen);
        window->show();
        window->PageControl()->setCurrentIndex(TMainForm::ManualFocus);
        page = window->ManualFocusPage();
        // The port's opening reports position 0; start from a quiet window.
        ProcessEventsUntil([] { return false; }, 100);
        bus.Clear();
    }
    QString Shown() { return Find<QLabel>("CTSLabel")->text(); }
    bool Idle() { return window->FocusControl()->GetIdle(); }

    KantrelBus bus;
    std::shared_ptr<kvsim::HubSimulator> hub;
    TManualFocusPage* page = nullptr;
};

TEST_F(ManualFocus, ReadOut_ShowsEveryReportFromAWorkerInOrderAsFourDigitsWithItsSign) {
    Start(kv::kVoiceNone);
    auto owned = std::make_unique<ReportingFocuser>(dialogs);
    ReportingFocuser* focuser = owned.get();
    window->SetFocusControl(std::move(owned));
    page->AttachFocuser(focuser);
    auto* moving = Find<kv::TlumLite>("MovingLite");

    const std::pair<std::int32_t, const char*> cases[] = {{7, "0007"}, {-12, "-0012"}, {12345, "12345"}};
    for (const auto& [count, text] : cases) {
        std::thread([&, count = count] { focuser->Report(count, count < 0); }).join();
        ASSERT_TRUE(ProcessEventsUntil([&] { return Shown() == text; })) << Shown().toStdString();
        EXPECT_EQ(Find<kv::TlumLite>("OutLite")->Lit(), count < 0);
        EXPECT_EQ(Find<kv::TlumLite>("InLite")->Lit(), count >= 0);
    }
    // Hundreds of reports from a worker arrive in the order raised.
    std::thread([&] {
        for (int i = 1; i <= 300; ++i) focuser->Report(i, false);
        focuser->Report(-5, true);
    }).join();
    ASSERT_TRUE(ProcessEventsUntil([&] { return Shown() == "-0005"; }));
    EXPECT_TRUE(moving->Lit());
    // The lamp goes out once the counts have stopped for a while.
    EXPECT_TRUE(ProcessEventsUntil([&] { return !moving->Lit(); }, 5000));
}

TEST_F(ManualFocus, ProgrammedMove_DisablesTheMoveControlsAndIgnoresMoveBy_NoVoiceSpeaksNothing) {
    Start(kv::kVoiceNone);
    auto* plus10 = Find<QPushButton>("In10");
    auto* moveBy = Find<QPushButton>("MoveByButton");
    // A typed number beyond the box's range is not cut short without a word.
    auto* box = Find<QSpinBox>("MoveBySE");
    box->selectAll();
    for (const QChar key : QStringLiteral("400")) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_0 + (key.unicode() - '0'), Qt::NoModifier, QString(key));
        QApplication::sendEvent(box->findChild<QLineEdit*>(), &press);
    }
    EXPECT_EQ(window->StatusPanelText(0).toStdString(),
              "Move By takes " + std::to_string(box->minimum()) + " to " + std::to_string(box->maximum()) + " steps");
    box->setValue(150);
    moveBy->click();
    ASSERT_TRUE(ProcessEventsUntil([&] { return !plus10->isEnabled(); }));
    for (const char* name : {"Focus_InBtn", "Focus_OutBtn", "Out10", "AboutButton"}) {
        EXPECT_FALSE(Find<QWidget>(name)->isEnabled()) << name;
    }
    EXPECT_FALSE(Find<QWidget>("SpeedRG")->isEnabled());  // LX-200 commands: the speed follows Idle
    EXPECT_TRUE(Find<kv::TlumLite>("MovingLite")->Lit());
    // Well into the move, so that a second 150 steps would end far beyond 150.
    ASSERT_TRUE(ProcessEventsUntil([&] { return window->FocusControl()->CTSCount() >= 60; }));
    ASSERT_FALSE(Idle());
    plus10->click();
    moveBy->click();

    ASSERT_TRUE(ProcessEventsUntil([&] { return plus10->isEnabled(); }, 20000));
    ASSERT_TRUE(hub->WaitUntilStopped(std::chrono::seconds(5)));
    ProcessEventsUntil([] { return false; }, 300);
    const std::int32_t end = window->FocusControl()->CTSCount();
    EXPECT_NEAR(end, 150, 12);
    EXPECT_EQ(Shown().toStdString(), kv::PositionText(end));
    for (const char* name : {"Focus_InBtn", "Focus_OutBtn", "SpeedRG", "Out10", "AboutButton"}) {
        EXPECT_TRUE(Find<QWidget>(name)->isEnabled()) << name;
    }
    EXPECT_FALSE(Find<kv::TlumLite>("MovingLite")->Lit());

    // "None" keeps every handler silent; a voice without its clips says so
    // through the window's message boxes.
    auto* in = Find<QPushButton>("Focus_InBtn");
    Mouse(in, QEvent::MouseButtonPress);
    Mouse(in, QEvent::MouseButtonRelease);
    Find<QPushButton>("In1")->click();
    ASSERT_TRUE(ProcessEventsUntil([&] { return Idle() && Find<QPushButton>("In1")->isEnabled(); }, 20000));
    Find<QPushButton>("ResetButton")->click();
    ASSERT_TRUE(ProcessEventsUntil([&] { return bus.Has(8, 0); }));
    EXPECT_TRUE(bus.Has(2, 0));
    EXPECT_EQ(Shown(), "0000");
    ProcessEventsUntil([] { return false; }, 700);
    EXPECT_EQ(page->Announcer(), nullptr);
    EXPECT_FALSE(kv::VoiceSpeaking.load());

    dialogs.shown.clear();
    Find<TRadioGroup>("VoiceRG")->SetItemIndex(kv::kVoiceFemale);
    RecordingPlayer player;
    page->SetSoundPlayer(player);
    Find<QPushButton>("ResetButton")->click();
    ASSERT_TRUE(ProcessEventsUntil([&] { return dialogs.Saw(kv::kVoiceClipsFailedText); }, 5000));
    EXPECT_NE(page->Announcer(), nullptr);
    EXPECT_TRUE(player.Played().empty());
}

// A held In button runs the motor; the release reports idle at once, the
// position 500 ms later, and speaks it clip by clip as the read-out shows it.
TEST_F(ManualFocus, Voice_HeldButtonRunsTheMotorAndItsReleaseSpeaksAndReportsThePosition) {
    Start(kv::kVoiceMale);
    std::filesystem::create_directory(folder.File("Res01"));
    RecordingPlayer player;
    page->SetSoundPlayer(player);
    auto* in = Find<QPushButton>("Focus_InBtn");

    Mouse(in, QEvent::MouseButtonPress);
    ASSERT_TRUE(hub->WaitForCount(40, std::chrono::seconds(10)));
    EXPECT_EQ(hub->Direction(), 1);
    Mouse(in, QEvent::MouseButtonRelease);
    ASSERT_TRUE(hub->WaitUntilStopped(std::chrono::seconds(5)));
    EXPECT_EQ(bus.Sent(), (Codes{{6, 0}, {6, 1}}));

    ASSERT_TRUE(ProcessEventsUntil([&] { return bus.Sent().size() == 3; }));
    const std::int32_t end = window->FocusControl()->CTSCount();
    EXPECT_EQ(bus.Sent()[2], (std::pair<int, std::int64_t>{2, end}));
    ASSERT_NE(page->Announcer(), nullptr);
    const std::string text = Shown().toStdString();
    ASSERT_EQ(text, kv::PositionText(end));
    std::vector<std::string> expected;
    for (char c : text) expected.push_back(kv::VoiceClipName(c, kv::kVoiceMale));
    EXPECT_TRUE(ProcessEventsUntil([&] { return player.Played().size() >= expected.size(); }, 10000));
    EXPECT_EQ(player.Played(), expected);
    EXPECT_FALSE(dialogs.Saw(kv::kVoiceClipsFailedText));
}

}  // namespace
