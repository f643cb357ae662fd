#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "batch_core/processing_status.h"
#include "batch_core/uuid.h"

namespace morvale {

// One queued input file. A plain value: copies are independent.
// `id`, `sourceURL`, `originalFileName`, `fileExtension`, `fileSize` and `queuedAt` are fixed at
// creation; holders of an item change only the other fields.
struct BatchItem {
    // Derives the file name without extension, the lower-case extension and the size on disk
    // (0 when it cannot be read); never fails and never opens the file.
    BatchItem(Uuid id, std::filesystem::path sourceURL,
              std::optional<std::filesystem::path> destinationURL = std::nullopt,
              ProcessingStatus status = ProcessingStatus::pending, double progress = 0.0,
              std::optional<std::string> errorMessage = std::nullopt,
              std::map<std::string, std::string> metadata = {});

    Uuid id;
    std::filesystem::path sourceURL;
    std::string originalFileName;
    std::string fileExtension;
    std::int64_t fileSize = 0;
    std::optional<std::filesystem::path> destinationURL;
    ProcessingStatus status = ProcessingStatus::pending;
    double progress = 0.0;
    std::optional<std::string> errorMessage;
    std::map<std::string, std::string> metadata;
    std::chrono::system_clock::time_point queuedAt;
    std::optional<std::chrono::system_clock::time_point> completedAt;

    // The size for people: "Zero KB", "1 byte", "512 bytes", "12 KB", "3.4 MB", "1.25 GB" (1000-based).
    std::string formattedFileSize() const;

    friend bool operator==(const BatchItem&, const BatchItem&) = default;
};

// The size as the file browser shows it, in decimal (1000-based) units.
std::string formatByteCount(std::int64_t bytes);

}  // namespace morvale

template <>
struct std::hash<morvale::BatchItem> {
    std::size_t operator()(const morvale::BatchItem& item) const noexcept;
};
