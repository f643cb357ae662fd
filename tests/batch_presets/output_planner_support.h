#pragma once

// Plans items as the output planner's tests and tools do, and prints a plan one line per name and
// warning.

#include <filesystem>
#include <string>
#include <vector>

#include "batch_core/batch_configuration.h"
#include "batch_core/batch_item.h"
#include "batch_core/simulated_item_report.h"
#include "batch_core/uuid.h"
#include "batch_presets/output_planner.h"

namespace morvale::test {

inline std::vector<BatchItem> itemsOf(const std::vector<std::filesystem::path>& files) {
    std::vector<BatchItem> items;
    items.reserve(files.size());
    for (const auto& file : files) items.emplace_back(Uuid::random(), file);
    return items;
}

inline BatchConfiguration planConfiguration(const std::filesystem::path& outputFolder, const std::string& pattern) {
    return BatchConfiguration(outputFolder, true, pattern, false, 4, false, true);
}

inline std::vector<SimulatedItemReport> planFiles(const BatchPreset& preset,
                                                  const std::vector<std::filesystem::path>& files,
                                                  const std::filesystem::path& outputFolder,
                                                  const std::string& pattern, bool checkExisting = false) {
    return OutputPlanner::plan(preset, itemsOf(files), planConfiguration(outputFolder, pattern), checkExisting);
}

// "<source file name>" then "  -> <name>" per name and "  !  <warning>" per warning.
inline std::string planText(const std::vector<SimulatedItemReport>& reports) {
    std::string text;
    for (const auto& report : reports) {
        text += report.sourceURL.filename().string() + "\n";
        for (const auto& name : report.projectedFileNames) text += "  -> " + name + "\n";
        for (const auto& warning : report.warnings) text += "  !  " + warning + "\n";
    }
    return text;
}

// One report's names and warnings in that form, without the source line.
inline std::vector<std::string> lines(const SimulatedItemReport& report) {
    std::vector<std::string> out;
    for (const auto& name : report.projectedFileNames) out.push_back("-> " + name);
    for (const auto& warning : report.warnings) out.push_back("! " + warning);
    return out;
}

}  // namespace morvale::test
