// The product's name and version, shared by the definition block, the version
// resource, the About text and the command-line host. Plain C: windres reads it too.
#pragma once

#define TESSELLON_NAME "Tessellon"
#define TESSELLON_VERSION "1.1.0"
#define TESSELLON_VERSION_NUMBERS 1, 1, 0, 0
// The version resource's company and copyright: the vendor the settings are kept under,
// and the holder that LICENSE names.
#define TESSELLON_COMPANY "Dravik-Vextrel"
#define TESSELLON_COPYRIGHT "Copyright (c) 2026 Tessellon contributors. MIT License."

#ifdef __cplusplus
namespace tessellon {
inline constexpr char kFilterName[] = TESSELLON_NAME;
inline constexpr char kVersion[] = TESSELLON_VERSION;
}  // namespace tessellon
#endif
