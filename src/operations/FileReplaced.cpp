// What a sink does with the regular file it replaces: compares the bytes
// written with it as they come, so that the same bytes leave it as it was,
// and keeps it as NAME~ when they differ.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "WriteTarget.h"
#include "crypto/Error.h"
#include "crypto/Text.h"
#include "operations/FileStreams.h"
#include "operations/Files.h"

namespace quilvane {
namespace {

// Whether `fd` and `other` read alike for their first `size` bytes.
bool SameBytes(int fd, int other, std::uint64_t size) {
    const auto run = static_cast<std::size_t>(std::min<std::uint64_t>(size, kCopyChunk));
    const auto a = std::make_unique_for_overwrite<std::uint8_t[]>(run);
    const auto b = std::make_unique_for_overwrite<std::uint8_t[]>(run);
    for (std::uint64_t done = 0; done < size;) {
        const ssize_t n = ::pread(fd, a.get(), run, static_cast<off_t>(done));
        if (n <= 0 ||
            ::pread(other, b.get(), static_cast<std::size_t>(n), static_cast<off_t>(done)) != n ||
            std::memcmp(a.get(), b.get(), static_cast<std::size_t>(n)) != 0) {
            return false;
        }
        done += static_cast<std::uint64_t>(n);
    }
    return true;
}

}  // namespace

bool FileSink::Matches(std::span<const std::uint8_t> bytes) {
    if (written_ + bytes.size() > static_cast<std::uint64_t>(oldState_.st_size)) {
        return false;
    }
    if (!compared_) {
        compared_ = std::make_unique_for_overwrite<std::uint8_t[]>(kCopyChunk);
    }
    for (std::size_t done = 0; done < bytes.size();) {
        const std::size_t run = std::min(bytes.size() - done, kCopyChunk);
        const ssize_t n = ::pread(old_, compared_.get(), run, static_cast<off_t>(written_ + done));
        if (n != static_cast<ssize_t>(run) ||
            std::memcmp(compared_.get(), bytes.data() + done, run) != 0) {
            return false;
        }
        done += run;
    }
    return true;
}

bool FileSink::OldUnchanged(int old) const {
    struct stat now {};
    return ::fstat(old, &now) == 0 && now.st_size == oldState_.st_size &&
           now.st_mtim.tv_sec == oldState_.st_mtim.tv_sec &&
           now.st_mtim.tv_nsec == oldState_.st_mtim.tv_nsec &&
           now.st_ctim.tv_sec == oldState_.st_ctim.tv_sec &&
           now.st_ctim.tv_nsec == oldState_.st_ctim.tv_nsec;
}

void FileSink::StopMatching(bool differs) {
    const struct Closing {
        int fd;
        ~Closing() { ::close(fd); }
    } old{std::exchange(old_, -1)};
    differs_ = differs;
    compared_.reset();
    // The bytes written so far are the old file's first ones: copied from
    // it, by the kernel where it can.
    off64_t from = 0;
    while (static_cast<std::uint64_t>(from) < written_) {
        const auto run = static_cast<std::size_t>(
            std::min<std::uint64_t>(written_ - static_cast<std::uint64_t>(from), 1 << 30));
        ssize_t n = ::copy_file_range(old.fd, &from, fd_, nullptr, run, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 &&
            (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
            std::vector<std::uint8_t> chunk(std::min(run, kCopyChunk));
            n = ::pread(old.fd, chunk.data(), chunk.size(), from);
            if (n > 0 && !WriteAll(fd_, {chunk.data(), static_cast<std::size_t>(n)})) {
                Fail(errno);
            }
            from += std::max<ssize_t>(n, 0);
        }
        if (n <= 0) {
            const int err = n < 0 ? errno : EIO;
            if (!OldUnchanged(old.fd)) {
                throw ChangedMeanwhile(path_);
            }
            Fail(err);
        }
    }
    // Changed meanwhile, its start may no longer be the bytes written.
    if (!OldUnchanged(old.fd)) {
        throw ChangedMeanwhile(path_);
    }
    StartWriteback();
}

bool FileSink::Differs() const {
    const int old =
        ::openat(folder_, name_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (old < 0) {
        return true;  // unreadable but writable: kept, since it cannot be compared
    }
    struct stat info {};
    const bool same = ::fstat(old, &info) == 0 && S_ISREG(info.st_mode) &&
                      static_cast<std::uint64_t>(info.st_size) == written_ &&
                      SameBytes(fd_, old, written_);
    ::close(old);
    return !same;
}

std::string FileSink::KeepBackup() {
    // The old file (or link) is linked under a temporary name, which is then
    // renamed over NAME~: NAME is never missing, and a link at NAME~ is
    // replaced, never followed.
    const std::string backup = name_ + "~";
    const std::string shown = target_ + "~";
    std::string linked;
    if (MakeTemporary(linked, [&](const std::string& name) {
            return ::linkat(folder_, name_.c_str(), folder_, name.c_str(), 0);
        }) < 0) {
        if (errno != EPERM && errno != EMLINK && errno != EOPNOTSUPP) {
            RaiseFileError(errno, Tr("Cannot keep the earlier file as"), shown);
        }
        linked.clear();
    }
    if (linked.empty() && S_ISLNK(existing_->st_mode)) {
        // A link that may not be linked again is moved aside itself.
        if (::renameat(folder_, name_.c_str(), folder_, backup.c_str()) != 0) {
            RaiseFileError(errno, Tr("Cannot keep the earlier file as"), shown);
        }
    } else if (linked.empty()) {
        // Where links are refused the old file is copied, a chunk at a time.
        FileSink copy(shown);
        const int old = ::openat(folder_, name_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (old < 0) {
            RaiseFileError(errno, Tr("Cannot keep the earlier file as"), shown);
        }
        std::vector<std::uint8_t> chunk(kCopyChunk);
        ssize_t n = 0;
        while ((n = ::read(old, chunk.data(), chunk.size())) != 0) {
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                const int err = errno;
                ::close(old);
                RaiseFileError(err, Tr("Cannot keep the earlier file as"), shown);
            }
            copy.Write({chunk.data(), static_cast<std::size_t>(n)});
        }
        ::close(old);
        copy.TakeOwnerAndMode(*existing_);
        copy.Commit();
    } else {
        const int renamed = ::renameat(folder_, linked.c_str(), folder_, backup.c_str());
        const int err = errno;
        // When NAME~ already was another name of the same file, rename()
        // leaves both names.
        ::unlinkat(folder_, linked.c_str(), 0);
        if (renamed != 0) {
            RaiseFileError(err, Tr("Cannot keep the earlier file as"), shown);
        }
    }
    if (S_ISLNK(existing_->st_mode)) {
        return Format(
            Tr("\"%1\" was a link; the link was kept as \"%2\", and a new file was written "
               "in its place."),
            ShownPath(path_), ShownPath(shown));
    }
    return Format(Tr("The earlier file was kept as \"%1\"."), ShownPath(shown));
}

}  // namespace quilvane
