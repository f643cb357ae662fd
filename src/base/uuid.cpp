#include "base/uuid.h"
#include "base/hex.h"

#include <sys/random.h>

#include <cerrno>
#include <random>

namespace morvale {

namespace {

void fillRandom(std::array<std::uint8_t, 16>& bytes) {
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        const ssize_t got = ::getrandom(bytes.data() + filled, bytes.size() - filled, 0);
        if (got > 0) {
            filled += static_cast<std::size_t>(got);
        } else if (got < 0 && errno != EINTR) {
            break;
        }
    }
    if (filled < bytes.size()) {
        // getrandom() is missing only on very old kernels; random_device reads the same source.
        std::random_device device;
        for (auto& byte : bytes) {
            byte = static_cast<std::uint8_t>(device() & 0xFFu);
        }
    }
}

}  // namespace

Uuid Uuid::random() {
    std::array<std::uint8_t, 16> bytes{};
    fillRandom(bytes);
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0Fu) | 0x40u);  // version 4
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3Fu) | 0x80u);  // RFC 4122 variant
    return Uuid(bytes);
}

std::optional<Uuid> Uuid::fromString(std::string_view text) {
    if (text.size() != 36) return std::nullopt;
    std::array<std::uint8_t, 16> bytes{};
    std::size_t byteIndex = 0;
    for (std::size_t i = 0; i < text.size();) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != '-') return std::nullopt;
            ++i;
            continue;
        }
        const int high = hexDigitValue(text[i]);
        const int low = hexDigitValue(text[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        bytes[byteIndex++] = static_cast<std::uint8_t>(high * 16 + low);
        i += 2;
    }
    return Uuid(bytes);
}

std::string Uuid::toString() const {
    std::string text;
    text.reserve(36);
    for (std::size_t i = 0; i < bytes_.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
        text.push_back(hexDigit(bytes_[i] >> 4u, true));
        text.push_back(hexDigit(bytes_[i], true));
    }
    return text;
}

bool Uuid::isNil() const {
    for (const auto byte : bytes_) {
        if (byte != 0) return false;
    }
    return true;
}

}  // namespace morvale

std::size_t std::hash<morvale::Uuid>::operator()(const morvale::Uuid& id) const noexcept {
    // The bits are random already; fold them (FNV-1a keeps nil and hand-made ids spread too).
    std::uint64_t folded = 1469598103934665603ull;
    for (const auto byte : id.bytes()) {
        folded ^= byte;
        folded *= 1099511628211ull;
    }
    return static_cast<std::size_t>(folded);
}
