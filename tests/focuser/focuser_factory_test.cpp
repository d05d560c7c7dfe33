// The focuser kind table: which controller class a catalogue name creates and
// what the window shows for it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "focuser/focuser_factory.h"
#include "focuser/j_focus_control.h"
#include "focuser/o_focus_control.h"
#include "focuser/rf_focus_control.h"
#include "support/recording_dialogs.h"

namespace kv::test {
namespace {

TEST(FocuserFactory, CatalogueNamesCreateTheirKindsClass) {
    RecordingDialogs dialogs;

    // MEADE comes before DEFAULT and ROBO in the search, in any letter case.
    auto jmi = CreateFocusControl(FocuserKindFromName("Meade default robo"), dialogs);
    ASSERT_NE(dynamic_cast<TJFocusControl*>(jmi.get()), nullptr);
    EXPECT_TRUE(jmi->JMIFlag());
    EXPECT_FALSE(jmi->PortOpen());

    auto robo = CreateFocusControl(FocuserKindFromName("RoboFocus"), dialogs);
    ASSERT_NE(dynamic_cast<TRFFocusControl*>(robo.get()), nullptr);
    EXPECT_FALSE(robo->JMIFlag());

    auto optec = CreateFocusControl(FocuserKindFromName("Optec TCF-S"), dialogs);
    ASSERT_NE(dynamic_cast<TOFocusControl*>(optec.get()), nullptr);
    EXPECT_FALSE(optec->JMIFlag());

    EXPECT_EQ(FocuserKindFromName("Homemade stepper"), FocuserKind::Unknown);
    EXPECT_EQ(CreateFocusControl(FocuserKind::Unknown, dialogs), nullptr);
    EXPECT_EQ(ControlsForKind(FocuserKind::Unknown), nullptr);
    EXPECT_TRUE(dialogs.Texts().empty());
}

TEST(FocuserFactory, KindTableCaptionsRangesAndPages) {
    const FocuserKindControls* jmi = ControlsForKind(FocuserKind::JMI);
    const FocuserKindControls* robo = ControlsForKind(FocuserKind::RoboFocus);
    const FocuserKindControls* optec = ControlsForKind(FocuserKind::Optec);
    ASSERT_TRUE(jmi && robo && optec);

    EXPECT_TRUE(jmi->jmiFlag);
    EXPECT_EQ(std::string(jmi->inCaption) + "/" + jmi->outCaption, "In+/Out-");
    EXPECT_EQ(jmi->moveMax, 250);
    EXPECT_TRUE(jmi->parametersGroupVisible);
    EXPECT_TRUE(jmi->temperaturePage);

    // RoboFocus keeps the JMI captions but has no hub: no group, no temperature page.
    EXPECT_FALSE(robo->jmiFlag);
    EXPECT_EQ(std::string(robo->inCaption) + "/" + robo->outCaption, "In+/Out-");
    EXPECT_EQ(robo->moveMin, -400);
    EXPECT_FALSE(robo->parametersGroupVisible);
    EXPECT_FALSE(robo->temperaturePage);
    EXPECT_STREQ(robo->updateTrace, "Updating focuser parameters");

    // Optec's buttons are reversed, and its ranges keep moves within its driver's limit.
    EXPECT_EQ(std::string(optec->inCaption) + "/" + optec->outCaption, "In-/Out+");
    EXPECT_STREQ(optec->positionCaption, "Optec Focuser Position");
    EXPECT_EQ(std::vector<int>({optec->moveMin, optec->moveMax, optec->scanStartMin, optec->scanStartMax,
                                optec->scanStartValue, optec->scanStepMin, optec->scanStepMax,
                                optec->scanStepValue}),
              std::vector<int>({-3500, 3500, -1000, 1000, -500, 25, 250, 100}));
    EXPECT_FALSE(optec->temperaturePage);
    EXPECT_STREQ(optec->updateTrace, "Updating Optec focuser parameters");
}

TEST(FocuserFactory, NudgePriorityFromRadioIndex) {
    EXPECT_EQ(NudgePriorityFromIndex(0), ThreadPriority::Normal);
    EXPECT_EQ(NudgePriorityFromIndex(1), ThreadPriority::Highest);
    EXPECT_EQ(NudgePriorityFromIndex(2), ThreadPriority::TimeCritical);
    EXPECT_EQ(NudgePriorityFromIndex(3), ThreadPriority::Normal);
}

}  // namespace
}  // namespace kv::test
