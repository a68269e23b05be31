#pragma once
// Where the current user's files are, found one way for the whole program.

#include <string>
#include <string_view>

namespace quilvane {

// The current user's home folder: $HOME when it is an absolute path, else
// the one the password database gives. Raises status::StoreFailure when
// neither names one.
std::string HomeFolder();

// How a file being written is named until it is complete, where it cannot go
// without a name: readers of the user's folders pass over such names.
inline constexpr std::string_view kTemporaryPrefix = ".quilvane-";

}  // namespace quilvane
