// libFuzzer target: the preset bundle reader, which takes any text a user imports.
//
// Oracle: reading either throws DecodeError or gives a bundle that encodes and decodes back to the
// same record, and whose encoding is stable from then on.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "batch_core/preset_store.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using morvale::PresetStore;
    const std::string text(reinterpret_cast<const char*>(data), size);
    morvale::ExportablePresetBundle bundle;
    try {
        bundle = PresetStore::decode(text);
    } catch (const PresetStore::DecodeError&) {
        return 0;
    }
    const std::string encoded = PresetStore::encode(bundle);
    morvale::ExportablePresetBundle again;
    try {
        again = PresetStore::decode(encoded);
    } catch (const PresetStore::DecodeError&) {
        std::abort();
    }
    if (!(again == bundle)) std::abort();
    if (PresetStore::encode(again) != encoded) std::abort();
    return 0;
}
