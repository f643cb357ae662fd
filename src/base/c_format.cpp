#include "base/c_format.h"

#include <clocale>
#include <cstdarg>
#include <cstdio>
#include <locale.h>

namespace morvale {

namespace {

// Switches the calling thread to the C locale for as long as it lives.
class CLocaleScope {
public:
    CLocaleScope() : c_(::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr))) {
        if (c_ != static_cast<locale_t>(nullptr)) previous_ = ::uselocale(c_);
    }
    ~CLocaleScope() {
        if (c_ != static_cast<locale_t>(nullptr)) {
            ::uselocale(previous_);
            ::freelocale(c_);
        }
    }
    CLocaleScope(const CLocaleScope&) = delete;
    CLocaleScope& operator=(const CLocaleScope&) = delete;

private:
    locale_t c_;
    locale_t previous_ = static_cast<locale_t>(nullptr);
};

}  // namespace

std::string cformat(const char* pattern, ...) {
    const CLocaleScope scope;
    char buffer[256];
    va_list args;
    va_start(args, pattern);
    const int n = std::vsnprintf(buffer, sizeof buffer, pattern, args);
    va_end(args);
    if (n < 0) return {};
    if (static_cast<std::size_t>(n) < sizeof buffer) return std::string(buffer, static_cast<std::size_t>(n));
    std::string out(static_cast<std::size_t>(n) + 1, '\0');
    va_start(args, pattern);
    std::vsnprintf(out.data(), out.size(), pattern, args);
    va_end(args);
    out.resize(static_cast<std::size_t>(n));
    return out;
}

}  // namespace morvale
