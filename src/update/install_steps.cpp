#include "update/install_steps.hpp"

#include "base/files.hpp"
#include "base/handle.hpp"
#include "place/application_place.hpp"
#include "rules/constants.hpp"
#include "rules/install_place.hpp"
#include "rules/install_rules.hpp"
#include "rules/relaunch_script.hpp"
#include "rules/version.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <glib.h>
#include <glib/gstdio.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

namespace vorlia {
namespace fs = std::filesystem;

namespace {

struct ReadArchiveFree {
    void operator()(archive* a) const noexcept { archive_read_free(a); }
};
struct WriteArchiveFree {
    void operator()(archive* a) const noexcept { archive_write_free(a); }
};

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

fs::path newWorkFolderPath(const fs::path& temporaryFolder) {
    const GText uuid(g_uuid_string_random());
    const GText upper(g_ascii_strup(uuid.get(), -1));
    return temporaryFolder / (std::string("vrl-update-") + upper.get());
}

WorkFolderLock::~WorkFolderLock() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

WorkFolderLock::WorkFolderLock(WorkFolderLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

WorkFolderLock& WorkFolderLock::operator=(WorkFolderLock&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

expected<WorkFolderLock, std::string> WorkFolderLock::take(const fs::path& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return unexpected(fileError("Could not open the folder", folder, errno));
    }
    WorkFolderLock lock(fd);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        return unexpected(fileError("Could not lock the folder", folder, errno));
    }
    return lock;
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
                               std::int64_t startedAt, const fs::path& runningFolder) {
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
        // A launcher may have been started from inside one ("Almost done"
        // shows it there): the folder it runs from is never taken from it.
        std::error_code error;
        const fs::path real = fs::canonical(folder, error);
        if (error || isInside(runningFolder, real)) {
            continue;
        }
        if (const auto version = heldVersion(folder); version && isNewer(*version, runningVersion)) {
            continue;
        }
        // Held while it goes, so that no launcher takes it up meanwhile; one
        // that another launcher holds is in use (its time does not change
        // while its archive grows).
        if (const auto lock = WorkFolderLock::take(folder)) {
            removeOwnTree(folder);
        }
    }
}

expected<void, std::string> createPrivateFolder(const fs::path& folder) {
    return makeFolders(folder.parent_path()).and_then([&]() -> expected<void, std::string> {
        if (::mkdir(folder.c_str(), 0700) != 0) {
            return unexpected(fileError("Could not create the folder", folder, errno));
        }
        if (::chmod(folder.c_str(), 0700) != 0) {
            return unexpected(fileError("Could not protect the folder", folder, errno));
        }
        return {};
    });
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

bool unpackArchive(const fs::path& archivePath, const fs::path& destination, const UnpackLimits& limits) {
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
    std::uint64_t entries = 0;
    std::uint64_t bytes = 0; // of the entries before this one
    for (;;) {
        archive_entry* entry = nullptr;
        const int next = archive_read_next_header(in.get(), &entry);
        if (next == ARCHIVE_EOF) {
            break;
        }
        if (next < ARCHIVE_WARN || ++entries > limits.entries) {
            return false;
        }
        // The size an entry declares is checked first, so that an entry too
        // large for what is left is never started; the bytes it holds are
        // counted as they come too, for an entry that declares none. A file
        // is written out to its declared size even when its data is shorter.
        const std::uint64_t room = limits.totalBytes - bytes;
        const std::uint64_t declared =
            archive_entry_size_is_set(entry) != 0
                ? static_cast<std::uint64_t>(std::max<la_int64_t>(archive_entry_size(entry), 0))
                : 0;
        if (declared > room) {
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
        std::uint64_t entryEnd = 0;
        for (;;) {
            const int r = archive_read_data_block(in.get(), &block, &size, &offset);
            if (r == ARCHIVE_EOF) {
                break;
            }
            // libarchive reports a wrong checksum, and a refused write (after
            // which it pads the file to its size), as mere warnings: either
            // would leave a damaged entry that looks whole.
            if (r != ARCHIVE_OK || offset < 0 || size > room ||
                static_cast<std::uint64_t>(offset) > room - size) {
                return false;
            }
            entryEnd = std::max(entryEnd, static_cast<std::uint64_t>(offset) + size);
            if (archive_write_data_block(out.get(), block, size, offset) != ARCHIVE_OK) {
                return false;
            }
        }
        bytes += std::max(entryEnd, declared);
        if (archive_write_finish_entry(out.get()) < ARCHIVE_WARN) {
            return false;
        }
    }
    return archive_write_close(out.get()) == ARCHIVE_OK && archive_read_close(in.get()) == ARCHIVE_OK;
}

Handle<char*> relaunchEnvironment(const std::vector<std::string>& notPassedOn) {
    Handle<char*> environment(g_get_environ());
    for (const std::string& name : notPassedOn) {
        environment.reset(g_environ_unsetenv(environment.release(), name.c_str()));
    }
    environment.reset(g_environ_setenv(environment.release(), "PATH", "/usr/bin:/bin", TRUE));
    return environment;
}

bool librariesResolve(const fs::path& program, char** environment) {
    std::string start(64 * 1024, '\0');
    const int fd = ::open(program.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const ssize_t n = ::read(fd, start.data(), start.size());
    ::close(fd);
    const auto interpreter =
        programInterpreter(std::string_view(start.data(), n > 0 ? static_cast<std::size_t>(n) : 0));
    if (!interpreter) {
        return false;
    }
    if (interpreter->none) {
        return true;
    }
    if (!fs::path(interpreter->path).is_absolute()) {
        return false;
    }
    const std::string path = program.string();
    char* argv[] = {const_cast<char*>(interpreter->path.c_str()), const_cast<char*>("--list"),
                    const_cast<char*>(path.c_str()), nullptr};
    char* out = nullptr;
    char* err = nullptr;
    gint status = 0;
    if (!g_spawn_sync("/", argv, environment, G_SPAWN_DEFAULT, nullptr, nullptr, &out, &err, &status,
                      nullptr)) {
        return false;
    }
    const GText output(out);
    const GText errors(err);
    const std::string report = std::string(output ? output.get() : "") + (errors ? errors.get() : "");
    return WIFEXITED(status) && listShowsEveryLibrary(report, WEXITSTATUS(status));
}

expected<fs::path, UpdateFailure> unpackUpdate(const fs::path& workFolder, char** environment,
                                               const UnpackLimits& limits) {
    const UpdateFailure notUnpacked{FailureReason::couldNotBeUnpacked, {}};
    if (!unpackArchive(workFolder / archiveFileName, workFolder, limits)) {
        return unexpected(notUnpacked);
    }
    return listFolder(workFolder)
        .map_error(systemFailure)
        .and_then([&](const std::vector<FolderEntry>& entries) -> expected<fs::path, UpdateFailure> {
            const std::optional<std::string> name = chooseNewApplicationFolder(entries);
            // A folder that could not start must never replace one that can.
            if (!name || !isApplicationFolder(workFolder / *name) ||
                !holdsProgramForThisMachine(workFolder / *name) ||
                !librariesResolve(workFolder / *name / "vorlia", environment)) {
                return unexpected(notUnpacked);
            }
            return workFolder / *name;
        });
}

namespace {

// Starts `shell` on `script` in a session of its own, in "/", with
// relaunchEnvironment(notPassedOn).
expected<void, std::string> spawnInOwnSession(const std::string& shell, const fs::path& script,
                                              const std::vector<std::string>& notPassedOn) {
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
    // Not the launcher's working folder, which may be anywhere, even inside
    // the folder it swaps.
    posix_spawn_file_actions_addchdir_np(&files.value, "/");
    const Handle<char*> environment = relaunchEnvironment(notPassedOn);
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

} // namespace

expected<void, std::string> startRelaunchScript(const fs::path& workFolder, const fs::path& applicationFolder,
                                                const fs::path& newFolder, const std::string& shell,
                                                const std::vector<std::string>& notPassedOn) {
    // Absolute: the script runs in "/".
    const fs::path script = fs::absolute(workFolder / relaunchScriptName);
    return writeFileAtomically(
               script, relaunchScript(getpid(), applicationFolder.string(), fs::absolute(newFolder).string()))
        .and_then([&] { return spawnInOwnSession(shell, script, notPassedOn); });
}

} // namespace vorlia
