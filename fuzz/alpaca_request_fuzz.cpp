// Arbitrary decoded request text as the Alpaca server reads it: parameters
// "name=value" a line, then the values read as the protocol's integers,
// booleans and client numbers. Nothing may crash, and what reads must be what
// the text says: an integer prints back as its text (less a '+' and leading
// zeros), a boolean is "true" or "false" in some case.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "alpaca_request.h"

namespace {

void Require(bool ok, const char* what, std::string_view detail) {
    if (ok) return;
    std::fprintf(stderr, "invariant broken: %s [%.*s]\n", what, static_cast<int>(detail.size()), detail.data());
    std::abort();
}

std::string Lower(std::string_view s) {
    std::string out;
    for (const char c : s) out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    kv::alpaca::Params params;
    for (std::size_t start = 0; start <= text.size();) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        const std::string_view line = text.substr(start, end - start);
        const std::size_t eq = line.find('=');
        params.emplace_back(std::string(line.substr(0, eq)), eq == std::string_view::npos ? "" : std::string(line.substr(eq + 1)));
        start = end + 1;
    }
    for (const auto& [name, value] : params) {
        const auto found = kv::alpaca::FindParam(params, name);
        Require(found.has_value(), "a parameter is found by its own name", name);
        Require(kv::alpaca::FindParam(params, Lower(name)).has_value(), "names are found in any case", name);
        if (const auto n = kv::alpaca::ParseInt(value)) {
            std::string_view digits = value;
            if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
            const long long back = std::strtoll(std::string(digits).c_str(), nullptr, 10);
            Require(back == *n, "an integer reads as its text", value);
        }
        if (const auto b = kv::alpaca::ParseBool(value)) Require(Lower(value) == (*b ? "true" : "false"), "a boolean is its word", value);
        const std::uint32_t id = kv::alpaca::ParseClientNumber(value);
        Require(id == 0 || (!value.empty() && value.front() != '-'), "a negative id counts as none", value);
        if (const auto d = kv::alpaca::ParseDeviceNumber(value)) Require(value.front() != '+' && value.front() != '-', "a device number is plain digits", value);
    }
    return 0;
}
