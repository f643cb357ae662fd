#include "batch_core/file_name_collator.h"

#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/stringpiece.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cstring>
#include <limits>

namespace morvale {

struct FileNameCollator::Impl {
    std::unique_ptr<icu::Collator> collator;
};

FileNameCollator::FileNameCollator() : impl_(std::make_unique<Impl>()) {
    UErrorCode status = U_ZERO_ERROR;
    impl_->collator.reset(icu::Collator::createInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status) || !impl_->collator) {
        impl_->collator.reset();
        return;
    }
    // Secondary strength ignores case but still tells "é" from "e"; numeric collation orders
    // digit runs by value.
    impl_->collator->setStrength(icu::Collator::SECONDARY);
    impl_->collator->setAttribute(UCOL_NUMERIC_COLLATION, UCOL_ON, status);
    if (U_FAILURE(status)) impl_->collator.reset();
}

FileNameCollator::~FileNameCollator() = default;

const FileNameCollator& FileNameCollator::shared() {
    static const FileNameCollator instance;
    return instance;
}

namespace {

icu::StringPiece piece(std::string_view text) {
    const auto length = std::min<std::size_t>(text.size(), static_cast<std::size_t>(std::numeric_limits<int32_t>::max()));
    return icu::StringPiece(text.data(), static_cast<int32_t>(length));
}

int byteCompare(std::string_view a, std::string_view b) {
    const int result = a.compare(b);
    return result < 0 ? -1 : (result > 0 ? 1 : 0);
}

}  // namespace

int FileNameCollator::compare(std::string_view a, std::string_view b) const {
    if (!impl_->collator) return byteCompare(a, b);
    UErrorCode status = U_ZERO_ERROR;
    const auto result = impl_->collator->compareUTF8(piece(a), piece(b), status);
    if (U_FAILURE(status)) return byteCompare(a, b);
    return result == UCOL_LESS ? -1 : (result == UCOL_GREATER ? 1 : 0);
}

std::vector<unsigned char> FileNameCollator::sortKey(std::string_view text) const {
    if (!impl_->collator) return std::vector<unsigned char>(text.begin(), text.end());
    const icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(piece(text));
    std::vector<unsigned char> key(64 + static_cast<std::size_t>(unicode.length()) * 4);
    auto needed = impl_->collator->getSortKey(unicode, key.data(), static_cast<int32_t>(key.size()));
    if (needed > static_cast<int32_t>(key.size())) {
        key.resize(static_cast<std::size_t>(needed));
        needed = impl_->collator->getSortKey(unicode, key.data(), static_cast<int32_t>(key.size()));
    }
    key.resize(needed > 0 ? static_cast<std::size_t>(needed) : 0);
    return key;
}

}  // namespace morvale
