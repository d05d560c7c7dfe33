// kessivane-alpaca: one Kessivane focuser for ASCOM Alpaca clients (NINA and
// the other Windows programs, or any Alpaca client on the network).
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "alpaca_server.h"
#include "discovery.h"
#include "platform/c_number.h"
#include "service/focuser_service.h"
#include "sim/sim_devices.h"

namespace {

constexpr const char* kUsage =
    "usage: kessivane-alpaca [options]\n"
    "Serves one focuser to ASCOM Alpaca clients (device API v1, IFocuserV3) and answers Alpaca discovery.\n"
    "  --device PATH        the focuser's serial device (/dev/ttyUSB0; sim:hub with --simulate)\n"
    "  --kind KIND          hub (default), robofocus or optec\n"
    "  --model NAME         the hub's focuser model from Focusers.ini (default \"Default\")\n"
    "  --catalogue FILE     Focusers.ini (default: beside this program)\n"
    "  --state FILE         where the hub's position is kept (default: ~/.local/state/kessivane/, shared with\n"
    "                       the INDI driver)\n"
    "  --sync POSITION      the hub stands at POSITION: its position is set at the first connection\n"
    "  --min-position N     the lowest position Move may go to (default 0; a focuser's own range otherwise)\n"
    "  --max-position N     the highest, MaxStep (default 100000 for the hub)\n"
    "  --reverse on|off     the hub's motor is wired the other way round (default: as the model says)\n"
    "  --address ADDR       the address to listen on (default 127.0.0.1: this computer only)\n"
    "  --port N             the HTTP port (default 11111; 0 picks a free one)\n"
    "  --discovery-port N   the UDP discovery port (default 32227)\n"
    "  --coefficient X      temperature compensation, steps per degree\n"
    "  --tcd FILE           fit the coefficient to a Kessivane calibration file\n"
    "  --step-size MICRONS  the focuser's step size, for StepSize\n"
    "  --simulate           serve the simulated observatory's focusers (sim:hub, sim:robofocus, sim:optec)\n"
    "  --help, --version\n";

std::string DefaultStatePath(const std::string& device) {
    return kv::FocuserStatePath(device, std::getenv("XDG_STATE_HOME"), std::getenv("HOME"));
}

std::string ProgramFolder() {
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string(".") : self.parent_path().string();
}

int Usage(const std::string& why) {
    std::fprintf(stderr, "kessivane-alpaca: %s\n%s", why.c_str(), kUsage);
    return 64;
}

}  // namespace

int main(int argc, char** argv) {
    std::map<std::string, std::string> options;
    bool simulate = false;
    static const char* const kTakesValue[] = {"--device", "--kind",  "--model",          "--catalogue",   "--state",
                                              "--address", "--port", "--discovery-port", "--coefficient", "--tcd",
                                              "--step-size", "--sync", "--min-position", "--max-position",
                                              "--reverse"};
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i], value;
        if (arg == "--help") return std::printf("%s", kUsage), 0;
        if (arg == "--version") return std::printf("kessivane-alpaca %s\n", KV_VERSION), 0;
        if (arg == "--simulate") {
            simulate = true;
            continue;
        }
        if (const auto eq = arg.find('='); eq != std::string::npos) value = arg.substr(eq + 1), arg.resize(eq);
        if (std::find(std::begin(kTakesValue), std::end(kTakesValue), arg) == std::end(kTakesValue)) {
            return Usage("unknown option '" + arg + "'");
        }
        if (value.empty() && argv[i][arg.size()] != '=') {
            if (i + 1 >= argc) return Usage(arg + " needs a value");
            value = argv[++i];
        }
        options[arg] = value;
    }
    const auto option = [&](const char* name, const std::string& otherwise) {
        const auto it = options.find(name);
        return it == options.end() ? otherwise : it->second;
    };
    const auto number = [&](const char* name, int otherwise, int lo, int hi) -> std::optional<int> {
        const auto it = options.find(name);
        if (it == options.end()) return otherwise;
        const auto v = kv::ParseDoubleC(it->second);
        if (!v || *v < lo || *v > hi || *v != static_cast<int>(*v)) return std::nullopt;
        return static_cast<int>(*v);
    };

    kv::alpaca::ServerSettings settings;
    const auto kind = kv::ServiceKindFromName(option("--kind", "hub"));
    if (!kind) return Usage("--kind must be hub, robofocus or optec, not '" + option("--kind", "") + "'");
    settings.focuser.kind = *kind;
    settings.focuser.device = option("--device", simulate ? std::string("sim:") + kv::ServiceKindName(*kind) : "");
    if (settings.focuser.device.empty()) return Usage("--device names the focuser's serial port, e.g. /dev/ttyUSB0");
    settings.focuser.model = option("--model", *kind == kv::ServiceKind::Hub ? "Default" : "");
    settings.focuser.cataloguePath = option("--catalogue", ProgramFolder() + "/Focusers.ini");
    settings.focuser.statePath = option("--state", DefaultStatePath(settings.focuser.device));
    if (simulate) kvsim::InstallSimulatedPorts();
    if (simulate) settings.focuser.prepareDevice = [](const std::string& d, bool hiRes) { kvsim::ModelHubEncoder(d, hiRes); };
    settings.address = option("--address", "127.0.0.1");
    const auto port = number("--port", kv::alpaca::kDefaultHttpPort, 0, 65535);
    const auto discoveryPort = number("--discovery-port", kv::alpaca::kDiscoveryPort, 0, 65535);
    if (!port || !discoveryPort) return Usage("a port is a whole number from 0 to 65535");
    settings.port = *port;
    if (options.count("--coefficient")) {
        settings.coefficient = kv::ParseDoubleC(options["--coefficient"]);
        if (!settings.coefficient) return Usage("--coefficient takes steps per degree, e.g. -12.5");
    }
    if (options.count("--step-size")) {
        settings.stepSizeMicrons = kv::ParseDoubleC(options["--step-size"]);
        if (!settings.stepSizeMicrons || *settings.stepSizeMicrons <= 0) return Usage("--step-size takes microns, e.g. 4.5");
    }
    settings.tcdPath = option("--tcd", "");
    const auto low = number("--min-position", 0, 0, kv::kServiceMaxPosition);
    const auto high = number("--max-position", 100000, 1, kv::kServiceMaxPosition);
    if (!low || !high || *low >= *high) {
        return Usage("--min-position and --max-position are whole numbers from 0 to 1000000000, the lower first");
    }
    if (options.count("--min-position") || options.count("--max-position")) settings.limits = {{*low, *high}};
    if (options.count("--sync")) {
        const auto at = number("--sync", 0, *low, *high);
        if (!at) return Usage("--sync takes the position the hub stands at, from " + std::to_string(*low) + " to " +
                              std::to_string(*high));
        settings.syncTo = *at;
    }
    if (options.count("--reverse")) {
        const std::string reverse = options["--reverse"];
        if (reverse != "on" && reverse != "off") return Usage("--reverse takes on or off");
        settings.reverse = reverse == "on";
    }
    settings.uniqueId = kv::alpaca::UniqueIdFor(settings.focuser.device, kv::ServiceKindName(*kind));

    // Signals are taken by sigwait below, so no thread is interrupted by them.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    kv::FocuserService service;
    service.SetListener(kv::alpaca::ConsoleListener(
        service, [](const std::string& line) { std::fprintf(stderr, "kessivane-alpaca: %s\n", line.c_str()); }));
    kv::alpaca::Server server(service, settings);
    std::string error;
    if (!server.Start(&error)) {
        std::fprintf(stderr, "kessivane-alpaca: %s\n", error.c_str());
        return 1;
    }
    kv::alpaca::Discovery discovery;
    if (!discovery.Start(settings.address, *discoveryPort, server.Port(), &error)) {
        // Clients can still add the server by hand.
        std::fprintf(stderr, "kessivane-alpaca: %s\n", error.c_str());
    }
    std::printf("kessivane-alpaca: serving %s (%s) at http://%s:%d/api/v1/focuser/0/\n", settings.focuser.device.c_str(),
                kv::ServiceKindName(*kind), settings.address.c_str(), server.Port());
    if (settings.address != "127.0.0.1" && settings.address != "::1") {
        std::printf("kessivane-alpaca: Alpaca has no authentication: anyone who can reach %s port %d can move this "
                    "focuser. Listen there only on a network you trust.\n",
                    settings.address.c_str(), server.Port());
    }
    std::fflush(stdout);
    int signal = 0;
    sigwait(&stop, &signal);
    std::printf("kessivane-alpaca: stopping; the focuser's position is kept\n");
    std::fflush(stdout);
    // The focuser is halted and its state saved before the clients are let go.
    server.Stop();
    discovery.Stop();
    service.Close();
    return 0;
}
