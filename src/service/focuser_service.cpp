#include "service/focuser_service.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <deque>

#include "focuser/focuser_factory.h"
#include "focuser/position_focus_control.h"
#include "shell/settings_model.h"
#include "tempcomp/tc_texts.h"

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

std::vector<std::string> FocuserService::TakeSaid() { return dialogs_->Take(); }

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
    lost_.reset();
    if (CountsPulses()) {
        const std::string why = position_.BeginCounted(config_.statePath, config_.device, config_.model);
        if (!why.empty()) {
            pending_.push_back([this, why] {
                if (listener_.alert) listener_.alert(why);
            });
        }
    } else {
        position_.BeginOwn(config_.kind == ServiceKind::RoboFocus && !focuser_->ReverseDir() ? -1 : 1);
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
    if (CountsPulses()) SaveState(!position_.Uncertain());
    position_.StartWriting([this] { RecordWritten(); });
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
            position_.MakeUncertain();
            FinishMove(MoveEnd::TimedOut, "The focuser was closed during the move and had not stopped " +
                                              std::to_string(kServiceHaltWaitMs / 1000) +
                                              " s after the halt; its position is uncertain.");
        }
        open_ = false;
        focuser = std::move(focuser_);
    }
    // What was posted reaches the disk before Close returns: the next Open,
    // in this program or another, reads it.
    position_.StopWriting();
    closing_ = false;
    // Destroying the controller stops and joins its threads; not under the lock.
    focuser.reset();
    Calls calls;
    {
        std::lock_guard lock(mutex_);
        TakeWriteFailures();
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

std::int32_t FocuserService::PositionLocked() const { return position_.Position(focuser_.get()); }

std::int32_t FocuserService::CountFor(std::int32_t position) const { return position_.CountFor(*focuser_, position); }

std::int32_t FocuserService::Position() const {
    std::lock_guard lock(mutex_);
    return PositionLocked();
}

bool FocuserService::PositionUncertain() const {
    std::lock_guard lock(mutex_);
    return position_.Uncertain();
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

std::uint64_t FocuserService::SaveState(bool clean) { return position_.Record(focuser_.get(), clean); }

void FocuserService::TakeWriteFailures() {
    for (const std::string& error : position_.TakeFailures()) {
        const std::string text = error + " The position is kept while the focuser stays connected; free "
                                         "the disk or fix the folder's permissions so it survives a restart.";
        pending_.push_back([this, text] {
            if (listener_.alert) listener_.alert(text);
        });
    }
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
        position_.SyncTo(*focuser_, position);
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

}  // namespace kv
