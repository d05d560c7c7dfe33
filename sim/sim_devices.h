// Which simulated device answers a "sim:<name>" port.
//
// InstallSimulatedPorts hands kv::CreateSerialPort a factory that serves every
// registered device. Names beginning with "hub" are hubs ("sim:hub",
// "sim:hub2", ...); each name has one hub for the whole process, made on first
// use, so a test can set it up before the program opens its port and inspect
// it afterwards. Other simulators register themselves by name prefix.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/serial_port.h"

namespace kvsim {

class HubSimulator;

// Installs the factory (idempotent).
void InstallSimulatedPorts();

// The hub for this name (without "sim:"), made on first use.
std::shared_ptr<HubSimulator> HubFor(const std::string& name);

// For the window on --simulate: when `device` is a simulated hub
// ("sim:hub..."), gives it the encoder a catalogue entry describes (`dualSense`:
// the high-resolution, two-channel output) before the focuser opens it, so the
// hub behaves as the hardware the user chose. Anything else is left alone.
void ModelHubEncoder(const std::string& device, bool dualSense);

// Forgets every hub made so far; ports still open keep theirs alive until they
// are destroyed. Tests call it to start from a fresh hub.
void ResetSimulatedDevices();

// Makes the port for names beginning with `prefix` (the longest matching
// prefix wins; "hub" is built in).
using SimulatedDeviceMaker = std::function<std::unique_ptr<kv::ISerialPort>(const std::string& name)>;
void RegisterSimulatedDevice(const std::string& prefix, SimulatedDeviceMaker maker);

}  // namespace kvsim
