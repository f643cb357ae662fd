#include "batch_core/file_ingest.h"

namespace morvale {

std::vector<std::filesystem::path> FileIngest::expand(const std::vector<std::filesystem::path>&,
                                                      const std::set<std::string>&) {
    return {};
}

}  // namespace morvale
