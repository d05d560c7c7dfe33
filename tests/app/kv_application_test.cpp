#include <QObject>
#include <gtest/gtest.h>

#include "app/kv_application.h"
#include "app_test_support.h"
#include "platform/broadcast.h"
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
