#include "platform/serial_port_list.h"

#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/temp_files.h"

namespace kv {
namespace {

namespace fs = std::filesystem;

TEST(SerialPortList, StableNamesFirstThenAdaptersThenBuiltInPortsWithHardware) {
    test::TempDir dir;
    const fs::path dev = dir.Path() / "dev", sys = dir.Path() / "sys";
    fs::create_directories(dev / "serial" / "by-id");
    for (const char* name : {"ttyUSB0", "ttyUSB1", "ttyACM0", "ttyS0", "ttyS1", "ttyS10", "ttyS2", "tty0"})
        test::WriteFile((dev / name).string(), "");
    for (const auto& [name, type] : {std::pair{"ttyS0", "4"}, {"ttyS1", "0"}, {"ttyS2", "4"}, {"ttyS10", "4"}}) {
        fs::create_directories(sys / name);
        test::WriteFile((sys / name / "type").string(), type);
    }
    // A real pseudo-terminal behind a stable name, as a simulator would serve one.
    int master = -1, slave = -1;
    char pts[128] = {};
    ASSERT_EQ(::openpty(&master, &slave, pts, nullptr, nullptr), 0);
    fs::create_symlink(pts, dev / "serial" / "by-id" / "usb-Sim_Focuser_A1-if00-port0");
    fs::create_symlink("../../ttyUSB1", dev / "serial" / "by-id" / "usb-FTDI_FT232R_B2-if00-port0");
    fs::create_symlink("../../ttyUSB7", dev / "serial" / "by-id" / "usb-Unplugged-if00-port0");
    // A serial number longer than any integer type ends the name.
    fs::create_symlink("../../ttyACM0", dev / "serial" / "by-id" / "usb-Long_98765432109876543210987654321");

    const std::vector<SerialDevice> list = ListSerialDevices({dev.string(), sys.string()});
    std::vector<std::string> paths;
    for (const SerialDevice& d : list) paths.push_back(d.path);
    const std::string byId = (dev / "serial" / "by-id").string() + "/";
    EXPECT_EQ(paths, (std::vector<std::string>{byId + "usb-FTDI_FT232R_B2-if00-port0",
                                               byId + "usb-Long_98765432109876543210987654321",
                                               byId + "usb-Sim_Focuser_A1-if00-port0", (dev / "ttyUSB0").string(),
                                               (dev / "ttyS0").string(), (dev / "ttyS2").string(),
                                               (dev / "ttyS10").string()}));
    EXPECT_EQ(list[0].description, "usb-FTDI_FT232R_B2-if00-port0 (ttyUSB1)");
    EXPECT_EQ(list[2].description, "usb-Sim_Focuser_A1-if00-port0 (" + fs::path(pts).filename().string() + ")");
    ::close(master);
    ::close(slave);

    EXPECT_TRUE(ListSerialDevices({(dir.Path() / "none").string(), (dir.Path() / "none").string()}).empty());
}

}  // namespace
}  // namespace kv
