// A simulated Optec focuser.
//
// It ignores everything until it is put into serial mode ("FMMODE", answered
// "!"; it can be told to ignore the first n tries), then takes six-character
// commands: "FPOSRO" (answered "P=" + four digits), "FOnnnn" and "FInnnn"
// (move out / in by nnnn steps, answered "*" when done; a command arriving
// while it moves is ignored, as a busy controller does), "FFMODE" (leave
// serial mode). Like the device, it ends every reply with line feed then
// carriage return (0A 0D), so a client that reads up to the carriage return
// drops the last two bytes. Its position is the observatory's true focuser
// position within 0 .. 7000; moves stop at the ends.
//
// Faults apply to the position replies; a cut reply may end between the two
// line-end bytes.
//
// "sim:optec..." ports are served by OptecFor(name), one device per name.
#pragma once

#include <memory>
#include <string>

#include "sim/protocol_device.h"
#include "sim/protocol_port.h"

namespace kvsim {

class OptecDevice final : public ProtocolDevice {
public:
    static constexpr std::int64_t kTravel = 7000;

    OptecDevice();
    ~OptecDevice() override;

    // The next `n` "FMMODE" are ignored (n < 0: never answered).
    void SetIgnoredModeRequests(int n);
    bool SerialMode() const;
    int ModeRequests() const;

protected:
    void OnBytes(std::string_view bytes) override;
    void OnStep(bool outward) override;
    void OnArrived() override;
    std::int64_t Low() const override { return 0; }
    std::int64_t High() const override { return kTravel; }

private:
    void Handle(const std::string& command);

    std::string buffer_;
    bool serialMode_ = false;
    int ignoreModeRequests_ = 0;
    int modeRequests_ = 0;
};

std::shared_ptr<OptecDevice> OptecFor(const std::string& name);
// Registers "optec" with the simulated-device factory.
void RegisterOptecSimulator();

}  // namespace kvsim
