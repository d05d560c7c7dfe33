#include "alpaca_request.h"

#include <charconv>
#include <limits>

namespace kv::alpaca {

namespace {

bool SameIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

template <class T>
std::optional<T> Whole(std::string_view text) {
    const bool plus = !text.empty() && text.front() == '+';
    if (plus) text.remove_prefix(1);
    // from_chars takes no '+' but would take a '-' after the one removed above.
    if (text.empty() || text.front() == '+' || (plus && text.front() == '-')) return std::nullopt;
    T value{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

}  // namespace

std::optional<std::string> FindParam(const Params& params, std::string_view name) {
    for (const auto& [key, value] : params) {
        if (SameIgnoringCase(key, name)) return value;
    }
    return std::nullopt;
}

std::optional<std::string> FindFormParam(const Params& params, std::string_view name) {
    for (const auto& [key, value] : params) {
        if (key == name) return value;
    }
    return std::nullopt;
}

std::optional<Miscapitalised> FindMiscapitalisedKey(const Params& params) {
    static constexpr std::string_view kFormKeys[] = {"Action",   "ClientID", "ClientTransactionID", "Command", "Connected",
                                                     "Parameters", "Position", "Raw",                 "TempComp"};
    for (const auto& [key, value] : params) {
        for (const std::string_view known : kFormKeys) {
            if (key != known && SameIgnoringCase(key, known)) return Miscapitalised{std::string(known), key};
        }
    }
    return std::nullopt;
}

std::optional<std::int32_t> ParseInt(std::string_view text) { return Whole<std::int32_t>(text); }

std::optional<bool> ParseBool(std::string_view text) {
    if (SameIgnoringCase(text, "true")) return true;
    if (SameIgnoringCase(text, "false")) return false;
    return std::nullopt;
}

std::uint32_t ParseClientNumber(const std::optional<std::string>& text) {
    if (!text || (!text->empty() && text->front() == '-')) return 0;
    return Whole<std::uint32_t>(*text).value_or(0);
}

std::optional<std::uint32_t> ParseDeviceNumber(std::string_view text) {
    if (text.empty() || text.front() == '+') return std::nullopt;
    return Whole<std::uint32_t>(text);
}

}  // namespace kv::alpaca
