#include "image_engine/image_output_file.h"

#include <OpenImageIO/filesystem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

namespace morvale {

namespace {

// Positional reads and writes on the temporary file's descriptor that keep the first system error.
class DescriptorProxy final : public OIIO::Filesystem::IOProxy {
public:
    DescriptorProxy(const AtomicFileWriter& file)
        : IOProxy(file.temporaryPath().string(), Write), fd_(file.fd()) {}

    const char* proxytype() const override { return "descriptor"; }
    std::error_code failure() const { return failure_; }

    std::size_t write(const void* buffer, std::size_t size) override {
        const std::size_t written = pwrite(buffer, size, m_pos);
        m_pos += static_cast<std::int64_t>(written);
        return written;
    }
    std::size_t read(void* buffer, std::size_t size) override {
        const std::size_t got = pread(buffer, size, m_pos);
        m_pos += static_cast<std::int64_t>(got);
        return got;
    }
    std::size_t pwrite(const void* buffer, std::size_t size, std::int64_t offset) override {
        const auto* bytes = static_cast<const char*>(buffer);
        std::size_t done = 0;
        while (done < size) {
            const ssize_t n = ::pwrite(fd_, bytes + done, size - done, static_cast<off_t>(offset) + static_cast<off_t>(done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                if (!failure_) failure_ = n < 0 ? std::error_code(errno, std::generic_category())
                                                : std::make_error_code(std::errc::io_error);
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        return done;
    }
    std::size_t pread(void* buffer, std::size_t size, std::int64_t offset) override {
        auto* bytes = static_cast<char*>(buffer);
        std::size_t done = 0;
        while (done < size) {
            const ssize_t n = ::pread(fd_, bytes + done, size - done, static_cast<off_t>(offset) + static_cast<off_t>(done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        return done;
    }
    std::size_t size() const override {
        struct stat info {};
        return ::fstat(fd_, &info) == 0 ? static_cast<std::size_t>(info.st_size) : 0;
    }

private:
    int fd_;
    std::error_code failure_;
};

}  // namespace

void ImageOutputFile::encode(AtomicFileWriter& output, const char* format, const OIIO::ImageSpec& spec,
                             const void* pixels) {
    const std::string name = output.destination().filename().string();
    auto writer = OIIO::ImageOutput::create(format);
    if (!writer) throw std::runtime_error("Cannot write " + name + ": no " + std::string(format) + " encoder");
    DescriptorProxy proxy(output);
    // Only the encoders that write front to back: the TIFF writer's seeks do not survive a proxy.
    const std::string_view encoder(format);
    const bool streams = encoder == "png" || encoder == "jpeg";
    const bool proxied = streams && writer->supports("ioproxy") != 0 && writer->set_ioproxy(&proxy);
    const bool written = writer->open(output.temporaryPath().string(), spec) &&
                         writer->write_image(OIIO::TypeDesc::UINT8, pixels) && writer->close();
    if (proxy.failure()) throw AtomicWriteError(output.destination(), proxy.failure());
    if (!written) {
        std::string reason = writer->geterror();
        if (const auto newline = reason.find('\n'); newline != std::string::npos) reason.resize(newline);
        if (!proxied) {
            // An encoder that opened the file itself: what the file system says about the folder
            // is the likelier cause than its own words.
            if (::access(output.temporaryPath().c_str(), W_OK) != 0) {
                throw AtomicWriteError(output.destination(), std::error_code(errno, std::generic_category()));
            }
        }
        throw std::runtime_error("Cannot write " + name + ": " + (reason.empty() ? "the encoder failed" : reason));
    }
}

}  // namespace morvale
