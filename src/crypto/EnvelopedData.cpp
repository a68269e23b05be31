// CMS enveloped-data: the content encrypted under a fresh key, and that key
// carried for each recipient under the public key of the recipient's
// certificate.

#include "crypto/EnvelopedData.h"

#include <openssl/buffer.h>
#include <openssl/err.h>
#include <openssl/objects.h>

#include <climits>
#include <string>

#include "crypto/SafeText.h"
#include "crypto/Store.h"
#include "crypto/Text.h"
#include "internal/CertificateImpl.h"
#include "internal/Handles.h"
#include "internal/Providers.h"

namespace quilvane {

namespace {

constexpr const char* kBadMessage =
    QUILVANE_N_("The file is not an encrypted message, or it is damaged or incomplete.");

struct CipherChoice {
    const char* name;  // OpenSSL's name of the cipher
    bool legacy;       // found only in the legacy provider
};

CipherChoice ChooseCipher(const Algorithm& algorithm) {
    const KeyLength length = algorithm.KeyLength();
    switch (algorithm.Name()) {
        case AlgorithmName::AES:
            switch (length) {
                case KeyLength::Bits128:
                    return {"AES-128-CBC", false};
                case KeyLength::Bits192:
                    return {"AES-192-CBC", false};
                case KeyLength::Bits256:
                case KeyLength::Maximum:
                    return {"AES-256-CBC", false};
                default:
                    throw Error(status::Failed,
                                Tr("AES is used with a key of 128, 192 or 256 bits."));
            }
        case AlgorithmName::RC4:
            if (length == KeyLength::Bits128 || length == KeyLength::Maximum) {
                return {"RC4", true};
            }
            throw Error(status::Failed, Tr("RC4 is used with a key of 128 bits only."));
        case AlgorithmName::TripleDES:
            // Triple DES has one key size; the length asked for does not change it.
            return {"DES-EDE3-CBC", false};
        case AlgorithmName::RC2:
            throw Error(status::Failed,
                        Tr("RC2 is too weak to protect a message; choose AES, triple DES or RC4."));
        case AlgorithmName::DES:
            throw Error(status::Failed,
                        Tr("Single DES is too weak to protect a message; choose AES, triple DES or "
                           "RC4."));
    }
    throw Error(status::Failed, Tr("The content cipher asked for is not known."));
}

// Whether `certificate` is one of the message's recipients: by key transport
// (RSA) or by key agreement (elliptic curves).
bool IsRecipient(STACK_OF(CMS_RecipientInfo) * infos, X509* certificate) {
    ossl::ErrorMark mark;
    for (int i = 0; i < sk_CMS_RecipientInfo_num(infos); ++i) {
        CMS_RecipientInfo* info = sk_CMS_RecipientInfo_value(infos, i);
        switch (CMS_RecipientInfo_type(info)) {
            case CMS_RECIPINFO_TRANS:
                if (CMS_RecipientInfo_ktri_cert_cmp(info, certificate) == 0) {
                    return true;
                }
                break;
            case CMS_RECIPINFO_AGREE: {
                STACK_OF(CMS_RecipientEncryptedKey)* keys = CMS_RecipientInfo_kari_get0_reks(info);
                for (int k = 0; k < sk_CMS_RecipientEncryptedKey_num(keys); ++k) {
                    if (CMS_RecipientEncryptedKey_cert_cmp(
                            sk_CMS_RecipientEncryptedKey_value(keys, k), certificate) == 0) {
                        return true;
                    }
                }
                break;
            }
            default:
                break;  // password and symmetric-key recipients are not ours to open
        }
    }
    return false;
}

}  // namespace

const Certificate& Recipients::Item(std::size_t index) const {
    return ItemAt(items_, index);
}

BinaryString EnvelopedData::Encrypt(Encoding encoding) {
    ossl::ErrorMark mark;
    if (encoding != Encoding::Binary) {
        throw Error(status::Failed,
                    Tr("Encrypted messages are written in binary (DER) encoding only."));
    }
    if (recipients_.Count() == 0) {
        throw Error(status::Failed, Tr("No recipient was given."));
    }

    const CipherChoice choice = ChooseCipher(algorithm_);
    if (std::string reason; choice.legacy && !LoadLegacyProvider(&reason)) {
        throw Error(status::Failed,
                    Format(Tr("The cipher %1 cannot be used: %2."), choice.name, reason));
    }
    ossl::CipherPtr cipher(ossl::Check(EVP_CIPHER_fetch(nullptr, choice.name, nullptr),
                                       status::Failed,
                                       Format(Tr("The cipher %1 is not available"), choice.name)));

    const auto content = content_.view();
    if (content.size() > static_cast<std::size_t>(INT_MAX)) {
        throw Error(status::Failed, Tr("The content is too large to be encrypted."));
    }
    // Read in place: the content is not copied before it is encrypted. An
    // empty content still needs a valid address.
    static const unsigned char kNothing = 0;
    ossl::BioPtr in(ossl::Check(BIO_new_mem_buf(content.empty() ? &kNothing : content.data(),
                                                static_cast<int>(content.size())),
                                status::Failed, Tr("Could not read the content to encrypt")));

    ossl::CmsPtr cms(
        ossl::Check(CMS_encrypt(nullptr, nullptr, cipher.get(), CMS_BINARY | CMS_PARTIAL),
                    status::Failed, Tr("Could not begin the encrypted message")));
    for (std::size_t i = 1; i <= recipients_.Count(); ++i) {
        const Certificate& recipient = recipients_.Item(i);
        ossl::Check(CMS_add1_recipient_cert(cms.get(), recipient.impl().x509.get(), 0),
                    status::Failed,
                    Format(Tr("The message cannot be encrypted for the certificate of %1"),
                           SafeText(recipient.GetInfo(CertInfo::SubjectSimpleName))));
    }
    ossl::Check(CMS_final(cms.get(), in.get(), nullptr, CMS_BINARY), status::Failed,
                Tr("Could not encrypt the content"));

    return BinaryString(ossl::EncodeDer(cms.get(), Tr("Could not encode the encrypted message")));
}

void EnvelopedData::Decrypt(const SecretPrompt& prompt, const BinaryString& message) {
    ossl::ErrorMark mark;
    const auto bytes = message.view();
    const unsigned char* p = bytes.data();
    ossl::CmsPtr cms;
    if (!bytes.empty() && bytes.size() <= static_cast<std::size_t>(LONG_MAX)) {
        cms.reset(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(bytes.size())));
    }
    if (cms == nullptr || OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_enveloped) {
        throw Error(status::BadMessage, Tr(kBadMessage));
    }
    STACK_OF(CMS_RecipientInfo)* infos = CMS_get0_RecipientInfos(cms.get());
    if (infos == nullptr || sk_CMS_RecipientInfo_num(infos) <= 0) {
        throw Error(status::BadMessage, Tr(kBadMessage));
    }
    // Messages of older programs are encrypted with RC4. Should the legacy
    // provider be missing, decryption below says which cipher it lacked.
    LoadLegacyProvider();

    Store store;
    store.Open(prompt, "My");
    const Certificates& mine = store.Certificates();

    // A recipient's certificate without its key in the store is most often
    // someone else's, kept for encrypting to them: it is passed over.
    for (std::size_t i = 1; i <= mine.Count(); ++i) {
        const Certificate& certificate = mine.Item(i);
        X509* x509 = certificate.impl().x509.get();
        if (certificate.impl().keys == nullptr || !IsRecipient(infos, x509)) {
            continue;
        }
        EVP_PKEY* key = nullptr;
        try {
            key = certificate.impl().keys->KeyFor(x509);
        } catch (const Error& error) {
            if (error.number() != status::NoPrivateKey) {
                throw;
            }
            continue;
        }

        ossl::BioPtr out(ossl::Check(BIO_new(BIO_s_mem()), status::Failed,
                                     Tr("Could not make room for the decrypted content")));
        // The key belongs to the certificate and the certificate to a
        // recipient, so only that recipient's key is decrypted. Without
        // CMS_DEBUG_DECRYPT a failure there would go on silently with a
        // random key and give garbage; with it, it is an error.
        if (CMS_decrypt(cms.get(), key, x509, nullptr, out.get(), CMS_BINARY | CMS_DEBUG_DECRYPT) !=
            1) {
            ossl::Raise(status::BadMessage,
                        Format(Tr("The message could not be decrypted with the key of %1"),
                               SafeText(certificate.GetInfo(CertInfo::SubjectSimpleName))));
        }
        BUF_MEM* decrypted = nullptr;
        BIO_get_mem_ptr(out.get(), &decrypted);
        content_ = decrypted == nullptr ? BinaryString()
                                        : BinaryString(Bytes(decrypted->data, decrypted->length));
        return;
    }
    throw Error(status::NoRecipient,
                Tr("None of your certificates can open this message: it was encrypted for someone "
                   "else."));
}

}  // namespace quilvane
