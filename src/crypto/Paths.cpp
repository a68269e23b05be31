#include "crypto/Paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "crypto/Error.h"
#include "crypto/Text.h"

namespace quilvane {

std::string HomeFolder() {
    // A relative HOME is no place to look for anything, like an empty one.
    if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/') {
        return home;
    }
    const long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr || found->pw_dir == nullptr || *found->pw_dir != '/') {
        throw Error(status::StoreFailure, Tr("The home folder is not known."));
    }
    return found->pw_dir;
}

}  // namespace quilvane
