#include "batch_presets/varnholt_preset.h"

#include <stdexcept>

namespace morvale {

// Listing-photo processing is not part of this build yet; the item fails with a clear message.
std::vector<std::filesystem::path> VarnholtPreset::process(const BatchItem& /*item*/,
                                                           const ProcessingContext& /*context*/) const {
    throw std::runtime_error("Listing photo processing is not available in this build.");
}

}  // namespace morvale
