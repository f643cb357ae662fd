#include "av_engine/audiogram_frame_renderer.h"

#include "av_engine/ffmpeg_handles.h"
#include "av_engine/ffmpeg_log.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
}

#include <cairo.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

#include <sys/stat.h>

namespace morvale::audiogram {

namespace {

constexpr int kMaxSide = 16384;
constexpr std::int64_t kMaxPixels = std::int64_t{1} << 28;
constexpr int kBars = 41;
constexpr const char* kFont = "DejaVu Sans Bold";

// Premultiplied ARGB32 as Cairo wants it.
Picture blankPicture(int width, int height) {
    Picture p;
    p.width = width;
    p.height = height;
    p.stride = cairo_format_stride_for_width(CAIRO_FORMAT_ARGB32, width);
    p.pixels.assign(static_cast<std::size_t>(p.stride) * static_cast<std::size_t>(height), 0);
    return p;
}

ffmpeg::Frame decodeFirstPicture(const std::filesystem::path& file) {
    struct stat info {};
    // A FIFO or device would block or never end.
    if (::stat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return nullptr;
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, file.c_str(), nullptr, nullptr) < 0) return nullptr;
    const ffmpeg::FormatContext format(raw);
    const AVCodec* codec = nullptr;
    const int index = av_find_best_stream(format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
    if (index < 0 || !codec) return nullptr;
    const AVCodecParameters* parameters = format->streams[index]->codecpar;
    if (parameters->width > kMaxSide || parameters->height > kMaxSide) return nullptr;
    const ffmpeg::CodecContext decoder(avcodec_alloc_context3(codec));
    if (!decoder || avcodec_parameters_to_context(decoder.get(), parameters) < 0) return nullptr;
    // The decoder refuses larger pictures before it allocates them.
    av_opt_set_int(decoder.get(), "max_pixels", kMaxPixels, 0);
    decoder->thread_count = 1;
    if (avcodec_open2(decoder.get(), codec, nullptr) < 0) return nullptr;
    const ffmpeg::Packet packet(av_packet_alloc());
    ffmpeg::Frame frame(av_frame_alloc());
    if (!packet || !frame) return nullptr;
    for (int packets = 0; packets < 64; ++packets) {
        const int read = av_read_frame(format.get(), packet.get());
        if (read < 0) {
            avcodec_send_packet(decoder.get(), nullptr);
        } else if (packet->stream_index != index) {
            av_packet_unref(packet.get());
            continue;
        } else {
            avcodec_send_packet(decoder.get(), packet.get());
            av_packet_unref(packet.get());
        }
        const int got = avcodec_receive_frame(decoder.get(), frame.get());
        if (got == 0) return frame;
        if (got != AVERROR(EAGAIN) || read < 0) return nullptr;
    }
    return nullptr;
}

void roundedRectangle(cairo_t* cr, double x, double y, double w, double h, double r) {
    r = std::min({r, w / 2, h / 2});
    constexpr double q = std::numbers::pi / 2;
    cairo_new_sub_path(cr);
    cairo_arc(cr, x + w - r, y + r, r, -q, 0);
    cairo_arc(cr, x + w - r, y + h - r, r, 0, q);
    cairo_arc(cr, x + r, y + h - r, r, q, 2 * q);
    cairo_arc(cr, x + r, y + r, r, 2 * q, 3 * q);
    cairo_close_path(cr);
}

struct RGB {
    double r, g, b;
};

}  // namespace

std::optional<Picture> coverBackground(const std::filesystem::path& file, int width, int height) {
    // An unreadable picture is simply left out; the decoder's complaints have no listener.
    const ffmpeg::LogScope quiet({});
    ffmpeg::Frame frame = decodeFirstPicture(file);
    if (!frame || frame->width <= 0 || frame->height <= 0 || frame->width > kMaxSide || frame->height > kMaxSide ||
        std::int64_t{frame->width} * frame->height > kMaxPixels) {
        return std::nullopt;
    }
    // Aspect fill: the part of the picture that covers the frame once scaled, cut out before scaling so
    // a long thin picture never becomes a huge one.
    const double scale = std::max(static_cast<double>(width) / frame->width, static_cast<double>(height) / frame->height);
    const int cropWidth = std::clamp(static_cast<int>(std::lround(width / scale)), 1, frame->width);
    const int cropHeight = std::clamp(static_cast<int>(std::lround(height / scale)), 1, frame->height);
    frame->crop_left = static_cast<std::size_t>((frame->width - cropWidth) / 2);
    frame->crop_right = static_cast<std::size_t>(frame->width - cropWidth) - frame->crop_left;
    frame->crop_top = static_cast<std::size_t>((frame->height - cropHeight) / 2);
    frame->crop_bottom = static_cast<std::size_t>(frame->height - cropHeight) - frame->crop_top;
    if (av_frame_apply_cropping(frame.get(), AV_FRAME_CROP_UNALIGNED) < 0) return std::nullopt;
    const ffmpeg::Scaler scaler(sws_getContext(frame->width, frame->height, static_cast<AVPixelFormat>(frame->format), width,
                                               height, AV_PIX_FMT_BGRA, SWS_BICUBIC, nullptr, nullptr, nullptr));
    if (!scaler) return std::nullopt;
    Picture out = blankPicture(width, height);
    std::uint8_t* destination[4] = {out.pixels.data(), nullptr, nullptr, nullptr};
    int strides[4] = {out.stride, 0, 0, 0};
    if (sws_scale(scaler.get(), frame->data, frame->linesize, 0, frame->height, destination, strides) <= 0) return std::nullopt;
    // Straight alpha from swscale to Cairo's premultiplied form.
    for (int y = 0; y < height; ++y) {
        std::uint8_t* px = out.pixels.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(out.stride);
        for (int x = 0; x < width; ++x, px += 4) {
            const unsigned a = px[3];
            if (a == 255) continue;
            for (int c = 0; c < 3; ++c) px[c] = static_cast<std::uint8_t>((px[c] * a + 127) / 255);
        }
    }
    return out;
}

struct FrameRenderer::Impl {
    int width;
    int height;
    RGB color;
    std::vector<CaptionCue> cues;
    int fps;
    Picture base;
    Picture frame;
    cairo_surface_t* frameSurface = nullptr;
    cairo_t* cr = nullptr;
    PangoFontMap* fontMap = nullptr;
    PangoContext* pango = nullptr;
    PangoLayout* caption = nullptr;
    std::optional<AudiogramGenerator::CaptionState> shownCaption;
    double captionWidth = 0;  // laid-out text width
    double captionHeight = 0;  // rounded up
    std::vector<std::pair<int, int>> dirtyRows;  // [top, bottom) painted over the base last frame
    std::vector<std::pair<int, int>> changedRows;
    bool drawn = false;

    ~Impl() {
        if (caption) g_object_unref(caption);
        if (pango) g_object_unref(pango);
        if (fontMap) g_object_unref(fontMap);
        if (cr) cairo_destroy(cr);
        if (frameSurface) cairo_surface_destroy(frameSurface);
    }

    PangoLayout* layout(double fontSize, double boxWidth) const {
        PangoLayout* l = pango_layout_new(pango);
        PangoFontDescription* font = pango_font_description_from_string(kFont);
        pango_font_description_set_absolute_size(font, fontSize * PANGO_SCALE);
        pango_layout_set_font_description(l, font);
        pango_font_description_free(font);
        pango_layout_set_width(l, static_cast<int>(boxWidth * PANGO_SCALE));
        pango_layout_set_wrap(l, PANGO_WRAP_WORD_CHAR);
        pango_layout_set_alignment(l, PANGO_ALIGN_CENTER);
        return l;
    }

    void markDirty(double top, double bottom) {
        const int y0 = std::clamp(static_cast<int>(std::floor(top)) - 2, 0, height);
        const int y1 = std::clamp(static_cast<int>(std::ceil(bottom)) + 2, 0, height);
        if (y1 > y0) dirtyRows.emplace_back(y0, y1);
    }

    void paintBase(const std::optional<Picture>& background, const std::optional<std::string>& title) {
        cairo_surface_t* surface = cairo_image_surface_create_for_data(base.pixels.data(), CAIRO_FORMAT_ARGB32, width, height,
                                                                       base.stride);
        cairo_t* c = cairo_create(surface);
        cairo_set_source_rgb(c, 17 / 255.0, 17 / 255.0, 22 / 255.0);
        cairo_paint(c);
        if (background && background->width == width && background->height == height) {
            cairo_surface_t* picture = cairo_image_surface_create_for_data(
                const_cast<std::uint8_t*>(background->pixels.data()), CAIRO_FORMAT_ARGB32, width, height, background->stride);
            cairo_set_source_surface(c, picture, 0, 0);
            cairo_paint(c);
            cairo_surface_destroy(picture);
            cairo_set_source_rgba(c, 0, 0, 0, 0.45);
            cairo_paint(c);
        }
        if (title && !title->empty()) {
            const double m = std::min(width, height);
            PangoLayout* l = layout(0.05 * m, 0.84 * width);
            pango_layout_set_text(l, title->c_str(), -1);
            PangoRectangle logical{};
            pango_layout_get_extents(l, nullptr, &logical);
            const double h = std::ceil(static_cast<double>(logical.height) / PANGO_SCALE);
            // Centred on 0.86 of the height from the bottom.
            cairo_move_to(c, 0.08 * width, 0.14 * height - h / 2);
            cairo_set_source_rgba(c, 1, 1, 1, 0.95);
            pango_cairo_show_layout(c, l);
            g_object_unref(l);
        }
        cairo_destroy(c);
        cairo_surface_flush(surface);
        cairo_surface_destroy(surface);
    }

    void layOutCaption(const AudiogramGenerator::CaptionState& state) {
        const CaptionCue& cue = cues[state.cue];
        std::string text;
        PangoAttrList* attributes = pango_attr_list_new();
        for (std::size_t i = 0; i < cue.words.size(); ++i) {
            const auto start = static_cast<guint>(text.size());
            text += cue.words[i].text;
            const auto end = static_cast<guint>(text.size());
            if (i + 1 < cue.words.size()) text += ' ';
            const bool current = i == state.word;
            const RGB rgb = current ? color : RGB{1, 1, 1};
            const double alpha = i > state.word ? 0.7 : 1.0;
            PangoAttribute* fg = pango_attr_foreground_new(static_cast<guint16>(std::lround(rgb.r * 65535)),
                                                           static_cast<guint16>(std::lround(rgb.g * 65535)),
                                                           static_cast<guint16>(std::lround(rgb.b * 65535)));
            PangoAttribute* fa = pango_attr_foreground_alpha_new(static_cast<guint16>(std::lround(alpha * 65535)));
            for (PangoAttribute* a : {fg, fa}) {
                a->start_index = start;
                a->end_index = end;
                pango_attr_list_insert(attributes, a);
            }
        }
        // Plain text with attributes: a word such as "<3" or "&" is shown as typed.
        pango_layout_set_text(caption, text.c_str(), static_cast<int>(text.size()));
        pango_layout_set_attributes(caption, attributes);
        pango_attr_list_unref(attributes);
        PangoRectangle logical{};
        pango_layout_get_extents(caption, nullptr, &logical);
        captionWidth = static_cast<double>(logical.width) / PANGO_SCALE;
        captionHeight = std::ceil(static_cast<double>(logical.height) / PANGO_SCALE);
        shownCaption = state;
    }

    void drawBars(const std::vector<float>& envelope, std::int64_t index) {
        const double w = width;
        const double h = height;
        const double gap = 0.006 * w;
        const double bar = (0.86 * w - (kBars - 1) * gap) / kBars;
        const bool withCaptions = !cues.empty();
        const double maxHeight = (withCaptions ? 0.24 : 0.30) * h;
        const double centre = (withCaptions ? 0.44 : 0.5) * h;  // 0.56 or 0.5 of the height from the bottom
        cairo_new_path(cr);
        for (int i = 0; i < kBars; ++i) {
            const int d = std::abs(i - kBars / 2);
            const std::int64_t at = index - 2 * d;
            double level = 0;
            if (at < 0) {
                level = envelope.empty() ? 0.0 : envelope.front();
            } else if (static_cast<std::size_t>(at) < envelope.size()) {
                level = envelope[static_cast<std::size_t>(at)];
            }
            const double barHeight = std::max(bar, (1.0 - d / 41.0) * level * maxHeight);
            roundedRectangle(cr, 0.07 * w + i * (bar + gap), centre - barHeight / 2, bar, barHeight, bar / 2);
        }
        cairo_set_fill_rule(cr, CAIRO_FILL_RULE_WINDING);
        cairo_set_source_rgb(cr, color.r, color.g, color.b);
        cairo_fill(cr);
        markDirty(centre - maxHeight / 2 - bar, centre + maxHeight / 2 + bar);
    }

    void drawCaption(std::int64_t index) {
        const auto state = AudiogramGenerator::captionAt(cues, index, fps);
        if (!state) return;
        if (state != shownCaption) layOutCaption(*state);
        const double w = width;
        const double f = 0.062 * std::min(width, height);
        const double p = 0.35 * f;
        const double top = 0.76 * height - captionHeight / 2;  // centred on 0.24 of the height from the bottom
        cairo_new_path(cr);
        roundedRectangle(cr, 0.5 * w - captionWidth / 2 - p, top - 0.6 * p, captionWidth + 2 * p, captionHeight + 1.2 * p, p);
        cairo_set_source_rgba(cr, 0, 0, 0, 0.55);
        cairo_fill(cr);
        cairo_move_to(cr, 0.09 * w, top);
        pango_cairo_show_layout(cr, caption);
        markDirty(top - 0.6 * p, top + captionHeight + 0.6 * p);
    }

    void drawProgress(std::int64_t index, std::int64_t total) {
        const double w = width;
        const double top = 0.92 * height - 6;  // bottom edge at 0.08 of the height
        cairo_new_path(cr);
        cairo_rectangle(cr, 0.07 * w, top, 0.86 * w, 6);
        cairo_set_source_rgba(cr, 1, 1, 1, 0.18);
        cairo_fill(cr);
        const double share = static_cast<double>(index + 1) / static_cast<double>(std::max<std::int64_t>(1, total));
        cairo_rectangle(cr, 0.07 * w, top, 0.86 * w * std::min(1.0, share), 6);
        cairo_set_source_rgb(cr, color.r, color.g, color.b);
        cairo_fill(cr);
        markDirty(top, top + 6);
    }
};

FrameRenderer::FrameRenderer(int width, int height, std::uint32_t rgb, const std::optional<Picture>& background,
                             std::vector<CaptionCue> cues, const std::optional<std::string>& title, int fps)
    : impl_(std::make_unique<Impl>()) {
    Impl& s = *impl_;
    s.width = width;
    s.height = height;
    s.color = RGB{((rgb >> 16) & 0xFF) / 255.0, ((rgb >> 8) & 0xFF) / 255.0, (rgb & 0xFF) / 255.0};
    s.cues = std::move(cues);
    s.fps = fps;
    // A font map of our own: Pango's default one belongs to a thread, and calls may run on any.
    s.fontMap = pango_cairo_font_map_new();
    s.pango = pango_font_map_create_context(s.fontMap);
    s.base = blankPicture(width, height);
    s.paintBase(background, title);
    s.frame = s.base;
    s.frameSurface = cairo_image_surface_create_for_data(s.frame.pixels.data(), CAIRO_FORMAT_ARGB32, width, height, s.frame.stride);
    s.cr = cairo_create(s.frameSurface);
    pango_cairo_update_context(s.cr, s.pango);
    s.caption = s.layout(0.062 * std::min(width, height), 0.82 * width);
}

FrameRenderer::~FrameRenderer() = default;

const Picture& FrameRenderer::draw(const std::vector<float>& envelope, std::int64_t frame, std::int64_t totalFrames) {
    Impl& s = *impl_;
    cairo_surface_flush(s.frameSurface);
    const auto stride = static_cast<std::size_t>(s.frame.stride);
    s.changedRows = s.drawn ? s.dirtyRows : std::vector<std::pair<int, int>>{{0, s.height}};
    s.drawn = true;
    for (const auto& [top, bottom] : s.dirtyRows) {
        const std::size_t offset = static_cast<std::size_t>(top) * stride;
        std::memcpy(s.frame.pixels.data() + offset, s.base.pixels.data() + offset, static_cast<std::size_t>(bottom - top) * stride);
    }
    s.dirtyRows.clear();
    cairo_surface_mark_dirty(s.frameSurface);
    s.drawBars(envelope, frame);
    if (!s.cues.empty()) s.drawCaption(frame);
    s.drawProgress(frame, totalFrames);
    cairo_surface_flush(s.frameSurface);
    // Restored and newly painted rows mostly coincide: merge them so each row is converted once.
    s.changedRows.insert(s.changedRows.end(), s.dirtyRows.begin(), s.dirtyRows.end());
    std::sort(s.changedRows.begin(), s.changedRows.end());
    std::vector<std::pair<int, int>> merged;
    for (const auto& range : s.changedRows) {
        if (!merged.empty() && range.first <= merged.back().second) {
            merged.back().second = std::max(merged.back().second, range.second);
        } else {
            merged.push_back(range);
        }
    }
    s.changedRows = std::move(merged);
    return s.frame;
}

const std::vector<std::pair<int, int>>& FrameRenderer::changedRows() const { return impl_->changedRows; }

}  // namespace morvale::audiogram
