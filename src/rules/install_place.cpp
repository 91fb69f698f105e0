#include "rules/install_place.hpp"

#include <elf.h>
#include <sys/stat.h>

#include <cstring>
#include <iterator>
#include <type_traits>

namespace vorlia {
namespace fs = std::filesystem;

namespace {

bool ownedByPlayerOrRoot(const FolderFacts& f, std::uint32_t player) {
    return f.owner == player || f.owner == 0;
}

bool othersMayWrite(const FolderFacts& f, std::optional<std::uint32_t> playersOwnGroup) {
    const bool groupIsThePlayer = playersOwnGroup && f.group == *playersOwnGroup;
    return (f.mode & S_IWOTH) != 0 || ((f.mode & S_IWGRP) != 0 && !groupIsThePlayer);
}

} // namespace

bool isSafePlace(const std::vector<FolderFacts>& fromApplicationFolderUp, std::uint32_t player,
                 std::optional<std::uint32_t> playersOwnGroup) {
    // The application folder, its holding folder and at least "/" above them.
    if (fromApplicationFolderUp.size() < 2) {
        return false;
    }
    for (std::size_t i = 0; i < fromApplicationFolderUp.size(); ++i) {
        const FolderFacts& f = fromApplicationFolderUp[i];
        if (!S_ISDIR(f.mode) || !ownedByPlayerOrRoot(f, player)) {
            return false;
        }
        if (i == 0 || !othersMayWrite(f, playersOwnGroup)) {
            continue;
        }
        // The holding folder itself is never shared; a shared one above it
        // must keep others from renaming the player's folder below.
        if (i == 1 || (f.mode & S_ISVTX) == 0 ||
            !ownedByPlayerOrRoot(fromApplicationFolderUp[i - 1], player)) {
            return false;
        }
    }
    return true;
}

bool isInside(const fs::path& path, const fs::path& folder) {
    auto p = path.begin();
    for (auto f = folder.begin(); f != folder.end(); ++f, ++p) {
        // A trailing separator gives an empty last name.
        if (f->empty() && std::next(f) == folder.end()) {
            break;
        }
        if (p == path.end() || *p != *f) {
            return false;
        }
    }
    return true;
}

bool isWorkFolderName(std::string_view name) {
    constexpr std::string_view prefix = "vrl-update-";
    return name.size() > prefix.size() && name.starts_with(prefix);
}

bool mayRegisterFrom(const fs::path& applicationFolder, const fs::path& temporaryFolder) {
    if (!temporaryFolder.empty() && isInside(applicationFolder, temporaryFolder)) {
        return false;
    }
    for (const fs::path& name : applicationFolder) {
        if (isWorkFolderName(name.native())) {
            return false;
        }
    }
    return true;
}

std::optional<ProgramInterpreter> programInterpreter(std::string_view fileStart) {
    using Header = std::conditional_t<sizeof(void*) == 8, Elf64_Ehdr, Elf32_Ehdr>;
    using ProgramHeader = std::conditional_t<sizeof(void*) == 8, Elf64_Phdr, Elf32_Phdr>;
    constexpr unsigned char wordSize = sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32;
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    constexpr unsigned char order = ELFDATA2LSB;
#else
    constexpr unsigned char order = ELFDATA2MSB;
#endif
    Header header;
    if (fileStart.size() < sizeof header) {
        return std::nullopt;
    }
    std::memcpy(&header, fileStart.data(), sizeof header);
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != wordSize ||
        header.e_ident[EI_DATA] != order || header.e_phentsize != sizeof(ProgramHeader)) {
        return std::nullopt;
    }
    const auto within = [&fileStart](std::uint64_t offset, std::uint64_t size) {
        return offset <= fileStart.size() && size <= fileStart.size() - offset;
    };
    if (!within(header.e_phoff, std::uint64_t{header.e_phnum} * sizeof(ProgramHeader))) {
        return std::nullopt;
    }
    for (std::uint64_t i = 0; i < header.e_phnum; ++i) {
        ProgramHeader ph;
        std::memcpy(&ph, fileStart.data() + header.e_phoff + i * sizeof ph, sizeof ph);
        if (ph.p_type != PT_INTERP) {
            continue;
        }
        if (!within(ph.p_offset, ph.p_filesz) || ph.p_filesz < 2) {
            return std::nullopt;
        }
        // The name with its terminating zero, and no other zero in it.
        const std::string_view text = fileStart.substr(ph.p_offset, ph.p_filesz - 1);
        if (fileStart[ph.p_offset + ph.p_filesz - 1] != '\0' || text.find('\0') != std::string_view::npos) {
            return std::nullopt;
        }
        return ProgramInterpreter{false, std::string(text)};
    }
    return ProgramInterpreter{true, {}};
}

bool listShowsEveryLibrary(std::string_view output, int exitStatus) {
    // A missing library ends the listing with an error status; a missing
    // symbol version is only reported ("version `X' not found").
    return exitStatus == 0 && output.find("=> not found") == std::string_view::npos &&
           output.find("' not found") == std::string_view::npos;
}

} // namespace vorlia
