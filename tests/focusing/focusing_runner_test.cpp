// The scan and the search on their worker thread, against a scripted focuser
// and camera on a clock that runs a 45 s wait in milliseconds.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "focusing/focusing_runner.h"
#include "support/eventually.h"
#include "support/recording_dialogs.h"

namespace kv {
namespace {

// A focuser that moves at once (or never ends a move when stalled) and a
// camera whose FOM follows a V around `best`.
struct FakeDevices final : IFocusDevices {
    std::atomic<std::int32_t> position{0};
    std::atomic<bool> idle{true};
    std::atomic<bool> stalled{false};
    std::atomic<int> frames{0};
    std::function<void(int)> onFrame;  // frame number, from 1
    std::int32_t best = 30;
    FomKind kind = FomKind::HFD;

    bool FocuserIdle() override { return idle.load(); }
    std::int32_t Position() override { return position.load(); }
    void ResetPosition() override { position = 0; }
    void MoveBy(std::int32_t steps) override {
        const auto done = OpenNamedEvent(kGeneralDelayEvent);
        done->Reset();
        if (stalled) return;
        position += steps;
        done->Set();
    }
    void MoveTo(std::int32_t p) override { MoveBy(p - position.load()); }
    FocusReading TakeFocusFrame() override {
        const int n = ++frames;
        if (onFrame) onFrame(n);
        FocusReading r;
        r.HFD = 2.0 + std::abs(position.load() - best) / 50.0;
        r.FOM = r.HFD;
        return r;
    }
    FomKind Kind() override { return kind; }
};

struct RecordingView final : IFocusingView {
    std::mutex m;
    std::vector<std::string> log;
    std::vector<int> progress;
    std::vector<ChartPoint> scanPoints;
    std::optional<ScanResult> scan;
    std::optional<SearchResult> search;

    void SampleProgress(int position, int) override { std::lock_guard l(m); progress.push_back(position); }
    void SampleTaken(const FocusReading&) override {}
    void Log(const std::string& text) override { std::lock_guard l(m); log.push_back(text); }
    void Status(const std::string& text) override { Log(text); }
    void StatusPanel(const std::string&) override {}
    void ScanStarted(const AxisRange&) override {}
    void ScanPoint(const ChartPoint& p) override { std::lock_guard l(m); scanPoints.push_back(p); }
    void ScanEnded(const ScanResult& r) override { std::lock_guard l(m); scan = r; }
    void SearchStarted(const SearchChartAxes&) override {}
    void SearchPoint(const kv::SearchPoint&) override {}
    void SearchEnded(const SearchResult& r) override { std::lock_guard l(m); search = r; }
    bool Logged(const std::string& text) { return std::count(log.begin(), log.end(), text) > 0; }
};

struct RunnerTest : ::testing::Test {
    ScaledClock clock{1000.0};
    test::RecordingDialogs dialogs;
    RecordingView view;
    TFocusingRunner runner{view, dialogs, clock};
    std::unique_ptr<FakeDevices> owned = std::make_unique<FakeDevices>();
    FakeDevices& dev = *owned;
};

TEST_F(RunnerTest, ScanMeasuresElevenPositionsAndLeavesTheFocuserAtTheLast) {
    dev.position = 500;  // the scan counts from wherever the focuser stands
    runner.SetSamples(0);
    EXPECT_EQ(runner.Samples(), kFocusSamplesMin);
    runner.SetSamples(kFocusSamplesMax + 1);
    ASSERT_TRUE(runner.StartScan(std::move(owned), ScanSettings{}));
    runner.Join();
    ASSERT_TRUE(view.scan.has_value());
    EXPECT_EQ(view.scan->outcome, FocusOutcome::Completed);
    ASSERT_EQ(view.scanPoints.size(), 11u);
    EXPECT_EQ(view.scanPoints.front().x, -100);
    EXPECT_EQ(view.scanPoints.back().x, 100);
    EXPECT_EQ(view.scan->best, 20);  // 20 and 40 tie at 2.2: the lower one
    EXPECT_EQ(dev.position, 100);
    EXPECT_TRUE(view.Logged("Moving to -100"));
    EXPECT_TRUE(view.Logged("-100 4.6000"));
    EXPECT_EQ(dev.frames, 11 * kFocusSamplesMax);  // the most samples a position
    EXPECT_EQ(view.progress.back(), 0);
}

TEST_F(RunnerTest, CancelDuringAReadingEndsTheScanWithoutABest) {
    dev.onFrame = [this](int frame) {
        if (frame == 13) runner.Cancel();
    };
    ASSERT_TRUE(runner.StartScan(std::move(owned), ScanSettings{}));
    runner.Join();
    ASSERT_TRUE(view.scan.has_value());
    EXPECT_EQ(view.scan->outcome, FocusOutcome::Cancelled);
    EXPECT_EQ(view.scan->best, std::nullopt);
    EXPECT_EQ(dev.frames, 13);            // the reading stopped after its current sample
    EXPECT_EQ(view.scanPoints.size(), 2u);  // and produced no point
    EXPECT_EQ(view.log.back(), "Scan cancelled....");
    EXPECT_EQ(view.progress.back(), 0);
}

TEST_F(RunnerTest, StalledFocuserTimesOutTheScanAndTheSearch) {
    dev.stalled = true;
    ASSERT_TRUE(runner.StartScan(std::move(owned), ScanSettings{}));
    runner.Join();
    ASSERT_TRUE(view.scan.has_value());
    EXPECT_EQ(view.scan->outcome, FocusOutcome::Failed);
    EXPECT_EQ(view.log.back(), "Error...Scan cancelled");
    EXPECT_EQ(dialogs.Deferred(), std::vector<std::string>{"Time out during scanning"});

    auto stalled = std::make_unique<FakeDevices>();
    stalled->stalled = true;
    ASSERT_TRUE(runner.StartSearch(std::move(stalled), 100));
    runner.Join();
    ASSERT_TRUE(view.search.has_value());
    EXPECT_EQ(view.search->outcome, FocusOutcome::Failed);
    EXPECT_EQ(view.search->message, "Time out in FocusFunction procedure");
    ASSERT_TRUE(view.search->reading.has_value());
    EXPECT_EQ(view.search->reading->FOM, 0.0);  // the boxes show zeros
}

TEST_F(RunnerTest, SearchEndsAtBestFocus) {
    ASSERT_TRUE(runner.StartSearch(std::move(owned), 100));
    runner.Join();
    ASSERT_TRUE(view.search.has_value());
    EXPECT_EQ(view.search->outcome, FocusOutcome::Completed);
    EXPECT_EQ(view.search->position, 30);
    EXPECT_EQ(dev.position, 30);
    EXPECT_DOUBLE_EQ(view.search->reading->FOM, 2.0);
    EXPECT_TRUE(view.Logged("Final Position = 30"));
}

TEST_F(RunnerTest, CancelEndsAReadingWaitingForAFocuserThatNeverStops) {
    dev.idle = false;
    ASSERT_TRUE(runner.StartSearch(std::move(owned), 100));
    ASSERT_TRUE(test::Eventually([&] { return dev.position == -100; }));  // then waits for Idle
    EXPECT_FALSE(runner.StartScan(std::make_unique<FakeDevices>(), ScanSettings{}));  // one at a time
    runner.Cancel();
    ASSERT_TRUE(test::Eventually([&] { return !runner.Running(); }));
    runner.Join();
    ASSERT_TRUE(view.search.has_value());
    EXPECT_EQ(view.search->outcome, FocusOutcome::Cancelled);
    EXPECT_EQ(dev.frames, 0);
    EXPECT_TRUE(view.search->points.empty());
}

}  // namespace
}  // namespace kv
