// A simulated RoboFocus-protocol focuser.
//
// It keeps an absolute position (the observatory's true focuser position,
// within 0 .. travel limit), answers nine-byte frames with nine-byte frames
// (two letters, six characters, checksum) and, on a go-to, moves one step at
// a time sending "I" (position - 1) or "O" (position + 1) per step and a
// position frame on arrival. Any character that arrives during a move stops
// it, followed by a position frame. Frames with a wrong checksum are ignored;
// bytes that cannot start a frame are skipped.
//
// "sim:robofocus..." ports are served by RoboFocusFor(name): one device per
// name for the whole process, so a test can set speed and faults before the
// driver opens its port.
#pragma once

#include <memory>
#include <string>

#include "sim/protocol_device.h"
#include "sim/protocol_port.h"

namespace kvsim {

class RoboFocusDevice final : public ProtocolDevice {
public:
    static constexpr std::int64_t kDefaultTravelLimit = 60000;

    RoboFocusDevice();
    ~RoboFocusDevice() override;

    void SetTravelLimit(std::int64_t limit);
    std::int64_t TravelLimit() const;
    // The six characters of the version reply.
    void SetFirmware(std::string version6);

    // A frame as the device sends it.
    static std::string MakeFrame(const std::string& text8);

protected:
    void OnBytes(std::string_view bytes) override;
    void OnStep(bool outward) override;
    void OnArrived() override;
    std::int64_t Low() const override { return 0; }
    std::int64_t High() const override { return travelLimit_; }

private:
    void Handle(const std::string& text8);
    std::string PositionFrame() const;

    std::string buffer_;
    std::int64_t travelLimit_ = kDefaultTravelLimit;
    std::string firmware_ = "002.31";
};

// The device for this name (without "sim:"), made on first use.
std::shared_ptr<RoboFocusDevice> RoboFocusFor(const std::string& name);
// Registers "robofocus" with the simulated-device factory.
void RegisterRoboFocusSimulator();

}  // namespace kvsim
