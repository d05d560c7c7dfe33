#include "focuser/o_focus_control.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "shell/log_channel.h"

namespace kv {

namespace {

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

TOFocusControl::TOFocusControl(IDialogs& dialogs, IClock& clock)
    : TPositionFocusControl(dialogs, clock, 19200, "*!", "Instantiating Optec focuser object",
                            "Freeing Optec focuser object") {}

TOFocusControl::~TOFocusControl() {
    remaining_.store(0);
    EndLink();
}

std::string TOFocusControl::StepCommand(std::int32_t n) {
    if (n == 0) return "FPOSRO";
    char text[16];
    std::snprintf(text, sizeof text, "%s%.4d", n < 0 ? "FI" : "FO", static_cast<int>(std::abs(n)));
    return text;
}

void TOFocusControl::Send(const std::string& command) {
    if (Link().OutputFree() > command.size()) (void)Link().WriteString(command);
    if (LogCommands()) PostLogText("TX:  " + command, kComLog);
}

void TOFocusControl::LeaveLink() {
    if (Link().IsOpen()) Send("FFMODE");
    serialMode_.store(false);
}

void TOFocusControl::Handshake() {
    serialMode_.store(false);
    for (int i = 0; i < kOptecModeTries && !serialMode_.load(); ++i) {
        Send("FMMODE");
        Pause(kOptecModeWaitMs);
    }
    // OpenPort runs on the GUI thread, which may wait for the answer here.
    if (!serialMode_.load()) TellUser(kOptecNoSessionText);
    ResetPosition();
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
    NoteHalt();
    {
        std::lock_guard lock(mutex_);
        reply_.clear();
        fIdle_.store(true);
        remaining_.store(0);
        stepLimit_.store(0);
        stepRunning_.store(false);
        Step();
    }
    if (LogCommands()) PostLogText("TX:  Stop Command", kComLog);
}

void TOFocusControl::MoveBy(std::int32_t steps) {
    MoveStarted();
    generalDelay_->Reset();
    if (steps == 0) {
        generalDelay_->Set();
        return;
    }
    if (steps > kOptecMaxMove || steps < -kOptecMaxMove) {
        // The focuser's whole travel is 7000 steps; such a request comes from a
        // wrong zero or a typing slip, and a move that never ends would hang
        // whoever waits for it.
        TellUserLater("Optec focuser move of " + std::to_string(steps) + " steps refused: at most " +
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
    if (Ending()) return;
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
        stepRunning_.store(true);
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
    stepRunning_.store(true);
}

// ---------------------------------------------------------------- receive path

void TOFocusControl::ReceiveChars(std::string_view chars) {
    bool corrected = false;
    {
        std::lock_guard lock(mutex_);
        for (char c : chars) {
            if (c == '\n' || c == '\r' || c == '!' || c == '*') continue;
            reply_ += c;
            if (reply_.size() == kOptecReplyLength) corrected = ParseReply() || corrected;
        }
    }
    // This runs on the port's reader thread, which ClosePort, SetComPort and
    // the destructor join from the GUI thread: a box that waited for the user
    // here would hang them both.
    if (corrected) TellUserLater(kOptecCorrectedText);
}

void TOFocusControl::Trigger(char c) {
    bool idle = false;
    {
        std::lock_guard lock(mutex_);
        reply_.clear();
        if (c == '!') serialMode_.store(true);
        if (c == '*') stepRunning_.store(false);
        Send("FPOSRO");
        if (c == '*' && remaining_.load() == 0) {
            fIdle_.store(true);
            idle = true;
        }
    }
    if (idle) DoIdleChange();
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
        startCount_.store(TakeZero(current));
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
    // A reply to a query sent before the running step began (opening asks
    // twice) is only a position; the step's own "*" asks for the reply that
    // sends the next one.
    if (!stepRunning_.load()) Step();
    return corrected;
}

}  // namespace kv
