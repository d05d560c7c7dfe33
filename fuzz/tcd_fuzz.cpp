// Arbitrary bytes as a calibration data file: nothing may crash, every row
// read must survive being written and read again, and the list built from the
// rows must keep its relative data in step with its rows under two locales.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "tempcomp/calibration_list.h"
#include "tempcomp/linear_fit.h"
#include "tempcomp/tc_texts.h"
#include "tempcomp/tcd_file.h"

namespace {

using namespace kv;

[[noreturn]] void Fail(const char* what, std::string_view detail = {}) {
    std::fprintf(stderr, "invariant broken: %s [%.*s]\n", what, static_cast<int>(detail.size()), detail.data());
    std::abort();
}

void Require(bool ok, const char* what, std::string_view detail = {}) {
    if (!ok) Fail(what, detail);
}

bool OneLine(const std::string& s) { return s.find_first_of("\r\n") == std::string::npos; }

void CheckList(const TcdReadResult& read, const TCLocale& locale) {
    TCalibrationList list(locale);
    list.LoadRows(read);
    // Only a file read to its end replaces the list; a partial read leaves it as it was (empty here).
    Require(list.Count() == (read.ok() ? read.rows.size() : 0), "a whole file is listed, a partial one changes nothing");
    if (list.Clean()) Require(list.RelativeData().size() == list.Count(), "clean relative data match the rows");

    CoefficientResult fit = list.CalcCoefficients();
    Require(fit.leds >= 0 && fit.leds <= kFitMeterLeds, "meter in range");
    if (fit.show) {
        Require(std::isfinite(fit.fit.slope) && std::isfinite(fit.fit.r2), "fit values finite");
        Require(!fit.slopeText.empty() && !fit.r2Text.empty(), "fit texts shown");
        Require(ParseLocaleFloat(fit.slopeText, locale).has_value(), "slope text reads back", fit.slopeText);
    } else {
        Require(!fit.status.ok(), "a fit not shown says why");
    }

    // Merging the same rows again appends a batch of their own.
    list.MergeRows(read);
    if (list.Clean()) Require(list.RelativeData().size() == list.Count(), "merged relative data match the rows");

    for (std::size_t i = 0; i < list.Count() && i < 8; ++i) {
        const TCRow& row = list.Rows()[i];
        if (auto t = ParseLocaleFloat(row.temp, locale)) {
            Require(std::isfinite(*t), "temperature finite", row.temp);
            Require(ParseLocaleFloat(FormatShortest(*t, locale), locale).has_value(), "shortest form reads back");
            Require(ParseTemperatureText(FormatTemperature(*t, 'C', locale), locale).has_value(),
                    "temperature text reads back");
        }
        if (auto stamp = ParseDateTime(row.date, row.time, locale)) Require(std::isfinite(*stamp), "date finite");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const TcdReadResult first = ParseTcd(text);
    for (const TCRow& row : first.rows) {
        Require(OneLine(row.position) && OneLine(row.temp) && OneLine(row.time) && OneLine(row.date),
                "fields stay on their line");
        Require(row.date.find(',') == std::string::npos, "no comma in the last column");
    }

    // Written and read again: nothing lost, and a second round changes nothing.
    const std::string written = FormatTcd(first.rows, text.substr(0, 40), "saved");
    const TcdReadResult second = ParseTcd(written);
    Require(second.ok(), "a written file reads without error", second.error);
    Require(second.rows.size() == first.rows.size(), "row count kept");
    for (std::size_t i = 0; i < first.rows.size(); ++i) {
        Require(second.rows[i].checked == first.rows[i].checked, "check mark kept");
        // A date longer than the last field may be is cut; any other comes back as it was.
        Require(first.rows[i].date.size() > kTcdMaxLastField || first.rows[i].date == second.rows[i].date,
                "date kept", first.rows[i].date);
    }
    const TcdReadResult third = ParseTcd(FormatTcd(second.rows, "c", "s"));
    Require(third.rows == second.rows, "a second round trip changes nothing");

    CheckList(first, TCLocale{});
    CheckList(first, TCLocale{",", "%d.%m.%Y", "%H:%M:%S"});

    // The lines as numbers for the offset buttons and the fit meter.
    (void)OffsetButtonRegister(text.substr(0, 8), size % 2 == 0);
    if (size >= 8) {
        double r2 = 0;
        std::memcpy(&r2, data, sizeof r2);
        Require(FitMeterLeds(r2) >= 0 && FitMeterLeds(r2) <= kFitMeterLeds, "meter clamps any value");
        (void)RoundHalfEven(r2);
    }
    return 0;
}
