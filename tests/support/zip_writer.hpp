// Real zip archives written with libarchive, for tests that need archives a
// packer would never produce (names that climb out, planted links).
#pragma once

#include <archive.h>
#include <archive_entry.h>
#include <sys/types.h>

#include <filesystem>
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

inline void writeZip(const std::filesystem::path& zip, const std::vector<ZipEntry>& entries) {
    archive* a = archive_write_new();
    archive_write_set_format_zip(a);
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

// An application folder's entries at `top` ("Vorlia.app/"), of the given version.
inline std::vector<ZipEntry> bundleEntries(const std::string& top = "Vorlia.app/",
                                           const std::string& version = "2") {
    return {{top, AE_IFDIR, 0755, ""},
            {top + "vorlia", AE_IFREG, 0755, "#!/bin/sh\necho new\n"},
            {top + "Info.json", AE_IFREG, 0644, "{\"CFBundleShortVersionString\": \"" + version + "\"}"}};
}

} // namespace vorlia::test
