#pragma once
// Where the current user's files are, found one way for the whole program.

#include <string>

namespace quilvane {

// The current user's home folder: $HOME when it is an absolute path, else
// the one the password database gives. Raises status::StoreFailure when
// neither names one.
std::string HomeFolder();

}  // namespace quilvane
