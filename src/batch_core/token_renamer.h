#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>

#include "batch_core/batch_item.h"

namespace morvale {

// Turns a naming pattern such as "{name}_{index:02}" into an output file stem (the caller appends
// the extension). Tokens: {name}, {ext}, {total}, {index} / {index:w}, {date} / {date:fmt} (an
// ICU date pattern, default "yyyyMMdd"), {key} and {key:w} for every item metadata entry and
// context variable (context wins). Unknown tokens stay as written; the characters
// : / \ ? % * | " < > # and control characters become "_". Never fails.
class TokenRenamer {
public:
    std::string resolve(const std::string& pattern, const BatchItem& item, std::int64_t index,
                        std::int64_t total,
                        const std::map<std::string, std::string>& contextVariables = {}) const;

    // The same with the instant used for date tokens given, so that several names can share it.
    std::string resolve(const std::string& pattern, const BatchItem& item, std::int64_t index,
                        std::int64_t total, const std::map<std::string, std::string>& contextVariables,
                        std::chrono::system_clock::time_point now) const;
};

}  // namespace morvale
