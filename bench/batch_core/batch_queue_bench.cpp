// Cost of the queue itself: a preset that does nothing, so all time is scheduling, bookkeeping
// and listener delivery.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include "batch_core/batch_queue_manager.h"

namespace {

using namespace morvale;

class NoOpPreset final : public BatchPreset {
public:
    std::string id() const override { return "bench.noop"; }
    std::string displayName() const override { return "No-op"; }
    std::string verticalName() const override { return "Bench"; }
    std::string description() const override { return "Returns at once."; }
    std::string systemIconName() const override { return "bolt"; }
    std::set<std::string> supportedExtensions() const override { return {"png"}; }
    std::string defaultNamingPattern() const override { return "{name}"; }
    std::vector<std::filesystem::path> process(const BatchItem&, const ProcessingContext&) const override { return {}; }
};

void queueOverhead(benchmark::State& state) {
    const auto itemCount = static_cast<std::size_t>(state.range(0));
    const auto concurrency = state.range(1);
    std::vector<BatchItem> items;
    items.reserve(itemCount);
    for (std::size_t i = 0; i < itemCount; ++i) {
        items.emplace_back(Uuid::random(), "/nonexistent-bench/frame" + std::to_string(i) + ".png");
    }
    const auto output = std::filesystem::temp_directory_path() / ("morvale-bench-" + std::to_string(::getpid()));
    BatchConfiguration configuration(output, true, "{name}", false, concurrency, false, true);
    configuration.maxConcurrentTasks = concurrency;  // exactly this many, whatever the machine
    const ProcessingJob job(Uuid::random(), "bench.noop", "No-op", std::move(items), configuration);
    const NoOpPreset preset;

    for (auto _ : state) {
        BatchQueueManager manager;
        // Listeners as the window registers them: one of each kind.
        manager.addStatusListener(BatchQueueManager::StatusListener(
            [](const Uuid&, const Uuid&, ProcessingStatus, double, const std::optional<std::string>&) {}));
        manager.addLogListener([](const std::string&) {});
        manager.addOutputListener([](const Uuid&, const std::vector<std::filesystem::path>&) {});
        auto report = manager.submitAndStart(job, preset);
        benchmark::DoNotOptimize(report);
    }
    std::error_code ignored;
    std::filesystem::remove_all(output, ignored);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
    state.counters["per_item"] = benchmark::Counter(static_cast<double>(state.iterations()) * static_cast<double>(itemCount),
                                                    benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

BENCHMARK(queueOverhead)->Args({100000, 8})->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
