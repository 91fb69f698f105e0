#include "update/install_steps.hpp"

#include "base/files.hpp"
#include "base/handle.hpp"
#include "rules/constants.hpp"
#include "rules/install_rules.hpp"
#include "rules/relaunch_script.hpp"
#include "rules/version.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <glib.h>
#include <glib/gstdio.h>

#include <cerrno>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vorlia {
namespace fs = std::filesystem;

namespace {

struct ReadArchiveFree {
    void operator()(archive* a) const noexcept { archive_read_free(a); }
};
struct WriteArchiveFree {
    void operator()(archive* a) const noexcept { archive_write_free(a); }
};

bool isRegularFile(const fs::path& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Whether the folder's `vorlia` is a program this machine can start. Read
// without following a link: isApplicationFolder has found a regular file.
bool holdsProgramForThisMachine(const fs::path& folder) {
    const int fd = ::open((folder / "vorlia").c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    char header[64];
    const ssize_t n = ::read(fd, header, sizeof header);
    ::close(fd);
    return n > 0 && isProgramFor(std::string_view(header, static_cast<std::size_t>(n)), thisMachine());
}

// One owner for each of posix_spawn's C structures.
template <typename T, int (*init)(T*), int (*destroy)(T*)> struct SpawnStructure {
    T value;
    SpawnStructure() { init(&value); }
    ~SpawnStructure() { destroy(&value); }
    SpawnStructure(const SpawnStructure&) = delete;
    SpawnStructure& operator=(const SpawnStructure&) = delete;
};
using SpawnAttributes = SpawnStructure<posix_spawnattr_t, posix_spawnattr_init, posix_spawnattr_destroy>;
using SpawnFileActions = SpawnStructure<posix_spawn_file_actions_t, posix_spawn_file_actions_init,
                                        posix_spawn_file_actions_destroy>;

} // namespace

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

bool isApplicationFolder(const fs::path& folder) {
    struct stat st {};
    if (pathExtension(folder.filename().string()) != "app" || ::stat(folder.c_str(), &st) != 0 ||
        !S_ISDIR(st.st_mode)) {
        return false;
    }
    const fs::path executable = folder / "vorlia";
    struct stat exe {};
    return isRegularFile(executable) && ::stat(executable.c_str(), &exe) == 0 &&
           (exe.st_mode & S_IXUSR) != 0 && isRegularFile(folder / "Info.json");
}

bool folderIsWritable(const fs::path& folder) {
    return ::access(folder.c_str(), W_OK | X_OK) == 0;
}

fs::path newWorkFolderPath(const fs::path& temporaryFolder) {
    const GText uuid(g_uuid_string_random());
    const GText upper(g_ascii_strup(uuid.get(), -1));
    return temporaryFolder / (std::string("vrl-update-") + upper.get());
}

bool isWorkFolderName(std::string_view name) {
    constexpr std::string_view prefix = "vrl-update-";
    return name.size() > prefix.size() && name.starts_with(prefix);
}

namespace {

// The version of the new application folder a work folder still holds, if any.
std::optional<std::string> heldVersion(const fs::path& workFolder) {
    auto entries = listFolder(workFolder);
    if (!entries) {
        return std::nullopt;
    }
    const std::optional<std::string> name = chooseNewApplicationFolder(*entries);
    if (!name || !isApplicationFolder(workFolder / *name)) {
        return std::nullopt;
    }
    auto info = readFile(workFolder / *name / "Info.json");
    return launcherVersionFromInfo(info ? std::optional<std::string>(*info) : std::nullopt);
}

} // namespace

void removeLeftoverWorkFolders(const fs::path& temporaryFolder, std::string_view runningVersion,
                               std::int64_t startedAt) {
    auto entries = listFolder(temporaryFolder);
    if (!entries) {
        return;
    }
    for (const FolderEntry& entry : *entries) {
        if (!entry.isFolder || !isWorkFolderName(entry.name)) {
            continue;
        }
        const fs::path folder = temporaryFolder / entry.name;
        struct stat st {};
        if (::lstat(folder.c_str(), &st) != 0 || st.st_uid != ::getuid() || st.st_mtime >= startedAt) {
            continue;
        }
        if (const auto version = heldVersion(folder); version && isNewer(*version, runningVersion)) {
            continue;
        }
        removeOwnTree(folder);
    }
}

expected<void, std::string> createPrivateFolder(const fs::path& folder) {
    if (auto parents = makeFolders(folder.parent_path()); !parents) {
        return parents;
    }
    if (::mkdir(folder.c_str(), 0700) != 0) {
        return unexpected(fileError("Could not create the folder", folder, errno));
    }
    if (::chmod(folder.c_str(), 0700) != 0) {
        return unexpected(fileError("Could not protect the folder", folder, errno));
    }
    return {};
}

expected<std::vector<FolderEntry>, std::string> listFolder(const fs::path& folder) {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
    if (!dir) {
        return unexpected(fileError("Could not list the folder", folder, errno));
    }
    std::vector<FolderEntry> entries;
    for (;;) {
        errno = 0;
        const dirent* d = ::readdir(dir.get());
        if (d == nullptr) {
            if (errno != 0) {
                return unexpected(fileError("Could not list the folder", folder, errno));
            }
            break;
        }
        const std::string name = d->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        struct stat st {};
        const bool isFolder = ::lstat((folder / name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        entries.push_back({name, isFolder});
    }
    return entries;
}

bool unpackArchive(const fs::path& archivePath, const fs::path& destination) {
    // Entries are written under the resolved destination, so that a link
    // anywhere in the temporary folder's own path is not mistaken for one
    // planted by the archive.
    std::error_code ec;
    const fs::path root = fs::canonical(destination, ec);
    if (ec) {
        return false;
    }
    const std::unique_ptr<archive, ReadArchiveFree> in(archive_read_new());
    const std::unique_ptr<archive, WriteArchiveFree> out(archive_write_disk_new());
    if (!in || !out) {
        return false;
    }
    archive_read_support_format_zip(in.get());
    // Absolute archive names are refused below, before the destination is put
    // in front; libarchive's own absolute-path guard would refuse that prefix.
    archive_write_disk_set_options(out.get(), ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_TIME |
                                                  ARCHIVE_EXTRACT_SECURE_NODOTDOT |
                                                  ARCHIVE_EXTRACT_SECURE_SYMLINKS);
    // Stored entries come through in blocks of this size, each one read and
    // one write: larger blocks spend less of the unpacking in system calls.
    if (archive_read_open_filename(in.get(), archivePath.c_str(), 1 << 20) != ARCHIVE_OK) {
        return false;
    }
    for (;;) {
        archive_entry* entry = nullptr;
        const int next = archive_read_next_header(in.get(), &entry);
        if (next == ARCHIVE_EOF) {
            break;
        }
        if (next < ARCHIVE_WARN) {
            return false;
        }
        // Only files, folders, and links that land inside the folder: a
        // device node or a link out of the folder has no place in a launcher.
        const bool hardLink = archive_entry_hardlink(entry) != nullptr;
        const mode_t type = archive_entry_filetype(entry);
        const char* name = archive_entry_pathname(entry);
        if (name == nullptr || !isPlainArchiveName(name, !hardLink && type == AE_IFDIR)) {
            return false;
        }
        if (!hardLink && type == AE_IFLNK) {
            const char* target = archive_entry_symlink(entry);
            if (target == nullptr || !linkStaysInside(name, target)) {
                return false;
            }
        } else if (!hardLink && type != AE_IFREG && type != AE_IFDIR) {
            return false;
        }
        archive_entry_set_pathname(entry, (root / name).c_str());
        if (const char* target = archive_entry_hardlink(entry); target != nullptr) {
            if (!isPlainArchiveName(target, false)) {
                return false;
            }
            archive_entry_set_hardlink(entry, (root / target).c_str());
        }
        // Never hand out set-id programs, nor files others may change, from an archive.
        archive_entry_set_perm(entry, installedMode(archive_entry_perm(entry)));
        if (archive_write_header(out.get(), entry) < ARCHIVE_WARN) {
            return false;
        }
        const void* block = nullptr;
        size_t size = 0;
        la_int64_t offset = 0;
        for (;;) {
            const int r = archive_read_data_block(in.get(), &block, &size, &offset);
            if (r == ARCHIVE_EOF) {
                break;
            }
            // libarchive reports a wrong checksum, and a refused write (after
            // which it pads the file to its size), as mere warnings: either
            // would leave a damaged entry that looks whole.
            if (r != ARCHIVE_OK || archive_write_data_block(out.get(), block, size, offset) != ARCHIVE_OK) {
                return false;
            }
        }
        if (archive_write_finish_entry(out.get()) < ARCHIVE_WARN) {
            return false;
        }
    }
    return archive_write_close(out.get()) == ARCHIVE_OK && archive_read_close(in.get()) == ARCHIVE_OK;
}

expected<fs::path, UpdateFailure> unpackUpdate(const fs::path& workFolder) {
    const UpdateFailure notUnpacked{FailureReason::couldNotBeUnpacked, {}};
    if (!unpackArchive(workFolder / archiveFileName, workFolder)) {
        return unexpected(notUnpacked);
    }
    auto entries = listFolder(workFolder);
    if (!entries) {
        return unexpected(UpdateFailure{FailureReason::systemError, entries.error()});
    }
    const std::optional<std::string> name = chooseNewApplicationFolder(*entries);
    // A folder that could not start must never replace one that can.
    if (!name || !isApplicationFolder(workFolder / *name) ||
        !holdsProgramForThisMachine(workFolder / *name)) {
        return unexpected(notUnpacked);
    }
    return workFolder / *name;
}

expected<void, std::string> startRelaunchScript(const fs::path& workFolder, const fs::path& applicationFolder,
                                                const fs::path& newFolder, const std::string& shell,
                                                const std::vector<std::string>& notPassedOn) {
    const fs::path script = workFolder / relaunchScriptName;
    if (auto written = writeFileAtomically(
            script, relaunchScript(getpid(), applicationFolder.string(), newFolder.string()));
        !written) {
        return unexpected(written.error());
    }
    const std::string scriptPath = script.string();
    char* argv[] = {const_cast<char*>(shell.c_str()), const_cast<char*>(scriptPath.c_str()), nullptr};
    // posix_spawn, not g_spawn_async: to make the new session GLib forks,
    // twice, a process that holds a web engine, which delayed the quit by
    // tens of milliseconds (a fifth of a second on a loaded machine).
    SpawnAttributes spawn;
    SpawnFileActions files;
    sigset_t none;
    sigset_t reset;
    sigemptyset(&none);
    sigemptyset(&reset);
    for (const int signal : {SIGCHLD, SIGHUP, SIGINT, SIGTERM, SIGPIPE}) {
        sigaddset(&reset, signal);
    }
    posix_spawnattr_setsigmask(&spawn.value, &none);
    posix_spawnattr_setsigdefault(&spawn.value, &reset);
    // Its own session: the script must outlive the launcher and whatever
    // ends the launcher's session.
    posix_spawnattr_setflags(&spawn.value,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    // Nothing of the launcher's but the standard streams stays open in it.
    posix_spawn_file_actions_addclosefrom_np(&files.value, STDERR_FILENO + 1);
    Handle<char*> environment(g_get_environ());
    for (const std::string& name : notPassedOn) {
        environment.reset(g_environ_unsetenv(environment.release(), name.c_str()));
    }
    pid_t pid = 0;
    if (const int error = posix_spawn(&pid, argv[0], &files.value, &spawn.value, argv, environment.get());
        error != 0) {
        return unexpected(fileError("Could not start", shell, error));
    }
    // Reaped should it end while the launcher still runs.
    g_child_watch_add(
        pid, [](GPid child, gint, gpointer) { g_spawn_close_pid(child); }, nullptr);
    return {};
}

} // namespace vorlia
