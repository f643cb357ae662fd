#include "av_engine/pcm_stream.h"

#include "av_engine/audio_container_check.h"
#include "av_engine/audio_input_file.h"
#include "av_engine/ffmpeg_handles.h"
#include "av_engine/ffmpeg_log.h"
#include "base/cancellation.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libavutil/samplefmt.h>
}

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <vector>

namespace morvale {

namespace {

constexpr double kDefaultSampleRate = 44100.0;
constexpr double kMaxSampleRate = AudioContainerCheck::maxSampleRate;

std::string fileName(const std::filesystem::path& file) { return file.filename().string(); }

std::string messageFor(PCMStream::StreamError::Kind kind, const std::filesystem::path& file, const std::string& reason) {
    if (kind == PCMStream::StreamError::Kind::noAudioTrack) return fileName(file) + " has no audio track.";
    return "Could not read audio from " + fileName(file) + ": " + reason;
}

[[noreturn]] void fail(const std::filesystem::path& file, const std::string& reason) {
    throw PCMStream::StreamError(PCMStream::StreamError::Kind::readFailed, file, reason);
}

struct OpenedSource {
    std::unique_ptr<AudioInputFile> input;
    int streamIndex = -1;
    PCMStream::Format format;
    // What decoding the stream should give. The container's duration can count more: an MP4's leading
    // empty edit, which the decoder never produces, or a longer video track beside the audio.
    double expectedSeconds = 0.0;
};

OpenedSource openSource(const std::filesystem::path& file, std::stop_token stop) {
    OpenedSource source;
    try {
        source.input = std::make_unique<AudioInputFile>(file, std::move(stop));
    } catch (const AudioInputFile::Refused& refused) {
        fail(file, refused.what());
    }
    AVFormatContext* raw = source.input->container();
    const int index = av_find_best_stream(raw, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (index < 0) throw PCMStream::StreamError(PCMStream::StreamError::Kind::noAudioTrack, file);
    source.streamIndex = index;

    const AVStream* stream = raw->streams[index];
    const AVCodecParameters* params = stream->codecpar;
    double rate = params->sample_rate > 0 ? static_cast<double>(params->sample_rate) : kDefaultSampleRate;
    if (rate > kMaxSampleRate) fail(file, AudioContainerCheck::sampleRateProblem(static_cast<std::uint64_t>(rate)));
    const int reported = params->ch_layout.nb_channels;
    source.format.sampleRate = rate;
    source.format.channels = reported <= 0 ? 1 : std::min(reported, 2);
    double duration = 0.0;
    if (raw->duration != AV_NOPTS_VALUE && raw->duration > 0) {
        duration = static_cast<double>(raw->duration) / AV_TIME_BASE;
    } else if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0) {
        duration = static_cast<double>(stream->duration) * av_q2d(stream->time_base);
    }
    source.format.durationSeconds = std::isfinite(duration) ? duration : 0.0;
    source.expectedSeconds = source.format.durationSeconds;
    if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0) {
        const double own = static_cast<double>(stream->duration) * av_q2d(stream->time_base);
        if (std::isfinite(own) && own > 0.0) source.expectedSeconds = own;
    }
    return source;
}

// Resampling and format conversion by swresample; the final channel mapping is ours, because its mono
// and stereo matrices shift levels by 3 dB where a plain copy (1 -> 2) or average (2 -> 1) is wanted.
class Converter {
public:
    Converter(const std::filesystem::path& file, int outRate, int outChannels)
        : file_(file), outRate_(outRate), outChannels_(outChannels) {}
    ~Converter() { av_channel_layout_uninit(&inLayout_); }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    // Converts one decoded frame (or flushes with nullptr) and hands whole output frames to `deliver`.
    template <typename Deliver>
    void convert(const AVFrame* frame, Deliver&& deliver) {
        if (frame != nullptr && needsNewResampler(*frame)) {
            if (resampler_) drain(deliver);
            configure(*frame);
        }
        if (!resampler_) return;
        const int inSamples = frame != nullptr ? frame->nb_samples : 0;
        const int capacity = swr_get_out_samples(resampler_.get(), inSamples);
        if (capacity <= 0) return;
        mid_.resize(static_cast<std::size_t>(capacity) * static_cast<std::size_t>(midChannels_));
        auto* out = reinterpret_cast<std::uint8_t*>(mid_.data());
        const int produced =
            swr_convert(resampler_.get(), &out, capacity,
                        frame != nullptr ? const_cast<const std::uint8_t**>(frame->extended_data) : nullptr, inSamples);
        if (produced < 0) fail(file_, ffmpeg::errorText(produced));
        if (produced > 0) emit(produced, deliver);
    }

    template <typename Deliver>
    void drain(Deliver&& deliver) {
        if (!resampler_) return;
        convert(nullptr, deliver);
    }

private:
    bool needsNewResampler(const AVFrame& frame) const {
        return !resampler_ || frame.format != inFormat_ || frame.sample_rate != inRate_ ||
               av_channel_layout_compare(&frame.ch_layout, &inLayout_) != 0;
    }

    void configure(const AVFrame& frame) {
        if (frame.sample_rate <= 0 || frame.sample_rate > static_cast<int>(kMaxSampleRate) ||
            frame.ch_layout.nb_channels <= 0) {
            fail(file_, "unsupported audio format");
        }
        av_channel_layout_uninit(&inLayout_);
        if (av_channel_layout_copy(&inLayout_, &frame.ch_layout) < 0) fail(file_, "unsupported audio format");
        AVChannelLayout in{};
        if (frame.ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
            av_channel_layout_default(&in, frame.ch_layout.nb_channels);
            // The resampler mixes only named channels; counts without a usual layout (9, 17, 32...)
            // take the first positions in the standard order.
            if (in.order == AV_CHANNEL_ORDER_UNSPEC && in.nb_channels < 64) {
                const int count = in.nb_channels;
                av_channel_layout_uninit(&in);
                av_channel_layout_from_mask(&in, (std::uint64_t{1} << count) - 1);
            }
        } else {
            av_channel_layout_copy(&in, &frame.ch_layout);
        }
        midChannels_ = in.nb_channels == 1 ? 1 : 2;
        AVChannelLayout mid{};
        av_channel_layout_default(&mid, midChannels_);
        SwrContext* raw = nullptr;
        const int made = swr_alloc_set_opts2(&raw, &mid, AV_SAMPLE_FMT_FLT, outRate_, &in,
                                             static_cast<AVSampleFormat>(frame.format), frame.sample_rate, 0, nullptr);
        av_channel_layout_uninit(&in);
        av_channel_layout_uninit(&mid);
        if (made < 0 || raw == nullptr) fail(file_, "unsupported audio format");
        resampler_.reset(raw);
        const int init = swr_init(raw);
        if (init < 0) fail(file_, ffmpeg::errorText(init));
        inFormat_ = frame.format;
        inRate_ = frame.sample_rate;
    }

    template <typename Deliver>
    void emit(int frames, Deliver&& deliver) {
        const auto count = static_cast<std::size_t>(frames);
        // Float sources may store NaN or infinity; every stage after this one measures and filters,
        // and one such sample would poison a whole loudness reading.
        for (std::size_t i = 0; i < count * static_cast<std::size_t>(midChannels_); ++i) {
            if (!std::isfinite(mid_[i])) mid_[i] = 0.0f;
        }
        if (midChannels_ == outChannels_) {
            deliver(std::span<const float>(mid_.data(), count * static_cast<std::size_t>(outChannels_)), frames);
            return;
        }
        out_.resize(count * static_cast<std::size_t>(outChannels_));
        if (midChannels_ == 1) {
            for (std::size_t f = 0; f < count; ++f) out_[2 * f] = out_[2 * f + 1] = mid_[f];
        } else {
            for (std::size_t f = 0; f < count; ++f) out_[f] = 0.5f * (mid_[2 * f] + mid_[2 * f + 1]);
        }
        deliver(std::span<const float>(out_.data(), out_.size()), frames);
    }

    const std::filesystem::path& file_;
    int outRate_;
    int outChannels_;
    int midChannels_ = 0;
    ffmpeg::Resampler resampler_;
    int inFormat_ = -1;
    int inRate_ = 0;
    AVChannelLayout inLayout_{};
    std::vector<float> mid_;
    std::vector<float> out_;
};

// Thrown through the decoding loop to stop once `maxDuration` has been delivered.
struct EnoughRead {};

std::string seconds(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

}  // namespace

PCMStream::StreamError::StreamError(Kind kind, const std::filesystem::path& file, const std::string& reason)
    : std::runtime_error(messageFor(kind, file, reason)), kind_(kind) {}

PCMStream::Format PCMStream::format(const std::filesystem::path& file, const LogCallback& log, std::stop_token stop) {
    ffmpeg::LogScope scope(log);
    return openSource(file, std::move(stop)).format;
}

PCMStream::Format PCMStream::read(const std::filesystem::path& file, std::optional<double> sampleRate,
                                  std::optional<int> channels, std::optional<double> maxDuration,
                                  const ChunkCallback& chunk, const LogCallback& log, std::stop_token stop) {
    ffmpeg::LogScope scope(log);
    OpenedSource source = openSource(file, stop);
    AVFormatContext* container = source.input->container();
    const AVStream* stream = container->streams[source.streamIndex];

    double outRateValue = sampleRate.value_or(source.format.sampleRate);
    if (!std::isfinite(outRateValue) || outRateValue < 1.0 || outRateValue > kMaxSampleRate) {
        fail(file, "unsupported audio format");
    }
    const int outRate = static_cast<int>(std::lround(outRateValue));
    const int outChannels = channels.value_or(source.format.channels);
    if (outChannels < 1 || outChannels > 2) fail(file, "unsupported audio format");
    Format result{static_cast<double>(outRate), outChannels, source.format.durationSeconds};

    std::int64_t frameLimit = std::numeric_limits<std::int64_t>::max();
    const bool limited = maxDuration && std::isfinite(*maxDuration) && *maxDuration < source.format.durationSeconds;
    if (limited) frameLimit = static_cast<std::int64_t>(std::max(0.0, *maxDuration) * outRate);

    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (codec == nullptr) fail(file, "unsupported audio format");
    ffmpeg::CodecContext decoder(avcodec_alloc_context3(codec));
    if (!decoder) fail(file, "out of memory");
    if (avcodec_parameters_to_context(decoder.get(), stream->codecpar) < 0) fail(file, "unsupported audio format");
    decoder->pkt_timebase = stream->time_base;
    decoder->thread_count = 1;  // keeps FFmpeg's messages on this thread, where the caller's log is
    const int opened = avcodec_open2(decoder.get(), codec, nullptr);
    if (opened < 0) fail(file, ffmpeg::errorText(opened));

    ffmpeg::Packet packet(av_packet_alloc());
    ffmpeg::Frame frame(av_frame_alloc());
    if (!packet || !frame) fail(file, "out of memory");

    Converter converter(file, outRate, outChannels);
    std::int64_t delivered = 0;
    int decodeErrors = 0;
    bool readError = false;
    auto deliver = [&](std::span<const float> samples, int frames) {
        std::int64_t take = std::min<std::int64_t>(frames, frameLimit - delivered);
        if (take > 0) {
            chunk(samples.first(static_cast<std::size_t>(take) * static_cast<std::size_t>(outChannels)), take);
            delivered += take;
        }
        if (delivered >= frameLimit) throw EnoughRead{};
    };
    auto receiveAll = [&] {
        for (;;) {
            const int got = avcodec_receive_frame(decoder.get(), frame.get());
            if (got == AVERROR(EAGAIN) || got == AVERROR_EOF) return;
            if (got < 0) {
                ++decodeErrors;
                return;
            }
            converter.convert(frame.get(), deliver);
            av_frame_unref(frame.get());
        }
    };

    try {
        if (frameLimit <= 0) throw EnoughRead{};
        for (;;) {
            throwIfStopRequested(stop);
            const int readResult = av_read_frame(container, packet.get());
            if (readResult == AVERROR_EOF) break;
            if (readResult < 0) {
                throwIfStopRequested(stop);
                readError = true;
                break;
            }
            if (packet->stream_index == source.streamIndex) {
                const int sent = avcodec_send_packet(decoder.get(), packet.get());
                if (sent < 0 && sent != AVERROR(EAGAIN)) ++decodeErrors;
                av_packet_unref(packet.get());
                receiveAll();
            } else {
                av_packet_unref(packet.get());
            }
        }
        avcodec_send_packet(decoder.get(), nullptr);
        receiveAll();
        converter.drain(deliver);
    } catch (const EnoughRead&) {
        return result;
    }

    if (log) {
        if (decodeErrors > 0 || readError) {
            log("Warning: " + fileName(file) + " has damaged audio (" + std::to_string(decodeErrors) +
                " decoding errors" + (readError ? ", unreadable data" : "") + "); the damaged parts were skipped.");
        }
        const double decodedSeconds = static_cast<double>(delivered) / outRate;
        // FFmpeg trims a WAV's duration to what the file holds; its header still says what was recorded.
        const double declared = std::max(source.expectedSeconds, source.input->declaredSeconds().value_or(0.0));
        if (!limited && declared - decodedSeconds > 1.0) {
            log("Warning: " + fileName(file) + " decoded to " + seconds(decodedSeconds) + " s of its declared " +
                seconds(declared) + " s; going on with what was read.");
        }
    }
    return result;
}

}  // namespace morvale
