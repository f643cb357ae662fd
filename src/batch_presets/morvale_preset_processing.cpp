#include "batch_presets/morvale_preset.h"

#include <stdexcept>

namespace morvale {

// Texture processing is not part of this build yet; the item fails with a clear message.
std::vector<std::filesystem::path> MorvalePreset::process(const BatchItem& /*item*/,
                                                          const ProcessingContext& /*context*/) const {
    throw std::runtime_error("Texture processing is not available in this build.");
}

}  // namespace morvale
