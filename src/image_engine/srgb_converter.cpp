#include "image_engine/srgb_converter.h"

#include <lcms2.h>

#include <algorithm>
#include <cmath>
#include <memory>

namespace morvale {

namespace {

struct ProfileCloser {
    void operator()(void* profile) const { cmsCloseProfile(profile); }
};
using Profile = std::unique_ptr<void, ProfileCloser>;

struct TransformDeleter {
    void operator()(void* transform) const { cmsDeleteTransform(transform); }
};
using Transform = std::unique_ptr<void, TransformDeleter>;

Profile openProfile(std::span<const std::uint8_t> bytes) {
    if (bytes.empty() || bytes.size() > 0x7fffffff) return nullptr;
    return Profile(cmsOpenProfileFromMem(bytes.data(), static_cast<cmsUInt32Number>(bytes.size())));
}

Profile sRGB() { return Profile(cmsCreate_sRGBProfile()); }

// One pixel every four bytes: grey in the first, the rest left alone.
constexpr cmsUInt32Number kGreyInRGBA = COLORSPACE_SH(PT_GRAY) | EXTRA_SH(3) | CHANNELS_SH(1) | BYTES_SH(1);

// Rows go through in bands, so that a transform never needs a buffer of its own for the photo.
void applyInPlace(void* transform, std::uint8_t* rgba, std::size_t pixels) {
    constexpr std::size_t kBand = std::size_t{1} << 20;
    for (std::size_t done = 0; done < pixels; done += kBand) {
        const std::size_t count = std::min(kBand, pixels - done);
        cmsDoTransform(transform, rgba + done * 4, rgba + done * 4, static_cast<cmsUInt32Number>(count));
    }
}

std::uint8_t naiveChannel(std::uint8_t ink, std::uint8_t black, bool inverted) {
    const unsigned paper = inverted ? ink : 255u - ink;
    const unsigned light = inverted ? black : 255u - black;
    return static_cast<std::uint8_t>((paper * light + 127u) / 255u);
}

// True for a matrix-shaper profile with sRGB's primaries, white and tone curve (the profile most
// cameras embed): converting through it would only cost time and add rounding.
bool describesSRGB(void* profile) {
    if (cmsGetColorSpace(profile) != cmsSigRgbData) return false;
    const Profile reference = sRGB();
    // Colorants are stored adapted to D50 in every version; the media white is not compared, as
    // version 2 profiles store it unadapted and relative colorimetry ignores it.
    for (const cmsTagSignature tag : {cmsSigRedColorantTag, cmsSigGreenColorantTag, cmsSigBlueColorantTag}) {
        const auto* ours = static_cast<const cmsCIEXYZ*>(cmsReadTag(profile, tag));
        const auto* theirs = static_cast<const cmsCIEXYZ*>(cmsReadTag(reference.get(), tag));
        if (ours == nullptr || theirs == nullptr) return false;
        if (std::abs(ours->X - theirs->X) > 0.002 || std::abs(ours->Y - theirs->Y) > 0.002 ||
            std::abs(ours->Z - theirs->Z) > 0.002) {
            return false;
        }
    }
    const auto* srgbCurve = static_cast<const cmsToneCurve*>(cmsReadTag(reference.get(), cmsSigRedTRCTag));
    for (const cmsTagSignature tag : {cmsSigRedTRCTag, cmsSigGreenTRCTag, cmsSigBlueTRCTag}) {
        const auto* curve = static_cast<const cmsToneCurve*>(cmsReadTag(profile, tag));
        if (curve == nullptr) return false;
        for (int step = 0; step <= 32; ++step) {
            const float x = static_cast<float>(step) / 32.0f;
            if (std::abs(cmsEvalToneCurveFloat(curve, x) - cmsEvalToneCurveFloat(srgbCurve, x)) > 0.5f / 255.0f) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace

bool SrgbConverter::convert(PackedTexture& pixels, std::span<const std::uint8_t> profile) {
    const Profile source = openProfile(profile);
    if (!source) return false;
    const cmsColorSpaceSignature space = cmsGetColorSpace(source.get());
    cmsUInt32Number inputFormat = 0;
    if (describesSRGB(source.get())) return true;
    if (space == cmsSigRgbData) {
        inputFormat = TYPE_RGBA_8;
    } else if (space == cmsSigGrayData) {
        inputFormat = kGreyInRGBA;
    } else {
        return false;
    }
    const Profile target = sRGB();
    const Transform transform(cmsCreateTransform(source.get(), inputFormat, target.get(), TYPE_RGBA_8,
                                                 INTENT_RELATIVE_COLORIMETRIC, cmsFLAGS_NOCACHE));
    if (!transform) return false;
    applyInPlace(transform.get(), pixels.rgba.data(), pixels.rgba.size() / 4);
    return true;
}

void SrgbConverter::convertCMYK(PackedTexture& samples, std::span<const std::uint8_t> profile, bool inverted) {
    const std::size_t count = samples.rgba.size() / 4;
    const Profile source = openProfile(profile);
    if (source && cmsGetColorSpace(source.get()) == cmsSigCmykData) {
        const Profile target = sRGB();
        // Adobe's CMYK stores ink as 255 minus its amount; lcms reads that layout directly.
        const cmsUInt32Number inputFormat = inverted ? TYPE_CMYK_8_REV : TYPE_CMYK_8;
        const Transform transform(cmsCreateTransform(source.get(), inputFormat, target.get(), TYPE_RGBA_8,
                                                     INTENT_RELATIVE_COLORIMETRIC, cmsFLAGS_NOCACHE));
        if (transform) {
            applyInPlace(transform.get(), samples.rgba.data(), count);
            for (std::size_t i = 0; i < count; ++i) samples.rgba[i * 4 + 3] = 255;
            return;
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        std::uint8_t* px = samples.rgba.data() + i * 4;
        const std::uint8_t black = px[3];
        for (int c = 0; c < 3; ++c) px[c] = naiveChannel(px[c], black, inverted);
        px[3] = 255;
    }
}

const std::vector<std::uint8_t>& SrgbConverter::sRGBProfile() {
    static const std::vector<std::uint8_t> bytes = [] {
        std::vector<std::uint8_t> saved;
        const Profile profile = sRGB();
        cmsUInt32Number size = 0;
        if (profile && cmsSaveProfileToMem(profile.get(), nullptr, &size) && size > 0) {
            saved.resize(size);
            if (!cmsSaveProfileToMem(profile.get(), saved.data(), &size)) saved.clear();
        }
        return saved;
    }();
    return bytes;
}

}  // namespace morvale
