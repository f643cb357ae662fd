#pragma once

#include "batch_core/batch_preset.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace morvale {

// The listing-photo vertical's preset. `portal` is changed only through setPortal(), which also
// sets the portal's web size, file-size cap and shape.
class VarnholtPreset final : public BatchPreset {
public:
    enum class WebAspect { original, fourThree, threeTwo, sixteenNine };

    static const std::array<WebAspect, 4>& allWebAspects();
    static std::string_view rawValue(WebAspect aspect);  // "original", "4:3", "3:2", "16:9"
    static std::string_view displayName(WebAspect aspect);
    static std::optional<double> ratio(WebAspect aspect);  // width / height; none for original
    static std::optional<WebAspect> webAspectFromRaw(std::string_view raw);

    enum class Portal { mls, zillow, airbnb, custom };

    struct PortalSpec {
        double maxDimension;
        std::int64_t maxKB;
        WebAspect aspect;
    };

    static const std::array<Portal, 4>& allPortals();
    static std::string_view rawValue(Portal portal);  // "mls", "zillow", "airbnb", "custom"
    static std::string_view displayName(Portal portal);
    static std::optional<PortalSpec> spec(Portal portal);  // none for custom
    static std::string_view folderName(Portal portal);
    static std::string_view note(Portal portal);
    static std::optional<Portal> portalFromRaw(std::string_view raw);

    class PresetError : public std::runtime_error {
    public:
        enum class Kind { cannotDecodeImage, cannotDecodeWatermark, cannotMeetSizeLimit, encodingFailed };

        // "Could not decode architectural image at <file name>", then the cause in parentheses when
        // one is known: "(Permission denied)", "(30000 × 30000 is too large)", the decoder's reason.
        static PresetError cannotDecodeImage(const std::filesystem::path& photo, const std::string& cause = {});
        static PresetError cannotDecodeWatermark(const std::filesystem::path& logo);
        static PresetError cannotMeetSizeLimit(std::int64_t maxKB);
        static PresetError encodingFailed();

        Kind kind() const { return kind_; }

    private:
        PresetError(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
        Kind kind_;
    };

    // The portal starts as mls and the shape as original, without touching the given web size.
    VarnholtPreset(std::string propertyAddress, bool autoStraightenVerticals, bool stripGPSMetadata,
                   bool exportWebPackage, bool exportPrintPackage, double maxWebDimension,
                   std::int64_t maxWebFileSizeKB, std::optional<std::filesystem::path> watermarkURL,
                   double watermarkOpacity);

    std::string id() const override { return "com.kadrel.varnholtpro"; }
    std::string displayName() const override { return "Varnholt Pro"; }
    std::string verticalName() const override { return "Real Estate & Architecture"; }
    std::string description() const override;
    std::string systemIconName() const override { return "building.2.crop.circle"; }
    std::set<std::string> supportedExtensions() const override;
    std::string defaultNamingPattern() const override { return "{address}_{index:02}_{size}"; }

    // Fails every item: listing-photo processing is not built yet.
    std::vector<std::filesystem::path> process(const BatchItem& item, const ProcessingContext& context) const override;

    Portal portal() const { return portal_; }
    // Stores the portal and, unless it is custom, its web size, cap and shape (also when the
    // portal is the one already set).
    void setPortal(Portal portal);

    std::string propertyAddress;
    WebAspect webAspect = WebAspect::original;
    bool mergeBrackets = false;
    bool autoStraightenVerticals;
    bool stripGPSMetadata;
    bool exportWebPackage;
    bool exportPrintPackage;
    double maxWebDimension;           // pixels on the longer side of the web image
    std::int64_t maxWebFileSizeKB;    // 1 KB = 1024 bytes
    std::optional<std::filesystem::path> watermarkURL;
    double watermarkOpacity;

    friend bool operator==(const VarnholtPreset& a, const VarnholtPreset& b);

private:
    Portal portal_ = Portal::mls;
};

}  // namespace morvale
