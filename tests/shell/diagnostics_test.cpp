#include "shell/diagnostics.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <tuple>

#include "platform/broadcast.h"
#include "support/temp_files.h"

namespace kv {
namespace {

namespace fs = std::filesystem;

TEST(Diagnostics, OnlyAnExactSlashDAsFirstArgumentSwitchesTracingOn) {
    using Args = std::vector<const char*>;
    for (auto [args, on] : std::vector<std::pair<Args, bool>>{
             {{"kessivane", "/D"}, true}, {{"kessivane", "/d"}, true}, {{"kessivane", "/d", "more"}, true},
             {{"kessivane"}, false}, {{"kessivane", "/D "}, false}, {{"kessivane", "/x"}, false},
             {{"kessivane", "-d"}, false}, {{"kessivane", "/Dx"}, false}, {{"kessivane", "other", "/D"}, false}}) {
        EXPECT_EQ(IsDiagnosticSwitch(static_cast<int>(args.size()), args.data()), on) << args.back();
    }
    EXPECT_FALSE(IsDiagnosticSwitch(0, nullptr));
}

class RecorderBus : public IBroadcastBus {
public:
    explicit RecorderBus(bool accept) : accept_(accept) {}
    bool Broadcast(std::string_view message, std::int64_t wparam, std::int64_t lparam,
                   std::string_view text) override {
        sent.push_back(std::string(message) + "|" + std::to_string(wparam) + "|" + std::to_string(lparam) + "|" +
                       std::string(text));
        return accept_;
    }
    std::vector<std::string> sent;

private:
    bool accept_;
};

TEST(Diagnostics, TraceGoesToTheBusOrElseToStandardErrorAndOnlyInDiagnosticMode) {
    RecorderBus bus(true);
    SetBroadcastBus(&bus);
    const std::string longLine(400, 'L');
    SetDiagnosticMode(false);
    testing::internal::CaptureStderr();
    TraceDiag("mode is off");
    SetDiagnosticMode(true);
    TraceDiag("Creating Main Form");
    TraceDiag(longLine);
    EXPECT_EQ(bus.sent, (std::vector<std::string>{"MESSAGE_LOGGER|0|0|Creating Main Form",
                                                  "MESSAGE_LOGGER|0|0|" + longLine}));

    RecorderBus failing(false);
    SetBroadcastBus(&failing);
    TraceDiag("bus refused");
    SetBroadcastBus(nullptr);
    TraceDiag("no bus");
    SetDiagnosticMode(false);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "bus refused\nno bus\n");
    EXPECT_EQ(failing.sent.size(), 1u);
}

TEST(Diagnostics, TraceMegabytesRoundsHalfToEvenThenAddsOne) {
    constexpr std::int64_t MB = 1048576;
    // 0.5 -> 0, 1.5 -> 2, 2.5 -> 2
    for (auto [bytes, shown] : std::vector<std::pair<std::int64_t, std::int64_t>>{
             {0, 1}, {MB / 2 - 1, 1}, {MB / 2, 1}, {MB + MB / 2, 3}, {2 * MB + MB / 2, 3}, {2 * MB + MB / 2 + 1, 4},
             {16 * 1024 * MB, 16385}, {-5, 1}}) {
        EXPECT_EQ(TraceMegabytes(bytes), shown) << bytes;
    }

    SystemFacts facts;
    facts.totalPhysicalBytes = 8 * 1024 * MB;
    facts.availableBytes = 3 * MB;
    EXPECT_EQ(MemoryTraceLines(facts),
              (std::vector<std::string>{"Total Physical Memory = 8193", "Total Available Memory = 4"}));
}

TEST(Diagnostics, FileCheckReportsFoundAndMissingFilesInOrder) {
    test::TempDir root;
    const fs::path system = root.Path() / "windir";
    const fs::path program = root.Path() / "prog";
    fs::create_directories(system / "system32" / "drivers");
    fs::create_directories(program);
    std::ofstream(system / "system32" / "drivers" / "blockio.sys") << "12345";
    std::ofstream(program / "mx7drv.dll") << std::string(2048, 'z');

    const auto lines = FileCheckTraceLines(system.string(), program.string() + "/");

    ASSERT_EQ(lines.size(), 9u);
    const std::string dateTime = R"(\d\d/\d\d/\d\d \d\d:\d\d:\d\d)";
    EXPECT_TRUE(std::regex_match(lines[0], std::regex("blockio\\.sys Found\\.\\.\\.\\. Date: " + dateTime +
                                                      " Size: 5")))
        << lines[0];
    EXPECT_EQ(lines[1], system.string() + "/system32/drivers/05472131.hex NOT found");
    EXPECT_EQ(lines[6], system.string() + "/inf/blockIO.inf NOT found");
    EXPECT_TRUE(std::regex_match(lines[7], std::regex("mx7drv\\.dll Found\\.\\.\\.\\. Date: " + dateTime +
                                                      " Size: 2048")))
        << lines[7];
    EXPECT_EQ(lines[8], program.string() + "/mx5cdrv.dll NOT found");

    // The root directory stands in for the Windows directory without doubling the slash.
    EXPECT_EQ(FileCheckTraceLines("/", "/nonexistent-kv")[0], "/system32/drivers/blockio.sys NOT found");
}

constexpr const char* kX86CpuInfo =
    "processor\t: 0\n"
    "vendor_id\t: GenuineIntel\n"
    "cpu family\t: 6\n"
    "model\t\t: 158\n"
    "model name\t: Intel(R) Core(TM) i7-8700 CPU @ 3.20GHz\n"
    "stepping\t: 10\n"
    "cpu MHz\t\t: 3191.999\n"
    "flags\t\t: fpu vme de pse tsc msr pae cpuid\n"
    "\n"
    "processor\t: 1\n"
    "vendor_id\t: OtherVendor\n"
    "model name\t: second core\n"
    "\n";

TEST(Diagnostics, CpuInfoFromTheFirstProcessorWithOrWithoutFlags) {
    auto facts = ParseCpuInfo(kX86CpuInfo);
    ASSERT_TRUE(facts.has_value());
    EXPECT_EQ(std::tuple(facts->vendor, facts->family, facts->model), std::tuple("GenuineIntel", "6", "158"));
    EXPECT_TRUE(facts->hasCpuid && facts->hasTsc);
    const auto lines = ProcessorTraceLines(*facts);
    ASSERT_EQ(lines.size(), 10u);
    EXPECT_EQ(lines[3], "Processor Description: Intel(R) Core(TM) i7-8700 CPU @ 3.20GHz");
    EXPECT_EQ(lines[7], "Processor Stepping Level: 10");
    EXPECT_EQ(lines[9], "Processor Speed: 3192");

    facts = ParseCpuInfo("vendor_id : SomeVendor\nmodel name : old part\nflags : fpu vme\n");
    ASSERT_TRUE(facts.has_value());
    EXPECT_FALSE(facts->hasTsc);
    EXPECT_TRUE(facts->hasCpuid);  // a vendor_id line exists only when CPUID answered

    // No flags line at all is not a refusal.
    facts = ParseCpuInfo(
        "processor\t: 0\n"
        "BogoMIPS\t: 108.00\n"
        "CPU implementer\t: 0x41\n"
        "CPU architecture: 8\n"
        "CPU variant\t: 0x0\n"
        "CPU part\t: 0xd08\n"
        "CPU revision\t: 3\n");
    ASSERT_TRUE(facts.has_value());
    EXPECT_EQ(std::tuple(facts->vendor, facts->family, facts->model, facts->stepping),
              std::tuple("0x41", "8", "0xd08", "3"));
    EXPECT_TRUE(facts->hasCpuid && facts->hasTsc);

    EXPECT_FALSE(ParseCpuInfo("").has_value());
    EXPECT_FALSE(ParseCpuInfo("garbage without fields\n").has_value());
}

}  // namespace
}  // namespace kv
