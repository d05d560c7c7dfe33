// The focuser factory's answers for what the catalogue does not name. The
// class and JMI flag of each kind are used by the conformance pass, which
// creates its focusers here; the captions and ranges are checked where the
// window shows them.
#include <gtest/gtest.h>

#include "focuser/focuser_factory.h"
#include "support/recording_dialogs.h"

namespace kv::test {
namespace {

TEST(FocuserFactory, UnknownKindLeavesEverythingAloneAndAHandWrittenPriorityIsNormal) {
    RecordingDialogs dialogs;
    EXPECT_EQ(CreateFocusControl(FocuserKind::Unknown, dialogs), nullptr);
    EXPECT_EQ(ControlsForKind(FocuserKind::Unknown), nullptr);
    EXPECT_EQ(NudgePriorityFromIndex(2), ThreadPriority::TimeCritical);
    EXPECT_EQ(NudgePriorityFromIndex(3), ThreadPriority::Normal);
}

}  // namespace
}  // namespace kv::test
