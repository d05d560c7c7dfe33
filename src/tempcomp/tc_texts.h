// Texts of temperature compensation: read-outs, offsets, countdowns, numbers
// and dates as the user's system writes them, and every fixed message.
//
// Numbers and dates follow a TCLocale handed in by the caller, never the
// process locale, so the engine gives the same answer whatever LC_NUMERIC the
// desktop runs under and two locales can be tested side by side.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace kv {

// How the user's system writes numbers, dates and times. The formats use the
// strftime conversions %d %e %m %y %Y %H %I %M %S %p and the shorthands %D %F
// %R %T %r; anything else is literal text.
struct TCLocale {
    std::string decimalSeparator = ".";
    std::string shortDateFormat = "%m/%d/%Y";
    std::string longTimeFormat = "%H:%M:%S";

    // The current process's LC_NUMERIC and LC_TIME (read, never changed); a
    // format using conversions this module cannot read back keeps the default.
    static TCLocale FromProcess();
};

// ---- fixed texts ----
inline constexpr const char* kDegreeSign = "\xC2\xB0";  // U+00B0
inline constexpr const char* kNoTemperatureText = "-------";
inline constexpr const char* kNoOffsetText = "???";
inline constexpr const char* kStepsPerDegreeCaption = "Steps/\xC2\xB0"
                                                      "C";
inline constexpr const char* kDegreeCaption = " \xC2\xB0"
                                              "C";
inline constexpr const char* kTempUnavailableText = "Temperature functions are unavailable!";
inline constexpr const char* kAppTitle = "Kessivane";
inline constexpr const char* kOffsetCommentPrefix = "Temp. Offset = ";

// The hub's offset register holds offset + kCalRegisterZero.
inline constexpr int kCalRegisterZero = 235;
inline constexpr int kCalRegisterMin = 220;
inline constexpr int kCalRegisterMax = 250;

// ---- numbers ----

// Characters 0..32 and blanks go, as the user's number fields are read.
std::string_view TrimText(std::string_view text);

// "%<width>.<precision>f" with the locale's decimal separator.
std::string FormatFixed(double value, int width, int precision, const TCLocale& locale);
// The shortest form a list column shows: up to 15 significant digits, no
// trailing zeros ("12.5", "20").
std::string FormatShortest(double value, const TCLocale& locale);
// A decimal number in the locale's form after trimming; an optional sign and
// exponent are allowed, infinities and NaN are not.
std::optional<double> ParseLocaleFloat(std::string_view text, const TCLocale& locale);
// A 32-bit decimal integer after trimming, optional sign.
std::optional<std::int32_t> ParseInteger(std::string_view text);
// The conversion errors shown to the user.
std::string NotAFloatText(std::string_view text);
std::string NotAnIntegerText(std::string_view text);

// Nearest integer, halves to the even neighbour; clamped to the 32-bit range.
std::int32_t RoundHalfEven(double value);

// ---- temperatures ----

// "%5.1f " + degree sign + unit ('C' or 'F').
std::string FormatTemperature(double value, char unit, const TCLocale& locale);
inline double CelsiusToFahrenheit(double c) { return 1.8 * c + 32.0; }
// The number in front of the degree sign of a temperature text; nullopt for
// "-------" and anything else that is not a temperature.
std::optional<double> ParseTemperatureText(std::string_view text, const TCLocale& locale);

// One reading as the read-out shows it: all three "-------" for a reading at
// or below -99.0 (no hardware), else the reading and the average in Celsius
// and the average in Fahrenheit.
struct TemperatureTexts {
    std::string temp;
    std::string avg;
    std::string avgF;
};
TemperatureTexts ReadingTexts(double reading, double average, const TCLocale& locale);

// The offset as three characters: " +5", "+12", "  0", " -5", "-12";
// anything outside -15..15 shows "  0".
std::string FormatOffset(int offset);
// The register value an offset button asks for, from the shown offset text;
// nullopt when nothing may be sent ("???", not a number, or outside 220..250).
std::optional<int> OffsetButtonRegister(std::string_view shownOffset, bool up);
// "Kessivane" or "Kessivane " + average text while compensation runs with the hardware present.
std::string AppTitle(bool autoCompensating, bool tcAvail, std::string_view avgText);

// ---- times ----

// "%2.2d:%2.2d" of seconds div 60 and mod 60: 30 -> "00:30", 1800 -> "30:00".
std::string FormatCountdown(int seconds);

std::string FormatTm(const std::tm& t, std::string_view format);
std::string FormatLongTime(std::chrono::system_clock::time_point t, const TCLocale& locale);
std::string FormatShortDate(std::chrono::system_clock::time_point t, const TCLocale& locale);

// Reads `text` (trimmed) against `format`: fills the date or time fields the
// format names and leaves the others alone; false when it does not match or a
// field is out of range.
bool ParseWithFormat(std::string_view text, std::string_view format, std::tm& out);
// Date and time texts read with the locale's formats, as days since
// 1899-12-30 with the time as the fraction (the list's DateTime).
std::optional<double> ParseDateTime(std::string_view date, std::string_view time, const TCLocale& locale);

}  // namespace kv
