// A mail's MIME wrapping taken off: its header block read, and a
// multipart/signed mail taken apart into its document and signature.

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/SafeText.h"
#include "crypto/Text.h"
#include "internal/Armour.h"
#include "internal/MimeHeaders.h"
#include "internal/SignedDataImpl.h"

namespace quilvane::streaming {
namespace {

using namespace mime;
using signed_data::NotSigned;

// A mail's header block, or a part's, is held whole while it is read.
constexpr std::size_t kMaxHeaders = std::size_t{64} << 10;

}  // namespace

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
            NotSigned(
                Format(Tr("it is a multipart/signed mail whose signature is of the type \"%1\""),
                       SafeText(protocol, 64)));
        }
        boundary_ = Parameter(type, "boundary");
        if (boundary_.empty()) {
            NotSigned(Tr("it is a multipart/signed mail without a boundary between its parts"));
        }
        return true;
    }
    NotSigned(Format(Tr("it is a MIME entity of the type \"%1\""), SafeText(type.type, 64)));
}

SignedParts ArmourDecoder::TakeSignedParts() {
    while (More()) {
        if (held_.size() > kMaxMultipart) {
            NotSigned(
                Tr("it is a multipart/signed mail larger than 64 MiB, more than is read here"));
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
        NotSigned(Tr("its multipart/signed mail does not hold a part and its signature"));
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
        NotSigned(Tr("the signature part of its multipart/signed mail has no header block"));
    }
    std::map<std::string, std::string> fields = Fields(second.substr(0, end));
    std::string type = ParseContentType(Field(fields, "content-type")).type;
    if (!IsOneOf(type, "application/pkcs7-signature", "application/x-pkcs7-signature")) {
        NotSigned(
            Format(Tr("the signature part of its multipart/signed mail is of the type \"%1\""),
                   SafeText(type, 64)));
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

}  // namespace quilvane::streaming
