#include "simulated_devices.h"

#include <cstdlib>
#include <cstring>

#include "sim/hub_simulator.h"
#include "sim/observatory.h"
#include "sim/sim_devices.h"

namespace kv::indi {

void PrepareSimulatedDevices() {
    kvsim::InstallSimulatedPorts();
    if (const char* backlash = std::getenv("KESSIVANE_SIM_BACKLASH")) {
        kvsim::Observatory::Instance().SetBacklash(std::strtoll(backlash, nullptr, 10));
    }
}

void ModelSimulatedHub(const std::string& device, bool hiRes) {
    kvsim::ModelHubEncoder(device, hiRes);
    if (device.rfind("sim:hub", 0) != 0) return;
    const auto on = [](const char* name) {
        const char* value = std::getenv(name);
        return value != nullptr && std::strcmp(value, "1") == 0;
    };
    const auto hub = kvsim::HubFor(device.substr(4));
    kvsim::HubParameters p = hub->Parameters();
    if (on("KESSIVANE_SIM_HUB_JAMMED")) p.fastSpeed = p.slowSpeed = 0;
    p.reversed = p.reversed || on("KESSIVANE_SIM_HUB_REVERSED");
    // A faster motor that runs on further after each switch-off, for the benches.
    if (const char* speed = std::getenv("KESSIVANE_SIM_HUB_SPEED")) p.fastSpeed = std::strtod(speed, nullptr);
    if (const char* coast = std::getenv("KESSIVANE_SIM_HUB_COAST")) p.coastCounts = std::strtod(coast, nullptr);
    // A hub pulled out mid-move, for the tests of a lost device.
    if (const char* unplug = std::getenv("KESSIVANE_SIM_HUB_UNPLUG_AFTER")) p.unplugAfterCounts = std::strtod(unplug, nullptr);
    hub->SetParameters(p);
}

}  // namespace kv::indi
