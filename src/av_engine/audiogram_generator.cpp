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
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

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
constexpr const char* kX264Preset = "superfast";

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

// BT.709 limited-range YUV 4:2:0 from Cairo's opaque BGRA, for rows [top, bottom) widened to whole chroma
// rows. Each chroma sample averages its 2 x 2 pixels, so converting only the rows a frame changed gives
// exactly what converting the whole frame would.
void convertRows(const audiogram::Picture& picture, AVFrame* yuv, int top, int bottom) {
    top &= ~1;
    bottom = std::min(picture.height, (bottom + 1) & ~1);
    const int width = picture.width;
    for (int y = top; y < bottom; y += 2) {
        const std::uint8_t* row0 = picture.pixels.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(picture.stride);
        const std::uint8_t* row1 = y + 1 < picture.height ? row0 + picture.stride : row0;
        std::uint8_t* luma0 = yuv->data[0] + static_cast<std::ptrdiff_t>(y) * yuv->linesize[0];
        std::uint8_t* luma1 = y + 1 < picture.height ? luma0 + yuv->linesize[0] : luma0;
        std::uint8_t* cb = yuv->data[1] + static_cast<std::ptrdiff_t>(y / 2) * yuv->linesize[1];
        std::uint8_t* cr = yuv->data[2] + static_cast<std::ptrdiff_t>(y / 2) * yuv->linesize[2];
        const auto luma = [](const std::uint8_t* px) {
            return static_cast<std::uint8_t>(16 + ((11966 * px[2] + 40254 * px[1] + 4064 * px[0] + 32768) >> 16));
        };
        for (int x = 0; x < width; x += 2) {
            const int x1 = x + 1 < width ? x + 1 : x;
            const std::uint8_t* a = row0 + 4 * x;
            const std::uint8_t* b = row0 + 4 * x1;
            const std::uint8_t* c = row1 + 4 * x;
            const std::uint8_t* d = row1 + 4 * x1;
            luma0[x] = luma(a);
            luma0[x1] = luma(b);
            luma1[x] = luma(c);
            luma1[x1] = luma(d);
            const int r = a[2] + b[2] + c[2] + d[2];
            const int g = a[1] + b[1] + c[1] + d[1];
            const int bl = a[0] + b[0] + c[0] + d[0];
            constexpr int offset = (128 << 18) + (1 << 17);
            cb[x / 2] = static_cast<std::uint8_t>((-6596 * r - 22188 * g + 28784 * bl + offset) >> 18);
            cr[x / 2] = static_cast<std::uint8_t>((28784 * r - 26145 * g - 2639 * bl + offset) >> 18);
        }
    }
}

ffmpeg::Frame yuvFrame(int width, int height) {
    ffmpeg::Frame frame(av_frame_alloc());
    if (!frame) throw std::bad_alloc();
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = width;
    frame->height = height;
    check(av_frame_get_buffer(frame.get(), 0), "frame");
    return frame;
}

// Paints and converts the frames on a thread of its own while the caller feeds the encoder, so painting
// overlaps the encoder's per-frame work on the calling thread (lookahead input, adaptive quantisation).
// A few frames are in flight; each is handed out in order and stays valid until the next call.
class PaintedFrames {
public:
    PaintedFrames(audiogram::FrameRenderer& renderer, const std::vector<float>& envelope, std::int64_t count, int width,
                  int height, std::stop_token stop)
        : renderer_(renderer), envelope_(envelope), count_(count), stop_(std::move(stop)), master_(yuvFrame(width, height)) {
        for (int i = 0; i < 3; ++i) {
            slots_.push_back(yuvFrame(width, height));
            free_.push_back(slots_.back().get());
        }
        worker_ = std::jthread([this](std::stop_token own) { paint(own); });
    }

    // The next frame, or null after the last. Rethrows what the painter threw, OperationCancelled included.
    AVFrame* next() {
        std::unique_lock lock(mutex_);
        if (lent_) {
            free_.push_back(lent_);
            lent_ = nullptr;
            changed_.notify_all();
        }
        changed_.wait(lock, [this] { return !ready_.empty() || finished_; });
        if (!ready_.empty()) {
            lent_ = ready_.front();
            ready_.pop_front();
            changed_.notify_all();
            return lent_;
        }
        if (error_) std::rethrow_exception(error_);
        return nullptr;
    }

private:
    void paint(std::stop_token own) {
        std::exception_ptr error;
        try {
            for (std::int64_t f = 0; f < count_; ++f) {
                throwIfStopRequested(stop_);
                const audiogram::Picture& picture = renderer_.draw(envelope_, f, count_);
                // The master keeps the rows this frame did not change.
                for (const auto& [top, bottom] : renderer_.changedRows()) convertRows(picture, master_.get(), top, bottom);
                std::unique_lock lock(mutex_);
                if (!changed_.wait(lock, own, [this] { return !free_.empty(); })) return;
                AVFrame* slot = free_.front();
                free_.pop_front();
                lock.unlock();
                check(av_frame_copy(slot, master_.get()), "frame");
                slot->pts = f;
                lock.lock();
                ready_.push_back(slot);
                changed_.notify_all();
            }
        } catch (...) {
            error = std::current_exception();
        }
        const std::lock_guard lock(mutex_);
        error_ = error;
        finished_ = true;
        changed_.notify_all();
    }

    audiogram::FrameRenderer& renderer_;
    const std::vector<float>& envelope_;
    const std::int64_t count_;
    const std::stop_token stop_;
    ffmpeg::Frame master_;
    std::vector<ffmpeg::Frame> slots_;
    std::mutex mutex_;
    std::condition_variable_any changed_;
    std::deque<AVFrame*> free_;
    std::deque<AVFrame*> ready_;
    AVFrame* lent_ = nullptr;
    bool finished_ = false;
    std::exception_ptr error_;
    std::jthread worker_;  // last: stopped and joined before the rest goes
};

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
    encoder->thread_count = 0;  // x264's own choice for the processors we may use; the library's default is one
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
    videoStream->avg_frame_rate = AVRational{fps, 1};
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
            // Every frame shows for one frame time. The encoder leaves the duration unset, and the muxer
            // then gives the last frame none: the track ended a frame early and its rate read high.
            packet->duration = 1;
            av_packet_rescale_ts(packet.get(), video->time_base, videoStream->time_base);
            packet->stream_index = videoStream->index;
            writeAudioUntil(packet.get());
            check(av_interleaved_write_frame(muxer.get(), packet.get()), "video");
        }
    };

    if (!packet) throw std::bad_alloc();
    {
        PaintedFrames frames(renderer, envelope, frameCount, width, height, stop);
        // The encoder copies each frame it is given, so its buffer is free again when the call returns.
        while (const AVFrame* frame = frames.next()) sendVideo(frame);
    }
    sendVideo(nullptr);
    writeAudioUntil(nullptr);
    check(av_write_trailer(muxer.get()), "finishing the file");
    check(avio_closep(&muxer->pb), "closing the file");
    throwIfStopRequested(stop);
    out.commit();
}

}  // namespace morvale
