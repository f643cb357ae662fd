#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

// JSON text for values whose strings may hold any bytes (Linux file names are not always UTF-8).
// A byte that is not part of well-formed UTF-8 is written as the escape "\udcXX" of a lone low
// surrogate (U+DC80…U+DCFF, as Python's "surrogateescape" does), which no UTF-8 text can produce,
// so such strings come back byte for byte and never meet another string. Valid strings are written
// exactly as nlohmann::json::dump(2) writes them.
namespace morvale::losslessJSON {

// Pretty-printed with two spaces, keys in the object's order, no trailing newline.
std::string dump(const nlohmann::json& value);

// Any document nlohmann::json reads, read the same way, plus lone "\udcXX" escapes turned back
// into their bytes (other lone surrogates become U+FFFD). None for text that is not one JSON
// value or nests deeper than 512 levels.
std::optional<nlohmann::json> parse(std::string_view text);

}  // namespace morvale::losslessJSON
