#include "focuser/position_focus_control.h"

#include <algorithm>
#include <exception>

#include "shell/diagnostics.h"
#include "shell/log_channel.h"

namespace kv {

TPositionFocusControl::TPositionFocusControl(IDialogs& dialogs, IClock& clock, int baud, std::string triggers,
                                             std::string createdTrace, std::string freedTrace)
    : TFocusControl(dialogs, clock), generalDelay_(OpenNamedEvent(kGeneralDelayEvent)),
      port_(std::make_unique<TBufferedPort>()), triggerChars_(std::move(triggers)),
      freedTrace_(std::move(freedTrace)) {
    SetQuorvelEnable(false);
    TraceDiag(createdTrace);
    SerialSettings settings;
    settings.baud = baud;
    settings.discardNul = false;
    port_->SetSettings(settings);
    port_->SetOnReceive([this](std::string_view chars) {
        if (!Ending()) ReceiveChars(chars);
    });
    port_->SetOnTrigger([this](int handle) { OnTriggerHandle(handle); });
    port_->SetOnLost([this] {
        if (Ending()) return;
        // Nothing more can reach the focuser: whoever follows the move must
        // learn that it is lost, not wait for a position that never comes.
        portOpen_.store(false);
        TellUserLater("The focuser on COM" + std::to_string(ComPort()) + " (" + port_->Device() +
                      ") stopped answering (the device hung up); the focuser move was cancelled.");
    });
}

TPositionFocusControl::~TPositionFocusControl() {
    EndLink();  // a no-op when the driver's destructor has done it
    port_.reset();
    TraceDiag(freedTrace_);
    Shutdown();
}

void TPositionFocusControl::EndLink() {
    if (ending_.exchange(true)) return;
    StopStallWatch();
    port_->DiscardInput();
    LeaveLink();
    ClosePort();
}

std::string TPositionFocusControl::FirmWareVersion() const {
    std::lock_guard lock(mutex_);
    return firmWareVersion_;
}

void TPositionFocusControl::Pause(int ms) {
    if (paced_.load()) (void)SleepFor(Clock(), ms, [this] { return Ending(); });
}

void TPositionFocusControl::TellUserLater(const std::string& text) {
    WriteProgramLog(text);
    Dialogs().Defer(DeferredMessage{text, DialogType::Error, DialogButtons::Ok});
}

void TPositionFocusControl::RemoveTriggers() {
    std::vector<std::pair<int, char>> old;
    {
        std::lock_guard lock(triggersMutex_);
        old.swap(triggers_);
    }
    for (const auto& t : old) port_->RemoveDataTrigger(t.first);
}

void TPositionFocusControl::OnTriggerHandle(int handle) {
    if (Ending()) return;
    char c = 0;
    {
        std::lock_guard lock(triggersMutex_);
        for (const auto& t : triggers_) {
            if (t.first == handle) c = t.second;
        }
    }
    if (c != 0) Trigger(c);
}

void TPositionFocusControl::ReceiveBytes(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size() && !Ending(); ++i) {
        ReceiveChars(bytes.substr(i, 1));
        if (triggerChars_.find(bytes[i]) != std::string::npos) Trigger(bytes[i]);
    }
}

void TPositionFocusControl::SetComPort(int value) {
    LeaveLink();
    TFocusControl::SetComPort(value);  // closes through ClosePort
}

void TPositionFocusControl::ClosePort() {
    RemoveTriggers();
    port_->Close();
    portOpen_.store(false);
}

void TPositionFocusControl::SetCancelMovementFlag(bool) {}

bool TPositionFocusControl::GetIdle() const { return fIdle_.load(); }

void TPositionFocusControl::DoIdleChange() {
    if (Ending()) return;
    RaiseIdleChange(fIdle_.load());
}

bool TPositionFocusControl::OpenPort() {
    ClosePort();
    const int com = ComPort();
    const std::optional<std::string> chosen = ChosenPortDevice();
    if (!chosen || chosen->empty()) {
        SetOpenFailure({}, "no device is set for COM" + std::to_string(com));
        return false;
    }
    const std::string& device = *chosen;
    port_->SetDevice(device);
    port_->SetFactory(PortFactory());
    if (!port_->Open()) {
        SetOpenFailure(device, port_->OpenError());
        WriteProgramLog("Could not open " + device + " for COM" + std::to_string(com) + ": " + port_->OpenError());
        return false;
    }
    SetOpenFailure({}, {});
    portOpen_.store(true);
    {
        std::lock_guard lock(triggersMutex_);
        for (char c : triggerChars_) triggers_.emplace_back(port_->AddDataTrigger(c), c);
    }
    Handshake();
    return true;
}

PositionHandover TPositionFocusControl::Handover() const {
    std::lock_guard lock(mutex_);
    if (firstPosition_.load()) return {CTSCount(), takeoverZero_};
    return {CTSCount(), startCount_.load()};
}

void TPositionFocusControl::TakeOver(const PositionHandover& from) {
    if (!from.zero) return;  // nothing known: the focuser's own position is the new 0
    std::lock_guard lock(mutex_);
    if (firstPosition_.load()) {
        takeoverZero_ = from.zero;  // taken by the first position reply
        return;
    }
    startCount_.store(*from.zero);
    const std::int32_t count = CountFrom(currentCount_.load(), *from.zero);
    ctsCount_.store(count);
    DoCTSChange(count, false);
}

void TPositionFocusControl::MoveTo(std::int32_t position) {
    MoveBy(static_cast<std::int32_t>(
        std::clamp<std::int64_t>(static_cast<std::int64_t>(position) - CTSCount(), INT32_MIN, INT32_MAX)));
}

}  // namespace kv
