#pragma once
// The seams through which content travels in chunks: a source to read a
// document or message from and a sink to write one to. Progress reporting and
// cancelling ride along with them, outside the cryptography.

#include <cstddef>
#include <cstdint>
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

}  // namespace quilvane
