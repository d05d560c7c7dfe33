#include <QMessageBox>
#include <QObject>
#include <QTimer>
#include <QWidget>

#include "app/kv_application.h"
#include "app/qt_dialogs.h"
#include "app_test_support.h"
#include "shell/diagnostics.h"

TEST(KvApplication, AnEscapedExceptionIsTracedAndShownOrReplacedByTheProcessorMessage) {
    kvtest::TraceBus bus;
    kv::SetBroadcastBus(&bus);
    kv::SetDiagnosticMode(true);
    kvtest::RecordingDialogs dialogs;
    QObject sender;
    sender.setObjectName("GetTempTimer");

    KvApplication::ReportException(&dialogs, false, &sender, "focus frame lost");
    KvApplication::ReportException(&dialogs, true, &sender, "bad cpu");
    kv::SetDiagnosticMode(false);
    kv::SetBroadcastBus(nullptr);

    ASSERT_EQ(bus.lines.size(), 4u);
    EXPECT_EQ(bus.lines[0], "EXCEPTION: focus frame lost");
    EXPECT_EQ(bus.lines[1], "Exception Sender: GetTempTimer");
    ASSERT_EQ(dialogs.shown.size(), 2u);
    EXPECT_EQ(dialogs.shown[0].text, "focus frame lost");
    EXPECT_EQ(dialogs.shown[1].text, kv::kCpuMessage);
}

// Under a bare X server the splash is the active window until it hides; a
// box parented to it went with it and came back as OK, unanswered.
TEST(QtDialogs, ABoxBelongsToTheMainWindowAndOutlivesTheWindowThatWasActive) {
    QWidget main;
    QWidget splash;
    splash.show();
    splash.activateWindow();
    kvtest::ProcessEventsUntil([&splash] { return QApplication::activeWindow() == &splash; }, 2000);
    QtDialogs dialogs;
    dialogs.SetWindow(&main);
    QWidget* parentSeen = nullptr;
    bool stillShown = false;
    QTimer::singleShot(100, [&] {
        splash.hide();
        QTimer::singleShot(100, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr) return;
            parentSeen = box->parentWidget();
            stillShown = box->isVisible();
            box->button(QMessageBox::No)->click();
        });
    });
    EXPECT_EQ(dialogs.Show("Keep it?", kv::DialogType::Confirmation, kv::DialogButtons::YesNo), kv::DialogResult::No);
    EXPECT_EQ(parentSeen, &main);
    EXPECT_TRUE(stillShown);
}
