// TMoveItThread: starts the coarse run of a programmed move. Under the
// "Continous Focus Interlock" it first waits for the camera's current focus
// frame to end, and it never starts the motor while the camera read-out
// interlock holds it off. The run goes at fast speed (":FF#" before the
// direction command). It ends once the motor runs; TEndMoveThread stops it.
#pragma once

#include <string>

#include "focuser/focus_control.h"

namespace kv {

class TMoveItThread final : public TFocuserThread {
public:
    TMoveItThread(TFocusControl& owner, std::uint64_t generation, bool up);
    ~TMoveItThread() override;

    bool Up() const { return up_; }

private:
    void Run() override;

    const bool up_;
};

}  // namespace kv
