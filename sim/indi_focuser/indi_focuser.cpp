// A focuser behind the device server that runs at a fixed 200 steps a second,
// so a client can catch a move half-way and abort it. The server's own
// simulated focuser cannot abort and always has an absolute position; this one
// aborts, and drops its absolute position when KV_SIM_FOCUS_RELATIVE_ONLY=1,
// leaving FOCUS_MOTION with REL_FOCUS_POSITION as the only way to move it.
// Where it really is stays readable in SIM_TRUE_POSITION either way, for tests.
// KV_SIM_FOCUS_BACKLASH=N puts N steps of play between the drive it reports
// and that true position: after a reversal the drive turns N steps first.
// KV_SIM_FOCUS_REFUSE_OVER=N refuses (Alert) a relative move of more than N
// steps, as drivers with a largest single move do.
#include <indifocuser.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr int kTickMs = 50;
constexpr double kStepsPerTick = 200.0 * kTickMs / 1000;
constexpr double kTravel = 100000;

class TestFocuser : public INDI::Focuser {
public:
    TestFocuser() {
        std::uint32_t caps = FOCUSER_CAN_ABS_MOVE | FOCUSER_CAN_REL_MOVE | FOCUSER_CAN_ABORT;
        const char* relativeOnly = std::getenv("KV_SIM_FOCUS_RELATIVE_ONLY");
        if (relativeOnly != nullptr && std::strcmp(relativeOnly, "1") == 0) caps &= ~FOCUSER_CAN_ABS_MOVE;
        FI::SetCapability(caps);
        if (const char* backlash = std::getenv("KV_SIM_FOCUS_BACKLASH")) backlash_ = std::max(0.0, std::atof(backlash));
        if (const char* over = std::getenv("KV_SIM_FOCUS_REFUSE_OVER")) refuseOver_ = std::atof(over);
        setSupportedConnections(CONNECTION_NONE);
    }

    const char* getDefaultName() override { return "KV Test Focuser"; }

    bool initProperties() override {
        INDI::Focuser::initProperties();
        FocusAbsPosN[0].min = 0;
        FocusAbsPosN[0].max = kTravel;
        FocusAbsPosN[0].value = kTravel / 2;
        FocusRelPosN[0].max = kTravel / 2;
        FocusMaxPosN[0].value = kTravel;
        IUFillNumber(&trueN_[0], "STEPS", "Steps", "%.0f", 0, kTravel, 0, kTravel / 2);
        IUFillNumberVector(&trueNP_, trueN_, 1, getDeviceName(), "SIM_TRUE_POSITION", "True position", "Simulation",
                           IP_RO, 0, IPS_IDLE);
        return true;
    }

    bool updateProperties() override {
        INDI::Focuser::updateProperties();
        if (isConnected()) defineProperty(&trueNP_);
        else deleteProperty(trueNP_.name);
        return true;
    }

protected:
    bool Connect() override {
        SetTimer(kTickMs);
        return true;
    }
    bool Disconnect() override { return true; }

    // Busy while running; Ok at once when already there.
    IPState MoveAbsFocuser(std::uint32_t target) override {
        target_ = std::min<double>(target, kTravel);
        return target_ == FocusAbsPosN[0].value ? IPS_OK : IPS_BUSY;
    }
    IPState MoveRelFocuser(FocusDirection dir, std::uint32_t ticks) override {
        if (refuseOver_ > 0 && ticks > refuseOver_) {
            LOGF_ERROR("A move of %u steps is more than this focuser takes at once.", ticks);
            return IPS_ALERT;
        }
        const double here = FocusAbsPosN[0].value;
        target_ = std::clamp(dir == FOCUS_INWARD ? here - ticks : here + ticks, 0.0, kTravel);
        return target_ == here ? IPS_OK : IPS_BUSY;
    }
    // The base class marks the position properties idle and sends them.
    bool AbortFocuser() override {
        target_ = FocusAbsPosN[0].value;
        return true;
    }

    void TimerHit() override {
        if (!isConnected()) return;
        double& here = FocusAbsPosN[0].value;
        if (here != target_) {
            here = target_ > here ? std::min(target_, here + kStepsPerTick) : std::max(target_, here - kStepsPerTick);
            trueN_[0].value = std::clamp(trueN_[0].value, here - backlash_, here);
            const bool arrived = here == target_;
            if (arrived) FocusRelPosNP.s = IPS_OK;
            FocusAbsPosNP.s = arrived ? IPS_OK : IPS_BUSY;
            if (CanAbsMove()) IDSetNumber(&FocusAbsPosNP, nullptr);
            if (arrived && CanRelMove()) IDSetNumber(&FocusRelPosNP, nullptr);
        }
        SetTimer(kTickMs);
    }

private:
    double target_ = kTravel / 2;
    double backlash_ = 0;
    double refuseOver_ = 0;
    INumber trueN_[1];
    INumberVectorProperty trueNP_;
};

// The driver library hands the server's requests to every device constructed.
const auto focuser = std::make_unique<TestFocuser>();

}  // namespace
