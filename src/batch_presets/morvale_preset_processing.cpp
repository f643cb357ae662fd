#include "batch_presets/morvale_preset.h"
#include "batch_presets/texture_processor.h"

namespace morvale {

std::vector<std::filesystem::path> MorvalePreset::process(const BatchItem& item,
                                                          const ProcessingContext& context) const {
    return TextureProcessor::process(*this, item, context);
}

}  // namespace morvale
