#include "service/focuser_service.h"

#include <algorithm>

#include "focusing/backlash.h"

namespace kv {

namespace {

// The engine's stall text gives its own count, which runs from another zero
// (and for some focusers the other way) than the position a client knows.
std::string InPositions(std::string text, std::int32_t position) {
    static constexpr std::string_view kStayed = "stayed at position ";
    const auto at = text.find(kStayed);
    if (at == std::string::npos) return text;
    const auto from = at + kStayed.size();
    const auto to = std::min(text.find_first_not_of("-0123456789", from), text.size());
    return text.replace(from, to - from, std::to_string(position));
}

}  // namespace

// ---- moves ----

Answer FocuserService::MoveTo(std::int32_t target, WhenBusy whenBusy) { return StartMove(target, whenBusy, false); }

Answer FocuserService::MoveBy(std::int64_t steps, WhenBusy whenBusy) {
    std::int64_t target = 0;
    {
        std::lock_guard lock(mutex_);
        if (!focuser_) return {MoveResult::NotOpen, "The focuser is not connected."};
        target = PositionLocked() + steps;
    }
    if (target > kServiceMaxPosition || target < -kServiceMaxPosition) {
        return {MoveResult::OutOfRange, "A move of " + std::to_string(steps) + " steps is beyond any focuser's travel."};
    }
    return StartMove(static_cast<std::int32_t>(target), whenBusy, false);
}

Answer FocuserService::StartMove(std::int32_t target, WhenBusy whenBusy, bool compensation) {
    Calls calls;
    Answer answer;
    {
        std::unique_lock lock(mutex_);
        // A temperature exchange already on the line finishes first, so the
        // unit is never talked to while the motor runs.
        temperatureRead_.wait_for(lock, std::chrono::milliseconds(kServiceTemperatureWaitMs),
                                  [this] { return !readingTemperature_; });
        bool replacing = false;
        if (!focuser_ || closing_) return {MoveResult::NotOpen, "The focuser is not connected."};
        if (lost_) return {MoveResult::NotOpen, *lost_};
        if (target < limits_.min || target > limits_.max) {
            return {MoveResult::OutOfRange, "Position " + std::to_string(target) + " is outside the focuser's limits " +
                                                std::to_string(limits_.min) + " to " + std::to_string(limits_.max) + "."};
        }
        if (running_) {
            // A correction never stands in a client's way: the client's move takes its place.
            if (whenBusy == WhenBusy::Refuse && !(running_->compensation && !compensation)) {
                return {MoveResult::Busy, "The focuser is still moving to " + std::to_string(running_->finalTarget) +
                                              "; halt it or wait until it stops."};
            }
            FinishMove(MoveEnd::Replaced, "A new target, " + std::to_string(target) + ", replaced this move.");
            // The new move starts from where the motor comes to rest: a
            // pulse-counted motor runs on after its last pulse, and a
            // RoboFocus takes any character during a move as "stop".
            focuser_->StopMove();
            focuser_->CancelMovement();
            replacing = true;
        }
        Running run;
        run.id = ++moveIds_;
        run.from = PositionLocked();
        run.finalTarget = target;
        run.compensation = compensation;
        run.waitingForRest = replacing;
        run.seen = run.from;
        run.seenSinceMs = NowMs();
        run.deadlineMs = NowMs() + kServiceMoveBaseTimeoutMs;
        running_ = std::move(run);
        moving_ = true;
        if (replacing) {
            SaveState(false);
        } else {
            BeginLegs();
        }
        calls.swap(pending_);
    }
    Run(calls);
    return answer;
}

void FocuserService::BeginLegs() {
    Running& run = *running_;
    const std::int32_t from = PositionLocked();
    const std::int32_t target = run.finalTarget;
    std::vector<std::int32_t> legs =
        backlash_.enabled ? BacklashMoves(from, target, backlash_.steps,
                                          backlash_.fromBelow ? ApproachSide::FromBelow : ApproachSide::FromAbove)
                          : (from == target ? std::vector<std::int32_t>{} : std::vector<std::int32_t>{target});
    // The overshoot stays inside the limits: a shorter run past the
    // target still takes up the play, one beyond the end stop would not end.
    if (legs.size() == 2) {
        legs[0] = std::clamp(legs[0], limits_.min, limits_.max);
        if (legs[0] == from || legs[0] == target) legs.erase(legs.begin());
    }
    run.legs = std::move(legs);
    if (run.legs.empty()) {
        FinishMove(MoveEnd::Arrived, {});
        return;
    }
    // The motor starts only once the file says the position is uncertain:
    // a crash while it runs must never leave a clean record behind.
    run.record = SaveState(false);
    run.legPending = !position_.Written(run.record);
    if (!run.legPending) StartLeg();
}

void FocuserService::RecordWritten() {
    std::lock_guard lock(mutex_);
    if (!running_ || !running_->legPending || running_->haltAsked || closing_ || !focuser_) return;
    if (!position_.Written(running_->record)) return;
    running_->legPending = false;
    StartLeg();
}

void FocuserService::StartLeg() {
    Running& run = *running_;
    const std::int32_t leg = run.legs.front();
    const std::int64_t distance = std::llabs(static_cast<long long>(leg) - PositionLocked());
    run.deadlineMs = NowMs() + kServiceMoveBaseTimeoutMs + distance * kServiceMoveMsPerStep;
    const std::int32_t count = CountFor(leg);
    focuser_->MoveBy(count - focuser_->CTSCount());
    run.ticket = focuser_->MoveTicket();
    run.halts = focuser_->HaltCount();
    run.seen = PositionLocked();
    run.seenSinceMs = NowMs();
    run.idleSinceTick = -1;
}

void FocuserService::Halt() {
    std::lock_guard lock(mutex_);
    if (!focuser_ || !running_) return;
    running_->haltAsked = true;
    // No further leg: the running one ends as halted.
    if (running_->legs.size() > 1) running_->legs.erase(running_->legs.begin() + 1, running_->legs.end());
    focuser_->StopMove();
    focuser_->CancelMovement();
}

void FocuserService::FinishMove(MoveEnd end, std::string reason) {
    Running run = std::move(*running_);
    running_.reset();
    moving_ = false;
    MoveRecord record;
    record.id = run.id;
    record.from = run.from;
    record.target = run.finalTarget;
    record.position = PositionLocked();
    record.end = end;
    record.reason = std::move(reason);
    record.compensation = run.compensation;
    if (end == MoveEnd::Lost) position_.MakeUncertain();
    lastMove_ = record;
    if (end != MoveEnd::Replaced) SaveState(!position_.Uncertain());
    if (!run.compensation) {
        // The client put focus where it wanted it at this temperature.
        clientMoveEndedMs_ = NowMs();
        if (temperature_) compBase_ = {temperature_, record.position};
    }
    lastNotified_ = record.position;
    pending_.push_back([this, record] {
        if (listener_.positionChanged) listener_.positionChanged(record.position);
        if (listener_.moveEnded) listener_.moveEnded(record);
    });
    idleChanged_.notify_all();
}

std::optional<MoveRecord> FocuserService::WaitIdle(int timeoutMs) {
    std::unique_lock lock(mutex_);
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    idleChanged_.wait_until(lock, until, [this] { return !running_.has_value(); });
    return lastMove_;
}

// ---- the watch ----

void FocuserService::WatchLoop(WorkerThread& self) {
    ReadTemperature();
    while (SleepFor(clock_, kServiceWatchPollMs, [&] { return self.StopRequested(); })) {
        FollowMove();
        bool readNow = false;
        {
            std::lock_guard lock(mutex_);
            // Never during a move: ReadTemperature leaves the hub alone then.
            readNow = lastTemperatureMs_ < 0 || NowMs() - lastTemperatureMs_ >= config_.temperaturePeriodMs;
        }
        if (readNow) ReadTemperature();
        Compensate(true);
    }
}

void FocuserService::FollowMove() {
    Calls calls;
    {
        std::lock_guard lock(mutex_);
        TakeWriteFailures();
        const std::vector<std::string> said = TakeSaid();
        for (const auto& text : said) {
            if (running_) running_->alert += (running_->alert.empty() ? "" : " ") + text;
            pending_.push_back([this, text] {
                if (listener_.alert) listener_.alert(text);
            });
        }
        if (running_ && focuser_) {
            Running& run = *running_;
            const std::int32_t position = PositionLocked();
            if (position != lastNotified_) {
                lastNotified_ = position;
                pending_.push_back([this, position] {
                    if (listener_.positionChanged) listener_.positionChanged(position);
                });
            }
            if (position != run.seen) run.seen = position, run.seenSinceMs = NowMs();
            // A coasting motor counts on, and a focuser that reports its
            // position after the move may answer late: idle is believed once
            // the position has stood still a moment. For a pulse-counted
            // motor "still" is what the counting thread read after the engine
            // went idle, so a loaded machine that holds that thread back
            // never ends a move while the motor runs on.
            const bool engineIdle = focuser_->GetIdle();
            if (!engineIdle) {
                run.idleSinceTick = -1;
            } else if (run.idleSinceTick < 0) {
                run.idleSinceTick = clock_.TickMs();
            }
            const bool idle = engineIdle && NowMs() - run.seenSinceMs >= kServiceSettleMs &&
                              (!CountsPulses() || focuser_->LinesStill(run.idleSinceTick, kServiceSettleMs));
            const std::string at = " It stands at " + std::to_string(position) + ".";
            if (!focuser_->PortOpen()) {
                focuser_->CancelMovement();
                // Named by its device: the engine's text speaks of the desktop's COM numbers.
                lost_ = "The focuser's port " + config_.device + " was lost during the move." + LostAdvice();
                FinishMove(MoveEnd::Lost, *lost_);
            } else if (run.haltAsked) {
                if (idle) FinishMove(MoveEnd::Halted, "Halted on request." + at);
            } else if (run.legPending) {
                // RecordWritten starts the leg once its record is on disk.
                if (NowMs() > run.deadlineMs) {
                    FinishMove(MoveEnd::TimedOut, "The focuser state file " + config_.statePath +
                                                      " could not be written in time, so the move did not start." + at);
                }
            } else if (run.waitingForRest) {
                if (idle) {
                    run.waitingForRest = false;
                    BeginLegs();
                } else if (NowMs() > run.deadlineMs) {
                    FinishMove(MoveEnd::TimedOut, "The focuser did not stop to take the new target " +
                                                      std::to_string(run.finalTarget) + "." + at +
                                                      " Check that the motor stops, then halt and connect again.");
                }
            } else if (focuser_->MoveTicket() != run.ticket) {
                FinishMove(MoveEnd::Replaced, "Another move took the focuser." + at);
            } else if (focuser_->HaltCount() != run.halts) {
                if (idle) {
                    FinishMove(MoveEnd::Stalled,
                               (run.alert.empty() ? std::string("The motor watch stopped the move.")
                                                  : InPositions(run.alert, position)) +
                                   at + " Check that the motor turns and nothing blocks the drive.");
                }
            } else if (NowMs() > run.deadlineMs) {
                focuser_->StopMove();
                focuser_->CancelMovement();
                FinishMove(MoveEnd::TimedOut, "The focuser did not reach " + std::to_string(run.legs.front()) +
                                                  " in time." + at + " Check that the motor turns.");
            } else if (idle) {
                const std::int32_t leg = run.legs.front();
                const bool last = run.legs.size() == 1;
                // A pulse-counted motor coasts after its last pulse, by up to
                // the catalogue's stop factor: enough on the way to a backlash
                // leg's end, but the target itself is reached within a step.
                const std::int32_t tolerance = !CountsPulses() ? 0 : last ? kServiceLandingSteps : focuser_->StopFactor();
                const bool off = std::llabs(static_cast<long long>(position) - leg) > tolerance;
                if (off && CountsPulses() && last && run.corrections < kServiceCorrections) {
                    ++run.corrections;
                    // Back the way the backlash approach wants, or straight there.
                    if (backlash_.enabled) {
                        BeginLegs();
                    } else {
                        StartLeg();
                    }
                } else if (off) {
                    // Short of the target: a focuser that reports its position
                    // in steps may still be on its way between two replies.
                    if (NowMs() - run.seenSinceMs >= kServiceShortGraceMs) {
                        FinishMove(MoveEnd::Stalled,
                                   (run.alert.empty() ? "The focuser stopped short of " + std::to_string(leg) + "."
                                                      : InPositions(run.alert, position)) +
                                       at);
                    }
                } else if (run.legs.size() > 1) {
                    run.legs.erase(run.legs.begin());
                    StartLeg();
                } else {
                    FinishMove(MoveEnd::Arrived, {});
                }
            }
        } else if (focuser_ && !lost_ && !focuser_->PortOpen()) {
            // Gone while idle: nothing moved, but nothing can be asked of it either.
            lost_ = "The focuser's port " + config_.device + " was lost." + LostAdvice();
            pending_.push_back([this, text = *lost_] {
                if (listener_.alert) listener_.alert(text);
            });
        }
        calls.swap(pending_);
    }
    Run(calls);
}

}  // namespace kv
