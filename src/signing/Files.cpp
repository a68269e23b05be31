// Whole files in and out of memory.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "crypto/Error.h"
#include "signing/Operations.h"

namespace quilvane {
namespace {

// Largest file we take: a document is held whole in memory, and the message
// formats count lengths in signed 32 bits.
constexpr std::uint64_t kMaxFileSize = 0x7FFFFFFF;

// Closes a descriptor when it goes out of scope.
class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    // Closes now and reports the error a delayed write may only show here.
    int close() {
        int result = ::close(fd_);
        fd_ = -1;
        return result;
    }

  private:
    int fd_;
};

// The folder part of a path ("." for a bare name).
std::string FolderOf(const std::string& path) {
    std::string::size_type slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

ByteBuffer LoadBinFile(const std::string& FileName) {
    if (FileName.empty()) {
        throw Error(ENOENT, "No file was named.");
    }
    Descriptor fd(::open(FileName.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        RaiseFileError(errno, "Cannot open", FileName);
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) {
        RaiseFileError(errno, "Cannot read", FileName);
    }
    if (S_ISDIR(info.st_mode)) {
        RaiseFileError(EISDIR, "Cannot read", FileName);
    }
    if (!S_ISREG(info.st_mode)) {
        throw Error(EINVAL, "Cannot read \"" + FileName + "\": it is not a regular file.");
    }
    if (static_cast<std::uint64_t>(info.st_size) > kMaxFileSize) {
        throw Error(EFBIG, "Cannot read \"" + FileName +
                               "\": the file is 2 GiB or larger, more than can be handled.");
    }
    ByteBuffer buffer(static_cast<std::size_t>(info.st_size));
    std::size_t done = 0;
    while (done < buffer.size()) {
        ssize_t n = ::read(fd.get(), buffer.data() + done, buffer.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            RaiseFileError(errno, "Cannot read", FileName);
        }
        if (n == 0) {
            break;  // the file shrank while we read it: keep what is there
        }
        done += static_cast<std::size_t>(n);
    }
    buffer.shrink(done);
    return buffer;
}

void SaveBinFile(std::span<const std::uint8_t> bytes, const std::string& ipfile) {
    if (ipfile.empty()) {
        throw Error(ENOENT, "No file was named to write to.");
    }
    struct stat target {};
    bool exists = ::stat(ipfile.c_str(), &target) == 0;
    if (exists && S_ISDIR(target.st_mode)) {
        RaiseFileError(EISDIR, "Cannot write", ipfile);
    }
    if (exists && ::access(ipfile.c_str(), W_OK) != 0) {
        RaiseFileError(errno, "Cannot write", ipfile);
    }

    // Write beside the target, then rename over it: the target is either the
    // old file or the whole new one, never a part.
    std::string temp = FolderOf(ipfile) + "/.quilvane-XXXXXX";
    Descriptor fd(::mkostemp(temp.data(), O_CLOEXEC));
    if (fd.get() < 0) {
        RaiseFileError(errno, "Cannot write", ipfile);
    }
    auto fail = [&](int err) {
        ::unlink(temp.c_str());
        RaiseFileError(err, "Cannot write", ipfile);
    };
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            fail(errno);
        }
        done += static_cast<std::size_t>(n);
    }
    // A replaced file keeps its permissions; a new one gets the usual ones.
    mode_t mode = exists ? (target.st_mode & 07777) : [] {
        mode_t mask = ::umask(0);
        ::umask(mask);
        return static_cast<mode_t>(0666 & ~mask);
    }();
    if (::fchmod(fd.get(), mode) != 0) {
        fail(errno);
    }
    if (fd.close() != 0) {
        fail(errno);
    }
    if (::rename(temp.c_str(), ipfile.c_str()) != 0) {
        fail(errno);
    }
}

}  // namespace quilvane
