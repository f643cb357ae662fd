#pragma once

// Plans items as the output planner's tests and tools do, and prints a plan one line per name and
// warning.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "batch_core/batch_configuration.h"
#include "batch_core/batch_item.h"
#include "batch_core/simulated_item_report.h"
#include "batch_core/uuid.h"
#include "batch_presets/output_planner.h"
#include "texture_test_support.h"

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

// The run against its plan, item by item: a completed item wrote exactly the projected names and
// was not said to fail; a skipped item, and only it, was said to be skipped; a failed item has a
// warning; a refusal to overwrite was foreseen as a collision or an overwrite. Returns how many
// items completed.
inline bool has(const std::vector<std::string>& warnings, const std::function<bool(const std::string&)>& test) {
    return std::any_of(warnings.begin(), warnings.end(), test);
}
inline bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

inline int expectAgreement(const std::vector<SimulatedItemReport>& plan, const test::RunResult& run) {
    int completed = 0;
    for (std::size_t i = 0; i < plan.size(); ++i) {
        const auto& report = plan[i];
        const auto& outcome = run.items[i];
        SCOPED_TRACE(report.sourceURL.filename().string() + ": " + std::string(rawValue(outcome.status)) + " " +
                     outcome.message + "\n" + test::planText({report}));
        const auto& warnings = report.warnings;
        const bool skipWarned = has(warnings, [](const std::string& w) { return w.rfind("Skipped: ", 0) == 0; });
        const bool collision = has(warnings, [](const std::string& w) {
            return contains(w, " is also written by ") || contains(w, " is written twice by this item") ||
                   contains(w, ", which this run reads");
        });
        EXPECT_EQ(outcome.status == ProcessingStatus::skipped, skipWarned);
        if (outcome.status == ProcessingStatus::completed) {
            ++completed;
            EXPECT_EQ(outcome.outputs, report.projectedFileNames);
            EXPECT_FALSE(has(warnings, [](const std::string& w) { return w == "Could not read the image"; }));
            EXPECT_FALSE(has(warnings, [](const std::string& w) { return contains(w, ", which this run reads"); }));
            // A name another item also writes: one of them must have been refused.
            for (const auto& name : report.projectedFileNames) {
                bool shared = false, refused = false;
                for (std::size_t j = 0; j < plan.size(); ++j) {
                    if (j == i) continue;
                    const auto& names = plan[j].projectedFileNames;
                    if (std::find(names.begin(), names.end(), name) == names.end()) continue;
                    shared = true;
                    refused = refused || run.items[j].status != ProcessingStatus::completed;
                }
                EXPECT_TRUE(!shared || refused) << name;
            }
        } else {
            EXPECT_FALSE(warnings.empty());
        }
        if (contains(outcome.message, "Won't overwrite")) {
            EXPECT_TRUE(collision);
        }
    }
    return completed;
}

}  // namespace morvale::test
