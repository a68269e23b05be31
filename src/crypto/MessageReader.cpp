#include "internal/MessageReader.h"

#include <algorithm>
#include <cstring>

#include "crypto/Error.h"
#include "crypto/Text.h"
#include "internal/Armour.h"
#include "internal/Asn1Cursor.h"
#include "internal/SignedDataImpl.h"

namespace quilvane::streaming {
namespace {

using signed_data::NotSigned;

// Certificates, CRLs and signer-infos are kept in memory while the document
// passes; more than this is no message a person signed.
constexpr std::uint64_t kMaxKept = 8u << 20;

const std::uint8_t kSignedDataOid[] = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86,
                                       0xF7, 0x0D, 0x01, 0x07, 0x02};
const std::uint8_t kEnvelopedDataOid[] = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86,
                                          0xF7, 0x0D, 0x01, 0x07, 0x03};

[[noreturn]] void Damaged() {
    NotSigned(Tr("its structure is damaged"));
}

[[noreturn]] void CutShort() {
    NotSigned(Tr("it ends before the message does"));
}

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
            der::Cursor cursor({Front(), end_ - at_});
            switch (cursor.ReadHeader(header)) {
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

    // True, and moved past them, at end-of-contents octets.
    bool EndOfContents() {
        if (!Ensure(2)) {
            CutShort();
        }
        if (!der::Cursor({Front(), 2}).EndOfContents()) {
            return false;
        }
        Skip(2);
        return true;
    }

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
        return in_.EndOfContents();
    }

    void Close(const Frame& frame) {
        if (!Closes(frame)) {
            Damaged();
        }
    }

    // Appends the whole next element, which must have `identifier` (0: any).
    void Keep(Buffer& out, std::uint8_t identifier = 0, int depth = 0) {
        der::Header header = in_.Peek();
        if ((identifier != 0 && !header.Is(identifier)) || depth > der::kMaxDepth) {
            Damaged();
        }
        Append(header.size, out);
        if (header.length) {
            Append(*header.length, out);
            return;
        }
        while (!in_.EndOfContents()) {
            Keep(out, 0, depth + 1);
        }
        out.insert(out.end(), 2, std::uint8_t{0});  // the end-of-contents octets read
    }

    // The document: one octet string, primitive or in parts (BER).
    void Octets(const der::Header& header, int depth) {
        if (header.Is(der::kOctetString)) {
            content_size_ += *header.length;
            in_.Stream(*header.length, content_);
            return;
        }
        if (!header.Is(der::kConstructedOctetString) || depth > der::kMaxDepth) {
            NotSigned(Tr("the document inside it is not held as an octet string"));
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
            NotSigned(Tr("its certificates and signatures are larger than can be read"));
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
    ArmourDecoder decoded(source, chunkSize);
    return ReadMessage(decoded, chunkSize, prefix, content);
}

MessageParts ReadMessage(ArmourDecoder& decoded, std::size_t chunkSize,
                         const std::function<void(const MessageParts&)>& prefix,
                         const std::function<void(std::span<const std::uint8_t>)>& content) {
    chunkSize = std::max<std::size_t>(chunkSize, 1);
    if (decoded.Wrapping() == MessageWrapping::MultipartSigned) {
        NotSigned(Tr("it is a multipart/signed mail, whose signature is apart from its document"));
    }
    Reader in(decoded, chunkSize);
    Walker walk(in, content);
    MessageParts parts;
    if (in.Finished()) {
        NotSigned(Tr("it is empty"));
    }
    Walker::Frame info = walk.Open(der::kSequence);
    walk.Keep(parts.contentType, der::kObject);
    if (Equal(parts.contentType, kEnvelopedDataOid)) {
        NotSigned(Tr("it is an encrypted message"));
    }
    if (!Equal(parts.contentType, kSignedDataOid)) {
        NotSigned(Tr("it is a message of another kind"));
    }
    Walker::Frame explicit0 = walk.Open(der::kExplicit0);
    Walker::Frame signedData = walk.Open(der::kSequence);
    walk.Keep(parts.version, der::kInteger);
    walk.Keep(parts.digestAlgorithms, der::kSet);
    Walker::Frame encapsulated = walk.Open(der::kSequence);
    walk.Keep(parts.eContentType, der::kObject);
    parts.detached = walk.Closes(encapsulated);
    if (parts.detached) {
        if (prefix) {
            prefix(parts);
        }
    } else {
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
    }
    while (!walk.Closes(signedData)) {
        walk.Keep(parts.rest);
    }
    walk.Close(explicit0);
    walk.Close(info);
    if (!in.Finished()) {
        NotSigned(Tr("there is more data after the end of the message"));
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
    auto fail = [&]() -> der::Cursor { throw Error(status::Failed, what + "."); };
    // A definite-length container's contents, read from its front.
    auto enter = [&](der::Cursor& from, std::uint8_t identifier) {
        std::optional<der::Element> element = from.Next(identifier);
        return element && element->header.length ? der::Cursor(element->contents) : fail();
    };
    auto element = [&](der::Cursor& from, Buffer& out, std::uint8_t identifier) {
        std::optional<der::Element> next = from.Next(identifier);
        if (!next) {
            fail();
        }
        out.assign(next->encoding.begin(), next->encoding.end());
    };
    der::Cursor whole(der);
    der::Cursor info = enter(whole, der::kSequence);
    MessageParts parts;
    element(info, parts.contentType, der::kObject);
    der::Cursor explicit0 = enter(info, der::kExplicit0);
    der::Cursor signedData = enter(explicit0, der::kSequence);
    element(signedData, parts.version, der::kInteger);
    element(signedData, parts.digestAlgorithms, der::kSet);
    der::Cursor encapsulated = enter(signedData, der::kSequence);
    element(encapsulated, parts.eContentType, der::kObject);
    if (!whole.Empty() || !info.Empty() || !explicit0.Empty() || !encapsulated.Empty()) {
        fail();
    }
    parts.rest.assign(signedData.Rest().begin(), signedData.Rest().end());
    return parts;
}

}  // namespace quilvane::streaming
