#include "av_engine/side_stage.h"

#include <system_error>
#include <utility>

namespace morvale {

SideStage::SideStage(std::stop_token stop, Work work)
    : forward_(std::move(stop), [this] { halt_.request_stop(); }) {
    thread_ = std::jthread([this, work = std::move(work)] {
        const LogSink held = [this](const std::string& line) {
            std::lock_guard lock(mutex_);
            lines_.push_back(line);
        };
        try {
            output_ = work(halt_.get_token(), held);
        } catch (...) {
            failure_ = std::current_exception();
        }
    });
}

SideStage::~SideStage() { abandon(); }

std::optional<std::filesystem::path> SideStage::join(const LogSink& log) {
    if (thread_.joinable()) thread_.join();
    settled_ = true;
    std::vector<std::string> lines;
    {
        std::lock_guard lock(mutex_);
        lines.swap(lines_);
    }
    if (log) {
        for (const std::string& line : lines) log(line);
    }
    if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
    return std::exchange(output_, std::nullopt);
}

void SideStage::abandon() noexcept {
    if (settled_) return;
    settled_ = true;
    halt_.request_stop();
    if (thread_.joinable()) thread_.join();
    if (output_) {
        std::error_code ignored;
        std::filesystem::remove(*output_, ignored);
    }
}

}  // namespace morvale
