#include "focuser/nudge_thread.h"

#include <cmath>
#include <cstdlib>
#include <thread>

namespace kv {

namespace {

// Delays are configured in seconds and taken to whole milliseconds, halves to even.
double SecondsToMs(double seconds) { return std::nearbyint(seconds * 1000.0); }

std::int64_t Distance(std::int32_t count, std::int32_t target) {
    return std::llabs(std::int64_t{count} - target);
}

constexpr std::int64_t kCloseDistance = 2;

}  // namespace

TNudgeThread::TNudgeThread(TFocusControl& owner, std::uint64_t generation, std::int32_t target, bool close,
                           std::shared_ptr<NamedEvent> ctsEvent)
    : TFocuserThread(owner, generation, owner.nudgePriority_.load()),
      target_(target),
      close_(close),
      ctsEvent_(std::move(ctsEvent)) {
    owner_.nudgeCancel_.store(false);
    owner_.nudgeDone_.store(false);
    // As in the coarse-run starter: the frame wait of Run is not a stall.
    if (close_) owner_.waitingForCamera_.store(owner_.sbigInterlock_.load());
}

TNudgeThread::~TNudgeThread() { StopAndJoin(); }

void TNudgeThread::Run() {
    if (!owner_.WhileCurrent(generation_, [this] { owner_.generalDelay_->Reset(); })) return;
    ReportIdle();
    const auto cancelled = [this] { return owner_.nudgeCancel_.load(); };

    bool go = true;
    if (close_ && (!owner_.sbigInterlock_.load() || owner_.CameraIdle())) owner_.waitingForCamera_.store(false);
    if (owner_.sbigInterlock_.load() && close_ && !owner_.CameraIdle()) {
        owner_.waitingForCamera_.store(true);
        const auto waited = WaitFor(*OpenNamedEvent(kFocuserWaitEvent), kInterlockWaitMs, cancelled);
        // Told before the stall watch counts again, as in the coarse-run starter.
        if (waited && *waited != WaitResult::Signalled) owner_.ShowWaitResult(kInterlockNudgeWaitMessages, *waited);
        owner_.waitingForCamera_.store(false);
        if (!waited) go = false;
    }
    if (go && !close_ && ctsEvent_) {
        // The coarse run must have been stopped first; nudging goes on even
        // when that was not seen in time.
        const auto waited = WaitFor(*ctsEvent_, kCoarseRunWaitMs, cancelled);
        if (!waited) {
            go = false;
        } else if (*waited != WaitResult::Signalled) {
            owner_.ShowWaitResult(kCoarseRunWaitMessages, *waited);
        }
    }
    if (go) Nudge();

    // The move ends here: stop the motor, then release whoever waits for it.
    const bool current = owner_.WhileCurrent(generation_, [this] {
        owner_.nudgeDone_.store(true);
        owner_.StopMotorTwice();
        owner_.generalDelay_->Set();
    });
    if (current) ReportIdle();
}

void TNudgeThread::Nudge() {
    const std::int64_t entered = owner_.clock_.TickMs();
    if (!Sleep(kNudgeSettleMs)) return;
    // Where nudging starts is where the coarse run came to rest, once the
    // counting thread has counted its coast: a count still coming in after
    // this would read as the motor turning away from the target.
    const std::int64_t until = owner_.clock_.TickMs() + kNudgeRestWaitMs;
    while (!owner_.LinesStill(entered, kNudgeRestMs) && owner_.clock_.TickMs() < until) {
        if (!Sleep(kCtsPollMs)) return;
    }
    const std::int32_t start = owner_.CTSCount();
    const bool up = start < target_;
    const std::int64_t wrongWay = kWrongWayCounts + owner_.StopFactor();
    const char* command = up ? kFocusIn : kFocusOut;
    const auto motorOff = [this] { owner_.WhileCurrent(generation_, [this] { owner_.MotorOff(); }); };
    // Ends a pulse at once in either mode (a text-mode run ignores RTS), so
    // the motor runs for the pulse time and not for a write's settling pause too.
    const auto haltMotor = [this] { owner_.WhileCurrent(generation_, [this] { owner_.HaltMotor(); }); };
    owner_.WhileCurrent(generation_, [this] { owner_.SendFocusCommand(kFocusSlow); });

    for (;;) {
        // The read-out interlock holds the thread here, between pulses.
        if (!Checkpoint()) return;
        // Already there (the coarse run may coast onto the target), or cancelled:
        // no further pulse.
        if (owner_.CTSCount() == target_ || owner_.nudgeCancel_.load()) return;

        motorOff();
        std::this_thread::yield();
        if (!owner_.interruptsOff_.load()) {
            owner_.WhileCurrent(generation_, [&] {
                if (!owner_.interruptsOff_.load()) owner_.SendFocusCommand(command);
            });
        }
        const double nudgeTime = owner_.nudgeTime_.load();
        const double closeNudgeTime = owner_.closeNudgeTime_.load();
        Sleep(SecondsToMs(Distance(owner_.CTSCount(), target_) > kCloseDistance ? nudgeTime : closeNudgeTime));
        haltMotor();

        if (!owner_.interruptsOff_.load()) {
            const double nudgeSleep = owner_.nudgeSleep_.load();
            // Close in, the pause grows with the shorter pulse so the motor
            // settles as fully as after a long one.
            const double closeSleep = closeNudgeTime > 0.0 ? nudgeSleep * nudgeTime / closeNudgeTime : nudgeSleep;
            Sleep(SecondsToMs(Distance(owner_.CTSCount(), target_) > kCloseDistance ? nudgeSleep : closeSleep));
        }
        if (owner_.nudgeCancel_.load()) {
            haltMotor();
            return;
        }
        const std::int32_t count = owner_.CTSCount();
        const bool passed = up ? count > target_ : count < target_;
        if (count == target_ || passed || Stopping()) return;
        if (up ? count < start - wrongWay : count > start + wrongWay) {
            owner_.WrongWay(generation_);
            return;
        }
    }
}

}  // namespace kv
