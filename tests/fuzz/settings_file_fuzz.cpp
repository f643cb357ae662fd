// libFuzzer target: the settings file reader, which takes any bytes.
//
// Whatever the text, reading never crashes; what it reads is written and read back as the same
// value, byte for byte in every string.
#include "batch_core/lossless_json.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto value = morvale::losslessJSON::parse(text);
    if (!value) return 0;
    const auto again = morvale::losslessJSON::parse(morvale::losslessJSON::dump(*value));
    if (!again || *again != *value) std::abort();
    return 0;
}
