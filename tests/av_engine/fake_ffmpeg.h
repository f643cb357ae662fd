#pragma once

#include "av_engine/ffmpeg_runner.h"
#include "support/temp_dir.h"

#include <set>
#include <string>
#include <vector>

namespace morvale::test {

// An executable shell script standing in for ffmpeg. Before running `body` it records its arguments
// (one per line) in argv.txt, its process id in pid.txt and its open descriptors in fds.txt.
class FakeFFmpeg {
public:
    explicit FakeFFmpeg(const std::string& body);

    const std::filesystem::path& path() const { return script_; }
    FFmpegRunner runner() const { return FFmpegRunner({script_}); }

    std::vector<std::string> arguments() const;
    int pid() const;
    // Descriptors the script had open, less the one the shell keeps on the script itself.
    std::set<int> inheritedDescriptors() const;

private:
    TempDir dir_;
    std::filesystem::path script_;
};

}  // namespace morvale::test
