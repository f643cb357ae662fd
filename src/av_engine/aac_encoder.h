#pragma once

#include "av_engine/ffmpeg_handles.h"

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace morvale::ffmpeg {

// FFmpeg's native AAC encoder fed with interleaved float samples of any chunk size; each finished packet
// (in the encoder's time base) goes to the sink, which may keep it by moving its reference. Uses the
// fast coder: the default one takes about four times as long for no audible gain at these rates.
// Throws std::runtime_error ("AAC encoder: <reason>") when the encoder cannot start or fails.
class AACEncoder {
public:
    using PacketSink = std::function<void(AVPacket* packet)>;

    AACEncoder(int sampleRate, int channels, std::int64_t bitRate, bool globalHeader, PacketSink sink);

    // Sample rates the encoder takes.
    static bool supportsSampleRate(double rate);

    const AVCodecContext* context() const { return context_.get(); }

    void append(std::span<const float> interleaved);
    // Encodes what is left and drains the encoder.
    void finish();

private:
    void encode(std::size_t samples);
    void send(const AVFrame* frame);

    CodecContext context_;
    PacketSink sink_;
    std::vector<std::vector<float>> planes_;
    std::size_t consumed_ = 0;
    std::int64_t pts_ = 0;
    Frame frame_;
    Packet packet_;
};

}  // namespace morvale::ffmpeg
