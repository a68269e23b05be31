// Reading a file in chunks.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "crypto/Error.h"
#include "crypto/Text.h"
#include "operations/Files.h"

namespace quilvane {
namespace {

FileIdentity IdentityOf(const struct stat& info) {
    return {info.st_dev, info.st_ino, static_cast<std::uint64_t>(info.st_size), info.st_mtim};
}

}  // namespace

void RefuseIfNotRegular(const struct stat& info, const char* what, const std::string& path) {
    if (S_ISDIR(info.st_mode)) {
        RaiseFileError(EISDIR, what, path);
    }
    if (!S_ISREG(info.st_mode)) {
        throw Error(EINVAL,
                    Format(Tr("%1 \"%2\": it is not a regular file."), what, ShownPath(path)));
    }
}

FileSource::FileSource(const std::string& path) : path_(path) {
    if (path.empty()) {
        throw Error(ENOENT, Tr("No file was named."));
    }
    // The type is looked at before the file is opened for reading: opening a
    // FIFO waits for a writer, and opening a device may set it going.
    const int handle = ::open(path.c_str(), O_PATH | O_CLOEXEC);
    if (handle < 0) {
        RaiseFileError(errno, Tr("Cannot open"), path);
    }
    struct stat info {};
    const int looked = ::fstat(handle, &info);
    const int err = errno;
    ::close(handle);
    if (looked != 0) {
        RaiseFileError(err, Tr("Cannot read"), path);
    }
    RefuseIfNotRegular(info, Tr("Cannot read"), path);
    // Without waiting still, and looked at again, in case the name was given
    // to something else meanwhile.
    fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) {
        RaiseFileError(errno, Tr("Cannot open"), path);
    }
    if (::fstat(fd_, &info) != 0 || ::fcntl(fd_, F_SETFL, 0) != 0) {
        RaiseFileError(errno, Tr("Cannot read"), path);
    }
    RefuseIfNotRegular(info, Tr("Cannot read"), path);
    identity_ = IdentityOf(info);
}

FileSource::~FileSource() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

std::size_t FileSource::Read(std::span<std::uint8_t> buffer) {
    for (;;) {
        ssize_t n = ::read(fd_, buffer.data(), buffer.size());
        if (n >= 0) {
            read_ += static_cast<std::uint64_t>(n);
            if (progress_) {
                progress_(read_, identity_.size);
            }
            return static_cast<std::size_t>(n);
        }
        if (errno != EINTR) {
            RaiseFileError(errno, Tr("Cannot read"), path_);
        }
    }
}

void FileSource::Rewind() {
    if (::lseek(fd_, 0, SEEK_SET) != 0) {
        RaiseFileError(errno, Tr("Cannot read"), path_);
    }
    read_ = 0;
}

void FileSource::LockForChange(const std::string& doing) {
    // An advisory lock: every Quilvane that changes a file takes it first.
    // It is released when the descriptor closes.
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            throw Error(EBUSY,
                        Format(Tr("Cannot %1 \"%2\": it is being changed by another program. "
                                  "Try again when that program is done."),
                               doing, ShownPath(path_)));
        }
        RaiseFileError(errno, Tr("Cannot lock"), path_);
    }
    // The lock holds the file that was opened; the name must still lead there.
    struct stat now {};
    if (::stat(path_.c_str(), &now) != 0 || now.st_dev != identity_.device ||
        now.st_ino != identity_.inode) {
        throw Error(EBUSY, Format(Tr("Cannot %1 \"%2\": another program replaced it while it was "
                                     "being opened."),
                                  doing, ShownPath(path_)));
    }
}

}  // namespace quilvane
