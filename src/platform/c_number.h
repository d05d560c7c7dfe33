// Numbers in the files the program writes and reads: always with a decimal
// point, whatever LC_NUMERIC says. The desktop runs under the user's locale
// (Qt sets it at start-up), where printf and strtod would write and expect a
// decimal comma, and a comma inside a comma-separated record adds a field.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kv {

// `v` with `decimals` digits after the point ("-2.50"); empty when not finite.
std::string FormatFixedC(double v, int decimals);
// The shortest text that reads back as the same double ("0.1", "1e+300").
std::string FormatShortestC(double v);
// A whole text as a finite number: optional sign, digits, point, exponent.
// No blanks, no comma, no "nan" or "inf".
std::optional<double> ParseDoubleC(std::string_view text);

}  // namespace kv
