// The plan of the texture sample folder in every mode, a line per name and warning, against its
// golden file, and beside what the runs over the same files write. MORVALE_UPDATE_GOLDEN=1
// rewrites the golden file.

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <regex>

#include "output_planner_support.h"
#include "support/temp_dir.h"
#include "texture_sample_folder.h"

namespace morvale {
namespace {

namespace fs = std::filesystem;

TEST(OutputPlannerGolden, TheSampleFolderInEveryModeAsPlannedAndAsRun) {
    test::TempDir dir;
    test::writePlainSampleFolder(dir.path());
    std::string text;
    for (const auto& run : test::sampleRuns(dir.path())) {
        SCOPED_TRACE(run.title);
        const fs::path out = dir / run.output;
        const auto plan = test::planFiles(run.preset, run.files, out, run.preset.defaultNamingPattern(), true);
        text += "== " + run.title + "\n" + test::planText(plan);

        const auto result = test::runTextureJob(run.preset, run.files, out, run.preset.defaultNamingPattern(), 8);
        for (std::size_t i = 0; i < plan.size(); ++i) {
            const auto& outcome = result.items[i];
            if (outcome.status == ProcessingStatus::completed) {
                EXPECT_EQ(outcome.outputs, plan[i].projectedFileNames) << outcome.source;
            } else {
                EXPECT_FALSE(plan[i].warnings.empty()) << outcome.source << ": " << outcome.message;
            }
        }
    }
    // The seam ratios are the checker's own figures, not the plan's.
    text = std::regex_replace(text, std::regex(R"(\(([0-9.]+)x)"), "(<ratio>x");

    const fs::path golden = fs::path(MORVALE_SOURCE_DIR) / "tests/batch_presets/golden/texture_sample_plan.txt";
    if (std::getenv("MORVALE_UPDATE_GOLDEN") != nullptr) {
        fs::create_directories(golden.parent_path());
        std::ofstream(golden) << text;
    }
    EXPECT_EQ(text, test::readFile(golden));
}

}  // namespace
}  // namespace morvale
