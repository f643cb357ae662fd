#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "batch_core/uuid.h"

namespace morvale {

// One item's dry-run projection, made by the output planner.
struct SimulatedItemReport {
    Uuid id;
    std::filesystem::path sourceURL;
    std::vector<std::string> projectedFileNames;
    std::filesystem::path projectedDirectory;
    std::vector<std::string> warnings;

    friend bool operator==(const SimulatedItemReport&, const SimulatedItemReport&) = default;
};

}  // namespace morvale
