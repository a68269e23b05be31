#pragma once
// A content source and sinks over bytes in memory, for the crypto layer's
// streamed signing, verifying and co-signing without files.

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "crypto/ContentStream.h"

namespace quilvane::test {

// Gives at most `step` bytes at a time, so that chunk boundaries fall inside
// headers.
struct MemorySource : ContentSource, RewindableSource {
    explicit MemorySource(std::string bytes, std::size_t step = SIZE_MAX, bool sized = true)
        : bytes(std::move(bytes)), step(step), sized(sized) {}
    std::size_t Read(std::span<std::uint8_t> buffer) override {
        std::size_t n = std::min({buffer.size(), step, bytes.size() - at});
        std::copy_n(bytes.data() + at, n, buffer.data());
        at += n;
        return n;
    }
    std::optional<std::uint64_t> Size() const override {
        return sized ? std::optional<std::uint64_t>(bytes.size()) : std::nullopt;
    }
    void Rewind() override { at = 0; }

    std::string bytes;
    std::size_t step;
    bool sized;
    std::size_t at = 0;
};

struct AppendSink : ContentSink {
    void Write(std::span<const std::uint8_t> bytes) override {
        text.append(bytes.begin(), bytes.end());
    }
    std::string text;
};

struct MemorySink : AppendSink, PatchableSink {
    void WriteAt(std::uint64_t offset, std::span<const std::uint8_t> bytes) override {
        text.replace(offset, bytes.size(), std::string(bytes.begin(), bytes.end()));
    }
};

}  // namespace quilvane::test
