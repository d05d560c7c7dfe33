#include "service/focuser_service.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <deque>

#include "focuser/focuser_factory.h"
#include "focuser/position_focus_control.h"
#include "focusing/backlash.h"
#include "shell/settings_model.h"
#include "tempcomp/linear_fit.h"
#include "tempcomp/tc_texts.h"
#include "tempcomp/tcd_file.h"

namespace kv {

namespace {

// The Optec focuser's whole travel.
constexpr std::int32_t kOptecTravel = 7000;
// A RoboFocus that has not told its travel yet takes this as its end.
constexpr std::int32_t kRfUnknownTravel = 99999;

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

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

std::optional<ServiceKind> ServiceKindFromName(const std::string& name) {
    const std::string n = Lower(name);
    if (n == "hub") return ServiceKind::Hub;
    if (n == "robofocus") return ServiceKind::RoboFocus;
    if (n == "optec") return ServiceKind::Optec;
    return std::nullopt;
}

const char* ServiceKindName(ServiceKind kind) {
    switch (kind) {
        case ServiceKind::Hub: return "hub";
        case ServiceKind::RoboFocus: return "robofocus";
        case ServiceKind::Optec: return "optec";
    }
    return "hub";
}

const char* MoveEndName(MoveEnd end) {
    switch (end) {
        case MoveEnd::Arrived: return "arrived";
        case MoveEnd::Halted: return "halted";
        case MoveEnd::Stalled: return "stalled";
        case MoveEnd::Lost: return "lost";
        case MoveEnd::TimedOut: return "timed out";
        case MoveEnd::Replaced: return "replaced";
    }
    return "arrived";
}

// The engine's messages, which the desktop would show in boxes, kept for the
// watch to attach to the move that caused them. Nobody waits for an answer:
// a question gets its safe answer (No, Cancel, or OK where that is the only one).
class FocuserService::Dialogs final : public IDialogs {
public:
    DialogResult Show(const std::string& text, DialogType, DialogButtons buttons) override {
        Keep(text);
        switch (buttons) {
            case DialogButtons::YesNo: return DialogResult::No;
            case DialogButtons::YesCancel: return DialogResult::Cancel;
            default: return DialogResult::Ok;
        }
    }
    void Defer(const DeferredMessage& message) override { Keep(message.text); }
    void Beep() override {}
    std::vector<std::string> Take() {
        std::lock_guard lock(mutex_);
        std::vector<std::string> taken(texts_.begin(), texts_.end());
        texts_.clear();
        return taken;
    }

private:
    void Keep(const std::string& text) {
        std::lock_guard lock(mutex_);
        // A device that keeps failing must not fill the memory of a server
        // that runs for weeks.
        if (texts_.size() >= 32) texts_.pop_front();
        texts_.push_back(text);
    }
    std::mutex mutex_;
    std::deque<std::string> texts_;
};

FocuserService::FocuserService(IClock& clock) : clock_(clock), dialogs_(std::make_unique<Dialogs>()) {}

FocuserService::~FocuserService() { Close(); }

void FocuserService::SetListener(ServiceListener listener) {
    std::lock_guard lock(mutex_);
    listener_ = std::move(listener);
}

std::int64_t FocuserService::NowMs() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(clock_.Now().time_since_epoch()).count();
}

void FocuserService::Run(Calls& calls) {
    for (auto& call : calls) call();
    calls.clear();
}

OpenResult FocuserService::Open(const ServiceConfig& config) {
    Close();
    std::unique_lock lock(mutex_);
    config_ = config;
    if (config_.kind == ServiceKind::Hub && config_.model.empty()) config_.model = "Default";
    const FocuserKind kind = config_.kind == ServiceKind::Hub         ? FocuserKind::JMI
                             : config_.kind == ServiceKind::RoboFocus ? FocuserKind::RoboFocus
                                                                      : FocuserKind::Optec;
    auto focuser = CreateFocusControl(kind, *dialogs_, clock_);
    if (!focuser) return {false, "No driver for this focuser kind."};
    if (config_.device.empty()) return {false, "No device was given for the focuser: name its serial port, e.g. /dev/ttyUSB0."};

    // The model's motor timings, as the window applies them.
    Settings s;
    if (!config_.cataloguePath.empty() && config_.kind == ServiceKind::Hub) {
        const auto models = CatalogueModelNames(config_.cataloguePath);
        if (std::find(models.begin(), models.end(), config_.model) == models.end()) {
            return {false, "The focuser model \"" + config_.model + "\" is not in the catalogue " +
                               config_.cataloguePath + "; choose one of the models listed there."};
        }
        ApplyCatalogueModel(config_.cataloguePath, config_.model, s);
        focuser->SetNudgeTime(s.nudgeTime);
        focuser->SetCloseNudgeTime(s.closeNudgeTime);
        focuser->SetNudgeSleep(s.nudgeDelay);
        focuser->SetStopFactor(s.stopFactor);
        focuser->SetBackLash(s.backLashValue);
        focuser->SetCodesPerRev(s.codesPerRev);
        focuser->SetTravelPerRev(s.travelPerRev);
        focuser->SetDualSense(s.hiResPositioning);
        reverse_ = s.reverseDirection;
    }
    focuser->SetReverseDir(reverse_ && config_.kind == ServiceKind::Hub);
    if (config_.prepareDevice) config_.prepareDevice(config_.device, s.hiResPositioning);
    const std::string device = config_.device;
    focuser->SetPortResolver([device](int) { return device; });
    focuser->SetComPort(1);
    if (!focuser->OpenPort() || !focuser->Connected()) {
        const std::string failure = focuser->OpenFailure();
        std::string said;
        for (const auto& t : dialogs_->Take()) said += (said.empty() ? "" : " ") + t;
        return {false, "Could not open the focuser on " + device +
                           (failure.empty() ? std::string() : " (" + failure + ")") +
                           (said.empty() ? std::string() : ": " + said) +
                           ". Check that the device exists, that you may use it (the dialout group), and that "
                           "the focuser is powered and of the kind chosen."};
    }
    if (auto* rf = dynamic_cast<TPositionFocusControl*>(focuser.get()); rf && config_.kind == ServiceKind::RoboFocus) {
        // Its travel comes with the opening replies; limits asked for before
        // that would be checked against a made-up end.
        const std::int64_t until = clock_.TickMs() + kServiceOpeningWaitMs;
        while (rf->MaxTravel() <= 0 && clock_.TickMs() < until) SleepFor(clock_, kServiceWatchPollMs);
    }
    focuser_ = std::move(focuser);
    dialogs_->Take();

    // Where the position starts.
    uncertain_ = false;
    lost_.reset();
    offset_ = 0;
    if (CountsPulses()) {
        sense_ = -1;
        std::string error;
        store_ = PositionStore(config_.statePath);
        // The hub counts from wherever it was switched on: without a clean
        // record of where that is, 0 is no position, and the user is told why.
        std::string why;
        if (auto loaded = store_.Load(&error)) {
            offset_ = loaded->position;
            if (!loaded->clean) {
                why = "The focuser state file " + store_.Path() + " records a move that never ended (the program "
                      "stopped or the port went away during it), so the position " + std::to_string(offset_) +
                      " is uncertain; sync it.";
            } else if (loaded->device != config_.device || loaded->model != config_.model) {
                why = "The focuser state file " + store_.Path() + " was counted on " + loaded->device + " (" +
                      loaded->model + "), not on " + config_.device + " (" + config_.model +
                      "), so the position " + std::to_string(offset_) + " is uncertain; sync it.";
            }
        } else if (!error.empty()) {
            why = error + " The position now counts from 0; sync it.";
        } else if (store_.Path().empty()) {
            why = "No state file keeps this focuser's position, so it is not known and counts from 0; sync it.";
        } else {
            why = "There is no focuser state file " + store_.Path() +
                  " yet, so the position is not known and counts from 0; sync it.";
        }
        uncertain_ = !why.empty();
        if (uncertain_) {
            pending_.push_back([this, why] {
                if (listener_.alert) listener_.alert(why);
            });
        }
    } else {
        store_ = PositionStore();
        sense_ = config_.kind == ServiceKind::RoboFocus && !focuser_->ReverseDir() ? -1 : 1;
    }
    lastNotified_ = PositionLocked();
    lastCompensationMs_ = -1;
    clientMoveEndedMs_ = -1;
    compBase_ = {};
    temperature_.reset();
    lastTemperatureMs_ = -1;
    running_.reset();
    moving_ = false;
    open_ = true;
    if (CountsPulses()) SaveState(!uncertain_);
    watch_ = std::make_unique<WorkerThread>([this](WorkerThread& self) { WatchLoop(self); });
    watch_->Start();
    Calls calls;
    calls.swap(pending_);
    lock.unlock();
    Run(calls);
    return {true, {}};
}

void FocuserService::Close() {
    if (!open_.load()) return;
    closing_ = true;
    Halt();
    WaitIdle(kServiceHaltWaitMs);
    if (watch_) {
        watch_->RequestStop();
        watch_->Join();
        watch_.reset();
    }
    std::unique_ptr<TFocusControl> focuser;
    {
        std::lock_guard lock(mutex_);
        if (running_) {
            // Still running after the halt: where it comes to rest nobody sees.
            uncertain_ = true;
            FinishMove(MoveEnd::TimedOut, "The focuser was closed during the move and had not stopped " +
                                              std::to_string(kServiceHaltWaitMs / 1000) +
                                              " s after the halt; its position is uncertain.");
        }
        open_ = false;
        focuser = std::move(focuser_);
    }
    closing_ = false;
    // Destroying the controller stops and joins its threads; not under the lock.
    focuser.reset();
    Calls calls;
    {
        std::lock_guard lock(mutex_);
        calls.swap(pending_);
    }
    Run(calls);
}

ServiceKind FocuserService::Kind() const {
    std::lock_guard lock(mutex_);
    return config_.kind;
}

std::string FocuserService::Device() const {
    std::lock_guard lock(mutex_);
    return config_.device;
}

std::string FocuserService::Model() const {
    std::lock_guard lock(mutex_);
    return config_.model;
}

std::string FocuserService::DeviceVersion() const {
    std::lock_guard lock(mutex_);
    if (!focuser_) return {};
    if (auto* p = dynamic_cast<TPositionFocusControl*>(focuser_.get())) return p->FirmWareVersion();
    return focuser_->TCFirmwareVersion();
}

TFocusControl* FocuserService::Controller() const {
    std::lock_guard lock(mutex_);
    return focuser_.get();
}

// ---- position ----

std::int32_t FocuserService::PositionLocked() const {
    if (!focuser_) return offset_;
    if (!CountsPulses()) {
        if (auto* p = dynamic_cast<TPositionFocusControl*>(focuser_.get())) return p->CurrentCount();
    }
    return static_cast<std::int32_t>(offset_ + static_cast<std::int64_t>(sense_) * focuser_->CTSCount());
}

std::int32_t FocuserService::CountFor(std::int32_t position) const {
    const std::int64_t delta = static_cast<std::int64_t>(position) - PositionLocked();
    return static_cast<std::int32_t>(focuser_->CTSCount() + sense_ * delta);
}

std::int32_t FocuserService::Position() const {
    std::lock_guard lock(mutex_);
    return PositionLocked();
}

bool FocuserService::PositionUncertain() const {
    std::lock_guard lock(mutex_);
    return uncertain_;
}

std::optional<std::int32_t> FocuserService::Target() const {
    std::lock_guard lock(mutex_);
    if (!running_) return std::nullopt;
    return running_->finalTarget;
}

std::optional<std::string> FocuserService::Lost() const {
    std::lock_guard lock(mutex_);
    return lost_;
}

std::optional<MoveRecord> FocuserService::LastMove() const {
    std::lock_guard lock(mutex_);
    return lastMove_;
}

std::string FocuserService::LostAdvice() const {
    return CountsPulses() ? " Check its cable and power, then connect again and sync the position."
                          : " Check its cable and power, then connect again.";
}

void FocuserService::SaveState(bool clean) {
    if (!CountsPulses() || store_.Path().empty()) return;
    const StoreResult saved = store_.Save({PositionLocked(), clean, config_.device, config_.model});
    if (!saved.ok) {
        const std::string text = saved.error + " The position is kept while the focuser stays connected; free "
                                               "the disk or fix the folder's permissions so it survives a restart.";
        pending_.push_back([this, text] {
            if (listener_.alert) listener_.alert(text);
        });
    }
}

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
    } else {
        SaveState(false);
        StartLeg();
    }
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
    if (end == MoveEnd::Lost) uncertain_ = true;
    lastMove_ = record;
    if (end != MoveEnd::Replaced) SaveState(!uncertain_);
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

Answer FocuserService::Sync(std::int32_t position) {
    Calls calls;
    {
        std::lock_guard lock(mutex_);
        if (!focuser_ || closing_) return {MoveResult::NotOpen, "The focuser is not connected."};
        if (lost_) return {MoveResult::NotOpen, *lost_};
        if (!CountsPulses()) {
            return {MoveResult::Unsupported,
                    "This focuser keeps its own position, which cannot be set from here; move it instead."};
        }
        if (running_) return {MoveResult::Busy, "The focuser is moving; sync once it has stopped."};
        if (position < limits_.min || position > limits_.max) {
            return {MoveResult::OutOfRange, "Position " + std::to_string(position) + " is outside the focuser's limits " +
                                                std::to_string(limits_.min) + " to " + std::to_string(limits_.max) + "."};
        }
        offset_ = static_cast<std::int32_t>(position - static_cast<std::int64_t>(sense_) * focuser_->CTSCount());
        uncertain_ = false;
        SaveState(true);
        lastNotified_ = position;
        pending_.push_back([this, position] {
            if (listener_.positionChanged) listener_.positionChanged(position);
        });
        calls.swap(pending_);
    }
    Run(calls);
    return {};
}

// ---- limits, direction, backlash ----

FocuserService::Limits FocuserService::GetLimits() const {
    std::lock_guard lock(mutex_);
    return limits_;
}

std::optional<FocuserService::Limits> FocuserService::DeviceRange() const {
    std::lock_guard lock(mutex_);
    if (!focuser_ || CountsPulses()) return std::nullopt;
    if (config_.kind == ServiceKind::Optec) return Limits{0, kOptecTravel};
    auto* p = dynamic_cast<TPositionFocusControl*>(focuser_.get());
    const std::int32_t travel = p && p->MaxTravel() > 0 ? p->MaxTravel() : kRfUnknownTravel;
    return Limits{1, travel};
}

Answer FocuserService::SetLimits(Limits limits) {
    if (limits.min > limits.max) {
        return {MoveResult::OutOfRange, "The lower limit " + std::to_string(limits.min) +
                                            " is above the upper limit " + std::to_string(limits.max) + "."};
    }
    if (limits.min < -kServiceMaxPosition || limits.max > kServiceMaxPosition) {
        return {MoveResult::OutOfRange, "Limits reach at most " + std::to_string(kServiceMaxPosition) + " either way."};
    }
    if (const auto range = DeviceRange(); range && (limits.min < range->min || limits.max > range->max)) {
        return {MoveResult::OutOfRange, "This focuser reaches " + std::to_string(range->min) + " to " +
                                            std::to_string(range->max) + "; keep the limits inside that."};
    }
    std::lock_guard lock(mutex_);
    limits_ = limits;
    return {};
}

bool FocuserService::ReverseAvailable() const {
    std::lock_guard lock(mutex_);
    return CountsPulses();
}

bool FocuserService::Reverse() const {
    std::lock_guard lock(mutex_);
    return reverse_;
}

Answer FocuserService::SetReverse(bool reverse) {
    std::lock_guard lock(mutex_);
    if (!CountsPulses()) {
        return {MoveResult::Unsupported, "This focuser keeps its own position and sets its direction itself."};
    }
    if (running_) return {MoveResult::Busy, "The focuser is moving; change the direction once it has stopped."};
    reverse_ = reverse;
    if (focuser_) focuser_->SetReverseDir(reverse);
    return {};
}

FocuserService::Backlash FocuserService::GetBacklash() const {
    std::lock_guard lock(mutex_);
    return backlash_;
}

Answer FocuserService::SetBacklash(Backlash backlash) {
    if (backlash.steps < 0 || backlash.steps > 10000) {
        return {MoveResult::OutOfRange, "A backlash of " + std::to_string(backlash.steps) +
                                            " steps is outside 0 to 10000."};
    }
    std::lock_guard lock(mutex_);
    backlash_ = backlash;
    return {};
}

// ---- temperature and compensation ----

std::optional<double> FocuserService::Temperature() const {
    std::lock_guard lock(mutex_);
    return temperature_;
}

CompensationConfig FocuserService::GetCompensation() const {
    std::lock_guard lock(mutex_);
    return compensation_;
}

Answer FocuserService::SetCompensation(const CompensationConfig& config) {
    if (config.minSteps < 1 || config.minSteps > 100 || config.ignoreSteps < 1 || config.ignoreSteps > 1000 ||
        config.periodMs < 1000 || config.periodMs > 1800000 || config.clientHoldMs < 0 ||
        config.clientHoldMs > 3600000 ||
        (config.coefficient && !std::isfinite(*config.coefficient))) {
        return {MoveResult::OutOfRange,
                "Compensation takes a minimum correction of 1 to 100 steps, an ignore limit of 1 to 1000 steps and a "
                "period of 1 s to 30 min, and a client hold of at most an hour."};
    }
    std::lock_guard lock(mutex_);
    if (config.enabled && !compensation_.enabled) {
        if (!config.coefficient || *config.coefficient == 0.0) {
            return {MoveResult::Unsupported,
                    "Compensation needs a coefficient: type one in or load a calibration file."};
        }
        if (!temperature_) {
            return {MoveResult::Unsupported,
                    "Compensation needs a temperature, and this focuser reports none; check the hub's temperature probe."};
        }
        // Switched on: the position answers for the temperature now.
        compBase_ = {temperature_, PositionLocked()};
        lastCompensationMs_ = NowMs();
    }
    compensation_ = config;
    return {};
}

Answer FocuserService::LoadCoefficient(const std::string& tcdPath) {
    const TcdReadResult read = ReadTcdFile(tcdPath);
    if (!read.ok()) return {MoveResult::Unsupported, read.error};
    // The file keeps the texts as the user's system wrote them.
    const TCLocale locale = TCLocale::FromProcess();
    TCLocale comma = locale;
    comma.decimalSeparator = locale.decimalSeparator == "," ? "." : ",";
    std::vector<double> temps;
    std::vector<double> positions;
    for (const TCRow& row : read.rows) {
        if (!row.checked) continue;
        auto t = ParseLocaleFloat(row.temp, locale);
        if (!t) t = ParseLocaleFloat(row.temp, comma);
        auto p = ParseLocaleFloat(row.position, locale);
        if (!p) p = ParseLocaleFloat(row.position, comma);
        if (!t || !p) continue;
        temps.push_back(*t);
        positions.push_back(*p);
    }
    const FitResult fit = LinearFit(temps, positions);
    if (temps.size() < 2 || !fit.ok || !std::isfinite(fit.slope) || fit.slope == 0.0) {
        return {MoveResult::Unsupported, "The calibration file " + tcdPath + " has " + std::to_string(temps.size()) +
                                             " ticked points that fit no line; train at two temperatures at least."};
    }
    char source[512];
    const std::string name = tcdPath.substr(tcdPath.find_last_of('/') == std::string::npos ? 0 : tcdPath.find_last_of('/') + 1);
    std::snprintf(source, sizeof source, "fit of %zu points from %s (R^2 %.3f)", temps.size(), name.c_str(), fit.r2);
    std::lock_guard lock(mutex_);
    compensation_.coefficient = fit.slope;
    compensation_.source = source;
    for (char& c : compensation_.source)
        if (c == ',') c = '.';
    return {};
}

void FocuserService::HoldCompensation(bool hold) {
    std::lock_guard lock(mutex_);
    compHeld_ = hold;
    // Released after a client's own focusing: that run set the position for now.
    if (!hold && temperature_ && focuser_) compBase_ = {temperature_, PositionLocked()};
}

bool FocuserService::CompensationHeld() const {
    std::lock_guard lock(mutex_);
    return compHeld_;
}

void FocuserService::CompensationLogLocked(Calls& calls, const std::string& line) {
    calls.push_back([this, line] {
        if (listener_.compensationLog) listener_.compensationLog(line);
    });
}

std::optional<std::int32_t> FocuserService::CompensateNow() {
    ReadTemperature();
    return Compensate(false);
}

std::optional<std::int32_t> FocuserService::Compensate(bool scheduled) {
    Calls calls;
    std::optional<std::int32_t> moved;
    std::optional<std::int32_t> target;
    {
        std::lock_guard lock(mutex_);
        if (!focuser_ || !compensation_.enabled || !temperature_ || compHeld_ || running_ || lost_ || closing_) {
            return std::nullopt;
        }
        const std::int64_t now = NowMs();
        if (scheduled) {
            if (lastCompensationMs_ >= 0 && now - lastCompensationMs_ < compensation_.periodMs) return std::nullopt;
            if (clientMoveEndedMs_ >= 0 && now - clientMoveEndedMs_ < compensation_.clientHoldMs) return std::nullopt;
        }
        lastCompensationMs_ = now;
        // The coefficient is in the engine's counts, as the window learns and shows it.
        const std::int32_t position = PositionLocked();
        const CompensationDecision d = CompensationStep(compensation_, compBase_, *temperature_, position, sense_);
        compBase_ = d.newBase;
        if (d.ignored) {
            CompensationLogLocked(calls, CompensationLogLine(*temperature_, 0, "Ignored"));
        } else if (d.target) {
            target = d.target;
            moved = *d.target - position;
            CompensationLogLocked(calls, CompensationLogLine(*temperature_, *moved, "Service"));
        }
    }
    Run(calls);
    if (target) {
        const Answer a = StartMove(*target, WhenBusy::Refuse, true);
        if (!a) {
            std::lock_guard lock(mutex_);
            const std::string text = "Temperature compensation could not move the focuser: " + a.message;
            CompensationLogLocked(calls, text);
            calls.push_back([this, text] {
                if (listener_.alert) listener_.alert(text);
            });
            moved.reset();
        }
        Run(calls);
    }
    return moved;
}

bool FocuserService::WaitFirstTemperature(int timeoutMs) {
    std::unique_lock lock(mutex_);
    return temperatureRead_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        return !focuser_ || !CountsPulses() || (lastTemperatureMs_ >= 0 && !readingTemperature_);
    });
}

void FocuserService::ReadTemperature() {
    TFocusControl* focuser = nullptr;
    {
        std::lock_guard lock(mutex_);
        if (!focuser_ || !CountsPulses() || running_) return;
        focuser = focuser_.get();
        lastTemperatureMs_ = NowMs();
        readingTemperature_ = true;
    }
    // Hub exchanges take tens of milliseconds; not under the lock. The
    // controller lives until Close, which joins the watch first.
    std::optional<double> reading;
    if (focuser->TCAvail() || focuser->GetTCAvail()) {
        const double t = focuser->GetTemperature();
        if (t > kTemperatureFloor) reading = focuser->TCAvg();
    }
    Calls calls;
    {
        std::lock_guard lock(mutex_);
        readingTemperature_ = false;
        temperatureRead_.notify_all();
        const bool changed = reading != temperature_;
        temperature_ = reading;
        if (changed && reading) {
            calls.push_back([this, t = *reading] {
                if (listener_.temperatureChanged) listener_.temperatureChanged(t);
            });
        }
    }
    Run(calls);
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
        const std::vector<std::string> said = dialogs_->Take();
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
