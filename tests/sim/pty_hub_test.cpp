// The real POSIX transport against the hub's query protocol on a pseudo-terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/posix_serial_port.h"
#include "sim/hub_simulator.h"

namespace kvsim {
namespace {

using namespace std::chrono_literals;

class PtyHubTest : public ::testing::Test {
protected:
    void SetUp() override {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(master, 0);
        ASSERT_EQ(::grantpt(master), 0);
        ASSERT_EQ(::unlockpt(master), 0);
        char name[128];
        ASSERT_EQ(::ptsname_r(master, name, sizeof name), 0);
        port = std::make_unique<kv::PosixSerialPort>(name);
        ASSERT_TRUE(port->Open({9600, true}));
        responder = std::make_unique<HubQueryResponder>(master);
    }
    void TearDown() override {
        responder.reset();
        port.reset();
        if (master >= 0) ::close(master);
    }
    // One exchange as the focuser makes it: purge, write, read ten bytes.
    std::string Query(const std::string& request) {
        port->Purge();
        if (!port->Write(request + "\r", kv::kSerialWriteTimeout)) return "<write failed>";
        return port->ReadExactly(kHubReplyLength, kv::kSerialReadTimeout);
    }

    int master = -1;
    std::unique_ptr<kv::PosixSerialPort> port;
    std::unique_ptr<HubQueryResponder> responder;
};

TEST_F(PtyHubTest, QueriesAreAnsweredAndCommandsCollectedOverTheRealTransport) {
    EXPECT_EQ(Query("KTR02?????"), "KTR03YES!!");
    EXPECT_EQ(Query("KTR0600242"), "KTR0700242");
    EXPECT_EQ(responder->Offset(), 242);

    ASSERT_TRUE(port->Write("5:F-#", kv::kSerialWriteTimeout));
    ASSERT_TRUE(port->Write(":FQ#", kv::kSerialWriteTimeout));
    const std::vector<std::string> expected{"KTR02?????", "KTR0600242", "5", ":F-#", ":FQ#"};
    for (int i = 0; i < 100 && responder->Commands().size() < expected.size(); ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(responder->Commands(), expected);
}

TEST_F(PtyHubTest, APartialReplyAndSilenceGiveNothing) {
    responder->SetFault(HubFault::NineBytesThenSilent);
    EXPECT_EQ(Query("KTR02?????"), "");
    responder->SetFault(HubFault::AnswerSecondTry);
    EXPECT_EQ(Query("KTR02?????"), "");
    EXPECT_EQ(Query("KTR02?????"), "KTR03YES!!");
}

}  // namespace
}  // namespace kvsim
