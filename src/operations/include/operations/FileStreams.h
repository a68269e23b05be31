#pragma once
// A file read and a file written in chunks: the source and sink through which
// documents and signed files travel. The sink is the one way any operation
// writes a file.

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "crypto/ContentStream.h"

namespace quilvane {

// What tells one state of a file from a later one: which file a name held, and
// its size and modification time then.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    std::uint64_t size = 0;
    struct timespec modified {};
};

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
    std::optional<std::uint64_t> Size() const override { return identity_.size; }
    void Rewind() override;
    int Descriptor() const override { return fd_; }

    // Told after every chunk read: the bytes read so far and the file's size.
    void OnProgress(ContentProgress progress) { progress_ = std::move(progress); }

    // The file as it was when opened.
    const FileIdentity& Identity() const { return identity_; }

    // Takes the file for this process alone until the source is destroyed:
    // another Quilvane that wants to change it is refused meanwhile. Raises
    // a program error when another program holds it, or when the name no
    // longer leads to the file that was opened.
    void LockForChange(const std::string& doing);

  private:
    std::string path_;
    int fd_ = -1;
    FileIdentity identity_;
    std::uint64_t read_ = 0;
    ContentProgress progress_;
};

// What becomes of a file that is replaced by different bytes.
enum class Backup { None, Keep };

// Whether a symbolic link at the path written is followed. Only the file the
// person named and asked to change follows one; a name Quilvane derives
// never writes through a link: the link is kept as NAME~ and a new file takes
// its name.
enum class Links { Replace, Follow };

// Writes a file as a new, unnamed file in the target's folder, flushed to the
// disk, which Commit() gives the target's name; until then the target is
// untouched, and a sink that goes without being committed leaves nothing
// behind. A replaced file's owner, group and permissions carry over, less the
// set-user-ID, set-group-ID and sticky bits. A target that is not a regular
// file is refused, and so is, in a world-writable sticky folder (such as
// /tmp), a file or a followed link that belongs to another user.
class FileSink final : public ContentSink, public PatchableSink, public FileCopySink {
  public:
    // A new file gets `newFileMode` less the umask.
    explicit FileSink(std::string path, Backup backup = Backup::None, Links links = Links::Replace,
                      mode_t newFileMode = 0666);
    ~FileSink() override;
    FileSink(const FileSink&) = delete;
    FileSink& operator=(const FileSink&) = delete;

    void Write(std::span<const std::uint8_t> bytes) override;
    void WriteAt(std::uint64_t offset, std::span<const std::uint8_t> bytes) override;
    bool CopyFrom(int descriptor, std::uint64_t offset, std::uint64_t length) override;
    // Told after every run copied inside the kernel: the bytes copied so far.
    void OnProgress(ContentProgress progress) { progress_ = std::move(progress); }

    // The commit refuses unless the target is still the file `identity`
    // describes: a file rewritten in place must not have changed meanwhile.
    void RequireUnchanged(const FileIdentity& identity) { unchanged_ = identity; }

    // Commit() in two steps: Prepare() does the long part (to the disk, the
    // comparison with the old file); Place() the short one (the backup and
    // the rename), which the caller may run with signals held.
    void Prepare();
    // Puts the file in place. With Backup::Keep, a file it replaces whose
    // bytes differ is first kept as NAME~ (replacing an older one); a link it
    // replaces always is. Returns the note that tells so, or "".
    std::string Place();
    std::string Commit();
    // Like Commit, but never replaces a file: false, and the target
    // untouched, when anything of its name exists.
    bool CommitNew();

  private:
    [[noreturn]] void Fail(int err) const;
    void TakeOwnerAndMode(const struct stat& of);
    bool Differs() const;
    std::string KeepBackup();
    void GiveName(const std::string& name, bool replace);
    // The file gets its name (false when one was not to be replaced and is
    // taken) and is closed, and the folder flushed.
    bool TakeName(bool replace);
    void SyncFolder() const;
    void StartWriteback();
    // Whether `bytes`, next after those written, are the old file's too.
    bool Matches(std::span<const std::uint8_t> bytes);
    // The new file begins: the start it shares with the old file is copied
    // from it. `differs`: the two are known to differ.
    void StopMatching(bool differs);
    // Whether the old file, open as `old`, is as it was when the sink was made.
    bool OldUnchanged(int old) const;

    std::string path_;                     // as the caller named it
    std::string target_;                   // the file replaced: the path, or where its link led
    std::string folderPath_;               // the target's folder
    std::string name_;                     // the target's name in that folder
    int folder_ = -1;                      // the folder, held open so that every step acts in it
    std::optional<struct stat> existing_;  // what the name held when the sink was made
    std::optional<FileIdentity> unchanged_;
    Backup backup_;
    bool keepOld_ = false;
    bool prepared_ = false;
    int fd_ = -1;
    std::string temp_;  // the temporary name; empty for an unnamed file
    std::uint64_t written_ = 0;
    std::uint64_t writeback_ = 0;  // written bytes already handed to the disk
    ContentProgress progress_;
    // A file replaced with Backup::Keep is read alongside: while the bytes
    // written are its own, none is written, and a file found identical at
    // the end is left as it was: no copy, no flush, no freeing of its blocks.
    int old_ = -1;  // while the bytes written match it
    struct stat oldState_ {};
    std::unique_ptr<std::uint8_t[]> compared_;
    bool differs_ = false;    // the bytes written are known to differ from the old file's
    bool identical_ = false;  // the old file holds exactly the bytes written
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

// Refuses anything but a regular file (a folder, a FIFO, a device, a socket)
// with a program error: "<what> "<path>": ...".
void RefuseIfNotRegular(const struct stat& info, const char* what, const std::string& path);

// Writes all of `bytes` to `fd`, again after an interruption; false with
// errno set when it cannot.
bool WriteAll(int fd, std::span<const std::uint8_t> bytes);

}  // namespace quilvane
