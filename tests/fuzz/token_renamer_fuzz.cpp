// libFuzzer target: the token renamer, with the pattern, the item's file name and context variables
// all taken from the input (fields split at NUL bytes: pattern, file name, then key and value pairs).
//
// Oracle: the result never holds a character a file name must not carry here (: / \ ? % * | " < > #
// or a control character), and resolving is a pure function of its inputs.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "batch_core/batch_item.h"
#include "batch_core/token_renamer.h"
#include "batch_core/uuid.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> fields;
    std::size_t start = 0;
    while (start <= input.size() && fields.size() < 16) {
        const std::size_t end = std::min(input.find('\0', start), input.size());
        fields.emplace_back(input.substr(start, end - start));
        start = end + 1;
    }
    const std::string pattern = fields[0];
    morvale::BatchItem item(morvale::Uuid{}, std::filesystem::path("/in") / (fields.size() > 1 ? fields[1] : "x.png"));
    std::map<std::string, std::string> variables;
    for (std::size_t i = 2; i + 1 < fields.size(); i += 2) variables[fields[i]] = fields[i + 1];
    item.metadata = variables;  // metadata tokens too; context variables win

    const morvale::TokenRenamer renamer;
    const auto now = std::chrono::system_clock::time_point(std::chrono::seconds(1700000000));
    const std::int64_t index = static_cast<std::int64_t>(size % 1000) - 3;
    const std::string name = renamer.resolve(pattern, item, index, 999, variables, now);
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F || std::string_view(":/\\?%*|\"<>#").find(c) != std::string_view::npos) std::abort();
    }
    if (renamer.resolve(pattern, item, index, 999, variables, now) != name) std::abort();
    return 0;
}
