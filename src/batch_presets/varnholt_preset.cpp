#include "batch_presets/varnholt_preset.h"

namespace morvale {

const std::array<VarnholtPreset::WebAspect, 4>& VarnholtPreset::allWebAspects() {
    static const std::array<WebAspect, 4> all{WebAspect::original, WebAspect::fourThree, WebAspect::threeTwo,
                                              WebAspect::sixteenNine};
    return all;
}

std::string_view VarnholtPreset::rawValue(WebAspect aspect) {
    switch (aspect) {
    case WebAspect::original: return "original";
    case WebAspect::fourThree: return "4:3";
    case WebAspect::threeTwo: return "3:2";
    case WebAspect::sixteenNine: return "16:9";
    }
    return {};
}

std::string_view VarnholtPreset::displayName(WebAspect aspect) {
    return aspect == WebAspect::original ? std::string_view("As shot") : rawValue(aspect);
}

std::optional<double> VarnholtPreset::ratio(WebAspect aspect) {
    switch (aspect) {
    case WebAspect::original: return std::nullopt;
    case WebAspect::fourThree: return 4.0 / 3.0;
    case WebAspect::threeTwo: return 3.0 / 2.0;
    case WebAspect::sixteenNine: return 16.0 / 9.0;
    }
    return std::nullopt;
}

std::optional<VarnholtPreset::WebAspect> VarnholtPreset::webAspectFromRaw(std::string_view raw) {
    for (auto a : allWebAspects()) {
        if (rawValue(a) == raw) return a;
    }
    return std::nullopt;
}

const std::array<VarnholtPreset::Portal, 4>& VarnholtPreset::allPortals() {
    static const std::array<Portal, 4> all{Portal::mls, Portal::zillow, Portal::airbnb, Portal::custom};
    return all;
}

std::string_view VarnholtPreset::rawValue(Portal portal) {
    switch (portal) {
    case Portal::mls: return "mls";
    case Portal::zillow: return "zillow";
    case Portal::airbnb: return "airbnb";
    case Portal::custom: return "custom";
    }
    return {};
}

std::string_view VarnholtPreset::displayName(Portal portal) {
    switch (portal) {
    case Portal::mls: return "MLS";
    case Portal::zillow: return "Zillow";
    case Portal::airbnb: return "Airbnb / Vrbo";
    case Portal::custom: return "Custom";
    }
    return {};
}

std::optional<VarnholtPreset::PortalSpec> VarnholtPreset::spec(Portal portal) {
    switch (portal) {
    case Portal::mls: return PortalSpec{2048, 2000, WebAspect::original};
    case Portal::zillow: return PortalSpec{2048, 10000, WebAspect::fourThree};
    case Portal::airbnb: return PortalSpec{3000, 10000, WebAspect::threeTwo};
    case Portal::custom: return std::nullopt;
    }
    return std::nullopt;
}

std::string_view VarnholtPreset::folderName(Portal portal) {
    switch (portal) {
    case Portal::zillow: return "Zillow_Package";
    case Portal::airbnb: return "Airbnb_Package";
    case Portal::mls:
    case Portal::custom: return "MLS_Web_Package";
    }
    return "MLS_Web_Package";
}

std::string_view VarnholtPreset::note(Portal portal) {
    switch (portal) {
    case Portal::mls: return "2048 px on the longest side, under 2 MB: accepted by most MLS boards.";
    case Portal::zillow: return "2048 px, cropped to 4:3 (the shape Zillow shows), under 10 MB.";
    case Portal::airbnb: return "3000 px, cropped to 3:2 landscape (Airbnb's gallery shape; minimum is 1024 x 683).";
    case Portal::custom: return "Set your own size and file-size cap.";
    }
    return {};
}

std::optional<VarnholtPreset::Portal> VarnholtPreset::portalFromRaw(std::string_view raw) {
    for (auto p : allPortals()) {
        if (rawValue(p) == raw) return p;
    }
    return std::nullopt;
}

VarnholtPreset::PresetError VarnholtPreset::PresetError::cannotDecodeImage(const std::filesystem::path& photo,
                                                                          const std::string& cause) {
    return PresetError(Kind::cannotDecodeImage, "Could not decode architectural image at " + photo.filename().string() +
                                                    (cause.empty() ? std::string() : " (" + cause + ")"));
}

VarnholtPreset::PresetError VarnholtPreset::PresetError::cannotDecodeWatermark(const std::filesystem::path& logo) {
    return PresetError(Kind::cannotDecodeWatermark, "Could not read watermark image " + logo.filename().string());
}

VarnholtPreset::PresetError VarnholtPreset::PresetError::cannotMeetSizeLimit(std::int64_t maxKB) {
    return PresetError(Kind::cannotMeetSizeLimit, "Could not get the web image under " + std::to_string(maxKB) + " KB");
}

VarnholtPreset::PresetError VarnholtPreset::PresetError::encodingFailed() {
    return PresetError(Kind::encodingFailed, "JPEG encoding failed");
}

VarnholtPreset::VarnholtPreset(std::string address, bool straighten, bool stripGPS, bool web, bool print,
                               double webDimension, std::int64_t webKB, std::optional<std::filesystem::path> watermark,
                               double opacity)
    : propertyAddress(std::move(address)),
      autoStraightenVerticals(straighten),
      stripGPSMetadata(stripGPS),
      exportWebPackage(web),
      exportPrintPackage(print),
      maxWebDimension(webDimension),
      maxWebFileSizeKB(webKB),
      watermarkURL(std::move(watermark)),
      watermarkOpacity(opacity) {}

std::string VarnholtPreset::description() const {
    return "Auto-straighten vertical lines, strip seller GPS tags, apply watermark, and export MLS-ready Web + "
           "Print packages simultaneously.";
}

std::set<std::string> VarnholtPreset::supportedExtensions() const {
    return {"jpg", "jpeg", "png", "heic", "tiff", "tif", "cr2", "cr3", "nef", "arw", "dng"};
}

void VarnholtPreset::setPortal(Portal portal) {
    portal_ = portal;
    if (auto s = spec(portal)) {
        maxWebDimension = s->maxDimension;
        maxWebFileSizeKB = s->maxKB;
        webAspect = s->aspect;
    }
}

bool operator==(const VarnholtPreset& a, const VarnholtPreset& b) {
    return a.propertyAddress == b.propertyAddress && a.portal_ == b.portal_ && a.webAspect == b.webAspect &&
           a.mergeBrackets == b.mergeBrackets && a.autoStraightenVerticals == b.autoStraightenVerticals &&
           a.stripGPSMetadata == b.stripGPSMetadata && a.exportWebPackage == b.exportWebPackage &&
           a.exportPrintPackage == b.exportPrintPackage && a.maxWebDimension == b.maxWebDimension &&
           a.maxWebFileSizeKB == b.maxWebFileSizeKB && a.watermarkURL == b.watermarkURL &&
           a.watermarkOpacity == b.watermarkOpacity;
}

}  // namespace morvale
