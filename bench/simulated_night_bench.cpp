// A simulated night, twice: the learned temperature coefficient against the
// simulator's truth, then how well it holds focus as the night cools.
//
// Training night: the simulated observatory cools by 10 degrees over ten
// hours. Every hour the curve-fit auto focus runs against a model star around
// the observatory's moving best focus (seeing jitter on every frame, eight
// seconds a frame), and its answer is stored as a calibration point with the
// average temperature the read-out shows, as "Store point after Auto Focus"
// does. The engine's calibration list fits the coefficient after each store.
//
// Compensation night: the same cooling, the focuser starting at best focus,
// and the engine's compensator on its one-second timer with the trained
// coefficient, its minimum correction and its half-step rounding. The
// temperature comes from the simulated hub (0.1 degree resolution, with
// sensor noise) every 3 seconds and is averaged over the last 10 readings, as
// the focuser controller does.
//
// The training night's auto focuses also go to a focus log, as the program
// writes them, and the focus history's drift fitted over them is reported
// beside the calibration list's coefficient.
//
// Triggered nights: no compensation, the temperature and HFD refocus triggers
// on, and on each trigger either the quick refocus or a full curve fit. An
// imaging program reports the HFD of each of its frames; the share of the
// night the true focus stays within one critical focus zone and the focus
// frames spent are set side by side.
//
// Deterministic: seeded random numbers, the observatory's night held and
// stepped by hand, no threads and no waits. Prints tables; writes the error
// over the night as CSV and a PNG chart ($KV_NIGHT_OUT, default
// "simulated_night" in the working folder: .csv and .png).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "focuser/focus_control.h"
#include "focusing/curve_fit_search.h"
#include "focusing/critical_focus_zone.h"
#include "focusing/focus_log.h"
#include "focusing/quick_refocus.h"
#include "focusing/refocus_triggers.h"
#include "sim/hub_simulator.h"
#include "sim/observatory.h"
#include "tempcomp/calibration_list.h"
#include "tempcomp/compensator.h"

namespace {

using namespace std::chrono_literals;

constexpr double kNightHours = 10.0;
constexpr double kCoolingPerHour = -1.0;  // degrees Celsius: 10 over the night
constexpr int kTrainingRuns = 11;         // one auto focus an hour, dusk to dawn
constexpr double kFrameSeconds = 8.0;     // exposure, download and the move before it
constexpr double kReadingSeconds = 3.0;   // the read-out's default rate
constexpr double kSensorNoiseC = 0.05;
constexpr double kSeeingPx = 2.5;         // HFD at best focus
constexpr double kSeeingJitter = 0.10;    // frame-to-frame spread of the seeing
constexpr double kBlurPxPerStep = 0.05;   // HFD growth away from focus
constexpr double kNoStarHfd = 20.0;
constexpr int kSearchStep = 40;
constexpr int kSeeds = 20;

kvsim::NightParameters Parameters() {
    kvsim::NightParameters p;
    p.temperatureRateCPerHour = kCoolingPerHour;
    return p;
}

// The night as the program sees it: the observatory's clock held and stepped,
// the hub's temperature replies and the controller's running average.
class Night {
public:
    explicit Night(unsigned seed, double sensorNoiseC = kSensorNoiseC) : rng_(seed), noise_(sensorNoiseC) {
        obs_.StartNight(Parameters());
        obs_.SetNightSeconds(0.0);
        obs_.SetBacklash(0);
        obs_.SetTruePosition(std::llround(obs_.BestFocus()));
        Read();
    }
    ~Night() { obs_.SetNightSeconds(std::nullopt); }
    Night(const Night&) = delete;
    Night& operator=(const Night&) = delete;

    // Moves the night on by `dt` seconds, reading the temperature on schedule.
    void Advance(double dt) {
        const double until = seconds_ + dt;
        while (nextReading_ <= until) {
            seconds_ = nextReading_;
            obs_.SetNightSeconds(seconds_);
            Read();
        }
        seconds_ = until;
        obs_.SetNightSeconds(seconds_);
    }
    void AdvanceTo(double seconds) { Advance(std::max(0.0, seconds - seconds_)); }

    double Seconds() const { return seconds_; }
    double Average() const { return average_; }
    const std::string& AverageText() const { return averageText_; }
    std::chrono::system_clock::time_point Now() const {
        return kDusk + std::chrono::milliseconds(std::llround(seconds_ * 1000.0));
    }
    kvsim::Observatory& Obs() { return obs_; }
    std::int64_t Error() const { return obs_.TruePosition() - std::llround(obs_.BestFocus()); }
    double ErrorExact() const { return static_cast<double>(obs_.TruePosition()) - obs_.BestFocus(); }

    // A focus frame's HFD at the focuser's present position.
    kv::FocusReading Frame() {
        const double seeing = kSeeingPx * std::max(0.3, 1.0 + kSeeingJitter * normal_(rng_));
        const double blur = kBlurPxPerStep * ErrorExact();
        kv::FocusReading r;
        r.HFD = std::sqrt(seeing * seeing + blur * blur);
        if (r.HFD > kNoStarHfd) {
            r.status = kv::StarStatus::NoStar;
            r.HFD = 80.0;
        }
        r.FOM = r.HFD;
        return r;
    }

    const kv::TCLocale locale{};

private:
    static constexpr auto kDusk = std::chrono::sys_days{std::chrono::year{2026} / 12 / 7} + 17h;

    void Read() {
        nextReading_ = seconds_ + kReadingSeconds;
        const std::string reply = hub_.Answer("KTR08?????", obs_.TemperatureC() + noise_ * normal_(rng_));
        const auto t = kv::ParseLocaleFloat(reply.substr(5), locale);
        if (!t) return;
        history_.push_back(*t);
        if (history_.size() > kv::kTempHistoryLength) history_.pop_front();
        double sum = 0;
        for (double v : history_) sum += v;
        average_ = sum / static_cast<double>(history_.size());
        averageText_ = kv::FormatTemperature(average_, 'C', locale);
    }

    kvsim::Observatory& obs_ = kvsim::Observatory::Instance();
    kvsim::HubProtocol hub_;
    std::mt19937 rng_;
    std::normal_distribution<double> normal_{0.0, 1.0};
    double noise_;
    double seconds_ = 0.0;
    double nextReading_ = 0.0;
    std::deque<double> history_;
    double average_ = 0.0;
    std::string averageText_;
};

// The curve-fit auto focus from where the focuser stands; its answer, or
// nullopt when it gave up (the focuser is then back at its start).
std::optional<std::int32_t> AutoFocus(Night& night) {
    kv::CurveFitSettings settings;
    settings.step = kSearchStep;
    auto& obs = night.Obs();
    kv::TCurveFitSearch search(settings, kv::FomKind::HFD, static_cast<std::int32_t>(obs.DrivePosition()));
    for (int guard = 0; guard < 200; ++guard) {
        const auto a = search.Next();
        search.TakeNotes();
        switch (a.kind) {
        case kv::TAutoFocusSearch::Action::CheckCancel: break;
        case kv::TAutoFocusSearch::Action::Move:
            obs.SetDrivePosition(a.position);
            night.Advance(1.0);
            break;
        case kv::TAutoFocusSearch::Action::Measure:
            if (!a.here) obs.SetDrivePosition(a.position);
            night.Advance(kFrameSeconds);
            search.Report(night.Frame(), static_cast<std::int32_t>(obs.DrivePosition()), 1);
            search.TakeNotes();
            break;
        case kv::TAutoFocusSearch::Action::MeasureImage: return std::nullopt;  // no coarse phase here
        case kv::TAutoFocusSearch::Action::Finished: return a.position;
        case kv::TAutoFocusSearch::Action::Failed: return std::nullopt;
        }
    }
    return std::nullopt;
}

struct Training {
    std::vector<double> slopeAfter;  // [n]: the fitted coefficient after n stored points (NaN below 2)
    std::vector<std::string> slopeTextAfter;
    std::vector<double> focusErrors;  // |answer - best focus| of each finished auto focus
    int failed = 0;
    std::vector<kv::FocusLogEntry> log;  // each auto focus as the focus log has it
};

Training TrainingNight(unsigned seed) {
    Night night(seed);
    kv::TCalibrationList list(night.locale);
    list.BeginTraining();
    Training t;
    t.slopeAfter.assign(kTrainingRuns + 1, NAN);
    t.slopeTextAfter.assign(kTrainingRuns + 1, "");
    const double interval = kNightHours * 3600.0 / (kTrainingRuns - 1);
    for (int run = 0; run < kTrainingRuns; ++run) {
        night.AdvanceTo(run * interval);
        const auto answer = AutoFocus(night);
        kv::FocusLogEntry entry;
        entry.time = kv::FocusLogTime(night.Now());
        entry.procedure = "autofocus";
        entry.method = "curve fit";
        entry.outcome = answer ? "completed" : "rejected";
        entry.final = answer.value_or(0);
        entry.kind = "HFD";
        entry.temperatureC = night.Average();
        t.log.push_back(entry);
        if (!answer) {
            ++t.failed;
        } else {
            t.focusErrors.push_back(std::fabs(night.ErrorExact()));
            if (!list.StorePoint(std::to_string(*answer), night.AverageText(), night.Now()).ok()) ++t.failed;
        }
        const auto fit = list.CalcCoefficients();
        if (fit.status.ok()) {
            t.slopeAfter[static_cast<std::size_t>(run + 1)] = fit.fit.slope;
            t.slopeTextAfter[static_cast<std::size_t>(run + 1)] = fit.slopeText;
        }
    }
    list.EndTraining();
    return t;
}

class NullDialogs final : public kv::IDialogs {
public:
    kv::DialogResult Show(const std::string& text, kv::DialogType, kv::DialogButtons) override {
        shown.push_back(text);
        return kv::DialogResult::Ok;
    }
    void Defer(const kv::DeferredMessage& m) override { shown.push_back(m.text); }
    void Beep() override {}
    std::vector<std::string> shown;
};

class NightClock final : public kv::IClock {
public:
    explicit NightClock(const Night& night) : night_(night) {}
    std::int64_t TickMs() const override { return std::llround(night_.Seconds() * 1000.0); }
    std::chrono::system_clock::time_point Now() const override { return night_.Now(); }

private:
    const Night& night_;
};

// The focuser behind the compensator: always idle (a correction of a few
// steps ends long before the next second), moving the observatory's drive.
class NightFocuser final : public kv::ICompensationFocuser {
public:
    explicit NightFocuser(Night& night) : night_(night) {}
    bool Idle() override { return true; }
    double TCAvg() override { return night_.Average(); }
    void MoveBy(std::int32_t steps) override {
        night_.Obs().MoveDrive(steps);
        if (steps != 0) ++moves;
    }
    int StopFactor() override { return stop_; }
    void SetStopFactor(int value) override { stop_ = value; }
    bool InterruptsOff() override { return false; }
    int moves = 0;

private:
    Night& night_;
    int stop_ = 8;
};

using Rgb = std::array<std::uint8_t, 3>;

struct Scenario {
    std::string name;
    std::string key;        // of its counter and CSV column
    Rgb colour;             // in the chart
    std::string slopeText;  // empty: no compensation
    int minSteps = 1;
    double sensorNoiseC = kSensorNoiseC;
};

struct Series {
    std::vector<double> error;  // steps from best focus, once a minute
    int moves = 0;
    int messages = 0;
};

Series CompensationNight(const Scenario& s, unsigned seed) {
    Night night(seed, s.sensorNoiseC);
    NullDialogs dialogs;
    NightClock clock(night);
    NightFocuser focuser(night);
    kv::CompensationHooks hooks;
    hooks.writeLog = [](const std::string&) {};
    kv::TTempCompensator comp(focuser, dialogs, clock, night.locale, hooks);
    comp.SetSettings({s.minSteps, false, 250, 0.5});
    comp.SetSlopeText(s.slopeText);
    comp.SetAvgTempText(night.AverageText());
    const bool compensating = !s.slopeText.empty();
    if (compensating) comp.SwitchOn();
    Series out;
    const int seconds = static_cast<int>(kNightHours * 3600.0);
    out.error.push_back(night.ErrorExact());
    for (int i = 1; i <= seconds; ++i) {
        night.Advance(1.0);
        comp.SetAvgTempText(night.AverageText());
        comp.SecondTimerTimer();
        if (i % 60 == 0) out.error.push_back(night.ErrorExact());
    }
    out.moves = focuser.moves;
    out.messages = static_cast<int>(dialogs.shown.size());
    return out;
}

double Quantile(std::vector<double> v, double q) {
    v.erase(std::remove_if(v.begin(), v.end(), [](double x) { return std::isnan(x); }), v.end());
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(std::lround(q * static_cast<double>(v.size() - 1)))];
}

// ---- a PNG with no library: stored (uncompressed) deflate blocks ----

std::uint32_t Crc32(const std::uint8_t* data, std::size_t n, std::uint32_t crc = 0) {
    crc = ~crc;
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void PutBe32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<std::uint8_t>(v >> s));
}

void Chunk(std::vector<std::uint8_t>& png, const char* type, const std::vector<std::uint8_t>& data) {
    PutBe32(png, static_cast<std::uint32_t>(data.size()));
    std::vector<std::uint8_t> body(type, type + 4);
    body.insert(body.end(), data.begin(), data.end());
    png.insert(png.end(), body.begin(), body.end());
    PutBe32(png, Crc32(body.data(), body.size()));
}

bool WritePng(const std::string& path, int w, int h, const std::vector<std::uint8_t>& rgb) {
    std::vector<std::uint8_t> raw;
    for (int y = 0; y < h; ++y) {
        raw.push_back(0);  // no filter
        const auto row = rgb.begin() + static_cast<std::ptrdiff_t>(y) * w * 3;
        raw.insert(raw.end(), row, row + w * 3);
    }
    std::vector<std::uint8_t> z{0x78, 0x01};
    std::uint32_t a = 1, b = 0;
    for (std::uint8_t c : raw) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    for (std::size_t pos = 0; pos < raw.size();) {
        const std::size_t n = std::min<std::size_t>(65535, raw.size() - pos);
        z.push_back(pos + n == raw.size() ? 1 : 0);
        z.push_back(static_cast<std::uint8_t>(n & 0xff));
        z.push_back(static_cast<std::uint8_t>(n >> 8));
        z.push_back(static_cast<std::uint8_t>(~n & 0xff));
        z.push_back(static_cast<std::uint8_t>((~n >> 8) & 0xff));
        z.insert(z.end(), raw.begin() + static_cast<std::ptrdiff_t>(pos),
                 raw.begin() + static_cast<std::ptrdiff_t>(pos + n));
        pos += n;
    }
    PutBe32(z, (b << 16) | a);
    std::vector<std::uint8_t> png{0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    std::vector<std::uint8_t> ihdr;
    PutBe32(ihdr, static_cast<std::uint32_t>(w));
    PutBe32(ihdr, static_cast<std::uint32_t>(h));
    ihdr.insert(ihdr.end(), {8, 2, 0, 0, 0});  // 8-bit RGB
    Chunk(png, "IHDR", ihdr);
    Chunk(png, "IDAT", z);
    Chunk(png, "IEND", {});
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
    return static_cast<bool>(f);
}

// Error against time: a grey line each hour and each 10 steps, black at 0.
void Chart(const std::string& path, const std::vector<Series>& series, const std::vector<Scenario>& scenarios) {
    constexpr int w = 960, h = 480, margin = 20;
    std::vector<std::uint8_t> img(static_cast<std::size_t>(w) * h * 3, 255);
    double lo = 0, hi = 0;
    for (const auto& s : series)
        for (double e : s.error) lo = std::min(lo, e), hi = std::max(hi, e);
    lo = std::floor(lo / 10.0) * 10.0 - 10.0;
    hi = std::ceil(hi / 10.0) * 10.0 + 10.0;
    const std::size_t n = series.front().error.size();
    auto X = [&](double i) { return margin + static_cast<int>(std::lround(i * (w - 2 * margin) / double(n - 1))); };
    auto Y = [&](double e) { return margin + static_cast<int>(std::lround((hi - e) * (h - 2 * margin) / (hi - lo))); };
    auto Dot = [&](int x, int y, const Rgb& c) {
        if (x < 0 || y < 0 || x >= w || y >= h) return;
        std::copy(c.begin(), c.end(), img.begin() + (static_cast<std::ptrdiff_t>(y) * w + x) * 3);
    };
    const Rgb grey{210, 210, 210}, black{0, 0, 0};
    for (double e = lo; e <= hi; e += 10)
        for (int x = margin; x <= w - margin; ++x) Dot(x, Y(e), e == 0 ? black : grey);
    for (std::size_t m = 0; m < n; m += 60)
        for (int y = margin; y <= h - margin; ++y) Dot(X(static_cast<double>(m)), y, grey);
    for (std::size_t k = 0; k < series.size(); ++k)
        for (std::size_t i = 1; i < n; ++i) {
            // A line from the previous minute, thick enough to see.
            const int x0 = X(static_cast<double>(i - 1)), x1 = X(static_cast<double>(i));
            const int y0 = Y(series[k].error[i - 1]), y1 = Y(series[k].error[i]);
            const int steps = std::max({std::abs(x1 - x0), std::abs(y1 - y0), 1});
            for (int j = 0; j <= steps; ++j) {
                const int x = x0 + (x1 - x0) * j / steps, y = y0 + (y1 - y0) * j / steps;
                for (int d = -1; d <= 1; ++d) Dot(x, y + d, scenarios[k].colour);
            }
        }
    if (!WritePng(path, w, h, img)) {
        std::fprintf(stderr, "Could not write the chart %s: check that its folder exists and is writable.\n",
                     path.c_str());
    }
}

void BM_SimulatedNight(benchmark::State& state) {
    const double truth = Parameters().stepsPerDegree;
    std::vector<Training> trainings;
    std::vector<Series> series;
    std::vector<Scenario> scenarios;
    for (auto _ : state) {
        trainings.clear();
        for (int seed = 1; seed <= kSeeds; ++seed) trainings.push_back(TrainingNight(static_cast<unsigned>(seed)));
        const std::string trained = trainings.front().slopeTextAfter[kTrainingRuns];
        char trueText[32];
        std::snprintf(trueText, sizeof trueText, "%.3f", truth);
        scenarios = {{"uncompensated", "uncomp", {220, 40, 40}, "", 1},
                     {"trained, min 1", "comp_min1", {30, 90, 220}, trained, 1},
                     {"trained, min 5", "comp_min5", {30, 160, 60}, trained, 5},
                     {"true, min 1", "true_min1", {240, 150, 0}, trueText, 1},
                     {"true, no noise", "true_quiet", {150, 60, 200}, trueText, 1, 0.0}};
        series.clear();
        for (const auto& s : scenarios) series.push_back(CompensationNight(s, 101));
        benchmark::DoNotOptimize(series.size());
    }

    std::printf("\nTraining: %d auto focuses over %.0f h, %.1f degrees; true coefficient %.3f steps/degree\n",
                kTrainingRuns, kNightHours, -kCoolingPerHour * kNightHours, truth);
    std::printf("%-9s %12s %12s %12s %12s\n", "points", "seed 1", "median |e|", "p90 |e|", "max |e|");
    for (int n : {3, 5, 8, kTrainingRuns}) {
        std::vector<double> errs;
        for (const auto& t : trainings) {
            errs.push_back(100.0 * std::fabs(t.slopeAfter[static_cast<std::size_t>(n)] / truth - 1.0));
        }
        const double seed1 = trainings.front().slopeAfter[static_cast<std::size_t>(n)];
        std::printf("%-9d %12.3f %11.1f%% %11.1f%% %11.1f%%\n", n, seed1, Quantile(errs, 0.5), Quantile(errs, 0.9),
                    Quantile(errs, 1.0));
        if (n == kTrainingRuns) {
            state.counters["coef_seed1"] = seed1;
            state.counters["coef_err_median_pct"] = Quantile(errs, 0.5);
            state.counters["coef_err_max_pct"] = Quantile(errs, 1.0);
        }
    }
    std::vector<double> driftErrors;
    for (const auto& t : trainings) {
        if (const auto drift = kv::FitFocusDrift(t.log)) driftErrors.push_back(100.0 * std::fabs(drift->stepsPerDegree / truth - 1.0));
    }
    const auto historyDrift = kv::FitFocusDrift(trainings.front().log);
    std::printf("focus history drift: seed 1 %.3f steps/degree over %d runs; |error| median %.1f%%, max %.1f%%\n",
                historyDrift ? historyDrift->stepsPerDegree : NAN, historyDrift ? historyDrift->runs : 0,
                Quantile(driftErrors, 0.5), Quantile(driftErrors, 1.0));
    state.counters["history_drift_seed1"] = historyDrift ? historyDrift->stepsPerDegree : NAN;
    state.counters["history_drift_err_max_pct"] = Quantile(driftErrors, 1.0);
    std::vector<double> focusErrors;
    int failed = 0;
    for (const auto& t : trainings) {
        focusErrors.insert(focusErrors.end(), t.focusErrors.begin(), t.focusErrors.end());
        failed += t.failed;
    }
    std::printf("auto focus |error| over %d seeds: median %.1f, p90 %.1f, max %.1f steps; %d failed\n", kSeeds,
                Quantile(focusErrors, 0.5), Quantile(focusErrors, 0.9), Quantile(focusErrors, 1.0), failed);

    std::printf("\nCompensation night (coefficient \"%s\", rate 0.5 min):\n", scenarios[1].slopeText.c_str());
    std::printf("%-16s %10s %10s %10s %10s %8s\n", "", "mean |e|", "max |e|", "at 5 h", "at 10 h", "moves");
    for (std::size_t k = 0; k < series.size(); ++k) {
        const auto& e = series[k].error;
        double sum = 0, worst = 0;
        for (double v : e) sum += std::fabs(v), worst = std::max(worst, std::fabs(v));
        std::printf("%-16s %10.1f %10.1f %10.1f %10.1f %8d\n", scenarios[k].name.c_str(), sum / double(e.size()), worst,
                    e[e.size() / 2], e.back(), series[k].moves);
        state.counters[scenarios[k].key + "_max_err"] = worst;
        if (series[k].messages != 0) std::printf("  (%d messages shown)\n", series[k].messages);
    }
    std::printf("(errors in focuser steps from best focus, sampled once a minute)\n\n");

    const char* env = std::getenv("KV_NIGHT_OUT");
    const std::string prefix = env != nullptr && *env != '\0' ? env : "simulated_night";
    std::ofstream csv(prefix + ".csv");
    csv << "minutes,temperature_c,best_focus";
    for (const auto& s : scenarios) csv << ",error_" << s.key;
    csv << "\n";
    const auto p = Parameters();
    for (std::size_t i = 0; i < series.front().error.size(); ++i) {
        const double t = p.startTemperatureC + p.temperatureRateCPerHour * static_cast<double>(i) / 60.0;
        csv << i << ',' << t << ',' << p.bestFocusAtStart + p.stepsPerDegree * (t - p.startTemperatureC);
        for (const auto& s : series) csv << ',' << s.error[i];
        csv << "\n";
    }
    csv.close();
    if (!csv) {
        std::fprintf(stderr, "Could not write %s.csv: check that its folder exists and is writable (KV_NIGHT_OUT).\n",
                     prefix.c_str());
    }
    Chart(prefix + ".png", series, scenarios);
    // The first training night as the program would have logged it, for the Focus history window.
    std::remove((prefix + "_focus_log.csv").c_str());
    kv::TFocusLog log(prefix + "_focus_log.csv");
    for (const auto& entry : trainings.front().log) log.Append(entry);
    if (const auto warning = log.TakeWarning()) std::fprintf(stderr, "%s\n", warning->c_str());
    std::printf("wrote %s_focus_log.csv, %s.csv and %s.png (red uncompensated, blue trained min 1, green trained min 5, orange true\n"
                "coefficient, purple true coefficient without sensor noise; grid: hours, 10 steps)\n",
                prefix.c_str(), prefix.c_str(), prefix.c_str());
}
BENCHMARK(BM_SimulatedNight)->Iterations(1)->Unit(benchmark::kMillisecond);

// ---- triggered nights ----

// The telescope the zone is stated for: f/5 with 5 µm focuser steps, a zone
// of 13.4 steps; the simulator moves best focus 12 steps per degree.
constexpr double kFocalRatio = 5.0;
constexpr double kStepMicrons = 5.0;
constexpr double kImageSeconds = 120.0;  // the imaging program's exposure and download
constexpr int kTriggeredSeeds = 10;

struct Run {
    std::optional<std::int32_t> best;
    int frames = 0;
    bool fellBack = false;
    std::optional<kv::FitSummary> fit;
};

// Drives a search of either kind against the night, a frame at a time.
template <class Search>
Run Drive(Night& night, Search& search) {
    auto& obs = night.Obs();
    Run run;
    for (int guard = 0; guard < 400; ++guard) {
        const auto a = search.Next();
        search.TakeNotes();
        switch (a.kind) {
        case kv::TAutoFocusSearch::Action::CheckCancel: break;
        case kv::TAutoFocusSearch::Action::Move:
            obs.SetDrivePosition(a.position);
            night.Advance(1.0);
            break;
        case kv::TAutoFocusSearch::Action::Measure:
            if (!a.here) obs.SetDrivePosition(a.position);
            night.Advance(kFrameSeconds);
            search.Report(night.Frame(), static_cast<std::int32_t>(obs.DrivePosition()), 1);
            search.TakeNotes();
            break;
        case kv::TAutoFocusSearch::Action::MeasureImage:
            run.frames = search.Frames();
            return run;
        case kv::TAutoFocusSearch::Action::Finished:
            run.best = a.position;
            run.frames = search.Frames();
            return run;
        case kv::TAutoFocusSearch::Action::Failed:
            run.frames = search.Frames();
            return run;
        }
    }
    return run;
}

kv::CurveFitSettings FullFitSettings() {
    kv::CurveFitSettings settings;
    settings.step = kSearchStep;
    return settings;
}

struct TriggeredNight {
    std::vector<double> error;  // steps, every 10 s
    int frames = 0;
    int refocuses = 0;
    int failed = 0;
    int fallbacks = 0;
    int byRule[3] = {0, 0, 0};
};

TriggeredNight RunTriggeredNight(bool quick, unsigned seed, const kv::RefocusTriggerSettings& triggers) {
    Night night(seed);
    auto& obs = night.Obs();
    TriggeredNight out;
    std::vector<kv::FitRecord> fits;
    const double coefficient = Parameters().stepsPerDegree * 1.1;  // learned 10 % off
    kv::TRefocusTriggers rules;
    rules.SetSettings(triggers);
    const auto ms = [&night] { return static_cast<std::int64_t>(std::llround(night.Seconds() * 1000.0)); };
    // A full fit at dusk: the first focus of the night, and the shape the quick refocus learns.
    const auto fullFit = [&] {
        kv::TCurveFitSearch search(FullFitSettings(), kv::FomKind::HFD, static_cast<std::int32_t>(obs.DrivePosition()));
        const Run run = Drive(night, search);
        out.frames += run.frames;
        if (run.best && search.Fit()) {
            kv::FitRecord record;
            record.fit = *search.Fit();
            record.time = night.Now();
            record.temperatureC = night.Average();
            fits.push_back(record);
        }
        return run;
    };
    rules.FocusEnded(ms(), fullFit().best.has_value(), night.Average());
    double nextImage = night.Seconds() + kImageSeconds, nextSample = 0.0;
    const double end = kNightHours * 3600.0;
    while (night.Seconds() < end) {
        night.Advance(1.0);
        while (nextSample <= night.Seconds()) {
            out.error.push_back(night.ErrorExact());
            nextSample += 10.0;
        }
        rules.Temperature(ms(), night.Average());
        if (night.Seconds() >= nextImage) {
            nextImage += kImageSeconds;
            const kv::FocusReading r = night.Frame();
            if (r.status == kv::StarStatus::Ok) rules.Reading(ms(), r.HFD, kv::HfdSource::Client);
        }
        const std::optional<kv::RefocusDue> due = rules.Due(ms(), false);
        if (!due) continue;
        ++out.refocuses;
        ++out.byRule[static_cast<int>(due->rule)];
        Run run;
        if (quick) {
            kv::QuickRefocusSettings settings;
            kv::ShapeCriteria criteria;
            criteria.now = night.Now();
            settings.learned = kv::LearnShape(fits, criteria);
            settings.coefficient = coefficient;
            settings.temperatureC = night.Average();
            settings.cfzSteps = kv::CriticalFocusZoneSteps(kFocalRatio, kStepMicrons);
            settings.fallback = FullFitSettings();
            kv::TQuickRefocusSearch search(settings, kv::FomKind::HFD, static_cast<std::int32_t>(obs.DrivePosition()));
            run = Drive(night, search);
            run.fellBack = search.FellBack();
            if (run.fellBack && search.Fit() && run.best) {
                kv::FitRecord record;
                record.fit = *search.Fit();
                record.time = night.Now();
                record.temperatureC = night.Average();
                fits.push_back(record);
            }
            out.frames += run.frames;
        } else {
            run = fullFit();
        }
        if (run.fellBack) ++out.fallbacks;
        if (!run.best) ++out.failed;
        rules.FocusEnded(ms(), run.best.has_value(), night.Average());
    }
    return out;
}

void BM_TriggeredNight(benchmark::State& state) {
    const double cfz = *kv::CriticalFocusZoneSteps(kFocalRatio, kStepMicrons);
    kv::RefocusTriggerSettings triggers;
    triggers.onTemperature = true;
    triggers.temperatureC = 1.0;
    triggers.onHfdRise = true;
    triggers.hfdRisePercent = 15.0;
    triggers.hfdReadings = 5;
    struct Totals {
        const char* name;
        bool quick;
        double within = 0;
        long samples = 0;
        int frames = 0, refocuses = 0, failed = 0, fallbacks = 0;
        int byRule[3] = {0, 0, 0};
    };
    Totals totals[] = {{"quick refocus", true}, {"full curve fit", false}};
    for (auto _ : state) {
        for (Totals& t : totals) {
            t.within = 0, t.samples = 0, t.frames = t.refocuses = t.failed = t.fallbacks = 0;
            for (int& n : t.byRule) n = 0;
            for (int seed = 1; seed <= kTriggeredSeeds; ++seed) {
                const TriggeredNight night = RunTriggeredNight(t.quick, static_cast<unsigned>(300 + seed), triggers);
                for (double e : night.error) t.within += std::fabs(e) <= cfz ? 1 : 0;
                t.samples += static_cast<long>(night.error.size());
                t.frames += night.frames;
                t.refocuses += night.refocuses;
                t.failed += night.failed;
                t.fallbacks += night.fallbacks;
                for (int r = 0; r < 3; ++r) t.byRule[r] += night.byRule[r];
            }
        }
    }
    std::printf("\nTriggered nights: %d seeds, %.0f h, %.1f degrees each, no compensation; triggers: temperature "
                "%.1f \u00B0C, HFD +%.0f %% over %d of the imaging program's frames (one each %.0f s)\n",
                kTriggeredSeeds, kNightHours, -kCoolingPerHour * kNightHours, triggers.temperatureC,
                triggers.hfdRisePercent, triggers.hfdReadings, kImageSeconds);
    std::printf("CFZ: f/%.0f, %.0f \u00B5m steps: %.1f steps; within 1 CFZ means |true focus - best focus| <= %.1f "
                "steps\n",
                kFocalRatio, kStepMicrons, cfz, cfz);
    std::printf("%-16s %12s %10s %14s %12s %10s %10s %8s\n", "", "within CFZ", "refocuses", "(temp/HFD/time)",
                "focus frames", "per night", "fallbacks", "failed");
    for (const Totals& t : totals) {
        const double share = t.samples > 0 ? 100.0 * t.within / static_cast<double>(t.samples) : NAN;
        char rules[32];
        std::snprintf(rules, sizeof rules, "%d/%d/%d", t.byRule[1], t.byRule[2], t.byRule[0]);
        std::printf("%-16s %11.1f%% %10d %14s %12d %10.1f %10d %8d\n", t.name, share, t.refocuses, rules, t.frames,
                    static_cast<double>(t.frames) / kTriggeredSeeds, t.fallbacks, t.failed);
        const std::string key = t.quick ? "quick" : "full";
        state.counters[key + "_within_cfz_pct"] = share;
        state.counters[key + "_frames_per_night"] = static_cast<double>(t.frames) / kTriggeredSeeds;
    }
    const double ratio = totals[1].frames > 0 ? static_cast<double>(totals[0].frames) / totals[1].frames : NAN;
    std::printf("frames, quick over full: %.2f\n\n", ratio);
    state.counters["frames_ratio_quick_over_full"] = ratio;
}
BENCHMARK(BM_TriggeredNight)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
