#include "image_engine/temporary_output_file.h"

#include <cstdio>
#include <random>
#include <string>
#include <system_error>

namespace morvale {

namespace fs = std::filesystem;

TemporaryOutputFile::TemporaryOutputFile(fs::path destination) : destination_(std::move(destination)) {
    fs::path parent = destination_.parent_path();
    if (parent.empty()) {
        parent = ".";
    }
    std::error_code error;
    fs::create_directories(parent, error);
    if (error) {
        throw fs::filesystem_error("Cannot create the output folder", parent, error);
    }
    std::random_device random;
    const auto tag = (static_cast<unsigned long long>(random()) << 32) ^ random();
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", tag);
    // The destination's own extension stays last so that encoders picking a format by name agree.
    temporary_ = parent / ("." + destination_.stem().string() + "." + hex + ".tmp" +
                           destination_.extension().string());
}

TemporaryOutputFile::~TemporaryOutputFile() {
    if (!committed_) {
        std::error_code ignored;
        fs::remove(temporary_, ignored);
    }
}

void TemporaryOutputFile::commit() {
    std::error_code error;
    fs::rename(temporary_, destination_, error);
    if (error) {
        throw fs::filesystem_error("Cannot move the written file into place", temporary_, destination_,
                                   error);
    }
    committed_ = true;
}

}  // namespace morvale
