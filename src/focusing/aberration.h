// Reading the optics from one whole-field focus run: every region of the
// sensor reaches best focus at its own focuser position, and the pattern of
// those positions is the tilt (a slope across the sensor) and the field
// curvature (the corners against the centre). No extra run is taken.
//
// Each region's curve is fitted with the shape the whole field's fit learned,
// only its centre and level free: a region has a few stars a reading, too
// few to learn a width of its own. A plane with a paraboloid term is then
// fitted through the regions' best foci, weighted by their uncertainties.
//
// A figure no larger than its uncertainty is not measurable on this run and
// never advice; one whose effect stays inside the critical focus zone needs
// nothing done. The zone is the project's own (critical_focus_zone.h): a tilt
// of one zone's depth across the sensor puts each corner half a zone from the
// centre, which is just inside it.
//
// Positions are focuser steps; figures are µm of focuser travel, positive
// outwards (away from the lens) when positionsGrowOutward. A part of the
// sensor that sits too far from the lens reaches focus with the focuser
// further in, so the corner "too far out" is the one whose best focus is the
// lowest outward.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "focusing/curve_fit.h"

namespace kv {

struct InspectStar {
    double x = 0.0;  // image pixels, 0 at the left edge
    double y = 0.0;  // image pixels, 0 at the top edge
    double hfd = 0.0;
};

struct InspectReading {
    double position = 0.0;  // focuser steps
    std::vector<InspectStar> stars;
};

// How the image lies on the camera as the user holds it to shim: the image
// is first mirrored (left-right, then top-bottom), then turned clockwise in
// quarter turns. The identity reads the image as displayed.
struct SensorOrientation {
    int quarterTurns = 0;  // clockwise; any integer, taken modulo 4
    bool mirrorX = false;
    bool mirrorY = false;
};

// The physical corner or edge an image direction points to, e.g. (-1, -1):
// "top-left corner", (1, 0): "right edge". Directions within 22.5° of an
// axis name an edge.
std::string PhysicalPlace(double dx, double dy, const SensorOrientation& orientation);

struct InspectInput {
    std::vector<InspectReading> readings;
    int sensorWidth = 0;  // pixels, of the image the stars were found on
    int sensorHeight = 0;
    double pixelMicrons = 0.0;  // of that image (binning included)
    double focalRatio = 0.0;
    double stepMicrons = 0.0;
    bool positionsGrowOutward = true;
    CurveFit fieldFit;  // the whole field's curve: its shape is every region's
    std::optional<double> flattenerMillimetres;  // the flattener's back focus, when one is used
    SensorOrientation orientation;
    // Regions across and down; 0 chooses: 3 × 3, more when the stars allow.
    int columns = 0;
    int rows = 0;
    // A reading counts for a region with this many of its stars (a lone
    // star's reading may be a blend; two let a sparse field still give
    // enough regions for a plane) ...
    int minStarsPerReading = 2;
    // ... and a region needs this many such readings.
    int minReadings = 5;
};

struct RegionResult {
    int column = 0;
    int row = 0;
    bool ok = false;
    std::string why;  // !ok: why it has no figure
    double bestFocus = 0.0;  // steps
    double sigma = 0.0;      // steps
    int stars = 0;           // on the median reading that counted
    double centreX = 0.0;    // mean place of its stars, pixels
    double centreY = 0.0;
};

enum class FigureState { Absent, NotMeasurable, WithinZone, Act };

// A figure of `microns` ± `uncertainty` against a zone `cfzMicrons` deep: a
// figure no larger than its uncertainty is not measurable unless even its far
// end lies within the zone; a measurable one within the zone needs nothing.
FigureState JudgeFigure(double microns, double uncertainty, double cfzMicrons);

struct AberrationFigure {
    FigureState state = FigureState::Absent;
    double microns = 0.0;      // the size; the sign for curvature (see below)
    double uncertainty = 0.0;  // µm, a 95 % interval either side
    double cfz = 0.0;      // |microns| in zone depths
    std::string verdict;   // plain words, or why the figure is absent
};

struct AberrationReport {
    bool ok = false;
    std::string why;  // !ok: why nothing was measured
    int columns = 0;
    int rows = 0;
    std::vector<RegionResult> regions;  // row by row from the top-left
    double cfzMicrons = 0.0;
    // A focuser step's µm outward (negative where positions grow inwards):
    // the regions' best foci, in steps, as the map shows them.
    double outwardMicronsPerStep = 0.0;
    // Best focus across the whole sensor along its sides, µm outward: right
    // edge less left edge, bottom less top, in image directions.
    double tiltXMicrons = 0.0;
    double tiltYMicrons = 0.0;
    // The tilt's size: the fall from the corner furthest in to the one
    // furthest out (|x| + |y|); place names the part that sits too far out.
    AberrationFigure tilt;
    std::string tiltPlace;
    // Corners' best focus less the centre's, µm outward.
    AberrationFigure curvature;
    AberrationFigure backFocus;
    std::string Summary() const;  // the three verdicts, one a line
};

AberrationReport Inspect(const InspectInput& input);

// The figures saved with the focus log, one line a run in a file of their own.
inline constexpr const char* kAberrationLogFileName = "aberration_log.csv";
inline constexpr const char* kAberrationLogHeader =
    "time,temperature_c,regions,regions_fitted,cfz_um,tilt_um,tilt_uncertainty_um,tilt_x_um,tilt_y_um,tilt_place,"
    "curvature_um,curvature_uncertainty_um";

struct AberrationLogRow {
    std::string time;  // local time, "YYYY-MM-DD HH:MM:SS"
    std::optional<double> temperatureC;
    int columns = 0;
    int rows = 0;
    int regionsFitted = 0;
    double cfzMicrons = 0.0;
    std::optional<double> tiltMicrons;  // absent when the run could not give it
    std::optional<double> tiltUncertainty;
    std::optional<double> tiltXMicrons;
    std::optional<double> tiltYMicrons;
    std::string tiltPlace;
    std::optional<double> curvatureMicrons;
    std::optional<double> curvatureUncertainty;
    bool operator==(const AberrationLogRow&) const = default;
};

AberrationLogRow AberrationLogRowOf(const AberrationReport& report, std::string time,
                                    std::optional<double> temperatureC);
std::string FormatAberrationLogRow(const AberrationLogRow& row);
// nullopt for a line that is not one (the header, a torn or foreign line).
std::optional<AberrationLogRow> ParseAberrationLogRow(std::string_view line);

}  // namespace kv
