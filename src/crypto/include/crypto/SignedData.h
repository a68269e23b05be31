#pragma once

#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "crypto/Certificate.h"
#include "crypto/ContentStream.h"
#include "crypto/Trust.h"

namespace quilvane {

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

// How far a signature goes beyond plain CMS.
enum class SignatureLevel {
    Cms,       // a plain CMS signature
    CadesBB,   // CAdES baseline B-B: the signer's certificate bound by signing-certificate-v2
    CadesBT,   // B-B with a signature time-stamp
    CadesBLT,  // B-T with the revocation data of its chains in the message
};

class Signer {
  public:
    void Certificate(const quilvane::Certificate& certificate) { certificate_ = certificate; }
    // Raises status::Failed when no certificate was set.
    const quilvane::Certificate& Certificate() const;

    quilvane::Attributes& AuthenticatedAttributes() { return attributes_; }
    const quilvane::Attributes& AuthenticatedAttributes() const { return attributes_; }

    // Of a verified signer: what its signature is.
    SignatureLevel Level() const { return level_; }
    void Level(SignatureLevel level) { level_ = level; }

  private:
    std::optional<quilvane::Certificate> certificate_;
    quilvane::Attributes attributes_;
    SignatureLevel level_ = SignatureLevel::Cms;
};

// How a message came in its file.
enum class MessageWrapping {
    Plain,            // DER or BER, bare or armoured in PEM or Base64
    Mime,             // a mail's application/pkcs7-mime entity: the document is a MIME entity
    MultipartSigned,  // a multipart/signed mail: the signature beside the part it signs
};

// A CMS signed-data message with its document inside, read and written in
// chunks in constant memory whatever the document's size. Each of Sign,
// Verify and CoSign starts with an empty `out` (or `content`) and leaves what
// it wrote there to be kept only when it returns; a raised Error (negative;
// status::Stopped from a source or sink among them) means it must be thrown
// away.
class SignedData {
  public:
    SignedData();
    ~SignedData();
    SignedData(SignedData&&) noexcept;
    SignedData& operator=(SignedData&&) noexcept;

    // Signs `document` into `out` in DER: SHA-256 (SHA-512 for Ed25519 keys),
    // signed attributes content type, message digest and the signer's signing
    // time, the signer's certificate in the certificates. The private key is
    // the store's (a protected one asks for its passphrase through the
    // store's user interface). The document is read once when its size is
    // known and `out` is a PatchableSink (or the key is RSA or Ed25519);
    // otherwise twice, which needs a RewindableSource.
    void Sign(ContentSource& document, ContentSink& out, const Signer& signer);

    // Reads a signed message (DER; BER as `openssl cms -stream` writes it;
    // PEM or bare Base64 of either), writes its document to `content` when
    // given, and checks every signature over it (and with
    // VerifyFlag::SignatureAndCertificate each signer's chain). Afterwards
    // Signers() tells the signers. A multipart/signed mail is checked as
    // VerifyDetached checks, its first part the document, which is not
    // written to `content`.
    void Verify(ContentSource& message, ContentSink* content, VerifyFlag flag);

    // Checks a detached signed message (one without its document) against
    // `document`, streamed, as Verify checks an attached one. A message that
    // holds its document is refused.
    void VerifyDetached(ContentSource& message, ContentSource& document, VerifyFlag flag);

    // Whether `message` is a detached signed message: an attached one is read
    // only up to where its document begins. Raises as Verify does for what is
    // not a signed message, or holds no signature. The source is left read.
    static bool IsDetached(ContentSource& message);

    // How the message Verify read came; known before its document is written.
    MessageWrapping Wrapping() const;

    // The signers of a verified message, in the order of its signer-infos.
    std::vector<Signer> Signers() const;

    // How far each signer's certificate can be trusted now, in the order of
    // Signers(); the chain is checked as VerifyFlag::SignatureAndCertificate
    // checks it.
    std::vector<CertificateTrust> Trust() const;

    // Adds one signer-info to the message Verify just accepted and writes the
    // whole message to `out` in DER: the document and every earlier
    // signer-info byte for byte as they were read, and every signature in it
    // holding. `message` is that same message again from its first byte (the
    // source rewound, or the file opened anew). Refuses when an earlier
    // signer-info could not stay as it was, and when the document in
    // `message` is no longer the one verified.
    void CoSign(ContentSource& message, ContentSink& out, const Signer& signer);

    // CoSign for the detached message VerifyDetached just accepted:
    // `document` is its document again from the first byte, read once more
    // and held to the one verified; the message written stays detached.
    void CoSignDetached(ContentSource& message, ContentSource& document, ContentSink& out,
                        const Signer& signer);

    // Adds a signature time-stamp from the run's time-stamping service to
    // every signer-info of the message Verify or VerifyDetached just accepted
    // that lacks one, and writes the whole message to `out` in DER as CoSign
    // does: the document as it was read (a detached message stays detached),
    // every signer-info as it was with only the new token added, every
    // signature in it still holding. `message` is that same message again
    // from its first byte. Returns how many tokens were added; with none to
    // add nothing is asked or written. Raises status::TimeStampFailed when
    // the service gives no usable token.
    std::size_t AddTimeStamps(ContentSource& message, ContentSink& out);

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace quilvane
