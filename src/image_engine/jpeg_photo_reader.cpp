#include "image_engine/jpeg_photo_reader.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>

#include <jpeglib.h>
#include <jerror.h>

namespace morvale {

namespace {

struct ErrorManager {
    jpeg_error_mgr base;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
    bool cutShort;
};

void failJpeg(j_common_ptr info) {
    auto* errors = reinterpret_cast<ErrorManager*>(info->err);
    (*info->err->format_message)(info, errors->message);
    std::longjmp(errors->jump, 1);
}

// Warnings are mostly harmless oddities of real files; data that ends early is not.
void noteMessage(j_common_ptr info, int level) {
    auto* errors = reinterpret_cast<ErrorManager*>(info->err);
    if (level < 0 && info->err->msg_code == JWRN_JPEG_EOF) errors->cutShort = true;
}

// Only plain C state lives between setjmp and the decoder's longjmp; the output belongs to the
// caller and is reached through a pointer.
bool decode(std::FILE* file, JpegPhotoReader::Decoded* out, char* message) {
    jpeg_decompress_struct info;
    ErrorManager errors;
    info.err = jpeg_std_error(&errors.base);
    errors.base.error_exit = failJpeg;
    errors.base.emit_message = noteMessage;
    errors.message[0] = '\0';
    errors.cutShort = false;
    if (setjmp(errors.jump) != 0) {
        std::memcpy(message, errors.message, JMSG_LENGTH_MAX);
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_stdio_src(&info, file);
    jpeg_save_markers(&info, JPEG_APP0 + 2, 0xFFFF);
    jpeg_read_header(&info, TRUE);
    JOCTET* icc = nullptr;
    unsigned int iccSize = 0;
    if (jpeg_read_icc_profile(&info, &icc, &iccSize) && icc != nullptr) {
        out->profile.assign(icc, icc + iccSize);
    }
    std::free(icc);
    out->cmyk = info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK;
    out->inverted = out->cmyk && info.saw_Adobe_marker != 0;
    info.out_color_space = out->cmyk ? JCS_CMYK : JCS_EXT_RGBA;
    jpeg_start_decompress(&info);
    PackedTexture& pixels = out->pixels;
    pixels.width = static_cast<int>(info.output_width);
    pixels.height = static_cast<int>(info.output_height);
    const std::size_t rowBytes = static_cast<std::size_t>(info.output_width) * 4;
    pixels.rgba.resize(rowBytes * info.output_height);
    while (info.output_scanline < info.output_height) {
        JSAMPROW rows[8];
        const JDIMENSION count = std::min<JDIMENSION>(8, info.output_height - info.output_scanline);
        for (JDIMENSION i = 0; i < count; ++i) rows[i] = pixels.rgba.data() + rowBytes * (info.output_scanline + i);
        jpeg_read_scanlines(&info, rows, count);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    if (errors.cutShort) {
        std::strncpy(message, "the file is cut short", JMSG_LENGTH_MAX - 1);
        return false;
    }
    return true;
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

std::optional<JpegPhotoReader::Decoded> JpegPhotoReader::read(const std::filesystem::path& file) {
    const std::unique_ptr<std::FILE, FileCloser> handle(std::fopen(file.c_str(), "rbe"));
    if (!handle) return std::nullopt;
    unsigned char magic[3] = {};
    if (std::fread(magic, 1, 3, handle.get()) != 3 || magic[0] != 0xFF || magic[1] != 0xD8 || magic[2] != 0xFF) {
        return std::nullopt;
    }
    std::rewind(handle.get());
    Decoded decoded;
    char message[JMSG_LENGTH_MAX] = {};
    if (decode(handle.get(), &decoded, message)) return decoded;
    throw std::runtime_error(message[0] != '\0' ? message : "the data cannot be decoded");
}

}  // namespace morvale
