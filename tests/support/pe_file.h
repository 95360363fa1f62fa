// A Windows module read as a file, the way a host's loader sees it before it maps it:
// its machine and kind, its exports, the DLLs it imports and its resources. Portable:
// no Windows headers, every offset and size checked against the file, so that a
// damaged module gives an error rather than a fault.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tessellon::testing {

inline constexpr std::uint16_t kMachineI386 = 0x014C;
inline constexpr std::uint16_t kMachineAmd64 = 0x8664;
inline constexpr std::uint16_t kOptionalMagicPe32 = 0x010B;
inline constexpr std::uint16_t kOptionalMagicPe32Plus = 0x020B;
inline constexpr std::uint16_t kFileIsDll = 0x2000;
inline constexpr std::uint16_t kLanguageNeutral = 0;
inline constexpr std::uint16_t kVersionResourceType = 16;

// A resource type or name: a number, or a text (stored upper-case by the resource
// compiler; compared without regard to case, as the loader does).
struct ResourceKey {
    std::optional<std::uint16_t> id;
    std::string name;

    static ResourceKey Id(std::uint16_t value) { return {value, {}}; }
    static ResourceKey Name(std::string value) { return {std::nullopt, std::move(value)}; }
    bool Matches(const ResourceKey& other) const;
};

struct PeResource {
    ResourceKey type;
    ResourceKey name;
    std::uint16_t language = 0;
    std::vector<std::uint8_t> data;
};

struct PeFile {
    std::uint16_t machine = 0;
    std::uint16_t optional_magic = 0;
    std::uint16_t characteristics = 0;
    std::uint32_t exported_functions = 0;   // entries of the export address table
    std::vector<std::string> export_names;  // the named exports
    std::vector<std::string> imported_dlls;
    std::vector<PeResource> resources;

    // The resources of this type and name, one per language.
    std::vector<const PeResource*> Find(const ResourceKey& type, const ResourceKey& name) const;
};

// Reads a module's bytes; on a malformed file, nothing and the reason in `error`.
std::optional<PeFile> ReadPeFile(const std::vector<std::uint8_t>& bytes, std::string& error);

// The texts of a version resource's StringFileInfo, key to value ("FileDescription" ...),
// from its first string table; empty when the resource is malformed.
std::vector<std::pair<std::string, std::string>> VersionStrings(const std::vector<std::uint8_t>& resource);

}  // namespace tessellon::testing
