// Reads a module file's PE headers, export and import tables and resource tree with
// every offset checked; no Windows headers.
#include "support/pe_file.h"

#include <algorithm>
#include <cctype>

namespace tessellon::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Little-endian reads that never leave the file: an access outside it returns zero and
// marks the reader as failed, which each step checks before it trusts what it read.
class Reader {
public:
    explicit Reader(const Bytes& bytes) : bytes_(bytes) {}

    bool Has(std::uint64_t offset, std::uint64_t size) const {
        return offset <= bytes_.size() && size <= bytes_.size() - offset;
    }
    std::uint16_t U16(std::uint64_t offset) {
        if (!Has(offset, 2)) return Fail();
        return static_cast<std::uint16_t>(bytes_[offset] | bytes_[offset + 1] << 8);
    }
    std::uint32_t U32(std::uint64_t offset) {
        if (!Has(offset, 4)) return Fail();
        return static_cast<std::uint32_t>(U16(offset)) | static_cast<std::uint32_t>(U16(offset + 2)) << 16;
    }
    bool failed() const { return failed_; }
    const Bytes& bytes() const { return bytes_; }

private:
    std::uint16_t Fail() {
        failed_ = true;
        return 0;
    }

    const Bytes& bytes_;
    bool failed_ = false;
};

struct Section {
    std::uint32_t virtual_address;
    std::uint32_t virtual_size;
    std::uint32_t raw_offset;
    std::uint32_t raw_size;
};

constexpr std::uint32_t kSubdirectoryFlag = 0x80000000u;
constexpr int kExportDirectory = 0;
constexpr int kImportDirectory = 1;
constexpr int kResourceDirectory = 2;

class PeReader {
public:
    PeReader(const Bytes& bytes, std::string& error) : in_(bytes), error_(error) {}

    std::optional<PeFile> Read() {
        PeFile pe;
        if (!Headers(pe) || !Exports(pe) || !Imports(pe) || !Resources(pe)) return std::nullopt;
        return pe;
    }

private:
    bool Error(std::string text) {
        error_ = std::move(text);
        return false;
    }

    // The file offset of `size` bytes at a relative virtual address, when a section
    // holds all of them in the file.
    std::optional<std::uint64_t> Offset(std::uint32_t rva, std::uint32_t size) const {
        for (const Section& s : sections_) {
            if (rva < s.virtual_address) continue;
            const std::uint64_t into = rva - s.virtual_address;
            if (into + size <= s.raw_size && in_.Has(std::uint64_t{s.raw_offset} + into, size)) {
                return s.raw_offset + into;
            }
        }
        return std::nullopt;
    }

    std::optional<std::string> TextAt(std::uint32_t rva) const {
        const auto start = Offset(rva, 1);
        if (!start) return std::nullopt;
        std::string text;
        for (std::uint64_t at = *start; in_.Has(at, 1) && text.size() < 1024; ++at) {
            const char c = static_cast<char>(in_.bytes()[at]);
            if (c == '\0') return text;
            text.push_back(c);
        }
        return std::nullopt;
    }

    bool Headers(PeFile& pe) {
        if (in_.U16(0) != 0x5A4D) return Error("no MZ signature");
        const std::uint32_t nt = in_.U32(0x3C);
        if (in_.U32(nt) != 0x00004550u || in_.failed()) return Error("no PE signature");
        pe.machine = in_.U16(nt + 4);
        const std::uint16_t section_count = in_.U16(nt + 6);
        const std::uint16_t optional_size = in_.U16(nt + 20);
        pe.characteristics = in_.U16(nt + 22);
        const std::uint64_t optional = nt + 24;
        pe.optional_magic = in_.U16(optional);
        std::uint64_t directory_count_at = 0;
        if (pe.optional_magic == kOptionalMagicPe32) {
            directory_count_at = optional + 92;
        } else if (pe.optional_magic == kOptionalMagicPe32Plus) {
            directory_count_at = optional + 108;
        } else {
            return Error("unknown optional header magic");
        }
        const std::uint32_t directory_count = in_.U32(directory_count_at);
        if (directory_count_at + 4 + std::uint64_t{directory_count} * 8 > optional + optional_size) {
            return Error("data directories run past the optional header");
        }
        for (std::uint32_t i = 0; i < std::min<std::uint32_t>(directory_count, 16); ++i) {
            directories_[i] = {in_.U32(directory_count_at + 4 + i * 8), in_.U32(directory_count_at + 8 + i * 8)};
        }
        const std::uint64_t table = optional + optional_size;
        if (!in_.Has(table, std::uint64_t{section_count} * 40)) return Error("section table runs past the file");
        for (std::uint16_t i = 0; i < section_count; ++i) {
            const std::uint64_t at = table + i * 40u;
            sections_.push_back({in_.U32(at + 12), in_.U32(at + 8), in_.U32(at + 20), in_.U32(at + 16)});
        }
        if (in_.failed()) return Error("headers run past the file");
        return true;
    }

    bool Exports(PeFile& pe) {
        const auto [rva, size] = directories_[kExportDirectory];
        if (size == 0) return true;
        const auto at = Offset(rva, 40);
        if (!at) return Error("export directory outside the file");
        pe.exported_functions = in_.U32(*at + 20);
        const std::uint32_t name_count = in_.U32(*at + 24);
        const std::uint32_t names = in_.U32(*at + 32);
        if (name_count > 65536) return Error("implausible export name count");
        const auto table = Offset(names, name_count * 4);
        if (name_count != 0 && !table) return Error("export name table outside the file");
        for (std::uint32_t i = 0; i < name_count; ++i) {
            const auto name = TextAt(in_.U32(*table + i * 4u));
            if (!name) return Error("export name outside the file");
            pe.export_names.push_back(*name);
        }
        return true;
    }

    bool Imports(PeFile& pe) {
        const auto [rva, size] = directories_[kImportDirectory];
        if (size == 0) return true;
        for (std::uint32_t entry = rva;; entry += 20) {
            const auto at = Offset(entry, 20);
            if (!at) return Error("import table outside the file");
            const std::uint32_t name = in_.U32(*at + 12);
            if (name == 0) return true;
            const auto dll = TextAt(name);
            if (!dll) return Error("imported DLL name outside the file");
            pe.imported_dlls.push_back(*dll);
            if (pe.imported_dlls.size() > 1024) return Error("import table has no end");
        }
    }

    std::optional<ResourceKey> Key(std::uint64_t base, std::uint32_t word) {
        if ((word & kSubdirectoryFlag) == 0) return ResourceKey::Id(static_cast<std::uint16_t>(word));
        const std::uint64_t at = base + (word & ~kSubdirectoryFlag);
        const std::uint16_t length = in_.U16(at);
        if (!in_.Has(at + 2, length * 2u)) return std::nullopt;
        std::string name;
        for (std::uint16_t i = 0; i < length; ++i) {
            const std::uint16_t c = in_.U16(at + 2 + i * 2u);
            name.push_back(c < 0x80 ? static_cast<char>(c) : '?');
        }
        return ResourceKey::Name(name);
    }

    // The entries (key word, target word) of the resource directory at `offset` from
    // the tree's base.
    std::optional<std::vector<std::pair<std::uint32_t, std::uint32_t>>> Entries(std::uint64_t base,
                                                                               std::uint32_t offset) {
        const std::uint64_t at = base + offset;
        const std::uint32_t count = std::uint32_t{in_.U16(at + 12)} + in_.U16(at + 14);
        if (in_.failed() || !in_.Has(at + 16, count * 8u)) return std::nullopt;
        std::vector<std::pair<std::uint32_t, std::uint32_t>> entries;
        for (std::uint32_t i = 0; i < count; ++i) {
            entries.emplace_back(in_.U32(at + 16 + i * 8u), in_.U32(at + 20 + i * 8u));
        }
        return entries;
    }

    bool Resources(PeFile& pe) {
        const auto [rva, size] = directories_[kResourceDirectory];
        if (size == 0) return true;
        const auto base = Offset(rva, 16);
        if (!base) return Error("resource directory outside the file");
        // Three levels: type, name, language; a target without the subdirectory flag at
        // the third level is the data entry.
        const auto types = Entries(*base, 0);
        if (!types) return Error("resource type directory runs past the file");
        for (const auto& [type_word, type_target] : *types) {
            const auto names = Entries(*base, type_target & ~kSubdirectoryFlag);
            const auto type = Key(*base, type_word);
            if (!names || !type || (type_target & kSubdirectoryFlag) == 0) return Error("damaged resource types");
            for (const auto& [name_word, name_target] : *names) {
                const auto languages = Entries(*base, name_target & ~kSubdirectoryFlag);
                const auto name = Key(*base, name_word);
                if (!languages || !name || (name_target & kSubdirectoryFlag) == 0) {
                    return Error("damaged resource names");
                }
                for (const auto& [language, data_entry] : *languages) {
                    const std::uint64_t entry = *base + data_entry;
                    const std::uint32_t data_rva = in_.U32(entry);
                    const std::uint32_t data_size = in_.U32(entry + 4);
                    const auto data = Offset(data_rva, data_size);
                    if (in_.failed() || (data_entry & kSubdirectoryFlag) != 0 || !data) {
                        return Error("resource data outside the file");
                    }
                    const auto first = in_.bytes().begin() + static_cast<std::ptrdiff_t>(*data);
                    pe.resources.push_back({*type, *name, static_cast<std::uint16_t>(language),
                                            Bytes(first, first + data_size)});
                }
            }
        }
        return true;
    }

    Reader in_;
    std::string& error_;
    std::vector<Section> sections_;
    std::pair<std::uint32_t, std::uint32_t> directories_[16] = {};
};

std::string Upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

// One node of a version resource: length, value length, type, key, value, children.
struct VersionNode {
    std::uint64_t end = 0;
    std::string key;
    std::uint64_t value = 0;  // offset of the value
    std::uint64_t children = 0;
};

std::uint64_t Align4(std::uint64_t offset) { return (offset + 3) & ~std::uint64_t{3}; }

std::string Utf16Text(Reader& in, std::uint64_t& at, std::uint64_t end) {
    std::string text;
    while (at + 2 <= end) {
        const std::uint16_t c = in.U16(at);
        at += 2;
        if (c == 0) break;
        text.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return text;
}

std::optional<VersionNode> ReadVersionNode(Reader& in, std::uint64_t at, std::uint64_t limit) {
    const std::uint16_t length = in.U16(at);
    const std::uint16_t value_length = in.U16(at + 2);
    const std::uint16_t type = in.U16(at + 4);
    if (in.failed() || length < 6 || at + length > limit) return std::nullopt;
    VersionNode node;
    node.end = at + length;
    std::uint64_t p = at + 6;
    node.key = Utf16Text(in, p, node.end);
    node.value = Align4(p);
    const std::uint64_t value_bytes = type == 1 ? value_length * 2u : value_length;
    node.children = std::min(node.end, Align4(node.value + value_bytes));
    return node;
}

}  // namespace

bool ResourceKey::Matches(const ResourceKey& other) const {
    if (id || other.id) return id == other.id;
    return Upper(name) == Upper(other.name);
}

std::vector<const PeResource*> PeFile::Find(const ResourceKey& type, const ResourceKey& name) const {
    std::vector<const PeResource*> found;
    for (const PeResource& r : resources) {
        if (r.type.Matches(type) && r.name.Matches(name)) found.push_back(&r);
    }
    return found;
}

std::optional<PeFile> ReadPeFile(const std::vector<std::uint8_t>& bytes, std::string& error) {
    return PeReader(bytes, error).Read();
}

std::vector<std::pair<std::string, std::string>> VersionStrings(const std::vector<std::uint8_t>& resource) {
    Reader in(resource);
    std::vector<std::pair<std::string, std::string>> strings;
    const auto root = ReadVersionNode(in, 0, resource.size());
    if (!root || root->key != "VS_VERSION_INFO") return strings;
    for (std::uint64_t at = root->children; at < root->end;) {
        const auto block = ReadVersionNode(in, at, root->end);
        if (!block) return {};
        if (block->key == "StringFileInfo") {
            const auto table = ReadVersionNode(in, block->children, block->end);
            if (!table) return {};
            for (std::uint64_t s = table->children; s < table->end;) {
                const auto entry = ReadVersionNode(in, s, table->end);
                if (!entry) return {};
                std::uint64_t value = entry->value;
                strings.emplace_back(entry->key, Utf16Text(in, value, entry->end));
                s = Align4(entry->end);
            }
            return strings;
        }
        at = Align4(block->end);
    }
    return strings;
}

}  // namespace tessellon::testing
