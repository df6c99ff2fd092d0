#include "base/replace_file.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <system_error>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrel {

namespace {

namespace fs = std::filesystem;

// As many links as the system itself follows in one name.
constexpr int kMaxLinks = 40;
// Names that differ only by chance clash so rarely that a few attempts always find a free one.
constexpr int kNameAttempts = 32;
// Longer names get a short temporary name of their own, within the system's 255 bytes.
constexpr size_t kLongName = 200;

// The file a chain of links names, even one that does not exist yet, so that the new file is
// written there and the link stays; `path` itself when it is no link. A relative link counts
// from the folder the link is in.
bool FollowLinks(fs::path& path, int& error) {
    for (int hops = 0; hops < kMaxLinks; ++hops) {
        std::error_code ec;
        if (!fs::is_symlink(fs::symlink_status(path, ec))) return true;
        const fs::path to = fs::read_symlink(path, ec);
        if (ec) {
            error = ec.value();
            return false;
        }
        path = to.is_absolute() ? to : path.parent_path() / to;
    }
    error = ELOOP;
    return false;
}

// ".NAME.kestrel-XXXXXX.part" beside the target: hidden, named for what it is, and on the same
// file system, so that the rename cannot turn into a copy.
fs::path TemporaryName(const fs::path& target) {
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    // Two programs saving at once each draw their own names.
    thread_local std::mt19937_64 random{std::random_device{}()};
    std::string tag;
    for (int i = 0; i < 6; ++i) tag += kLetters[random() % (sizeof(kLetters) - 1)];
    const std::string base = target.filename().string();
    return target.parent_path() / ("." + (base.size() > kLongName ? std::string("output") : base) +
                                   ".kestrel-" + tag + ".part");
}

fs::path FolderOf(const fs::path& target) {
    return target.has_parent_path() ? target.parent_path() : fs::path(".");
}

// The checks of InspectTarget on a name whose links are followed already.
TargetState Inspect(const fs::path& path, std::string& reason) {
    auto refuse = [&reason](std::string why) {
        reason = std::move(why);
        return TargetState::Refused;
    };
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0) {
        if (S_ISREG(st.st_mode)) {
            // A file the user could not open is not theirs to replace, wherever it stands.
            if (::faccessat(AT_FDCWD, path.c_str(), R_OK, AT_EACCESS) != 0)
                return refuse("the file there cannot be read");
            if (::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0)
                return refuse("the file there is write-protected");
            return TargetState::File;
        }
        return refuse(S_ISDIR(st.st_mode)                          ? "it is a folder"
                      : S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? "it is a device"
                      : S_ISFIFO(st.st_mode)                       ? "it is a FIFO"
                      : S_ISSOCK(st.st_mode)                       ? "it is a socket"
                                                                   : "it is not a regular file");
    }
    if (errno != ENOENT) return refuse(SystemReason(errno));
    // The folder must take a new file of this name; told now rather than after the last frame.
    const fs::path folder = FolderOf(path);
    if (::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0)
        return refuse(SystemReason(errno));
    const long nameMax = ::pathconf(folder.c_str(), _PC_NAME_MAX);
    if (path.filename().empty()) return refuse(SystemReason(EISDIR));
    if (nameMax > 0 && path.filename().native().size() > size_t(nameMax))
        return refuse(SystemReason(ENAMETOOLONG));
    return TargetState::Absent;
}

// The temporary file being written, for a signal handler that ends the process: a fixed buffer,
// since the handler may not allocate.
char g_pendingTemp[4096];
volatile std::sig_atomic_t g_hasPendingTemp = 0;

void NotePending(const std::string& temp) {
    g_hasPendingTemp = 0;
    if (temp.size() >= sizeof(g_pendingTemp)) return;
    std::memcpy(g_pendingTemp, temp.c_str(), temp.size() + 1);
    g_hasPendingTemp = 1;
}

// Renames without replacing what may have appeared at the name since it was found empty; where
// the file system cannot, the plain rename after one more look.
bool RenameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    struct stat st;
    if (::lstat(to.c_str(), &st) == 0) {
        errno = EEXIST;
        return false;
    }
    return std::rename(from.c_str(), to.c_str()) == 0;
}

// Makes a completed rename survive a power cut. Best effort: the data is on the disk already.
void SyncFolderOf(const fs::path& target) {
    const int fd = ::open(FolderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

}  // namespace

bool ReplacingFile::fail(const std::string& why) {
    abandon();
    reason_ = why;
    return false;
}

TargetState InspectTarget(const std::string& target, std::string& reason) {
    fs::path path(target);
    int error = 0;
    if (!FollowLinks(path, error)) {
        reason = SystemReason(error);
        return TargetState::Refused;
    }
    return Inspect(path, reason);
}

bool IsSameFile(const std::string& a, const std::string& b) {
    struct stat sa, sb;
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

bool ReplacingFile::open(const std::string& target, IfExists ifExists) {
    abandon();
    reason_.clear();
    fs::path path(target);
    int error = 0;
    if (!FollowLinks(path, error)) return fail(SystemReason(error));
    const TargetState state = Inspect(path, reason_);
    if (state == TargetState::Refused) return fail(reason_);
    if (state == TargetState::File && ifExists == IfExists::Keep)
        return fail("a file appeared at the name after the run began");
    // The file and the note that a signal ending the process removes it come into being
    // together: a signal between the two would leave the file behind.
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &before);
    bool created = false;
    for (int attempt = 0; attempt < kNameAttempts && !created; ++attempt) {
        const std::string candidate = TemporaryName(path).string();
        created = file_.open(candidate, File::Mode::CreateNew);
        if (created) {
            target_ = path.string();
            temp_ = candidate;
            replaces_ = state == TargetState::File;
            NotePending(temp_);
        } else if (file_.error() != EEXIST) {
            break;  // the folder is missing or not writable
        }
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return created || fail(file_.reason());
}

bool ReplacingFile::commit() {
    if (!isOpen()) return fail("no file is being written");
    if (!file_.flush()) return fail(file_.reason());
    // The old file's owner and permission bits, given before the sync so that they reach the
    // disk with the data. Where the system refuses them (another user's file, a FAT stick) the
    // new file has those it was made with.
    struct stat old;
    if (::stat(target_.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
        const int fd = file_.descriptor();
        // Owner first: a change of owner clears the set-user-ID bit, which fchmod gives back.
        [[maybe_unused]] const int owned = ::fchown(fd, old.st_uid, old.st_gid);
        [[maybe_unused]] const int moded = ::fchmod(fd, old.st_mode & 07777);
    }
    if (!file_.sync() || !file_.close()) return fail(file_.reason());
    if (replaces_ ? std::rename(temp_.c_str(), target_.c_str()) != 0
                  : !RenameNoReplace(temp_, target_)) {
        if (errno != EEXIST) return fail(SystemReason(errno));
        // Another program's file: it stays, and so does ours, under its own name.
        g_hasPendingTemp = 0;
        reason_ = "a file appeared at the name during the run; the new one is " + temp_;
        temp_.clear();
        return false;
    }
    g_hasPendingTemp = 0;
    temp_.clear();
    SyncFolderOf(target_);
    return true;
}

bool ReplacingFile::cutBack(uint64_t length) {
    file_.close();
    if (file_.open(temp_, File::Mode::Update) && file_.truncate(length) && file_.seek(length))
        return true;
    reason_ = file_.reason();
    return false;
}

void ReplacingFile::abandon() {
    file_.close();
    replaces_ = false;
    if (!temp_.empty()) {
        g_hasPendingTemp = 0;
        std::remove(temp_.c_str());
        temp_.clear();
    }
}

void RemoveTemporaryFileAtExit() {
    if (g_hasPendingTemp) ::unlink(g_pendingTemp);
}

}  // namespace kestrel
