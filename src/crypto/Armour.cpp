#include "internal/Armour.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "crypto/Error.h"
#include "crypto/SafeText.h"
#include "crypto/Text.h"
#include "internal/Asn1Cursor.h"
#include "internal/Handles.h"
#include "internal/MimeHeaders.h"
#include "internal/SignedDataImpl.h"

namespace quilvane::streaming {
namespace {

using namespace mime;
using signed_data::NotSigned;

// Enough of a file's start to tell binary from text.
constexpr std::size_t kSniff = 4096;

bool IsBase64(std::uint8_t c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/';
}

// Text has no control characters but those of line ends and spacing.
bool LooksLikeText(std::span<const std::uint8_t> bytes) {
    return std::none_of(bytes.begin(), bytes.end(),
                        [](std::uint8_t c) { return (c < 0x20 && !IsSpace(c)) || c == 0x7F; });
}

// Raises, naming what the file is, unless `label` is a signed message's.
void RequireSignedLabel(const std::string& label) {
    for (const char* kind : {"PKCS7", "CMS", "SIGNED MESSAGE", "PKCS #7 SIGNED DATA"}) {
        if (label == kind) {
            return;
        }
    }
    struct Kind {
        const char* label;
        const char* what;
    };
    static constexpr Kind kKinds[] = {
        {"CERTIFICATE", QUILVANE_N_("it is a certificate bundle")},
        {"X509 CERTIFICATE", QUILVANE_N_("it is a certificate bundle")},
        {"TRUSTED CERTIFICATE", QUILVANE_N_("it is a certificate bundle")},
        {"X509 CRL", QUILVANE_N_("it is a certificate revocation list")},
        {"CERTIFICATE REQUEST", QUILVANE_N_("it is a certificate request")},
        {"NEW CERTIFICATE REQUEST", QUILVANE_N_("it is a certificate request")},
        {"PGP SIGNATURE", QUILVANE_N_("it is an OpenPGP signature")},
        {"PGP MESSAGE", QUILVANE_N_("it is an OpenPGP message")},
        {"PGP SIGNED MESSAGE", QUILVANE_N_("it is an OpenPGP signed message")},
    };
    for (const Kind& kind : kKinds) {
        if (label == kind.label) {
            NotSigned(Tr(kind.what));
        }
    }
    if (label.ends_with("PRIVATE KEY")) {
        NotSigned(Tr("it holds a private key"));
    }
    NotSigned(Format(Tr("it is text in PEM form of another kind (%1)"), SafeText(label, 64)));
}

}  // namespace

std::vector<std::uint8_t> DecodeBase64(std::span<const std::uint8_t> text) {
    ossl::EncodeCtxPtr context(
        ossl::Check(EVP_ENCODE_CTX_new(), status::Failed, Tr("Could not read the signed message")));
    EVP_DecodeInit(context.get());
    std::vector<std::uint8_t> out(text.size() / 4 * 3 + 80);
    int length = 0;
    int last = 0;
    if (EVP_DecodeUpdate(context.get(), out.data(), &length, text.data(),
                         static_cast<int>(text.size())) < 0 ||
        EVP_DecodeFinal(context.get(), out.data() + length, &last) < 0) {
        NotSigned(Tr("its Base64 text is damaged"));
    }
    out.resize(static_cast<std::size_t>(length + last));
    return out;
}

ArmourDecoder::ArmourDecoder(ContentSource& raw, std::size_t chunk)
    : raw_(raw), chunk_(std::max<std::size_t>(chunk, 1)) {
    while (held_.size() < kSniff && More()) {
    }
    if (held_.empty() || held_[0] == der::kSequence) {
        return;
    }
    static const std::uint8_t kByteOrderMark[] = {0xEF, 0xBB, 0xBF};
    if (held_.size() >= 3 && std::memcmp(held_.data(), kByteOrderMark, 3) == 0) {
        at_ = 3;
    }
    // A mail's header block is text whatever its body is.
    if (ReadMime()) {
        return;
    }
    if (!LooksLikeText(std::span(held_).subspan(at_))) {
        at_ = 0;
        return;  // binary: the message reader tells what is wrong with it
    }
    SkipSpace();
    if (at_ == held_.size()) {
        NotSigned(Tr("it is blank text"));
    }
    // Bare Base64 of a DER sequence starts with "M".
    auto from = held_.begin() + static_cast<std::ptrdiff_t>(at_);
    auto feed = std::find(from, held_.end(), std::uint8_t{'\n'});
    if (*from != 'M' || !std::all_of(from, feed, [](std::uint8_t c) {
            return IsBase64(c) || c == '=' || c == '\r';
        })) {
        BeginPem();
    }
    StartBase64();
}

MessageWrapping ArmourDecoder::Wrapping() const {
    if (!mime_) {
        return MessageWrapping::Plain;
    }
    return boundary_.empty() ? MessageWrapping::Mime : MessageWrapping::MultipartSigned;
}

bool ArmourDecoder::More() {
    held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(at_));
    at_ = 0;
    // Read into the one chunk-sized buffer and keep only what came: growing
    // the held bytes by a whole chunk would clear it anew for every read,
    // however few bytes each brings.
    text_.resize(chunk_);
    const std::size_t n = raw_.Read(text_);
    held_.insert(held_.end(), text_.begin(), text_.begin() + static_cast<std::ptrdiff_t>(n));
    return n > 0;
}

std::optional<std::string> ArmourDecoder::TakeLine(std::size_t keep) {
    std::string line;
    bool any = false;
    for (;;) {
        auto from = held_.begin() + static_cast<std::ptrdiff_t>(at_);
        auto feed = std::find(from, held_.end(), std::uint8_t{'\n'});
        std::size_t n = static_cast<std::size_t>(feed - from);
        line.append(from, from + static_cast<std::ptrdiff_t>(std::min(n, keep - line.size())));
        any = any || from != held_.end();
        if (feed != held_.end()) {
            at_ += n + 1;
            return line;
        }
        at_ = held_.size();
        if (!More()) {
            return any ? std::optional(line) : std::nullopt;
        }
    }
}

void ArmourDecoder::SkipSpace() {
    for (;;) {
        while (at_ < held_.size() && IsSpace(held_[at_])) {
            ++at_;
        }
        if (at_ < held_.size() || !More()) {
            return;
        }
    }
}

void ArmourDecoder::BeginPem() {
    static const std::string kBegin = "-----BEGIN ";
    for (;;) {
        std::optional<std::string> line = TakeLine(kKeep);
        if (!line) {
            NotSigned(Tr("it is text, but not a signed message in PEM form"));
        }
        std::string_view trimmed = Trim(*line);
        if (!trimmed.starts_with(kBegin)) {
            continue;
        }
        std::string_view label = trimmed.substr(kBegin.size());
        while (label.ends_with('-')) {
            label.remove_suffix(1);
        }
        RequireSignedLabel(std::string(label));
        break;
    }
    // Header lines (RFC 1421) may come before the Base64 text, up to a blank line.
    while (held_.size() - at_ < kKeep &&
           std::find(held_.begin() + static_cast<std::ptrdiff_t>(at_), held_.end(),
                     std::uint8_t{'\n'}) == held_.end() &&
           More()) {
    }
    std::string_view next = View(std::span(held_).subspan(at_)).substr(0, kKeep);
    if (next.substr(0, next.find('\n')).find(':') != std::string_view::npos) {
        for (std::optional<std::string> line; (line = TakeLine(kKeep)) && !Trim(*line).empty();) {
        }
    }
}

void ArmourDecoder::StartBase64() {
    base64_.reset(
        ossl::Check(EVP_ENCODE_CTX_new(), status::Failed, Tr("Could not read the signed message")));
    EVP_DecodeInit(base64_.get());
}

std::optional<std::uint64_t> ArmourDecoder::Size() const {
    return Binary() ? raw_.Size() : std::nullopt;
}

std::size_t ArmourDecoder::Read(std::span<std::uint8_t> buffer) {
    if (!base64_) {
        if (at_ < held_.size()) {
            std::size_t n = std::min(buffer.size(), held_.size() - at_);
            std::memcpy(buffer.data(), held_.data() + at_, n);
            at_ += n;
            return n;
        }
        return ended_ ? 0 : raw_.Read(buffer);
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
    if (at_ < held_.size()) {
        text = std::span<const std::uint8_t>(held_).subspan(at_);
        at_ = held_.size();
    } else {
        text_.resize(chunk_);
        text = {text_.data(), raw_.Read(text_)};
    }
    // Base64 gives three bytes for four.
    decoded_.resize(std::max(decoded_.size(), text.size() / 4 * 3 + 80));
    EVP_ENCODE_CTX* context = base64_.get();
    int length = 0;
    int result = 0;
    if (!text.empty()) {
        result = EVP_DecodeUpdate(context, decoded_.data(), &length, text.data(),
                                  static_cast<int>(text.size()));
        if (result < 0) {
            NotSigned(Tr("its Base64 text is damaged"));
        }
    }
    decodedAt_ = 0;
    decodedEnd_ = static_cast<std::size_t>(length);
    if (text.empty() || result == 0) {
        // The end of the text, or the line that closes a PEM block.
        int last = 0;
        if (EVP_DecodeFinal(context, decoded_.data() + decodedEnd_, &last) < 0) {
            NotSigned(Tr("its Base64 text is damaged"));
        }
        decodedEnd_ += static_cast<std::size_t>(last);
        ended_ = true;
    }
}

}  // namespace quilvane::streaming
