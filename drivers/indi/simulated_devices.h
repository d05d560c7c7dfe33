// The simulated observatory inside the driver's process, for "sim:" devices.
#pragma once

#include <string>

namespace kv::indi {

// Makes "sim:hub", "sim:robofocus" and "sim:optec" openable (idempotent) and
// applies the simulator's options from the environment, as the desktop's
// --simulate does:
//   KESSIVANE_SIM_BACKLASH=N    N steps of play in the simulated drive
//   KESSIVANE_SIM_HUB_JAMMED=1  the simulated hub's motor never turns (its
//                               encoder gives no count), for the motor watch
//   KESSIVANE_SIM_HUB_REVERSED=1  the simulated hub's motor is wired the
//                               other way round, for the reverse switch
// Only ever called for a "sim:" device, so no option reaches real hardware.
void PrepareSimulatedDevices();

// Gives a simulated hub the encoder of the chosen catalogue model.
void ModelSimulatedHub(const std::string& device, bool hiRes);

}  // namespace kv::indi
