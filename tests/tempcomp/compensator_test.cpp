#include <gtest/gtest.h>

#include <vector>

#include "support/recording_dialogs.h"
#include "tempcomp/compensator.h"

namespace kv {
namespace {

const TCLocale kDot{".", "%m/%d/%Y", "%H:%M:%S"};

class FakeFocuser final : public ICompensationFocuser {
public:
    bool Idle() override { return idle; }
    double TCAvg() override { return avg; }
    void MoveBy(std::int32_t steps) override { moves.push_back({steps, stopFactor}); }
    int StopFactor() override { return stopFactor; }
    void SetStopFactor(int value) override { stopFactor = value; }
    bool InterruptsOff() override { return interruptsOff; }

    struct Move {
        std::int32_t steps;
        int stopFactorDuring;
    };
    bool idle = true;
    bool interruptsOff = false;
    double avg = 0;
    int stopFactor = 8;
    std::vector<Move> moves;
};

class FixedClock final : public IClock {
public:
    std::int64_t TickMs() const override { return 0; }
    std::chrono::system_clock::time_point Now() const override { return now; }
    std::chrono::system_clock::time_point now = std::chrono::system_clock::now();
};

struct Rig {
    FakeFocuser focuser;
    test::RecordingDialogs dialogs;
    FixedClock clock;
    std::vector<std::string> log;
    std::vector<std::int32_t> announced;
    std::vector<int> idleTimers;
    bool slowStop = false;
    TTempCompensator comp{focuser, dialogs, clock, kDot,
                          CompensationHooks{[this](const std::string& line) { log.push_back(line); },
                                            [this](std::int32_t steps) { announced.push_back(steps); },
                                            [this](int ms) { idleTimers.push_back(ms); },
                                            [this] { return slowStop; }}};

    void Configure(const char* coefficient, const CompensationSettings& settings) {
        comp.SetSlopeText(coefficient), comp.SetSettings(settings);
    }
    // A reading of `celsius` as the read-out shows and averages it.
    void Read(double celsius) {
        focuser.avg = celsius;
        comp.SetAvgTempText(FormatTemperature(celsius, 'C', kDot));
    }
    // A manual correction at a reading of `celsius`: the steps it moved.
    std::int32_t CorrectAt(double celsius) {
        Read(celsius);
        comp.CompensateNow();
        return focuser.moves.back().steps;
    }
    // A manual correction from `from` to `to` degrees, after a "Clear".
    std::int32_t Manual(double from, double to) {
        comp.ClearActivity();
        CorrectAt(from);
        return CorrectAt(to);
    }
};

TEST(Compensation, StepsFollowCoefficientLimitsAndRounding) {
    Rig rig;
    rig.comp.SetSlopeText("10.0");
    EXPECT_EQ(rig.Manual(12.3, 12.1), -2);
    EXPECT_EQ(std::tuple(rig.log.back(), rig.comp.Panels().stepsMoved, rig.comp.Panels().method),
              std::tuple("Temp Comp: T:  12.1 \xC2\xB0""C, Steps: -2, Manual", "-2", "Manual"));

    // Halves go to the even neighbour, both ways.
    rig.comp.SetSlopeText("5");
    for (auto [to, steps] : {std::pair{12.5, 2}, {11.5, -2}, {13.5, 8}}) EXPECT_EQ(rig.Manual(12.0, to), steps) << to;

    rig.Configure("10.0", {3, false, 250, 0.5});
    EXPECT_EQ(rig.Manual(12.3, 12.1), 0);
    // A skipped correction is still shown and announced.
    EXPECT_EQ(std::tuple(rig.comp.Panels().stepsMoved, rig.announced.back()), std::tuple(std::string("0"), 0));
    EXPECT_EQ(rig.Manual(12.3, 12.0), -3);  // the minimum itself is moved

    rig.comp.SetSettings({1, true, 250, 0.5});
    EXPECT_EQ(rig.Manual(10.0, -20.0), 0);
    EXPECT_EQ(rig.CorrectAt(-20.5), -5) << "after an ignored jump the next change counts from there";
    EXPECT_EQ(rig.Manual(10.0, -15.0), -250);

    rig.Configure("-8.5", {});
    EXPECT_EQ(rig.Manual(12.3, 12.6), -3);
    EXPECT_EQ(rig.announced.back(), -3);
    // After a "Clear" the first correction starts from the current temperature.
    EXPECT_EQ(rig.focuser.moves[rig.focuser.moves.size() - 2].steps, 0);

    // A slow cooling, 0.1 degree per correction: changes below the minimum and
    // rounding remainders add up until worth a move, not forgotten each time.
    struct Drift {
        const char* coefficient;
        int minSteps;
        std::vector<std::int32_t> moved;
    };
    for (const Drift& d : {Drift{"10", 3, {0, 0, -3, 0, 0, -3}}, Drift{"4", 1, {0, -1, 0, -1, 0, 0}}}) {
        rig.Configure(d.coefficient, {d.minSteps, false, 250, 0.5});
        std::vector<std::int32_t> moved{rig.Manual(12.0, 11.9)};
        for (int i = 2; i <= 6; ++i) moved.push_back(rig.CorrectAt(12.0 - 0.1 * i));
        EXPECT_EQ(moved, d.moved) << d.coefficient;
    }
}

TEST(Compensation, ScheduleCountsDownAndCorrectsAtZero) {
    Rig rig;
    rig.Configure("10", {1, false, 250, 0.5});
    rig.Read(15.0);
    ASSERT_TRUE(rig.comp.SwitchOn());
    EXPECT_TRUE(rig.comp.AutoOn());
    ASSERT_EQ(rig.focuser.moves.size(), 1u);  // the first activation corrects at once, by nothing
    EXPECT_EQ(std::tuple(rig.focuser.moves[0].steps, rig.comp.Panels().timeUntil, rig.comp.Panels().startTemp),
              std::tuple(0, "00:30", rig.comp.AvgTempText()));

    rig.Read(14.0);
    for (int i = 0; i < 29; ++i) rig.comp.SecondTimerTimer();
    EXPECT_EQ(std::tuple(rig.comp.Panels().timeUntil, rig.focuser.moves.size()), std::tuple(std::string("00:01"), 1ul));
    rig.comp.SecondTimerTimer();
    ASSERT_EQ(rig.focuser.moves.size(), 2u);
    EXPECT_EQ(std::tuple(rig.focuser.moves[1].steps, rig.log.back(), rig.comp.Panels().timeUntil),
              std::tuple(-10, "Temp Comp: T:  14.0 \xC2\xB0""C, Steps: -10, Automatic", "00:30"));

    rig.comp.SetSettings({1, false, 250, 30});
    rig.comp.SwitchOn();
    EXPECT_EQ(rig.comp.Panels().timeUntil, "30:00");
    rig.comp.HardwareLost();
    EXPECT_FALSE(rig.comp.AutoOn() || rig.comp.FirstActivation());
    EXPECT_EQ(rig.comp.Panels().timeUntil + rig.comp.Panels().sched, "");
}

TEST(Compensation, RefusalsRetriesAndTheSlowStop) {
    Rig rig;
    rig.comp.SetSlopeText("ten");
    rig.Read(10.0);
    EXPECT_FALSE(rig.comp.SwitchOn() || rig.comp.AutoOn());
    rig.comp.CompensateNow();
    EXPECT_EQ(rig.dialogs.Texts(),
              (std::vector<std::string>{kNoCoefficientStartText, kNoCoefficientNowText}));

    rig.comp.SetSlopeText("10");
    rig.focuser.interruptsOff = true;
    rig.comp.CompensateNow();
    EXPECT_EQ(rig.dialogs.Texts().back(), kInterruptsOffText);
    EXPECT_TRUE(rig.focuser.moves.empty());

    // A busy focuser: the correction waits for the one-shot retry.
    rig.focuser.interruptsOff = false, rig.focuser.idle = false;
    rig.comp.CompensateNow();
    EXPECT_EQ(rig.idleTimers, std::vector<int>{kIdleCheckTimerMs});
    EXPECT_TRUE(rig.focuser.moves.empty());
    rig.focuser.idle = true;
    rig.Read(9.0);  // the retry measures the change up to the average it finds
    rig.slowStop = true;
    rig.comp.IdleCheckTimerTimer();
    ASSERT_EQ(rig.focuser.moves.size(), 1u);
    // Slowed for the move only.
    EXPECT_EQ(std::tuple(rig.focuser.moves[0].steps, rig.focuser.moves[0].stopFactorDuring, rig.focuser.stopFactor),
              std::tuple(-10, kSlowStopFactor, 8));
    rig.comp.IdleCheckTimerTimer();  // a stray timer does not correct twice
    EXPECT_EQ(rig.focuser.moves.size(), 1u);
}

}  // namespace
}  // namespace kv
