#include "batch_core/licensed_product.h"

namespace morvale {

namespace {

struct ProductTexts {
    LicensedProduct product;
    std::string_view raw;
    std::string_view display;
    std::string_view download;
};

const std::array<ProductTexts, 4>& productTable() {
    static const std::array<ProductTexts, 4> table{{
        {LicensedProduct::orbisk, "orbisk", "Orbisk", "Orbisk"},
        {LicensedProduct::varnholt, "varnholt", "Varnholt Pro", "VarnholtPro"},
        {LicensedProduct::morvale, "morvale", "Morvale Express", "MorvaleExpress"},
        {LicensedProduct::skeldon, "skeldon", "Skeldon", "Skeldon"},
    }};
    return table;
}

const ProductTexts& textsOf(LicensedProduct product) {
    for (const auto& entry : productTable()) {
        if (entry.product == product) return entry;
    }
    return productTable()[0];  // unreachable for a valid enumerator
}

}  // namespace

const std::array<LicensedProduct, 4>& allLicensedProducts() {
    static const std::array<LicensedProduct, 4> all{LicensedProduct::orbisk, LicensedProduct::varnholt,
                                                    LicensedProduct::morvale, LicensedProduct::skeldon};
    return all;
}

std::string_view rawValue(LicensedProduct product) { return textsOf(product).raw; }
std::string_view displayName(LicensedProduct product) { return textsOf(product).display; }
std::string_view downloadName(LicensedProduct product) { return textsOf(product).download; }

std::optional<LicensedProduct> licensedProductFromRawValue(std::string_view text) {
    for (const auto& entry : productTable()) {
        if (entry.raw == text) return entry.product;
    }
    return std::nullopt;
}

}  // namespace morvale
