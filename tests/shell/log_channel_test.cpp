#include "shell/log_channel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <regex>
#include <thread>
#include <vector>

namespace kv {
namespace {

TEST(LogChannel, KeepsEachThreadsLinesInOrderUnderConcurrentProducers) {
    LogChannel channel;
    constexpr int kThreads = 6;
    constexpr int kLines = 2000;
    std::vector<std::thread> producers;
    for (int t = 0; t < kThreads; ++t) {
        producers.emplace_back([&channel, t] {
            for (int i = 0; i < kLines; ++i) channel.Post(std::to_string(t) + ":" + std::to_string(i), t % 3 + 1);
        });
    }
    // Drain while they post, as the GUI thread would.
    std::vector<LogLine> got;
    const auto drain = [&] {
        for (auto& line : channel.TakePending()) got.push_back(std::move(line));
    };
    std::atomic<bool> done{false};
    std::thread drainer([&] {
        while (!done.load()) drain();
    });
    for (auto& p : producers) p.join();
    done.store(true);
    drainer.join();
    drain();

    ASSERT_EQ(got.size(), static_cast<std::size_t>(kThreads * kLines));
    std::map<int, int> next;
    for (const LogLine& line : got) {
        const auto colon = line.text.find(':');
        const int t = std::stoi(line.text.substr(0, colon));
        const int i = std::stoi(line.text.substr(colon + 1));
        ASSERT_EQ(i, next[t]) << "thread " << t << " out of order";
        ASSERT_EQ(line.channel, t % 3 + 1);
        ++next[t];
    }
    EXPECT_EQ(channel.DroppedCount(), 0u);
}

TEST(LogChannel, WakesOnlyWhenTheQueueTurnsNonEmptyAndTheWakeUpMayDrainAtOnce) {
    LogChannel channel;
    int wakes = 0;
    channel.SetWakeUp([&] { ++wakes; });
    channel.Post("a", kProgramLog);
    channel.Post("b", kProgramLog);
    EXPECT_EQ(wakes, 1);
    EXPECT_EQ(channel.TakePending().size(), 2u);

    std::vector<std::string> drained;
    channel.SetWakeUp([&] {
        ++wakes;
        for (auto& l : channel.TakePending()) drained.push_back(l.text);
    });
    channel.Post("c", kStatusBar);
    channel.Post("d", kStatusBar);  // the queue was emptied by the wake-up: wakes again
    EXPECT_EQ(wakes, 3);
    EXPECT_EQ(drained, (std::vector<std::string>{"c", "d"}));

    channel.SetWakeUp({});
    channel.Post("e", kComLog);
    EXPECT_EQ(wakes, 3);

    // A line that found nobody to wake wakes the next one installed; without
    // that, later posts (queue not empty) would never wake anybody either.
    channel.SetWakeUp([&] { ++wakes; });
    EXPECT_EQ(wakes, 4);
    channel.Post("f", kComLog);
    EXPECT_EQ(wakes, 4);
    EXPECT_EQ(channel.TakePending().size(), 2u);
    channel.SetWakeUp({});
}

TEST(LogChannel, APostRacingTheInstallOfAWakeUpIsNeverLeftUnwoken) {
    for (int round = 0; round < 300; ++round) {
        LogChannel channel;
        std::atomic<int> wakes{0};
        std::thread poster([&] { channel.Post("x", kProgramLog); });
        channel.SetWakeUp([&] { wakes.fetch_add(1); });
        poster.join();
        ASSERT_GE(wakes.load(), 1) << "round " << round;
    }
}

TEST(LogChannel, PostingWithoutADrainNeverBlocksAndIsBounded) {
    LogChannel channel;
    const std::size_t total = LogChannel::kMaxPending + 25;
    std::thread producer([&] {
        for (std::size_t i = 0; i < total; ++i) channel.Post(std::to_string(i), kComLog);
    });
    producer.join();  // would hang if a post waited for a drain
    EXPECT_EQ(channel.DroppedCount(), 25u);
    const auto lines = channel.TakePending();
    ASSERT_EQ(lines.size(), LogChannel::kMaxPending);
    EXPECT_EQ(lines.front().text, "25");  // the oldest went first
    EXPECT_EQ(lines.back().text, std::to_string(total - 1));
}

// WriteProgramLog and ShowStatus go through the process's channel and switches.
class ProgramLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        LogChannel::Instance().TakePending();
        ProgramLog::Instance().logging = true;
        ProgramLog::Instance().timestamp = false;
    }
    void TearDown() override { SetUp(); }
    static std::vector<LogLine> Take() { return LogChannel::Instance().TakePending(); }
};

TEST_F(ProgramLogTest, ProgramLinesAndStatusLinesFollowTheSwitches) {
    WriteProgramLog("Focuser connected");
    WriteProgramLog("");  // becomes a blank
    ShowStatus("Best focus at 1180");  // the program line first, then the status line
    ProgramLog::Instance().timestamp = true;
    WriteProgramLog("Scan started");
    WriteProgramLog("");  // blank lines get no time stamp
    WriteProgramLog(" ");
    ProgramLog::Instance().logging = false;
    WriteProgramLog("dropped");
    ShowStatus("Moving to 1200");

    auto lines = Take();
    ASSERT_EQ(lines.size(), 8u);
    // C locale in tests: "[mm/dd/yy hh:mm:ss] text"
    EXPECT_TRUE(std::regex_match(lines[4].text, std::regex(R"(\[\d\d/\d\d/\d\d \d\d:\d\d:\d\d\] Scan started)")))
        << lines[4].text;
    lines[4].text = "Scan started";
    const std::vector<std::pair<std::string, int>> expected{
        {"Focuser connected", kProgramLog}, {" ", kProgramLog}, {"Best focus at 1180", kProgramLog},
        {" Best focus at 1180", kStatusBar}, {"Scan started", kProgramLog}, {" ", kProgramLog}, {" ", kProgramLog},
        {" Moving to 1200", kStatusBar}};
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(std::pair(lines[i].text, lines[i].channel), expected[i]) << i;
    }
}

}  // namespace
}  // namespace kv
