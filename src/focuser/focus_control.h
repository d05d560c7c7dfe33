// The focuser controller.
//
// TFocusControl is the base of every focuser kind; the drivers replace its
// virtual operations. The base itself drives nothing: it is what the main
// window owns until a focuser is chosen, and it is always idle.
#pragma once

#include <atomic>
#include <cstdint>

namespace kv {

class TFocusControl {
public:
    TFocusControl() = default;
    virtual ~TFocusControl() = default;
    TFocusControl(const TFocusControl&) = delete;
    TFocusControl& operator=(const TFocusControl&) = delete;

    // Stops the motor now; returns at once.
    virtual void StopMove() {}
    // Ends any programmed move; Idle is true when it returns.
    virtual void CancelMovement() {}
    // Makes the current position 0.
    virtual void ResetPosition() { ctsCount_.store(0); }
    // True when no move is running.
    virtual bool GetIdle() const { return true; }

    std::int32_t CTSCount() const { return ctsCount_.load(); }

protected:
    std::atomic<std::int32_t> ctsCount_{0};
};

}  // namespace kv
