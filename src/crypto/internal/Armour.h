#pragma once
// The armour a message's file may wear: PEM and bare Base64 are taken off as
// the file is read, so that the message reader sees DER or BER whatever form
// the file has.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "crypto/ContentStream.h"
#include "internal/Handles.h"

namespace quilvane::streaming {

class ArmourDecoder : public ContentSource {
  public:
    // Reads the start of `raw` at once, to tell its form; asks `chunk` bytes
    // of it at a time. Raises status::BadMessage for a PEM block of another
    // kind than a signed message.
    ArmourDecoder(ContentSource& raw, std::size_t chunk);

    // True when the bytes given are the file's own (DER or BER): offsets in
    // them are offsets in the file.
    bool Binary() const { return binary_; }
    std::optional<std::uint64_t> Size() const override;
    std::size_t Read(std::span<std::uint8_t> buffer) override;

  private:
    // Decodes the next run of text.
    void Decode();

    ContentSource& raw_;
    std::size_t chunk_;
    std::vector<std::uint8_t> sniff_;  // the file's start
    std::size_t sniffed_ = 0;          // how much of it was given or decoded
    bool binary_ = true;
    bool ended_ = false;
    ossl::EncodeCtxPtr base64_;
    std::vector<std::uint8_t> text_;
    std::vector<std::uint8_t> decoded_;
    std::size_t decodedAt_ = 0;
    std::size_t decodedEnd_ = 0;
};

}  // namespace quilvane::streaming
