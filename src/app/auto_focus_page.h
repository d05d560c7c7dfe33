// The Auto Focus page: the search's controls and its two charts (focuser
// position and figure of merit against the step number).
#pragma once

#include <QWidget>
#include <optional>
#include <string>

#include "focusing/auto_focus_search.h"
#include "focusing/focus_zone.h"
#include "focusing/focusing_runner.h"

class QChart;
class TAberrationPanel;
class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QSpinBox;
class TPageContext;
class TRadioGroup;
namespace kv {
class IniFile;
struct AberrationReport;
}

class TAutoFocusPage : public QWidget {
    Q_OBJECT
public:
    TAutoFocusPage(TPageContext& form, QWidget* parent);

    QChart* QualityChart() const { return qualityChart_; }
    QChart* PosChart() const { return posChart_; }
    TRadioGroup* InitialStepRG() const { return initialStep_; }
    // "Golden Section" or "Curve Fit".
    TRadioGroup* MethodRG() const { return method_; }
    static constexpr int kGoldenSectionItem = 0;
    static constexpr int kCurveFitItem = 1;
    static constexpr int kQuickRefocusItem = 2;
    // The search the controls ask for: the method, the initial step (for the
    // curve fit, the spacing of its samples) and the curve fit's values.
    kv::SearchOptions SearchOptions() const;
    // The method of a FocusMethodRG item.
    static kv::FocusMethod MethodOf(int item);
    // "Focus Star" or "Whole Field": what each reading measures.
    TRadioGroup* MeasureRG() const { return measure_; }
    static constexpr int kFocusStarItem = 0;
    static constexpr int kWholeFieldItem = 1;
    // Tells the camera what the readings measure: the focus star, or the
    // whole field over the chosen share of the image.
    void ApplyMeasure() const;
    // The method and curve-fit values from [AutoFocus]; an absent key keeps
    // the engine's default. They are written one at a time as the user
    // changes them, so the factory file never holds them.
    void ReadOwnSettings(const kv::IniFile& ini);
    // The focal ratio and step size as the boxes show them, with the chosen
    // focuser model's catalogue step beside them.
    kv::FocusZoneOptics Optics() const;
    // The focuser model whose catalogue step stands in for an unset step.
    void SetFocuserModel(const std::string& model);
    // "CFZ: 34 steps (107 µm)", or what is missing for it.
    QLabel* CfzLabel() const { return cfzLabel_; }
    // The last search's result line, whole (the status bar cuts it off).
    QLabel* LastResultLabel() const { return lastResult_; }
    // The curve fit's answer, its curve over the positions measured and its
    // check frame on the quality chart (focuser position across).
    void ShowFit(const kv::FitSummary& fit);
    // A curve-fit search lays the quality chart out against the focuser
    // position; the golden section against the step number, as stated.
    void UseQualityAxisFor(kv::FocusMethod method);
    // Empties the curve fit's series (its points, curve, answer and check).
    void ClearFit();
    // Both charts' step axes and the position chart's left axis for a search
    // (the quality chart's left axis follows the figure of merit elsewhere).
    void ShowSearchAxes(const kv::SearchChartAxes& axes);

    // A refocus a trigger asked for, with its reason on the status bar: the
    // quick refocus, whatever method the page shows (the choice stays the
    // user's); it starts only as the Auto Focus button would (a star
    // selected, camera and focuser ready).
    void StartRefocus(const QString& reason);

    // The optics a whole-field curve fit read (the map under the charts, its
    // line in the aberration log), with the temperature during the run. GUI
    // thread, as every report of the focusing view reaches the window.
    void ShowAberration(const kv::AberrationReport& report, std::optional<double> temperatureC);
    TAberrationPanel* Aberration() const { return aberration_; }

public slots:
    // A new initial step: the charts are laid out for it.
    void InitialStepRGClick();

private:
    // Writes one [AutoFocus] key now; a failure is said and logged.
    void SaveValue(const char* key, int value);

    TPageContext& form_;
    QChart* qualityChart_ = nullptr;
    QChart* posChart_ = nullptr;
    TRadioGroup* initialStep_ = nullptr;
    TRadioGroup* method_ = nullptr;
    TRadioGroup* measure_ = nullptr;
    QComboBox* fieldShare_ = nullptr;
    QSpinBox* pointsPerSide_ = nullptr;
    QSpinBox* overshoot_ = nullptr;
    QComboBox* approach_ = nullptr;
    QDoubleSpinBox* focalRatio_ = nullptr;
    QDoubleSpinBox* stepSize_ = nullptr;
    QLabel* cfzLabel_ = nullptr;
    QLabel* lastResult_ = nullptr;
    std::optional<double> catalogueStep_;  // of the chosen focuser model
    // Shows the zone the optics give; `saveKey` names the value the user
    // just changed, which is written now (nullptr when reading them back).
    void OpticsChanged(const char* saveKey);
    bool fitLayout_ = false;  // the quality chart runs across focuser positions
    TAberrationPanel* aberration_ = nullptr;
};

// Sets a chart's left axis for the figure-of-merit kind (0 FWHM .. 4 HFD):
// title, range, label size and format. `labelSizeOnly` sets just the label
// size (the position chart, whose axis counts steps).
void SetFomAxis(QChart* chart, int fomKind, bool labelSizeOnly = false);
// Widens a chart's first axis of that orientation, never narrows it, so that
// `value` is on the chart (kv::WidenToShow).
void WidenToShow(QChart* chart, Qt::Orientation orientation, double value);
// A measured curve-fit point on the quality chart (position across), the
// axes widened to show it.
void AppendCurvePoint(QChart* qualityChart, double position, double fom);
