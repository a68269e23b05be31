#pragma once
// Whole files for the operations that hold a file in memory, and the rules by
// which output names are made.

#include <span>
#include <string>

#include "crypto/Bytes.h"
#include "operations/FileStreams.h"

namespace quilvane {

// Reads a whole file. A missing file, a folder, an unreadable file or one of
// 2 GiB or more raises a program error naming the file.
Bytes LoadBinFile(const std::string& path);

// Writes `bytes` as the whole of `path` through a FileSink; returns the note
// on what was kept ("" for nothing). Refuses more than LoadBinFile could read
// back.
std::string SaveBinFile(std::span<const std::uint8_t> bytes, const std::string& path,
                        Backup backup = Backup::None);

// The path less its last four characters (of UTF-8 text; bytes that are not
// UTF-8 count one each). A path of fewer than four characters raises a program
// error, since no name can be derived from it.
std::string DropLastFourCharacters(const std::string& path);

// A path as a message shows it: exactly as given, but with characters that
// could steer a terminal or reorder the text escaped.
std::string ShownPath(const std::string& path);

}  // namespace quilvane
