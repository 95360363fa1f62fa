// CMYK pixels (a CMYK or YCCK JPEG's) turned into RGB: through the file's own ICC
// profile with Little CMS where it has a usable CMYK one, into sRGB with the relative
// colorimetric intent and black point compensation (what Photoshop's colour settings
// use by default, so the picture looks as it did there; perceptual tables would remap
// colours that sRGB holds anyway); otherwise by the simple inverse R = 255 - min(255,
// C + K) and likewise for G and B. Either way the conversion is said in one note.
#include <algorithm>

#include <lcms2.h>

#include "cli/image_io_internal.h"

namespace tessellon::cli::imageio {

CmykConverter::CmykConverter(const std::vector<std::uint8_t>& icc) {
    if (icc.empty()) {
        note_ = "CMYK image converted to RGB by the simple inverse (the file has no colour profile); colours are approximate";
        return;
    }
    std::string problem;
    const cmsContext context = cmsCreateContext(nullptr, nullptr);
    context_ = context;
    if (context == nullptr) {
        problem = "Little CMS could not start";
    } else {
        // Damaged profiles are answered by a failed open below; nothing is printed.
        cmsSetLogErrorHandlerTHR(context, nullptr);
        cmsHPROFILE profile = cmsOpenProfileFromMemTHR(context, icc.data(), static_cast<cmsUInt32Number>(icc.size()));
        cmsHPROFILE srgb = cmsCreate_sRGBProfileTHR(context);
        if (profile == nullptr) {
            problem = "it is damaged";
        } else if (cmsGetColorSpace(profile) != cmsSigCmykData) {
            problem = "it does not describe CMYK data";
        } else if (srgb != nullptr) {
            transform_ = cmsCreateTransformTHR(context, profile, TYPE_CMYK_8, srgb, TYPE_RGB_8,
                                               INTENT_RELATIVE_COLORIMETRIC, cmsFLAGS_BLACKPOINTCOMPENSATION);
            if (transform_ == nullptr) problem = "Little CMS cannot convert with it";
        }
        if (profile != nullptr) cmsCloseProfile(profile);
        if (srgb != nullptr) cmsCloseProfile(srgb);
        if (srgb == nullptr && problem.empty()) problem = "Little CMS could not make its sRGB profile";
    }
    if (transform_ != nullptr) {
        note_ = "CMYK image converted to sRGB through its ICC profile (relative colorimetric, black point compensation)";
    } else {
        note_ = "CMYK image converted to RGB by the simple inverse: its ICC profile cannot be used (" + problem +
                "); colours are approximate";
    }
}

CmykConverter::~CmykConverter() {
    if (transform_ != nullptr) cmsDeleteTransform(transform_);
    if (context_ != nullptr) cmsDeleteContext(static_cast<cmsContext>(context_));
}

void CmykConverter::Convert(std::uint8_t* cmyk, std::size_t count, bool inverted, std::uint8_t* rgb) const {
    if (inverted) {
        for (std::size_t i = 0; i < count * 4; ++i) cmyk[i] = static_cast<std::uint8_t>(255 - cmyk[i]);
    }
    if (transform_ != nullptr) {
        // Rows of a JPEG are at most 65535 pixels, within lcms's 32-bit count.
        cmsDoTransform(transform_, cmyk, rgb, static_cast<cmsUInt32Number>(count));
        return;
    }
    for (std::size_t i = 0; i < count; ++i, cmyk += 4, rgb += 3) {
        const unsigned black = cmyk[3];
        for (int c = 0; c < 3; ++c) rgb[c] = static_cast<std::uint8_t>(255 - std::min(255u, cmyk[c] + black));
    }
}

}  // namespace tessellon::cli::imageio
