// The splash window at start closes itself; as the About box it waits for OK.
#include <QLabel>
#include <QPushButton>
#include <time.h>

#include "app/splash_form.h"
#include "app_test_support.h"

using kvtest::ProcessEventsUntil;

namespace {
double ProcessCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_nsec) / 1e6;
}
}  // namespace

// The wait sleeps in the event loop: a busy wait would burn a processor for
// the whole four seconds.
TEST(SplashForm, AtStartItShowsItsTextsAfterTheAnimationAndThenReportsDoneWithoutSpinning) {
    TSplashForm splash;
    bool versionShownWhenDone = false;
    splash.SetAutoClose(true);
    auto* version = splash.findChild<QLabel*>("Version");
    auto* ok = splash.findChild<QPushButton*>("OKButton");
    ASSERT_NE(version, nullptr);
    splash.SetOnDone([&] { versionShownWhenDone = version->isVisible() && !ok->isVisible(); });
    splash.show();
    EXPECT_TRUE(splash.AnimationRunning());
    EXPECT_FALSE(version->isVisible());  // labels wait for the animation to end

    QElapsedTimer wall;
    wall.start();
    const double cpuBefore = ProcessCpuMs();
    splash.WaitUntilDone();
    const double cpu = ProcessCpuMs() - cpuBefore;
    const auto wallMs = static_cast<double>(wall.elapsed());

    EXPECT_TRUE(splash.IsDone());
    EXPECT_TRUE(versionShownWhenDone);
    EXPECT_EQ(version->text().left(8), "Version ");
    EXPECT_FALSE(splash.isVisible());
    EXPECT_GE(wallMs, TSplashForm::kTimer1Ms);
    EXPECT_LT(cpu, wallMs / 3) << "cpu " << cpu << " ms over " << wallMs << " ms";
    splash.WaitUntilDone();  // done already: returns at once
}

TEST(SplashForm, AsTheAboutBoxItShowsOkAndTheTemperatureLine) {
    TSplashForm about;
    about.SetAutoClose(false);
    about.SetTCText("TC/Guider Unavailable");
    about.show();
    auto* ok = about.findChild<QPushButton*>("OKButton");
    ASSERT_TRUE(ProcessEventsUntil([&] { return ok->isVisible(); }, 10000));
    EXPECT_EQ(about.findChild<QLabel*>("TCLabel")->text(), "TC/Guider Unavailable");
    ok->click();
    EXPECT_FALSE(about.isVisible());
}
