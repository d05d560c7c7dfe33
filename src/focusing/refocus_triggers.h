// Refocus triggers: the rules that say focus has probably drifted far enough
// since the last auto focus that a refocus is worth its frames.
//
// Three rules, each off until the user turns it on:
//   - time: N minutes since the last focus;
//   - temperature: the temperature moved X °C (either way) from where it
//     stood at the last focus;
//   - HFD: the median HFD of the last K readings is Y % above its value just
//     after the last focus.
//
// The HFD's value "just after the last focus" is the median of the first K
// readings that came in after it, not the auto focus's own final reading:
// continuous focus and a client's imaging frames measure the star with other
// exposures, samples and (for a client) other software, so only readings of
// the same kind compare. For the same reason a change of source (the window's
// focus frames, a client's reports) starts the baseline again, and so does a
// move made by hand. The median rather than the mean keeps one frame of bad
// seeing or a passing satellite from firing the rule.
//
// A rule is never due while a procedure or a client's move runs (`busy`), nor
// before the first auto focus of the session has completed: a refocus needs a
// good curve to start from. Once Due has given a reason the triggers stay
// quiet until an auto focus ends. A completed one re-arms them with fresh
// references; one that failed, was cancelled or did not start keeps the old
// references and lets the rules fire again only after kRefocusRetryMs, so an
// unattended night with passing cloud tries again now and then instead of
// every few seconds.
//
// Times are the injectable clock's ticks (IClock::TickMs), so a night runs in
// milliseconds in the tests and the bench.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "shell/ini_file.h"

namespace kv {

struct RefocusTriggerSettings {
    bool afterTime = false;
    int minutes = 60;
    bool onTemperature = false;
    double temperatureC = 1.0;
    bool onHfdRise = false;
    double hfdRisePercent = 15.0;
    int hfdReadings = 5;
    bool AnyOn() const { return afterTime || onTemperature || onHfdRise; }
    bool operator==(const RefocusTriggerSettings&) const = default;
};

inline constexpr int kRefocusMinutesMin = 1;
inline constexpr int kRefocusMinutesMax = 1440;
inline constexpr double kRefocusTemperatureMinC = 0.1;
inline constexpr double kRefocusTemperatureMaxC = 20.0;
inline constexpr double kRefocusHfdRiseMinPercent = 1.0;
inline constexpr double kRefocusHfdRiseMaxPercent = 500.0;
inline constexpr int kRefocusHfdReadingsMin = 1;
inline constexpr int kRefocusHfdReadingsMax = 50;
// After a refocus that did not complete, the rules wait this long before firing again.
inline constexpr std::int64_t kRefocusRetryMs = 10 * 60 * 1000;

// The [RefocusTriggers] keys. None is in the factory file: each is written
// when the user (or a script) first changes it.
inline constexpr const char* kRefocusSection = "RefocusTriggers";
inline constexpr const char* kRefocusAfterTimeKey = "AfterTime";
inline constexpr const char* kRefocusMinutesKey = "Minutes";
inline constexpr const char* kRefocusOnTemperatureKey = "OnTemperature";
inline constexpr const char* kRefocusTemperatureKey = "TemperatureChange";
inline constexpr const char* kRefocusOnHfdKey = "OnHfdRise";
inline constexpr const char* kRefocusHfdRiseKey = "HfdRisePercent";
inline constexpr const char* kRefocusHfdReadingsKey = "HfdReadings";

// Absent keys keep the defaults; values outside the ranges are brought within.
RefocusTriggerSettings ReadRefocusTriggers(const IniFile& ini);
RefocusTriggerSettings ClampRefocusTriggers(RefocusTriggerSettings s);
// The keys whose value differs between `before` and `after`, with the
// value as the file writes it (whole numbers, or reals with a point in any
// locale), in a fixed order.
std::vector<std::pair<const char*, std::string>> ChangedRefocusKeys(const RefocusTriggerSettings& before,
                                                                    const RefocusTriggerSettings& after);
// Writes those keys now, one at a time, the rest of the file left alone; the
// first failure ends the writing and is returned.
WriteResult SaveRefocusTriggers(const std::string& path, const RefocusTriggerSettings& before,
                                const RefocusTriggerSettings& after);

enum class RefocusRule { Time, Temperature, HfdRise };
// "time", "temperature", "hfd": the rule's name for scripts and logs.
const char* RefocusRuleName(RefocusRule rule);

struct RefocusDue {
    RefocusRule rule = RefocusRule::Time;
    // "Refocus: ..." with the rule's figures, for the log, the focus log and scripts.
    std::string reason;
};

enum class HfdSource { FocusFrame, Client };

class TRefocusTriggers {
public:
    void SetSettings(const RefocusTriggerSettings& settings);
    const RefocusTriggerSettings& Settings() const { return settings_; }

    // An auto focus (any method, whoever started it) ended at `ms`. The
    // temperature is the one read at its end, when one was.
    void FocusEnded(std::int64_t ms, bool completed, std::optional<double> temperatureC);
    // The read-out's temperature.
    void Temperature(std::int64_t ms, double c);
    // An HFD reading of the focus star or the field; not a positive finite
    // number (no star): ignored.
    void Reading(std::int64_t ms, double hfd, HfdSource source);
    // The user (or a client) moved the focuser by hand. The star's size now
    // tells where they put it, not how far focus drifted: the HFD rule takes
    // its baseline again from the next readings. The time and temperature
    // rules keep their references, since the move corrects neither.
    void Moved();

    // The first rule that holds (temperature, then HFD, then time), or
    // nullopt. A reason given disarms the triggers until FocusEnded.
    std::optional<RefocusDue> Due(std::int64_t ms, bool busy);

    // A completed focus has set references and no reason was given since.
    bool Armed() const { return armed_; }
    // The HFD the rule compares with, once the first readings after the focus are in.
    std::optional<double> BaselineHfd() const { return baseline_; }

private:
    std::optional<RefocusDue> Check(std::int64_t ms) const;

    RefocusTriggerSettings settings_;
    bool focused_ = false;  // a completed focus set the references
    bool armed_ = false;
    std::int64_t focusMs_ = 0;
    std::int64_t quietUntilMs_ = 0;
    std::optional<double> focusTemperature_;
    std::optional<double> temperature_;
    std::optional<double> baseline_;
    std::optional<HfdSource> source_;
    std::vector<double> first_;   // readings towards the baseline
    std::deque<double> recent_;   // the last K readings
};

// The median of the values (the mean of the middle two for an even count); NaN for none.
double MedianOf(std::vector<double> values);

}  // namespace kv
