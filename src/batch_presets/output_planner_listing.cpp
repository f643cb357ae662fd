// The listing branch of the output planner: what VarnholtPreset's run would write for one photo.

#include <exception>

#include "batch_presets/internal/output_plan.h"
#include "batch_presets/listing_processor.h"
#include "image_engine/image_loader.h"

namespace morvale::output_plan {

namespace fs = std::filesystem;

namespace {

bool readable(const fs::path& photo) {
    try {
        ImageLoader::readSize(photo);
        return true;
    } catch (const ImageLoadError&) {
        return false;
    }
}

}  // namespace

ListingPlanner::ListingPlanner(const VarnholtPreset& preset, const std::vector<BatchItem>& items)
    : preset_(preset), items_(items), brackets_(std::make_unique<BracketMerger::FolderCache>()) {
    if (preset_.exportWebPackage) {
        try {
            ListingProcessor::checkWebFields(preset_);
        } catch (const std::exception& error) {
            webProblem_ = error.what();
        }
    }
}

ListingPlanner::~ListingPlanner() = default;

void ListingPlanner::plan(const BatchItem& item, const TextureOutputNames::Resolve& resolve, PlannedItem& out) {
    auto& warnings = out.report.warnings;
    if (preset_.mergeBrackets) {
        if (!sources_) {
            sources_.emplace();
            for (const auto& queued : items_) sources_->insert(forms_.form(queued.sourceURL).string());
        }
        // A bracket is led by its first shot that the run queued, as in the run.
        const auto bracket = ListingProcessor::bracketAmong(
            item.sourceURL, preset_, *brackets_,
            [this](const fs::path& shot) { return sources_->contains(forms_.form(shot).string()); });
        if (bracket.size() >= 2) {
            if (forms_.form(bracket.front()) != forms_.form(item.sourceURL)) {
                warnings.push_back("Skipped: merged into " + bracket.front().filename().string() + "'s bracket");
                return;
            }
            warnings.push_back("Merges " + std::to_string(bracket.size()) + " exposures into one photo");
            for (std::size_t i = 1; i < bracket.size(); ++i) {
                if (!readable(bracket[i])) warnings.push_back("Could not read " + bracket[i].filename().string());
            }
        }
    }
    out.report.projectedFileNames = ListingProcessor::packageNames(preset_, resolve);
    if (!preset_.exportPrintPackage && !preset_.exportWebPackage) {
        warnings.emplace_back("Both output sets are turned off");
    }
    if (!readable(item.sourceURL)) warnings.emplace_back("Could not read the image");
    if (webProblem_) warnings.push_back(*webProblem_);
}

}  // namespace morvale::output_plan
