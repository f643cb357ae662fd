#include "av_engine/aac_encoder.h"

#include "av_engine/ffmpeg_log.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

namespace morvale::ffmpeg {

namespace {

[[noreturn]] void fail(int code) { throw std::runtime_error("AAC encoder: " + errorText(code)); }

}  // namespace

bool AACEncoder::supportsSampleRate(double rate) {
    constexpr std::array<double, 12> rates{96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000};
    return std::find(rates.begin(), rates.end(), rate) != rates.end();
}

AACEncoder::AACEncoder(int sampleRate, int channels, std::int64_t bitRate, bool globalHeader, PacketSink sink)
    : sink_(std::move(sink)), planes_(static_cast<std::size_t>(channels)), frame_(av_frame_alloc()), packet_(av_packet_alloc()) {
    const AVCodec* codec = avcodec_find_encoder_by_name("aac");
    if (!codec) throw std::runtime_error("AAC encoder: not available");
    context_.reset(avcodec_alloc_context3(codec));
    if (!context_ || !frame_ || !packet_) throw std::bad_alloc();
    context_->sample_fmt = AV_SAMPLE_FMT_FLTP;
    context_->sample_rate = sampleRate;
    av_channel_layout_default(&context_->ch_layout, channels);
    context_->bit_rate = bitRate;
    context_->time_base = AVRational{1, sampleRate};
    if (globalHeader) context_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    AVDictionary* options = nullptr;
    av_dict_set(&options, "aac_coder", "fast", 0);
    const int opened = avcodec_open2(context_.get(), codec, &options);
    av_dict_free(&options);
    if (opened < 0) fail(opened);
}

void AACEncoder::append(std::span<const float> interleaved) {
    const std::size_t channels = planes_.size();
    for (std::size_t c = 0; c < channels; ++c) {
        auto& plane = planes_[c];
        for (std::size_t i = c; i < interleaved.size(); i += channels) plane.push_back(interleaved[i]);
    }
    const auto frameSize = static_cast<std::size_t>(context_->frame_size);
    while (planes_[0].size() - consumed_ >= frameSize) encode(frameSize);
    if (consumed_ > (std::size_t{1} << 16)) {
        for (auto& plane : planes_) plane.erase(plane.begin(), plane.begin() + static_cast<std::ptrdiff_t>(consumed_));
        consumed_ = 0;
    }
}

void AACEncoder::finish() {
    if (planes_[0].size() > consumed_) encode(planes_[0].size() - consumed_);
    send(nullptr);
}

void AACEncoder::encode(std::size_t samples) {
    av_frame_unref(frame_.get());
    frame_->format = context_->sample_fmt;
    frame_->sample_rate = context_->sample_rate;
    frame_->nb_samples = static_cast<int>(samples);
    if (const int copied = av_channel_layout_copy(&frame_->ch_layout, &context_->ch_layout); copied < 0) fail(copied);
    if (const int got = av_frame_get_buffer(frame_.get(), 0); got < 0) fail(got);
    for (std::size_t c = 0; c < planes_.size(); ++c) {
        std::memcpy(frame_->data[c], planes_[c].data() + consumed_, samples * sizeof(float));
    }
    frame_->pts = pts_;
    pts_ += static_cast<std::int64_t>(samples);
    consumed_ += samples;
    send(frame_.get());
}

void AACEncoder::send(const AVFrame* frame) {
    if (const int sent = avcodec_send_frame(context_.get(), frame); sent < 0) fail(sent);
    for (;;) {
        const int received = avcodec_receive_packet(context_.get(), packet_.get());
        if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) return;
        if (received < 0) fail(received);
        sink_(packet_.get());
        av_packet_unref(packet_.get());
    }
}

}  // namespace morvale::ffmpeg
