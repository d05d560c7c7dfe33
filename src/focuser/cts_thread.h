// TCTSThread: counts the encoder pulses of a pulse-counted focuser.
//
// The hub returns each encoder count as a CTS edge with the direction of
// rotation on DSR. One counting thread serves each open port; OpenPort starts
// it and ClosePort stops it (closing the port releases its wait). When the
// device stops answering, the thread cancels the move, tells the user once and
// ends.
#pragma once

#include <memory>

#include "focuser/focus_control.h"

namespace kv {

class TCTSThread {
public:
    TCTSThread(TFocusControl& owner, std::shared_ptr<ISerialPort> port);
    ~TCTSThread();
    TCTSThread(const TCTSThread&) = delete;
    TCTSThread& operator=(const TCTSThread&) = delete;

    void Start() { worker_.Start(); }
    void RequestStop() { worker_.RequestStop(); }
    void Join() { worker_.Join(); }
    bool Finished() const { return worker_.Finished(); }

private:
    void Run();
    // One CTS edge seen with the lines in `lines`.
    void Count(const ModemLines& lines);
    // Notes the time of a read of the lines, and whether it moved the count.
    void Stamp(bool counted);

    TFocusControl& owner_;
    std::shared_ptr<ISerialPort> port_;
    ModemLines lastStatus_;
    bool dsrValue_ = false;
    WorkerThread worker_;
};

}  // namespace kv
