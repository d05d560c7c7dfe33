#include "focuser/end_move_thread.h"

namespace kv {

TEndMoveThread::TEndMoveThread(TFocusControl& owner, std::uint64_t generation, std::int32_t stopAt,
                               std::shared_ptr<NamedEvent> ctsEvent)
    : TFocuserThread(owner, generation, ThreadPriority::Normal), stopAt_(stopAt), ctsEvent_(std::move(ctsEvent)) {
    owner_.endMoveCancel_.store(false);
    // Busy from the moment the move is started, not from when this thread
    // first runs, so a caller polling Idle right after MoveBy sees the move.
    owner_.moveDone_.store(false);
}

TEndMoveThread::~TEndMoveThread() { StopAndJoin(); }

void TEndMoveThread::StopMotor() {
    owner_.WhileCurrent(generation_, [this] { owner_.StopMotorTwice(); });
}

void TEndMoveThread::Run() {
    ReportIdle();
    // The direction is fixed at the start: a stop point equal to the start
    // count stops at once.
    const std::int32_t start = owner_.CTSCount();
    const bool down = stopAt_ < start;
    const std::int64_t wrongWay = kWrongWayCounts + owner_.StopFactor();
    for (;;) {
        if (Superseded()) return;  // the newer move owns the motor and the flags
        const std::int32_t count = owner_.CTSCount();
        if (down ? count > start + wrongWay : count < start - wrongWay) owner_.WrongWay(generation_);
        if (down ? count <= stopAt_ : count >= stopAt_) {
            StopMotor();
            Sleep(kCoarseStopSettleMs);
            ctsEvent_->Set();
            break;
        }
        if (owner_.endMoveCancel_.load() || StopRequested()) {
            StopMotor();
            ctsEvent_->Set();
            break;
        }
        // The read-out interlock stopped the motor: run it again once cleared,
        // until a count shows that it really runs.
        if (!owner_.interruptsOff_.load() && owner_.paused_.load()) {
            const std::int32_t remembered = owner_.CTSCount();
            owner_.WhileCurrent(generation_, [this] {
                if (!owner_.interruptsOff_.load()) {
                    owner_.SendFocusCommand(owner_.moveUp_.load() ? kFocusIn : kFocusOut);
                }
            });
            if (owner_.CTSCount() != remembered) owner_.paused_.store(false);
        }
        Sleep(kWatcherPollMs);
    }
    if (owner_.WhileCurrent(generation_, [this] { owner_.moveDone_.store(true); })) ReportIdle();
}

}  // namespace kv
