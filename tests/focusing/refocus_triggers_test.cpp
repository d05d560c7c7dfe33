#include "focusing/refocus_triggers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "shell/settings_store.h"
#include "support/temp_files.h"

namespace kv {
namespace {

constexpr std::int64_t kMinute = 60000;

RefocusTriggerSettings Only(RefocusRule rule) {
    RefocusTriggerSettings s;
    s.afterTime = rule == RefocusRule::Time;
    s.onTemperature = rule == RefocusRule::Temperature;
    s.onHfdRise = rule == RefocusRule::HfdRise;
    s.minutes = 30;
    s.temperatureC = 1.0;
    s.hfdRisePercent = 20.0;
    s.hfdReadings = 3;
    return s;
}

// Triggers after a completed focus at t = 0 and 10.0 °C.
TRefocusTriggers Focused(const RefocusTriggerSettings& s) {
    TRefocusTriggers t;
    t.SetSettings(s);
    t.FocusEnded(0, true, 10.0);
    return t;
}

void Feed(TRefocusTriggers& t, const std::vector<double>& hfds, HfdSource source = HfdSource::FocusFrame) {
    for (double h : hfds) t.Reading(kMinute, h, source);
}

TEST(RefocusTriggers, EachRuleFiresAtItsThresholdAndNotJustBelow) {
    struct Case {
        const char* name;
        RefocusRule rule;
        std::int64_t at;            // when Due is asked
        double temperature;         // read just before
        std::vector<double> hfds;   // after the baseline readings 2, 2, 2
        bool due;
        const char* reason = "";    // checked when given
    };
    const std::vector<Case> cases = {
        {"a minute short", RefocusRule::Time, 30 * kMinute - 1, 10.0, {}, false},
        {"the minutes reached", RefocusRule::Time, 30 * kMinute, 10.0, {}, true},
        {"well past", RefocusRule::Time, 62 * kMinute + 5000, 10.0, {}, true, "Refocus: 62 minutes since the last focus"},
        {"warmed just under", RefocusRule::Temperature, kMinute, 10.95, {}, false},
        {"warmed by the change", RefocusRule::Temperature, kMinute, 11.0, {}, true},
        {"cooled by the change", RefocusRule::Temperature, kMinute, 9.0, {}, true},
        {"cooled by more", RefocusRule::Temperature, kMinute, 8.8, {}, true,
         "Refocus: temperature changed by 1.2 \u00B0C since the last focus"},
        {"HFD risen just under", RefocusRule::HfdRise, kMinute, 10.0, {2.39, 2.39, 2.39}, false},
        {"HFD risen by the percentage", RefocusRule::HfdRise, kMinute, 10.0, {2.4, 2.4, 2.4}, true},
        {"HFD risen by more", RefocusRule::HfdRise, kMinute, 10.0, {3.0, 2.5, 2.5}, true,
         "Refocus: HFD rose by 25 % over the last 3 readings (2.50 against 2.00 after the last focus)"},
        {"HFD fallen", RefocusRule::HfdRise, kMinute, 10.0, {1.5, 1.5, 1.5}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TRefocusTriggers t = Focused(Only(c.rule));
        t.Temperature(c.at, c.temperature);
        Feed(t, {2.0, 2.0, 2.0});
        Feed(t, c.hfds);
        const std::optional<RefocusDue> due = t.Due(c.at, false);
        ASSERT_EQ(due.has_value(), c.due);
        if (due) {
            EXPECT_EQ(std::pair(due->rule, *c.reason ? due->reason : ""), std::pair(c.rule, std::string(c.reason)));
        }
    }
}

TEST(RefocusTriggers, HfdRuleWaitsForItsReadingsAndTakesTheMedian) {
    RefocusTriggerSettings s = Only(RefocusRule::HfdRise);
    s.hfdReadings = 4;
    TRefocusTriggers t = Focused(s);
    // Three readings make no baseline of four, however bad they are.
    Feed(t, {9.0, 6.0, 1.0});
    EXPECT_FALSE(t.BaselineHfd());
    EXPECT_FALSE(t.Due(kMinute, false));
    // The fourth completes it: the median of an even count is the middle two's mean, in any order.
    Feed(t, {5.0});
    EXPECT_EQ(t.BaselineHfd(), 5.5);
    std::vector<double> even{1.0, 5.0, 6.0, 9.0};
    do EXPECT_EQ(MedianOf(even), 5.5) << even[0] << even[1] << even[2];
    while (std::next_permutation(even.begin(), even.end()));
}

// A move by hand, a completed focus or readings from another source start the
// HFD baseline again: until K new readings are in, the old ones fire nothing.
TEST(RefocusTriggers, AMoveByHandARefocusOrAnotherSourceStartTheHfdBaselineAgain) {
    enum Event { None, Move, Refocus, Client };
    struct Case {
        const char* name;
        std::vector<double> before;  // readings before the event
        std::vector<double> after;   // readings after it
        std::optional<double> baseline;
        bool due;
        Event event = Move;
    };
    const std::vector<Case> cases = {
        // One bad frame among three is not a trend; two are.
        {"one bad frame", {2.0, 2.0, 2.0}, {8.0}, 2.0, false, None},
        {"two bad frames", {2.0, 2.0, 2.0}, {8.0, 8.0}, 2.0, true, None},
        // Readings that are no figure (no star) neither count nor spoil the window.
        {"readings with no figure", {2.0, 0.0, -1.0}, {2.0, NAN, 2.0}, 2.0, false, None},
        {"risen, then refocused", {2.0, 2.0, 2.0, 3.0, 3.0}, {3.0, 3.0}, std::nullopt, false, Refocus},
        {"the refocus's reference complete", {2.0, 2.0, 2.0, 3.0, 3.0}, {3.0, 3.0, 3.0}, 3.0, false, Refocus},
        // A client measures on its own frames: 4 px there is not twice our 2 px.
        {"another source", {2.0, 2.0, 2.0}, {4.0, 4.0, 4.0}, 4.0, false, Client},
        {"risen on the other source", {2.0, 2.0, 2.0}, {4.0, 4.0, 4.0, 5.0, 5.0}, 4.0, true, Client},
        // The user defocused on purpose: the bigger star is the new reference.
        {"risen, then moved", {2.0, 2.0, 2.0, 3.0, 3.0}, {3.0, 3.0}, std::nullopt, false},
        {"the new reference complete", {2.0, 2.0, 2.0, 3.0, 3.0}, {3.0, 3.0, 3.0}, 3.0, false},
        {"risen from the new reference", {2.0, 2.0, 2.0}, {3.0, 3.0, 3.0, 3.6, 3.6}, 3.0, true},
        {"just under a rise from it", {2.0, 2.0, 2.0}, {3.0, 3.0, 3.0, 3.59, 3.59}, 3.0, false},
        // A reference half taken counts for nothing after the move.
        {"moved while the reference formed", {2.0, 2.0}, {5.0, 5.0}, std::nullopt, false},
        {"and completed after it", {2.0, 2.0}, {5.0, 5.0, 5.0}, 5.0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TRefocusTriggers t = Focused(Only(RefocusRule::HfdRise));
        Feed(t, c.before);
        if (c.event == Move) t.Moved();
        if (c.event == Refocus) t.FocusEnded(2 * kMinute, true, 10.0);
        Feed(t, c.after, c.event == Client ? HfdSource::Client : HfdSource::FocusFrame);
        EXPECT_EQ(t.BaselineHfd(), c.baseline);
        EXPECT_EQ(t.Due(2 * kMinute, false).has_value(), c.due);
    }

    // The move corrects no drift: the other rules keep their references.
    RefocusTriggerSettings others = Only(RefocusRule::Time);
    others.onTemperature = true;
    TRefocusTriggers t = Focused(others);
    t.Temperature(kMinute, 11.0);
    t.Moved();
    const std::optional<RefocusDue> due = t.Due(kMinute, false);
    ASSERT_TRUE(due);
    EXPECT_EQ(due->rule, RefocusRule::Temperature);
    TRefocusTriggers later = Focused(Only(RefocusRule::Time));
    later.Moved();
    EXPECT_TRUE(later.Due(30 * kMinute, false));
}

TEST(RefocusTriggers, NothingFiresWhenOffBusyOrBeforeAFocus) {
    RefocusTriggerSettings all = Only(RefocusRule::Time);
    all.onTemperature = all.onHfdRise = true;
    const auto everythingHolds = [](TRefocusTriggers& t) {
        t.Temperature(kMinute, 15.0);
        Feed(t, {2.0, 2.0, 2.0, 9.0, 9.0, 9.0});
    };

    TRefocusTriggers off = Focused(RefocusTriggerSettings{});
    everythingHolds(off);
    EXPECT_FALSE(off.Due(600 * kMinute, false));

    TRefocusTriggers neverFocused;
    neverFocused.SetSettings(all);
    everythingHolds(neverFocused);
    EXPECT_FALSE(neverFocused.Due(600 * kMinute, false));
    // A focus that failed is no reference either.
    neverFocused.FocusEnded(kMinute, false, 10.0);
    EXPECT_FALSE(neverFocused.Due(600 * kMinute, false));

    // Busy holds the reason back without using it up.
    TRefocusTriggers busy = Focused(all);
    everythingHolds(busy);
    EXPECT_FALSE(busy.Due(600 * kMinute, true));
    EXPECT_TRUE(busy.Armed());
    EXPECT_TRUE(busy.Due(600 * kMinute, false));
}

TEST(RefocusTriggers, OneReasonPerFocusAndARetryAfterAFailure) {
    TRefocusTriggers t = Focused(Only(RefocusRule::Temperature));
    t.Temperature(kMinute, 11.5);
    ASSERT_TRUE(t.Due(kMinute, false));
    EXPECT_FALSE(t.Armed());
    // Still 1.5 °C off, but the refocus it asked for has not ended yet.
    EXPECT_FALSE(t.Due(2 * kMinute, false));

    // It failed: the old reference stands, and the rule waits before firing again.
    t.FocusEnded(3 * kMinute, false, 11.5);
    EXPECT_FALSE(t.Due(3 * kMinute + kRefocusRetryMs - 1, false));
    EXPECT_TRUE(t.Due(3 * kMinute + kRefocusRetryMs, false));

    // A completed one takes the temperature it ended at as the new reference,
    // and its time: the time rule counts from it.
    t.SetSettings([] { RefocusTriggerSettings s = Only(RefocusRule::Temperature); s.afterTime = true; return s; }());
    t.FocusEnded(20 * kMinute, true, 11.5);
    EXPECT_FALSE(t.Due(20 * kMinute, false));
    t.Temperature(21 * kMinute, 12.4);
    EXPECT_FALSE(t.Due(21 * kMinute, false));
    EXPECT_FALSE(t.Due(50 * kMinute - 1, false));
    EXPECT_EQ(t.Due(50 * kMinute, false).value().rule, RefocusRule::Time);
    t.FocusEnded(51 * kMinute, true, 11.5);
    t.Temperature(52 * kMinute, 12.5);
    EXPECT_EQ(t.Due(52 * kMinute, false).value().rule, RefocusRule::Temperature);

    // A focus that read no temperature takes the first one after it.
    TRefocusTriggers unread;
    unread.SetSettings(Only(RefocusRule::Temperature));
    unread.FocusEnded(0, true, std::nullopt);
    unread.Temperature(kMinute, 4.0);
    EXPECT_FALSE(unread.Due(kMinute, false));
    unread.Temperature(2 * kMinute, 5.0);
    EXPECT_TRUE(unread.Due(2 * kMinute, false));
}

TEST(RefocusTriggerSettings, FactoryFileUntouchedAndOnlyChangedKeysWritten) {
    test::TempDir dir;
    const std::string path = dir.File(kSettingsFileName);
    ASSERT_TRUE(WriteFactorySettings(path).ok);
    const RefocusTriggerSettings factory = ReadRefocusTriggers(IniFile::Load(path));
    EXPECT_EQ(factory, RefocusTriggerSettings{});
    EXPECT_FALSE(factory.AnyOn());
    ASSERT_TRUE(SaveRefocusTriggers(path, factory, factory).ok);
    EXPECT_EQ(test::ReadFile(path), FactorySettingsText());

    RefocusTriggerSettings changed = factory;
    changed.onTemperature = true;
    changed.temperatureC = 0.7;
    ASSERT_TRUE(SaveRefocusTriggers(path, factory, changed).ok);
    const IniFile ini = IniFile::Load(path);
    EXPECT_EQ(ini.Keys(kRefocusSection), (std::vector<std::string>{"OnTemperature", "TemperatureChange"}));
    EXPECT_EQ(ini.Get(kRefocusSection, kRefocusTemperatureKey), "0.7");
    EXPECT_EQ(ReadRefocusTriggers(ini), changed);
}

TEST(RefocusTriggerSettings, ValuesOutOfRangeOrUnreadableAreBroughtWithin) {
    struct Case {
        const char* key;
        const char* value;
        RefocusTriggerSettings want;
    };
    const auto with = [](auto change) {
        RefocusTriggerSettings s;
        change(s);
        return s;
    };
    const std::vector<Case> cases = {
        {"Minutes", "0", with([](auto& s) { s.minutes = kRefocusMinutesMin; })},
        {"Minutes", "99999", with([](auto& s) { s.minutes = kRefocusMinutesMax; })},
        {"TemperatureChange", "0", with([](auto& s) { s.temperatureC = kRefocusTemperatureMinC; })},
        {"TemperatureChange", "1,5", RefocusTriggerSettings{}},
        {"TemperatureChange", "2.5", with([](auto& s) { s.temperatureC = 2.5; })},
        {"HfdRisePercent", "900", with([](auto& s) { s.hfdRisePercent = kRefocusHfdRiseMaxPercent; })},
        {"HfdReadings", "-3", with([](auto& s) { s.hfdReadings = kRefocusHfdReadingsMin; })},
        {"OnHfdRise", "yes please", RefocusTriggerSettings{}},
        {"afterTIME", "1", with([](auto& s) { s.afterTime = true; })},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.key) + "=" + c.value);
        const IniFile ini = IniFile::Parse(std::string("[RefocusTriggers]\r\n") + c.key + "=" + c.value + "\r\n");
        EXPECT_EQ(ReadRefocusTriggers(ini), c.want);
    }
}

}  // namespace
}  // namespace kv
