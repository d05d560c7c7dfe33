// kessivane-sim: serves one simulated focuser on a pseudo-terminal, so the
// program's real serial code can be pointed at it through the [Ports]
// section (COM3=/dev/pts/7). Runs until killed.
//
//   kessivane-sim --device robofocus|optec [--us-per-step N] [--position N]
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "sim/observatory.h"
#include "sim/optec_simulator.h"
#include "sim/protocol_device.h"
#include "sim/robofocus_simulator.h"

namespace {

volatile std::sig_atomic_t gStop = 0;
void OnSignal(int) { gStop = 1; }

int Usage() {
    std::fprintf(stderr, "usage: kessivane-sim --device robofocus|optec [--us-per-step N] [--position N]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string kind;
    int usPerStep = 2000;
    long position = -1;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--device" && i + 1 < argc) {
            kind = argv[++i];
        } else if (a == "--us-per-step" && i + 1 < argc) {
            usPerStep = std::atoi(argv[++i]);
        } else if (a == "--position" && i + 1 < argc) {
            position = std::atol(argv[++i]);
        } else {
            return Usage();
        }
    }
    std::unique_ptr<kvsim::ProtocolDevice> device;
    if (kind == "robofocus") {
        device = std::make_unique<kvsim::RoboFocusDevice>();
    } else if (kind == "optec") {
        device = std::make_unique<kvsim::OptecDevice>();
    } else {
        return Usage();
    }
    device->SetMicrosPerStep(usPerStep);
    if (position >= 0) kvsim::Observatory::Instance().SetTruePosition(position);

    int master = -1;
    int slave = -1;
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        std::perror("openpty");
        return 1;
    }
    // Raw on the slave side too, so nothing is echoed or translated before
    // the program sets its own line settings.
    termios t{};
    if (::tcgetattr(slave, &t) == 0) {
        ::cfmakeraw(&t);
        ::tcsetattr(slave, TCSANOW, &t);
    }
    std::printf("%s\n", name);
    std::fflush(stdout);

    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    {
        kvsim::FdDeviceServer server(master, *device);
        // The slave stays open here as well, so the program closing and
        // reopening its side never leaves the master without a peer.
        while (gStop == 0) ::pause();
    }
    device.reset();
    ::close(slave);
    ::close(master);
    return 0;
}
