#include "base/memory_budget.h"
#include "batch_presets/item_memory.h"
#include "batch_presets/listing_processor.h"
#include "batch_presets/varnholt_preset.h"

namespace morvale {

std::vector<std::filesystem::path> VarnholtPreset::process(const BatchItem& item,
                                                           const ProcessingContext& context) const {
    // Large items wait for each other here rather than together take more than the machine has.
    const MemoryBudget::Reservation memory =
        MemoryBudget::process().reserve(ItemMemory::listing(*this, item.sourceURL), context.stopToken);
    return ListingProcessor::process(*this, item, context);
}

}  // namespace morvale
