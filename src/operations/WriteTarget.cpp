#include "WriteTarget.h"

#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <random>

#include "crypto/Error.h"
#include "crypto/Paths.h"
#include "crypto/Text.h"
#include "operations/Files.h"

namespace quilvane {

std::pair<std::string, std::string> SplitPath(const std::string& path) {
    const std::string::size_type slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return {".", path};
    }
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

bool Planted(const struct stat& folder, const struct stat& entry) {
    const bool shared = (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & S_IWOTH) != 0;
    return shared && entry.st_uid != ::geteuid() && entry.st_uid != folder.st_uid;
}

[[noreturn]] void RefusePlanted(const std::string& path, bool link) {
    throw Error(EACCES,
                Format(link ? Tr("Cannot write \"%1\": it is a link that another user put in a "
                                 "shared folder, and Quilvane does not write through it.")
                            : Tr("Cannot write \"%1\": it is a file that another user put in a "
                                 "shared folder, and Quilvane does not write over it."),
                       ShownPath(path)));
}

std::string KernelTarget(const std::string& path) {
    struct stat link {};
    if (::lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) {
        return path;
    }
    struct stat folder {};
    if (::stat(SplitPath(path).first.c_str(), &folder) == 0 && Planted(folder, link)) {
        RefusePlanted(path, true);
    }
    const int handle = ::open(path.c_str(), O_PATH | O_CLOEXEC);
    if (handle < 0) {
        if (errno == ENOENT) {
            throw Error(ENOENT, Format(Tr("Cannot write \"%1\": it is a link to a file that does "
                                          "not exist, and Quilvane does not create it."),
                                       ShownPath(path)));
        }
        RaiseFileError(errno, Tr("Cannot write"), path);
    }
    std::string target(PATH_MAX, '\0');
    const std::string self = "/proc/self/fd/" + std::to_string(handle);
    const ssize_t length = ::readlink(self.c_str(), target.data(), target.size());
    const int err = errno;
    ::close(handle);
    if (length <= 0 || target[0] != '/') {
        RaiseFileError(length < 0 ? err : ENOENT, Tr("Cannot write"), path);
    }
    target.resize(static_cast<std::size_t>(length));
    return target;
}

std::string TemporaryName() {
    static constexpr char kLetters[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::random_device random;
    std::string name(kTemporaryPrefix);
    for (int i = 0; i < 8; ++i) {
        name += kLetters[random() % (sizeof kLetters - 1)];
    }
    return name;
}

}  // namespace quilvane
