#pragma once
// Where a write lands: the folder and name of a path, the rule for files and
// links in shared folders, and fresh temporary names.

#include <sys/stat.h>

#include <cerrno>
#include <cstddef>
#include <string>
#include <utility>

#include "crypto/Error.h"

namespace quilvane {

// The folder and the name of `path`: "." for a bare name, "/" at the root.
std::pair<std::string, std::string> SplitPath(const std::string& path);

// In a folder that everyone may write and only owners may delete from (the
// sticky bit, as /tmp has), a name that belongs to neither this user nor the
// folder's owner may have been planted: it is neither followed nor written.
// This is the kernel's rule for such folders (fs.protected_symlinks and
// fs.protected_regular), kept here too for machines that turn it off.
bool Planted(const struct stat& folder, const struct stat& entry);
[[noreturn]] void RefusePlanted(const std::string& path, bool link);

// The file a link named by the person leads to, as the kernel resolves it
// (with the kernel's own checks on links in shared folders); `path` itself
// when it is no link. A dangling link is refused.
std::string KernelTarget(const std::string& path);

// Bytes read or compared at a time when a file is copied or compared.
inline constexpr std::size_t kCopyChunk = std::size_t{1} << 20;

// The error for a file that another program changed while it was replaced.
Error ChangedMeanwhile(const std::string& path);

// A fresh temporary name: kTemporaryPrefix and eight random letters, which the
// store readers pass over.
std::string TemporaryName();

// Makes something under a fresh temporary name in `folder` with `make`
// (below 0 with errno set on failure), trying again while the name is taken.
template <typename Make>
int MakeTemporary(std::string& name, Make make) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = TemporaryName();
        const int result = make(name);
        if (result >= 0 || errno != EEXIST) {
            return result;
        }
    }
    return -1;
}

}  // namespace quilvane
