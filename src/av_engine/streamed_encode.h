#pragma once

#include "av_engine/ffmpeg_runner.h"
#include "av_engine/loudness_normalizer.h"
#include "av_engine/side_stage.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>
#include <vector>

namespace morvale {

// An FFmpeg encode fed while the master is rendered. Each render pass goes to a spool file as the WAV's
// own 24-bit bytes, and a feeder thread passes the spool on to FFmpeg's standard input: the render
// never waits for the encoder, the encoder reads exactly the samples the WAV holds (so its output is
// byte for byte what encoding the finished file gives), and what was passed on is given back to the disk.
// A pass that starts over restarts the encode.
//
// Thread rules: the listener calls, finish() and destruction come from the thread that renders; the
// encode and the feeder run on their own threads.
class StreamedEncode : public LoudnessNormalizer::RenderListener {
public:
    // What follows the input in FFmpeg's argument list, given the render's sample rate.
    using OutputArguments = std::function<std::vector<std::string>(double sampleRate)>;
    // `spool` is a name in a private scratch folder; `timeLimit` bounds each encode.
    StreamedEncode(const FFmpegRunner& ffmpeg, std::filesystem::path spool, OutputArguments outputArguments,
                   std::chrono::milliseconds timeLimit, std::stop_token stop);
    // Abandons an encode that finish() did not hand over.
    ~StreamedEncode() override;
    StreamedEncode(const StreamedEncode&) = delete;
    StreamedEncode& operator=(const StreamedEncode&) = delete;

    void started(double sampleRate, int channels) override;
    void rendered(const float* samples, std::int64_t frames) override;

    // The last pass was the one kept: the feeder passes on the rest and closes the pipe. Returns the running
    // encode to be joined (none when nothing was rendered).
    std::unique_ptr<SideStage> finish();

    struct Spool;  // one pass's spool file and how much of it is written

private:
    const FFmpegRunner& ffmpeg_;
    std::filesystem::path spoolPath_;
    OutputArguments outputArguments_;
    std::chrono::milliseconds timeLimit_;
    std::stop_token stop_;
    int channels_ = 0;
    std::vector<std::uint8_t> bytes_;
    std::shared_ptr<Spool> spool_;
    std::unique_ptr<SideStage> encode_;  // last: abandoned before the spool it reads goes
};

}  // namespace morvale
