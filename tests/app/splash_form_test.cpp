// The splash window at start closes itself; as the About box it waits for OK.
#include <QLabel>
#include <QPushButton>
#include <gtest/gtest.h>

#include "app/splash_form.h"
#include "app_test_support.h"

using kvtest::ProcessEventsUntil;

TEST(SplashForm, AtStartItShowsItsTextsAfterTheAnimationAndThenReportsDone) {
    TSplashForm splash;
    bool done = false;
    splash.SetAutoClose(true);
    splash.SetOnDone([&] { done = true; });
    splash.show();
    auto* version = splash.findChild<QLabel*>("Version");
    auto* ok = splash.findChild<QPushButton*>("OKButton");
    ASSERT_NE(version, nullptr);
    EXPECT_TRUE(splash.AnimationRunning());
    EXPECT_FALSE(version->isVisible());  // labels wait for the animation to end

    ASSERT_TRUE(ProcessEventsUntil([&] { return !splash.AnimationRunning(); }, 10000));
    EXPECT_TRUE(version->isVisible());
    EXPECT_EQ(version->text().left(8), "Version ");
    EXPECT_FALSE(done);  // Timer1 still runs
    EXPECT_FALSE(ok->isVisible());
    ASSERT_TRUE(ProcessEventsUntil([&] { return done; }, 10000));
    EXPECT_FALSE(splash.isVisible());
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
