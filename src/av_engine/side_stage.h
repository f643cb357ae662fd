#pragma once

#include "base/callbacks.h"

#include <exception>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

namespace morvale {

// One export stage run on its own thread while the caller goes on with other stages. The stage gets a
// stop token that fires when the caller's does or when the stage is abandoned, and a log sink that holds
// its lines until join(), so the log reads as if the stages had run one after the other. What the stage
// throws is kept and rethrown by join(). A stage that wrote an output names it; an abandoned stage's
// output is removed, since the export it belonged to failed before reaching it.
//
// Thread rules: construct, join and abandon from one thread (the export's); the work runs on the stage's
// own thread and touches only what it was given.
class SideStage {
public:
    // Returns the output file it wrote, if any.
    using Work = std::function<std::optional<std::filesystem::path>(std::stop_token stop, const LogSink& log)>;

    SideStage(std::stop_token stop, Work work);
    // Abandons a stage that was not joined.
    ~SideStage();
    SideStage(const SideStage&) = delete;
    SideStage& operator=(const SideStage&) = delete;

    // Waits for the stage, passes its log lines to `log` in the order said, and returns its output; rethrows
    // what the stage threw (after its lines).
    std::optional<std::filesystem::path> join(const LogSink& log);
    // Stops the stage, waits for it, drops its log lines and removes the output it wrote.
    void abandon() noexcept;

private:
    std::stop_source halt_;
    std::stop_callback<std::function<void()>> forward_;
    std::mutex mutex_;
    std::vector<std::string> lines_;
    std::optional<std::filesystem::path> output_;
    std::exception_ptr failure_;
    bool settled_ = false;
    std::jthread thread_;  // last: started after, and joined before, everything it uses
};

}  // namespace morvale
