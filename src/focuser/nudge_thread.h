// TNudgeThread: creeps up to the exact target with short timed motor pulses.
//
// After a coarse run it first waits for the run to be stopped ("THE_CTS_EVENT"),
// lets the motor settle, and then pulses towards the target: a long pulse
// (NudgeTime) while more than two counts away, a short one (CloseNudgeTime)
// closer in, each followed by a pause. It never reverses: reaching the target
// or passing it ends the sequence, which ends the move ("GENERAL_DELAY_EVENT").
// The camera read-out interlock holds it between pulses.
#pragma once

#include <memory>
#include <string>

#include "focuser/focus_control.h"

namespace kv {

class TNudgeThread final : public TFocuserThread {
public:
    // Clears the nudge cancel request and marks nudging busy. `ctsEvent` is the
    // coarse run's stop signal; unused (may be null) when `close` is true.
    TNudgeThread(TFocusControl& owner, std::uint64_t generation, std::int32_t target, bool close,
                 std::shared_ptr<NamedEvent> ctsEvent);
    ~TNudgeThread() override;

    std::int32_t Target() const { return target_; }
    bool Close() const { return close_; }

private:
    void Run() override;
    void Nudge();

    const std::int32_t target_;
    const bool close_;
    std::shared_ptr<NamedEvent> ctsEvent_;
};

}  // namespace kv
