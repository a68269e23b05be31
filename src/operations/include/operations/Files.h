#pragma once
// Files in and out: whole files for the operations of today, and the file
// source and sink through which content can travel in chunks.

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "crypto/Bytes.h"
#include "crypto/ContentStream.h"

namespace quilvane {

// Reads a file in chunks. A missing file, an unreadable file or anything that
// is not a regular file (a folder, a FIFO, a device) raises a program error
// naming the file; nothing is waited for.
class FileSource final : public ContentSource, public RewindableSource, public FileBackedSource {
  public:
    explicit FileSource(const std::string& path);
    ~FileSource() override;
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;

    std::size_t Read(std::span<std::uint8_t> buffer) override;
    std::optional<std::uint64_t> Size() const override { return size_; }
    void Rewind() override;
    int Descriptor() const override { return fd_; }

    // Told after every chunk read: the bytes read so far and the file's size.
    void OnProgress(ContentProgress progress) { progress_ = std::move(progress); }

  private:
    std::string path_;
    int fd_ = -1;
    std::uint64_t size_ = 0;
    std::uint64_t read_ = 0;
    ContentProgress progress_;
};

// What becomes of a file that is replaced by different bytes.
enum class Backup { None, Keep };

// Writes a file through a temporary file beside it, flushed to the disk, which
// Commit() renames over the target; until then the target is untouched, and a
// sink that goes without being committed removes its temporary file. A
// symbolic link is followed to the file it names, which keeps its owner,
// group and permissions. A target that is not a regular file is refused.
class FileSink final : public ContentSink, public PatchableSink, public FileCopySink {
  public:
    // A new file gets `newFileMode` less the umask.
    explicit FileSink(std::string path, Backup backup = Backup::None, mode_t newFileMode = 0666);
    ~FileSink() override;
    FileSink(const FileSink&) = delete;
    FileSink& operator=(const FileSink&) = delete;

    void Write(std::span<const std::uint8_t> bytes) override;
    void WriteAt(std::uint64_t offset, std::span<const std::uint8_t> bytes) override;
    bool CopyFrom(int descriptor, std::uint64_t offset, std::uint64_t length) override;
    // Told after every run copied inside the kernel: the bytes copied so far.
    void OnProgress(ContentProgress progress) { progress_ = std::move(progress); }
    // Puts the file in place. With Backup::Keep, a file it replaces whose
    // bytes differ is first kept as NAME~ (replacing an older one); returns
    // that path, or "" when nothing was kept.
    std::string Commit();
    // Like Commit, but never replaces a file: false, and the target
    // untouched, when a file of its name exists.
    bool CommitNew();

  private:
    [[noreturn]] void Fail(int err);
    void Flush();
    void SyncFolder();
    void TakeOwnerAndMode(const struct stat& of);
    bool Differs() const;
    std::string KeepBackup() const;

    std::string path_;    // as the caller named it
    std::string target_;  // the file written: the path, links followed
    std::string temp_;
    Backup backup_;
    bool replaces_ = false;
    int fd_ = -1;
    std::uint64_t written_ = 0;
    ContentProgress progress_;
};

// Takes bytes and keeps only their count: the document of a signed file whose
// name gives no place for it is still read through, to check it.
class CountingSink final : public ContentSink {
  public:
    void Write(std::span<const std::uint8_t> bytes) override { count_ += bytes.size(); }
    std::uint64_t count() const { return count_; }

  private:
    std::uint64_t count_ = 0;
};

// Reads a whole file. A missing file, a folder, an unreadable file or one of
// 2 GiB or more raises a program error naming the file.
ByteBuffer LoadBinFile(const std::string& path);

// Writes `bytes` as the whole of `path` through a FileSink; returns where a
// replaced file was kept ("" for nowhere). Refuses more than LoadBinFile could
// read back.
std::string SaveBinFile(std::span<const std::uint8_t> bytes, const std::string& path,
                        Backup backup = Backup::None);

// The line that tells where a replaced file was kept; "" when none was.
std::string KeptNote(const std::string& backup);

// The path less its last four characters (of UTF-8 text; bytes that are not
// UTF-8 count one each). A path of fewer than four characters raises a program
// error, since no name can be derived from it.
std::string DropLastFourCharacters(const std::string& path);

}  // namespace quilvane
