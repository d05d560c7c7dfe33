#include "focuser/o_focus_control.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "shell/diagnostics.h"
#include "shell/log_channel.h"

namespace kv {

namespace {

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

bool AllDigits(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The approach table: step size for the magnitude still to go, 0 above the
// largest move the focuser takes.
std::int32_t ApproachStep(std::int32_t magnitude) {
    if (magnitude <= 10) return 1;
    if (magnitude <= 49) return 5;
    if (magnitude <= 99) return 10;
    if (magnitude <= 249) return 20;
    if (magnitude <= kOptecMaxMove) return 50;
    return 0;
}

}  // namespace

void TOFocusControl::Pause(int ms) const {
    if (paced_.load()) SleepMs(ms);
}

TOFocusControl::TOFocusControl(IDialogs& dialogs, IClock& clock)
    : TFocusControl(dialogs, clock), port_(std::make_unique<TBufferedPort>()),
      generalDelay_(OpenNamedEvent(kGeneralDelayEvent)) {
    SetQuorvelEnable(false);
    TraceDiag("Instantiating Optec focuser object");
    SerialSettings settings;
    settings.baud = 19200;
    settings.discardNul = false;
    port_->SetSettings(settings);
    port_->SetOnReceive([this](std::string_view chars) { ReceiveChars(chars); });
    port_->SetOnTrigger([this](int handle) { OnTrigger(handle); });
}

TOFocusControl::~TOFocusControl() {
    destroying_.store(true);
    remaining_.store(0);
    port_->DiscardInput();
    if (port_->IsOpen()) Send("FFMODE");
    port_->Close();  // joins the reader: no callback reaches a half-destroyed driver
    portOpen_.store(false);
    port_.reset();
    TraceDiag("Freeing Optec focuser object");
    Shutdown();
}

std::string TOFocusControl::StepCommand(std::int32_t n) {
    if (n == 0) return "FPOSRO";
    char text[16];
    std::snprintf(text, sizeof text, "%s%.4d", n < 0 ? "FI" : "FO", static_cast<int>(std::abs(n)));
    return text;
}

void TOFocusControl::Send(const std::string& command) {
    if (!port_) return;
    if (port_->OutputFree() > command.size()) (void)port_->WriteString(command);
    if (LogCommands()) PostLogText("TX:  " + command, kComLog);
}

void TOFocusControl::SetComPort(int value) {
    if (port_->IsOpen()) Send("FFMODE");
    port_->Close();
    portOpen_.store(false);
    serialMode_.store(false);
    TFocusControl::SetComPort(value);
}

void TOFocusControl::SetCancelMovementFlag(bool) {}

bool TOFocusControl::GetIdle() const { return fIdle_.load(); }

void TOFocusControl::DoIdleChange() {
    if (destroying_.load()) return;
    RaiseIdleChange(fIdle_.load());
}

bool TOFocusControl::OpenPort() {
    serialMode_.store(false);
    port_->RemoveDataTrigger(doneTrigger_.exchange(0));
    port_->RemoveDataTrigger(modeTrigger_.exchange(0));
    port_->Close();
    portOpen_.store(false);
    const int com = ComPort();
    if (com == 0) return false;
    std::string device;
    try {
        device = ResolvePort(com);
    } catch (const std::exception&) {
        return false;
    }
    port_->SetDevice(device);
    port_->SetFactory(PortFactory());
    if (!port_->Open()) {
        WriteProgramLog("Could not open " + device + " for COM" + std::to_string(com));
        return false;
    }
    portOpen_.store(true);
    doneTrigger_.store(port_->AddDataTrigger('*'));
    modeTrigger_.store(port_->AddDataTrigger('!'));
    for (int i = 0; i < kOptecModeTries && !serialMode_.load(); ++i) {
        Send("FMMODE");
        Pause(kOptecModeWaitMs);
    }
    if (!serialMode_.load()) TellUser(kOptecNoSessionText);
    ResetPosition();
    return true;
}

void TOFocusControl::StartMove(bool inward, bool) {
    if (ReverseDir()) inward = !inward;
    std::lock_guard lock(mutex_);
    stepLimit_.store(kOptecJogStep);
    remaining_.store(inward ? -kOptecMaxMove : kOptecMaxMove);
    Step();
    SetLastDirection(inward);
}

void TOFocusControl::StopMove() {
    {
        std::lock_guard lock(mutex_);
        reply_.clear();
        fIdle_.store(true);
        remaining_.store(0);
        stepLimit_.store(0);
        Step();
    }
    if (LogCommands()) PostLogText("TX:  Stop Command", kComLog);
}

void TOFocusControl::MoveBy(std::int32_t steps) {
    generalDelay_->Reset();
    if (steps == 0) {
        generalDelay_->Set();
        return;
    }
    if (steps > kOptecMaxMove || steps < -kOptecMaxMove) {
        // The focuser's whole travel is 7000 steps; such a request comes from a
        // wrong zero or a typing slip, and a move that never ends would hang
        // whoever waits for it.
        TellUser("Optec focuser move of " + std::to_string(steps) + " steps refused: at most " +
                 std::to_string(kOptecMaxMove) + " steps either way");
        generalDelay_->Set();
        return;
    }
    fIdle_.store(false);
    DoIdleChange();
    std::lock_guard lock(mutex_);
    remaining_.store(steps);
    Step();
}

void TOFocusControl::MoveTo(std::int32_t position) {
    MoveBy(static_cast<std::int32_t>(std::clamp<std::int64_t>(
        static_cast<std::int64_t>(position) - CTSCount(), INT32_MIN, INT32_MAX)));
}

void TOFocusControl::ResetPosition() {
    generalDelay_->Reset();
    std::lock_guard lock(mutex_);
    reply_.clear();
    ctsCount_.store(0);
    firstPosition_.store(true);
    remaining_.store(0);
    Send("FPOSRO");
    DoCTSChange(0, false);
    Step();
}

void TOFocusControl::FocusCommand(const std::string& command) { Send(command); }

void TOFocusControl::Step() {
    if (destroying_.load()) return;
    std::lock_guard lock(mutex_);
    std::int32_t remaining = remaining_.load();
    const std::int32_t limit = stepLimit_.load();
    if (limit > 0) {
        if (std::abs(remaining) > limit) {
            remaining += remaining > 0 ? -limit : limit;
            remaining_.store(remaining);
            Send(StepCommand(remaining > 0 ? limit : -limit));
        } else {
            Send(StepCommand(remaining));
        }
    }
    if (remaining == 0) {
        generalDelay_->Set();
        return;
    }
    const std::int32_t step = ApproachStep(std::abs(remaining));
    if (step == 0) return;
    if (step == 1) Pause(kOptecFineStepWaitMs);
    if (remaining < 0) {
        remaining_.store(remaining + step);
        Send(StepCommand(-step));
    } else {
        remaining_.store(remaining - step);
        Send(StepCommand(step));
    }
}

// ---------------------------------------------------------------- receive path

void TOFocusControl::ReceiveBytes(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        ReceiveChars(bytes.substr(i, 1));
        if (bytes[i] == '*') DoneTrigger();
        if (bytes[i] == '!') ModeTrigger();
    }
}

void TOFocusControl::OnTrigger(int handle) {
    if (handle != 0 && handle == doneTrigger_.load()) DoneTrigger();
    if (handle != 0 && handle == modeTrigger_.load()) ModeTrigger();
}

void TOFocusControl::ReceiveChars(std::string_view chars) {
    if (destroying_.load()) return;
    bool corrected = false;
    {
        std::lock_guard lock(mutex_);
        for (char c : chars) {
            if (c == '\n' || c == '\r' || c == '!' || c == '*') continue;
            reply_ += c;
            if (reply_.size() == kOptecReplyLength) corrected = ParseReply() || corrected;
        }
    }
    // Shown without the lock: the desktop answers on its own thread, which may
    // be calling into this driver meanwhile.
    if (corrected) TellUser(kOptecCorrectedText);
}

void TOFocusControl::DoneTrigger() {
    if (destroying_.load()) return;
    bool idle = false;
    {
        std::lock_guard lock(mutex_);
        reply_.clear();
        Send("FPOSRO");
        if (remaining_.load() == 0) {
            fIdle_.store(true);
            idle = true;
        }
    }
    if (idle) DoIdleChange();
}

void TOFocusControl::ModeTrigger() {
    if (destroying_.load()) return;
    std::lock_guard lock(mutex_);
    reply_.clear();
    serialMode_.store(true);
    Send("FPOSRO");
}

bool TOFocusControl::ParseReply() {
    // mutex_ held, reply_ holds six characters.
    const std::string reply = reply_;
    if (LogCommands()) PostLogText("RX:  " + reply, kComLog);
    if (reply.compare(0, 2, "P=") != 0 || !AllDigits(std::string_view(reply).substr(2))) {
        // Not a position: dropped, but a "P" inside it may start the real reply.
        const std::size_t next = reply.find('P', 1);
        reply_ = next == std::string::npos ? std::string() : reply.substr(next);
        return false;
    }
    const std::int32_t current = std::stoi(reply.substr(2));
    currentCount_.store(current);
    reply_.clear();
    if (firstPosition_.load()) {
        startCount_.store(current);
        firstPosition_.store(false);
        Pause(kOptecFirstPositionSettleMs);
    }
    const std::int32_t start = startCount_.load();
    ctsCount_.store(current - start);
    DoCTSChange(current - start, false);
    bool corrected = false;
    if (ctsCount_.load() + start != current) {
        corrected = true;
        ctsCount_.store(current - start);
        DoCTSChange(current - start, false);
    }
    Step();
    return corrected;
}

}  // namespace kv
