#pragma once
// Opening a document in the desktop's associated application.

#include <cstdint>
#include <string>

namespace quilvane {

// Asks the desktop (through GIO) to open `path` in the default application
// for its content type, and returns at once without waiting for it. The path
// is used byte for byte; a relative one is taken from the current folder. The
// started application works in the user's home folder.
//
// Result: 42 (33 or more) when the application was started; 2 when the file
// does not exist, 3 when its folder does not exist, 5 when access is refused,
// 31 when no application is associated with its type, 0 for anything else.
std::int32_t OpenDocument(const std::string& path);

}  // namespace quilvane
