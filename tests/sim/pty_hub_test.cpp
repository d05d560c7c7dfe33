// The real POSIX transport against the hub's query protocol on a pseudo-terminal.
#include <gtest/gtest.h>

#include "platform/posix_serial_port.h"
#include "sim/hub_simulator.h"
#include "support/pty.h"

namespace kvsim {
namespace {

using namespace std::chrono_literals;

TEST(PtyHub, QueriesAreAnsweredAndCommandsCollectedOverTheRealTransport) {
    kv::test::Pty pty;
    kv::PosixSerialPort port(pty.Path());
    ASSERT_TRUE(port.Open({9600, true}));
    HubQueryResponder responder(pty.Master());
    // One exchange as the focuser makes it: purge, write, read ten bytes.
    for (auto [request, reply] : {std::pair{"KTR02?????\r", "KTR03YES!!"}, {"KTR0600242\r", "KTR0700242"}}) {
        port.Purge();
        ASSERT_TRUE(port.Write(request, kv::kSerialWriteTimeout));
        EXPECT_EQ(port.ReadExactly(kHubReplyLength, kv::kSerialReadTimeout), reply);
    }
    EXPECT_EQ(responder.Offset(), 242);

    ASSERT_TRUE(port.Write("5:F-#", kv::kSerialWriteTimeout));
    ASSERT_TRUE(port.Write(":FQ#", kv::kSerialWriteTimeout));
    const std::vector<std::string> expected{"KTR02?????", "KTR0600242", "5", ":F-#", ":FQ#"};
    for (int i = 0; i < 100 && responder.Commands().size() < expected.size(); ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(responder.Commands(), expected);
}

}  // namespace
}  // namespace kvsim
