#include "internal/MessageReader.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "crypto/Error.h"
#include "internal/DerHeader.h"
#include "internal/Handles.h"
#include "internal/SignedDataImpl.h"

namespace quilvane::streaming {
namespace {

using signed_data::NotSigned;

using EncodeCtxPtr = std::unique_ptr<EVP_ENCODE_CTX, ossl::Deleter<EVP_ENCODE_CTX_free>>;

// Certificates, CRLs and signer-infos are kept in memory while the document
// passes; more than this is no message a person signed.
constexpr std::uint64_t kMaxKept = 8u << 20;
// Nesting deeper than this is no honest message either.
constexpr int kMaxDepth = 32;
// Enough of a file's start to tell binary from text.
constexpr std::size_t kSniff = 4096;

const std::uint8_t kSignedDataOid[] = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86,
                                       0xF7, 0x0D, 0x01, 0x07, 0x02};
const std::uint8_t kEnvelopedDataOid[] = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86,
                                          0xF7, 0x0D, 0x01, 0x07, 0x03};

[[noreturn]] void Damaged() {
    NotSigned("its structure is damaged");
}

[[noreturn]] void CutShort() {
    NotSigned("it ends before the message does");
}

bool IsBase64(std::uint8_t c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/';
}

bool IsSpace(std::uint8_t c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The message's bytes whatever form the file has: DER and BER pass through;
// PEM and bare Base64 are decoded as they are read.
class DecodedSource : public ContentSource {
  public:
    DecodedSource(ContentSource& raw, std::size_t chunk) : raw_(raw), chunk_(chunk) { Start(); }

    bool Binary() const { return binary_; }
    std::optional<std::uint64_t> Size() const override {
        return binary_ ? raw_.Size() : std::nullopt;
    }

    std::size_t Read(std::span<std::uint8_t> buffer) override {
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

  private:
    void Start() {
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
        sniffed_ = 0;
        binary_ = true;
        ended_ = false;
        decodedAt_ = decodedEnd_ = 0;
        if (have == 0 || sniff_[0] == der::kSequence) {
            return;
        }
        std::size_t at = 0;
        while (at < have && IsSpace(sniff_[at])) {
            ++at;
        }
        static const std::string kBegin = "-----BEGIN ";
        if (have - at >= kBegin.size() &&
            std::memcmp(&sniff_[at], kBegin.data(), kBegin.size()) == 0) {
            auto line = std::find(sniff_.begin() + static_cast<std::ptrdiff_t>(at), sniff_.end(),
                                  std::uint8_t{'\n'});
            std::string text(sniff_.begin() + static_cast<std::ptrdiff_t>(at + kBegin.size()),
                             line);
            while (!text.empty() && IsSpace(static_cast<std::uint8_t>(text.back()))) {
                text.pop_back();
            }
            if (line == sniff_.end() || (text != "PKCS7-----" && text != "CMS-----" &&
                                         text != "PKCS #7 SIGNED DATA-----")) {
                NotSigned("it is text, but not a signed message in PEM form");
            }
            at = static_cast<std::size_t>(line - sniff_.begin()) + 1;
        } else if (at == have || !IsBase64(sniff_[at])) {
            return;
        }
        binary_ = false;
        sniffed_ = at;
        context_.reset(EVP_ENCODE_CTX_new());
        if (!context_) {
            ossl::Raise(status::Failed, "Could not read the signed message");
        }
        EVP_DecodeInit(context_.get());
        // Base64 gives three bytes for four.
        decoded_.resize(std::max(chunk_, kSniff) + 128);
        raw_buffer_.resize(chunk_);
    }

    // Decodes the next run of text.
    void Decode() {
        std::span<const std::uint8_t> text;
        if (sniffed_ < sniff_.size()) {
            text = std::span<const std::uint8_t>(sniff_).subspan(sniffed_);
            sniffed_ = sniff_.size();
        } else {
            text = {raw_buffer_.data(), raw_.Read(raw_buffer_)};
        }
        int length = 0;
        int result = 0;
        if (!text.empty()) {
            result = EVP_DecodeUpdate(context_.get(), decoded_.data(), &length, text.data(),
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
            if (EVP_DecodeFinal(context_.get(), decoded_.data() + decodedEnd_, &last) < 0) {
                NotSigned("its Base64 text is damaged");
            }
            decodedEnd_ += static_cast<std::size_t>(last);
            ended_ = true;
        }
    }

    ContentSource& raw_;
    std::size_t chunk_;
    Buffer sniff_;
    std::size_t sniffed_ = 0;
    bool binary_ = true;
    bool ended_ = false;
    EncodeCtxPtr context_;
    Buffer raw_buffer_;
    Buffer decoded_;
    std::size_t decodedAt_ = 0;
    std::size_t decodedEnd_ = 0;
};

// The decoded message, read a header or a run at a time.
class Reader {
  public:
    Reader(ContentSource& source, std::size_t chunk)
        : source_(source), chunk_(chunk), buffer_(std::max<std::size_t>(chunk, 64)) {}

    std::uint64_t Position() const { return position_; }

    // At least `n` (a few) bytes buffered; false when the message ends first.
    bool Ensure(std::size_t n) {
        if (end_ - at_ >= n) {
            return true;
        }
        std::memmove(buffer_.data(), buffer_.data() + at_, end_ - at_);
        end_ -= at_;
        at_ = 0;
        while (end_ < n) {
            std::size_t got =
                source_.Read({buffer_.data() + end_, std::min(chunk_, buffer_.size() - end_)});
            if (got == 0) {
                return false;
            }
            end_ += got;
        }
        return true;
    }

    const std::uint8_t* Front() const { return buffer_.data() + at_; }

    void Skip(std::size_t n) {
        at_ += n;
        position_ += n;
    }

    der::Header Peek() {
        der::Header header;
        for (std::size_t want = 2;; ++want) {
            if (want > 2 * der::kMaxHeader) {
                Damaged();
            }
            if (!Ensure(want)) {
                CutShort();
            }
            switch (der::ParseHeader({Front(), end_ - at_}, header)) {
                case der::ParseResult::Complete:
                    return header;
                case der::ParseResult::Malformed:
                    Damaged();
                case der::ParseResult::NeedMore:
                    want = end_ - at_;
                    break;
            }
        }
    }

    der::Header Take() {
        der::Header header = Peek();
        Skip(header.size);
        return header;
    }

    // Hands the next `n` bytes on in runs, straight from the buffer.
    void Stream(std::uint64_t n, const std::function<void(std::span<const std::uint8_t>)>& to) {
        while (n > 0) {
            if (at_ == end_) {
                at_ = end_ = 0;
                end_ = source_.Read({buffer_.data(), std::min(chunk_, buffer_.size())});
                if (end_ == 0) {
                    CutShort();
                }
            }
            std::size_t run = static_cast<std::size_t>(std::min<std::uint64_t>(n, end_ - at_));
            to({Front(), run});
            Skip(run);
            n -= run;
        }
    }

    bool Finished() { return !Ensure(1); }

  private:
    ContentSource& source_;
    std::size_t chunk_;
    Buffer buffer_;
    std::size_t at_ = 0;
    std::size_t end_ = 0;
    std::uint64_t position_ = 0;
};

// Walks one message: containers are opened and must close where their
// lengths or end-of-contents octets say.
class Walker {
  public:
    Walker(Reader& in, const std::function<void(std::span<const std::uint8_t>)>& content)
        : in_(in), content_(content) {}

    struct Frame {
        std::optional<std::uint64_t> end;
    };

    Frame Open(std::uint8_t identifier) {
        der::Header header = in_.Take();
        if (!header.Is(identifier)) {
            Damaged();
        }
        return Within(header);
    }

    Frame Within(const der::Header& header) {
        if (!header.length) {
            return {};
        }
        return {in_.Position() + *header.length};
    }

    // True at the end of `frame` (its end-of-contents octets read).
    bool Closes(const Frame& frame) {
        if (frame.end) {
            if (in_.Position() > *frame.end) {
                Damaged();
            }
            return in_.Position() == *frame.end;
        }
        if (!in_.Ensure(2)) {
            CutShort();
        }
        if (in_.Front()[0] == 0 && in_.Front()[1] == 0) {
            in_.Skip(2);
            return true;
        }
        return false;
    }

    void Close(const Frame& frame) {
        if (!Closes(frame)) {
            Damaged();
        }
    }

    // Appends the whole next element, which must have `identifier` (0: any).
    void Keep(Buffer& out, std::uint8_t identifier = 0, int depth = 0) {
        der::Header header = in_.Peek();
        if ((identifier != 0 && !header.Is(identifier)) || depth > kMaxDepth) {
            Damaged();
        }
        Append(header.size, out);
        if (header.length) {
            Append(*header.length, out);
            return;
        }
        for (;;) {
            if (!in_.Ensure(2)) {
                CutShort();
            }
            if (in_.Front()[0] == 0 && in_.Front()[1] == 0) {
                Append(2, out);
                return;
            }
            Keep(out, 0, depth + 1);
        }
    }

    // The document: one octet string, primitive or in parts (BER).
    void Octets(const der::Header& header, int depth) {
        if (header.Is(der::kOctetString)) {
            content_size_ += *header.length;
            in_.Stream(*header.length, content_);
            return;
        }
        if (!header.Is(der::kConstructedOctetString) || depth > kMaxDepth) {
            NotSigned("the document inside it is not held as an octet string");
        }
        Frame frame = Within(header);
        while (!Closes(frame)) {
            Octets(in_.Take(), depth + 1);
        }
    }

    std::uint64_t ContentSize() const { return content_size_; }

  private:
    void Append(std::uint64_t n, Buffer& out) {
        kept_ += n;
        if (kept_ > kMaxKept) {
            NotSigned("its certificates and signatures are larger than can be read");
        }
        in_.Stream(n, [&](std::span<const std::uint8_t> run) {
            out.insert(out.end(), run.begin(), run.end());
        });
    }

    Reader& in_;
    const std::function<void(std::span<const std::uint8_t>)>& content_;
    std::uint64_t kept_ = 0;
    std::uint64_t content_size_ = 0;
};

bool Equal(const Buffer& bytes, std::span<const std::uint8_t> expected) {
    return std::equal(bytes.begin(), bytes.end(), expected.begin(), expected.end());
}

std::optional<std::size_t> ElementSize(std::span<const std::uint8_t> bytes, int depth) {
    der::Header header;
    if (depth > kMaxDepth || der::ParseHeader(bytes, header) != der::ParseResult::Complete) {
        return std::nullopt;
    }
    if (header.length) {
        if (*header.length > bytes.size() - header.size) {
            return std::nullopt;
        }
        return header.size + static_cast<std::size_t>(*header.length);
    }
    std::size_t at = header.size;
    for (;;) {
        if (bytes.size() - at >= 2 && bytes[at] == 0 && bytes[at + 1] == 0) {
            return at + 2;
        }
        std::optional<std::size_t> child = ElementSize(bytes.subspan(at), depth + 1);
        if (!child) {
            return std::nullopt;
        }
        at += *child;
    }
}

void Put(Buffer& out, std::uint8_t identifier, std::uint64_t length) {
    der::EncodedHeader header = der::EncodeHeader(identifier, length);
    out.insert(out.end(), header.bytes.begin(), header.bytes.begin() + header.size);
}

void Put(Buffer& out, const Buffer& bytes) {
    out.insert(out.end(), bytes.begin(), bytes.end());
}

}  // namespace

MessageParts ReadMessage(ContentSource& source, std::size_t chunkSize,
                         const std::function<void(const MessageParts&)>& prefix,
                         const std::function<void(std::span<const std::uint8_t>)>& content) {
    chunkSize = std::max<std::size_t>(chunkSize, 1);
    DecodedSource decoded(source, chunkSize);
    Reader in(decoded, chunkSize);
    Walker walk(in, content);
    MessageParts parts;
    if (in.Finished()) {
        NotSigned("it is empty");
    }
    Walker::Frame info = walk.Open(der::kSequence);
    walk.Keep(parts.contentType, der::kObject);
    if (Equal(parts.contentType, kEnvelopedDataOid)) {
        NotSigned("it is an encrypted message");
    }
    if (!Equal(parts.contentType, kSignedDataOid)) {
        NotSigned("it is a message of another kind");
    }
    Walker::Frame explicit0 = walk.Open(der::kExplicit0);
    Walker::Frame signedData = walk.Open(der::kSequence);
    walk.Keep(parts.version, der::kInteger);
    walk.Keep(parts.digestAlgorithms, der::kSet);
    Walker::Frame encapsulated = walk.Open(der::kSequence);
    walk.Keep(parts.eContentType, der::kObject);
    if (walk.Closes(encapsulated)) {
        NotSigned("the document is not inside it");
    }
    Walker::Frame eContent = walk.Open(der::kExplicit0);
    if (prefix) {
        prefix(parts);
    }
    der::Header octets = in.Take();
    if (decoded.Binary() && octets.Is(der::kOctetString)) {
        parts.contentOffset = in.Position();
    }
    walk.Octets(octets, 0);
    parts.contentSize = walk.ContentSize();
    walk.Close(eContent);
    walk.Close(encapsulated);
    while (!walk.Closes(signedData)) {
        walk.Keep(parts.rest);
    }
    walk.Close(explicit0);
    walk.Close(info);
    if (!in.Finished()) {
        NotSigned("there is more data after the end of the message");
    }
    parts.messageSize = in.Position();
    return parts;
}

Buffer Assemble(const MessageParts& parts, std::optional<std::uint64_t> contentSize) {
    using der::HeaderSize;
    std::uint64_t octets = 0;
    std::uint64_t eContent = 0;
    std::uint64_t encapsulated = parts.eContentType.size();
    if (contentSize) {
        octets = HeaderSize(*contentSize) + *contentSize;
        eContent = HeaderSize(octets) + octets;
        encapsulated += eContent;
    }
    std::uint64_t signedData = parts.version.size() + parts.digestAlgorithms.size() +
                               HeaderSize(encapsulated) + encapsulated + parts.rest.size();
    std::uint64_t explicit0 = HeaderSize(signedData) + signedData;
    std::uint64_t info = parts.contentType.size() + HeaderSize(explicit0) + explicit0;

    Buffer out;
    Put(out, der::kSequence, info);
    Put(out, parts.contentType);
    Put(out, der::kExplicit0, explicit0);
    Put(out, der::kSequence, signedData);
    Put(out, parts.version);
    Put(out, parts.digestAlgorithms);
    Put(out, der::kSequence, encapsulated);
    Put(out, parts.eContentType);
    if (contentSize) {
        Put(out, der::kExplicit0, octets);
        Put(out, der::kOctetString, *contentSize);
    }
    return out;
}

MessageParts Split(std::span<const std::uint8_t> der, const std::string& what) {
    std::size_t at = 0;
    auto fail = [&]() { throw Error(status::Failed, what + "."); };
    auto enter = [&](std::uint8_t identifier) {
        der::Header header;
        if (der::ParseHeader(der.subspan(at), header) != der::ParseResult::Complete ||
            !header.Is(identifier) || !header.length ||
            *header.length > der.size() - at - header.size) {
            fail();
        }
        at += header.size;
        return at + static_cast<std::size_t>(*header.length);
    };
    auto element = [&](Buffer& out, std::uint8_t identifier) {
        std::optional<std::size_t> size = ElementSize(der.subspan(at), 0);
        if (!size || der[at] != identifier) {
            fail();
        }
        out.assign(der.begin() + static_cast<std::ptrdiff_t>(at),
                   der.begin() + static_cast<std::ptrdiff_t>(at + *size));
        at += *size;
    };
    MessageParts parts;
    std::size_t end = enter(der::kSequence);
    element(parts.contentType, der::kObject);
    if (enter(der::kExplicit0) != end || enter(der::kSequence) != end) {
        fail();
    }
    element(parts.version, der::kInteger);
    element(parts.digestAlgorithms, der::kSet);
    std::size_t encapsulated = enter(der::kSequence);
    element(parts.eContentType, der::kObject);
    if (at != encapsulated || end != der.size()) {
        fail();
    }
    parts.rest.assign(der.begin() + static_cast<std::ptrdiff_t>(at), der.end());
    return parts;
}

std::vector<std::span<const std::uint8_t>> Elements(std::span<const std::uint8_t> bytes) {
    std::vector<std::span<const std::uint8_t>> elements;
    while (!bytes.empty()) {
        std::optional<std::size_t> size = ElementSize(bytes, 0);
        if (!size) {
            return {};
        }
        elements.push_back(bytes.first(*size));
        bytes = bytes.subspan(*size);
    }
    return elements;
}

std::span<const std::uint8_t> ContentsOf(std::span<const std::uint8_t> element) {
    der::Header header;
    std::optional<std::size_t> size = ElementSize(element, 0);
    if (!size || der::ParseHeader(element, header) != der::ParseResult::Complete) {
        return {};
    }
    return element.subspan(header.size, *size - header.size - (header.length ? 0 : 2));
}

}  // namespace quilvane::streaming
