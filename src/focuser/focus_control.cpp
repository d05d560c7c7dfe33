#include "focuser/focus_control.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <limits>

#include "focuser/cts_thread.h"
#include "focuser/end_move_thread.h"
#include "focuser/move_it_thread.h"
#include "focuser/nudge_thread.h"
#include "shell/diagnostics.h"
#include "shell/log_channel.h"

namespace kv {

namespace {

thread_local const TFocuserThread* tlsCurrentThread = nullptr;

std::string DefaultDevice(int comPort) { return "/dev/ttyS" + std::to_string(comPort - 1); }

// Asks every thread first and then joins, so they wind down together.
void StopAndJoin(std::vector<std::unique_ptr<TFocuserThread>>& threads) {
    for (auto& t : threads) {
        t->RequestStop();
        t->Release();
    }
    for (auto& t : threads) t->Join();
    threads.clear();
}

std::int32_t ClampToCount(std::int64_t v) {
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(v, std::numeric_limits<std::int32_t>::min(),
                                                              std::numeric_limits<std::int32_t>::max()));
}

}  // namespace

// ---------------------------------------------------------------- TFocuserThread

TFocuserThread::TFocuserThread(TFocusControl& owner, std::uint64_t generation, ThreadPriority priority)
    : owner_(owner), generation_(generation), worker_(
                                                  [this](WorkerThread&) {
                                                      tlsCurrentThread = this;
                                                      Run();
                                                      tlsCurrentThread = nullptr;
                                                  },
                                                  priority) {}

const TFocuserThread* TFocuserThread::Current() { return tlsCurrentThread; }

TFocuserThread::~TFocuserThread() { StopAndJoin(); }

void TFocuserThread::StopAndJoin() {
    worker_.RequestStop();
    worker_.Release();
    worker_.Join();
}

bool TFocuserThread::Superseded() const { return owner_.Superseded(generation_); }

bool TFocuserThread::Stopping() const { return worker_.StopRequested() || Superseded(); }

std::optional<WaitResult> TFocuserThread::WaitFor(NamedEvent& event, int timeoutMs, const StopFn& alsoEndWhen) {
    return WaitForEvent(event, timeoutMs, owner_.clock_,
                        [&] { return Stopping() || (alsoEndWhen && alsoEndWhen()); });
}

bool TFocuserThread::Sleep(double ms) {
    return SleepFor(owner_.clock_, ms, [this] { return Stopping(); });
}

void TFocuserThread::ReportIdle() { owner_.ReportIdle(generation_); }

// ---------------------------------------------------------------- construction

TFocusControl::TFocusControl(IDialogs& dialogs, IClock& clock)
    : dialogs_(dialogs), clock_(clock), portResolver_(DefaultDevice), portFactory_(CreateSerialPort) {
    TraceDiag("In FocusControl Base Class constructor");
    generalDelay_ = OpenNamedEvent(kGeneralDelayEvent);
    TraceDiag("Focuser signalled objects created");
    generalDelay_->Reset();
}

TFocusControl::~TFocusControl() {
    TraceDiag("In FocusControl Base Class destructor");
    Shutdown();
}

void TFocusControl::Shutdown() {
    if (destroying_.exchange(true)) return;
    StopStallWatch();
    StopKeepAlive();

    // The move ends as a cancelled one (the motor is stopped and waiters on
    // "GENERAL_DELAY_EVENT" are released), then every thread is joined before
    // the port goes away; the counting thread last, with the port.
    TFocusControl::SetCancelMovementFlag(true);
    std::vector<std::unique_ptr<TFocuserThread>> threads;
    {
        std::lock_guard lock(threadsMutex_);
        threads.swap(moveThreads_);
        latestEndMove_ = latestMoveIt_ = latestNudge_ = nullptr;
    }
    StopAndJoin(threads);
    TFocusControl::ClosePort();
}

void TFocusControl::StartKeepAlive() {
    std::lock_guard lock(threadsMutex_);
    if (keepAlive_ || destroying_.load()) return;
    keepAlive_ = std::make_unique<WorkerThread>([this](WorkerThread& self) { KeepAliveLoop(self); });
    keepAlive_->Start();
}

void TFocusControl::StopKeepAlive() {
    std::unique_ptr<WorkerThread> keepAlive;
    {
        std::lock_guard lock(threadsMutex_);
        keepAlive = std::move(keepAlive_);
    }
    if (keepAlive) {
        keepAlive->RequestStop();
        keepAlive->Join();
    }
}

void TFocusControl::KeepAliveLoop(WorkerThread& self) {
    while (SleepFor(clock_, kKeepAliveIntervalMs, [&] { return self.StopRequested(); })) {
        if (quorvelEnable_.load() && portOpen_.load()) WriteString(kKeepAliveText);
    }
}

// ---------------------------------------------------------------- stall watch

int TFocusControl::StallLimitMs() const {
    // Long enough for a few of the slowest nudge cycles the timing settings
    // allow (a close-in pulse may end before the motor turns a count), and
    // never under a second.
    const double nudge = nudgeTime_.load();
    const double close = closeNudgeTime_.load();
    const double sleep = nudgeSleep_.load();
    const double pause = close > 0.0 ? std::max(sleep, sleep * nudge / close) : sleep;
    const double cycleMs = (std::max(nudge, close) + pause) * 1000.0;
    return std::max(kStallFloorMs, static_cast<int>(std::lround(kNudgeSettleMs + kStallCycles * cycleMs)));
}

void TFocusControl::MoveStarted() {
    moveTicket_.fetch_add(1);
    stallLimitMs_.store(StallLimitMs());
    std::lock_guard lock(threadsMutex_);
    if (stallWatch_ || stallWatchEnded_ || destroying_.load()) return;
    stallWatch_ = std::make_unique<WorkerThread>([this](WorkerThread& self) { StallWatchLoop(self); });
    stallWatch_->Start();
}

void TFocusControl::StopStallWatch() {
    std::unique_ptr<WorkerThread> watch;
    {
        std::lock_guard lock(threadsMutex_);
        stallWatchEnded_ = true;
        watch = std::move(stallWatch_);
    }
    if (watch) {
        watch->RequestStop();
        watch->Join();
    }
}

void TFocusControl::StallWatchLoop(WorkerThread& self) {
    // Progress is two counts from where the count last stood: an encoder that
    // does not match the counting rule flickers by one without getting anywhere.
    std::int32_t count = ctsCount_.load();
    std::uint64_t ticket = moveTicket_.load();
    std::int64_t since = clock_.TickMs();
    while (SleepFor(clock_, kStallPollMs, [&] { return self.StopRequested(); })) {
        const std::int64_t now = clock_.TickMs();
        // How long the count stood is measured up to the counting thread's
        // last read of the lines: on a loaded machine this watch may wake
        // while the counting thread has not yet run, and the count then only
        // seems to stand. Read first, so the count below is at least as new.
        const std::int64_t read = lineReadMs_.load();
        const std::int64_t seen = read >= 0 ? read : now;
        const std::int32_t nowCount = ctsCount_.load();
        const std::uint64_t nowTicket = moveTicket_.load();
        // Idle, held by the camera's read-out or waiting for its frame: the
        // motor is meant to stand still.
        const bool held = interruptsOff_.load() || paused_.load() || waitingForCamera_.load();
        if (std::llabs(std::int64_t{nowCount} - count) >= kStallProgressCounts || nowTicket != ticket || held ||
            GetIdle()) {
            count = nowCount;
            ticket = nowTicket;
            since = now;
            continue;
        }
        if (seen - since >= stallLimitMs_.load()) {
            StopStalledMove(seen - since);
            since = clock_.TickMs();
        }
    }
}

void TFocusControl::StopStalledMove(std::int64_t ms) {
    const std::shared_ptr<ISerialPort> port = Port();
    std::string where = "COM" + std::to_string(comPort_.load());
    if (port) where += " (" + port->Device() + ")";
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", static_cast<double>(ms) / 1000.0);
    TellUserLater("The focuser on " + where + " stayed at position " + std::to_string(ctsCount_.load()) + " for " +
                  seconds +
                  " s while it was being moved, so the motor was stopped. Check the focuser's power and cable; "
                  "for a hub focuser also check \"High Resolution Positioning\" against the encoder, and the motor "
                  "timing settings.");
    // Told first, so whoever the end of the move wakes finds the reason.
    NoteHalt();
    CancelMovement();
    StopMove();
    // The drivers that keep their own position signal nothing on a stop.
    generalDelay_->Set();
}

// ---------------------------------------------------------------- properties

void TFocusControl::SetOnCTSChange(TCTSEvent handler) { onCTSChange_.Set(std::move(handler)); }

void TFocusControl::SetOnIdleChange(TIdleEvent handler) { onIdleChange_.Set(std::move(handler)); }

void TFocusControl::SetOnAvailChange(TTCAvailChangeEvent handler) { onAvailChange_.Set(std::move(handler)); }

std::string TFocusControl::TCFirmwareVersion() const {
    std::lock_guard lock(settingsMutex_);
    return tcFirmwareVersion_;
}

void TFocusControl::SetCameraControl(CameraIdleFn cameraIdle) {
    std::lock_guard lock(settingsMutex_);
    cameraIdle_ = std::move(cameraIdle);
}

void TFocusControl::SetPortResolver(PortResolverFn resolver) {
    std::lock_guard lock(settingsMutex_);
    portResolver_ = resolver ? std::move(resolver) : PortResolverFn(DefaultDevice);
}

void TFocusControl::SetPortFactory(PortFactoryFn factory) {
    std::lock_guard lock(settingsMutex_);
    portFactory_ = factory ? std::move(factory) : PortFactoryFn(CreateSerialPort);
}

bool TFocusControl::CameraIdle() const {
    CameraIdleFn probe;
    {
        std::lock_guard lock(settingsMutex_);
        probe = cameraIdle_;
    }
    return !probe || probe();
}

void TFocusControl::SetInterruptsOff(bool value) {
    if (value) {
        HaltMotor();
        if (!nudgeDone_.load()) HoldNudging(true);
    } else {
        HoldNudging(false);
    }
    interruptsOff_.store(value);
    SleepFor(clock_, kInterruptsSettleMs);
    paused_.store(value);
}

void TFocusControl::HoldNudging(bool hold) {
    std::lock_guard lock(threadsMutex_);
    if (hold) {
        if (latestNudge_ != nullptr && !latestNudge_->Finished()) latestNudge_->Hold();
        return;
    }
    for (auto& t : moveThreads_) t->Release();
}

// ---------------------------------------------------------------- notifications

void TFocusControl::DoCTSChange(std::int32_t count, bool dsr) {
    if (!destroying_.load()) onCTSChange_(*this, count, dsr);
}

void TFocusControl::ReportIdle(std::uint64_t generation) {
    // A MoveBy called from an Idle callback may be joining this thread while
    // holding the report lock: give way as soon as that newer move exists.
    std::unique_lock lock(idleMutex_, std::defer_lock);
    while (!lock.try_lock_for(std::chrono::milliseconds(kLockRetryMs))) {
        if (Superseded(generation)) return;
    }
    if (!Superseded(generation)) DoIdleChange();
}

void TFocusControl::DoIdleChange() {
    // Compared with the value last reported, not with what a poller of GetIdle
    // saw last, so a change is never swallowed by a concurrent GetIdle.
    std::lock_guard lock(idleMutex_);
    const bool now = GetIdle();
    if (fIdle_.exchange(now) == now) return;
    if (!destroying_.load()) onIdleChange_(*this, now);
}

void TFocusControl::DoAvailChange() {
    if (!destroying_.load()) onAvailChange_(*this, tcAvail_.load());
}

void TFocusControl::TellUser(const std::string& text) {
    WriteProgramLog(text);
    dialogs_.Show(text, DialogType::Error, DialogButtons::Ok);
}

void TFocusControl::TellUserLater(const std::string& text) {
    WriteProgramLog(text);
    dialogs_.Defer(DeferredMessage{text, DialogType::Error, DialogButtons::Ok});
}

void TFocusControl::WrongWay(std::uint64_t generation) {
    // With ReverseDir not matching the wiring every command turns the motor
    // away from the target; the count would never get there and the motor
    // would run on to its end stop.
    if (WhileCurrent(generation, [this] { SetCancelMovementFlag(true); })) TellUserLater(kWrongWayText);
}

void TFocusControl::ShowWaitResult(const WaitMessages& messages, WaitResult result) {
    if (const char* text = WaitFailureText(messages, result)) TellUserLater(text);
}

// ---------------------------------------------------------------- port

std::shared_ptr<ISerialPort> TFocusControl::Port() const {
    std::lock_guard lock(portMutex_);
    return port_;
}

void TFocusControl::SetComPort(int value) {
    ClosePort();
    comPort_.store(value);
}

bool TFocusControl::OpenPort() {
    ClosePort();
    const int com = comPort_.load();
    if (com == 0) return false;

    PortResolverFn resolver;
    PortFactoryFn factory;
    {
        std::lock_guard lock(settingsMutex_);
        resolver = portResolver_;
        factory = portFactory_;
    }
    std::shared_ptr<ISerialPort> port;
    std::string device;
    try {
        device = resolver(com);
        if (device.empty()) {
            SetOpenFailure({}, "no device is set for COM" + std::to_string(com));
            return false;
        }
        port = factory(device);
        if (!port) {
            SetOpenFailure(device, "no such device");
            return false;
        }
        SerialSettings settings;
        settings.baud = 9600;
        settings.discardNul = true;
        if (!port->Open(settings)) {
            SetOpenFailure(device, port->OpenError());
            WriteProgramLog("Could not open " + device + " for COM" + std::to_string(com) + ": " + port->OpenError());
            return false;
        }
    } catch (const std::exception& e) {
        SetOpenFailure(device, e.what());
        WriteProgramLog("Could not open COM" + std::to_string(com) + ": " + e.what());
        return false;
    }
    SetOpenFailure({}, {});
    {
        std::lock_guard lock(portMutex_);
        port_ = port;
    }
    portOpen_.store(true);
    // The motor lines start off, whatever state the adapter left them in.
    for (int i = 0; i < kLineResetRepeats; ++i) {
        port->SetRts(false);
        port->SetDtr(false);
    }
    {
        std::lock_guard lock(threadsMutex_);
        lineReadMs_.store(-1);
        countReadMs_.store(-1);
        ctsThread_ = std::make_unique<TCTSThread>(*this, port);
        ctsThread_->Start();
    }
    StartKeepAlive();
    SleepFor(clock_, kOpenSettleMs);
    ResetPosition();
    return true;
}

void TFocusControl::ClosePort() {
    StopKeepAlive();
    const std::shared_ptr<ISerialPort> port = Port();
    if (!port) {
        portOpen_.store(false);
        return;
    }
    std::unique_ptr<TCTSThread> cts;
    {
        std::lock_guard lock(threadsMutex_);
        cts = std::move(ctsThread_);
    }
    if (cts) cts->RequestStop();
    port->Close();  // releases the counting thread's wait
    if (cts) cts->Join();
    lineReadMs_.store(-1);
    {
        std::lock_guard comm(commMutex_);
        std::lock_guard lock(portMutex_);
        port_.reset();
    }
    portOpen_.store(false);
}

void TFocusControl::PortLost(const std::string& why) {
    // Called by the counting thread, which ends after this. The port stays
    // until ClosePort or the next OpenPort; nothing more is written to it.
    portOpen_.store(false);
    SetCancelMovementFlag(true);
    const std::shared_ptr<ISerialPort> port = Port();
    const std::string text = "The focuser on COM" + std::to_string(comPort_.load()) +
                             (port ? " (" + port->Device() + ")" : std::string()) +
                             " stopped answering (" + why + "); the focuser move was cancelled.";
    if (destroying_.load()) {
        WriteProgramLog(text);
        return;
    }
    // This thread is about to end and ClosePort on the GUI thread may be
    // joining it right now: the message must not wait for the GUI.
    TellUserLater(text);
}

bool TFocusControl::WriteString(const std::string& text) {
    // The settling pause is taken before the lock, so a write never holds up
    // another exchange for it.
    SleepFor(clock_, kPurgeSettleMs);
    std::lock_guard lock(commMutex_);
    const std::shared_ptr<ISerialPort> port = Port();
    if (!port || !portOpen_.load()) return false;
    port->Purge();
    return port->Write(text, kSerialWriteTimeout);
}

bool TFocusControl::WriteNow(const std::string& text) {
    // No purge either: it could discard the tail of the command that started
    // the pulse, and a stop expects no reply.
    std::lock_guard lock(commMutex_);
    const std::shared_ptr<ISerialPort> port = Port();
    if (!port || !portOpen_.load()) return false;
    return port->Write(text, kSerialWriteTimeout);
}

void TFocusControl::LineOp(bool rts, bool on) {
    const std::shared_ptr<ISerialPort> port = Port();
    if (!port || !portOpen_.load()) return;
    if (rts) {
        port->SetRts(on);
    } else {
        port->SetDtr(on);
    }
}

void TFocusControl::EscapeComm(LineFunction func) {
    std::lock_guard lock(lineMutex_);
    switch (func) {
    case LineFunction::SetRts: LineOp(true, true); break;
    case LineFunction::ClrRts: LineOp(true, false); break;
    case LineFunction::SetDtr: LineOp(false, true); break;
    case LineFunction::ClrDtr: LineOp(false, false); break;
    }
}

void TFocusControl::MotorOff() {
    std::lock_guard lock(lineMutex_);
    LineOp(true, false);
}

void TFocusControl::StopMotorTwice() {
    if (useRtsDtr_.load()) {
        SendFocusCommand(kFocusStop);
    } else {
        HaltMotor();
    }
    SendFocusCommand(kFocusStop);
}

void TFocusControl::HaltMotor() {
    MotorOff();
    if (useRtsDtr_.load()) return;
    if (logCommands_.load() && portOpen_.load()) PostLogText(kFocusStop, kComLog);
    WriteNow(kFocusStop);
}

// ---------------------------------------------------------------- focus commands

void TFocusControl::SendFocusCommand(const std::string& command) {
    std::string cmd = command;
    if (reverseDir_.load()) {
        if (cmd == kFocusIn) {
            cmd = kFocusOut;
        } else if (cmd == kFocusOut) {
            cmd = kFocusIn;
        }
    }
    if (logCommands_.load() && portOpen_.load()) PostLogText(cmd, kComLog);
    if (!useRtsDtr_.load()) {
        WriteString(cmd);
        return;
    }
    // "Direct to Focuser": DTR selects the direction, RTS runs the motor. The
    // lines never wait for a text exchange: a pulse must end on time.
    std::lock_guard lock(lineMutex_);
    if (cmd == kFocusIn) {
        LineOp(false, true);
        SleepFor(clock_, kLineSwitchDelayMs);
        LineOp(true, true);
    } else if (cmd == kFocusOut) {
        LineOp(false, false);
        SleepFor(clock_, kLineSwitchDelayMs);
        LineOp(true, true);
    } else if (cmd == kFocusStop) {
        LineOp(true, false);
        // A nudge sequence keeps its direction line between pulses.
        if (nudgeDone_.load()) {
            SleepFor(clock_, kStopDtrDelayMs);
            LineOp(false, false);
        }
    }
}

void TFocusControl::FocusCommand(const std::string& command) {
    if (command == kFocusStop || command == kFocusIn || command == kFocusOut || command == kFocusSlow ||
        command == kFocusFast) {
        SendFocusCommand(command);
        return;
    }
    TellUser(kIllegalFocusCommandText);
}

void TFocusControl::StartMove(bool inward, bool /*fast*/) {
    SendFocusCommand(kFocusStop);
    SendFocusCommand(inward ? kFocusIn : kFocusOut);
    lastDirection_.store(inward);
}

void TFocusControl::StopMove() {
    NoteHalt();
    SendFocusCommand(kFocusStop);
    SendFocusCommand(kFocusStop);
}

// ---------------------------------------------------------------- moves

void TFocusControl::SetCancelMovementFlag(bool value) {
    if (value) NoteHalt();
    cancelMovementFlag_.store(value);
    endMoveCancel_.store(value);
    nudgeCancel_.store(value);
    nudgeDone_.store(true);
    moveDone_.store(true);
    // A nudger held by the read-out interlock must see the cancel now.
    if (value) HoldNudging(false);
}

bool TFocusControl::GetIdle() const { return moveDone_.load() && nudgeDone_.load(); }

void TFocusControl::CancelMovement() { SetCancelMovementFlag(true); }

void TFocusControl::ResetPosition() {
    generalDelay_->Reset();
    ctsCount_.store(0);
    DoCTSChange(0, false);
}

void TFocusControl::TakeOver(const PositionHandover& from) {
    ctsCount_.store(from.count);
    DoCTSChange(from.count, false);
}

void TFocusControl::MoveTo(std::int32_t position) {
    MoveBy(ClampToCount(std::int64_t{position} - ctsCount_.load()));
}

void TFocusControl::MoveBy(std::int32_t steps) {
    MoveStarted();
    const TFocuserThread* self = TFocuserThread::Current();
    if (self != nullptr && &self->Owner() != this) self = nullptr;
    std::unique_lock start(moveStartMutex_, std::defer_lock);
    while (!start.try_lock_for(std::chrono::milliseconds(kLockRetryMs))) {
        // Called from a callback of a move that a newer MoveBy is ending: that
        // MoveBy waits to join this thread, so this request gives way to it.
        if (self != nullptr && Superseded(self->Generation())) {
            WriteProgramLog("Focuser move of " + std::to_string(steps) +
                            " steps dropped: a newer move replaced the one that asked for it");
            return;
        }
    }
    const std::uint64_t generation = EndPreviousMove(self);
    generalDelay_->Reset();

    const std::int64_t count = ctsCount_.load();
    const std::int32_t target = ClampToCount(count + steps);
    const std::int64_t stopFactor = stopFactor_.load();
    const bool up = steps > 0;
    moveUp_.store(up);
    const std::int64_t lead = steps < 0 ? stopFactor : -stopFactor;

    if (destroying_.load() || count == target) {
        generalDelay_->Set();
        start.unlock();
        DoIdleChange();  // an ended previous move turns Idle true here
        return;
    }
    if (std::llabs(count - target) >= stopFactor + 2) {
        auto ctsEvent = std::make_shared<NamedEvent>(kCtsEventName);
        // Made before the watcher starts the move: it holds the stall watch
        // while a focus frame may still be awaited, and starting a thread
        // can take longer than the stall limit on a loaded machine.
        std::unique_ptr<TMoveItThread> moveIt =
            jmiFlag_.load() ? std::make_unique<TMoveItThread>(*this, generation, up) : nullptr;
        StartMoveThread(std::make_unique<TEndMoveThread>(*this, generation, ClampToCount(target + lead), ctsEvent),
                        &latestEndMove_);
        if (moveIt) {
            StartMoveThread(std::move(moveIt), &latestMoveIt_);
        } else {
            StartMove(up, false);
        }
        if (ctsCount_.load() == target) {
            generalDelay_->Set();
        } else {
            StartMoveThread(std::make_unique<TNudgeThread>(*this, generation, target, false, ctsEvent),
                            &latestNudge_);
        }
        return;
    }
    StartMoveThread(std::make_unique<TNudgeThread>(*this, generation, target, true, nullptr), &latestNudge_);
}

std::uint64_t TFocusControl::EndPreviousMove(const TFocuserThread* self) {
    std::uint64_t generation = 0;
    bool moving = false;
    {
        // From here on no thread of the old move sends or flags anything.
        std::lock_guard lock(moveMutex_);
        generation = moveGeneration_.fetch_add(1) + 1;
        moving = !moveDone_.load() || !nudgeDone_.load();
    }
    std::vector<std::unique_ptr<TFocuserThread>> old;
    {
        std::lock_guard lock(threadsMutex_);
        for (auto it = moveThreads_.begin(); it != moveThreads_.end();) {
            if (it->get() == self) {
                ++it;  // never joined from itself; it ends on its own, superseded
                continue;
            }
            if (!(*it)->Finished()) moving = true;
            old.push_back(std::move(*it));
            it = moveThreads_.erase(it);
        }
        latestEndMove_ = latestMoveIt_ = latestNudge_ = nullptr;
    }
    StopAndJoin(old);
    moveDone_.store(true);
    nudgeDone_.store(true);
    // The old threads left the motor as it was; with both phases done ":FQ#"
    // also drops the direction line in line mode.
    if (moving) StopMotorTwice();
    return generation;
}

void TFocusControl::StartMoveThread(std::unique_ptr<TFocuserThread> thread, TFocuserThread** latest) {
    std::lock_guard lock(threadsMutex_);
    if (destroying_.load()) return;  // Shutdown has collected the threads already
    ReapFinishedThreads();
    TFocuserThread* raw = thread.get();
    moveThreads_.push_back(std::move(thread));
    *latest = raw;
    raw->Start();
}

void TFocusControl::ReapFinishedThreads() {
    for (auto it = moveThreads_.begin(); it != moveThreads_.end();) {
        TFocuserThread* t = it->get();
        if (!t->Finished()) {
            ++it;
            continue;
        }
        t->Join();
        for (TFocuserThread** latest : {&latestEndMove_, &latestMoveIt_, &latestNudge_}) {
            if (*latest == t) *latest = nullptr;
        }
        it = moveThreads_.erase(it);
    }
}

bool TFocusControl::WhileCurrent(std::uint64_t generation, const std::function<void()>& action) {
    std::lock_guard lock(moveMutex_);
    if (Superseded(generation)) return false;
    action();
    return true;
}

// ---------------------------------------------------------------- temperature

void TFocusControl::AddTemperature(double reading) {
    if (!(reading > kTemperatureFloor)) return;
    std::lock_guard lock(tempMutex_);
    if (tempList_.size() >= kTempHistoryLength) tempList_.pop_front();
    tempList_.push_back(reading);
    double sum = 0.0;
    for (double t : tempList_) sum += t;
    tcAvg_.store(sum / static_cast<double>(tempList_.size()));
    tcAvgRead_.store(true);
}

void TFocusControl::ClearTempHistory() {
    std::lock_guard lock(tempMutex_);
    tempList_.clear();
}

}  // namespace kv
