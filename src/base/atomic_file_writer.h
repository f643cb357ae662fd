#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

namespace morvale {

// A failed write of an output file. what() is "Cannot write <file name>: <the system's reason>";
// path() and code() carry the details for callers that phrase their own message. It is a
// filesystem_error, so code that handles the standard library's file errors handles it too.
class AtomicWriteError : public std::filesystem::filesystem_error {
public:
    AtomicWriteError(const std::filesystem::path& path, std::error_code code);
    const char* what() const noexcept override { return message_.what(); }
    const std::filesystem::path& path() const noexcept { return path1(); }

private:
    std::runtime_error message_;
};

// Writes one file so that a reader sees the old file or the whole new one, never a part.
//
// The constructor creates an empty temporary file in the destination's folder under a short
// unique name that keeps the destination's extension (encoders that pick a format by name agree),
// so any destination name the file system accepts can be written. The name carries the writing
// process (TemporaryFileName), so that what a killed process left can be found and removed later. Write through fd() or
// write(), or let a library write to temporaryPath(). commit() syncs the data, gives it the mode
// of the file it replaces (0666 less the umask for a new one), and renames it into place. A writer
// that is destroyed without a successful commit() removes its temporary file.
//
// Not thread-safe; one writer per output.
class AtomicFileWriter {
public:
    struct Options {
        bool createFolders = true;  // make the destination's missing parent folders
        bool durable = true;        // fsync before the rename
    };

    // Throws AtomicWriteError when the folder cannot be made or the temporary file created.
    explicit AtomicFileWriter(std::filesystem::path destination) : AtomicFileWriter(std::move(destination), Options{}) {}
    AtomicFileWriter(std::filesystem::path destination, Options options);
    ~AtomicFileWriter();
    AtomicFileWriter(const AtomicFileWriter&) = delete;
    AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

    const std::filesystem::path& destination() const noexcept { return destination_; }
    const std::filesystem::path& temporaryPath() const noexcept { return temporary_; }
    // The open descriptor of the temporary file, or -1 once committed.
    int fd() const noexcept { return fd_; }

    // Appends bytes at the descriptor's position; throws AtomicWriteError.
    void write(std::string_view bytes);
    // Throws AtomicWriteError; the temporary file is gone afterwards either way.
    void commit();
    // Removes the temporary file now (also done by the destructor).
    void discard() noexcept;

    // The whole dance for bytes already in memory.
    static void writeFile(const std::filesystem::path& destination, std::string_view bytes) {
        writeFile(destination, bytes, Options{});
    }
    static void writeFile(const std::filesystem::path& destination, std::string_view bytes, Options options);

private:
    std::filesystem::path destination_;
    std::filesystem::path temporary_;
    Options options_;
    int fd_ = -1;
    bool done_ = false;
};

}  // namespace morvale
