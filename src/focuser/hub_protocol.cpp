// The hub unit's temperature protocol.
//
// Every message is "KTR", a two-digit code (even from the PC, the next odd one
// back from the hub) and a five-character payload. A request ends with CR; a
// reply is exactly ten characters and is read with a one-second bounded read.
// Replies whose payload is not a number count as no reply: they never reach
// the caller as an error.
#include <charconv>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string_view>

#include "focuser/focus_control.h"
#include "shell/log_channel.h"

namespace kv {

namespace {

constexpr const char* kFirmwareRequest = "KTR00?????";
constexpr const char* kFirmwareReply = "KTR01";
constexpr const char* kAvailRequest = "KTR02?????";
constexpr const char* kAvailYes = "KTR03YES!!";
constexpr const char* kGetCalRequest = "KTR04?????";
constexpr const char* kGetCalReply = "KTR05";
constexpr const char* kSetCalRequest = "KTR06";
constexpr const char* kSetCalReply = "KTR07";
constexpr const char* kTemperatureRequest = "KTR08?????";
constexpr const char* kTemperatureReply = "KTR09";
constexpr std::size_t kCodeLength = 5;
constexpr int kLargestCal = 99999;  // five digits

std::string_view Payload(const std::string& reply) {
    return std::string_view(reply).substr(std::min(reply.size(), kCodeLength));
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

std::optional<int> ParseInt(std::string_view text) {
    text = Trim(text);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    int value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<double> ParseDecimal(std::string_view text) {
    text = Trim(text);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    double value = 0.0;
    const auto [end, ec] =
        std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::string TFocusControl::HubExchange(const std::string& request, int waitMs) {
    SleepFor(Clock(), waitMs + kPurgeSettleMs);
    std::lock_guard lock(commMutex_);
    const std::shared_ptr<ISerialPort> port = Port();
    if (!port || !portOpen_.load()) return {};
    port->Purge();
    if (logCommands_.load()) PostLogText(request, kComLog);
    if (!port->Write(request + "\r", kSerialWriteTimeout)) return {};
    return port->ReadExactly(kHubReplyLength, kSerialReadTimeout);
}

std::string TFocusControl::GetTCFirmwareVersion() {
    const std::string reply = HubExchange(kFirmwareRequest, 0);
    std::string version = kFirmwareUnknownText;
    if (reply.size() == kHubReplyLength && reply.find(kFirmwareReply) != std::string::npos) {
        version = reply.substr(5, 2) + "." + reply.substr(7, 1) + "." + reply.substr(8, 2);
    }
    std::lock_guard lock(settingsMutex_);
    tcFirmwareVersion_ = version;
    return version;
}

bool TFocusControl::GetTCAvail() {
    const bool before = tcAvail_.load();
    bool avail = HubExchange(kAvailRequest, kAvailFirstWaitMs) == kAvailYes;
    if (!avail) avail = HubExchange(kAvailRequest, kAvailRetryWaitMs) == kAvailYes;
    tcAvail_.store(avail);
    if (avail != before) DoAvailChange();
    if (!avail) ClearTempHistory();
    return avail;
}

int TFocusControl::GetTCCal() {
    if (!GetTCAvail()) return tcCal_.load();
    const std::string reply = HubExchange(kGetCalRequest, kHubQueryWaitMs);
    if (reply.rfind(kGetCalReply, 0) == 0) {
        if (const auto value = ParseInt(Payload(reply))) {
            tcCal_.store(*value);
        } else {
            WriteProgramLog("Unreadable calibration reply from the hub: " + reply);
        }
    }
    return tcCal_.load();
}

HubResult TFocusControl::SetTCCal(int value) {
    if (!GetTCAvail()) return HubResult::Unavailable;
    const int before = tcCal_.load();
    // The register is five digits on the wire; anything else would be a
    // malformed request, so it is refused before sending.
    if (value >= 0 && value <= kLargestCal) {
        char payload[16];
        std::snprintf(payload, sizeof payload, "%5.5d", value);
        const std::string reply = HubExchange(std::string(kSetCalRequest) + payload, kHubQueryWaitMs);
        // Only the hub's echo confirms: a silent hub must not pass just because
        // the register already held the value.
        if (reply.rfind(kSetCalReply, 0) == 0) {
            const auto echoed = ParseInt(Payload(reply));
            if (echoed && *echoed == value) {
                tcCal_.store(value);
                return HubResult::Ok;
            }
        }
    }
    tcCal_.store(before);
    WriteProgramLog(kSetCalFailedText);
    return HubResult::Failed;
}

double TFocusControl::GetTemperature() {
    double result = kNoTemperature;
    if (GetTCAvail()) {
        const std::string reply = HubExchange(kTemperatureRequest, kHubQueryWaitMs);
        if (reply.rfind(kTemperatureReply, 0) == 0) {
            if (const auto value = ParseDecimal(Payload(reply))) {
                result = *value;
            } else {
                WriteProgramLog("Unreadable temperature reply from the hub: " + reply);
            }
        }
    }
    AddTemperature(result);
    return result;
}

}  // namespace kv
