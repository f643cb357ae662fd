#pragma once

// Pieces of the output planner shared by its branches (not for other modules).

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "batch_core/batch_item.h"
#include "batch_core/simulated_item_report.h"
#include "batch_presets/morvale_preset.h"
#include "batch_presets/texture_output_names.h"
#include "batch_presets/texture_processor.h"
#include "batch_presets/skeldon_preset.h"
#include "batch_presets/varnholt_preset.h"
#include "image_engine/bracket_merger.h"

namespace morvale::output_plan {

// One item's projection while the plan is made: the report, and names the run may write besides
// the projected ones (the pages of a sheet that may spill), which only the conflict pass sees.
struct PlannedItem {
    SimulatedItemReport report;
    std::vector<std::string> alsoPossible;
};

// A size that could not be read, given to the pattern as {pot} and shown as "?" once resolved
// (the renamer would turn "?" itself into "_"). A private-use character that names never hold.
inline constexpr std::string_view unknownSize = "\xEE\x80\x80";

// The conflict pass's fixed texts, which hasCollisions recognises.
inline constexpr std::string_view alsoWrittenBy = " is also written by ";
inline constexpr std::string_view collisionRemedy = "; add {index} or {name} to the pattern";
inline constexpr std::string_view writtenTwice = " is written twice by this item; add {index} or {name} to the pattern";
inline constexpr std::string_view wouldOverwrite = " would overwrite ";
inline constexpr std::string_view whichRunReads = ", which this run reads";
inline constexpr std::string_view alreadyExists = " already exists and will be replaced";

// Paths in the run ledger's form, each folder resolved once and each path looked at once.
class PathForms {
public:
    const std::filesystem::path& form(const std::filesystem::path& path);

private:
    std::unordered_map<std::string, std::filesystem::path> folders_;
    std::unordered_map<std::string, std::filesystem::path> paths_;
};

// The listing branch for the items of one plan; each folder's brackets are found once.
class ListingPlanner {
public:
    ListingPlanner(const VarnholtPreset& preset, const std::vector<BatchItem>& items);
    ~ListingPlanner();
    void plan(const BatchItem& item, const TextureOutputNames::Resolve& resolve, PlannedItem& out);

private:
    const VarnholtPreset& preset_;
    const std::vector<BatchItem>& items_;
    PathForms forms_;
    std::optional<std::unordered_set<std::string>> sources_;
    std::unique_ptr<BracketMerger::FolderCache> brackets_;
    std::optional<std::string> webProblem_;
};

// The podcast branch for the item at 1-based `index`.
void planPodcast(const SkeldonPreset& preset, const BatchItem& item, std::int64_t index,
                 const TextureOutputNames::Resolve& resolve, PlannedItem& out);

// Appends the conflict warnings to every report.
void flagConflicts(std::vector<PlannedItem>& items, bool checkExisting);

// The texture branch for the items of one plan; folders are listed and grouped once.
class TexturePlanner {
public:
    TexturePlanner(const MorvalePreset& preset, const std::vector<BatchItem>& items, bool usesDefaultPattern);
    ~TexturePlanner();
    void plan(const BatchItem& item, const TextureOutputNames::Resolve& resolve, PlannedItem& out);

private:
    struct Folder;
    Folder& folderOf(const BatchItem& item);
    // The run's test of whether a file is one it queued: any item's source, in the ledger's form.
    const TextureProcessor::Queued& queued();
    // The same file, as the run's ledger compares paths.
    bool same(const std::filesystem::path& a, const std::filesystem::path& b);

    void packing(const BatchItem& item, const TextureOutputNames::Resolve& resolve, PlannedItem& out);
    void normalConversion(const BatchItem& item, const TextureOutputNames::Resolve& resolve, PlannedItem& out);
    void normalFromHeight(const BatchItem& item, const TextureOutputNames::Resolve& resolve, PlannedItem& out);
    void powerOfTwo(const BatchItem& item, const TextureOutputNames::Resolve& resolve, PlannedItem& out);
    void spriteSheet(const BatchItem& item, PlannedItem& out);
    void tiling(const BatchItem& item, PlannedItem& out);

    const MorvalePreset& preset_;
    const std::vector<BatchItem>& items_;
    bool usesDefaultPattern_;
    std::set<std::string> extensions_;
    std::unordered_map<std::string, std::unique_ptr<Folder>> folders_;
    PathForms forms_;
    std::optional<std::unordered_set<std::string>> sources_;
    TextureProcessor::Queued queued_;
};

}  // namespace morvale::output_plan
