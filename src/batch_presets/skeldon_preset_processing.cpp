#include "batch_presets/skeldon_preset.h"

#include <stdexcept>

namespace morvale {

// Podcast processing is not part of this build yet; the item fails with a clear message.
std::vector<std::filesystem::path> SkeldonPreset::process(const BatchItem& /*item*/,
                                                          const ProcessingContext& /*context*/) const {
    throw std::runtime_error("Podcast processing is not available in this build.");
}

}  // namespace morvale
