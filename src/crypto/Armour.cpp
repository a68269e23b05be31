#include "internal/Armour.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "crypto/Error.h"
#include "internal/Asn1Cursor.h"
#include "internal/Handles.h"
#include "internal/SignedDataImpl.h"

namespace quilvane::streaming {
namespace {

using signed_data::NotSigned;

// Enough of a file's start to tell binary from text.
constexpr std::size_t kSniff = 4096;

bool IsBase64(std::uint8_t c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/';
}

bool IsSpace(std::uint8_t c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

}  // namespace

ArmourDecoder::ArmourDecoder(ContentSource& raw, std::size_t chunk) : raw_(raw), chunk_(chunk) {
    sniff_.assign(kSniff, 0);
    std::size_t have = 0;
    while (have < kSniff) {
        std::size_t n = raw_.Read({sniff_.data() + have, std::min(chunk_, kSniff - have)});
        if (n == 0) {
            break;
        }
        have += n;
    }
    sniff_.resize(have);
    if (have == 0 || sniff_[0] == der::kSequence) {
        return;
    }
    std::size_t at = 0;
    while (at < have && IsSpace(sniff_[at])) {
        ++at;
    }
    static const std::string kBegin = "-----BEGIN ";
    if (have - at >= kBegin.size() && std::memcmp(&sniff_[at], kBegin.data(), kBegin.size()) == 0) {
        auto line = std::find(sniff_.begin() + static_cast<std::ptrdiff_t>(at), sniff_.end(),
                              std::uint8_t{'\n'});
        std::string label(sniff_.begin() + static_cast<std::ptrdiff_t>(at + kBegin.size()), line);
        while (!label.empty() && IsSpace(static_cast<std::uint8_t>(label.back()))) {
            label.pop_back();
        }
        if (line == sniff_.end() ||
            (label != "PKCS7-----" && label != "CMS-----" && label != "PKCS #7 SIGNED DATA-----")) {
            NotSigned("it is text, but not a signed message in PEM form");
        }
        at = static_cast<std::size_t>(line - sniff_.begin()) + 1;
    } else if (at == have || !IsBase64(sniff_[at])) {
        return;
    }
    binary_ = false;
    sniffed_ = at;
    base64_.reset(
        ossl::Check(EVP_ENCODE_CTX_new(), status::Failed, "Could not read the signed message"));
    EVP_DecodeInit(base64_.get());
    // Base64 gives three bytes for four.
    decoded_.resize(std::max(chunk_, kSniff) + 128);
    text_.resize(chunk_);
}

std::optional<std::uint64_t> ArmourDecoder::Size() const {
    return binary_ ? raw_.Size() : std::nullopt;
}

std::size_t ArmourDecoder::Read(std::span<std::uint8_t> buffer) {
    if (binary_) {
        if (sniffed_ < sniff_.size()) {
            std::size_t n = std::min(buffer.size(), sniff_.size() - sniffed_);
            std::memcpy(buffer.data(), sniff_.data() + sniffed_, n);
            sniffed_ += n;
            return n;
        }
        return raw_.Read(buffer);
    }
    for (;;) {
        if (decodedAt_ < decodedEnd_) {
            std::size_t n = std::min(buffer.size(), decodedEnd_ - decodedAt_);
            std::memcpy(buffer.data(), decoded_.data() + decodedAt_, n);
            decodedAt_ += n;
            return n;
        }
        if (ended_) {
            return 0;
        }
        Decode();
    }
}

void ArmourDecoder::Decode() {
    std::span<const std::uint8_t> text;
    if (sniffed_ < sniff_.size()) {
        text = std::span<const std::uint8_t>(sniff_).subspan(sniffed_);
        sniffed_ = sniff_.size();
    } else {
        text = {text_.data(), raw_.Read(text_)};
    }
    EVP_ENCODE_CTX* context = base64_.get();
    int length = 0;
    int result = 0;
    if (!text.empty()) {
        result = EVP_DecodeUpdate(context, decoded_.data(), &length, text.data(),
                                  static_cast<int>(text.size()));
        if (result < 0) {
            NotSigned("its Base64 text is damaged");
        }
    }
    decodedAt_ = 0;
    decodedEnd_ = static_cast<std::size_t>(length);
    if (text.empty() || result == 0) {
        // The end of the text, or the line that closes a PEM block.
        int last = 0;
        if (EVP_DecodeFinal(context, decoded_.data() + decodedEnd_, &last) < 0) {
            NotSigned("its Base64 text is damaged");
        }
        decodedEnd_ += static_cast<std::size_t>(last);
        ended_ = true;
    }
}

}  // namespace quilvane::streaming
