#include "av_engine/audiogram_generator.h"

#include "av_engine/aac_encoder.h"
#include "av_engine/audiogram_frame_renderer.h"
#include "av_engine/ffmpeg_handles.h"
#include "av_engine/ffmpeg_log.h"
#include "av_engine/pcm_stream.h"
#include "av_engine/transcriber.h"
#include "base/atomic_file_writer.h"
#include "base/ascii.h"
#include "base/cancellation.h"

extern "C" {
#include <libavutil/opt.h>
}

#include <charconv>
#include <cmath>
#include <deque>

namespace morvale {

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kDefaultColor = 0x3B82F6;
constexpr int kAudioRate = 44100;
constexpr int kAudioChannels = 2;
constexpr std::int64_t kVideoBitRate = 4'000'000;
constexpr std::int64_t kAudioBitRate = 192'000;
// Chosen by measurement (bench/av_engine/media_bench): mostly static pictures at 4 Mbit/s lose nothing
// visible against slower presets, and the render stays within its time budget.
constexpr const char* kX264Preset = "veryfast";

[[noreturn]] void encodingFailed(const char* what, int code) {
    throw std::runtime_error(std::string("Could not write the audiogram video: ") + what + ": " + ffmpeg::errorText(code));
}

void check(int code, const char* what) {
    if (code < 0) encodingFailed(what, code);
}

// One RMS value per frame-length block of 16 kHz mono audio, scaled so the loudest block is 1 and
// quiet passages stay visible (square root).
std::vector<float> loudnessEnvelope(const fs::path& audio, double seconds, int fps) {
    const auto block = static_cast<std::size_t>(16000 / fps);
    std::vector<float> envelope;
    double sum = 0;
    std::size_t count = 0;
    PCMStream::read(audio, 16000.0, 1, seconds, [&](std::span<const float> samples, std::int64_t) {
        for (const float s : samples) {
            sum += static_cast<double>(s) * s;
            if (++count == block) {
                envelope.push_back(static_cast<float>(std::sqrt(sum / static_cast<double>(block))));
                sum = 0;
                count = 0;
            }
        }
    });
    float largest = 0;
    for (const float v : envelope) largest = std::max(largest, v);
    const float scale = std::max(0.0001f, largest);
    for (float& v : envelope) v = std::min(1.0f, std::sqrt(v / scale));
    return envelope;
}

struct ParametersFreer {
    void operator()(AVCodecParameters* p) const noexcept { avcodec_parameters_free(&p); }
};

struct EncodedAudio {
    std::deque<ffmpeg::Packet> packets;
    std::unique_ptr<AVCodecParameters, ParametersFreer> parameters;
};

// The excerpt's audio as AAC packets, kept in memory (about 24 kB per second) to be interleaved with video.
EncodedAudio encodeAudio(const fs::path& audio, std::int64_t samples, std::stop_token stop) {
    EncodedAudio result;
    result.parameters.reset(avcodec_parameters_alloc());
    if (!result.parameters) throw std::bad_alloc();
    std::deque<ffmpeg::Packet>& packets = result.packets;
    ffmpeg::AACEncoder encoder(kAudioRate, kAudioChannels, kAudioBitRate, true, [&packets](AVPacket* packet) {
        ffmpeg::Packet kept(av_packet_alloc());
        if (!kept) throw std::bad_alloc();
        av_packet_move_ref(kept.get(), packet);
        packets.push_back(std::move(kept));
    });
    std::int64_t left = samples;
    PCMStream::read(audio, static_cast<double>(kAudioRate), kAudioChannels,
                    static_cast<double>(samples) / kAudioRate + 0.1, [&](std::span<const float> chunk, std::int64_t frames) {
                        throwIfStopRequested(stop);
                        const std::int64_t take = std::min(left, frames);
                        if (take > 0) encoder.append(chunk.first(static_cast<std::size_t>(take * kAudioChannels)));
                        left -= take;
                    });
    encoder.finish();
    check(avcodec_parameters_from_context(result.parameters.get(), encoder.context()), "audio");
    return result;
}

ffmpeg::CodecContext openVideoEncoder(int width, int height, int fps) {
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (!codec) throw AudiogramGenerator::AudiogramError(AudiogramGenerator::AudiogramError::Kind::writerSetupFailed);
    ffmpeg::CodecContext encoder(avcodec_alloc_context3(codec));
    if (!encoder) throw std::bad_alloc();
    encoder->width = width;
    encoder->height = height;
    encoder->pix_fmt = AV_PIX_FMT_YUV420P;
    encoder->time_base = AVRational{1, fps};
    encoder->framerate = AVRational{fps, 1};
    encoder->bit_rate = kVideoBitRate;
    encoder->color_primaries = AVCOL_PRI_BT709;
    encoder->color_trc = AVCOL_TRC_BT709;
    encoder->colorspace = AVCOL_SPC_BT709;
    encoder->color_range = AVCOL_RANGE_MPEG;
    encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    av_opt_set(encoder->priv_data, "preset", kX264Preset, 0);
    av_opt_set(encoder->priv_data, "profile", "high", 0);
    if (avcodec_open2(encoder.get(), codec, nullptr) < 0) {
        throw AudiogramGenerator::AudiogramError(AudiogramGenerator::AudiogramError::Kind::writerSetupFailed);
    }
    return encoder;
}

}  // namespace

AudiogramGenerator::AudiogramError::AudiogramError(Kind kind)
    : std::runtime_error(kind == Kind::audioTooShort ? "Audio is too short for an audiogram."
                                                     : "Could not set up the audiogram video writer."),
      kind_(kind) {}

std::uint32_t AudiogramGenerator::waveformColor(std::string_view text) {
    while (!text.empty() && ascii::isSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && ascii::isSpace(text.back())) text.remove_suffix(1);
    if (text.starts_with('#')) text.remove_prefix(1);
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) return kDefaultColor;
    return value & 0xFFFFFF;
}

std::optional<AudiogramGenerator::CaptionState> AudiogramGenerator::captionAt(const std::vector<CaptionCue>& cues,
                                                                           std::int64_t frame, int fps) {
    const double t = static_cast<double>(frame) / fps;
    const double u = t + 0.05;
    for (std::size_t c = cues.size(); c-- > 0;) {
        const CaptionCue& cue = cues[c];
        if (cue.words.empty() || cue.start() > u) continue;
        if (t >= cue.end() + 0.6) return std::nullopt;
        std::size_t word = 0;
        for (std::size_t w = 0; w < cue.words.size(); ++w) {
            if (cue.words[w].start <= u) word = w;
        }
        return CaptionState{c, word};
    }
    return std::nullopt;
}

void AudiogramGenerator::generate(const fs::path& audio, const fs::path& destination, const AudiogramConfig& config,
                                  std::stop_token stop) const {
    const auto [width, height] = dimensions(config.aspectRatio);
    const int fps = config.framesPerSecond;
    if (fps < 1 || fps > 120) throw AudiogramError(AudiogramError::Kind::writerSetupFailed);
    // The libraries' own messages have no listener here; failures surface as exceptions.
    const ffmpeg::LogScope quiet({});

    const PCMStream::Format format = PCMStream::format(audio);
    double length = format.durationSeconds;
    if (config.maxDurationSeconds && *config.maxDurationSeconds < length) length = *config.maxDurationSeconds;
    if (!(length > 0.5)) throw AudiogramError(AudiogramError::Kind::audioTooShort);
    throwIfStopRequested(stop);

    const std::vector<float> envelope = loudnessEnvelope(audio, length, fps);
    const auto frameCount = std::max<std::int64_t>(
        1, std::min(static_cast<std::int64_t>(envelope.size()), static_cast<std::int64_t>(std::floor(fps * length))));
    const double seconds = static_cast<double>(frameCount) / fps;
    throwIfStopRequested(stop);
    EncodedAudio encodedAudio = encodeAudio(audio, std::llround(seconds * kAudioRate), stop);
    std::deque<ffmpeg::Packet>& audioPackets = encodedAudio.packets;

    std::vector<CaptionWord> words;
    for (const CaptionWord& w : config.captions) {
        if (w.start < seconds) words.push_back(w);
    }
    std::optional<audiogram::Picture> background;
    if (config.backgroundImageURL) background = audiogram::coverBackground(*config.backgroundImageURL, width, height);
    audiogram::FrameRenderer renderer(width, height, waveformColor(config.waveformColor), background,
                                      Transcriber::cues(words, 32, 3.0), config.title, fps);
    background.reset();

    // Declared first so that it outlives, and so removes after, everything that writes to its file.
    AtomicFileWriter out(destination);
    AVFormatContext* rawMuxer = nullptr;
    if (avformat_alloc_output_context2(&rawMuxer, nullptr, "mp4", out.temporaryPath().c_str()) < 0 || !rawMuxer) {
        throw AudiogramError(AudiogramError::Kind::writerSetupFailed);
    }
    const ffmpeg::OutputContext muxer(rawMuxer);
    const ffmpeg::CodecContext video = openVideoEncoder(width, height, fps);
    AVStream* videoStream = avformat_new_stream(muxer.get(), nullptr);
    AVStream* audioStream = avformat_new_stream(muxer.get(), nullptr);
    if (!videoStream || !audioStream || avcodec_parameters_from_context(videoStream->codecpar, video.get()) < 0 ||
        avcodec_parameters_copy(audioStream->codecpar, encodedAudio.parameters.get()) < 0) {
        throw AudiogramError(AudiogramError::Kind::writerSetupFailed);
    }
    videoStream->time_base = video->time_base;
    audioStream->time_base = AVRational{1, kAudioRate};
    if (avio_open(&muxer->pb, out.temporaryPath().c_str(), AVIO_FLAG_WRITE) < 0) {
        throw AudiogramError(AudiogramError::Kind::writerSetupFailed);
    }
    AVDictionary* muxOptions = nullptr;
    av_dict_set(&muxOptions, "movflags", "+faststart", 0);
    const int header = avformat_write_header(muxer.get(), &muxOptions);
    av_dict_free(&muxOptions);
    if (header < 0) throw AudiogramError(AudiogramError::Kind::writerSetupFailed);

    // Audio goes out as far as the video has got, so the muxer holds little of either.
    const auto writeAudioUntil = [&](const AVPacket* videoPacket) {
        while (!audioPackets.empty()) {
            AVPacket* next = audioPackets.front().get();
            if (videoPacket && av_compare_ts(next->dts, AVRational{1, kAudioRate}, videoPacket->dts, videoStream->time_base) > 0) {
                return;
            }
            av_packet_rescale_ts(next, AVRational{1, kAudioRate}, audioStream->time_base);
            next->stream_index = audioStream->index;
            check(av_interleaved_write_frame(muxer.get(), next), "audio");
            audioPackets.pop_front();
        }
    };
    const ffmpeg::Packet packet(av_packet_alloc());
    const auto sendVideo = [&](const AVFrame* frame) {
        check(avcodec_send_frame(video.get(), frame), "video encoder");
        for (;;) {
            const int received = avcodec_receive_packet(video.get(), packet.get());
            if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) return;
            check(received, "video encoder");
            av_packet_rescale_ts(packet.get(), video->time_base, videoStream->time_base);
            packet->stream_index = videoStream->index;
            writeAudioUntil(packet.get());
            check(av_interleaved_write_frame(muxer.get(), packet.get()), "video");
        }
    };

    const ffmpeg::Scaler toYUV(sws_getContext(width, height, AV_PIX_FMT_BGRA, width, height, AV_PIX_FMT_YUV420P,
                                              SWS_BILINEAR, nullptr, nullptr, nullptr));
    const ffmpeg::Frame yuv(av_frame_alloc());
    if (!toYUV || !yuv || !packet) throw AudiogramError(AudiogramError::Kind::writerSetupFailed);
    const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
    sws_setColorspaceDetails(toYUV.get(), bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16);
    yuv->format = AV_PIX_FMT_YUV420P;
    yuv->width = width;
    yuv->height = height;
    check(av_frame_get_buffer(yuv.get(), 0), "frame");

    for (std::int64_t f = 0; f < frameCount; ++f) {
        throwIfStopRequested(stop);
        const audiogram::Picture& picture = renderer.draw(envelope, f, frameCount);
        check(av_frame_make_writable(yuv.get()), "frame");
        const std::uint8_t* source[4] = {picture.pixels.data(), nullptr, nullptr, nullptr};
        const int strides[4] = {picture.stride, 0, 0, 0};
        sws_scale(toYUV.get(), source, strides, 0, height, yuv->data, yuv->linesize);
        yuv->pts = f;
        sendVideo(yuv.get());
    }
    sendVideo(nullptr);
    writeAudioUntil(nullptr);
    check(av_write_trailer(muxer.get()), "finishing the file");
    check(avio_closep(&muxer->pb), "closing the file");
    throwIfStopRequested(stop);
    out.commit();
}

}  // namespace morvale
