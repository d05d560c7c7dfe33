#include "focuser/move_it_thread.h"

namespace kv {

TMoveItThread::TMoveItThread(TFocusControl& owner, std::uint64_t generation, bool up)
    : TFocuserThread(owner, generation, ThreadPriority::Normal), up_(up) {
    // Until Run has asked the camera, the stall watch must not count this
    // move's time: it may be about to wait for a focus frame.
    owner_.waitingForCamera_.store(owner_.sbigInterlock_.load());
}

TMoveItThread::~TMoveItThread() { StopAndJoin(); }

void TMoveItThread::Run() {
    if (!owner_.WhileCurrent(generation_, [this] { owner_.SendFocusCommand(kFocusStop); })) return;
    const auto cancelled = [this] { return owner_.endMoveCancel_.load(); };

    if (!owner_.sbigInterlock_.load() || owner_.CameraIdle()) owner_.waitingForCamera_.store(false);
    if (owner_.sbigInterlock_.load() && !owner_.CameraIdle()) {
        // Wait for the camera's current focus frame to end before moving.
        if (!owner_.WhileCurrent(generation_, [this] { owner_.moveDone_.store(false); })) return;
        ReportIdle();
        owner_.waitingForCamera_.store(true);
        const auto waited = WaitFor(*OpenNamedEvent(kFocuserWaitEvent), kInterlockWaitMs, cancelled);
        // The wait's own message is told before the stall watch may count
        // again, so the user hears why the move waited before any stall.
        if (waited) owner_.ShowWaitResult(kMoveItWaitMessages, *waited);
        owner_.waitingForCamera_.store(false);
        if (!waited) return;
    }

    const char* command = up_ ? kFocusIn : kFocusOut;
    owner_.lastDirection_.store(up_);
    while (owner_.interruptsOff_.load() && !cancelled() && !Stopping()) Sleep(kInterruptsPollMs);
    // A move cancelled while waiting must not start the motor: the watcher has
    // already ended and nobody would stop it again.
    // The coarse run goes at motor speed: a previous nudge sequence left the
    // hub at slow speed (":FS#" holds until changed).
    owner_.WhileCurrent(generation_, [&] {
        if (cancelled() || StopRequested() || owner_.interruptsOff_.load()) return;
        owner_.SendFocusCommand(kFocusFast);
        owner_.SendFocusCommand(command);
    });
}

}  // namespace kv
