#include "base/atomic_file_writer.h"

#include "base/temporary_file_name.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

namespace morvale {

namespace fs = std::filesystem;

namespace {

std::error_code lastError() { return {errno, std::generic_category()}; }

// The mode a new file would get from open(0666), i.e. 0666 less the umask. Read from /proc,
// since reading it with umask() would briefly change it for every thread of the process.
mode_t newFileMode() {
    mode_t mask = 022;
    if (std::FILE* status = std::fopen("/proc/self/status", "re")) {
        char line[256];
        while (std::fgets(line, sizeof line, status)) {
            unsigned value = 0;
            if (std::sscanf(line, "Umask: %o", &value) == 1) {
                mask = static_cast<mode_t>(value);
                break;
            }
        }
        std::fclose(status);
    }
    return static_cast<mode_t>(0666 & ~mask);
}

}  // namespace

AtomicWriteError::AtomicWriteError(const fs::path& path, std::error_code code)
    : fs::filesystem_error("Cannot write " + path.filename().string(), path, code),
      message_("Cannot write " + path.filename().string() + ": " + code.message()) {}

AtomicFileWriter::AtomicFileWriter(fs::path destination, Options options)
    : destination_(std::move(destination)), options_(options) {
    fs::path folder = destination_.parent_path();
    if (folder.empty()) folder = ".";
    if (options_.createFolders) {
        std::error_code error;
        fs::create_directories(folder, error);
        if (error) throw AtomicWriteError(destination_, error);
    }
    for (int attempt = 0; attempt < 8; ++attempt) {
        temporary_ = folder / TemporaryFileName::make(destination_);
        fd_ = ::open(temporary_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd_ >= 0) return;
        if (errno != EEXIST) break;
    }
    const auto error = lastError();
    temporary_.clear();
    throw AtomicWriteError(destination_, error);
}

AtomicFileWriter::~AtomicFileWriter() { discard(); }

void AtomicFileWriter::discard() noexcept {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (!done_ && !temporary_.empty()) {
        ::unlink(temporary_.c_str());
        done_ = true;
    }
}

void AtomicFileWriter::write(std::string_view bytes) {
    if (fd_ < 0) throw AtomicWriteError(destination_, std::make_error_code(std::errc::bad_file_descriptor));
    const char* data = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd_, data, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const auto error = n < 0 ? lastError() : std::make_error_code(std::errc::io_error);
            discard();
            throw AtomicWriteError(destination_, error);
        }
        data += n;
        left -= static_cast<std::size_t>(n);
    }
}

void AtomicFileWriter::commit() {
    if (done_ || temporary_.empty())
        throw AtomicWriteError(destination_, std::make_error_code(std::errc::bad_file_descriptor));
    const auto fail = [this](std::error_code error) {
        discard();
        throw AtomicWriteError(destination_, error);
    };
    // A library may have replaced the file at temporaryPath() rather than written into our
    // descriptor; sync and chmod whatever is at the path now.
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    fd_ = ::open(temporary_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd_ < 0) fail(lastError());
    struct stat existing {};
    const mode_t mode =
        ::stat(destination_.c_str(), &existing) == 0 ? (existing.st_mode & 07777) : newFileMode();
    if (::fchmod(fd_, mode) != 0) fail(lastError());
    if (options_.durable && ::fsync(fd_) != 0) fail(lastError());
    if (::close(fd_) != 0) {
        fd_ = -1;
        fail(lastError());
    }
    fd_ = -1;
    if (::rename(temporary_.c_str(), destination_.c_str()) != 0) fail(lastError());
    done_ = true;
}

void AtomicFileWriter::writeFile(const fs::path& destination, std::string_view bytes, Options options) {
    AtomicFileWriter writer(destination, options);
    writer.write(bytes);
    writer.commit();
}

}  // namespace morvale
