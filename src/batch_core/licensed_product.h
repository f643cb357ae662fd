#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace morvale {

// Which product of the suite is running. It keys the update feed, the setting that
// remembers the last update check and the product name shown in update alerts.
enum class LicensedProduct { orbisk, varnholt, morvale, skeldon };

// Every product, in declaration order.
const std::array<LicensedProduct, 4>& allLicensedProducts();

// Stable identifier, used in setting keys ("morvale").
std::string_view rawValue(LicensedProduct product);
// Name shown to the user ("Morvale Express").
std::string_view displayName(LicensedProduct product);
// Name of the product's feed and download files ("MorvaleExpress").
std::string_view downloadName(LicensedProduct product);

// Exactly one of the four raw values, case-sensitive; anything else gives nothing.
std::optional<LicensedProduct> licensedProductFromRawValue(std::string_view text);

}  // namespace morvale
