#include "focuser/rf_focus_control.h"

#include <algorithm>
#include <cstdio>

#include "shell/log_channel.h"

namespace kv {

namespace {

bool AllDigits(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::int32_t DigitsValue(std::string_view s) {
    std::int32_t v = 0;
    for (char c : s) v = v * 10 + (c - '0');
    return v;
}

// Control characters and bytes above ASCII shown as <hh>, so a log line of a
// rejected reply stays one readable line.
std::string Printable(std::string_view s) {
    std::string out;
    for (unsigned char c : s) {
        if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "<%02X>", c);
            out += buf;
        }
    }
    return out;
}

}  // namespace

TRFFocusControl::TRFFocusControl(IDialogs& dialogs, IClock& clock)
    : TPositionFocusControl(dialogs, clock, 9600, "IO", "Instantiating RoboFocus object", "Freeing RoboFocus object") {}

TRFFocusControl::~TRFFocusControl() { EndLink(); }

std::array<char, kRfFrameLength> TRFFocusControl::Frame(std::string_view command) {
    std::array<char, kRfFrameLength> f{};
    unsigned sum = 0;
    for (std::size_t i = 0; i < kRfFrameLength - 1; ++i) {
        const char c = i < command.size() ? command[i] : '0';
        f[i] = c;
        sum += static_cast<unsigned char>(c);
    }
    f[kRfFrameLength - 1] = static_cast<char>(sum % 256);
    return f;
}

void TRFFocusControl::Handshake() {
    Pause(kRfOpenSettleMs);
    ResetPosition();
}

void TRFFocusControl::SendFrame(std::string_view command) {
    std::array<char, kRfFrameLength> f = Frame(command);
    {
        std::lock_guard lock(mutex_);
        frame_ = f;
    }
    if (Link().OutputFree() >= kRfFrameLength) (void)Link().WriteBlock(f.data(), f.size());
    if (LogCommands()) PostLogText("TX:  " + std::string(f.data(), f.size()), kComLog);
    Pause(kRfFrameGapMs);
}

void TRFFocusControl::SendGoTo(std::int64_t destination) {
    char text[16];
    std::snprintf(text, sizeof text, "FG0%.5u", static_cast<unsigned>(destination));
    SendFrame(text);
}

void TRFFocusControl::StartMove(bool inward, bool) {
    if (ReverseDir()) inward = !inward;
    if (inward) {
        SendFrame("FG000001");
        SetLastDirection(true);
    } else {
        const std::int32_t limit = maxTravel_.load();
        SendGoTo(limit > 0 ? std::min(limit, kRfMaxFramedPosition) : kRfMaxFramedPosition);
        SetLastDirection(false);
    }
}

void TRFFocusControl::StopMove() {
    NoteHalt();
    {
        std::lock_guard lock(mutex_);
        reply_.clear();
    }
    (void)Link().WriteString(std::string(kRfStopCharacters, 'V'));
    fIdle_.store(true);
    DoIdleChange();
    if (LogCommands()) PostLogText("TX:  Stop Command", kComLog);
}

bool TRFFocusControl::AwaitOpeningReplies() {
    if (opening_.load() && paced_.load()) {
        (void)SleepFor(Clock(), kRfOpeningWaitMs, [this] { return Ending() || !opening_.load(); });
    }
    return !firstPosition_.load();
}

void TRFFocusControl::MoveBy(std::int32_t steps) {
    MoveStarted();
    generalDelay_->Reset();
    if (steps == 0) {
        if (!firstPosition_.load()) generalDelay_->Set();
        return;
    }
    if (!AwaitOpeningReplies()) {
        // Computed from an unknown position the go-to would drive the focuser
        // toward one end of its travel.
        TellUserLater("RoboFocus move of " + std::to_string(steps) +
                      " steps refused: the focuser has not reported its position");
        generalDelay_->Set();
        return;
    }
    const std::int64_t current = currentCount_.load();
    std::int64_t destination = current + static_cast<std::int64_t>(Sense()) * steps;
    // "FG000000" asks for the position instead of going to 0, and the argument
    // holds five digits: a destination outside 1 .. travel limit goes to the
    // nearest end instead.
    const std::int32_t limit = maxTravel_.load();
    const std::int64_t high = limit > 0 ? std::min(limit, kRfMaxFramedPosition) : kRfMaxFramedPosition;
    destination = std::clamp<std::int64_t>(destination, 1, high);
    if (destination == current) {
        // Already at the nearest end: nothing to move, the move ends here.
        generalDelay_->Set();
        return;
    }
    fIdle_.store(false);
    DoIdleChange();
    SendGoTo(destination);
}

void TRFFocusControl::ResetPosition() {
    Pause(kRfResetSettleMs);
    {
        std::lock_guard lock(mutex_);
        reply_.clear();
        ctsCount_.store(0);
        firstPosition_.store(true);
        opening_.store(true);
    }
    DoCTSChange(0, false);
    generalDelay_->Reset();
    SendFrame("FG000000");
}

void TRFFocusControl::FocusCommand(const std::string& command) {
    if (command.size() != kRfFrameLength - 1) {
        WriteProgramLog("RoboFocus command refused (not eight characters): " + Printable(command));
        return;
    }
    SendFrame(command);
}

// ---------------------------------------------------------------- receive path

void TRFFocusControl::ReceiveChars(std::string_view chars) {
    std::lock_guard lock(mutex_);
    for (char c : chars) {
        if (c != 'I' && c != 'O') reply_ += c;
    }
    if (!reply_.empty()) ParseReplies();
}

void TRFFocusControl::Trigger(char c) {
    const bool inward = c == 'I';
    const int delta = inward ? -Sense() : Sense();
    std::int32_t count = 0;
    {
        std::lock_guard lock(mutex_);
        reply_.clear();
        count = ctsCount_.fetch_add(delta) + delta;
    }
    DoCTSChange(count, inward);
}

void TRFFocusControl::ParseReplies() {
    // mutex_ held. A frame is believed only when it starts with "F", its
    // argument is digits where a number is expected and its checksum matches;
    // anything else is dropped up to the next "F".
    while (reply_.size() >= kRfFrameLength) {
        const std::string candidate = reply_.substr(0, kRfFrameLength);
        const auto f = Frame(std::string_view(candidate).substr(0, kRfFrameLength - 1));
        const bool numeric = candidate[1] == 'D' || candidate[1] == 'L';
        const bool ok = candidate[0] == 'F' && f.back() == candidate.back() &&
                        (!numeric || AllDigits(std::string_view(candidate).substr(3, 5)));
        if (ok) {
            reply_.erase(0, kRfFrameLength);
            if (LogCommands()) PostLogText("-- RX:  " + candidate, kComLog);
            HandleReply(candidate);
            continue;
        }
        std::size_t next = reply_.find('F', 1);
        if (next == std::string::npos) next = reply_.size();
        const std::string dropped = reply_.substr(0, next);
        reply_.erase(0, next);
        rejected_.fetch_add(1);
        if (LogCommands()) PostLogText("-- RX:  " + dropped, kComLog);
        WriteProgramLog("RoboFocus reply rejected (bad frame or checksum): " + Printable(dropped));
    }
}

void TRFFocusControl::HandleReply(const std::string& reply) {
    switch (reply[1]) {
    case 'D': {
        bool done = true;
        fIdle_.store(true);
        const std::int32_t current = DigitsValue(std::string_view(reply).substr(3, 5));
        currentCount_.store(current);
        if (firstPosition_.load()) {
            startCount_.store(TakeZero(current));
            firstPosition_.store(false);
            SendFrame("FL000000");
            done = false;
        }
        const std::int32_t count = Sense() * (current - startCount_.load());
        if (ctsCount_.load() != count) {
            ctsCount_.store(count);
            DoCTSChange(count, false);
        }
        if (done) {
            // Reported before the waiter is released, so a move it starts next
            // cannot be overtaken by this move's idle report.
            DoIdleChange();
            generalDelay_->Set();
        }
        break;
    }
    case 'L':
        maxTravel_.store(DigitsValue(std::string_view(reply).substr(3, 5)));
        SendFrame("FV000000");
        break;
    case 'V':
        firmWareVersion_ = reply.substr(2, 6);
        SendFrame("FC000000");
        break;
    case 'C':
        opening_.store(false);
        break;
    default:
        break;
    }
}

}  // namespace kv
