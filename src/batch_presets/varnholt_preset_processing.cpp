#include "batch_presets/listing_processor.h"
#include "batch_presets/varnholt_preset.h"

namespace morvale {

std::vector<std::filesystem::path> VarnholtPreset::process(const BatchItem& item,
                                                           const ProcessingContext& context) const {
    return ListingProcessor::process(*this, item, context);
}

}  // namespace morvale
