#include "tempcomp/tc_texts.h"

#include <langinfo.h>

#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace kv {

namespace {

// Expands the shorthand conversions so formatting and reading see only the
// basic ones.
std::string ExpandFormat(std::string_view format) {
    std::string out;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%' || i + 1 >= format.size()) {
            out += format[i];
            continue;
        }
        char c = format[++i];
        switch (c) {
            case 'D': out += "%m/%d/%y"; break;
            case 'F': out += "%Y-%m-%d"; break;
            case 'R': out += "%H:%M"; break;
            case 'T': out += "%H:%M:%S"; break;
            case 'r': out += "%I:%M:%S %p"; break;
            default:
                out += '%';
                out += c;
        }
    }
    return out;
}

bool Readable(std::string_view format) {
    const std::string expanded = ExpandFormat(format);
    for (std::size_t i = 0; i < expanded.size(); ++i) {
        if (expanded[i] != '%') continue;
        if (i + 1 >= expanded.size()) return false;
        if (std::strchr("demyYHIMSp%", expanded[++i]) == nullptr) return false;
    }
    return !expanded.empty();
}

std::string Two(int v) {
    char b[16];
    std::snprintf(b, sizeof b, "%02d", v);
    return b;
}

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return (m == 2 && IsLeap(y)) ? 29 : days[m - 1];
}

// Days from 1970-01-01 of a proleptic Gregorian date.
std::int64_t DaysFromCivil(std::int64_t y, int m, int d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

std::tm LocalTm(std::chrono::system_clock::time_point t) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(t);
    std::tm local{};
    localtime_r(&seconds, &local);
    return local;
}

}  // namespace

TCLocale TCLocale::FromProcess() {
    TCLocale locale;
    if (const char* radix = ::nl_langinfo(RADIXCHAR); radix != nullptr && *radix != '\0') {
        locale.decimalSeparator = radix;
    }
    if (const char* d = ::nl_langinfo(D_FMT); d != nullptr && Readable(d)) locale.shortDateFormat = d;
    if (const char* t = ::nl_langinfo(T_FMT); t != nullptr && Readable(t)) locale.longTimeFormat = t;
    return locale;
}

std::string_view TrimText(std::string_view text) {
    auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return text;
}

std::string FormatFixed(double value, int width, int precision, const TCLocale& locale) {
    if (value == 0.0) value = 0.0;  // a fit of flat data gives -0, which is shown as 0
    char buffer[400];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, precision);
    std::string digits = ec == std::errc{} ? std::string(buffer, end) : std::string("0");
    if (const auto dot = digits.find('.'); dot != std::string::npos) {
        digits.replace(dot, 1, locale.decimalSeparator);
    }
    // The width counts characters, so a multi-byte separator counts once.
    std::size_t shown = digits.size() - (locale.decimalSeparator.empty() ? 0 : locale.decimalSeparator.size() - 1);
    if (static_cast<int>(shown) < width) digits.insert(0, static_cast<std::size_t>(width) - shown, ' ');
    return digits;
}

std::string FormatShortest(double value, const TCLocale& locale) {
    char buffer[64];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 15);
    std::string text = ec == std::errc{} ? std::string(buffer, end) : std::string("0");
    if (const auto dot = text.find('.'); dot != std::string::npos) text.replace(dot, 1, locale.decimalSeparator);
    return text;
}

std::optional<double> ParseLocaleFloat(std::string_view text, const TCLocale& locale) {
    std::string s(TrimText(text));
    if (s.empty()) return std::nullopt;
    if (locale.decimalSeparator != ".") {
        if (s.find('.') != std::string::npos) return std::nullopt;
        if (!locale.decimalSeparator.empty()) {
            if (const auto sep = s.find(locale.decimalSeparator); sep != std::string::npos) {
                s.replace(sep, locale.decimalSeparator.size(), ".");
            }
        }
    }
    std::size_t start = (s[0] == '+' || s[0] == '-') ? 1 : 0;
    // from_chars would also take "inf", "nan" and hexadecimal forms.
    if (start >= s.size() || !(std::isdigit(static_cast<unsigned char>(s[start])) || s[start] == '.')) {
        return std::nullopt;
    }
    double value = 0;
    const char* first = s.data() + (s[0] == '+' ? 1 : 0);
    auto [ptr, ec] = std::from_chars(first, s.data() + s.size(), value, std::chars_format::general);
    if (ec != std::errc{} || ptr != s.data() + s.size() || !std::isfinite(value)) return std::nullopt;
    return value;
}

std::optional<std::int32_t> ParseInteger(std::string_view text) {
    text = TrimText(text);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty() || text.front() == '+') return std::nullopt;
    std::int32_t value = 0;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{} || ptr != text.data() + text.size()) return std::nullopt;
    return value;
}

std::string NotAFloatText(std::string_view text) {
    return "'" + std::string(text) + "' is not a valid floating point value";
}

std::string NotAnIntegerText(std::string_view text) { return "'" + std::string(text) + "' is not a valid integer value"; }

std::int32_t RoundHalfEven(double value) {
    if (std::isnan(value)) return 0;
    if (value >= static_cast<double>(INT32_MAX)) return INT32_MAX;
    if (value <= static_cast<double>(INT32_MIN)) return INT32_MIN;
    const double lower = std::floor(value);
    const double diff = value - lower;
    double result = lower;
    if (diff > 0.5 || (diff == 0.5 && std::fmod(lower, 2.0) != 0.0)) result = lower + 1.0;
    return static_cast<std::int32_t>(result);
}

std::string FormatTemperature(double value, char unit, const TCLocale& locale) {
    return FormatFixed(value, 5, 1, locale) + " " + kDegreeSign + unit;
}

std::optional<double> ParseTemperatureText(std::string_view text, const TCLocale& locale) {
    const auto degree = text.find(kDegreeSign);
    if (degree == std::string_view::npos) return std::nullopt;
    return ParseLocaleFloat(text.substr(0, degree), locale);
}

TemperatureTexts ReadingTexts(double reading, double average, const TCLocale& locale) {
    if (reading <= -99.0) return {kNoTemperatureText, kNoTemperatureText, kNoTemperatureText};
    return {FormatTemperature(reading, 'C', locale), FormatTemperature(average, 'C', locale),
            FormatTemperature(CelsiusToFahrenheit(average), 'F', locale)};
}

std::string FormatOffset(int offset) {
    if (offset >= 1 && offset <= 9) return " +" + std::to_string(offset);
    if (offset >= 10 && offset <= 15) return "+" + std::to_string(offset);
    if (offset <= -1 && offset >= -9) return " -" + std::to_string(-offset);
    if (offset <= -10 && offset >= -15) return "-" + std::to_string(-offset);
    return "  0";
}

std::optional<int> OffsetButtonRegister(std::string_view shownOffset, bool up) {
    if (shownOffset == kNoOffsetText) return std::nullopt;
    std::string_view trimmed = TrimText(shownOffset);
    auto offset = trimmed.empty() ? std::optional<std::int32_t>(0) : ParseInteger(trimmed);
    if (!offset || *offset < -1000 || *offset > 1000) return std::nullopt;
    const int reg = *offset + kCalRegisterZero + (up ? 1 : -1);
    if (reg < kCalRegisterMin || reg > kCalRegisterMax) return std::nullopt;
    return reg;
}

std::string AppTitle(bool autoCompensating, bool tcAvail, std::string_view avgText) {
    if (autoCompensating && tcAvail) return std::string(kAppTitle) + " " + std::string(avgText);
    return kAppTitle;
}

std::string FormatCountdown(int seconds) {
    char b[32];
    std::snprintf(b, sizeof b, "%2.2d:%2.2d", seconds / 60, seconds % 60);
    return b;
}

std::string FormatTm(const std::tm& t, std::string_view format) {
    const std::string f = ExpandFormat(format);
    std::string out;
    for (std::size_t i = 0; i < f.size(); ++i) {
        if (f[i] != '%' || i + 1 >= f.size()) {
            out += f[i];
            continue;
        }
        switch (f[++i]) {
            case 'd': out += Two(t.tm_mday); break;
            case 'e': out += (t.tm_mday < 10 ? " " : "") + std::to_string(t.tm_mday); break;
            case 'm': out += Two(t.tm_mon + 1); break;
            case 'y': out += Two((t.tm_year + 1900) % 100); break;
            case 'Y': out += std::to_string(t.tm_year + 1900); break;
            case 'H': out += Two(t.tm_hour); break;
            case 'I': out += Two(t.tm_hour % 12 == 0 ? 12 : t.tm_hour % 12); break;
            case 'M': out += Two(t.tm_min); break;
            case 'S': out += Two(t.tm_sec); break;
            case 'p': out += t.tm_hour < 12 ? "AM" : "PM"; break;
            case '%': out += '%'; break;
            default:
                out += '%';
                out += f[i];
        }
    }
    return out;
}

std::string FormatLongTime(std::chrono::system_clock::time_point t, const TCLocale& locale) {
    return FormatTm(LocalTm(t), locale.longTimeFormat);
}

std::string FormatShortDate(std::chrono::system_clock::time_point t, const TCLocale& locale) {
    return FormatTm(LocalTm(t), locale.shortDateFormat);
}

bool ParseWithFormat(std::string_view text, std::string_view format, std::tm& out) {
    text = TrimText(text);
    const std::string f = ExpandFormat(format);
    std::size_t p = 0;
    int hour12 = -1;
    int pm = -1;
    auto number = [&](std::size_t maxDigits, int& value) {
        while (p < text.size() && text[p] == ' ') ++p;
        std::size_t start = p;
        value = 0;
        while (p < text.size() && p - start < maxDigits && std::isdigit(static_cast<unsigned char>(text[p]))) {
            value = value * 10 + (text[p++] - '0');
        }
        return p > start;
    };
    for (std::size_t i = 0; i < f.size(); ++i) {
        if (f[i] == ' ') {
            while (p < text.size() && text[p] == ' ') ++p;
            continue;
        }
        if (f[i] != '%' || i + 1 >= f.size() || f[i + 1] == '%') {
            if (f[i] == '%') ++i;
            if (p >= text.size() || text[p] != f[i]) return false;
            ++p;
            continue;
        }
        int v = 0;
        switch (f[++i]) {
            case 'd':
            case 'e':
                if (!number(2, v) || v < 1 || v > 31) return false;
                out.tm_mday = v;
                break;
            case 'm':
                if (!number(2, v) || v < 1 || v > 12) return false;
                out.tm_mon = v - 1;
                break;
            case 'y':
                if (!number(2, v)) return false;
                out.tm_year = (v < 69 ? 2000 + v : 1900 + v) - 1900;
                break;
            case 'Y':
                if (!number(4, v) || v < 1) return false;
                out.tm_year = v - 1900;
                break;
            case 'H':
                if (!number(2, v) || v > 23) return false;
                out.tm_hour = v;
                break;
            case 'I':
                if (!number(2, v) || v < 1 || v > 12) return false;
                hour12 = v;
                break;
            case 'M':
                if (!number(2, v) || v > 59) return false;
                out.tm_min = v;
                break;
            case 'S':
                if (!number(2, v) || v > 59) return false;
                out.tm_sec = v;
                break;
            case 'p': {
                auto rest = text.substr(p);
                auto is = [&](const char* word) {
                    return rest.size() >= 2 && std::toupper(static_cast<unsigned char>(rest[0])) == word[0] &&
                           std::toupper(static_cast<unsigned char>(rest[1])) == word[1];
                };
                if (is("AM")) {
                    pm = 0;
                } else if (is("PM")) {
                    pm = 1;
                } else {
                    return false;
                }
                p += 2;
                break;
            }
            default:
                return false;
        }
    }
    if (p != text.size()) return false;
    if (hour12 >= 0) out.tm_hour = hour12 % 12 + (pm == 1 ? 12 : 0);
    return true;
}

std::optional<double> ParseDateTime(std::string_view date, std::string_view time, const TCLocale& locale) {
    std::tm d{};
    d.tm_mday = 1;
    d.tm_year = 100;
    if (!ParseWithFormat(date, locale.shortDateFormat, d)) return std::nullopt;
    const int year = d.tm_year + 1900;
    if (d.tm_mday > DaysInMonth(year, d.tm_mon + 1)) return std::nullopt;
    std::tm t{};
    if (!ParseWithFormat(time, locale.longTimeFormat, t)) return std::nullopt;
    const std::int64_t days = DaysFromCivil(year, d.tm_mon + 1, d.tm_mday) - DaysFromCivil(1899, 12, 30);
    return static_cast<double>(days) + (t.tm_hour * 3600 + t.tm_min * 60 + t.tm_sec) / 86400.0;
}

}  // namespace kv
