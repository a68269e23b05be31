// Files in and out of the operations.

#include "operations/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <random>
#include <string>
#include <vector>

#include "crypto/Error.h"

namespace quilvane {
namespace {

// Largest file held whole in memory: the message formats of the crypto layer
// count lengths in signed 32 bits. Nothing larger is written either, since it
// could not be read back.
constexpr std::uint64_t kMaxFileSize = 0x7FFFFFFF;

// `name` in the folder of `path` (a bare name when `path` has no folder).
std::string Beside(const std::string& path, const std::string& name) {
    const std::string::size_type slash = path.find_last_of('/');
    return slash == std::string::npos ? name : path.substr(0, slash + 1) + name;
}

// The file a write to `path` replaces: each symbolic link followed to the
// name it holds, so that the link stays and its file gets the new bytes.
std::string FollowLinks(const std::string& path) {
    std::string current = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat info {};
        if (::lstat(current.c_str(), &info) != 0) {
            if (errno == ENOENT) {
                return current;  // a new file, or where a dangling link points
            }
            RaiseFileError(errno, "Cannot write", path);
        }
        if (!S_ISLNK(info.st_mode)) {
            return current;
        }
        std::string link(PATH_MAX, '\0');
        const ssize_t length = ::readlink(current.c_str(), link.data(), link.size());
        if (length < 0) {
            RaiseFileError(errno, "Cannot write", path);
        }
        link.resize(static_cast<std::size_t>(length));
        current = link.starts_with('/') ? link : Beside(current, link);
    }
    RaiseFileError(ELOOP, "Cannot write", path);
}

// Makes a new name beside `path` with `make` (which returns below 0 and sets
// errno when it fails), trying fresh names while the one tried exists.
template <typename Make>
int MakeBeside(const std::string& path, std::string& name, Make make) {
    static constexpr char kLetters[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = Beside(path, ".quilvane-");
        for (int i = 0; i < 8; ++i) {
            name += kLetters[random() % (sizeof kLetters - 1)];
        }
        const int result = make(name);
        if (result >= 0 || errno != EEXIST) {
            return result;
        }
    }
    return -1;
}

// Writes all of `bytes` to `fd`; false with errno set when it cannot.
bool WriteAll(int fd, const std::uint8_t* bytes, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, bytes, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return false;
        }
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Whether the whole of `fd` from offset 0 reads as `size` bytes equal to
// `other`'s.
bool SameBytes(int fd, int other, std::uint64_t size) {
    std::vector<std::uint8_t> a(std::min<std::uint64_t>(size, 1 << 16)), b(a.size());
    for (std::uint64_t done = 0; done < size;) {
        const ssize_t n = ::pread(fd, a.data(), a.size(), static_cast<off_t>(done));
        if (n <= 0 ||
            ::pread(other, b.data(), static_cast<std::size_t>(n), static_cast<off_t>(done)) != n ||
            !std::equal(a.begin(), a.begin() + n, b.begin())) {
            return false;
        }
        done += static_cast<std::uint64_t>(n);
    }
    return true;
}

// Refuses anything but a regular file: a folder, a FIFO, a device, a socket.
void RefuseIfNotRegular(const struct stat& info, const char* what, const std::string& path) {
    if (S_ISDIR(info.st_mode)) {
        RaiseFileError(EISDIR, what, path);
    }
    if (!S_ISREG(info.st_mode)) {
        throw Error(EINVAL, std::string(what) + " \"" + path + "\": it is not a regular file.");
    }
}

// Refuses `size` bytes for `path` when Quilvane could not read them back.
void CheckWritable(std::uint64_t size, const std::string& path) {
    if (size > kMaxFileSize) {
        throw Error(EFBIG,
                    "Cannot write \"" + path +
                        "\": the file would be 2 GiB or larger, more than can be read back.");
    }
}

}  // namespace

FileSource::FileSource(const std::string& path) : path_(path) {
    if (path.empty()) {
        throw Error(ENOENT, "No file was named.");
    }
    // The type is looked at before the file is opened for reading: opening a
    // FIFO waits for a writer, and opening a device may set it going.
    const int handle = ::open(path.c_str(), O_PATH | O_CLOEXEC);
    if (handle < 0) {
        RaiseFileError(errno, "Cannot open", path);
    }
    struct stat info {};
    const int looked = ::fstat(handle, &info);
    const int err = errno;
    ::close(handle);
    if (looked != 0) {
        RaiseFileError(err, "Cannot read", path);
    }
    RefuseIfNotRegular(info, "Cannot read", path);
    // Without waiting still, and looked at again, in case the name was given
    // to something else meanwhile.
    fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) {
        RaiseFileError(errno, "Cannot open", path);
    }
    if (::fstat(fd_, &info) != 0 || ::fcntl(fd_, F_SETFL, 0) != 0) {
        RaiseFileError(errno, "Cannot read", path);
    }
    RefuseIfNotRegular(info, "Cannot read", path);
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
            read_ += static_cast<std::uint64_t>(n);
            if (progress_) {
                progress_(read_, size_);
            }
            return static_cast<std::size_t>(n);
        }
        if (errno != EINTR) {
            RaiseFileError(errno, "Cannot read", path_);
        }
    }
}

void FileSource::Rewind() {
    if (::lseek(fd_, 0, SEEK_SET) != 0) {
        RaiseFileError(errno, "Cannot read", path_);
    }
    read_ = 0;
}

FileSink::FileSink(std::string path, Backup backup, mode_t newFileMode)
    : path_(std::move(path)), backup_(backup) {
    if (path_.empty()) {
        throw Error(ENOENT, "No file was named to write to.");
    }
    target_ = FollowLinks(path_);
    struct stat target {};
    replaces_ = ::stat(target_.c_str(), &target) == 0;
    if (replaces_) {
        RefuseIfNotRegular(target, "Cannot write", path_);
        if (::access(target_.c_str(), W_OK) != 0) {
            RaiseFileError(errno, "Cannot write", path_);
        }
    }

    // A new file gets the usual permissions (the kernel applies the umask);
    // a replaced one its own, and its owner and group, before any byte is in.
    fd_ = MakeBeside(target_, temp_, [&](const std::string& name) {
        return ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC,
                      replaces_ ? 0600 : newFileMode);
    });
    if (fd_ < 0) {
        temp_.clear();
        RaiseFileError(errno, "Cannot write", path_);
    }
    if (replaces_) {
        TakeOwnerAndMode(target);
    }
}

void FileSink::TakeOwnerAndMode(const struct stat& of) {
    // Only root may give a file away: a file that others own and let us
    // write becomes ours when anyone else replaces it.
    if (::fchown(fd_, of.st_uid, of.st_gid) != 0 && ::geteuid() == 0) {
        Fail(errno);
    }
    if (::fchmod(fd_, of.st_mode & 07777) != 0) {
        Fail(errno);
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
    if (!WriteAll(fd_, bytes.data(), bytes.size())) {
        Fail(errno);
    }
    written_ += bytes.size();
}

void FileSink::WriteAt(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
    if (offset + bytes.size() > written_) {
        throw Error(EINVAL, "Cannot write \"" + path_ + "\": a patch past the end was asked for.");
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
        if (progress_) {
            progress_(copied, length);
        }
    }
    return true;
}

bool FileSink::Differs() const {
    const int old = ::open(target_.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
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

std::string FileSink::KeepBackup() const {
    // The old file is linked under a new name and that name renamed over
    // NAME~, so that NAME is never missing; where links are refused it is copied.
    const std::string backup = target_ + "~";
    std::string name;
    if (MakeBeside(target_, name,
                   [&](const std::string& n) { return ::link(target_.c_str(), n.c_str()); }) < 0) {
        struct stat original {};
        if ((errno != EPERM && errno != EMLINK && errno != EOPNOTSUPP) ||
            ::stat(target_.c_str(), &original) != 0) {
            RaiseFileError(errno, "Cannot keep the earlier file as", backup);
        }
        const ByteBuffer old = LoadBinFile(target_);
        FileSink copy(backup);
        copy.TakeOwnerAndMode(original);
        copy.Write(old.view());
        copy.Commit();
        return backup;
    }
    const int renamed = ::rename(name.c_str(), backup.c_str());
    const int err = errno;
    // When NAME~ already was a link to NAME, rename() leaves both names.
    ::unlink(name.c_str());
    if (renamed != 0) {
        RaiseFileError(err, "Cannot keep the earlier file as", backup);
    }
    return backup;
}

void FileSink::Flush() {
    // On the disk before it takes the old file's place: a crash cannot leave
    // an empty or partial file where the only copy was.
    if (::fsync(fd_) != 0) {
        Fail(errno);
    }
}

std::string FileSink::Commit() {
    Flush();
    std::string kept;
    if (backup_ == Backup::Keep && replaces_ && Differs()) {
        kept = KeepBackup();
    }
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) {
        Fail(errno);
    }
    if (::rename(temp_.c_str(), target_.c_str()) != 0) {
        Fail(errno);
    }
    temp_.clear();
    SyncFolder();
    return kept;
}

bool FileSink::CommitNew() {
    Flush();
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) {
        Fail(errno);
    }
    int result = ::renameat2(AT_FDCWD, temp_.c_str(), AT_FDCWD, target_.c_str(), RENAME_NOREPLACE);
    if (result != 0 && errno == EINVAL) {
        // A file system that cannot rename without replacing still links without replacing.
        result = ::link(temp_.c_str(), target_.c_str());
    }
    if (result != 0) {
        if (errno == EEXIST) {
            return false;
        }
        Fail(errno);
    }
    ::unlink(temp_.c_str());  // gone already after a rename
    temp_.clear();
    SyncFolder();
    return true;
}

void FileSink::SyncFolder() {
    // The rename itself, kept in the folder.
    const int folder = ::open(Beside(target_, ".").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        const int synced = ::fsync(folder);
        const int err = errno;
        ::close(folder);
        if (synced != 0 && err != EINVAL) {
            Fail(err);
        }
    }
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

std::string SaveBinFile(std::span<const std::uint8_t> bytes, const std::string& path,
                        Backup backup) {
    CheckWritable(bytes.size(), path);
    FileSink sink(path, backup);
    sink.Write(bytes);
    return sink.Commit();
}

std::string KeptNote(const std::string& backup) {
    return backup.empty() ? "" : "The earlier file was kept as \"" + backup + "\".";
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
