// Verifying a message, or a detached signature and its document, as they
// pass: the document goes through a digest for each algorithm the message
// names, and OpenSSL checks the signatures against those.

#include "crypto/SignedData.h"

#include <openssl/objects.h>

#include "crypto/Text.h"
#include "internal/Armour.h"
#include "internal/Asn1Cursor.h"
#include "internal/DigestThread.h"
#include "internal/SignedDataImpl.h"
#include "internal/SignedDataStreams.h"

namespace quilvane {
namespace {

using namespace signed_data;

// Sends document bytes through the chain of digest BIOs.
void DigestThrough(BIO* chain, Octets bytes) {
    if (BIO_write(chain, bytes.data(), static_cast<int>(bytes.size())) !=
        static_cast<int>(bytes.size())) {
        ossl::Raise(status::Failed, Tr("Could not digest the document"));
    }
}

// A chain of digest BIOs, one per algorithm the message lists, into a sink
// that drops the bytes: OpenSSL's own checks find their digests in it.
ossl::BioPtr DigestChain(const Buffer& digestAlgorithms) {
    ossl::BioPtr chain(ossl::Check(BIO_new(BIO_s_null()), status::Failed, Tr(kNotSigned)));
    der::Cursor set(digestAlgorithms);
    std::optional<der::Element> all = set.Next(der::kSet);
    der::Cursor elements(all ? all->contents : Octets());
    while (std::optional<der::Element> element = elements.Next()) {
        const unsigned char* next = element->encoding.data();
        ossl::AlgorPtr algorithm(
            d2i_X509_ALGOR(nullptr, &next, static_cast<long>(element->encoding.size())));
        if (!algorithm) {
            ossl::Raise(status::BadMessage, Tr(kNotSigned));
        }
        const ASN1_OBJECT* object = nullptr;
        X509_ALGOR_get0(&object, nullptr, nullptr, algorithm.get());
        const EVP_MD* md = EVP_get_digestbyobj(object);
        if (md == nullptr) {
            NotSigned(Format(Tr("it uses the digest algorithm %1, which is not known here"),
                             AlgorithmName(object)));
        }
        // Only the default provider's digests: the legacy one, loaded for old
        // envelopes, must not make MD4 acceptable here.
        ossl::MdPtr current(EVP_MD_fetch(nullptr, EVP_MD_get0_name(md), "provider=default"));
        ossl::BioPtr link(ossl::Check(BIO_new(BIO_f_md()), status::Failed, Tr(kNotSigned)));
        if (!current || BIO_set_md(link.get(), current.get()) <= 0) {
            std::string reason = ossl::TakeErrors();
            throw Error(status::BadMessage,
                        Format(Tr("%1: %2."), Tr(kNotSigned),
                               Format(Tr("it uses the digest algorithm %1, which is not supported "
                                         "here"),
                                      AlgorithmName(object))),
                        reason);
        }
        BIO_push(link.get(), chain.release());
        chain = std::move(link);
    }
    return chain;
}

// Checks the message read against its document's digests and, when every
// check holds, keeps it for Signers() and CoSign.
void CheckAndKeep(SignedData::Impl& impl, ossl::CmsPtr cms, MessageParts parts,
                  ossl::BioPtr digests, const WholeDocument& whole, VerifyFlag flag) {
    CheckSignatures(cms.get(), digests.get(), whole);
    if (flag != VerifyFlag::SignatureOnly) {
        CheckCertificates(cms.get());
    }
    impl.cms = std::move(cms);
    impl.parts = std::move(parts);
    impl.digests = std::move(digests);
}

}  // namespace

void SignedData::Verify(ContentSource& message, ContentSink* content, VerifyFlag flag) {
    ossl::ErrorMark mark;
    impl_ = std::make_unique<Impl>();
    streaming::ArmourDecoder decoded(message, ChunkFor(message));
    if (decoded.Wrapping() == MessageWrapping::MultipartSigned) {
        streaming::SignedParts signedParts = decoded.TakeSignedParts();
        streaming::SpanSource signature(signedParts.signature), document(signedParts.document);
        VerifyDetached(signature, document, flag);
        impl_->wrapping = MessageWrapping::MultipartSigned;
        return;
    }
    impl_->wrapping = decoded.Wrapping();
    ossl::BioPtr chain;
    WholeDocument whole;
    // The document is digested on a second thread while it is read and written.
    DigestThread digests(
        [&](Octets bytes) {
            DigestThrough(chain.get(), bytes);
            whole.Add(bytes);
        },
        ChunkFor(message), message.Size());
    MessageParts parts = streaming::ReadMessage(
        decoded, ChunkFor(message),
        [&](const MessageParts& prefix) {
            if (prefix.detached) {
                NotSigned(Tr("the document is not inside it"));
            }
            chain = DigestChain(prefix.digestAlgorithms);
            // The signer-infos come after the document: it is kept whenever
            // the message names a digest that EdDSA signers use.
            if (ContextIn(chain.get(), EVP_sha512()) != nullptr ||
                ContextIn(chain.get(), EVP_shake256()) != nullptr) {
                whole.Keep(message.Size());
            }
        },
        [&](Octets bytes) {
            digests.Add(bytes);
            if (content != nullptr) {
                content->Write(bytes);
            }
        });
    digests.Finish();
    ossl::CmsPtr cms = Rebuild(parts);
    CheckAndKeep(*impl_, std::move(cms), std::move(parts), std::move(chain), whole, flag);
}

bool SignedData::IsDetached(ContentSource& message) {
    ossl::ErrorMark mark;
    // An attached message is read only as far as where its document begins.
    struct Attached {};
    streaming::ArmourDecoder decoded(message, ChunkFor(message));
    // A multipart/signed mail carries its document beside the signature,
    // both inside the one file: Verify takes it apart.
    if (decoded.Wrapping() == MessageWrapping::MultipartSigned) {
        return false;
    }
    try {
        MessageParts parts = streaming::ReadMessage(decoded, ChunkFor(message),
                                                    [](const MessageParts& prefix) {
                                                        if (!prefix.detached) {
                                                            throw Attached{};
                                                        }
                                                    },
                                                    {});
        // Without a signer it is no signature at all (a bundle of certificates).
        ossl::CmsPtr cms = Rebuild(parts);
        if (sk_CMS_SignerInfo_num(CMS_get0_SignerInfos(cms.get())) <= 0) {
            NotSigned(Tr("it holds no signature"));
        }
        return true;
    } catch (const Attached&) {
        return false;
    }
}

void SignedData::VerifyDetached(ContentSource& message, ContentSource& document, VerifyFlag flag) {
    ossl::ErrorMark mark;
    impl_ = std::make_unique<Impl>();
    ossl::BioPtr chain;
    MessageParts parts = streaming::ReadMessage(
        message, ChunkFor(message),
        [&](const MessageParts& prefix) {
            if (!prefix.detached) {
                Fail(status::BadMessage,
                     Tr("The signed message holds its document itself: it is not a detached "
                        "signature."));
            }
            chain = DigestChain(prefix.digestAlgorithms);
        },
        {});
    ossl::CmsPtr cms = Rebuild(parts);
    WholeDocument whole;
    STACK_OF(CMS_SignerInfo)* infos = CMS_get0_SignerInfos(cms.get());
    for (int i = 0; i < sk_CMS_SignerInfo_num(infos); ++i) {
        if (SignsWholeDocument(sk_CMS_SignerInfo_value(infos, i))) {
            whole.Keep(document.Size());
        }
    }
    // A document known to be too large for such a signer is not read at all.
    if (whole.Keeping() && document.Size().value_or(0) > WholeDocument::kLimit) {
        whole.SetTooLarge();
    } else {
        Pump(document, [&](Octets bytes) {
            DigestThrough(chain.get(), bytes);
            whole.Add(bytes);
        });
    }
    CheckAndKeep(*impl_, std::move(cms), std::move(parts), std::move(chain), whole, flag);
}

MessageWrapping SignedData::Wrapping() const {
    return impl_->wrapping;
}

}  // namespace quilvane
