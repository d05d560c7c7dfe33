#include "tempcomp/calibration_list.h"

#include <algorithm>

#include <limits>

namespace kv {

std::string TooManyPointsText() {
    return "The " + std::to_string(kMaxDataPoints) +
           " data point maximum has been reached.\r\n\r\nThe last data point was not accepted.";
}

TCalibrationList::TCalibrationList(TCLocale locale) : locale_(std::move(locale)) {}

void TCalibrationList::AddDataPoint(const TCDataPoint& point) {
    rows_.push_back({point.Checked, std::to_string(point.Position), FormatShortest(point.Temp, locale_), point.Time,
                     point.Date});
}

std::optional<TCDataPoint> TCalibrationList::GetDataPoint(std::size_t row, TCStatus* error) const {
    auto fail = [&](std::string text) -> std::optional<TCDataPoint> {
        if (error != nullptr) *error = TCStatus::Fail(std::move(text), DialogType::Error);
        return std::nullopt;
    };
    if (row >= rows_.size()) return fail("List index out of bounds (" + std::to_string(row) + ")");
    const TCRow& r = rows_[row];
    TCDataPoint p;
    p.Checked = r.checked;
    const auto position = ParseInteger(r.position);
    if (!position) return fail(NotAnIntegerText(r.position));
    p.Position = *position;
    const auto temp = ParseLocaleFloat(r.temp, locale_);
    if (!temp) return fail(NotAFloatText(r.temp));
    p.Temp = *temp;
    p.Time = r.time;
    p.Date = r.date;
    const auto stamp = ParseDateTime(r.date, r.time, locale_);
    if (!stamp) return fail("'" + r.date + " " + r.time + "' is not a valid date and time");
    p.DateTime = *stamp;
    return p;
}

void TCalibrationList::SetChecked(std::size_t row, bool checked) {
    if (row < rows_.size()) rows_[row].checked = checked;
}

TCStatus TCalibrationList::LoadFromFile(const std::string& path) {
    rows_.clear();
    return AppendFromFile(path);
}

TcdReadResult TCalibrationList::ReadForList(const std::string& path) const {
    TcdReadResult read = ReadTcdFile(path);
    // Shown in the user's form; files written with a decimal point, and those
    // an earlier version wrote in the user's form, both read.
    for (TCRow& r : read.rows) {
        if (ParseLocaleFloat(r.temp, locale_)) continue;
        if (const auto t = ParseLocaleFloat(r.temp, TCLocale{})) r.temp = FormatShortest(*t, locale_);
    }
    return read;
}

TCStatus TCalibrationList::AppendFromFile(const std::string& path) {
    std::size_t firstAdded = 0;
    return Append(ReadForList(path), firstAdded);
}

TCStatus TCalibrationList::Append(const TcdReadResult& read, std::size_t& firstAdded) {
    firstAdded = rows_.size();
    rows_.insert(rows_.end(), read.rows.begin(), read.rows.end());
    if (!read.ok()) return TCStatus::Fail(read.error, DialogType::Error);
    return {};
}

WriteResult TCalibrationList::SaveToFile(const std::string& path, std::string_view comment,
                                         std::chrono::system_clock::time_point now) const {
    // Temperatures go into the file with a decimal point whatever the user's
    // system writes: the file is comma-separated, so "15,5" would split the row.
    std::vector<TCRow> rows = rows_;
    for (TCRow& r : rows) {
        if (const auto t = ParseLocaleFloat(r.temp, locale_)) r.temp = FormatShortest(*t, TCLocale{});
    }
    return WriteTcdFile(path, rows, comment, TcdSavedAtText(now, locale_));
}

TCStatus TCalibrationList::StorePoint(std::string_view positionText, std::string_view avgTempText,
                                      std::chrono::system_clock::time_point now) {
    if (rows_.size() >= kMaxDataPoints) return TCStatus::Fail(TooManyPointsText(), DialogType::Information);
    const auto position = ParseInteger(positionText);
    if (!position) return TCStatus::Fail(NotAnIntegerText(TrimText(positionText)), DialogType::Error);
    const auto temp = ParseTemperatureText(avgTempText, locale_);
    if (!temp) {
        const auto degree = avgTempText.find(kDegreeSign);
        std::string_view number = degree == std::string_view::npos ? avgTempText : avgTempText.substr(0, degree);
        return TCStatus::Fail(NotAFloatText(TrimText(number)), DialogType::Error);
    }
    return StoreRunPoint(*position, *temp, now);
}

bool TCalibrationList::HasRunPoint(std::int64_t position, double temp, std::chrono::system_clock::time_point when) const {
    const std::string time = FormatLongTime(when, locale_), date = FormatShortDate(when, locale_);
    const std::string positionText = std::to_string(position);
    return std::any_of(rows_.begin(), rows_.end(), [&](const TCRow& r) {
        const auto t = ParseLocaleFloat(r.temp, locale_);
        return r.position == positionText && r.time == time && r.date == date && t && *t == temp;
    });
}

TCStatus TCalibrationList::StoreRunPoint(std::int64_t position, double temp, std::chrono::system_clock::time_point when) {
    if (rows_.size() >= kMaxDataPoints) return TCStatus::Fail(TooManyPointsText(), DialogType::Information);
    if (position < std::numeric_limits<std::int32_t>::min() || position > std::numeric_limits<std::int32_t>::max()) return TCStatus::Fail(kIntegerOverflowText, DialogType::Error);
    TCDataPoint p;
    p.Checked = true;
    p.Position = static_cast<std::int32_t>(position);
    p.Temp = temp;
    p.Time = FormatLongTime(when, locale_);
    p.Date = FormatShortDate(when, locale_);
    p.DateTime = ParseDateTime(p.Date, p.Time, locale_).value_or(0.0);
    AddDataPoint(p);
    clean_ = false;
    return {};
}

void TCalibrationList::DeleteRow(std::size_t row) {
    if (row >= rows_.size()) return;
    rows_.erase(rows_.begin() + static_cast<std::ptrdiff_t>(row));
    clean_ = false;
}

void TCalibrationList::ClearAll() {
    rows_.clear();
    clean_ = false;
}

void TCalibrationList::BeginTraining() {
    rows_.clear();
    clean_ = false;
}

TCStatus TCalibrationList::EndTraining() {
    clean_ = false;
    if (rows_.empty()) return {};
    return RebuildRelativeData();
}

TCStatus TCalibrationList::RelativeBatch(std::size_t from, std::vector<TCDataPoint>& out, double* firstTemp) const {
    out.clear();
    std::optional<TCDataPoint> first;
    for (std::size_t i = from; i < rows_.size(); ++i) {
        TCStatus error;
        auto p = GetDataPoint(i, &error);
        if (!p) return error;
        if (!first) first = *p;
        const std::int64_t position = std::int64_t{p->Position} - first->Position;
        if (position > std::numeric_limits<std::int32_t>::max() || position < std::numeric_limits<std::int32_t>::min()) {
            return TCStatus::Fail(kIntegerOverflowText, DialogType::Error);
        }
        p->Position = static_cast<std::int32_t>(position);
        p->Temp -= first->Temp;
        out.push_back(std::move(*p));
    }
    if (first && firstTemp != nullptr) *firstTemp = first->Temp;
    return {};
}

TCStatus TCalibrationList::RebuildRelativeData() {
    if (clean_) return {};
    std::vector<TCDataPoint> rebuilt;
    double firstTemp = 0.0;
    TCStatus status = RelativeBatch(0, rebuilt, &firstTemp);
    if (!status.ok()) return status;
    relative_ = std::move(rebuilt);
    firstTemp_ = firstTemp;
    return {};
}

TCStatus TCalibrationList::Load(const std::optional<std::string>& path) {
    if (path) return LoadRows(ReadForList(*path));
    return Rebase();
}

TCStatus TCalibrationList::LoadRows(const TcdReadResult& read) {
    // Only a file read to its end replaces the list: a half-read one would
    // lose the night's points for a file that was never whole.
    if (!read.ok()) return Unchanged(read);
    rows_.clear();
    std::size_t firstAdded = 0;
    Append(read, firstAdded);
    return Rebase();
}

TCStatus TCalibrationList::Unchanged(const TcdReadResult& read) {
    return TCStatus::Fail(read.error + ". The calibration list was not changed.", DialogType::Error);
}

TCStatus TCalibrationList::Rebase() {
    clean_ = false;
    TCStatus rebuilt = RebuildRelativeData();
    if (rebuilt.ok()) clean_ = true;
    return rebuilt;
}

TCStatus TCalibrationList::Merge(const std::optional<std::string>& path) {
    if (!path) return MergeRows({});
    return MergeRows(ReadForList(*path));
}

TCStatus TCalibrationList::MergeRows(const TcdReadResult& read) {
    // The rows already listed must have their relative data before a new
    // batch is appended behind them.
    if (!read.ok()) return Unchanged(read);
    TCStatus before = RebuildRelativeData();
    if (!before.ok()) return before;
    std::size_t firstAdded = 0;
    Append(read, firstAdded);
    std::vector<TCDataPoint> batch;
    TCStatus status = RelativeBatch(firstAdded, batch, nullptr);
    if (!status.ok()) {
        clean_ = false;
        return status;
    }
    relative_.insert(relative_.end(), batch.begin(), batch.end());
    clean_ = true;
    return {};
}

CoefficientResult TCalibrationList::CalcCoefficients() {
    CoefficientResult result;
    std::vector<std::size_t> checked;
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        if (rows_[i].checked) checked.push_back(i);
    }
    if (checked.size() < 2) {
        result.status = TCStatus::Fail(kTooFewCheckedText, DialogType::Information);
        return result;
    }
    bool unique = false;
    std::optional<TCDataPoint> previous;
    for (std::size_t i : checked) {
        auto p = GetDataPoint(i, &result.status);
        if (!p) return result;
        if (previous && previous->Position != p->Position && previous->Temp != p->Temp) unique = true;
        previous = std::move(p);
    }
    if (!unique) {
        result.status = TCStatus::Fail(kTooFewUniqueText, DialogType::Information);
        return result;
    }
    result.status = RebuildRelativeData();
    if (!result.status.ok()) return result;

    std::vector<double> x;
    std::vector<double> y;
    for (std::size_t i : checked) {
        if (i >= relative_.size()) break;
        x.push_back(relative_[i].Temp);
        y.push_back(static_cast<double>(relative_[i].Position));
    }
    result.fit = LinearFit(x, y);
    if (!result.fit.ok) result.status = TCStatus::Fail(kMathErrorText, DialogType::Error);
    result.show = true;
    slope_ = result.fit.slope;
    result.slopeText = FormatFixed(result.fit.slope, 5, 3, locale_);
    result.r2Text = FormatFixed(result.fit.r2, 4, 2, locale_);
    result.leds = FitMeterLeds(result.fit.r2);
    return result;
}

TCStatus TCalibrationList::CheckSavable() const {
    if (rows_.empty()) return TCStatus::Fail(kNothingToSaveText, DialogType::Information);
    if (!rows_.front().checked) return TCStatus::Fail(kFirstMustBeCheckedText, DialogType::Error);
    return {};
}

std::string TCalibrationList::SaveComment(std::string_view calValueText, std::string_view dcLabelText) {
    return std::string(kOffsetCommentPrefix) + std::string(TrimText(calValueText)) + std::string(TrimText(dcLabelText));
}

}  // namespace kv
