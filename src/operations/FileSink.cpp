// The one way a file is written: a new file beside the target, given the
// target's name only when it is whole and on the disk.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <utility>

#include "WriteTarget.h"
#include "crypto/Error.h"
#include "crypto/Text.h"
#include "operations/Files.h"

namespace quilvane {
namespace {

// Written bytes handed to the disk at a time while a file is still being written.
constexpr std::uint64_t kWritebackRun = std::uint64_t{8} << 20;

}  // namespace

Error ChangedMeanwhile(const std::string& path) {
    return Error(EBUSY, Format(Tr("Cannot write \"%1\": another program changed it meanwhile, "
                                  "so it was left as that program left it."),
                               ShownPath(path)));
}

bool WriteAll(int fd, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                errno = EIO;
            }
            return false;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    return true;
}

FileSink::FileSink(std::string path, Backup backup, Links links, mode_t newFileMode)
    : path_(std::move(path)), backup_(backup) {
    if (path_.empty()) {
        throw Error(ENOENT, Tr("No file was named to write to."));
    }
    target_ = links == Links::Follow ? KernelTarget(path_) : path_;
    std::tie(folderPath_, name_) = SplitPath(target_);
    if (name_.empty() || name_ == "." || name_ == "..") {
        Fail(EISDIR);
    }
    folder_ = ::open(folderPath_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    struct stat folder {};
    if (folder_ < 0 || ::fstat(folder_, &folder) != 0) {
        Fail(errno);
    }
    struct stat entry {};
    if (::fstatat(folder_, name_.c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0) {
        existing_ = entry;
    } else if (errno != ENOENT) {
        Fail(errno);
    }
    if (existing_ && S_ISLNK(existing_->st_mode)) {
        // Only where a derived name holds a link (or the link was swapped in
        // after the kernel followed it): the link is moved aside, not followed.
        if (Planted(folder, *existing_)) {
            RefusePlanted(path_, true);
        }
    } else if (existing_) {
        RefuseIfNotRegular(*existing_, Tr("Cannot write"), path_);
        if (Planted(folder, *existing_)) {
            RefusePlanted(path_, false);
        }
        if (::faccessat(folder_, name_.c_str(), W_OK, 0) != 0) {
            Fail(errno);
        }
    }

    // An unnamed file, so that nothing is left behind whatever happens before
    // the commit; where the file system has none, a named one that the
    // destructor removes. A replaced file's owner, group and mode are taken
    // before any byte is in.
    const bool replacesFile = existing_ && S_ISREG(existing_->st_mode);
    const mode_t mode = replacesFile ? 0600 : newFileMode;
    // It is named later through /proc, which a chroot may lack.
    static const bool procMounted = ::access("/proc/self/fd", X_OK) == 0;
    fd_ = procMounted ? ::openat(folder_, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode) : -1;
    if (!procMounted || (fd_ < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL))) {
        fd_ = MakeTemporary(temp_, [&](const std::string& name) {
            return ::openat(folder_, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        });
        if (fd_ < 0) {
            temp_.clear();
        }
    }
    if (fd_ < 0) {
        Fail(errno);
    }
    if (replacesFile) {
        TakeOwnerAndMode(*existing_);
    }
    if (replacesFile && backup_ == Backup::Keep) {
        old_ = ::openat(folder_, name_.c_str(),
                        O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (old_ >= 0 &&
            (::fstat(old_, &oldState_) != 0 || !S_ISREG(oldState_.st_mode) ||
             oldState_.st_dev != existing_->st_dev || oldState_.st_ino != existing_->st_ino)) {
            ::close(std::exchange(old_, -1));
        }
    }
}

void FileSink::TakeOwnerAndMode(const struct stat& of) {
    // Only root may give a file away: a file that others own and let us
    // write becomes ours when anyone else replaces it. The special bits are
    // never carried over: a set-user-ID program stays one only as its owner wrote it.
    if (::fchown(fd_, of.st_uid, of.st_gid) != 0 && ::geteuid() == 0) {
        Fail(errno);
    }
    if (::fchmod(fd_, of.st_mode & 0777) != 0) {
        Fail(errno);
    }
}

FileSink::~FileSink() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    if (old_ >= 0) {
        ::close(old_);
    }
    if (!temp_.empty()) {
        ::unlinkat(folder_, temp_.c_str(), 0);
    }
    if (folder_ >= 0) {
        ::close(folder_);
    }
}

void FileSink::Fail(int err) const {
    RaiseFileError(err, Tr("Cannot write"), path_);
}

void FileSink::Write(std::span<const std::uint8_t> bytes) {
    if (old_ >= 0) {
        if (Matches(bytes)) {
            written_ += bytes.size();
            return;
        }
        StopMatching(true);
    }
    if (!WriteAll(fd_, bytes)) {
        Fail(errno);
    }
    written_ += bytes.size();
    StartWriteback();
}

void FileSink::StartWriteback() {
    // The disk starts on what is written while the rest is still digested,
    // so that the flush before the commit waits only for the last runs. Only
    // a hint: whatever goes wrong, the fsync before the commit reports.
    if (written_ - writeback_ >= kWritebackRun) {
        ::sync_file_range(fd_, static_cast<off64_t>(writeback_),
                          static_cast<off64_t>(written_ - writeback_), SYNC_FILE_RANGE_WRITE);
        writeback_ = written_;
    }
}

void FileSink::WriteAt(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
    if (offset + bytes.size() > written_) {
        throw Error(EINVAL, Format(Tr("Cannot write \"%1\": a patch past the end was asked for."),
                                   ShownPath(path_)));
    }
    if (old_ >= 0) {
        StopMatching(false);
    }
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::pwrite(fd_, bytes.data() + done, bytes.size() - done,
                                   static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            Fail(n < 0 ? errno : EIO);
        }
        done += static_cast<std::size_t>(n);
    }
}

bool FileSink::CopyFrom(int descriptor, std::uint64_t offset, std::uint64_t length) {
    if (old_ >= 0) {
        StopMatching(false);
    }
    // The kernel copies, or shares the blocks where the file system can.
    auto from = static_cast<off64_t>(offset);
    std::uint64_t copied = 0;
    while (copied < length) {
        const std::size_t run = static_cast<std::size_t>(
            std::min<std::uint64_t>(length - copied, std::uint64_t{1} << 30));
        const ssize_t n = ::copy_file_range(descriptor, &from, fd_, nullptr, run, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && copied == 0 &&
            (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
            return false;  // nothing appended: the caller copies through memory
        }
        if (n <= 0) {
            Fail(n < 0 ? errno : EIO);
        }
        copied += static_cast<std::uint64_t>(n);
        written_ += static_cast<std::uint64_t>(n);
        StartWriteback();
        if (progress_) {
            progress_(copied, length);
        }
    }
    return true;
}

void FileSink::Prepare() {
    if (old_ >= 0) {
        if (static_cast<std::uint64_t>(oldState_.st_size) == written_ && OldUnchanged(old_)) {
            // The old file is what would be written, and on the disk as the
            // new one would be.
            if (::fsync(old_) != 0) {
                Fail(errno);
            }
            identical_ = true;
            prepared_ = true;
            return;
        }
        StopMatching(true);
    }
    // Compared first, from memory, while the disk still takes what was
    // written: the flush then waits the less.
    keepOld_ =
        existing_ &&
        (S_ISLNK(existing_->st_mode) ||
         (backup_ == Backup::Keep && S_ISREG(existing_->st_mode) && (differs_ || Differs())));
    // On the disk before it takes the old file's place: a crash cannot leave
    // an empty or partial file where the only copy was.
    if (::fsync(fd_) != 0) {
        Fail(errno);
    }
    prepared_ = true;
}

void FileSink::GiveName(const std::string& name, bool replace) {
    if (!temp_.empty()) {
        if (::renameat2(folder_, temp_.c_str(), folder_, name.c_str(),
                        replace ? 0 : RENAME_NOREPLACE) != 0) {
            if (replace || errno != EINVAL) {
                throw Error(errno, "");
            }
            // A file system that cannot rename without replacing still links
            // without replacing.
            if (::linkat(folder_, temp_.c_str(), folder_, name.c_str(), 0) != 0) {
                throw Error(errno, "");
            }
            ::unlinkat(folder_, temp_.c_str(), 0);
        }
        temp_.clear();
        return;
    }
    // An unnamed file gets a name through its descriptor: directly when it
    // must not replace anything (a link never replaces), else under a
    // temporary name renamed over the target.
    const std::string self = "/proc/self/fd/" + std::to_string(fd_);
    auto link = [&](const std::string& as) {
        return ::linkat(AT_FDCWD, self.c_str(), folder_, as.c_str(), AT_SYMLINK_FOLLOW);
    };
    if (!replace) {
        if (link(name) != 0) {
            throw Error(errno, "");
        }
        return;
    }
    std::string linked;
    if (MakeTemporary(linked, link) < 0) {
        throw Error(errno, "");
    }
    if (::renameat(folder_, linked.c_str(), folder_, name.c_str()) != 0) {
        const int err = errno;
        ::unlinkat(folder_, linked.c_str(), 0);
        throw Error(err, "");
    }
}

std::string FileSink::Place() {
    if (!prepared_) {
        Prepare();
    }
    if (unchanged_) {
        struct stat now {};
        if (::fstatat(folder_, name_.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 ||
            now.st_dev != unchanged_->device || now.st_ino != unchanged_->inode ||
            static_cast<std::uint64_t>(now.st_size) != unchanged_->size ||
            now.st_mtim.tv_sec != unchanged_->modified.tv_sec ||
            now.st_mtim.tv_nsec != unchanged_->modified.tv_nsec) {
            throw ChangedMeanwhile(path_);
        }
    }
    if (identical_) {
        // Left as it is, if it still has its name.
        struct stat now {};
        if (::fstatat(folder_, name_.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 ||
            now.st_dev != oldState_.st_dev || now.st_ino != oldState_.st_ino) {
            throw ChangedMeanwhile(path_);
        }
        return "";
    }
    std::string note;
    if (keepOld_) {
        note = KeepBackup();
    }
    TakeName(true);
    return note;
}

std::string FileSink::Commit() {
    Prepare();
    return Place();
}

bool FileSink::CommitNew() {
    Prepare();
    return !identical_ && TakeName(false);
}

bool FileSink::TakeName(bool replace) {
    try {
        GiveName(name_, replace);
    } catch (const Error& error) {
        if (!replace && error.number() == EEXIST) {
            return false;
        }
        Fail(error.number());
    }
    const int fd = std::exchange(fd_, -1);
    if (::close(fd) != 0) {
        Fail(errno);
    }
    SyncFolder();
    return true;
}

void FileSink::SyncFolder() const {
    // The new name itself, kept in the folder.
    const int folder = ::openat(folder_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        const int synced = ::fsync(folder);
        const int err = errno;
        ::close(folder);
        if (synced != 0 && err != EINVAL) {
            Fail(err);
        }
    }
}

}  // namespace quilvane
