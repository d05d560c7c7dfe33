#include "focuser/cts_thread.h"

#include <chrono>
#include <thread>

#include "shell/log_channel.h"

namespace kv {

TCTSThread::TCTSThread(TFocusControl& owner, std::shared_ptr<ISerialPort> port)
    : owner_(owner), port_(std::move(port)), worker_([this](WorkerThread&) { Run(); }, ThreadPriority::Highest) {}

TCTSThread::~TCTSThread() {
    worker_.RequestStop();
    worker_.Join();
}

void TCTSThread::Stamp(bool counted) {
    // Counted first: a reader of both never sees a read newer than a count it made.
    const std::int64_t now = owner_.clock_.TickMs();
    if (counted) owner_.countReadMs_.store(now);
    owner_.lineReadMs_.store(now);
}

void TCTSThread::Count(const ModemLines& lines) {
    std::int32_t now = 0;
    const std::int32_t before = owner_.ctsCount_.load();
    if (lines.cts) {
        // Rising edge: DSR gives the direction of rotation.
        const std::int32_t step = lines.dsr ? -1 : 1;
        now = owner_.ctsCount_.fetch_add(step) + step;
        dsrValue_ = lines.dsr;
    } else if (owner_.dualSense_.load()) {
        // Falling edge, counted in the opposite sense (two-channel quadrature).
        const std::int32_t step = lines.dsr ? 1 : -1;
        now = owner_.ctsCount_.fetch_add(step) + step;
    } else {
        now = owner_.ctsCount_.load();
    }
    lastStatus_ = lines;
    Stamp(now != before);
    owner_.DoCTSChange(now, dsrValue_);
}

void TCTSThread::Run() {
    bool polling = false;
    if (const auto lines = port_->GetModemLines()) lastStatus_ = *lines;
    while (!worker_.StopRequested()) {
        if (polling) {
            // The device cannot report line changes: look at the lines instead.
            const auto lines = port_->GetModemLines();
            if (!lines) break;
            if (lines->cts != lastStatus_.cts) {
                Count(*lines);
            } else {
                Stamp(false);
                std::this_thread::sleep_for(std::chrono::milliseconds(kCtsPollMs));
            }
            continue;
        }
        switch (port_->WaitForCtsChange(std::chrono::milliseconds(kCtsWaitSliceMs))) {
        case SerialWait::Changed: {
            const auto lines = port_->GetModemLines();
            if (!lines) {
                if (!worker_.StopRequested()) owner_.PortLost("the modem lines cannot be read");
                return;
            }
            Count(*lines);
            break;
        }
        case SerialWait::TimedOut: Stamp(false); break;
        case SerialWait::Closed:
            if (!worker_.StopRequested()) owner_.PortLost("the device was closed");
            return;
        case SerialWait::Failed: {
            if (worker_.StopRequested()) return;
            const auto lines = port_->GetModemLines();
            if (!lines || !port_->IsOpen()) {
                owner_.PortLost("the device failed");
                return;
            }
            WriteProgramLog("Focuser port " + port_->Device() +
                            " reports no line changes; counting focuser pulses by polling CTS");
            lastStatus_ = *lines;
            polling = true;
            break;
        }
        }
    }
    if (polling && !worker_.StopRequested()) owner_.PortLost("the modem lines cannot be read");
}

}  // namespace kv
