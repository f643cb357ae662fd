#pragma once

#include <vector>

#include "batch_core/batch_configuration.h"
#include "batch_core/batch_item.h"
#include "batch_core/batch_preset.h"
#include "batch_core/simulated_item_report.h"

namespace morvale {

// A dry run: which files each queued item would write, under which names, with what warnings,
// and which names two items would both write or would land on a file the run reads or on one
// that exists. It repeats the presets' own naming (through the helpers the runs use) and their
// choices of who leads a texture set, a sprite sequence or a bracket; it never processes or
// writes anything. Reads folder listings (each folder once per plan), image headers (the tiling
// check also decodes) and file existence; keeps no state; may run on any thread.
class OutputPlanner {
public:
    OutputPlanner() = delete;

    // One report per item, in item order; every report's folder is the configuration's output
    // folder. An empty naming pattern plans with the preset's default, as the run does. Never
    // throws; what cannot be read becomes a warning. With checkExistingFiles, a name that no
    // other item writes and that exists on disk (a dangling link too) is warned about.
    static std::vector<SimulatedItemReport> plan(const BatchPreset& preset, const std::vector<BatchItem>& items,
                                                 const BatchConfiguration& configuration, bool checkExistingFiles);

    // True when the conflict pass found a name that two items would write, that one item would
    // write twice, or that would land on a file the run reads. Existing-file warnings and the
    // items' own warnings do not count, whatever file names they quote.
    static bool hasCollisions(const std::vector<SimulatedItemReport>& reports);
};

}  // namespace morvale
