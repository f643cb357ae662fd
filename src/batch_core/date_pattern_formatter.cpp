#include "batch_core/date_pattern_formatter.h"

#include <unicode/locid.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>

#include <memory>

namespace morvale {

namespace {

std::string format(const std::string& pattern, std::chrono::system_clock::time_point when, const icu::Locale& locale,
                   std::unique_ptr<icu::TimeZone> zone) {
    UErrorCode status = U_ZERO_ERROR;
    icu::SimpleDateFormat formatter(icu::UnicodeString::fromUTF8(pattern), locale, status);
    if (U_FAILURE(status)) return {};
    if (zone) formatter.adoptTimeZone(zone.release());
    const auto milliseconds = std::chrono::duration<double, std::milli>(when.time_since_epoch()).count();
    icu::UnicodeString text;
    formatter.format(static_cast<UDate>(milliseconds), text);
    std::string result;
    text.toUTF8String(result);
    return result;
}

}  // namespace

std::string formatDatePattern(const std::string& pattern, std::chrono::system_clock::time_point when) {
    return format(pattern, when, icu::Locale::getDefault(), nullptr);
}

std::string formatDatePattern(const std::string& pattern, std::chrono::system_clock::time_point when,
                              const std::string& locale, const std::string& timeZone) {
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale icuLocale = icu::Locale::forLanguageTag(locale, status);
    if (U_FAILURE(status) || icuLocale.isBogus()) icuLocale = icu::Locale(locale.c_str());
    std::unique_ptr<icu::TimeZone> zone(icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(timeZone)));
    return format(pattern, when, icuLocale, std::move(zone));
}

}  // namespace morvale
