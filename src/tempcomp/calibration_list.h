// The calibration list behind the Temp Control page's "Calibration" group:
// rows of (check mark, position, temperature, time, date), the relative data
// the fit runs on, and the handlers' decisions. The desktop asks the user its
// questions and picks files; everything it then shows comes from here.
//
// Relative data: one data point per row, made relative to the first row of
// its batch (that row becomes Position 0, Temp 0.0). Loading makes the whole
// list one batch; each merge appends the rows it added as a batch of their
// own, so two nights whose focuser positions differ by a constant fit
// together. Any store, delete, clear or training drops the clean flag, and the
// next fit rebuilds the whole list as one batch.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dialogs.h"
#include "tempcomp/linear_fit.h"
#include "tempcomp/tc_texts.h"
#include "tempcomp/tcd_file.h"

namespace kv {

inline constexpr std::size_t kMaxDataPoints = 100;

inline constexpr const char* kTrainingQuestion = "Training requires a clean slate...  Delete existing data?";
inline constexpr const char* kDeletePointQuestion = "Are you sure you want to clear this data point?";
inline constexpr const char* kClearAllQuestion =
    "Are you sure you want to clear all data points?\r\n\r\n(There is no undoing this operation!)";
inline constexpr const char* kOverwriteQuestion = "Do you want to overwrite the existing data?";
inline constexpr const char* kMergeQuestion = "Do you want to merge with the existing data?";
inline constexpr const char* kTooFewCheckedText = "At least 2 data points must be checked to calculate coefficients.";
inline constexpr const char* kTooFewUniqueText =
    "At least 2 unique data points are required to calculate coefficients.";
inline constexpr const char* kMathErrorText = "A math error occurred... something is wrong with the data.";
inline constexpr const char* kNothingToSaveText = "Nothing to Save";
inline constexpr const char* kFirstMustBeCheckedText =
    "The first data point MUST be checked... The data cannot be saved as is";
inline constexpr const char* kIntegerOverflowText = "Integer overflow";
// "The 100 data point maximum has been reached.\r\n\r\nThe last data point was not accepted."
std::string TooManyPointsText();

// One row taken as values.
struct TCDataPoint {
    bool Checked = false;
    std::int32_t Position = 0;
    double Temp = 0.0;
    std::string Time;
    std::string Date;
    double DateTime = 0.0;  // days since 1899-12-30, time of day as the fraction
};

// Outcome of a handler: empty message when it went through; otherwise the
// text to show and how.
struct TCStatus {
    std::string message;
    DialogType type = DialogType::Information;
    bool ok() const { return message.empty(); }
    static TCStatus Fail(std::string text, DialogType type) { return {std::move(text), type}; }
};

struct CoefficientResult {
    TCStatus status;
    // The fit ran (also when it failed part-way): show the texts below.
    bool show = false;
    FitResult fit;
    std::string slopeText;  // "%5.3f"
    std::string r2Text;     // "%4.2f"
    int leds = 0;           // R2Meter
};

class TCalibrationList {
public:
    explicit TCalibrationList(TCLocale locale = {});

    const TCLocale& Locale() const { return locale_; }
    void SetLocale(TCLocale locale) { locale_ = std::move(locale); }

    // ---- the list ----
    std::size_t Count() const { return rows_.size(); }
    const std::vector<TCRow>& Rows() const { return rows_; }
    // Appends a row: check mark, Position in decimal, Temp in its shortest form, Time, Date.
    void AddDataPoint(const TCDataPoint& point);
    // The row's values; the status carries the conversion error of a column
    // that does not read with this locale.
    std::optional<TCDataPoint> GetDataPoint(std::size_t row, TCStatus* error = nullptr) const;
    // Check marks do not touch the relative data: the fit takes them from the list.
    void SetChecked(std::size_t row, bool checked);
    // Empties the list, then appends the file's rows.
    // A read error leaves the rows read before it in the list.
    TCStatus LoadFromFile(const std::string& path);
    TCStatus AppendFromFile(const std::string& path);
    WriteResult SaveToFile(const std::string& path, std::string_view comment,
                           std::chrono::system_clock::time_point now) const;

    // ---- handlers ----
    // "Store Data Point" from the read-out's position text and average text.
    TCStatus StorePoint(std::string_view positionText, std::string_view avgTempText,
                        std::chrono::system_clock::time_point now);
    // The same for a position and temperature known as numbers (a past auto
    // focus chosen from the focus history), stamped with its own time.
    TCStatus StoreRunPoint(std::int64_t position, double temp, std::chrono::system_clock::time_point when);
    // A point StoreRunPoint would add is in the list already (the same run added before).
    bool HasRunPoint(std::int64_t position, double temp, std::chrono::system_clock::time_point when) const;
    void DeleteRow(std::size_t row);
    void ClearAll();
    // Train pressed down (after the user agreed to lose the list) or released.
    void BeginTraining();
    TCStatus EndTraining();
    CoefficientResult CalcCoefficients();
    // Load and Merge after the dialog: the chosen file, or nullopt when the
    // user cancelled (the relative data are still brought up to date).
    TCStatus Load(const std::optional<std::string>& path);
    TCStatus Merge(const std::optional<std::string>& path);
    // The same with rows already read (a file's text through ParseTcd).
    TCStatus LoadRows(const TcdReadResult& read);
    TCStatus MergeRows(const TcdReadResult& read);
    // Whether Save may open its dialog: "Nothing to Save" or the first-row rule.
    TCStatus CheckSavable() const;
    // The comment line of a saved file from the offset label and its unit label.
    static std::string SaveComment(std::string_view calValueText, std::string_view dcLabelText);

    // ---- relative data ----
    bool Clean() const { return clean_; }
    const std::vector<TCDataPoint>& RelativeData() const { return relative_; }
    double FirstTemp() const { return firstTemp_; }
    double Slope() const { return slope_; }
    // Rebuilds from the whole list as one batch unless the clean flag is set.
    TCStatus RebuildRelativeData();

private:
    // A calibration file, its temperatures in this list's number form.
    TcdReadResult ReadForList(const std::string& path) const;
    // A file that could not be read whole: its message, and the list as it was.
    static TCStatus Unchanged(const TcdReadResult& read);
    // The whole list as one batch, then the clean flag.
    TCStatus Rebase();
    TCStatus Append(const TcdReadResult& read, std::size_t& firstAdded);
    // Points of rows [from, Count()) relative to row `from`.
    TCStatus RelativeBatch(std::size_t from, std::vector<TCDataPoint>& out, double* firstTemp) const;

    TCLocale locale_;
    std::vector<TCRow> rows_;
    std::vector<TCDataPoint> relative_;
    double firstTemp_ = 0.0;
    double slope_ = 0.0;
    bool clean_ = false;
};

}  // namespace kv
