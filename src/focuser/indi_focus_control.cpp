#include "focuser/indi_focus_control.h"

#include <baseclient.h>
#include <basedevice.h>
#include <indiproperty.h>

#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <functional>
#include <exception>

#include "platform/device_wait.h"
#include "platform/indi_send.h"
#include "platform/no_sigpipe.h"
#include "shell/log_channel.h"
#include "shell/port_map.h"

// The network client library keeps its device tree in shared pointers that
// point at each other and are never freed; that is its memory, not ours.
#if defined(__SANITIZE_ADDRESS__)
extern "C" __attribute__((visibility("default"), used)) const char* __lsan_default_suppressions() {
    return "leak:libindiclient.so\n";
}
#endif

namespace kv {

namespace {
constexpr const char* kAbsProperty = "ABS_FOCUS_POSITION";
constexpr const char* kAbsElement = "FOCUS_ABSOLUTE_POSITION";
constexpr const char* kRelProperty = "REL_FOCUS_POSITION";
constexpr const char* kRelElement = "FOCUS_RELATIVE_POSITION";
constexpr const char* kMotionProperty = "FOCUS_MOTION";
constexpr const char* kAbortProperty = "FOCUS_ABORT_MOTION";
constexpr const char* kTempProperty = "FOCUS_TEMPERATURE";

// The count the desktop shows: a position relative to the reset, saturated.
std::int32_t CountOf(std::int64_t position, std::int64_t offset) {
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(position - offset, INT32_MIN, INT32_MAX));
}

bool Limited(double min, double max) { return std::isfinite(min) && std::isfinite(max) && min < max; }

// Whether a connection to host:port comes up within kIndiConnectWaitMs. The
// client library's own connect cannot be cut short, so a host that swallows
// the handshake is found out here, where a cancel is heard within a slice.
bool ServerReachable(const std::string& host, int port, const std::function<bool()>& cancelled) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || found == nullptr) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kIndiConnectWaitMs);
    bool reached = false;
    for (addrinfo* a = found; a != nullptr && !reached && !cancelled(); a = a->ai_next) {
        const int fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) continue;
        if (connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
            reached = true;
        } else if (errno == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            while (!cancelled() && std::chrono::steady_clock::now() < deadline) {
                const int ready = poll(&p, 1, kIndiCancelSliceMs);
                if (ready < 0 && errno != EINTR) break;
                if (ready > 0) {
                    int error = 0;
                    socklen_t length = sizeof error;
                    reached = getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
                    break;
                }
            }
        }
        close(fd);
    }
    freeaddrinfo(found);
    return reached && !cancelled();
}

}  // namespace

std::optional<std::int64_t> IndiWhole(double value, std::int64_t lo, std::int64_t hi) {
    if (!std::isfinite(value)) return std::nullopt;
    // Compared as doubles first: a cast of a double outside the integer's range is undefined.
    if (value <= static_cast<double>(lo)) return lo;
    if (value >= static_cast<double>(hi)) return hi;
    return std::clamp<std::int64_t>(std::llround(value), lo, hi);
}

std::int64_t IndiMoveTarget(std::int64_t from, std::int64_t steps, double min, double max, std::int64_t offset) {
    std::int64_t target = std::clamp(from + steps, offset + INT32_MIN, offset + INT32_MAX);
    if (Limited(min, max)) {
        // Inside the range: a fractional bound rounds inwards.
        const std::int64_t lo = *IndiWhole(std::ceil(min), -kIndiMaxPosition, kIndiMaxPosition);
        const std::int64_t hi = *IndiWhole(std::floor(max), -kIndiMaxPosition, kIndiMaxPosition);
        if (lo <= hi) target = std::clamp(target, lo, hi);
    }
    return target;
}

// Copies what the driver needs out of each property update; the library's own
// device objects belong to its thread.
class TIndiFocusControl::Link : public INDI::BaseClient {
public:
    Link(TIndiFocusControl& owner, std::string device) : owner_(owner), device_(std::move(device)) {}

    std::atomic<bool> hasConnection{false};
    std::atomic<bool> deviceConnected{false};

    void SendDirection(bool outward) {
        kv::indi::SendSwitch(*this, device_, kMotionProperty, {"FOCUS_INWARD", "FOCUS_OUTWARD"},
                             outward ? "FOCUS_OUTWARD" : "FOCUS_INWARD");
    }

protected:
    void newProperty(INDI::Property property) override { Take(property, false); }
    void updateProperty(INDI::Property property) override { Take(property, true); }
    void serverDisconnected(int) override { owner_.OnServerLost(); }

private:
    void Take(INDI::Property property, bool update) {
        if (device_ != property.getDeviceName()) return;
        owner_.Heard();
        if (property.isNameMatch("CONNECTION")) {
            hasConnection.store(true);
            if (auto* sw = property.getSwitch()) {
                if (auto* on = sw->findWidgetByName("CONNECT")) deviceConnected.store(on->getState() == ISS_ON);
            }
            owner_.changed_.notify_all();
            return;
        }
        if (property.isNameMatch(kMotionProperty)) {
            owner_.OnMotion(update);
            return;
        }
        if (property.getType() != INDI_NUMBER) return;
        auto* numbers = property.getNumber();
        if (numbers == nullptr) return;
        for (auto& n : *numbers) {
            owner_.OnNumber(property.getName(), property.getState(), n.getName(), n.getValue(), n.getMin(),
                            n.getMax());
        }
        if (numbers->count() == 0) owner_.OnNumber(property.getName(), property.getState(), "", 0, 0, 0);
    }

    TIndiFocusControl& owner_;
    const std::string device_;
};

TIndiFocusControl::TIndiFocusControl(IDialogs& dialogs, IClock& clock)
    : TFocusControl(dialogs, clock), generalDelay_(OpenNamedEvent(kGeneralDelayEvent)) {
    SetQuorvelEnable(false);
}

TIndiFocusControl::~TIndiFocusControl() {
    StopStallWatch();
    ClosePort();
    Shutdown();
}

void TIndiFocusControl::Heard() {
    std::lock_guard lock(mutex_);
    lastHeard_ = std::chrono::steady_clock::now();
}

bool TIndiFocusControl::WaitUntil(const std::function<bool()>& ready, int timeoutMs) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return closing_ || cancelled_ || ready(); }) &&
           !closing_ && !cancelled_;
}

bool TIndiFocusControl::Cancelled() const {
    std::lock_guard lock(mutex_);
    return cancelled_;
}

bool TIndiFocusControl::OpenPort() {
    SetOpenCancelled({});
    {
        std::lock_guard lock(mutex_);
        cancelled_ = false;
    }
    std::string what = "the INDI focuser";
    std::string server;
    if (const auto chosen = ChosenPortDevice()) {
        if (const auto address = ParseIndiAddress(*chosen)) {
            server = address->host + ":" + std::to_string(address->port);
            what += " \"" + address->device + "\" at " + server;
        }
    }
    // Up to three bounded waits on the network: the desktop keeps painting,
    // and the user may give up on them.
    bool open = false;
    const DeviceWaitEnd end = RunDeviceWait({what, [&] { open = Connect(); }, [this] {
                                                 {
                                                     std::lock_guard lock(mutex_);
                                                     cancelled_ = true;
                                                 }
                                                 changed_.notify_all();
                                             }});
    {
        std::lock_guard lock(mutex_);
        cancelled_ = false;
    }
    if (end == DeviceWaitEnd::Cancelled) {
        // Given up on is given up on, even when the answer came in the same moment.
        if (open) ClosePort();
        const std::string text = "Connecting to " + what + " was cancelled; check that the INDI server at " + server +
                                 " answers, then use Update";
        WriteProgramLog(text);
        SetOpenCancelled(text);
        return false;
    }
    return open;
}

bool TIndiFocusControl::Connect() {
    ClosePort();
    const int com = ComPort();
    const std::optional<std::string> chosen = ChosenPortDevice();
    if (!chosen) return false;
    const std::string& device = *chosen;
    const std::optional<IndiAddress> address = ParseIndiAddress(device);
    if (!address) {
        WriteProgramLog("COM" + std::to_string(com) + " is mapped to no indi:// address: " + device);
        return false;
    }
    {
        std::lock_guard lock(mutex_);
        closing_ = false;
        sawAbsolute_ = sawRelative_ = sawMotion_ = absKnown_ = false;
        motionAsked_ = motionAnswered_ = 0;
        temperature_.reset();
    }
    device_ = address->device;
    link_ = std::make_unique<Link>(*this, device_);
    link_->setServer(address->host.c_str(), static_cast<unsigned>(address->port));
    link_->setConnectionTimeout(kIndiConnectWaitMs / 1000, 0);
    link_->watchDevice(device_.c_str());
    const std::string where = address->host + ":" + std::to_string(address->port);
    if (!ServerReachable(address->host, address->port, [this] { return Cancelled(); }) || !link_->connectServer()) {
        if (!Cancelled()) WriteProgramLog("No focuser server answers at " + where);
        link_.reset();
        return false;
    }
    if (!WaitUntil([this] { return link_->hasConnection.load(); }, kIndiConnectWaitMs)) {
        if (!Cancelled()) WriteProgramLog("The server at " + where + " has no device \"" + device_ + "\"");
        ClosePort();
        return false;
    }
    if (!link_->deviceConnected.load()) {
        kv::NoSigPipe noSigPipe;
        kv::indi::SendSwitch(*link_, device_, "CONNECTION", {"CONNECT", "DISCONNECT"}, "CONNECT");
    }
    if (!WaitUntil([this] { return link_->deviceConnected.load() && (sawAbsolute_ || (sawRelative_ && sawMotion_)); },
                   kIndiConnectWaitMs)) {
        if (!Cancelled()) WriteProgramLog("The focuser \"" + device_ + "\" at " + where + " did not connect or shows no position");
        ClosePort();
        return false;
    }
    // A driver defines its properties one by one: a relative-only focuser is
    // taken as one only when no absolute position follows shortly.
    (void)WaitUntil([this] { return sawAbsolute_; }, kIndiDefineWaitMs);
    if (Cancelled()) {
        ClosePort();
        return false;
    }
    portOpen_.store(true);
    StartWatchdog();
    WriteProgramLog("Connected to the focuser \"" + device_ + "\" at " + where);
    return true;
}

void TIndiFocusControl::ClosePort() {
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
    }
    changed_.notify_all();
    StopWatchdog();
    EndMove({});
    if (link_) {
        if (link_->isServerConnected()) link_->disconnectServer();
        link_.reset();
    }
    portOpen_.store(false);
}

void TIndiFocusControl::SetComPort(int value) { TFocusControl::SetComPort(value); }

void TIndiFocusControl::OnNumber(const std::string& property, int state, const std::string& element, double value,
                                 double min, double max) {
    bool end = false;
    std::string message;
    std::optional<std::int32_t> count;
    bool availChanged = false;
    bool rangeChanged = false;
    bool replaced = false;
    {
        std::lock_guard lock(mutex_);
        const bool busy = state == IPS_BUSY;
        if (property == kAbsProperty && element == kAbsElement) {
            rangeChanged = !sawAbsolute_ || absMin_ != min || absMax_ != max;
            sawAbsolute_ = true;
            absMin_ = min;
            absMax_ = max;
            // A position that is no number leaves the last one standing.
            const std::optional<std::int64_t> position = IndiWhole(value, -kIndiMaxPosition, kIndiMaxPosition);
            if (position) {
                absolute_ = *position;
                absKnown_ = true;
                count = CountOf(*position, offset_);
            }
            // An update that was on its way before the move was asked for
            // carries the old state: only Busy, or arriving at the target, answers the move.
            if (moving_ && via_ == Via::Absolute) {
                if (busy) sawBusy_ = true;
                else if (sawBusy_ || (position && *position == target_) || state == IPS_ALERT) end = true;
                // Done, and elsewhere than this move's target: another client
                // gave the device its own target meanwhile.
                replaced = end && state == IPS_OK && position && std::llabs(*position - target_) > kIndiLandingSteps;
            }
        } else if (property == kRelProperty) {
            sawRelative_ = true;
            if (element == kRelElement) relMax_ = max;
            if (moving_ && via_ == Via::Relative && busy) sawBusy_ = true;
            // The device answers the direction before it takes up the steps:
            // an update after every direction asked so far belongs to this move.
            const bool takenUp = sawBusy_ || motionAnswered_ >= motionAsked_;
            if (moving_ && via_ == Via::Relative && !busy && (takenUp || state == IPS_ALERT)) {
                end = true;
                if (state == IPS_OK && !sawAbsolute_) {
                    relativeCount_ = std::clamp<std::int64_t>(relativeCount_ + relSteps_, -kIndiMaxPosition,
                                                              kIndiMaxPosition);
                    count = CountOf(relativeCount_, offset_);
                }
            }
        } else if (property == kTempProperty && std::isfinite(value)) {
            availChanged = !temperature_.has_value();
            temperature_ = value;
        }
        if (end && state == IPS_ALERT) message = kIndiMoveFailedText;
    }
    changed_.notify_all();
    if (count) {
        // The direction a hub's DSR line gives: outward, as the count grows.
        const std::int32_t before = ctsCount_.exchange(*count);
        // A new travel is told with the position, so the window takes both.
        if (before != *count || rangeChanged) DoCTSChange(*count, *count > before);
    }
    if (availChanged && !ExchangeTCAvail(true)) DoAvailChange();
    if (property == kTempProperty && std::isfinite(value)) AddTemperature(value);
    if (replaced) NoteReplaced();
    if (end) EndMove(message);
}

void TIndiFocusControl::OnMotion(bool answer) {
    {
        std::lock_guard lock(mutex_);
        sawMotion_ = true;
        if (answer) ++motionAnswered_;
    }
    changed_.notify_all();
}

void TIndiFocusControl::OnServerLost() {
    bool wasMoving = false;
    {
        std::lock_guard lock(mutex_);
        if (closing_) return;
        wasMoving = moving_;
    }
    WriteProgramLog("The focuser's server closed the connection");
    portOpen_.store(false);
    changed_.notify_all();
    if (wasMoving) EndMove(kIndiLostServerText);
}

void TIndiFocusControl::EndMove(const std::string& message) {
    {
        std::lock_guard lock(mutex_);
        if (!moving_) return;
        moving_ = false;
        via_ = Via::None;
    }
    // Reported before the event, so whoever waits for it finds the idle state told.
    // A move ended with a message did not arrive.
    if (!message.empty()) NoteHalt();
    fIdle_.store(true);
    DoIdleChange();
    generalDelay_->Set();
    if (!message.empty()) {
        WriteProgramLog(message);
        Dialogs().Defer(DeferredMessage{message, DialogType::Error, DialogButtons::Ok});
    }
}

void TIndiFocusControl::DoIdleChange() { RaiseIdleChange(GetIdle()); }

bool TIndiFocusControl::GetIdle() const {
    std::lock_guard lock(mutex_);
    return !moving_;
}

void TIndiFocusControl::MoveBy(std::int32_t steps) {
    MoveStarted();
    generalDelay_->Reset();
    if (steps == 0) {
        generalDelay_->Set();
        return;
    }
    EndMove({});  // a new move replaces the old one
    generalDelay_->Reset();
    if (!link_ || !portOpen_.load()) {
        generalDelay_->Set();
        return;
    }
    Via via = Via::None;
    double target = 0.0;
    {
        std::lock_guard lock(mutex_);
        if (sawAbsolute_ && absKnown_) {
            via = Via::Absolute;
            target_ = IndiMoveTarget(absolute_, steps, absMin_, absMax_, offset_);
            target = static_cast<double>(target_);
        } else if (sawAbsolute_) {
            WriteProgramLog("The focuser \"" + device_ + "\" has not told a usable position; the move is not made");
        } else if (sawRelative_ && sawMotion_) {
            via = Via::Relative;
            relSteps_ = steps;
            ++motionAsked_;
        }
        if (via != Via::None) {
            moving_ = true;
            sawBusy_ = false;
            via_ = via;
            lastHeard_ = std::chrono::steady_clock::now();
        }
    }
    if (via == Via::None) {
        generalDelay_->Set();
        return;
    }
    fIdle_.store(false);
    DoIdleChange();
    kv::NoSigPipe noSigPipe;
    if (via == Via::Absolute) {
        kv::indi::SendNumbers(*link_, device_, kAbsProperty, {{kAbsElement, target}});
    } else {
        link_->SendDirection(steps > 0);
        kv::indi::SendNumbers(*link_, device_, kRelProperty, {{kRelElement, std::abs(static_cast<double>(steps))}});
    }
}

void TIndiFocusControl::MoveTo(std::int32_t position) {
    // From the server's own last position: the count the callbacks publish
    // may lag it by an update.
    std::int64_t here = CTSCount();
    {
        std::lock_guard lock(mutex_);
        if (sawAbsolute_) here = absolute_ - offset_;
    }
    MoveBy(static_cast<std::int32_t>(
        std::clamp<std::int64_t>(static_cast<std::int64_t>(position) - here, INT32_MIN, INT32_MAX)));
}

void TIndiFocusControl::StartMove(bool inward, bool) {
    std::int64_t steps = 0;
    {
        std::lock_guard lock(mutex_);
        if (sawAbsolute_) {
            // To the end of the range, or without one as far as the count goes.
            const std::int64_t end = IndiMoveTarget(absolute_, inward ? -kIndiMaxPosition : kIndiMaxPosition,
                                                    absMin_, absMax_, offset_);
            steps = end - absolute_;
        } else {
            // A device that gives no usable largest step takes as many as it will.
            const std::optional<std::int64_t> largest = IndiWhole(relMax_, 1, INT32_MAX);
            const std::int64_t most = relMax_ > 0 && largest ? *largest : INT32_MAX;
            steps = inward ? -most : most;
        }
    }
    MoveBy(static_cast<std::int32_t>(std::clamp<std::int64_t>(steps, INT32_MIN, INT32_MAX)));
}

void TIndiFocusControl::StopMove() {
    NoteHalt();
    if (link_ && portOpen_.load()) {
        kv::NoSigPipe noSigPipe;
        kv::indi::SendSwitch(*link_, device_, kAbortProperty, {"ABORT"}, "ABORT");
    }
    EndMove({});
}

void TIndiFocusControl::CancelMovement() { StopMove(); }

void TIndiFocusControl::SetCancelMovementFlag(bool value) {
    if (value) StopMove();
}

void TIndiFocusControl::ResetPosition() {
    generalDelay_->Reset();
    std::int32_t count = 0;
    {
        std::lock_guard lock(mutex_);
        offset_ = sawAbsolute_ ? absolute_ : relativeCount_;
    }
    if (ctsCount_.exchange(count) != count) DoCTSChange(count, false);
}

void TIndiFocusControl::FocusCommand(const std::string& command) {
    if (command == kFocusStop) {
        StopMove();
    } else if (command == kFocusIn) {
        StartMove(true, false);
    } else if (command == kFocusOut) {
        StartMove(false, false);
    } else if (command != kFocusSlow && command != kFocusFast) {
        TellUser(kIllegalFocusCommandText);
    }
}

void TIndiFocusControl::SendFocusCommand(const std::string& command) { FocusCommand(command); }

HubResult TIndiFocusControl::SetTCCal(int) { return HubResult::Unavailable; }

int TIndiFocusControl::GetTCCal() { return TCCal(); }

bool TIndiFocusControl::GetTCAvail() {
    bool avail = false;
    {
        std::lock_guard lock(mutex_);
        avail = temperature_.has_value();
    }
    if (ExchangeTCAvail(avail) != avail) DoAvailChange();
    if (!avail) ClearTempHistory();
    return avail;
}

std::string TIndiFocusControl::GetTCFirmwareVersion() { return kFirmwareUnknownText; }

double TIndiFocusControl::GetTemperature() { return Temperature().value_or(kNoTemperature); }

std::optional<double> TIndiFocusControl::Temperature() const {
    std::lock_guard lock(mutex_);
    // A device without a sensor may send its own "none" far below any sky.
    if (!temperature_ || *temperature_ <= kTemperatureFloor) return std::nullopt;
    return temperature_;
}

std::optional<TIndiFocusControl::CountRange> TIndiFocusControl::MoveRange() const {
    std::lock_guard lock(mutex_);
    if (!sawAbsolute_ || !Limited(absMin_, absMax_)) return std::nullopt;
    const auto lo = IndiWhole(std::ceil(absMin_), -kIndiMaxPosition, kIndiMaxPosition);
    const auto hi = IndiWhole(std::floor(absMax_), -kIndiMaxPosition, kIndiMaxPosition);
    if (!lo || !hi || *lo > *hi) return std::nullopt;
    return CountRange{CountOf(*lo, offset_), CountOf(*hi, offset_)};
}

std::optional<std::int32_t> TIndiFocusControl::AbsolutePosition() const {
    std::lock_guard lock(mutex_);
    if (!sawAbsolute_ || !absKnown_) return std::nullopt;
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(absolute_, INT32_MIN, INT32_MAX));
}

void TIndiFocusControl::StartWatchdog() {
    StopWatchdog();
    {
        std::lock_guard lock(watchdogMutex_);
        watchdogStop_ = false;
    }
    watchdog_ = std::thread([this] { WatchdogLoop(); });
}

void TIndiFocusControl::StopWatchdog() {
    {
        std::lock_guard lock(watchdogMutex_);
        watchdogStop_ = true;
    }
    watchdogWake_.notify_all();
    if (watchdog_.joinable()) watchdog_.join();
}

void TIndiFocusControl::WatchdogLoop() {
    std::unique_lock wake(watchdogMutex_);
    while (!watchdogWake_.wait_for(wake, std::chrono::milliseconds(kIndiWatchdogPollMs),
                                   [this] { return watchdogStop_; })) {
        bool silent = false;
        {
            std::lock_guard lock(mutex_);
            silent = moving_ && std::chrono::steady_clock::now() - lastHeard_ > std::chrono::milliseconds(kIndiSilenceMs);
        }
        if (silent) {
            wake.unlock();
            EndMove(kIndiSilentText);
            wake.lock();
        }
    }
}

}  // namespace kv
