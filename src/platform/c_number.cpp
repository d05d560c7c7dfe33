#include "platform/c_number.h"

#include <charconv>
#include <cmath>

namespace kv {

std::string FormatFixedC(double v, int decimals) {
    if (!std::isfinite(v)) return {};
    char text[400];
    const auto r = std::to_chars(text, text + sizeof text, v, std::chars_format::fixed, decimals);
    if (r.ec != std::errc()) return {};
    return std::string(text, r.ptr);
}

std::string FormatShortestC(double v) {
    if (!std::isfinite(v)) return {};
    char text[64];
    const auto r = std::to_chars(text, text + sizeof text, v);
    if (r.ec != std::errc()) return {};
    return std::string(text, r.ptr);
}

std::optional<double> ParseDoubleC(std::string_view text) {
    // from_chars takes no leading '+', which people and other programs write.
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty() || text.front() == '+' || (text.front() == '-' && text.size() > 1 && text[1] == '+')) return std::nullopt;
    double v = 0;
    const auto r = std::from_chars(text.data(), text.data() + text.size(), v, std::chars_format::general);
    if (r.ec != std::errc() || r.ptr != text.data() + text.size() || !std::isfinite(v)) return std::nullopt;
    return v;
}

}  // namespace kv
