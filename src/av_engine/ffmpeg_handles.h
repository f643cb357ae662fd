#pragma once

// One owner per FFmpeg C handle, so every early exit (errors thrown mid-decode included) frees them.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <memory>

namespace morvale::ffmpeg {

struct FormatContextCloser {
    void operator()(AVFormatContext* ctx) const noexcept { avformat_close_input(&ctx); }
};
struct CodecContextFreer {
    void operator()(AVCodecContext* ctx) const noexcept { avcodec_free_context(&ctx); }
};
struct FrameFreer {
    void operator()(AVFrame* frame) const noexcept { av_frame_free(&frame); }
};
struct PacketFreer {
    void operator()(AVPacket* packet) const noexcept { av_packet_free(&packet); }
};
struct ResamplerFreer {
    void operator()(SwrContext* ctx) const noexcept { swr_free(&ctx); }
};
struct ChannelLayoutOwner {
    void operator()(AVChannelLayout* layout) const noexcept {
        av_channel_layout_uninit(layout);
        delete layout;
    }
};

struct ScalerFreer {
    void operator()(SwsContext* ctx) const noexcept { sws_freeContext(ctx); }
};
struct IOContextCloser {
    void operator()(AVIOContext* io) const noexcept { avio_closep(&io); }
};
// A muxer's context: closes the file it opened, if any, then frees the context.
struct OutputContextFreer {
    void operator()(AVFormatContext* ctx) const noexcept {
        if (ctx->pb != nullptr && (ctx->oformat == nullptr || (ctx->oformat->flags & AVFMT_NOFILE) == 0)) avio_closep(&ctx->pb);
        avformat_free_context(ctx);
    }
};

using FormatContext = std::unique_ptr<AVFormatContext, FormatContextCloser>;
using CodecContext = std::unique_ptr<AVCodecContext, CodecContextFreer>;
using Frame = std::unique_ptr<AVFrame, FrameFreer>;
using Packet = std::unique_ptr<AVPacket, PacketFreer>;
using Resampler = std::unique_ptr<SwrContext, ResamplerFreer>;
using Scaler = std::unique_ptr<SwsContext, ScalerFreer>;
using IOContext = std::unique_ptr<AVIOContext, IOContextCloser>;
using OutputContext = std::unique_ptr<AVFormatContext, OutputContextFreer>;

}  // namespace morvale::ffmpeg
