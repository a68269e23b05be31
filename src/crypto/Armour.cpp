#include "internal/Armour.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <string_view>

#include "crypto/Error.h"
#include "crypto/SafeText.h"
#include "internal/Asn1Cursor.h"
#include "internal/Handles.h"
#include "internal/SignedDataImpl.h"

namespace quilvane::streaming {
namespace {

using signed_data::NotSigned;

// Enough of a file's start to tell binary from text.
constexpr std::size_t kSniff = 4096;
// A mail's header block, or a part's, is held whole while it is read.
constexpr std::size_t kMaxHeaders = std::size_t{64} << 10;
// Of a line before the Base64 text only its start tells anything.
constexpr std::size_t kKeep = 256;

bool IsBase64(std::uint8_t c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/';
}

bool IsSpace(std::uint8_t c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsSpace(static_cast<std::uint8_t>(s.front()))) {
        s.remove_prefix(1);
    }
    while (!s.empty() && IsSpace(static_cast<std::uint8_t>(s.back()))) {
        s.remove_suffix(1);
    }
    return s;
}

std::string Lower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; });
    return out;
}

std::string_view View(std::span<const std::uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// Text has no control characters but those of line ends and spacing.
bool LooksLikeText(std::span<const std::uint8_t> bytes) {
    return std::none_of(bytes.begin(), bytes.end(),
                        [](std::uint8_t c) { return (c < 0x20 && !IsSpace(c)) || c == 0x7F; });
}

// "Name:" at the start of `line`, as a mail's header field begins.
bool IsField(std::string_view line) {
    std::size_t colon = line.find(':');
    return colon != std::string_view::npos && colon > 0 &&
           std::all_of(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(colon),
                       [](char c) { return c > ' ' && c < 0x7F; });
}

constexpr std::size_t kNoHeaders = std::string_view::npos;

// Where the header block at the start of `text` ends (after its blank
// line): 0 when more text is needed to tell, kNoHeaders when it is none.
std::size_t HeaderEnd(std::string_view text) {
    for (std::size_t at = 0;;) {
        std::size_t feed = text.find('\n', at);
        std::string_view line = text.substr(at, feed == std::string_view::npos ? feed : feed - at);
        if (feed == std::string_view::npos) {
            return line.size() > kKeep && !IsField(line.substr(0, kKeep)) ? kNoHeaders : 0;
        }
        if (Trim(line).empty()) {
            return feed + 1;
        }
        bool continues = at > 0 && (line[0] == ' ' || line[0] == '\t');
        if (!continues && !IsField(line)) {
            return kNoHeaders;
        }
        at = feed + 1;
    }
}

// The fields of a header block, names in lower case, folded lines joined;
// of a field given twice, the first.
std::map<std::string, std::string> Fields(std::string_view block) {
    std::map<std::string, std::string> fields;
    std::string* current = nullptr;
    std::string ignored;
    for (std::size_t at = 0; at < block.size();) {
        std::size_t feed = std::min(block.find('\n', at), block.size());
        std::string_view line = block.substr(at, feed - at);
        at = feed + 1;
        if (Trim(line).empty()) {
            break;
        }
        if (line[0] == ' ' || line[0] == '\t') {
            if (current != nullptr) {
                *current += " " + std::string(Trim(line));
            }
            continue;
        }
        std::size_t colon = line.find(':');
        auto [field, fresh] =
            fields.try_emplace(Lower(line.substr(0, colon)), Trim(line.substr(colon + 1)));
        current = fresh ? &field->second : &ignored;
    }
    return fields;
}

struct ContentType {
    std::string type;  // "type/subtype" in lower case
    std::map<std::string, std::string> parameters;
};

ContentType ParseContentType(std::string_view value) {
    ContentType result;
    std::size_t semicolon = value.find(';');
    result.type = Lower(Trim(value.substr(0, semicolon)));
    while (semicolon != std::string_view::npos) {
        value.remove_prefix(semicolon + 1);
        std::size_t equals = value.find('=');
        if (equals == std::string_view::npos) {
            break;
        }
        std::string name = Lower(Trim(value.substr(0, equals)));
        value = Trim(value.substr(equals + 1));
        std::string parameter;
        if (!value.empty() && value[0] == '"') {
            std::size_t at = 1;
            for (; at < value.size() && value[at] != '"'; ++at) {
                if (value[at] == '\\' && at + 1 < value.size()) {
                    ++at;
                }
                parameter += value[at];
            }
            semicolon = value.find(';', at);
        } else {
            semicolon = value.find(';');
            parameter = Trim(value.substr(0, semicolon));
        }
        result.parameters.emplace(std::move(name), std::move(parameter));
    }
    return result;
}

std::string Parameter(const ContentType& type, const std::string& name) {
    auto found = type.parameters.find(name);
    return found == type.parameters.end() ? std::string() : found->second;
}

std::string Field(const std::map<std::string, std::string>& fields, const std::string& name) {
    auto found = fields.find(name);
    return found == fields.end() ? std::string() : found->second;
}

bool IsOneOf(const std::string& type, const char* a, const char* b) {
    return type == a || type == b;
}

// Base64 or binary: the transfer encodings a signed message comes in.
bool IsBase64Encoding(const std::map<std::string, std::string>& fields) {
    std::string encoding = Lower(Trim(Field(fields, "content-transfer-encoding")));
    if (encoding == "base64") {
        return true;
    }
    if (encoding.empty() || encoding == "binary" || encoding == "7bit" || encoding == "8bit") {
        return false;
    }
    NotSigned("its content is in the transfer encoding \"" + SafeText(encoding, 64) +
              "\", which is not read here");
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
        {"CERTIFICATE", "it is a certificate bundle"},
        {"X509 CERTIFICATE", "it is a certificate bundle"},
        {"TRUSTED CERTIFICATE", "it is a certificate bundle"},
        {"X509 CRL", "it is a certificate revocation list"},
        {"CERTIFICATE REQUEST", "it is a certificate request"},
        {"NEW CERTIFICATE REQUEST", "it is a certificate request"},
        {"PGP SIGNATURE", "it is an OpenPGP signature"},
        {"PGP MESSAGE", "it is an OpenPGP message"},
        {"PGP SIGNED MESSAGE", "it is an OpenPGP signed message"},
    };
    for (const Kind& kind : kKinds) {
        if (label == kind.label) {
            NotSigned(kind.what);
        }
    }
    if (label.ends_with("PRIVATE KEY")) {
        NotSigned("it holds a private key");
    }
    NotSigned("it is text in PEM form of another kind (" + SafeText(label, 64) + ")");
}

}  // namespace

std::vector<std::uint8_t> DecodeBase64(std::span<const std::uint8_t> text) {
    ossl::EncodeCtxPtr context(
        ossl::Check(EVP_ENCODE_CTX_new(), status::Failed, "Could not read the signed message"));
    EVP_DecodeInit(context.get());
    std::vector<std::uint8_t> out(text.size() / 4 * 3 + 80);
    int length = 0;
    int last = 0;
    if (EVP_DecodeUpdate(context.get(), out.data(), &length, text.data(),
                         static_cast<int>(text.size())) < 0 ||
        EVP_DecodeFinal(context.get(), out.data() + length, &last) < 0) {
        NotSigned("its Base64 text is damaged");
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
        NotSigned("it is blank text");
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
    std::size_t have = held_.size();
    held_.resize(have + chunk_);
    std::size_t n = raw_.Read({held_.data() + have, chunk_});
    held_.resize(have + n);
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

bool ArmourDecoder::ReadMime() {
    auto text = [&] { return View(std::span(held_).subspan(at_)); };
    std::size_t end = HeaderEnd(text());
    while (end == 0) {
        end = held_.size() - at_ > kMaxHeaders || !More() ? kNoHeaders : HeaderEnd(text());
    }
    if (end == kNoHeaders) {
        return false;
    }
    std::map<std::string, std::string> fields = Fields(text().substr(0, end));
    if (!fields.contains("content-type") && !fields.contains("mime-version")) {
        return false;
    }
    mime_ = true;
    at_ += end;
    std::string given = Field(fields, "content-type");
    ContentType type = ParseContentType(given.empty() ? "text/plain" : given);
    if (IsOneOf(type.type, "application/pkcs7-mime", "application/x-pkcs7-mime")) {
        if (IsBase64Encoding(fields)) {
            StartBase64();
        }
        return true;
    }
    if (type.type == "multipart/signed") {
        std::string protocol = Lower(Parameter(type, "protocol"));
        if (!IsOneOf(protocol, "application/pkcs7-signature", "application/x-pkcs7-signature")) {
            NotSigned("it is a multipart/signed mail whose signature is of the type \"" +
                      SafeText(protocol, 64) + "\"");
        }
        boundary_ = Parameter(type, "boundary");
        if (boundary_.empty()) {
            NotSigned("it is a multipart/signed mail without a boundary between its parts");
        }
        return true;
    }
    NotSigned("it is a MIME entity of the type \"" + SafeText(type.type, 64) + "\"");
}

void ArmourDecoder::BeginPem() {
    static const std::string kBegin = "-----BEGIN ";
    for (;;) {
        std::optional<std::string> line = TakeLine(kKeep);
        if (!line) {
            NotSigned("it is text, but not a signed message in PEM form");
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
        ossl::Check(EVP_ENCODE_CTX_new(), status::Failed, "Could not read the signed message"));
    EVP_DecodeInit(base64_.get());
}

SignedParts ArmourDecoder::TakeSignedParts() {
    while (More()) {
        if (held_.size() > kMaxMultipart) {
            NotSigned("it is a multipart/signed mail larger than 64 MiB, more than is read here");
        }
    }
    std::string_view body = View(held_);
    const std::string dashes = "--" + boundary_;
    // Each boundary line: where it starts, where the line after it starts.
    struct Delimiter {
        std::size_t line, next;
        bool close;
    };
    std::vector<Delimiter> found;
    for (std::size_t at = 0; at < body.size() && found.size() < 3;) {
        std::size_t feed = std::min(body.find('\n', at), body.size());
        std::string_view line = body.substr(at, feed - at);
        if (line.starts_with(dashes)) {
            std::string_view after = line.substr(dashes.size());
            bool close = after.starts_with("--");
            if (Trim(close ? after.substr(2) : after).empty()) {
                found.push_back({at, std::min(feed + 1, body.size()), close});
            }
        }
        at = feed + 1;
    }
    if (found.size() < 3 || found[0].close || found[1].close) {
        NotSigned("its multipart/signed mail does not hold a part and its signature");
    }
    // A part ends before the line break that comes before the next boundary.
    auto part = [&](const Delimiter& from, const Delimiter& to) {
        std::size_t end = to.line;
        if (end > from.next && body[end - 1] == '\n') {
            --end;
        }
        if (end > from.next && body[end - 1] == '\r') {
            --end;
        }
        return body.substr(from.next, end - from.next);
    };
    std::string_view first = part(found[0], found[1]), second = part(found[1], found[2]);

    SignedParts parts;
    // Signed as RFC 5751 says: every line ends in CR LF, whatever the file holds.
    parts.document.reserve(first.size());
    for (std::size_t i = 0; i < first.size(); ++i) {
        if (first[i] == '\n' && (i == 0 || first[i - 1] != '\r')) {
            parts.document.push_back('\r');
        }
        parts.document.push_back(static_cast<std::uint8_t>(first[i]));
    }
    std::size_t end = HeaderEnd(second);
    if (end == 0 || end == kNoHeaders) {
        NotSigned("the signature part of its multipart/signed mail has no header block");
    }
    std::map<std::string, std::string> fields = Fields(second.substr(0, end));
    std::string type = ParseContentType(Field(fields, "content-type")).type;
    if (!IsOneOf(type, "application/pkcs7-signature", "application/x-pkcs7-signature")) {
        NotSigned("the signature part of its multipart/signed mail is of the type \"" +
                  SafeText(type, 64) + "\"");
    }
    auto signature =
        std::span(reinterpret_cast<const std::uint8_t*>(second.data()), second.size()).subspan(end);
    if (IsBase64Encoding(fields)) {
        parts.signature = DecodeBase64(signature);
    } else {
        parts.signature.assign(signature.begin(), signature.end());
    }
    held_.clear();
    at_ = 0;
    ended_ = true;
    return parts;
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
