// Real zip archives written with libarchive, for tests that need archives a
// packer would never produce (names that climb out, planted links).
#pragma once

#include <archive.h>
#include <archive_entry.h>
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace vorlia::test {

struct ZipEntry {
    std::string name;
    mode_t type = AE_IFREG;
    mode_t perm = 0644;
    std::string content; // a file's bytes, or a link's target
};

namespace detail {

// Hands `edit` the offset of the central directory record of the entry
// `name` in a written zip, with a writer and a reader of the file's 32-bit
// little-endian fields.
template <typename Edit> void editZip(const std::filesystem::path& zip, const std::string& name, Edit edit) {
    std::fstream file(zip, std::ios::in | std::ios::out | std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(file)), {});
    const auto u16 = [&bytes](std::size_t at) {
        return static_cast<std::size_t>(static_cast<unsigned char>(bytes[at]) |
                                        static_cast<unsigned char>(bytes[at + 1]) << 8);
    };
    for (std::size_t at = bytes.find("PK\x01\x02"); at != std::string::npos;
         at = bytes.find("PK\x01\x02", at + 4)) {
        if (at + 46 <= bytes.size() && bytes.compare(at + 46, u16(at + 28), name) == 0 &&
            u16(at + 28) == name.size()) {
            const auto put = [&file](std::size_t where, std::uint32_t value) {
                file.seekp(static_cast<std::streamoff>(where));
                for (int i = 0; i < 4; ++i) {
                    file.put(static_cast<char>(value >> (8 * i) & 0xff));
                }
            };
            const auto u32 = [&](std::size_t where) { return u16(where) | u16(where + 2) << 16; };
            edit(at, put, u32);
            return;
        }
    }
    throw std::runtime_error("no entry " + name + " in " + zip.string());
}

} // namespace detail

// Gives the entry `name` of a written zip the Unix file type and mode `mode`
// in its central directory: libarchive writes only files, folders and links,
// and a hostile archive is not so polite.
inline void setZipEntryMode(const std::filesystem::path& zip, const std::string& name, std::uint32_t mode) {
    detail::editZip(zip, name,
                    [mode](std::size_t central, auto put, auto) { put(central + 38, mode << 16); });
}

// Makes the entry `name` of a written zip declare `size` bytes unpacked, in
// its central directory and its local header, whatever its data holds.
inline void setZipEntryDeclaredSize(const std::filesystem::path& zip, const std::string& name,
                                    std::uint32_t size) {
    detail::editZip(zip, name, [size](std::size_t central, auto put, auto u32) {
        put(central + 24, size);
        put(u32(central + 42) + 22, size);
    });
}

// `compression` is libarchive's zip option ("store", "deflate"); by default
// its own choice.
inline void writeZip(const std::filesystem::path& zip, const std::vector<ZipEntry>& entries,
                     const char* compression = nullptr) {
    archive* a = archive_write_new();
    archive_write_set_format_zip(a);
    if (compression != nullptr &&
        archive_write_set_format_option(a, "zip", "compression", compression) != ARCHIVE_OK) {
        archive_write_free(a);
        throw std::runtime_error(std::string("no zip compression ") + compression);
    }
    if (archive_write_open_filename(a, zip.c_str()) != ARCHIVE_OK) {
        archive_write_free(a);
        throw std::runtime_error("cannot write " + zip.string());
    }
    for (const ZipEntry& e : entries) {
        archive_entry* entry = archive_entry_new();
        archive_entry_set_pathname(entry, e.name.c_str());
        archive_entry_set_filetype(entry, e.type);
        archive_entry_set_perm(entry, e.perm);
        if (e.type == AE_IFLNK) {
            archive_entry_set_symlink(entry, e.content.c_str());
        }
        archive_entry_set_size(entry, e.type == AE_IFREG ? static_cast<la_int64_t>(e.content.size()) : 0);
        archive_write_header(a, entry);
        if (e.type == AE_IFREG && !e.content.empty()) {
            archive_write_data(a, e.content.data(), e.content.size());
        }
        archive_entry_free(entry);
    }
    archive_write_close(a);
    archive_write_free(a);
}

// A small program that starts on this machine (the system's `true`): the
// updater reads its ELF header and has its interpreter list its libraries
// before it trusts a new `vorlia`.
inline std::string programForThisMachine() {
    std::ifstream program("/usr/bin/true", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(program), {});
}

// An application folder's entries at `top` ("Vorlia.app/"), of the given version.
inline std::vector<ZipEntry> bundleEntries(const std::string& top = "Vorlia.app/",
                                           const std::string& version = "2") {
    return {{top, AE_IFDIR, 0755, ""},
            {top + "vorlia", AE_IFREG, 0755, programForThisMachine()},
            {top + "Info.json", AE_IFREG, 0644, "{\"CFBundleShortVersionString\": \"" + version + "\"}"}};
}

} // namespace vorlia::test
