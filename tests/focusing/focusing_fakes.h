// A scripted focuser and camera for the focusing runner, and a view that
// keeps what a run tells it.
#pragma once

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

#include "focusing/auto_focus_search.h"
#include "focusing/focusing_runner.h"
#include "platform/named_event.h"

namespace kv::test {

// A focuser that moves at once (or never ends a move when stalled) and a
// camera whose FOM follows a V around `best`.
struct FakeDevices final : IFocusDevices {
    std::atomic<std::int32_t> position{0};
    std::atomic<bool> idle{true};
    std::atomic<bool> stalled{false};
    // From 1: that move is halted half-way, as Halt or Stop ends it.
    std::atomic<int> haltMove{0};
    std::atomic<int> moves{0};
    std::atomic<bool> halted{false};
    std::atomic<int> frames{0};
    std::function<void(int)> onFrame;  // frame number, from 1
    std::vector<StarStatus> statuses;  // of frames 1, 2, ... (then Ok)
    std::vector<bool> large;           // of frames 1, 2, ...: a no-star frame's light spread past the frame
    std::int32_t best = 30;
    std::function<double(std::int32_t)> hfdAt;  // of the true position; unset: a V around best
    // Each frame's HFD off by up to this share, the same frames the same way.
    double noise = 0.0;

    // After a halt the motor runs on this many steps, one a read of the position.
    std::atomic<int> coast{0};
    bool FocuserIdle() override { return idle.load() && !(halted && coast > 0); }
    std::int32_t Position() override {
        if (halted && coast > 0) --coast, ++position;
        return position.load();
    }
    void ResetPosition() override {
        if (absoluteZero) *absoluteZero += sense * position.load();
        position = 0;
    }
    void MoveBy(std::int32_t steps) override {
        const auto done = OpenNamedEvent(kGeneralDelayEvent);
        done->Reset();
        const int move = ++moves;
        if (stalled) return;
        int moved = steps;
        if (move == haltMove) {
            moved = steps / 2;
            halted = true;
        }
        position += moved;
        done->Set();
    }
    bool MoveHalted() override { return halted.load(); }
    // The focuser's own count where the counter reads 0 (nullopt: it only counts).
    std::optional<std::int64_t> absoluteZero;
    int sense = 1;  // which way the focuser's own count runs against the counter
    int CountSense() override { return sense; }
    std::optional<double> temperature;
    std::optional<std::int32_t> AbsolutePosition() override {
        if (!absoluteZero) return std::nullopt;
        return static_cast<std::int32_t>(*absoluteZero + sense * position.load());
    }
    std::optional<double> Temperature() override { return temperature; }
    void MoveTo(std::int32_t p) override { MoveBy(p - position.load()); }
    FocusReading TakeFocusFrame() override {
        const int n = ++frames;
        if (onFrame) onFrame(n);
        FocusReading r;
        r.HFD = (hfdAt ? hfdAt(position) : 2.0 + std::abs(position - best) / 50.0) * (1.0 + noise * std::sin(n * 2.4));
        if (static_cast<std::size_t>(n) <= statuses.size() && statuses[static_cast<std::size_t>(n - 1)] != StarStatus::Ok)
            r = {.HFD = 80.0,
                 .status = statuses[static_cast<std::size_t>(n - 1)],
                 .tooLarge = static_cast<std::size_t>(n) <= large.size() && large[static_cast<std::size_t>(n - 1)]};
        r.FOM = r.HFD;
        return r;
    }
    FomKind Kind() override { return FomKind::HFD; }
};

struct RecordingView final : IFocusingView {
    std::mutex m;
    std::vector<std::string> log;
    std::vector<int> progress;
    std::vector<ChartPoint> scanPoints;
    std::optional<ScanResult> scan;
    std::optional<SearchResult> search;
    std::vector<FitSummary> fits;

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
    void SearchFit(const FitSummary& f) override { std::lock_guard l(m); fits.push_back(f); }
    bool Logged(const std::string& text) { return std::count(log.begin(), log.end(), text) > 0; }
};

// Where a search went, what it noted (but the chart's points) and how it ended.
struct Walk {
    TAutoFocusSearch::Action last;
    std::vector<std::int32_t> measured, imaged;
    std::int32_t at = 0;
    std::vector<std::string> notes;
    std::string Notes() const {
        std::string all;
        for (const std::string& n : notes) all += n + "\n";
        return all;
    }
    bool Finished() const { return last.kind == TAutoFocusSearch::Action::Finished; }
    bool Noted(const std::string& part) const { return Notes().find(part) != std::string::npos; }
};

// Drives a search from `start` to its end. The focuser goes where it is sent,
// through `move` when given; `frame` reads the star there, `image` a main image
// (a golden section, which takes none, reports its frames as one reading).
template <typename Search>
Walk DriveSearch(Search& search, std::int32_t start, const std::function<FocusReading(std::int32_t)>& frame, int frames,
                 const std::function<std::optional<double>(std::int32_t)>& image,
                 const std::function<void(std::int32_t)>& move = {}) {
    using A = TAutoFocusSearch::Action;
    Walk w;
    w.at = start;
    const auto take = [&] {
        for (const auto& n : search.TakeNotes())
            if (n.kind != TAutoFocusSearch::Note::Plot) w.notes.push_back(n.text);
    };
    for (int guard = 0; guard < 400; ++guard) {
        w.last = search.Next();
        take();
        if (w.last.kind == A::Finished || w.last.kind == A::Failed) return w;
        if (w.last.kind == A::CheckCancel) continue;
        if (!w.last.here) w.at = w.last.position;
        if (move) move(w.at);
        constexpr bool kGolden = std::is_same_v<Search, TAutoFocusSearch>;
        if (w.last.kind == A::Measure) {
            w.measured.push_back(w.at);
            if constexpr (kGolden) search.Report(frame(w.at), w.at);
            else search.Report(frame(w.at), w.at, frames);
            take();
        } else if constexpr (!kGolden) {
            if (w.last.kind == A::MeasureImage) {
                w.imaged.push_back(w.at);
                search.ReportImage(image(w.at), w.at);
            }
        }
    }
    ADD_FAILURE() << "the search never ended";
    return w;
}

}  // namespace kv::test
