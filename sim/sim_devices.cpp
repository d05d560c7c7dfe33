#include "sim/sim_devices.h"

#include <map>
#include <mutex>

#include "sim/hub_simulator.h"
#include "sim/observatory.h"
#include "sim/optec_simulator.h"
#include "sim/robofocus_simulator.h"

namespace kvsim {

namespace {

constexpr const char* kHubPrefix = "hub";

struct Registry {
    // Hubs move the observatory's focuser from their own thread until they are
    // destroyed, so the observatory must be made first and destroyed last.
    Registry() { (void)Observatory::Instance(); }
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<HubSimulator>> hubs;
    std::map<std::string, SimulatedDeviceMaker> makers;
};

Registry& TheRegistry() {
    static Registry r;
    return r;
}

std::unique_ptr<kv::ISerialPort> MakePort(const std::string& name) {
    Registry& r = TheRegistry();
    SimulatedDeviceMaker maker;
    {
        std::lock_guard lock(r.mutex);
        std::size_t best = 0;
        for (const auto& [prefix, m] : r.makers) {
            if (name.compare(0, prefix.size(), prefix) == 0 && prefix.size() >= best) {
                best = prefix.size();
                maker = m;
            }
        }
    }
    if (maker) return maker(name);
    if (name.compare(0, 3, kHubPrefix) == 0) return HubFor(name)->CreatePort("sim:" + name);
    return nullptr;
}

}  // namespace

void InstallSimulatedPorts() {
    RegisterRoboFocusSimulator();
    RegisterOptecSimulator();
    kv::SetSimulatedPortFactory(&MakePort);
}

std::shared_ptr<HubSimulator> HubFor(const std::string& name) {
    Registry& r = TheRegistry();
    std::lock_guard lock(r.mutex);
    auto& hub = r.hubs[name];
    if (!hub) hub = std::make_shared<HubSimulator>(name);
    return hub;
}

void ModelHubEncoder(const std::string& device, bool dualSense) {
    const std::string prefix = std::string("sim:") + kHubPrefix;
    if (device.compare(0, prefix.size(), prefix) != 0) return;
    const std::shared_ptr<HubSimulator> hub = HubFor(device.substr(4));
    HubParameters p = hub->Parameters();
    if (p.dualSense == dualSense) return;
    p.dualSense = dualSense;
    hub->SetParameters(p);
}

void ResetSimulatedDevices() {
    std::map<std::string, std::shared_ptr<HubSimulator>> old;
    {
        Registry& r = TheRegistry();
        std::lock_guard lock(r.mutex);
        old.swap(r.hubs);
    }
    // Destroyed here, outside the lock (their threads are joined).
}

void RegisterSimulatedDevice(const std::string& prefix, SimulatedDeviceMaker maker) {
    Registry& r = TheRegistry();
    std::lock_guard lock(r.mutex);
    if (maker) {
        r.makers[prefix] = std::move(maker);
    } else {
        r.makers.erase(prefix);
    }
}

}  // namespace kvsim
