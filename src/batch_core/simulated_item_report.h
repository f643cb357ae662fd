#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "batch_core/uuid.h"

namespace morvale {

// One item's dry-run projection: the files a run would write for it, where, and the warnings. Only
// the record exists yet; nothing makes one (there is no dry-run planner in this build).
struct SimulatedItemReport {
    Uuid id;
    std::filesystem::path sourceURL;
    std::vector<std::string> projectedFileNames;
    std::filesystem::path projectedDirectory;
    std::vector<std::string> warnings;

    friend bool operator==(const SimulatedItemReport&, const SimulatedItemReport&) = default;
};

}  // namespace morvale
