#pragma once

#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "crypto/Bytes.h"
#include "crypto/Certificate.h"
#include "crypto/ContentStream.h"
#include "crypto/Trust.h"

namespace quilvane {

enum class Encoding { Base64 = 0, Binary = 1 };

// How much SignedData::Verify checks.
enum class VerifyFlag {
    SignatureOnly = 0,            // the signatures over the content
    SignatureAndCertificate = 1,  // also each signer's chain, now, against the trusted roots
};

enum class AttributeName {
    SigningTime = 0,
    DocumentName = 1,
    DocumentDescription = 2,
    Other = -1,  // any attribute another program added
};

// An instant to the whole second; shown in the user's local time.
struct DateTime {
    std::time_t seconds = 0;
    friend bool operator==(const DateTime&, const DateTime&) = default;
};

// A signing time, or the readable text of any other attribute.
using AttributeValue = std::variant<DateTime, std::string>;

class Attribute {
  public:
    Attribute() = default;
    Attribute(AttributeName name, AttributeValue value) : name_(name), value_(std::move(value)) {}

    AttributeName Name() const { return name_; }
    void Name(AttributeName name) { name_ = name; }
    const AttributeValue& Value() const { return value_; }
    void Value(AttributeValue value) { value_ = std::move(value); }

  private:
    AttributeName name_ = AttributeName::SigningTime;
    AttributeValue value_;
};

// A signer's authenticated attributes: those the signer added, signing time
// first; content type and message digest are not listed. Numbered from 1.
class Attributes {
  public:
    void Add(Attribute attribute) { items_.push_back(std::move(attribute)); }
    std::size_t Count() const { return items_.size(); }
    // Raises status::NoSuchItem when `index` is 0 or past the end.
    const Attribute& Item(std::size_t index) const;

  private:
    std::vector<Attribute> items_;
};

class Signer {
  public:
    void Certificate(const quilvane::Certificate& certificate) { certificate_ = certificate; }
    // Raises status::Failed when no certificate was set.
    const quilvane::Certificate& Certificate() const;

    quilvane::Attributes& AuthenticatedAttributes() { return attributes_; }
    const quilvane::Attributes& AuthenticatedAttributes() const { return attributes_; }

  private:
    std::optional<quilvane::Certificate> certificate_;
    quilvane::Attributes attributes_;
};

// A CMS signed-data message with its content attached. Every failure raises
// Error with a negative status.
class SignedData {
  public:
    SignedData();
    ~SignedData();
    SignedData(SignedData&&) noexcept;
    SignedData& operator=(SignedData&&) noexcept;

    // The content to sign; taken without a copy.
    void Content(BinaryString content);
    // The content held: the one set, or the document inside a verified message.
    // A verified document is lent, not copied: the string keeps the message it
    // lies in alive, whatever becomes of this object.
    BinaryString Content() const;

    // Signs the content: SHA-256 (SHA-512 for Ed25519 keys), signed attributes
    // content type, message digest and the signer's signing time, the signer's
    // certificate in the certificates. The private key is the store's (a
    // protected one asks for its passphrase through the store's user
    // interface). Only attached (detached = false) and binary DER messages are
    // made. The content is handed over to the message.
    BinaryString Sign(const Signer& signer, bool detached, Encoding encoding);

    // Decodes and checks a message. Afterwards Signers() and Content() tell
    // what it holds.
    void Verify(BinaryString message, bool detached, VerifyFlag flag);

    // The signers of a verified message, in the order of its signer-infos.
    std::vector<Signer> Signers() const;

    // How far each signer's certificate can be trusted now, in the order of
    // Signers(); the chain is checked as VerifyFlag::SignatureAndCertificate
    // checks it.
    std::vector<CertificateTrust> Trust() const;

    // Adds one signer-info to the verified message and returns the whole
    // message: the content and every earlier signer-info stay as they were,
    // and every signature in it holds. When that cannot be, raises and the
    // message is dropped.
    BinaryString CoSign(const Signer& signer, Encoding encoding);

    // The same three for a document or message of any size, read and written
    // in chunks in constant memory. Each starts with an empty `out` (or
    // `content`) and leaves what it wrote there to be kept only when it
    // returns; a raised Error (status::Stopped from a source or sink among
    // them) means it must be thrown away.

    // Signs `document` into `out`: the message the whole-document Sign makes,
    // byte for byte, for any size. The document is read once when its size
    // is known and `out` is a PatchableSink (or the key is RSA or Ed25519);
    // otherwise twice, which needs a RewindableSource.
    void Sign(ContentSource& document, ContentSink& out, const Signer& signer);

    // Reads a signed message (DER; BER as `openssl cms -stream` writes it;
    // PEM or bare Base64 of either), writes its document to `content` when
    // given, and checks it as the whole-document Verify does. Afterwards
    // Signers() tells the signers; Content() is empty (the document went to
    // `content`).
    void Verify(ContentSource& message, ContentSink* content, VerifyFlag flag);

    // Adds one signer-info to the message the streamed Verify just accepted
    // and writes the whole message to `out` in DER: the document and every
    // earlier signer-info as they were read. `message` is that same message
    // again from its first byte (the source rewound, or the file opened
    // anew); what it holds must be what was verified. An earlier signer-info
    // that could not stay byte for byte makes it refuse before writing.
    void CoSign(ContentSource& message, ContentSink& out, const Signer& signer);

    struct Impl;

  private:
    std::shared_ptr<Impl> impl_;  // shared with the content lent out
};

}  // namespace quilvane
