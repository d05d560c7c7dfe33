// The auto-focus search as a state machine, free of devices and threads.
//
// The search first checks that best focus lies within +-s (the initial step)
// of the start: it measures -s, +s and 0 and goes on only when the middle is
// strictly better than both ends. It then narrows [-s, +s] by golden sections
// until the bracket is small next to the interior points' distance from the
// start, moves to the better interior point and takes a final reading there.
//
// Driving it: call Next() and carry out the action it returns, until Finished
// or Failed.
//   Measure     move to `position` (MoveTo; with `here`, to where the focuser
//               stands), wait for the move, take the averaged reading, and
//               Report() it with the focuser's position;
//   Move        move to `position` and wait (the outcome of the wait does not
//               matter), then call Next() again;
//   CheckCancel end the search here (nothing more is shown) if the user has
//               cancelled, else call Next() again;
//   Finished    the search is over; the focuser stands at `position`;
//   Failed      best focus is not within range: show `message` as an error.
// After Next() and after Report(), TakeNotes() hands over the log lines,
// status lines and chart points due at that moment, in order; carry them out
// before the action. A failed move or a cancelled reading is the driver's to
// handle: the search is then simply abandoned.
//
// Values are compared as FOM times the sign (-1 for Peak, so that a larger
// peak is better); the charts and texts show the raw FOM.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "camera/display_rules.h"
#include "camera/focus_figures.h"
#include "focusing/focus_scan.h"
#include "platform/waits.h"

namespace kv {

// InitialStepRG: the items' steps, the default item and the item count.
inline constexpr int kInitialSteps[] = {10, 25, 50, 75, 100, 150, 200, 250, 500, 750};
inline constexpr int kDefaultInitialStepItem = 4;
// The step of item `index`; the default item's step for an index out of range.
int InitialStepForItem(int index);

// The search's charts for an initial step and a figure-of-merit kind: the
// position chart's left axis runs from -s to +s, both bottom axes (step
// number, from 0) to bottomMax: 10 up to s = 100, 15 below 200, 20 from 200.
// The quality chart's left axis is the kind's figure-of-merit axis.
struct SearchChartAxes {
    AxisRange position;
    double bottomMax = 10.0;
    FomAxis quality;
};
SearchChartAxes SearchAxesFor(int initialStep, FomKind kind);

// One search point as both charts plot it: x = step number (from 1).
struct SearchPoint {
    int step = 0;
    std::int32_t position = 0;
    double fom = 0.0;
    bool operator==(const SearchPoint&) const = default;
};

// Constants of the search.
inline constexpr double kGoldenRatio = 0.61803399;
inline constexpr double kGoldenComplement = 0.38196601;
inline constexpr double kSearchTolerance = 0.1;
inline constexpr int kSearchMoveWaitMs = 45000;
inline constexpr int kSearchStatusPanelWidth = 350;

// Fixed texts.
inline constexpr const char* kPosChartTitle = "       Focuser Position";
inline constexpr const char* kQualityChartTitle = "            Focus Quality";
inline constexpr const char* kStepNumberTitle = "Step Number";
inline constexpr const char* kFocuserPositionTitle = "Focuser Position";
inline constexpr const char* kPosAxisFormat = "#,##0.#";
inline constexpr const char* kSearchRule = "----------------------------------------------------------";
inline constexpr const char* kAssuringText = "Assuring that optimum focus is within range";
inline constexpr const char* kNotInRangeStatus = "Focus operation cancelled...";
inline constexpr const char* kNotInRangeFinalFormat = "Final posiiton = %d";
inline constexpr const char* kNotInRangeText =
    "The optimum focus point does not appear to be within the specified \r\nrange....  Please do a rough refocus "
    "manually by recentering the \r\nfocuser in its range and using the telescope manual focus";
inline constexpr const char* kInRangeText = "Optimum focus is in range. Searching for best focus....";
inline constexpr const char* kSearchCompleteText = "Focus Search Complete....";
inline constexpr const char* kGettingFinalText = "Getting Final Values....";
inline constexpr const char* kFinalPositionFormat = "Final Position = %d";
inline constexpr const char* kFinalFocusFormat = "Final Focus = %3.4f";
inline constexpr const char* kSearchCompletePanelText = " Focus Search Complete....";
inline constexpr WaitMessages kFocusFunctionWaitMessages{"Time out in FocusFunction procedure",
                                                         "Abandoned event in FocusFunction procedure",
                                                         "An error occurred in FocusFunction procedure"};

class TAutoFocusSearch {
public:
    struct Action {
        // MeasureImage (the curve fit's coarse phase only): move to
        // `position`, take a main image and ReportImage() the HFD of the star
        // on it.
        enum Kind { Measure, Move, CheckCancel, Finished, Failed, MeasureImage } kind = CheckCancel;
        std::int32_t position = 0;  // Measure, Move, Finished, MeasureImage
        std::string message;        // Failed
        // Measure: where the focuser stands, whatever `position` says (the
        // final reading follows a move whose outcome is not checked).
        bool here = false;
    };
    struct Note {
        enum Kind {
            Log,          // a program-log line
            Status,       // a status line: program log and first status-bar panel
            StatusPanel,  // the first status-bar panel's text only
            Plot,         // a point for both charts
        } kind = Log;
        std::string text;
        SearchPoint point;  // Plot
    };

    // `initialStep` in focuser steps (positive); `start` is the focuser's
    // position when the search starts (0 after the position is reset): all
    // positions of the search are relative to it.
    TAutoFocusSearch(int initialStep, FomKind kind, std::int32_t start = 0);

    Action Next();
    // The averaged reading of the last Measure and the focuser's position after it.
    void Report(const FocusReading& reading, std::int32_t position);
    std::vector<Note> TakeNotes();

    // Both charts' data so far: (step, position) and (step, FOM).
    const std::vector<SearchPoint>& Points() const { return points_; }
    // Golden-section steps taken.
    int NarrowingSteps() const { return narrowing_; }
    // The final reading, once Finished.
    const FocusReading& FinalReading() const { return final_; }
    int InitialStep() const { return step_; }

private:
    enum class Phase {
        Begin, MeasureA, CancelA, MeasureC, CancelC, MeasureB, CancelB, CheckRange, CancelX1, MeasureX2,
        Narrow, MeasureNarrowed, Complete, MeasureFinal, Done, NotInRange,
    };
    // Which value a reading fills.
    enum class Slot { A, C, B, F1, F2, Final };

    Action MeasureAt(double relative, Slot slot, Phase then);
    void Log(std::string text) { notes_.push_back({Note::Log, std::move(text), {}}); }
    void Status(std::string text) { notes_.push_back({Note::Status, std::move(text), {}}); }
    void Plot(std::int32_t position, double fom);
    std::int32_t Target(double relative) const;

    const int step_;
    const double sign_;
    const std::int32_t start_;
    Phase phase_ = Phase::Begin;
    Slot pending_ = Slot::A;
    double fa_ = 0, fb_ = 0, fc_ = 0, f1_ = 0, f2_ = 0;
    double x0_ = 0, x1_ = 0, x2_ = 0, x3_ = 0;
    double last_ = 0;
    std::int32_t position_;  // the focuser's last reported position
    int narrowing_ = 0;
    FocusReading final_;
    std::vector<SearchPoint> points_;
    std::vector<Note> notes_;
};

}  // namespace kv
