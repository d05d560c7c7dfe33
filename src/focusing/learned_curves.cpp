#include "focusing/learned_curves.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <sstream>

#include "platform/c_number.h"

namespace kv {
namespace {

constexpr std::string_view kHeader = "# Kessivane learned focus curves 1";

using Clock = std::chrono::system_clock;

std::int64_t Seconds(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
}

std::string Optional(const std::optional<double>& v) { return v ? FormatShortestC(*v) : std::string(); }

std::vector<std::string_view> Split(std::string_view line, char separator) {
    std::vector<std::string_view> parts;
    for (;;) {
        const std::size_t at = line.find(separator);
        parts.push_back(line.substr(0, at));
        if (at == std::string_view::npos) return parts;
        line.remove_prefix(at + 1);
    }
}

std::optional<std::int64_t> Whole(std::string_view text) {
    const std::optional<double> v = ParseDoubleC(text);
    if (!v || std::floor(*v) != *v || std::fabs(*v) > 9.0e15) return std::nullopt;
    return static_cast<std::int64_t>(*v);
}

// An empty field is "not known"; anything else must read.
bool ReadOptional(std::string_view text, std::optional<double>& out) {
    if (text.empty()) return true;
    out = ParseDoubleC(text);
    return out.has_value();
}

std::optional<LearnedCurve> ReadFit(const std::vector<std::string_view>& f) {
    // fit;time;kind;model;exposure;binning;temperature;best;p0 p1 ...;reached
    // then, where the fit knew them, ;check position;check figure;scatter
    if (f.size() != 10 && f.size() != 13) return std::nullopt;
    const auto time = Whole(f[1]);
    const auto kind = Whole(f[2]);
    const auto model = Whole(f[3]);
    const auto exposure = ParseDoubleC(f[4]);
    const auto binning = Whole(f[5]);
    const auto best = ParseDoubleC(f[7]);
    std::optional<double> reached;
    if (!ReadOptional(f[9], reached) || (reached && !(*reached > 0.0))) return std::nullopt;
    if (!time || !kind || *kind < 0 || *kind > static_cast<int>(FomKind::HFD) || !model ||
        (*model != static_cast<int>(FitModel::Hyperbola) && *model != static_cast<int>(FitModel::Parabola)) ||
        !exposure || *exposure < 0.0 || !binning || *binning < 1 || !best)
        return std::nullopt;
    LearnedCurve c;
    c.absolute = true;
    if (!ReadOptional(f[6], c.record.temperatureC)) return std::nullopt;
    for (std::string_view p : Split(f[8], ' ')) {
        const std::optional<double> v = ParseDoubleC(p);
        if (!v) return std::nullopt;
        c.record.fit.parameters.push_back(*v);
    }
    // The centre is the third parameter of every model.
    if (c.record.fit.parameters.size() < 3) return std::nullopt;
    c.record.time = Clock::time_point(std::chrono::seconds(*time));
    c.record.fit.kind = static_cast<FomKind>(*kind);
    c.record.fit.model = static_cast<FitModel>(*model);
    c.record.exposureSeconds = *exposure;
    c.record.binning = static_cast<int>(*binning);
    c.record.fit.bestPosition = *best;
    c.reached = reached.value_or(0.0);
    if (f.size() == 13) {
        std::optional<double> position, figure, scatter;
        if (!ReadOptional(f[10], position) || !ReadOptional(f[11], figure) || !ReadOptional(f[12], scatter))
            return std::nullopt;
        // A check frame is a position and a figure, or nothing.
        if (position.has_value() != figure.has_value() || (figure && !(*figure > 0.0)) ||
            (scatter && !(*scatter >= 0.0)))
            return std::nullopt;
        if (position) {
            const std::optional<std::int64_t> whole = Whole(f[10]);
            if (!whole || *whole < INT32_MIN || *whole > INT32_MAX) return std::nullopt;
            c.record.fit.checkPosition = static_cast<std::int32_t>(*whole);
            c.record.fit.checkFom = figure;
        }
        c.record.scatter = scatter.value_or(0.0);
    }
    return c;
}

std::optional<LearnedFocus> ReadFocus(const std::vector<std::string_view>& f) {
    // focus;time;position;temperature
    if (f.size() != 4) return std::nullopt;
    const auto time = Whole(f[1]);
    const auto position = ParseDoubleC(f[2]);
    LearnedFocus focus;
    if (!time || !position || !ReadOptional(f[3], focus.temperatureC)) return std::nullopt;
    focus.time = Clock::time_point(std::chrono::seconds(*time));
    focus.position = *position;
    return focus;
}

}  // namespace

void LearnedCurves::AddFit(const FitRecord& record, bool absolute, double reached) {
    fits.push_back({record, absolute, reached > 0.0 && std::isfinite(reached) ? reached : 0.0});
    if (fits.size() > kMaxLearnedFits) fits.erase(fits.begin(), fits.end() - kMaxLearnedFits);
    if (lastFocus && lastFocus->time <= record.time) lastFocus.reset();
}

void LearnedCurves::AddFocus(const LearnedFocus& focus) { lastFocus = focus; }

ShapeLearning LearnedCurves::Learn(const ShapeCriteria& criteria) const {
    std::vector<FitRecord> records;
    records.reserve(fits.size());
    for (const LearnedCurve& c : fits) records.push_back(c.record);
    ShapeLearning learning = LearnShape(records, criteria);
    // A refocus since the newest fit found where that curve sits now; its
    // answer, not the fit's, is where the next prediction starts.
    if (learning.shape && lastFocus && lastFocus->time >= learning.shape->lastTime &&
        criteria.now - lastFocus->time <= criteria.maxAge) {
        learning.shape->lastBest = lastFocus->position;
        learning.shape->lastTemperatureC = lastFocus->temperatureC;
        learning.shape->lastTime = lastFocus->time;
    }
    return learning;
}

std::optional<double> LearnedCurves::Reached(FomKind kind) const {
    for (auto c = fits.rbegin(); c != fits.rend(); ++c) {
        if (c->record.fit.kind == kind && c->reached > 0.0) return c->reached;
    }
    return std::nullopt;
}

bool LearnedCurves::NothingToKeep() const {
    return std::none_of(fits.begin(), fits.end(), [](const LearnedCurve& c) { return c.absolute; });
}

std::string FormatLearnedCurves(const LearnedCurves& curves) {
    std::ostringstream out;
    out << kHeader << '\n';
    std::optional<Clock::time_point> newestKept;
    for (const LearnedCurve& c : curves.fits) {
        if (!c.absolute) continue;
        const FitRecord& r = c.record;
        out << "fit;" << Seconds(r.time) << ';' << static_cast<int>(r.fit.kind) << ';' << static_cast<int>(r.fit.model)
            << ';' << FormatShortestC(r.exposureSeconds) << ';' << r.binning << ';' << Optional(r.temperatureC) << ';'
            << FormatShortestC(r.fit.bestPosition) << ';';
        for (std::size_t i = 0; i < r.fit.parameters.size(); ++i)
            out << (i > 0 ? " " : "") << FormatShortestC(r.fit.parameters[i]);
        out << ';' << (c.reached > 0.0 ? FormatShortestC(c.reached) : std::string());
        // Only where known: a line without them reads in older programs too.
        const bool checked = r.fit.checkPosition && r.fit.checkFom;
        if (checked || r.scatter > 0.0) {
            out << ';' << (checked ? std::to_string(*r.fit.checkPosition) : std::string()) << ';'
                << (checked ? FormatShortestC(*r.fit.checkFom) : std::string()) << ';'
                << (r.scatter > 0.0 ? FormatShortestC(r.scatter) : std::string());
        }
        out << '\n';
        newestKept = r.time;
    }
    // An answer on a counting focuser's scale would mislead after a restart:
    // it is kept only after a fit that is written.
    if (curves.lastFocus && newestKept && curves.lastFocus->time >= *newestKept &&
        curves.fits.back().absolute) {
        const LearnedFocus& f = *curves.lastFocus;
        out << "focus;" << Seconds(f.time) << ';' << FormatShortestC(f.position) << ';' << Optional(f.temperatureC)
            << '\n';
    }
    return out.str();
}

LearnedCurves ParseLearnedCurves(std::string_view text) {
    LearnedCurves curves;
    for (std::string_view line : Split(text, '\n')) {
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const std::vector<std::string_view> fields = Split(line, ';');
        if (fields[0] == "fit") {
            if (std::optional<LearnedCurve> c = ReadFit(fields)) curves.AddFit(c->record, true, c->reached);
        } else if (fields[0] == "focus") {
            if (std::optional<LearnedFocus> f = ReadFocus(fields)) curves.AddFocus(*f);
        }
    }
    return curves;
}

}  // namespace kv
