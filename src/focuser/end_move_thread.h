// TEndMoveThread: watches the coarse run of a programmed move and stops the
// motor StopFactor counts short of the target (the motor coasts on after the
// stop). It signals the move's "THE_CTS_EVENT" when the motor has been stopped,
// which releases the nudger. While the camera read-out interlock has paused the
// move it restarts the motor once the interlock is cleared.
#pragma once

#include <memory>

#include "focuser/focus_control.h"

namespace kv {

class TEndMoveThread final : public TFocuserThread {
public:
    // Clears the coarse-run cancel request and marks the coarse run busy.
    TEndMoveThread(TFocusControl& owner, std::uint64_t generation, std::int32_t stopAt,
                   std::shared_ptr<NamedEvent> ctsEvent);
    ~TEndMoveThread() override;

    std::int32_t StopAt() const { return stopAt_; }

private:
    void Run() override;
    void StopMotor();

    const std::int32_t stopAt_;
    std::shared_ptr<NamedEvent> ctsEvent_;
};

}  // namespace kv
