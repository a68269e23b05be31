// Files in and out of the operations.

#include "operations/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "crypto/Error.h"

namespace quilvane {
namespace {

// Largest file held whole in memory: the message formats of the crypto layer
// count lengths in signed 32 bits.
constexpr std::uint64_t kMaxFileSize = 0x7FFFFFFF;

// The folder part of a path ("." for a bare name).
std::string FolderOf(const std::string& path) {
    std::string::size_type slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

FileSource::FileSource(const std::string& path) : path_(path) {
    if (path.empty()) {
        throw Error(ENOENT, "No file was named.");
    }
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
        RaiseFileError(errno, "Cannot open", path);
    }
    struct stat info {};
    if (::fstat(fd_, &info) != 0) {
        RaiseFileError(errno, "Cannot read", path);
    }
    if (S_ISDIR(info.st_mode)) {
        RaiseFileError(EISDIR, "Cannot read", path);
    }
    if (!S_ISREG(info.st_mode)) {
        throw Error(EINVAL, "Cannot read \"" + path + "\": it is not a regular file.");
    }
    size_ = static_cast<std::uint64_t>(info.st_size);
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
            return static_cast<std::size_t>(n);
        }
        if (errno != EINTR) {
            RaiseFileError(errno, "Cannot read", path_);
        }
    }
}

FileSink::FileSink(std::string path, mode_t newFileMode)
    : path_(std::move(path)), newFileMode_(newFileMode) {
    if (path_.empty()) {
        throw Error(ENOENT, "No file was named to write to.");
    }
    struct stat target {};
    const bool exists = ::stat(path_.c_str(), &target) == 0;
    if (exists && S_ISDIR(target.st_mode)) {
        RaiseFileError(EISDIR, "Cannot write", path_);
    }
    if (exists && ::access(path_.c_str(), W_OK) != 0) {
        RaiseFileError(errno, "Cannot write", path_);
    }
    keepMode_ = exists;
    mode_ = target.st_mode & 07777;

    temp_ = FolderOf(path_) + "/.quilvane-XXXXXX";
    fd_ = ::mkostemp(temp_.data(), O_CLOEXEC);
    if (fd_ < 0) {
        temp_.clear();
        RaiseFileError(errno, "Cannot write", path_);
    }
}

FileSink::~FileSink() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    if (!temp_.empty()) {
        ::unlink(temp_.c_str());
    }
}

void FileSink::Fail(int err) {
    RaiseFileError(err, "Cannot write", path_);
}

void FileSink::Write(std::span<const std::uint8_t> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            Fail(errno);
        }
        done += static_cast<std::size_t>(n);
    }
}

void FileSink::Close() {
    // A replaced file keeps its permissions; a new one gets the usual ones.
    mode_t mode = keepMode_ ? mode_ : [this] {
        mode_t mask = ::umask(0);
        ::umask(mask);
        return static_cast<mode_t>(newFileMode_ & ~mask);
    }();
    if (::fchmod(fd_, mode) != 0) {
        Fail(errno);
    }
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) {
        Fail(errno);
    }
}

void FileSink::Commit() {
    Close();
    if (::rename(temp_.c_str(), path_.c_str()) != 0) {
        Fail(errno);
    }
    temp_.clear();
}

bool FileSink::CommitNew() {
    Close();
    int result = ::renameat2(AT_FDCWD, temp_.c_str(), AT_FDCWD, path_.c_str(), RENAME_NOREPLACE);
    if (result != 0 && errno == EINVAL) {
        // A file system that cannot rename without replacing still links without replacing.
        result = ::link(temp_.c_str(), path_.c_str());
    }
    if (result != 0) {
        if (errno == EEXIST) {
            return false;
        }
        Fail(errno);
    }
    ::unlink(temp_.c_str());  // gone already after a rename
    temp_.clear();
    return true;
}

ByteBuffer LoadBinFile(const std::string& path) {
    FileSource source(path);
    if (*source.Size() > kMaxFileSize) {
        throw Error(EFBIG, "Cannot read \"" + path +
                               "\": the file is 2 GiB or larger, more than can be handled.");
    }
    ByteBuffer buffer(static_cast<std::size_t>(*source.Size()));
    std::size_t done = 0;
    while (done < buffer.size()) {
        const std::size_t n = source.Read({buffer.data() + done, buffer.size() - done});
        if (n == 0) {
            break;  // the file shrank while we read it: keep what is there
        }
        done += n;
    }
    buffer.shrink(done);
    return buffer;
}

void SaveBinFile(std::span<const std::uint8_t> bytes, const std::string& path) {
    FileSink sink(path);
    sink.Write(bytes);
    sink.Commit();
}

std::string DropLastFourCharacters(const std::string& path) {
    std::size_t end = path.size();
    for (int dropped = 0; dropped < 4; ++dropped) {
        if (end == 0) {
            throw Error(EINVAL, "Cannot name the document to write from \"" + path +
                                    "\": the name is shorter than four characters.");
        }
        --end;
        // Step back over the continuation bytes of a UTF-8 character.
        std::size_t start = end;
        while (start > 0 && (static_cast<unsigned char>(path[start]) & 0xC0) == 0x80) {
            --start;
        }
        unsigned char lead = static_cast<unsigned char>(path[start]);
        std::size_t length = lead < 0x80    ? 1
                             : lead >= 0xF0 ? 4
                             : lead >= 0xE0 ? 3
                             : lead >= 0xC0 ? 2
                                            : 0;
        if (length == end - start + 1) {
            end = start;
        }
    }
    return path.substr(0, end);
}

}  // namespace quilvane
