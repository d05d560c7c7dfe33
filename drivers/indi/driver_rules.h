// The device-server driver's decisions that need no server library: where
// its files are, which catalogue models drive the hub, and what state each
// ending of a move leaves the position properties in. Kept apart so they are
// tested without a server.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "service/focuser_service.h"

namespace kv::indi {

// The driver's device name as clients see it.
inline constexpr const char* kDeviceName = "Kessivane Focuser";

// The catalogue's installed place, looked at when none is beside the program.
inline constexpr const char* kInstalledCatalogue = "/usr/lib/kessivane/Focusers.ini";

// Focusers.ini beside the program, else the installed one; empty when
// neither exists (the hub then runs on the engine's default timings).
std::string FindCatalogue(const std::string& programDir);

// The catalogue's models that drive the pulse-counted hub, in its order;
// "Default" alone without a catalogue.
std::vector<std::string> HubModels(const std::string& cataloguePath);

// What a move's ending does to the position properties.
enum class EndState {
    Ok,         // arrived
    Idle,       // halted: INDI's abort leaves the properties Idle
    Alert,      // stalled, lost, timed out: with the reason as an error
    Unchanged,  // replaced: the newer move owns the properties
};
EndState StateForEnd(MoveEnd end);

// "sim:..." devices are served by the simulators inside the driver.
bool IsSimulatedDevice(const std::string& device);

// An engine message in this driver's words. The engine speaks to the
// desktop: of its COM port numbers, of the hub's raw count (whose sign runs
// against the position clients see) and of the desktop's settings. Here the
// port is `device`, a count becomes `position`, and the settings are this
// driver's properties. Text the engine words differently passes through
// with only its port names mended.
std::string FaceText(const std::string& engineText, const std::string& device, std::int32_t position);

}  // namespace kv::indi
