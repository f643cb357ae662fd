#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cctype>
#include <set>

#include "batch_core/batch_configuration.h"
#include "batch_core/batch_item.h"
#include "batch_core/execution_report.h"
#include "batch_core/platform.h"
#include "batch_core/processing_context.h"
#include "batch_core/processing_job.h"
#include "batch_core/processing_status.h"
#include "batch_core/uuid.h"
#include "fake_preset.h"
#include "support/pinned_child.h"
#include "support/temp_dir.h"

namespace morvale {
namespace {

TEST(BatchItem, DerivesNameExtensionAndSizeWithoutFailing) {
    test::TempDir temp;
    const auto real = temp.write("Brick_Albedo.PNG", std::string(1234, 'p'));
    const auto fifo = temp / "pipe.wav";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        std::filesystem::path source;
        std::string name;
        std::string extension;
        std::int64_t size;
    };
    const std::vector<Case> cases{
        {real, "Brick_Albedo", "png", 1234},
        {"/nowhere/photo.JPG", "photo", "jpg", 0},
        {"/nowhere/README", "README", "", 0},
        {"/nowhere/archive.tar.gz", "archive.tar", "gz", 0},
        {"/nowhere/a.b.png", "a.b", "png", 0},
        {temp.path(), temp.path().filename().string(), "", 0},  // a folder has no file size
        {fifo, "pipe", "wav", 0},                              // read from the attributes, never opened
    };
    for (const auto& c : cases) {
        const BatchItem item(Uuid::random(), c.source);
        EXPECT_EQ(item.originalFileName, c.name) << c.source;
        EXPECT_EQ(item.fileExtension, c.extension) << c.source;
        EXPECT_EQ(item.fileSize, c.size) << c.source;
        EXPECT_EQ(item.status, ProcessingStatus::pending);
        EXPECT_FALSE(item.completedAt.has_value());
        EXPECT_FALSE(item.destinationURL.has_value());
    }
}

TEST(BatchItem, EqualityAndHashCoverEveryField) {
    const BatchItem original(Uuid::random(), "/nowhere/a.png");
    BatchItem copy = original;
    EXPECT_EQ(copy, original);
    EXPECT_EQ(std::hash<BatchItem>{}(copy), std::hash<BatchItem>{}(original));
    copy.progress = 0.5;
    EXPECT_NE(copy, original);
    EXPECT_NE(std::hash<BatchItem>{}(copy), std::hash<BatchItem>{}(original));
    BatchItem withMetadata = original;
    withMetadata.metadata["k"] = "v";
    EXPECT_NE(withMetadata, original);
}

TEST(BatchItem, FileSizesReadLikeTheFileBrowser) {
    const std::vector<std::pair<std::int64_t, std::string>> cases{
        {0, "Zero KB"},          {1, "1 byte"},         {999, "999 bytes"},      {1000, "1 KB"},
        {1499, "1 KB"},          {1500, "2 KB"},        {999499, "999 KB"},      {999999, "1.0 MB"},
        {1234567, "1.2 MB"},     {1250000000, "1.25 GB"}, {3000000000000, "3.00 TB"},
    };
    for (const auto& [bytes, text] : cases) EXPECT_EQ(formatByteCount(bytes), text) << bytes;
}

TEST(ProcessingStatus, RawTextsTerminalStatesAndCoding) {
    const std::vector<std::tuple<ProcessingStatus, std::string, bool>> cases{
        {ProcessingStatus::pending, "Pending", false},     {ProcessingStatus::processing, "Processing", false},
        {ProcessingStatus::completed, "Completed", true},  {ProcessingStatus::failed, "Failed", true},
        {ProcessingStatus::skipped, "Skipped", true},      {ProcessingStatus::cancelled, "Cancelled", true},
    };
    ASSERT_EQ(allProcessingStatuses.size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& [status, raw, terminal] = cases[i];
        EXPECT_EQ(allProcessingStatuses[i], status);
        EXPECT_EQ(rawValue(status), raw);
        EXPECT_EQ(isTerminal(status), terminal) << raw;
        EXPECT_EQ(processingStatusFromRawValue(raw), status);
        const nlohmann::json encoded = status;
        EXPECT_EQ(encoded, raw);
        EXPECT_EQ(encoded.get<ProcessingStatus>(), status);
    }
    for (const char* wrong : {"completed", "COMPLETED", "Completed ", ""}) {
        EXPECT_FALSE(processingStatusFromRawValue(wrong).has_value()) << wrong;
        EXPECT_THROW(nlohmann::json(wrong).get<ProcessingStatus>(), nlohmann::json::exception) << wrong;
    }
}

TEST(BatchConfiguration, ClampsRequestedConcurrencyOnlyAtCreation) {
    const auto cpus = activeProcessorCount();
    const std::vector<std::pair<std::int64_t, std::int64_t>> cases{
        {0, 1}, {-3, 1}, {1, 1}, {2 * cpus, 2 * cpus}, {1000, std::min<std::int64_t>(1000, 2 * cpus)}, {INT64_MAX, 2 * cpus}};
    for (const auto& [requested, held] : cases) {
        const BatchConfiguration configuration("/out", true, "{name}", false, requested, false, true);
        EXPECT_EQ(configuration.maxConcurrentTasks, held) << requested;
    }
    BatchConfiguration later("/out", true, "{name}", false, 1, false, true);
    later.maxConcurrentTasks = -7;
    EXPECT_EQ(later.maxConcurrentTasks, -7);

    const auto defaults = BatchConfiguration::defaultConfiguration();
    EXPECT_EQ(defaults.outputDirectory.filename(), "BatchOutput");
    EXPECT_TRUE(defaults.outputDirectory.is_absolute());
    EXPECT_EQ(defaults.namingPattern, "{name}_{index:02}");
    EXPECT_EQ(defaults.maxConcurrentTasks, cpus);
    EXPECT_TRUE(defaults.createSubfolders);
    EXPECT_FALSE(defaults.overwriteExisting);
    EXPECT_FALSE(defaults.deleteSourceAfterSuccess);
    EXPECT_TRUE(defaults.notifyOnCompletion);
    EXPECT_TRUE(defaults.customSettings.empty());
}

// A run pinned to fewer cores than the machine has (taskset, a container's quota) runs as many items
// at once as it has cores, and is clamped by them.
TEST(BatchConfiguration, ConcurrencyFollowsTheProcessorsTheProcessMayUse) {
    const auto status = test::exitStatusPinnedTo(2, [] {
        const auto active = activeProcessorCount();
        const auto defaults = BatchConfiguration::defaultConfiguration().maxConcurrentTasks;
        const auto clamped = BatchConfiguration("/out", true, "{name}", false, 64, false, true).maxConcurrentTasks;
        return static_cast<int>(active * 100 + defaults * 10 + clamped);
    });
    if (!status) GTEST_SKIP() << "fewer than two processors";
    EXPECT_EQ(*status, 2 * 100 + 2 * 10 + 4);
}

TEST(BatchConfiguration, RoundTripsThroughJsonWithOddFolderNames) {
    for (const std::string& folder : std::vector<std::string>{"/plain/out", "/with space/100% #1?", std::string("/bytes/\xff\xfe-not-utf8")}) {
        BatchConfiguration configuration(folder, false, "{show}_{ep:03}", true, 2, true, false, {{"mode", "pack"}});
        configuration.maxConcurrentTasks = 99;  // stored as is, no clamping on decode
        const auto text = configuration.toJson().dump();
        const auto decoded = nlohmann::json::parse(text).get<BatchConfiguration>();
        EXPECT_EQ(decoded, configuration) << folder;
    }
    auto json = BatchConfiguration("/out", true, "x", false, 1, false, true).toJson();
    EXPECT_EQ(json.at("outputDirectory"), "file:///out");
    for (const char* key : {"outputDirectory", "createSubfolders", "namingPattern", "overwriteExisting",
                            "maxConcurrentTasks", "deleteSourceAfterSuccess", "notifyOnCompletion", "customSettings"}) {
        auto missing = json;
        missing.erase(key);
        EXPECT_THROW(BatchConfiguration::fromJson(missing), nlohmann::json::exception) << key;
    }
    json["outputDirectory"] = "https://example.invalid/x";
    EXPECT_THROW(BatchConfiguration::fromJson(json), nlohmann::json::exception);
}

TEST(ProcessingJob, DerivedCountsAndProgress) {
    const BatchConfiguration configuration("/out", true, "x", false, 1, false, true);
    ProcessingJob empty(Uuid::random(), "p", "P", {}, configuration);
    EXPECT_EQ(empty.overallProgress(), 0.0);
    EXPECT_EQ(empty.totalItems(), 0);
    EXPECT_FALSE(empty.finishedAt.has_value());

    std::vector<BatchItem> items{BatchItem(Uuid::random(), "/a.png"), BatchItem(Uuid::random(), "/b.png"),
                                 BatchItem(Uuid::random(), "/c.png")};
    items[0].progress = 0.5;
    items[0].status = ProcessingStatus::failed;
    items[1].progress = 1.0;
    items[1].status = ProcessingStatus::completed;
    items[2].progress = 0.0;
    items[2].status = ProcessingStatus::skipped;
    ProcessingJob job(Uuid::random(), "p", "P", items, configuration);
    EXPECT_DOUBLE_EQ(job.overallProgress(), 0.5);
    job.items.pop_back();
    EXPECT_DOUBLE_EQ(job.overallProgress(), 0.75);
    EXPECT_EQ(job.completedItemsCount(), 1);
    EXPECT_EQ(job.failedItemsCount(), 1);
    EXPECT_EQ(job.totalItems(), 2);
}

TEST(ExecutionReport, ThroughputAndCoding) {
    ExecutionReport report;
    report.id = Uuid::random();
    report.bytesProcessed = 3145728;
    const std::vector<std::pair<double, double>> cases{{2.0, 1.5}, {0.0, 0.0}, {-1.0, 0.0}};
    for (const auto& [seconds, expected] : cases) {
        report.durationSeconds = seconds;
        EXPECT_DOUBLE_EQ(report.throughputMegabytesPerSec(), expected) << seconds;
    }
    report.presetID = "texture";
    report.presetName = "Texture";
    report.successCount = 2;
    report.failureCount = 1;
    report.totalProcessed = 3;
    report.durationSeconds = 1.25;
    report.timestamp = std::chrono::system_clock::time_point(std::chrono::microseconds(1765200000123456));
    report.outputFiles = {"a.png", "b.png"};
    report.errors = {"Broken"};
    const auto decoded = nlohmann::json::parse(report.toJson().dump()).get<ExecutionReport>();
    EXPECT_EQ(decoded.id, report.id);
    EXPECT_EQ(decoded.outputFiles, report.outputFiles);
    EXPECT_EQ(decoded.errors, report.errors);
    EXPECT_EQ(decoded.successCount, 2);
    EXPECT_NEAR(std::chrono::duration<double>(decoded.timestamp - report.timestamp).count(), 0.0, 1e-5);
    auto hostile = report.toJson();
    hostile["timestamp"] = 1e300;
    EXPECT_THROW(ExecutionReport::fromJson(hostile), nlohmann::json::exception);
}

TEST(Uuid, RandomVersionFourInUpperCaseText) {
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i) {
        const auto id = Uuid::random();
        const auto text = id.toString();
        ASSERT_EQ(text.size(), 36u);
        EXPECT_EQ(text[14], '4');
        EXPECT_NE(std::string("89AB").find(text[19]), std::string::npos) << text;
        for (const char c : text) EXPECT_FALSE(std::islower(static_cast<unsigned char>(c))) << text;
        EXPECT_EQ(Uuid::fromString(text), id);
        seen.insert(text);
    }
    EXPECT_EQ(seen.size(), 1000u);
    EXPECT_EQ(Uuid::fromString("e621e1f8-c36c-495a-93fc-0c247a3e6e5f")->toString(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    for (const char* bad : {"", "E621E1F8C36C495A93FC0C247A3E6E5F", "E621E1F8-C36C-495A-93FC-0C247A3E6E5G",
                            "E621E1F8-C36C-495A-93FC-0C247A3E6E5F0", "E621E1F8+C36C-495A-93FC-0C247A3E6E5F"}) {
        EXPECT_FALSE(Uuid::fromString(bad).has_value()) << bad;
    }
    EXPECT_TRUE(Uuid().isNil());
    EXPECT_EQ(Uuid().toString(), "00000000-0000-0000-0000-000000000000");
}

TEST(BatchPreset, DefaultAcceptanceComparesLowerCaseExtensions) {
    const auto body = [](const BatchItem&, const ProcessingContext&) { return std::vector<std::filesystem::path>{}; };
    const test::FakePreset lower(body, {"png", "tga"});
    const test::FakePreset upper(body, {"PNG"});
    const BatchItem brick(Uuid::random(), "/nowhere/brick.PNG");
    const BatchItem notes(Uuid::random(), "/nowhere/notes.txt");
    EXPECT_TRUE(lower.canProcess(brick));
    EXPECT_FALSE(lower.canProcess(notes));
    EXPECT_FALSE(upper.canProcess(brick));
    // An item whose extension field was set by hand in upper case is still lower-cased first.
    BatchItem shouting = brick;
    shouting.fileExtension = "TGA";
    EXPECT_TRUE(lower.canProcess(shouting));
}

TEST(ProcessingContext, MissingCallbacksAreSafeToCall) {
    const ProcessingContext context(Uuid::random(), BatchConfiguration("/out", true, "x", false, 1, false, true), 1, 1);
    context.onProgressUpdate(0.5, "Working...");
    context.log("line");
    EXPECT_EQ(context.itemIndex, 1);
}

}  // namespace
}  // namespace morvale
