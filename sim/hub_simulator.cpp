#include "sim/hub_simulator.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "sim/observatory.h"
#include "sim/sim_port.h"

namespace kvsim {

namespace {

// An LX-200 command longer than this without its '#' is noise.
constexpr std::size_t kMaxLx200Length = 16;
// The hub thread never sleeps longer than this, so parameter changes and the
// watchdog take effect promptly even without a wake-up.
constexpr auto kMaxSleep = std::chrono::milliseconds(20);

std::string FiveDigits(int v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%05d", v);
    return buf;
}

bool AllDigits(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

// ---------------------------------------------------------------- protocol

void HubProtocol::Feed(std::string_view bytes, std::vector<std::string>& commands) {
    pending_.append(bytes);
    std::size_t i = 0;
    while (i < pending_.size()) {
        const char c = pending_[i];
        const std::size_t avail = pending_.size() - i;
        if (c == '5') {
            commands.emplace_back("5");
            ++i;
        } else if (c == ':') {
            const std::size_t end = pending_.find('#', i);
            if (end == std::string::npos || end - i >= kMaxLx200Length) {
                if (avail < kMaxLx200Length) break;  // may still be completed
                ++i;
                continue;
            }
            commands.push_back(pending_.substr(i, end - i + 1));
            i = end + 1;
        } else if (c == 'K') {
            const std::size_t prefix = std::min<std::size_t>(avail, 3);
            if (pending_.compare(i, prefix, "KTR", prefix) != 0) {
                ++i;
            } else if (avail < kHubReplyLength + 1) {
                break;  // wait for the rest and the carriage return
            } else if (pending_[i + kHubReplyLength] == '\r') {
                commands.push_back(pending_.substr(i, kHubReplyLength));
                i += kHubReplyLength + 1;
            } else {
                ++i;  // not terminated: not a request
            }
        } else {
            ++i;  // line ends and noise
        }
    }
    pending_.erase(0, i);
}

std::string HubProtocol::Answer(const std::string& request, double temperatureC) {
    if (!temperatureUnit || fault == HubFault::NeverAnswer) return {};
    if (request.size() != kHubReplyLength || request.compare(0, 3, "KTR") != 0) return {};
    if (fault == HubFault::AnswerSecondTry) {
        if (lastIgnored_ != request) {
            lastIgnored_ = request;
            return {};
        }
        lastIgnored_.clear();
    }
    const std::string code = request.substr(3, 2);
    const std::string arg = request.substr(5, 5);
    std::string reply;
    if (code == "00") {
        std::string fw = firmware;
        fw.resize(5, ' ');
        reply = "KTR01" + fw;
    } else if (code == "02") {
        reply = "KTR03YES!!";
    } else if (code == "04") {
        reply = "KTR05" + FiveDigits(offset);
    } else if (code == "06") {
        if (fault != HubFault::RefuseOffset && AllDigits(arg)) {
            const int v = std::stoi(arg);
            if (v >= kHubOffsetMin && v <= kHubOffsetMax) offset = v;
        }
        reply = "KTR07" + FiveDigits(offset);
    } else if (code == "08") {
        const double t = std::clamp(temperatureC + (offset - kHubOffsetZero), -99.9, 99.9);
        char buf[16];
        std::snprintf(buf, sizeof buf, "%+05.1f", t);
        reply = std::string("KTR09") + buf;
    } else {
        return {};  // unknown request: the hub says nothing
    }
    switch (fault) {
    case HubFault::NineBytesThenSilent:
        reply.resize(kHubReplyLength - 1);
        break;
    case HubFault::BadPayload:
        reply = reply.substr(0, 5) + "?x?x?";
        break;
    case HubFault::Garbage:
        reply = "\x15#garbage\x7f";
        break;
    default:
        break;
    }
    return reply;
}

// ---------------------------------------------------------------- the port

class HubPort final : public SimulatedSerialPort {
public:
    HubPort(std::string device, std::shared_ptr<HubSimulator> hub)
        : SimulatedSerialPort(std::move(device)), hub_(std::move(hub)) {}
    ~HubPort() override { Close(); }
    HubPort(const HubPort&) = delete;
    HubPort& operator=(const HubPort&) = delete;

protected:
    bool OnOpen(const kv::SerialSettings& /*settings*/) override { return hub_->Attach(this); }
    void OnClose() override { hub_->Detach(this); }
    void OnReceived(std::string_view bytes) override { hub_->Received(bytes); }
    void OnLinesChanged(bool rts, bool dtr) override { hub_->LinesChanged(rts, dtr); }

private:
    std::shared_ptr<HubSimulator> hub_;
};

// ---------------------------------------------------------------- the hub

HubSimulator::HubSimulator(std::string name)
    : name_(std::move(name)), created_(Clock::now()), rng_(params_.seed) {
    lastAdvance_ = created_;
    lastHeard_ = created_;
    thread_ = std::thread([this] { ThreadMain(); });
}

HubSimulator::~HubSimulator() {
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    cv_.notify_all();
    thread_.join();
}

void HubSimulator::SetParameters(const HubParameters& p) {
    std::lock_guard lock(mutex_);
    AdvanceLocked(Clock::now());  // what has run so far ran at the old speed
    if (p.seed != params_.seed) rng_.seed(p.seed);
    params_ = p;
    protocol_.temperatureUnit = p.temperatureUnit;
    protocol_.firmware = p.firmware;
    cv_.notify_all();
}

HubParameters HubSimulator::Parameters() const {
    std::lock_guard lock(mutex_);
    return params_;
}

void HubSimulator::SetFault(HubFault f) {
    std::lock_guard lock(mutex_);
    protocol_.fault = f;
}

HubFault HubSimulator::Fault() const {
    std::lock_guard lock(mutex_);
    return protocol_.fault;
}

void HubSimulator::SetVanished(bool vanished) {
    std::lock_guard lock(mutex_);
    SetVanishedLocked(vanished);
}

void HubSimulator::SetVanishedLocked(bool vanished) {
    vanished_ = vanished;
    if (vanished) {
        SwitchOffLocked(Clock::now());  // no power, no motor
        outbox_.clear();
    }
    if (port_ != nullptr) port_->DeviceSetVanished(vanished);
    cv_.notify_all();
}

void HubSimulator::HoldReader(bool held) {
    std::lock_guard lock(mutex_);
    if (port_ != nullptr) port_->DeviceHoldReader(held);
}

int HubSimulator::Offset() const {
    std::lock_guard lock(mutex_);
    return protocol_.offset;
}

void HubSimulator::SetOffset(int registerValue) {
    std::lock_guard lock(mutex_);
    protocol_.offset = registerValue;
}

std::unique_ptr<kv::ISerialPort> HubSimulator::CreatePort(const std::string& device) {
    return std::make_unique<HubPort>(device, shared_from_this());
}

bool HubSimulator::PortOpen() const {
    std::lock_guard lock(mutex_);
    return port_ != nullptr;
}

MotorState HubSimulator::State() const {
    std::lock_guard lock(mutex_);
    return state_;
}

int HubSimulator::Direction() const {
    std::lock_guard lock(mutex_);
    return state_ == MotorState::Off ? 0 : direction_;
}

bool HubSimulator::FastSpeed() const {
    std::lock_guard lock(mutex_);
    return fast_;
}

std::int64_t HubSimulator::EncoderCount() const {
    std::lock_guard lock(mutex_);
    return count_;
}

bool HubSimulator::WaitUntilStopped(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return stateCv_.wait_for(lock, timeout, [&] { return state_ == MotorState::Off; });
}

bool HubSimulator::WaitForCount(std::int64_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    const bool up = count_ <= count;
    return stateCv_.wait_for(lock, timeout, [&] { return up ? count_ >= count : count_ <= count; });
}

std::uint64_t HubSimulator::KeepAlives() const {
    std::lock_guard lock(mutex_);
    return keepAlives_;
}

bool HubSimulator::KeepAliveLost() const {
    std::lock_guard lock(mutex_);
    return keepAliveLost_;
}

std::vector<HubRecordEntry> HubSimulator::Record() const {
    std::lock_guard lock(mutex_);
    return record_;
}

void HubSimulator::ClearRecord() {
    std::lock_guard lock(mutex_);
    record_.clear();
    commands_.clear();
}

std::string HubSimulator::ReceivedBytes() const {
    std::lock_guard lock(mutex_);
    std::string all;
    for (const auto& e : record_) {
        if (e.kind == HubRecordEntry::Kind::Bytes) all += e.bytes;
    }
    return all;
}

std::vector<std::string> HubSimulator::Commands() const {
    std::lock_guard lock(mutex_);
    return commands_;
}

double HubSimulator::NowMs() const {
    return std::chrono::duration<double, std::milli>(Clock::now() - created_).count();
}

bool HubSimulator::Attach(SimulatedSerialPort* port) {
    std::lock_guard lock(mutex_);
    if (vanished_ || port_ != nullptr) return false;
    port_ = port;
    port_->DeviceSetVanished(false);  // it may have seen this hub vanish before
    rts_ = false;
    dtr_ = false;
    outbox_.clear();
    protocol_.ClearPending();
    lastHeard_ = Clock::now();
    keepAliveLost_ = false;
    // The encoder lines keep their level whoever listens.
    port_->DeviceSetLines(cts_, dsr_);
    return true;
}

void HubSimulator::Detach(SimulatedSerialPort* port) {
    std::lock_guard lock(mutex_);
    if (port_ != port) return;
    port_ = nullptr;
    outbox_.clear();
}

void HubSimulator::Received(std::string_view bytes) {
    std::lock_guard lock(mutex_);
    const Clock::time_point now = Clock::now();
    record_.push_back({HubRecordEntry::Kind::Bytes, NowMs(), std::string(bytes), rts_, dtr_});
    lastHeard_ = now;
    keepAliveLost_ = false;
    std::vector<std::string> commands;
    protocol_.Feed(bytes, commands);
    for (const auto& c : commands) HandleCommandLocked(c, now);
    cv_.notify_all();
}

void HubSimulator::LinesChanged(bool rts, bool dtr) {
    std::lock_guard lock(mutex_);
    const Clock::time_point now = Clock::now();
    record_.push_back({HubRecordEntry::Kind::Lines, NowMs(), {}, rts, dtr});
    const bool rtsRose = rts && !rts_;
    const bool rtsFell = !rts && rts_;
    const bool dtrChanged = dtr != dtr_;
    rts_ = rts;
    dtr_ = dtr;
    if (rtsRose || (rts && dtrChanged)) {
        SwitchOnLocked(dtr ? +1 : -1, now);
    } else if (rtsFell) {
        SwitchOffLocked(now);
    }
    cv_.notify_all();
}

void HubSimulator::HandleCommandLocked(const std::string& command, Clock::time_point now) {
    if (command == "5") {
        ++keepAlives_;
        return;
    }
    commands_.push_back(command);
    if (command == ":F-#") {
        SwitchOnLocked(+1, now);
    } else if (command == ":F+#") {
        SwitchOnLocked(-1, now);
    } else if (command == ":FQ#") {
        SwitchOffLocked(now);
    } else if (command == ":FS#" || command == ":FF#") {
        AdvanceLocked(now);
        fast_ = command == ":FF#";
    } else if (command.compare(0, 3, "KTR") == 0) {
        double t = Observatory::Instance().TemperatureC();
        if (params_.temperatureNoiseC > 0) {
            t += std::normal_distribution<double>(0.0, params_.temperatureNoiseC)(rng_);
        }
        std::string reply = protocol_.Answer(command, t);
        if (!reply.empty()) {
            const auto delay = std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double, std::milli>(std::max(0.0, params_.replyDelayMs)));
            outbox_.push_back({now + delay, std::move(reply)});
        }
    }
}

double HubSimulator::SpeedLocked() const {
    const double base = fast_ ? params_.fastSpeed : params_.slowSpeed;
    return std::max(0.0, base * speedFactor_ * params_.timeScale);
}

void HubSimulator::SwitchOnLocked(int direction, Clock::time_point now) {
    AdvanceLocked(now);
    if (params_.reversed) direction = -direction;
    if (vanished_) return;
    if (direction == direction_ && (state_ == MotorState::Starting || state_ == MotorState::Running)) return;
    if (direction == direction_ && state_ == MotorState::Coasting) {
        state_ = MotorState::Running;  // still turning: no lag
        return;
    }
    direction_ = direction;
    state_ = MotorState::Starting;
    phaseStart_ = now;
    runMoved_ = 0.0;
    coastLeft_ = 0.0;
    speedFactor_ = 1.0;
    if (params_.speedNoise > 0) {
        speedFactor_ += std::uniform_real_distribution<double>(-params_.speedNoise, params_.speedNoise)(rng_);
    }
    stateCv_.notify_all();
}

void HubSimulator::SwitchOffLocked(Clock::time_point now) {
    AdvanceLocked(now);
    if (state_ == MotorState::Starting) {
        state_ = MotorState::Off;
    } else if (state_ == MotorState::Running) {
        coastLeft_ = std::min(std::max(0.0, params_.coastCounts), runMoved_);
        state_ = coastLeft_ > 0 ? MotorState::Coasting : MotorState::Off;
    }
    if (state_ == MotorState::Off) direction_ = 0;
    stateCv_.notify_all();
}

void HubSimulator::AdvanceLocked(Clock::time_point now) {
    Clock::time_point from = lastAdvance_;
    lastAdvance_ = now;
    if (state_ == MotorState::Starting) {
        const auto lagEnd = phaseStart_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(
                                              std::max(0.0, params_.startLagMs) / params_.timeScale));
        if (now < lagEnd) return;
        state_ = MotorState::Running;
        from = std::max(from, lagEnd);
    }
    if (state_ != MotorState::Running && state_ != MotorState::Coasting) return;
    if (now <= from) return;
    double distance = SpeedLocked() * std::chrono::duration<double>(now - from).count();
    if (state_ == MotorState::Coasting) {
        distance = std::min(distance, coastLeft_);
        coastLeft_ -= distance;
    } else {
        runMoved_ += distance;
    }
    const double target = shaft_ + direction_ * distance;
    const auto whole = static_cast<std::int64_t>(std::floor(target));
    while (count_ < whole) StepLocked(+1);
    while (count_ > whole) StepLocked(-1);
    shaft_ = target;
    if (params_.unplugAfterCounts > 0 && runMoved_ >= params_.unplugAfterCounts && !vanished_) {
        SetVanishedLocked(true);
        return;
    }
    if (state_ == MotorState::Coasting && coastLeft_ <= 1e-9) {
        state_ = MotorState::Off;
        direction_ = 0;
        stateCv_.notify_all();
    }
}

void HubSimulator::StepLocked(int direction) {
    count_ += direction;
    Observatory::Instance().MoveDrive(direction);
    const bool in = direction > 0;
    auto emit = [this](bool cts, bool dsr) {
        cts_ = cts;
        dsr_ = dsr;
        if (port_ != nullptr) port_->DeviceSetLines(cts, dsr);
    };
    if (params_.dualSense) {
        // One edge per count; DSR as the quadrature partner of CTS.
        const bool rise = !cts_;
        emit(rise, rise ? !in : in);
    } else {
        // One full pulse per count; DSR carries the direction.
        if (cts_) emit(false, dsr_);  // left high by the other mode
        emit(true, !in);
        emit(false, !in);
    }
    stateCv_.notify_all();
}

HubSimulator::Clock::time_point HubSimulator::NextWakeLocked(Clock::time_point now) const {
    Clock::time_point next = now + kMaxSleep;
    if (!outbox_.empty()) next = std::min(next, outbox_.front().due);
    if (state_ == MotorState::Starting) {
        next = std::min(next, phaseStart_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(
                                                std::max(0.0, params_.startLagMs) / params_.timeScale)));
    } else if (state_ == MotorState::Running || state_ == MotorState::Coasting) {
        const double speed = SpeedLocked();
        if (speed > 0) {
            double toCrossing = direction_ > 0 ? static_cast<double>(count_ + 1) - shaft_ : shaft_ - static_cast<double>(count_);
            if (toCrossing <= 0) toCrossing = 1e-6;
            if (state_ == MotorState::Coasting) toCrossing = std::min(toCrossing, coastLeft_);
            // A hair past the crossing, so the next advance does cross it.
            const double seconds = toCrossing / speed + 20e-6;
            next = std::min(next, now + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)));
        }
    }
    if (params_.keepAliveTimeoutMs > 0 && state_ != MotorState::Off && !keepAliveLost_) {
        next = std::min(next, lastHeard_ + std::chrono::duration_cast<Clock::duration>(
                                               std::chrono::duration<double, std::milli>(params_.keepAliveTimeoutMs)));
    }
    return next;
}

void HubSimulator::ThreadMain() {
    std::unique_lock lock(mutex_);
    while (!quit_) {
        const Clock::time_point now = Clock::now();
        AdvanceLocked(now);
        if (params_.keepAliveTimeoutMs > 0 && state_ != MotorState::Off && !keepAliveLost_ &&
            now - lastHeard_ >= std::chrono::duration<double, std::milli>(params_.keepAliveTimeoutMs)) {
            keepAliveLost_ = true;
            SwitchOffLocked(now);
        }
        while (!outbox_.empty() && outbox_.front().due <= now) {
            if (port_ != nullptr) port_->DeviceSend(outbox_.front().bytes);
            outbox_.pop_front();
        }
        cv_.wait_until(lock, NextWakeLocked(now));
    }
}

}  // namespace kvsim
