#include "focusing/aberration.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <utility>

#include "focusing/critical_focus_zone.h"
#include "platform/c_number.h"

namespace kv {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr const char* kWithinZone = "within the critical focus zone: nothing to do";
constexpr const char* kNotMeasurable = "not measurable on this run";
// Uncertainties are stated as 95 % intervals: a user acting on a figure
// wants to know it is real, and one standard error misses the truth one run
// in three. The plane's scatter is judged from a handful of regions, so the
// interval widens with Student's t for its degrees of freedom.
double Coverage(int dof) {
    static constexpr double kT[] = {12.71, 4.30, 3.18, 2.78, 2.57, 2.45, 2.36, 2.31, 2.26, 2.23,
                                    2.20,  2.18, 2.16, 2.14, 2.13, 2.12, 2.11, 2.10, 2.09, 2.09};
    if (dof <= 0) return kT[0];
    return dof <= 20 ? kT[dof - 1] : 2.0;
}

double Median(std::vector<double> v) {
    const std::size_t mid = v.size() / 2;
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(mid), v.end());
    const double upper = v[mid];
    if (v.size() % 2 == 1) return upper;
    return (*std::max_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(mid)) + upper) / 2.0;
}

std::string Microns(double v) { return FormatFixedC(std::fabs(v), 0) + " µm"; }

// A grid cell; a star on a boundary belongs to the cell right of or below it.
int Cell(double at, int extent, int cells) {
    const int k = static_cast<int>(std::floor(at * cells / extent));
    return std::clamp(k, 0, cells - 1);
}

// Regions across and down: 3 × 3, finer while a typical reading gives every
// region of the finer grid twice the stars a reading needs, up to 5 × 5.
std::pair<int, int> Grid(const InspectInput& in) {
    if (in.columns > 0 && in.rows > 0) return {in.columns, in.rows};
    std::vector<double> counts;
    for (const InspectReading& r : in.readings) counts.push_back(static_cast<double>(r.stars.size()));
    const double typical = counts.empty() ? 0.0 : Median(counts);
    int n = 3;
    while (n < 5 && (n + 1) * (n + 1) * 2 * std::max(1, in.minStarsPerReading) <= typical) ++n;
    return {n, n};
}

// Weighted least squares for up to 4 parameters; the covariance of the
// solution, scaled by the reduced chi-square when it is above 1 (the model
// or the stated errors fall short) and there are degrees of freedom to tell.
struct Solution {
    bool ok = false;
    std::array<double, 4> p{};
    std::array<std::array<double, 4>, 4> cov{};
    int dof = 0;
};
Solution Solve(const std::vector<std::array<double, 4>>& rows, const std::vector<double>& z,
               const std::vector<double>& w, int n) {
    Solution s;
    // [M | b]: the normal equations, b in column 4; Gauss-Jordan turns M
    // into the identity and `inv` into M's inverse beside it.
    std::array<std::array<double, 5>, 4> m{};
    for (std::size_t i = 0; i < rows.size(); ++i)
        for (int r = 0; r < n; ++r) {
            for (int c = 0; c < n; ++c) m[r][c] += w[i] * rows[i][r] * rows[i][c];
            m[r][4] += w[i] * rows[i][r] * z[i];
        }
    std::array<std::array<double, 4>, 4> inv{};
    for (int r = 0; r < n; ++r) inv[r][r] = 1.0;
    for (int col = 0; col < n; ++col) {
        int pivot = col;
        for (int r = col + 1; r < n; ++r)
            if (std::fabs(m[r][col]) > std::fabs(m[pivot][col])) pivot = r;
        const double scale = std::fabs(m[pivot][col]);
        double norm = 0.0;
        for (int c = 0; c < n; ++c) norm = std::max(norm, std::fabs(m[col][c]));
        if (!(scale > 1e-12 * std::max(norm, 1e-300))) return s;
        std::swap(m[col], m[pivot]);
        std::swap(inv[col], inv[pivot]);
        const double d = m[col][col];
        for (int c = 0; c < 5; ++c) m[col][c] /= d;
        for (int c = 0; c < n; ++c) inv[col][c] /= d;
        for (int r = 0; r < n; ++r) {
            if (r == col) continue;
            const double f = m[r][col];
            for (int c = 0; c < 5; ++c) m[r][c] -= f * m[col][c];
            for (int c = 0; c < n; ++c) inv[r][c] -= f * inv[col][c];
        }
    }
    for (int r = 0; r < n; ++r) s.p[r] = m[r][4];
    double chi2 = 0.0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        double fit = 0.0;
        for (int r = 0; r < n; ++r) fit += s.p[r] * rows[i][r];
        chi2 += w[i] * (z[i] - fit) * (z[i] - fit);
    }
    const int dof = s.dof = static_cast<int>(rows.size()) - n;
    const double inflate = dof > 0 ? std::max(1.0, chi2 / dof) : 1.0;
    for (int r = 0; r < n; ++r)
        for (int c = 0; c < n; ++c) s.cov[r][c] = inv[r][c] * inflate;
    s.ok = true;
    return s;
}

void Judge(AberrationFigure& f, double zone, const std::string& act) {
    f.cfz = std::fabs(f.microns) / zone;
    f.state = JudgeFigure(f.microns, f.uncertainty, zone);
    f.verdict = f.state == FigureState::WithinZone ? kWithinZone : f.state == FigureState::Act ? act : kNotMeasurable;
}

void Absent(AberrationFigure& f, std::string why) {
    f.state = FigureState::Absent;
    f.verdict = std::move(why);
}

}  // namespace

FigureState JudgeFigure(double microns, double uncertainty, double cfzMicrons) {
    const double size = std::fabs(microns);
    // Not measurable, yet even its far end inside the zone: nothing to do all the same.
    if (size <= uncertainty) return size + uncertainty <= cfzMicrons ? FigureState::WithinZone : FigureState::NotMeasurable;
    return size <= cfzMicrons ? FigureState::WithinZone : FigureState::Act;
}

std::string PhysicalPlace(double dx, double dy, const SensorOrientation& o) {
    if (o.mirrorX) dx = -dx;
    if (o.mirrorY) dy = -dy;
    // Clockwise on an image whose y grows downwards: right becomes down.
    for (int k = ((o.quarterTurns % 4) + 4) % 4; k > 0; --k) dx = std::exchange(dy, dx) * -1.0;
    if (dx == 0.0 && dy == 0.0) return "";
    const double tan22 = std::tan(kPi / 8.0);
    const char* vertical = dy < 0.0 ? "top" : "bottom";
    const char* horizontal = dx < 0.0 ? "left" : "right";
    if (std::fabs(dy) < tan22 * std::fabs(dx)) return std::string(horizontal) + " edge";
    if (std::fabs(dx) < tan22 * std::fabs(dy)) return std::string(vertical) + " edge";
    return std::string(vertical) + "-" + horizontal + " corner";
}

AberrationReport Inspect(const InspectInput& in) {
    AberrationReport report;
    const std::optional<double> zone = CriticalFocusZoneMicrons(in.focalRatio);
    if (in.sensorWidth <= 0 || in.sensorHeight <= 0 || !(in.pixelMicrons > 0.0)) {
        report.why = "the sensor's size is not known";
        return report;
    }
    if (!zone || !(in.stepMicrons > 0.0)) {
        report.why = "the focal ratio and the focuser's step are needed";
        return report;
    }
    if (in.fieldFit.model == FitModel::None || in.fieldFit.parameters.size() < 3) {
        report.why = "the whole field's curve fit gave no curve";
        return report;
    }
    report.cfzMicrons = *zone;
    report.outwardMicronsPerStep = (in.positionsGrowOutward ? 1.0 : -1.0) * in.stepMicrons;
    const auto [columns, rows] = Grid(in);
    report.columns = columns;
    report.rows = rows;

    // Each region: its stars' readings, and where its stars lie (for the
    // plane, the mean place and the mean squared distance from the centre).
    const double mm = in.pixelMicrons / 1000.0;
    const double halfW = in.sensorWidth / 2.0;
    const double halfH = in.sensorHeight / 2.0;
    struct Gather {
        std::vector<FitPoint> points;
        std::vector<double> counts;
        double sx = 0.0, sy = 0.0, sr2 = 0.0;
        int n = 0;
    };
    std::vector<Gather> gathered(static_cast<std::size_t>(columns * rows));
    for (const InspectReading& reading : in.readings) {
        std::vector<std::vector<double>> sizes(gathered.size());
        for (const InspectStar& s : reading.stars) {
            if (!std::isfinite(s.x) || !std::isfinite(s.y) || !(s.hfd > 0.0)) continue;
            const auto k = static_cast<std::size_t>(Cell(s.y, in.sensorHeight, rows) * columns +
                                                    Cell(s.x, in.sensorWidth, columns));
            sizes[k].push_back(s.hfd);
            Gather& g = gathered[k];
            g.sx += s.x;
            g.sy += s.y;
            const double u = (s.x - halfW) * mm;
            const double v = (s.y - halfH) * mm;
            g.sr2 += u * u + v * v;
            ++g.n;
        }
        for (std::size_t k = 0; k < sizes.size(); ++k) {
            const int count = static_cast<int>(sizes[k].size());
            if (count < std::max(1, in.minStarsPerReading)) continue;
            gathered[k].points.push_back({reading.position, Median(sizes[k]), static_cast<double>(count)});
            gathered[k].counts.push_back(count);
        }
    }

    std::vector<std::array<double, 4>> design;
    std::vector<double> focus;
    std::vector<double> sigmas;
    const double outward = in.positionsGrowOutward ? 1.0 : -1.0;
    for (int row = 0; row < rows; ++row) {
        for (int column = 0; column < columns; ++column) {
            const Gather& g = gathered[static_cast<std::size_t>(row * columns + column)];
            RegionResult r;
            r.column = column;
            r.row = row;
            r.stars = g.counts.empty() ? 0 : static_cast<int>(Median(g.counts));
            if (g.n > 0) {
                r.centreX = g.sx / g.n;
                r.centreY = g.sy / g.n;
            }
            if (static_cast<int>(g.points.size()) < in.minReadings) {
                char why[128];
                std::snprintf(why, sizeof why, "too few stars: %d readings with %d or more of its stars, %d needed",
                              static_cast<int>(g.points.size()), std::max(1, in.minStarsPerReading),
                              in.minReadings);
                r.why = why;
            } else {
                const ShapedFit fit = FitShapedCurve(g.points, in.fieldFit);
                r.ok = fit.ok && fit.sigma > 0.0;
                r.why = fit.ok && !r.ok ? "its readings fit the curve too exactly to judge" : fit.why;
                r.bestFocus = fit.centre;
                r.sigma = fit.sigma;
            }
            if (r.ok) {
                const double u = (r.centreX - halfW) * mm;
                const double v = (r.centreY - halfH) * mm;
                design.push_back({1.0, u, v, g.sr2 / g.n});
                focus.push_back(outward * r.bestFocus * in.stepMicrons);
                sigmas.push_back(r.sigma * in.stepMicrons);
            }
            report.regions.push_back(std::move(r));
        }
    }

    // A region whose few readings happen to lie on the curve states a tiny
    // error and would rule the plane alone: none weighs more than one with
    // half the typical error.
    std::vector<double> weights;
    if (!sigmas.empty()) {
        const double floor = Median(sigmas) / 2.0;
        for (const double s : sigmas) weights.push_back(1.0 / std::pow(std::max(s, floor), 2.0));
    }
    double r2Lo = 1e300, r2Hi = -1e300;
    for (const auto& d : design) {
        r2Lo = std::min(r2Lo, d[3]);
        r2Hi = std::max(r2Hi, d[3]);
    }
    const double widthMm = in.sensorWidth * mm;
    const double heightMm = in.sensorHeight * mm;
    const double cornerR2 = (widthMm * widthMm + heightMm * heightMm) / 4.0;
    // The paraboloid needs regions at clearly different distances from the
    // centre (a quarter of the corner's squared distance apart).
    const bool withCurvature = design.size() >= 5 && r2Hi - r2Lo > cornerR2 / 4.0;
    // A plane through three regions has no scatter left to judge it by, and
    // three regions of a sparse field often lie nearly in a line.
    const Solution fit = design.size() >= 4 ? Solve(design, focus, weights, withCurvature ? 4 : 3) : Solution{};
    report.ok = true;
    const int fitted = static_cast<int>(design.size());
    if (!fit.ok) {
        const std::string why = fitted < 4 ? "left out: " + std::to_string(fitted) +
                                                 " regions have a best focus, 4 or more needed"
                                           : "left out: the regions with a best focus lie in a line";
        Absent(report.tilt, why);
        Absent(report.curvature, why);
    } else {
        report.tiltXMicrons = fit.p[1] * widthMm;
        report.tiltYMicrons = fit.p[2] * heightMm;
        const double sx = report.tiltXMicrons < 0.0 ? -widthMm : widthMm;
        const double sy = report.tiltYMicrons < 0.0 ? -heightMm : heightMm;
        const double variance =
            sx * sx * fit.cov[1][1] + sy * sy * fit.cov[2][2] + 2.0 * sx * sy * fit.cov[1][2];
        AberrationFigure& t = report.tilt;
        const double k = Coverage(fit.dof);
        t.microns = std::fabs(report.tiltXMicrons) + std::fabs(report.tiltYMicrons);
        t.uncertainty = k * std::sqrt(std::max(0.0, variance));
        // A component inside its own uncertainty beside one that is not is
        // noise: it would turn a plain edge tilt into a corner to shim. It
        // places the tilt only when neither stands out. The size keeps both,
        // with the uncertainty of both: dropping the one that happens to be
        // small would shrink the interval in just the runs where noise made
        // the other stand out, and it would no longer cover the truth.
        const bool xStands = std::fabs(report.tiltXMicrons) > k * std::sqrt(std::max(0.0, fit.cov[1][1])) * widthMm;
        const bool yStands = std::fabs(report.tiltYMicrons) > k * std::sqrt(std::max(0.0, fit.cov[2][2])) * heightMm;
        const double tx = xStands || !yStands ? report.tiltXMicrons : 0.0;
        const double ty = yStands || !xStands ? report.tiltYMicrons : 0.0;
        // The part too far from the lens comes to focus furthest in.
        report.tiltPlace = PhysicalPlace(-tx, -ty, in.orientation);
        const bool edge = report.tiltPlace.find("edge") != std::string::npos;
        const bool alongX = std::fabs(tx) >= std::fabs(ty);
        const char* across = !edge                                              ? "the diagonal"
                             : in.sensorWidth == in.sensorHeight               ? "the sensor"
                             : alongX == (in.sensorWidth > in.sensorHeight) ? "the long side"
                                                                              : "the short side";
        Judge(t, *zone,
              "tilt of " + Microns(t.microns) + " across " + across + ", the " + report.tiltPlace + " is " +
                  Microns(t.microns / 2.0) + " too far out: shim there");
        if (!withCurvature) {
            Absent(report.curvature, fitted < 5 ? "left out: " + std::to_string(fitted) +
                                                      " regions have a best focus, 5 or more needed"
                                                : "left out: no region far enough from the centre has a best focus");
        } else {
            AberrationFigure& c = report.curvature;
            c.microns = fit.p[3] * cornerR2;
            c.uncertainty = Coverage(fit.dof) * std::sqrt(std::max(0.0, fit.cov[3][3])) * cornerR2;
            Judge(c, *zone,
                  "field curvature of " + Microns(c.microns) + ": the corners focus " +
                      (c.microns < 0.0 ? "nearer the lens" : "further from the lens") + " than the centre");
        }
    }

    // A flattener too close to the sensor leaves the native field's curve,
    // the corners focusing nearer the lens; too far, it overcorrects.
    AberrationFigure& b = report.backFocus;
    if (!in.flattenerMillimetres) {
        Absent(b, "left out: no flattener back focus is set");
    } else if (report.curvature.state == FigureState::Absent) {
        Absent(b, "left out: the field curvature is not known");
    } else {
        b.microns = report.curvature.microns;
        b.uncertainty = report.curvature.uncertainty;
        const std::string set = FormatFixedC(*in.flattenerMillimetres, 1) + " mm";
        Judge(b, *zone,
              b.microns < 0.0 ? "the corners focus nearer the lens: the flattener looks too close to the sensor, "
                                "try more than " + set
                              : "the corners focus further from the lens: the flattener looks too far from the "
                                "sensor, try less than " + set);
    }
    return report;
}

std::string AberrationReport::Summary() const {
    if (!ok) return why;
    const auto line = [&](const char* name, const AberrationFigure& f) {
        std::string s = std::string(name) + ": ";
        if (f.state != FigureState::Absent)
            s += Microns(f.microns) + " ± " + Microns(f.uncertainty) + " (" + FormatFixedC(f.cfz, 2) + " CFZ): ";
        return s + f.verdict + "\n";
    };
    return line("Tilt", tilt) + line("Field curvature", curvature) + line("Back focus", backFocus);
}

AberrationLogRow AberrationLogRowOf(const AberrationReport& report, std::string time,
                                    std::optional<double> temperatureC) {
    AberrationLogRow row;
    row.time = std::move(time);
    row.temperatureC = temperatureC;
    row.columns = report.columns;
    row.rows = report.rows;
    for (const RegionResult& r : report.regions) row.regionsFitted += r.ok ? 1 : 0;
    row.cfzMicrons = report.cfzMicrons;
    if (report.tilt.state != FigureState::Absent) {
        row.tiltMicrons = report.tilt.microns;
        row.tiltUncertainty = report.tilt.uncertainty;
        row.tiltXMicrons = report.tiltXMicrons;
        row.tiltYMicrons = report.tiltYMicrons;
        row.tiltPlace = report.tiltPlace;
    }
    if (report.curvature.state != FigureState::Absent) {
        row.curvatureMicrons = report.curvature.microns;
        row.curvatureUncertainty = report.curvature.uncertainty;
    }
    return row;
}

namespace {

std::string Field(const std::optional<double>& v) { return v ? FormatFixedC(*v, 1) : ""; }

bool ReadField(const std::string& text, std::optional<double>& out) {
    if (text.empty()) return true;
    out = ParseDoubleC(text);
    return out.has_value();
}

}  // namespace

std::string FormatAberrationLogRow(const AberrationLogRow& r) {
    return r.time + "," + Field(r.temperatureC) + "," + std::to_string(r.columns) + "x" + std::to_string(r.rows) +
           "," + std::to_string(r.regionsFitted) + "," + FormatFixedC(r.cfzMicrons, 1) + "," + Field(r.tiltMicrons) +
           "," + Field(r.tiltUncertainty) + "," + Field(r.tiltXMicrons) + "," + Field(r.tiltYMicrons) + "," +
           r.tiltPlace + "," + Field(r.curvatureMicrons) + "," + Field(r.curvatureUncertainty);
}

std::optional<AberrationLogRow> ParseAberrationLogRow(std::string_view line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
    std::vector<std::string> f(1);
    for (const char c : line) {
        if (c == ',') f.emplace_back();
        else f.back() += c;
    }
    if (f.size() != 12 || f[0].empty()) return std::nullopt;
    AberrationLogRow r;
    r.time = f[0];
    int columns = 0, rows = 0, fitted = 0, used = 0;
    std::optional<double> cfz;
    if (std::sscanf(f[2].c_str(), "%dx%d%n", &columns, &rows, &used) != 2 || used != static_cast<int>(f[2].size()) ||
        columns <= 0 || rows <= 0)
        return std::nullopt;
    if (std::sscanf(f[3].c_str(), "%d%n", &fitted, &used) != 1 || used != static_cast<int>(f[3].size()))
        return std::nullopt;
    r.columns = columns;
    r.rows = rows;
    r.regionsFitted = fitted;
    if (!ReadField(f[1], r.temperatureC) || !ReadField(f[4], cfz) || !cfz || !ReadField(f[5], r.tiltMicrons) ||
        !ReadField(f[6], r.tiltUncertainty) || !ReadField(f[7], r.tiltXMicrons) ||
        !ReadField(f[8], r.tiltYMicrons) || !ReadField(f[10], r.curvatureMicrons) ||
        !ReadField(f[11], r.curvatureUncertainty))
        return std::nullopt;
    r.cfzMicrons = *cfz;
    r.tiltPlace = f[9];
    return r;
}

}  // namespace kv
