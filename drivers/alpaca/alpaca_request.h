// The values of an Alpaca request, as the protocol defines them: parameter
// names in any case in a query, exactly as the API spells them in a form
// body, integers and booleans as text, the client's ids as
// unsigned 32-bit numbers. The HTTP library decodes the query and the form
// body; what is read from the decoded text is here, free of any network code,
// so that it is tested and fuzzed on its own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kv::alpaca {

using Params = std::vector<std::pair<std::string, std::string>>;

// The value of the parameter named `name`, compared without regard to case;
// the first one when a client sends it twice.
std::optional<std::string> FindParam(const Params& params, std::string_view name);
// The same for a PUT form, where names are compared exactly.
std::optional<std::string> FindFormParam(const Params& params, std::string_view name);

struct Miscapitalised {
    std::string expected;  // as the API spells it: "ClientID"
    std::string received;  // as the client sent it: "clientid"
};
// The first form key that is one of the API's parameter names in another
// case; an unknown key is no concern of the protocol's and is passed over.
std::optional<Miscapitalised> FindMiscapitalisedKey(const Params& params);

// A whole decimal integer ("-120", "+7", "0"); nullopt for anything else:
// blanks, a fraction, an exponent, a number beyond 32 bits.
std::optional<std::int32_t> ParseInt(std::string_view text);
// "true" or "false" in any case; nullopt for anything else ("1", "yes").
std::optional<bool> ParseBool(std::string_view text);
// ClientID and ClientTransactionID: a number from 0 to 4294967295. A value
// that is missing or no such number counts as 0, which the protocol reserves
// for "not given".
std::uint32_t ParseClientNumber(const std::optional<std::string>& text);

// The device number in the path ("0"); nullopt for anything but a plain
// non-negative number.
std::optional<std::uint32_t> ParseDeviceNumber(std::string_view text);

}  // namespace kv::alpaca
