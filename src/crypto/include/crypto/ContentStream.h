#pragma once
// The seams through which content travels in chunks: a source to read a
// document or message from and a sink to write one to. Progress reporting and
// cancelling ride along with them, outside the cryptography.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>

namespace quilvane {

class ContentSource {
  public:
    virtual ~ContentSource() = default;
    // Reads up to `buffer.size()` bytes; 0 only at the end. Raises Error.
    virtual std::size_t Read(std::span<std::uint8_t> buffer) = 0;
    // The whole size, when it is known before reading (a regular file).
    virtual std::optional<std::uint64_t> Size() const = 0;
};

class ContentSink {
  public:
    virtual ~ContentSink() = default;
    // Appends `bytes`. Raises Error.
    virtual void Write(std::span<const std::uint8_t> bytes) = 0;
};

// Abilities a source or sink may add besides. The crypto layer looks for them
// (dynamic_cast) and takes a slower way, or refuses, without them.

// A source that can start again from its first byte, for a second pass.
class RewindableSource {
  public:
    virtual ~RewindableSource() = default;
    virtual void Rewind() = 0;
};

// A source that reads an open file from its offset 0: runs of it can be
// copied inside the kernel to a FileCopySink.
class FileBackedSource {
  public:
    virtual ~FileBackedSource() = default;
    virtual int Descriptor() const = 0;
};

// A sink that can overwrite bytes it already took (a length known only at the
// end), counted from the first byte written to it; it never grows by this.
class PatchableSink {
  public:
    virtual ~PatchableSink() = default;
    virtual void WriteAt(std::uint64_t offset, std::span<const std::uint8_t> bytes) = 0;
};

// A sink that can append `length` bytes of the file `descriptor` from
// `offset` without passing them through memory (copy_file_range). False when
// the kernel cannot between these two files: nothing was appended then.
class FileCopySink {
  public:
    virtual ~FileCopySink() = default;
    virtual bool CopyFrom(int descriptor, std::uint64_t offset, std::uint64_t length) = 0;
};

// What a source calls after each chunk it gives, and a sink after each run it
// copies in the kernel: the bytes so far and the whole size when known. It
// stops the work by raising Error(status::Stopped), which the crypto layer
// passes on untouched; an uncommitted sink then leaves its target as it was.
using ContentProgress = std::function<void(std::uint64_t done, std::optional<std::uint64_t> total)>;

}  // namespace quilvane
