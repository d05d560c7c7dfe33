// The auto-focus scenario battery: both searches against a model focuser and a
// model star, on every combination of curve shape, seeing jitter, start
// distance and backlash, with 20 seeds each. Deterministic: seeded random
// numbers, the state machines driven directly, no threads, no clock.
//
// The model focuser has a counter (what the search sees) and a mechanical
// position that lags the counter by the backlash after each reversal. The
// model star's HFD grows with the mechanical distance from best focus along
// one of four curves; the seeing wanders frame to frame as on the simulated
// camera (its relative spread multiplies the seeing, never below 0.3 of it).
// A star blurred so far that its peak sinks into the noise fades out as the
// real measurement sees it (focus_curve_profile_bench, a faint star): over a
// band of sizes a growing share of frames read "no star", with the figures of
// an evenly lit frame, and those that still find it measure the bright core
// left above the noise, a size too small by up to half.
//
// The far starts run the curve fit with its coarse phase: 10 and 20 initial
// steps out; 600 and 800 steps out with a 64-pixel focus frame, which loses
// the star as "too large" from an HFD of 12 (the simulated camera's star
// from some 500 steps out); and steps of 250 and 500 from 60 to 200 steps
// out in that frame. The main image shows the star at any blur, its HFD
// measured with the seeing's wander and 3 % of its own. Their rows also give
// the coarse phase's frames ("coarse frames"; the other frames are focus
// frames). KV_BATTERY_WHY prints why runs failed, KV_BATTERY_NOTES also
// the notes of far runs that missed.
//
// The quick refocus: a curve fit first (the night's first good fit, its
// curve learned), then the temperature falls by 1 to 5 °C and best focus
// moves by kCoefficient steps a degree; the refocus predicts it with a
// coefficient off by up to ±10 % and reads the learned curve around there.
// Its success is the focuser within one critical focus zone of best focus:
// f/5 with 5 µm steps (kv::CriticalFocusZoneSteps, 13.4 steps). A row where
// the seeing then widens the curve by 30 % shows the gate falling back.
//
// Success: the search finished and the focuser stands within a tenth of the
// initial step of best focus ("<=25": within a quarter). Prints a table; the
// counters carry the summary. Errors are also given in critical focus zones.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <span>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "focusing/auto_focus_search.h"
#include "focusing/critical_focus_zone.h"
#include "focusing/curve_fit_search.h"
#include "focusing/quick_refocus.h"

namespace {

using kv::FocusReading;
using kv::FomKind;

constexpr int kStep = 100;           // initial step and curve-fit step
constexpr double kSeeing = 2.5;      // HFD at best focus, pixels
// The star fades between these sizes: no frame loses it below, every frame
// above. A star of middling brightness; the simulated camera's bright star
// stays found to HFD 28 and beyond, a faint one on a bright sky fades from 10.
constexpr double kFadeFromHfd = 18.0;
constexpr double kNoStarHfd = 26.0;
constexpr int kSeeds = 20;
// The quick refocus's optics and drift.
constexpr double kFocalRatio = 5.0;
constexpr double kStepMicrons = 5.0;
const double kCfz = *kv::CriticalFocusZoneSteps(kFocalRatio, kStepMicrons);
constexpr double kCoefficient = 25.0;  // steps per °C
constexpr int kQuickSeeds = 10;

enum class Curve { V, Hyperbola, Parabola, Lopsided };
const char* CurveName(Curve c) {
    switch (c) {
    case Curve::V: return "V";
    case Curve::Hyperbola: return "hyperbola";
    case Curve::Parabola: return "parabola";
    case Curve::Lopsided: return "lopsided";
    }
    return "?";
}

struct Model {
    Curve curve = Curve::V;
    double jitter = 0.0;
    int backlash = 0;
    double frameLimitHfd = 0.0;  // >0: a focus frame this small loses a star this large
    double width = 1.0;          // the seeing's scale (the curve's width at its bottom)
    double best = 0.0;  // mechanical
    std::int32_t counter = 0;
    double mech = 0.0;
    std::mt19937 rng;
    std::normal_distribution<double> normal{0.0, 1.0};
    std::uniform_real_distribution<double> uniform{0.0, 1.0};

    void MoveTo(std::int32_t p) {
        counter = p;
        // The mechanism stays within the backlash of the counter, dragged
        // along from the side it was last pushed.
        mech = std::clamp(mech, static_cast<double>(p - backlash), static_cast<double>(p));
    }
    double Hfd() {
        const double seeing = kSeeing * width * std::max(0.3, 1.0 + jitter * normal(rng));
        const double d = (mech - best) / kStep;
        double hfd = 0.0;
        switch (curve) {
        case Curve::V: hfd = seeing + 2.0 * std::fabs(d); break;
        case Curve::Hyperbola: hfd = std::sqrt(seeing * seeing + 4.0 * d * d); break;
        case Curve::Parabola: hfd = seeing + 0.5 * d * d; break;
        case Curve::Lopsided: {
            const double k = d < 0 ? 1.2 : 3.0;
            hfd = std::sqrt(seeing * seeing + k * k * d * d);
            break;
        }
        }
        return hfd;
    }
    double ImageHfd() { return Hfd() * (1.0 + 0.03 * normal(rng)); }
    FocusReading Frame() {
        double hfd = Hfd();
        FocusReading r;
        if (frameLimitHfd > 0.0 && hfd > frameLimitHfd) {
            r.status = kv::StarStatus::NoStar;
            r.tooLarge = true;
            r.HFD = r.FOM = 40.0 + 2.0 * normal(rng);
            return r;
        }
        if (hfd > kFadeFromHfd) {
            const double faded = std::min(1.0, (hfd - kFadeFromHfd) / (kNoStarHfd - kFadeFromHfd));
            if (uniform(rng) < faded) {
                r.status = kv::StarStatus::NoStar;
                hfd = 80.0 + 2.0 * normal(rng);  // an evenly lit 100-pixel frame
            } else {
                hfd *= 1.0 - 0.5 * faded * uniform(rng);
            }
        }
        r.HFD = hfd;
        r.FOM = hfd;
        return r;
    }
};

struct Run {
    bool finished = false;
    double error = 0.0;  // |mechanical final - best|, focuser steps
    int frames = 0;
    int coarseFrames = 0;
    bool fellBack = false;
    std::string notes;
};

template <typename Search>
Run Drive(Search& search, Model& m) {
    Run run;
    static const bool keep = std::getenv("KV_BATTERY_NOTES") != nullptr;
    std::string notes;
    const auto take = [&] {
        for (const auto& n : search.TakeNotes())
            if (keep) notes += n.text + "\n";
    };
    for (int guard = 0; guard < 500; ++guard) {
        const auto a = search.Next();
        take();
        switch (a.kind) {
        case kv::TAutoFocusSearch::Action::CheckCancel: break;
        case kv::TAutoFocusSearch::Action::Move: m.MoveTo(a.position); break;
        case kv::TAutoFocusSearch::Action::Measure:
            if (!a.here) m.MoveTo(a.position);
            ++run.frames;
            if constexpr (!std::is_same_v<Search, kv::TAutoFocusSearch>) {
                search.Report(m.Frame(), m.counter, 1);
            } else {
                search.Report(m.Frame(), m.counter);
            }
            take();
            break;
        case kv::TAutoFocusSearch::Action::MeasureImage:
            if constexpr (!std::is_same_v<Search, kv::TAutoFocusSearch>) {
                m.MoveTo(a.position);
                ++run.coarseFrames;
                search.ReportImage(m.ImageHfd(), m.counter);
                take();
            }
            break;
        case kv::TAutoFocusSearch::Action::Finished:
            run.notes = notes;
            run.finished = true;
            run.error = std::fabs(m.mech - m.best);
            return run;
        case kv::TAutoFocusSearch::Action::Failed:
            if (std::getenv("KV_BATTERY_WHY")) std::fprintf(stderr, "%s\n", a.message.substr(0, 110).c_str());
            if (std::getenv("KV_BATTERY_NOTES")) std::fprintf(stderr, "%s\n", notes.c_str());
            run.error = std::fabs(m.mech - m.best);
            return run;
        }
    }
    return run;
}

struct Tally {
    int runs = 0;
    int ok = 0;
    int refused = 0;  // ended without an answer
    int near = 0;     // finished within a quarter of the initial step
    std::vector<double> errors;  // finished runs
    std::vector<int> frames;
    std::vector<int> coarse;
    int fellBack = 0;
    void Add(const Run& r, double tolerance = 0.1 * kStep) {
        coarse.push_back(r.coarseFrames);
        ++runs;
        fellBack += r.fellBack ? 1 : 0;
        const bool good = r.finished && r.error <= tolerance;
        ok += good ? 1 : 0;
        refused += r.finished ? 0 : 1;
        near += r.finished && r.error <= 0.25 * kStep ? 1 : 0;
        if (r.finished) errors.push_back(r.error);
        frames.push_back(r.frames);
    }
    static double Quantile(std::vector<double> v, double q) {
        if (v.empty()) return NAN;
        std::sort(v.begin(), v.end());
        return v[static_cast<std::size_t>(std::min<double>(v.size() - 1, std::floor(q * (v.size() - 1) + 0.5)))];
    }
    double Success() const { return runs ? 100.0 * ok / runs : 0.0; }
    double Median() const { return Quantile(errors, 0.5); }
    double P90() const { return Quantile(errors, 0.9); }
    double MeanFrames() const {
        double s = 0;
        for (int f : frames) s += f;
        return frames.empty() ? 0.0 : s / frames.size();
    }
    int MaxFrames() const { return frames.empty() ? 0 : *std::max_element(frames.begin(), frames.end()); }
    double MedianFrames() const {
        std::vector<double> v(frames.begin(), frames.end());
        return Quantile(v, 0.5);
    }
    double MeanCoarse() const {
        double s = 0;
        for (int f : coarse) s += f;
        return coarse.empty() ? 0.0 : s / coarse.size();
    }
};

struct Battery {
    // Keyed by method, then by the row label.
    std::map<std::string, std::map<std::string, Tally>> rows;
};

// The night's first curve fit, from a start within a step of focus; its
// curve is what the refocus learns. nullopt when it failed or missed.
std::optional<kv::FitSummary> Learn(Model& m) {
    kv::CurveFitSettings settings;
    settings.step = kStep;
    kv::TCurveFitSearch search(settings, FomKind::HFD, m.counter);
    const Run r = Drive(search, m);
    if (!r.finished || !search.Fit()) return std::nullopt;
    return search.Fit();
}

void RunQuickRefocus(Battery& b) {
    const Curve curves[] = {Curve::V, Curve::Hyperbola, Curve::Parabola, Curve::Lopsided};
    const double jitters[] = {0.0, 0.03, 0.08};
    const int backlashes[] = {0, 30};
    const double coefficientErrors[] = {-0.10, -0.05, 0.0, 0.05, 0.10};
    const auto now = std::chrono::system_clock::time_point{} + std::chrono::hours(24 * 365 * 50);
    int unlearned = 0;
    for (const Curve curve : curves)
        for (const double jitter : jitters)
            for (const int backlash : backlashes)
                for (int seed = 1; seed <= kQuickSeeds; ++seed) {
                    Model first;
                    first.curve = curve;
                    first.jitter = jitter;
                    first.backlash = backlash;
                    first.rng.seed(static_cast<unsigned>(seed * 104729 + backlash * 7 + int(jitter * 1000)));
                    std::uniform_real_distribution<double> offset(-0.25, 0.25);
                    first.best = offset(first.rng) * kStep;
                    const std::optional<kv::FitSummary> fit = Learn(first);
                    if (!fit) {
                        ++unlearned;
                        continue;
                    }
                    constexpr double kStartC = 10.0;
                    kv::FitRecord record{*fit, now - std::chrono::minutes(30), 2.0, 1, kStartC, true};
                    kv::ShapeCriteria criteria;
                    criteria.now = now;
                    criteria.exposureSeconds = 2.0;
                    const kv::ShapeLearning learned = kv::LearnShape(std::span(&record, 1), criteria);
                    char jit[16];
                    std::snprintf(jit, sizeof jit, "%2.0f%%", jitter * 100);
                    for (int cooled = 1; cooled <= 5; ++cooled)
                        for (const double coefficientError : coefficientErrors)
                            for (int variant = 0; variant < 3; ++variant) {
                                // 0: as learned; 1: the seeing widens the curve by 30 %;
                                // 2: no coefficient.
                                Model m = first;
                                m.rng.seed(static_cast<unsigned>(seed * 31337 + cooled * 101 + variant * 7 +
                                                                 int(coefficientError * 100) + backlash));
                                if (variant != 0 && coefficientError != 0.0) continue;
                                if (variant == 1) m.width = 1.3;
                                // Cooling moves best focus outward, kCoefficient steps a degree.
                                m.best += kCoefficient * cooled;
                                kv::QuickRefocusSettings settings;
                                settings.learned = learned;
                                if (variant != 2) settings.coefficient = -kCoefficient * (1.0 + coefficientError);
                                settings.temperatureC = kStartC - cooled;
                                settings.cfzSteps = kCfz;
                                settings.fallback.step = kStep;
                                kv::TQuickRefocusSearch search(settings, FomKind::HFD, m.counter);
                                Run r = Drive(search, m);
                                r.fellBack = search.FellBack();
                                if (std::getenv("KV_BATTERY_WHY") && !(r.finished && r.error <= kCfz))
                                    std::fprintf(stderr, "^ quick %s %.0f%% backlash %d cooled %d coef %+.0f%% v%d: %s, error %.1f%s%s\n",
                                                 CurveName(curve), jitter * 100, backlash, cooled,
                                                 coefficientError * 100, variant,
                                                 r.finished ? "finished" : "failed", r.error,
                                                 r.fellBack ? ", fell back: " : "", search.FallbackReason().c_str());
                                if (variant == 1) {
                                    b.rows["quick refocus"]["seeing widened 30%"].Add(r, kCfz);
                                    b.rows["quick refocus"][std::string("widened 30%, jitter ") + jit].Add(r, kCfz);
                                    continue;
                                }
                                if (variant == 2) {
                                    b.rows["quick refocus"]["no coefficient"].Add(r, kCfz);
                                    b.rows["quick refocus"]["no coefficient, cooled " + std::to_string(cooled)].Add(r, kCfz);
                                    continue;
                                }
                                auto& rows = b.rows["quick refocus"];
                                char err[24];
                                std::snprintf(err, sizeof err, "coefficient %+3.0f%%", coefficientError * 100);
                                rows["all"].Add(r, kCfz);
                                rows[std::string("curve ") + CurveName(curve)].Add(r, kCfz);
                                rows[std::string("jitter ") + jit].Add(r, kCfz);
                                rows["backlash " + std::to_string(backlash)].Add(r, kCfz);
                                rows["cooled " + std::to_string(cooled) + " C"].Add(r, kCfz);
                                rows[err].Add(r, kCfz);
                                if (jitter > 0.05) rows[std::string("8% ") + CurveName(curve)].Add(r, kCfz);
                            }
                }
    if (unlearned > 0) std::printf("quick refocus: %d first fits failed and taught no curve\n", unlearned);
}

Battery RunBattery() {
    Battery b;
    const Curve curves[] = {Curve::V, Curve::Hyperbola, Curve::Parabola, Curve::Lopsided};
    const double jitters[] = {0.0, 0.03, 0.08};
    const int starts[] = {0, 1, -1, 3, -3, 6, -6};
    const int backlashes[] = {0, 30};
    for (const Curve curve : curves)
        for (const double jitter : jitters)
            for (const int start : starts)
                for (const int backlash : backlashes)
                    for (int seed = 1; seed <= kSeeds; ++seed)
                        for (int method = 0; method < 2; ++method) {
                            Model m;
                            m.curve = curve;
                            m.jitter = jitter;
                            m.backlash = backlash;
                            m.rng.seed(static_cast<unsigned>(seed * 7919 + start * 31 + backlash));
                            std::uniform_real_distribution<double> offset(-0.25, 0.25);
                            // The focuser starts `start` initial steps from best focus.
                            m.best = -start * kStep + offset(m.rng) * kStep;
                            Run r;
                            std::string name;
                            if (method == 0) {
                                kv::TAutoFocusSearch search(kStep, FomKind::HFD, 0);
                                r = Drive(search, m);
                                name = "golden section";
                            } else {
                                kv::CurveFitSettings settings;
                                settings.step = kStep;
                                kv::TCurveFitSearch search(settings, FomKind::HFD, 0);
                                r = Drive(search, m);
                                name = "curve fit";
                            }
                            char jit[16];
                            std::snprintf(jit, sizeof jit, "%2.0f%%", jitter * 100);
                            auto& rows = b.rows[name];
                            rows["all"].Add(r);
                            if (std::abs(start) <= 1) rows["start <= 1 step"].Add(r);
                            rows[std::string("curve ") + CurveName(curve)].Add(r);
                            rows[std::string("jitter ") + jit].Add(r);
                            rows["start " + std::to_string(start)].Add(r);
                            rows["backlash " + std::to_string(backlash)].Add(r);
                            if (jitter == 0.0) rows["jitter 0, all"].Add(r);
                            if (jitter > 0.05) rows[std::string("8% ") + CurveName(curve)].Add(r);
                        }
    // Far starts: the curve fit with its coarse phase, 100-pixel and 64-pixel focus frames.
    struct Far {
        double steps;       // from best focus
        double limitHfd;    // the focus frame loses the star beyond this HFD (0: only the fading)
        int step;           // the walk's
        const char* label;
    };
    std::vector<Far> fars = {{1000, 0, kStep, "far +-10 steps"}, {2000, 0, kStep, "far +-20 steps"},
                             {600, 12, kStep, "600 out, 64 px"}, {800, 12, kStep, "800 out, 64 px"}};
    for (const double out : {60.0, 100.0, 150.0, 200.0}) {
        fars.push_back({out, 12, 250, "step 250, 60-200 out, 64 px"});
        fars.push_back({out, 12, 500, "step 500, 60-200 out, 64 px"});
    }
    for (const Far& far : fars)
        for (const Curve curve : curves)
            for (const double jitter : jitters)
                for (const int sign : {1, -1})
                    for (const int backlash : backlashes)
                        for (int seed = 1; seed <= kSeeds; ++seed) {
                            Model m;
                            m.curve = curve;
                            m.jitter = jitter;
                            m.backlash = backlash;
                            m.frameLimitHfd = far.limitHfd;
                            m.rng.seed(static_cast<unsigned>(seed * 7919 + sign * 131 + backlash + int(far.steps)));
                            std::uniform_real_distribution<double> offset(-0.25, 0.25);
                            m.best = -sign * far.steps + (far.step == kStep ? offset(m.rng) * kStep : 0.0);
                            kv::CurveFitSettings settings;
                            settings.step = far.step;
                            settings.coarse = true;
                            settings.coarseFitsHfd = kv::CoarseFitsHfd(far.limitHfd > 0 ? 64 : 100);
                            kv::TCurveFitSearch search(settings, FomKind::HFD, 0);
                            const Run r = Drive(search, m);
                            if (std::getenv("KV_BATTERY_WHY") && !(r.finished && r.error <= 0.1 * kStep))
                                std::fprintf(stderr, "^ %s %s %.0f%% backlash %d: %s, error %.0f\n", far.label,
                                             CurveName(curve), jitter * 100, backlash,
                                             r.finished ? "finished" : "failed", r.error);
                            if (std::getenv("KV_BATTERY_NOTES") && r.finished && r.error > 0.1 * kStep)
                                std::fprintf(stderr, "best %.0f\n%s\n", m.best, r.notes.c_str());
                            auto& rows = b.rows["curve fit far"];
                            rows["all"].Add(r);
                            rows[far.label].Add(r);
                            rows[std::string(far.label) + ", " + CurveName(curve)].Add(r);
                        }
    RunQuickRefocus(b);
    return b;
}

void Print(const Battery& b) {
    std::printf("\n%-15s %-27s %6s %8s %8s %8s %8s %8s %8s %8s %11s %10s %13s %9s %9s\n", "method", "cases", "runs",
                "success", "<=25", "refused", "median", "p90", "med CFZ", "p90 CFZ", "mean frames", "max frames",
                "coarse frames", "med fr.", "fallback");
    for (const auto& [method, rows] : b.rows)
        for (const auto& [label, t] : rows)
            std::printf("%-15s %-27s %6d %7.1f%% %7.1f%% %7.1f%% %8.1f %8.1f %8.2f %8.2f %11.1f %10d %13.1f %9.1f %8.1f%%\n",
                        method.c_str(), label.c_str(), t.runs, t.Success(), 100.0 * t.near / std::max(1, t.runs),
                        100.0 * t.refused / std::max(1, t.runs), t.Median(), t.P90(), t.Median() / kCfz,
                        t.P90() / kCfz, t.MeanFrames(), t.MaxFrames(), t.MeanCoarse(), t.MedianFrames(),
                        100.0 * t.fellBack / std::max(1, t.runs));
    std::printf("(errors in focuser steps over finished runs; initial step %d; CFZ %.1f steps: f/%.0f, %.0f um steps;\n"
                " the quick refocus succeeds within 1 CFZ, the others within a tenth of the initial step)\n\n",
                kStep, kCfz, kFocalRatio, kStepMicrons);
}

void BM_AutofocusBattery(benchmark::State& state) {
    Battery b;
    for (auto _ : state) {
        b = RunBattery();
        benchmark::DoNotOptimize(b.rows.size());
    }
    for (const auto& [method, rows] : b.rows) {
        const std::string key = method == "curve fit"        ? "fit_"
                                : method == "golden section" ? "gs_"
                                : method == "quick refocus"  ? "quick_"
                                                             : "far_";
        const Tally& all = rows.at("all");
        state.counters[key + "success_pct"] = all.Success();
        state.counters[key + "median_err"] = all.Median();
        state.counters[key + "p90_err"] = all.P90();
        state.counters[key + "frames"] = all.MeanFrames();
        if (const auto near = rows.find("start <= 1 step"); near != rows.end())
            state.counters[key + "frames_near_max"] = near->second.MaxFrames();
        if (key == "far_") state.counters["far_coarse_frames"] = all.MeanCoarse();
        if (key == "quick_") {
            state.counters["quick_median_frames"] = all.MedianFrames();
            state.counters["quick_fallback_pct"] = 100.0 * all.fellBack / std::max(1, all.runs);
            const Tally& widened = rows.at("seeing widened 30%");
            state.counters["quick_widened_success_pct"] = widened.Success();
            state.counters["quick_widened_fallback_pct"] = 100.0 * widened.fellBack / std::max(1, widened.runs);
        }
    }
    Print(b);
}
BENCHMARK(BM_AutofocusBattery)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
