// The diagnostic trace of start-up and close, and the deferred message box.

#include <thread>

#include "app_test_support.h"
#include "shell/diagnostics.h"

using kvtest::ProcessEventsUntil;
using kvtest::ProgramFolder;
using kvtest::RecordingDialogs;

namespace {

// Installs the recorder and leaves the process as it found it.
class TraceFixture : public ::testing::Test {
protected:
    void SetUp() override { kv::SetBroadcastBus(&bus); }
    void TearDown() override {
        kv::SetDiagnosticMode(false);
        kv::SetBroadcastBus(nullptr);
    }
    kvtest::TraceBus bus;
};

}  // namespace

TEST_F(TraceFixture, SlashDEndsStartUpWithoutTheSettingsFileAndOtherwiseNarratesStartUpAndClose) {
    ProgramFolder folder;
    RecordingDialogs dialogs;
    {
        TMainForm form(dialogs, folder.Dir(), {"kessivane", "/D"});
        EXPECT_FALSE(form.FormCreate());
        const std::string expected = folder.File("Kessivane.ini") + " could not be found";
        EXPECT_TRUE(dialogs.Saw(expected));
        EXPECT_TRUE(bus.Has(expected));
        EXPECT_FALSE(folder.Has("Kessivane.ini"));
    }
    bus.lines.clear();
    folder.Write("Kessivane.ini", "[Position]\r\nSavePosition=0\r\n");
    {
        TMainForm form(dialogs, folder.Dir(), {"kessivane", "/d"});
        ASSERT_TRUE(form.FormCreate());
        ASSERT_FALSE(bus.lines.empty());
        EXPECT_EQ(bus.lines[0].rfind("Diagnostic Trace Initiated ", 0), 0u);
        for (const char* expected :
             {"Windows Version: Linux", "Total Physical Memory = ", "Creating Main Form", "Checking INI files",
              "INI Path: ", "Instantiating FocuserControl class", "Beginning parameter update",
              "Entering parameter update method", "Processor information follows"}) {
            EXPECT_TRUE(bus.Has(expected)) << expected;
        }
        EXPECT_TRUE(bus.Has(folder.Dir() + "mx7drv.dll NOT found"));
        // Both files are dumped line by line.
        EXPECT_TRUE(bus.Has(folder.File("Kessivane.ini") + " follows:"));
        EXPECT_TRUE(bus.Has("SavePosition=0"));
        EXPECT_TRUE(form.close());
    }
    EXPECT_EQ(bus.lines.back().rfind("Kessivane closed down: ", 0), 0u);
}

TEST(MainFormTimers, WorkersDeferredMessagesAreEachShownByTheMainThread) {
    ProgramFolder folder;
    RecordingDialogs dialogs;
    TMainForm form(dialogs, folder.Dir(), {"kessivane"});
    ASSERT_TRUE(form.FormCreate());
    dialogs.shown.clear();
    std::thread worker([&] {
        // Three failures well within one timer period: none may be lost.
        auto& engine = form.EngineDialogs();
        engine.Defer({"Time out in FocusFunction procedure", kv::DialogType::Error, kv::DialogButtons::Ok});
        engine.Defer({"Camera Focus Exposure Failed", kv::DialogType::Warning, kv::DialogButtons::Ok});
        engine.Defer({"Time out in FocusFunction procedure", kv::DialogType::Error, kv::DialogButtons::Ok});
    });
    worker.join();
    EXPECT_TRUE(dialogs.shown.empty());  // never from the worker itself
    ASSERT_TRUE(ProcessEventsUntil([&] { return dialogs.shown.size() >= 2; }));
    EXPECT_EQ(dialogs.shown[0].text, "Time out in FocusFunction procedure\r\n\r\n(1 more time)");
    EXPECT_EQ(dialogs.shown[0].type, kv::DialogType::Error);
    EXPECT_EQ(dialogs.shown[1].text, "Camera Focus Exposure Failed");
    EXPECT_EQ(dialogs.shown[1].type, kv::DialogType::Warning);
}
