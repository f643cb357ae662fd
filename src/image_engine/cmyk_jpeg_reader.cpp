#include "image_engine/cmyk_jpeg_reader.h"

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

enum class Outcome { notCmyk, decoded, failed };

// Only plain C state lives between setjmp and the decoder's longjmp; the output buffers belong to
// the caller and are reached through a pointer.
Outcome decode(std::FILE* file, CmykJpegReader::Samples* out, char* message) {
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
        return Outcome::failed;
    }
    jpeg_create_decompress(&info);
    jpeg_stdio_src(&info, file);
    jpeg_save_markers(&info, JPEG_APP0 + 2, 0xFFFF);
    jpeg_read_header(&info, TRUE);
    if (info.jpeg_color_space != JCS_CMYK && info.jpeg_color_space != JCS_YCCK) {
        jpeg_destroy_decompress(&info);
        return Outcome::notCmyk;
    }
    JOCTET* icc = nullptr;
    unsigned int iccSize = 0;
    if (jpeg_read_icc_profile(&info, &icc, &iccSize) && icc != nullptr) {
        out->profile.assign(icc, icc + iccSize);
    }
    std::free(icc);
    out->inverted = info.saw_Adobe_marker != 0;
    info.out_color_space = JCS_CMYK;
    jpeg_start_decompress(&info);
    out->width = static_cast<int>(info.output_width);
    out->height = static_cast<int>(info.output_height);
    const std::size_t rowBytes = static_cast<std::size_t>(info.output_width) * 4;
    out->cmyk.resize(rowBytes * info.output_height);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = out->cmyk.data() + rowBytes * info.output_scanline;
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    if (errors.cutShort) {
        std::strncpy(message, "the file is cut short", JMSG_LENGTH_MAX - 1);
        return Outcome::failed;
    }
    return Outcome::decoded;
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

std::optional<CmykJpegReader::Samples> CmykJpegReader::read(const std::filesystem::path& file) {
    const std::unique_ptr<std::FILE, FileCloser> handle(std::fopen(file.c_str(), "rbe"));
    if (!handle) return std::nullopt;
    unsigned char magic[2] = {};
    if (std::fread(magic, 1, 2, handle.get()) != 2 || magic[0] != 0xFF || magic[1] != 0xD8) return std::nullopt;
    std::rewind(handle.get());
    Samples samples;
    char message[JMSG_LENGTH_MAX] = {};
    switch (decode(handle.get(), &samples, message)) {
        case Outcome::notCmyk: return std::nullopt;
        case Outcome::decoded: return samples;
        case Outcome::failed: break;
    }
    throw std::runtime_error(message[0] != '\0' ? message : "the CMYK data cannot be decoded");
}

}  // namespace morvale
