#include "focusing/refocus_triggers.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "platform/c_number.h"
#include "shell/settings_store.h"

namespace kv {
namespace {

// Figures read back from a file or a script land a hair off their decimal
// value (0.1 + 0.2); a threshold is met when the figure reaches it within this.
constexpr double kSlack = 1e-9;

bool ReadFlag(const IniFile& ini, const char* key, bool def) {
    return ini.GetBool(kRefocusSection, key, def);
}

double ReadReal(const IniFile& ini, const char* key, double def) {
    const std::optional<std::string> v = ini.Get(kRefocusSection, key);
    if (!v) return def;
    return ParseDoubleC(*v).value_or(def);
}

std::string Flag(bool on) { return on ? "1" : "0"; }

std::string Real(double v) { return FormatShortestC(v); }

std::string Fixed(double v, int decimals) { return FormatFixedC(v, decimals); }

}  // namespace

RefocusTriggerSettings ClampRefocusTriggers(RefocusTriggerSettings s) {
    const RefocusTriggerSettings def;
    s.minutes = std::clamp(s.minutes, kRefocusMinutesMin, kRefocusMinutesMax);
    s.temperatureC = std::isfinite(s.temperatureC)
                         ? std::clamp(s.temperatureC, kRefocusTemperatureMinC, kRefocusTemperatureMaxC)
                         : def.temperatureC;
    s.hfdRisePercent = std::isfinite(s.hfdRisePercent)
                           ? std::clamp(s.hfdRisePercent, kRefocusHfdRiseMinPercent, kRefocusHfdRiseMaxPercent)
                           : def.hfdRisePercent;
    s.hfdReadings = std::clamp(s.hfdReadings, kRefocusHfdReadingsMin, kRefocusHfdReadingsMax);
    return s;
}

RefocusTriggerSettings ReadRefocusTriggers(const IniFile& ini) {
    const RefocusTriggerSettings def;
    RefocusTriggerSettings s;
    s.afterTime = ReadFlag(ini, kRefocusAfterTimeKey, def.afterTime);
    s.minutes = static_cast<int>(std::clamp<std::int64_t>(
        ini.GetInteger(kRefocusSection, kRefocusMinutesKey, def.minutes), kRefocusMinutesMin, kRefocusMinutesMax));
    s.onTemperature = ReadFlag(ini, kRefocusOnTemperatureKey, def.onTemperature);
    s.temperatureC = ReadReal(ini, kRefocusTemperatureKey, def.temperatureC);
    s.onHfdRise = ReadFlag(ini, kRefocusOnHfdKey, def.onHfdRise);
    s.hfdRisePercent = ReadReal(ini, kRefocusHfdRiseKey, def.hfdRisePercent);
    s.hfdReadings = static_cast<int>(std::clamp<std::int64_t>(
        ini.GetInteger(kRefocusSection, kRefocusHfdReadingsKey, def.hfdReadings), kRefocusHfdReadingsMin,
        kRefocusHfdReadingsMax));
    return ClampRefocusTriggers(s);
}

std::vector<std::pair<const char*, std::string>> ChangedRefocusKeys(const RefocusTriggerSettings& a,
                                                                    const RefocusTriggerSettings& b) {
    std::vector<std::pair<const char*, std::string>> keys;
    if (a.afterTime != b.afterTime) keys.emplace_back(kRefocusAfterTimeKey, Flag(b.afterTime));
    if (a.minutes != b.minutes) keys.emplace_back(kRefocusMinutesKey, std::to_string(b.minutes));
    if (a.onTemperature != b.onTemperature) keys.emplace_back(kRefocusOnTemperatureKey, Flag(b.onTemperature));
    if (a.temperatureC != b.temperatureC) keys.emplace_back(kRefocusTemperatureKey, Real(b.temperatureC));
    if (a.onHfdRise != b.onHfdRise) keys.emplace_back(kRefocusOnHfdKey, Flag(b.onHfdRise));
    if (a.hfdRisePercent != b.hfdRisePercent) keys.emplace_back(kRefocusHfdRiseKey, Real(b.hfdRisePercent));
    if (a.hfdReadings != b.hfdReadings) keys.emplace_back(kRefocusHfdReadingsKey, std::to_string(b.hfdReadings));
    return keys;
}

WriteResult SaveRefocusTriggers(const std::string& path, const RefocusTriggerSettings& before,
                                const RefocusTriggerSettings& after) {
    for (const auto& [key, value] : ChangedRefocusKeys(before, after)) {
        WriteResult written = SaveSettingValue(path, kRefocusSection, key, value);
        if (!written.ok) return written;
    }
    return {true, {}};
}

const char* RefocusRuleName(RefocusRule rule) {
    switch (rule) {
        case RefocusRule::Time: return "time";
        case RefocusRule::Temperature: return "temperature";
        case RefocusRule::HfdRise: return "hfd";
    }
    return "time";
}

double MedianOf(std::vector<double> v) {
    if (v.empty()) return NAN;
    const std::size_t mid = v.size() / 2;
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(mid), v.end());
    const double upper = v[mid];
    if (v.size() % 2 == 1) return upper;
    const double lower = *std::max_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(mid));
    return (lower + upper) / 2.0;
}

void TRefocusTriggers::SetSettings(const RefocusTriggerSettings& settings) {
    const int before = settings_.hfdReadings;
    settings_ = ClampRefocusTriggers(settings);
    if (settings_.hfdReadings == before) return;
    // A baseline over another number of readings is no longer the one asked for.
    while (recent_.size() > static_cast<std::size_t>(settings_.hfdReadings)) recent_.pop_front();
    if (!baseline_ && first_.size() >= static_cast<std::size_t>(settings_.hfdReadings)) {
        first_.resize(static_cast<std::size_t>(settings_.hfdReadings));
        baseline_ = MedianOf(first_);
    }
}

void TRefocusTriggers::FocusEnded(std::int64_t ms, bool completed, std::optional<double> temperatureC) {
    // The focuser stands elsewhere now: readings from before describe another focus.
    recent_.clear();
    if (!completed) {
        if (!focused_) return;
        first_.clear();
        armed_ = true;
        quietUntilMs_ = ms + kRefocusRetryMs;
        return;
    }
    focused_ = true;
    armed_ = true;
    focusMs_ = ms;
    quietUntilMs_ = ms;
    focusTemperature_ = temperatureC;
    if (temperatureC) temperature_ = temperatureC;
    baseline_.reset();
    source_.reset();
    first_.clear();
}

void TRefocusTriggers::Temperature(std::int64_t /*ms*/, double c) {
    if (!std::isfinite(c)) return;
    temperature_ = c;
    // A focus that ended without a temperature takes the first one after it.
    if (focused_ && !focusTemperature_) focusTemperature_ = c;
}

void TRefocusTriggers::Reading(std::int64_t /*ms*/, double hfd, HfdSource source) {
    if (!std::isfinite(hfd) || hfd <= 0.0 || !focused_) return;
    if (source_ && *source_ != source) {
        baseline_.reset();
        first_.clear();
        recent_.clear();
    }
    source_ = source;
    const auto k = static_cast<std::size_t>(settings_.hfdReadings);
    if (!baseline_) {
        first_.push_back(hfd);
        if (first_.size() >= k) baseline_ = MedianOf(first_);
    }
    recent_.push_back(hfd);
    while (recent_.size() > k) recent_.pop_front();
}

void TRefocusTriggers::Moved() {
    baseline_.reset();
    first_.clear();
    recent_.clear();
}

std::optional<RefocusDue> TRefocusTriggers::Due(std::int64_t ms, bool busy) {
    if (busy || !armed_ || ms < quietUntilMs_) return std::nullopt;
    std::optional<RefocusDue> due = Check(ms);
    if (due) armed_ = false;
    return due;
}

std::optional<RefocusDue> TRefocusTriggers::Check(std::int64_t ms) const {
    const RefocusTriggerSettings& s = settings_;
    if (s.onTemperature && focusTemperature_ && temperature_) {
        const double change = std::fabs(*temperature_ - *focusTemperature_);
        if (change + kSlack >= s.temperatureC) {
            return RefocusDue{RefocusRule::Temperature,
                              "Refocus: temperature changed by " + Fixed(change, 1) + " \u00B0C since the last focus"};
        }
    }
    const auto k = static_cast<std::size_t>(s.hfdReadings);
    if (s.onHfdRise && baseline_ && *baseline_ > 0.0 && recent_.size() >= k) {
        const double now = MedianOf({recent_.begin(), recent_.end()});
        const double rise = 100.0 * (now / *baseline_ - 1.0);
        if (rise + kSlack >= s.hfdRisePercent) {
            return RefocusDue{RefocusRule::HfdRise, "Refocus: HFD rose by " + Fixed(rise, 0) + " % over the last " +
                                                        std::to_string(k) + " readings (" + Fixed(now, 2) +
                                                        " against " + Fixed(*baseline_, 2) + " after the last focus)"};
        }
    }
    if (s.afterTime && ms - focusMs_ >= static_cast<std::int64_t>(s.minutes) * 60000) {
        return RefocusDue{RefocusRule::Time,
                          "Refocus: " + std::to_string((ms - focusMs_) / 60000) + " minutes since the last focus"};
    }
    return std::nullopt;
}

}  // namespace kv
