// The focuser kind table: which controller class each kind creates. The
// captions and ranges are checked where the window shows them.
#include <gtest/gtest.h>

#include "focuser/focuser_factory.h"
#include "focuser/j_focus_control.h"
#include "focuser/o_focus_control.h"
#include "focuser/rf_focus_control.h"
#include "support/recording_dialogs.h"

namespace kv::test {
namespace {

TEST(FocuserFactory, EachKindCreatesItsClassWithTheRowsJmiFlag) {
    RecordingDialogs dialogs;
    auto jmi = CreateFocusControl(FocuserKind::JMI, dialogs);
    ASSERT_NE(dynamic_cast<TJFocusControl*>(jmi.get()), nullptr);
    EXPECT_TRUE(jmi->JMIFlag());
    EXPECT_FALSE(jmi->PortOpen());
    auto robo = CreateFocusControl(FocuserKind::RoboFocus, dialogs);
    ASSERT_NE(dynamic_cast<TRFFocusControl*>(robo.get()), nullptr);
    EXPECT_FALSE(robo->JMIFlag());
    auto optec = CreateFocusControl(FocuserKind::Optec, dialogs);
    ASSERT_NE(dynamic_cast<TOFocusControl*>(optec.get()), nullptr);
    EXPECT_FALSE(optec->JMIFlag());

    // Unknown leaves the current controller and controls alone.
    EXPECT_EQ(CreateFocusControl(FocuserKind::Unknown, dialogs), nullptr);
    EXPECT_EQ(ControlsForKind(FocuserKind::Unknown), nullptr);
    EXPECT_TRUE(dialogs.Texts().empty());

    EXPECT_EQ(NudgePriorityFromIndex(2), ThreadPriority::TimeCritical);
    EXPECT_EQ(NudgePriorityFromIndex(3), ThreadPriority::Normal);  // a setting written by hand
}

}  // namespace
}  // namespace kv::test
