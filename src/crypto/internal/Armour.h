#pragma once
// The armour a message's file may wear: PEM, bare Base64 and a mail's MIME
// wrapping are taken off as the file is read, so that the message reader sees
// DER or BER whatever form the file has.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "crypto/ContentStream.h"
#include "crypto/SignedData.h"
#include "internal/Handles.h"

namespace quilvane::streaming {

// A multipart/signed mail taken apart: the first part's bytes as they were
// signed (CRLF line ends) and the signature part, decoded.
struct SignedParts {
    std::vector<std::uint8_t> document;
    std::vector<std::uint8_t> signature;
};

// Bytes in memory as a source, such as a mail's parts.
class SpanSource : public ContentSource, public RewindableSource {
  public:
    explicit SpanSource(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    std::size_t Read(std::span<std::uint8_t> buffer) override {
        std::size_t n = std::min(buffer.size(), bytes_.size() - at_);
        std::copy_n(bytes_.data() + at_, n, buffer.data());
        at_ += n;
        return n;
    }
    std::optional<std::uint64_t> Size() const override { return bytes_.size(); }
    void Rewind() override { at_ = 0; }

  private:
    std::span<const std::uint8_t> bytes_;
    std::size_t at_ = 0;
};

// The whole of a multipart/signed mail is held in memory; beyond this it is refused.
inline constexpr std::size_t kMaxMultipart = std::size_t{64} << 20;

class ArmourDecoder : public ContentSource {
  public:
    // Reads the start of `raw` at once, to tell its form; asks `chunk` bytes
    // of it at a time. Raises status::BadMessage, naming what the file is,
    // for text, PEM or MIME of another kind than a signed message.
    ArmourDecoder(ContentSource& raw, std::size_t chunk);

    // True when the bytes given are the file's own (DER or BER): offsets in
    // them are offsets in the file.
    bool Binary() const { return !base64_ && !mime_; }
    MessageWrapping Wrapping() const;
    // Of a multipart/signed mail, read to its end.
    SignedParts TakeSignedParts();

    std::optional<std::uint64_t> Size() const override;
    std::size_t Read(std::span<std::uint8_t> buffer) override;

  private:
    bool More();
    std::optional<std::string> TakeLine(std::size_t keep);
    void SkipSpace();
    bool ReadMime();
    void BeginPem();
    void StartBase64();
    void Decode();

    ContentSource& raw_;
    std::size_t chunk_;
    std::vector<std::uint8_t> held_;  // read ahead of what was given
    std::size_t at_ = 0;              // the first byte of it not yet given
    bool mime_ = false;
    std::string boundary_;  // of a multipart/signed mail
    bool ended_ = false;
    ossl::EncodeCtxPtr base64_;
    std::vector<std::uint8_t> text_;
    std::vector<std::uint8_t> decoded_;
    std::size_t decodedAt_ = 0;
    std::size_t decodedEnd_ = 0;
};

// The Base64 text `text` decoded; raises status::BadMessage when it is damaged.
std::vector<std::uint8_t> DecodeBase64(std::span<const std::uint8_t> text);

}  // namespace quilvane::streaming
