#include "batch_core/token_renamer.h"

namespace morvale {

std::string TokenRenamer::resolve(const std::string& pattern, const BatchItem& item, std::int64_t index,
                                  std::int64_t total, const std::map<std::string, std::string>& contextVariables) const {
    return resolve(pattern, item, index, total, contextVariables, std::chrono::system_clock::now());
}

std::string TokenRenamer::resolve(const std::string& pattern, const BatchItem&, std::int64_t, std::int64_t,
                                  const std::map<std::string, std::string>&, std::chrono::system_clock::time_point) const {
    return pattern;
}

}  // namespace morvale
