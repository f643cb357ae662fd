#include "base/memory_budget.h"
#include "batch_presets/item_memory.h"
#include "batch_presets/morvale_preset.h"
#include "batch_presets/texture_processor.h"

namespace morvale {

std::vector<std::filesystem::path> MorvalePreset::process(const BatchItem& item,
                                                          const ProcessingContext& context) const {
    // Large items wait for each other here rather than together take more than the machine has.
    const MemoryBudget::Reservation memory =
        MemoryBudget::process().reserve(ItemMemory::texture(*this, item.sourceURL), context.stopToken);
    return TextureProcessor::process(*this, item, context);
}

}  // namespace morvale
