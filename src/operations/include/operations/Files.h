#pragma once
// Files in and out: whole files for the operations of today, and the file
// source and sink through which content can travel in chunks.

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "crypto/Bytes.h"
#include "crypto/ContentStream.h"

namespace quilvane {

// Reads a file in chunks. A missing file, a folder or an unreadable file
// raises a program error naming the file.
class FileSource final : public ContentSource {
  public:
    explicit FileSource(const std::string& path);
    ~FileSource() override;
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;

    std::size_t Read(std::span<std::uint8_t> buffer) override;
    std::optional<std::uint64_t> Size() const override { return size_; }

  private:
    std::string path_;
    int fd_ = -1;
    std::uint64_t size_ = 0;
};

// Writes a file through a temporary file beside it, which Commit() renames
// over the target; until then the target is untouched, and a sink that goes
// without being committed removes its temporary file. A replaced file keeps
// its permissions; a new one gets `newFileMode` less the umask.
class FileSink final : public ContentSink {
  public:
    explicit FileSink(std::string path, mode_t newFileMode = 0666);
    ~FileSink() override;
    FileSink(const FileSink&) = delete;
    FileSink& operator=(const FileSink&) = delete;

    void Write(std::span<const std::uint8_t> bytes) override;
    void Commit();
    // Like Commit, but never replaces a file: false, and the target
    // untouched, when a file of its name exists.
    bool CommitNew();

  private:
    [[noreturn]] void Fail(int err);
    void Close();

    std::string path_;
    std::string temp_;
    int fd_ = -1;
    bool keepMode_ = false;
    mode_t mode_ = 0;
    mode_t newFileMode_;
};

// Reads a whole file. A missing file, a folder, an unreadable file or one of
// 2 GiB or more raises a program error naming the file.
ByteBuffer LoadBinFile(const std::string& path);

// Writes `bytes` as the whole of `path` through a FileSink.
void SaveBinFile(std::span<const std::uint8_t> bytes, const std::string& path);

// The path less its last four characters (of UTF-8 text; bytes that are not
// UTF-8 count one each). A path of fewer than four characters raises a program
// error, since no name can be derived from it.
std::string DropLastFourCharacters(const std::string& path);

}  // namespace quilvane
