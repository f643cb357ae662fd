#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace morvale {

// A 128-bit identifier (job and item ids, scratch-folder names). Text form is the usual 8-4-4-4-12 hexadecimal grouping in upper case.
class Uuid {
public:
    // The nil identifier (all zero bits).
    Uuid() = default;
    explicit Uuid(const std::array<std::uint8_t, 16>& bytes) : bytes_(bytes) {}

    // A fresh random (version 4) identifier from the kernel's random source.
    static Uuid random();

    // Accepts the 36-character grouped form in either case; anything else gives no value.
    static std::optional<Uuid> fromString(std::string_view text);

    std::string toString() const;
    const std::array<std::uint8_t, 16>& bytes() const { return bytes_; }
    bool isNil() const;

    friend bool operator==(const Uuid&, const Uuid&) = default;
    friend auto operator<=>(const Uuid&, const Uuid&) = default;

private:
    std::array<std::uint8_t, 16> bytes_{};
};

}  // namespace morvale

template <>
struct std::hash<morvale::Uuid> {
    std::size_t operator()(const morvale::Uuid& id) const noexcept;
};
