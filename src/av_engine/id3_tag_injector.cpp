#include "av_engine/id3_tag_injector.h"

#include "av_engine/aac_encoder.h"
#include "av_engine/ffmpeg_handles.h"
#include "av_engine/ffmpeg_log.h"
#include "av_engine/pcm_stream.h"
#include "base/atomic_file_writer.h"
#include "base/cancellation.h"
#include "base/utf8.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace morvale {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void taggingFailed() { throw ID3TagInjector::TagError(ID3TagInjector::TagError::Kind::taggingFailed); }

bool readExactly(int fd, char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::read(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Opens a cover candidate without blocking on a FIFO and confirms it is a regular file of bounded size.
int openRegularFile(const fs::path& file, std::uintmax_t maxBytes) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return -1;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || static_cast<std::uintmax_t>(info.st_size) > maxBytes) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string readWhole(const fs::path& file, std::uintmax_t maxBytes) {
    const UniqueFd fd(openRegularFile(file, maxBytes));
    if (fd.get() < 0) return {};
    std::string bytes;
    std::array<char, 65536> buffer;
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return {};
        if (n == 0) break;
        bytes.append(buffer.data(), static_cast<std::size_t>(n));
        if (bytes.size() > maxBytes) return {};
    }
    return bytes;
}

void appendBigEndian32(std::string& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((value >> shift) & 0xFF));
}

void appendUTF16LE(std::string& out, char32_t c) {
    const auto unit = [&out](std::uint32_t u) {
        out.push_back(static_cast<char>(u & 0xFF));
        out.push_back(static_cast<char>(u >> 8));
    };
    if (c < 0x10000) {
        unit(c);
    } else {
        const std::uint32_t v = c - 0x10000;
        unit(0xD800 + (v >> 10));
        unit(0xDC00 + (v & 0x3FF));
    }
}

// An ID3v2.3 COMM frame: language "eng", empty description. ID3v2.3 has no UTF-8, so anything beyond
// ASCII goes as UTF-16 with a byte-order mark.
std::string commentFrame(const std::string& notes) {
    const std::string text = utf8::sanitized(notes);
    const bool ascii = std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    std::string body;
    if (ascii) {
        body.append("\0eng\0", 5);
        body += text;
    } else {
        body.append("\x01" "eng" "\xFF\xFE\0\0" "\xFF\xFE", 10);
        utf8::forEachCodePoint(text, [&body](char32_t c) { appendUTF16LE(body, c); });
    }
    std::string frame = "COMM";
    appendBigEndian32(frame, static_cast<std::uint32_t>(body.size()));
    frame.append("\0\0", 2);
    return frame + body;
}

// FFmpeg writes show notes as TXXX:comment, which players do not show, and leaves no room to add a frame
// in place; so copy the file into `out` with a COMM frame added to its ID3v2.3 tag.
void copyWithComment(const fs::path& tagged, AtomicFileWriter& out, const std::string& notes) {
    const UniqueFd in(::open(tagged.c_str(), O_RDONLY | O_CLOEXEC));
    std::array<char, 10> header{};
    if (in.get() < 0 || !readExactly(in.get(), header.data(), header.size())) taggingFailed();
    const auto byte = [&header](std::size_t i) { return static_cast<unsigned char>(header[i]); };
    // Version 2.3 without unsynchronisation or an extended header: what "-id3v2_version 3" writes.
    if (std::memcmp(header.data(), "ID3", 3) != 0 || byte(3) != 3 || (byte(5) & 0xC0) != 0) taggingFailed();
    std::uint32_t size = 0;
    for (std::size_t i = 6; i < 10; ++i) {
        if (byte(i) & 0x80) taggingFailed();
        size = (size << 7) | byte(i);
    }
    std::string body(size, '\0');
    if (!readExactly(in.get(), body.data(), body.size())) taggingFailed();

    std::size_t framesEnd = 0;
    bool hasComment = false;
    while (framesEnd + 10 <= body.size() && body[framesEnd] != '\0') {
        std::uint32_t frameSize = 0;
        for (std::size_t i = 4; i < 8; ++i) frameSize = (frameSize << 8) | static_cast<unsigned char>(body[framesEnd + i]);
        hasComment = hasComment || body.compare(framesEnd, 4, "COMM") == 0;
        if (frameSize > body.size() - framesEnd - 10) taggingFailed();
        framesEnd += 10 + frameSize;
    }
    if (!hasComment) body.insert(framesEnd, commentFrame(notes));
    if (body.size() >= (std::size_t{1} << 28)) taggingFailed();
    for (std::size_t i = 0; i < 4; ++i) header[9 - i] = static_cast<char>((body.size() >> (7 * i)) & 0x7F);
    out.write(std::string_view(header.data(), header.size()));
    out.write(body);

    // The audio after the tag, copied by the kernel where it can.
    for (;;) {
        const ssize_t n = ::copy_file_range(in.get(), nullptr, out.fd(), nullptr, std::size_t{1} << 30, 0);
        if (n > 0) continue;
        if (n == 0) return;
        if (errno == EINTR) continue;
        break;
    }
    std::array<char, 1 << 16> buffer;
    for (;;) {
        const ssize_t n = ::read(in.get(), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) taggingFailed();
        if (n == 0) return;
        out.write(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
    }
}

std::optional<ID3TagInjector::CoverType> typeOfContent(std::string_view magic) {
    if (magic.starts_with("\x89PNG\r\n\x1A\n")) return ID3TagInjector::CoverType::png;
    if (magic.starts_with("\xFF\xD8\xFF")) return ID3TagInjector::CoverType::jpeg;
    return std::nullopt;
}

// Width and height from a PNG's IHDR or a JPEG's first frame header; the muxer wants them for the cover.
std::optional<std::pair<int, int>> pictureSize(std::string_view bytes, ID3TagInjector::CoverType type) {
    const auto at = [&bytes](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const auto be16 = [&at](std::size_t i) { return (at(i) << 8) | at(i + 1); };
    if (type == ID3TagInjector::CoverType::png) {
        if (bytes.size() < 24 || bytes.substr(12, 4) != "IHDR") return std::nullopt;
        const auto be32 = [&at](std::size_t i) { return (std::uint32_t{at(i)} << 24) | (std::uint32_t{at(i + 1)} << 16) | (std::uint32_t{at(i + 2)} << 8) | at(i + 3); };
        const std::uint32_t w = be32(16);
        const std::uint32_t h = be32(20);
        if (w == 0 || h == 0 || w > 65535 || h > 65535) return std::nullopt;
        return std::pair<int, int>{static_cast<int>(w), static_cast<int>(h)};
    }
    std::size_t i = 2;
    while (i + 4 <= bytes.size()) {
        if (at(i) != 0xFF) return std::nullopt;
        const int marker = at(i + 1);
        if (marker == 0xFF) {
            ++i;
            continue;
        }
        const std::size_t length = static_cast<std::size_t>(be16(i + 2));
        const bool frameHeader = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frameHeader) {
            if (i + 9 > bytes.size()) return std::nullopt;
            const int h = be16(i + 5);
            const int w = be16(i + 7);
            if (w == 0 || h == 0) return std::nullopt;
            return std::pair<int, int>{w, h};
        }
        if (length < 2) return std::nullopt;
        i += 2 + length;
    }
    return std::nullopt;
}

}  // namespace

ID3TagInjector::TagError::TagError(Kind kind)
    : std::runtime_error(kind == Kind::exportSessionUnavailable
                             ? "The M4A writer (libavformat with the AAC encoder) is not available for metadata injection."
                             : "Failed to inject metadata tags into audio container."),
      kind_(kind) {}

std::optional<ID3TagInjector::CoverType> ID3TagInjector::coverType(const fs::path& file) {
    const UniqueFd fd(openRegularFile(file, maxCoverBytes));
    std::array<char, 8> magic{};
    if (fd.get() < 0 || !readExactly(fd.get(), magic.data(), magic.size())) return std::nullopt;
    return typeOfContent(std::string_view(magic.data(), magic.size()));
}

std::vector<std::string> ID3TagInjector::ffmpegArguments(const PodcastMetadata& metadata, const fs::path& source,
                                                         const fs::path& output, const std::optional<fs::path>& cover,
                                                         const std::optional<fs::path>& chaptersFile) {
    std::vector<std::string> args{"-y", "-i", FFmpegRunner::pathArgument(source)};
    int nextInput = 1;
    if (cover) {
        args.insert(args.end(), {"-i", FFmpegRunner::pathArgument(*cover)});
        ++nextInput;
    }
    if (chaptersFile) args.insert(args.end(), {"-f", "ffmetadata", "-i", FFmpegRunner::pathArgument(*chaptersFile)});
    args.insert(args.end(), {"-map", "0:a"});
    if (chaptersFile) args.insert(args.end(), {"-map_chapters", std::to_string(nextInput)});
    if (cover) args.insert(args.end(), {"-map", "1:0", "-c:v", "copy", "-disposition:v:0", "attached_pic"});
    args.insert(args.end(), {"-c:a", "copy", "-metadata:s:v", "title=Album cover", "-metadata:s:v", "comment=Cover (front)",
                             "-id3v2_version", "3", "-metadata", "title=" + metadata.title, "-metadata",
                             "artist=" + metadata.artist, "-metadata", "album=" + metadata.podcastName, "-metadata",
                             "comment=" + metadata.showNotes});
    if (metadata.releaseYear) args.insert(args.end(), {"-metadata", "date=" + std::to_string(*metadata.releaseYear)});
    if (metadata.episodeNumber) args.insert(args.end(), {"-metadata", "track=" + std::to_string(*metadata.episodeNumber)});
    args.push_back(FFmpegRunner::pathArgument(output));
    return args;
}

void ID3TagInjector::inject(const PodcastMetadata& metadata, const fs::path& source, const fs::path& destination,
                            const std::optional<fs::path>& chaptersFile, const LogSink& onLog, std::stop_token stop) const {
    std::optional<fs::path> cover;
    if (metadata.artworkURL) {
        std::error_code ec;
        if (coverType(*metadata.artworkURL)) {
            cover = metadata.artworkURL;
        } else if (onLog && fs::exists(*metadata.artworkURL, ec)) {
            // A cover that is simply not there (moved, not chosen on this machine) is not worth a line;
            // one that is there but unusable is.
            onLog("Cover art left out: " + metadata.artworkURL->filename().string() + " is not a PNG or JPEG image.");
        }
    }
    if (runner_->isFFmpegAvailable()) {
        injectWithFFmpeg(metadata, cover, source, destination, chaptersFile, stop);
    } else {
        injectAsM4A(metadata, cover, source, destination, onLog, stop);
    }
}

void ID3TagInjector::injectWithFFmpeg(const PodcastMetadata& metadata, const std::optional<fs::path>& cover,
                                      const fs::path& source, const fs::path& destination,
                                      const std::optional<fs::path>& chaptersFile, std::stop_token stop) const {
    // FFmpeg picks the muxer from the name, which the temporary keeps from the destination.
    AtomicFileWriter staged(destination);
    runner_->execute(ffmpegArguments(metadata, source, staged.temporaryPath(), cover, chaptersFile), ffmpegTimeLimit, {}, stop);
    if (metadata.showNotes.empty()) {
        staged.commit();
        return;
    }
    AtomicFileWriter final(destination);
    copyWithComment(staged.temporaryPath(), final, metadata.showNotes);
    throwIfStopRequested(stop);
    final.commit();
}

void ID3TagInjector::injectAsM4A(const PodcastMetadata& metadata, const std::optional<fs::path>& cover,
                                 const fs::path& source, const fs::path& destination, const LogSink& onLog,
                                 std::stop_token stop) {
    const ffmpeg::LogScope logScope(onLog);
    const PCMStream::Format format = PCMStream::format(source, onLog, stop);
    const int channels = std::clamp(format.channels, 1, 2);
    const double rate = ffmpeg::AACEncoder::supportsSampleRate(format.sampleRate) ? format.sampleRate : 44100.0;

    AtomicFileWriter out(destination);
    AVFormatContext* rawMuxer = nullptr;
    if (avformat_alloc_output_context2(&rawMuxer, nullptr, "ipod", out.temporaryPath().c_str()) < 0 || !rawMuxer) {
        throw TagError(TagError::Kind::exportSessionUnavailable);
    }
    const ffmpeg::OutputContext muxer(rawMuxer);
    AVStream* audio = avformat_new_stream(muxer.get(), nullptr);
    if (!audio) throw std::bad_alloc();
    std::optional<ffmpeg::AACEncoder> encoder;
    try {
        encoder.emplace(static_cast<int>(rate), channels, 192000, (muxer->oformat->flags & AVFMT_GLOBALHEADER) != 0,
                        [&muxer, audio, rate](AVPacket* packet) {
                            av_packet_rescale_ts(packet, AVRational{1, static_cast<int>(rate)}, audio->time_base);
                            packet->stream_index = audio->index;
                            if (av_write_frame(muxer.get(), packet) < 0) taggingFailed();
                        });
    } catch (const std::runtime_error&) {
        throw TagError(TagError::Kind::exportSessionUnavailable);
    }
    if (avcodec_parameters_from_context(audio->codecpar, encoder->context()) < 0) taggingFailed();
    audio->time_base = encoder->context()->time_base;

    // Typed by what the bytes are, not by the name.
    const std::string coverBytes = cover ? readWhole(*cover, maxCoverBytes) : std::string();
    AVStream* picture = nullptr;
    const auto type = typeOfContent(coverBytes);
    const auto size = type ? pictureSize(coverBytes, *type) : std::nullopt;
    if (size) {
        picture = avformat_new_stream(muxer.get(), nullptr);
        if (!picture) taggingFailed();
        picture->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
        picture->codecpar->codec_id = *type == CoverType::png ? AV_CODEC_ID_PNG : AV_CODEC_ID_MJPEG;
        picture->codecpar->width = size->first;
        picture->codecpar->height = size->second;
        picture->disposition = AV_DISPOSITION_ATTACHED_PIC;
    } else if (cover && onLog) {
        onLog("Cover art left out: " + cover->filename().string() + " is not a PNG or JPEG image.");
    }

    const auto tag = [&](const char* key, const std::string& value) { av_dict_set(&muxer->metadata, key, value.c_str(), 0); };
    tag("title", metadata.title);
    tag("artist", metadata.artist);
    tag("album", metadata.podcastName);
    tag("description", metadata.showNotes);
    tag("comment", metadata.showNotes);
    if (metadata.releaseYear) tag("date", std::to_string(*metadata.releaseYear));
    if (metadata.episodeNumber) tag("track", std::to_string(*metadata.episodeNumber));

    if (avio_open(&muxer->pb, out.temporaryPath().c_str(), AVIO_FLAG_WRITE) < 0) taggingFailed();
    AVDictionary* muxOptions = nullptr;
    av_dict_set(&muxOptions, "movflags", "+faststart", 0);
    const int header = avformat_write_header(muxer.get(), &muxOptions);
    av_dict_free(&muxOptions);
    if (header < 0) taggingFailed();
    if (picture) {
        const ffmpeg::Packet packet(av_packet_alloc());
        if (!packet || av_new_packet(packet.get(), static_cast<int>(coverBytes.size())) < 0) throw std::bad_alloc();
        std::memcpy(packet->data, coverBytes.data(), coverBytes.size());
        packet->stream_index = picture->index;
        packet->flags |= AV_PKT_FLAG_KEY;
        packet->pts = 0;
        packet->dts = 0;
        if (av_write_frame(muxer.get(), packet.get()) < 0) taggingFailed();
    }

    PCMStream::read(source, rate == format.sampleRate ? std::nullopt : std::optional<double>(rate), channels, std::nullopt,
                    [&](std::span<const float> samples, std::int64_t) {
                        throwIfStopRequested(stop);
                        encoder->append(samples);
                    },
                    onLog, stop);
    encoder->finish();
    if (av_write_trailer(muxer.get()) < 0 || avio_closep(&muxer->pb) < 0) taggingFailed();
    throwIfStopRequested(stop);
    out.commit();
}

}  // namespace morvale
