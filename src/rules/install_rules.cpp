#include "rules/install_rules.hpp"

#include "rules/path_segments.hpp"

#include <elf.h>

#include <cstring>

namespace vorlia {

std::uint32_t installedMode(std::uint32_t archiveMode) {
    return archiveMode & 0755;
}

bool isPlainArchiveName(std::string_view name, bool isFolder) {
    return isPlainRelativePath(name, isFolder);
}

bool linkStaysInside(std::string_view entryName, std::string_view target) {
    if (!isPlainRelativePath(entryName) || target.empty() || target.front() == '/') {
        return false;
    }
    std::size_t depth = pathSegments(entryName).size() - 1;
    bool named = false;
    for (const PathSegment& segment : pathSegments(target)) {
        if (segment.kind == SegmentKind::name) {
            named = true;
        } else if (segment.kind == SegmentKind::parent) {
            if (named || depth == 0) {
                return false;
            }
            --depth;
        }
    }
    return true;
}

std::uint16_t thisMachine() {
#if defined(__x86_64__)
    return EM_X86_64;
#elif defined(__aarch64__)
    return EM_AARCH64;
#elif defined(__i386__)
    return EM_386;
#elif defined(__arm__)
    return EM_ARM;
#elif defined(__riscv)
    return EM_RISCV;
#elif defined(__powerpc64__)
    return EM_PPC64;
#elif defined(__s390x__)
    return EM_S390;
#elif defined(__loongarch64)
    return 258; // EM_LOONGARCH, missing from older <elf.h>
#else
#error "No ELF machine number for this CPU architecture"
#endif
}

bool isProgramFor(std::string_view header, std::uint16_t machine) {
    // e_ident, e_type and e_machine sit at the same place in both classes.
    constexpr std::size_t needed = EI_NIDENT + 4;
    if (header.size() < needed || std::memcmp(header.data(), ELFMAG, SELFMAG) != 0) {
        return false;
    }
    const auto byte = [&header](std::size_t i) { return static_cast<unsigned char>(header[i]); };
    const unsigned char wordSize = sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32;
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    const unsigned char order = ELFDATA2LSB;
    const auto half = [&byte](std::size_t i) {
        return static_cast<std::uint16_t>(byte(i) | byte(i + 1) << 8);
    };
#else
    const unsigned char order = ELFDATA2MSB;
    const auto half = [&byte](std::size_t i) {
        return static_cast<std::uint16_t>(byte(i) << 8 | byte(i + 1));
    };
#endif
    if (byte(EI_CLASS) != wordSize || byte(EI_DATA) != order) {
        return false;
    }
    const std::uint16_t type = half(EI_NIDENT);
    return (type == ET_EXEC || type == ET_DYN) && half(EI_NIDENT + 2) == machine;
}

std::string_view pathExtension(std::string_view name) {
    const std::size_t dot = name.rfind('.');
    return dot == std::string_view::npos ? std::string_view{} : name.substr(dot + 1);
}

std::optional<std::string> chooseNewApplicationFolder(const std::vector<FolderEntry>& entries) {
    for (const FolderEntry& entry : entries) {
        if (entry.isFolder && pathExtension(entry.name) == "app") {
            return entry.name;
        }
    }
    return std::nullopt;
}

} // namespace vorlia
