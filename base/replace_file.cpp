#include "base/replace_file.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <random>
#include <system_error>

#include <fcntl.h>
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

// ".NAME.XXXXXX.tmp" beside the target: hidden, and on the same file system, so that the rename
// cannot turn into a copy.
fs::path TemporaryName(const fs::path& target) {
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    // Two programs saving at once each draw their own names.
    thread_local std::mt19937_64 random{std::random_device{}()};
    std::string tag;
    for (int i = 0; i < 6; ++i) tag += kLetters[random() % (sizeof(kLetters) - 1)];
    const std::string base = target.filename().string();
    return target.parent_path() /
           ("." + (base.size() > kLongName ? std::string("kestrel") : base) + "." + tag + ".tmp");
}

// Makes a completed rename survive a power cut. Best effort: the data is on the disk already.
void SyncFolderOf(const fs::path& target) {
    const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
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

bool ReplacingFile::open(const std::string& target) {
    abandon();
    reason_.clear();
    fs::path path(target);
    int error = 0;
    if (!FollowLinks(path, error)) return fail(SystemReason(error));
    std::error_code ec;
    if (path.filename().empty() || fs::is_directory(path, ec)) return fail(SystemReason(EISDIR));
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        const std::string candidate = TemporaryName(path).string();
        if (file_.open(candidate, File::Mode::CreateNew)) {
            target_ = path.string();
            temp_ = candidate;
            return true;
        }
        if (file_.error() != EEXIST) break;  // the folder is missing or not writable
    }
    return fail(file_.reason());
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
    if (std::rename(temp_.c_str(), target_.c_str()) != 0) return fail(SystemReason(errno));
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
    if (!temp_.empty()) {
        std::remove(temp_.c_str());
        temp_.clear();
    }
}

}  // namespace kestrel
