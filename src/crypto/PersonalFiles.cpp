// Making a first certificate, and checking files before they are imported or
// trusted.

#include "crypto/PersonalFiles.h"

#include <openssl/pem.h>
#include <openssl/rand.h>

#include <algorithm>
#include <string_view>

#include "crypto/Text.h"
#include "internal/Armour.h"
#include "internal/CertificateFiles.h"
#include "internal/CertificateImpl.h"
#include "internal/Names.h"

namespace quilvane {
namespace {

constexpr long kValidDays = 365;

std::string_view Text(std::span<const std::uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

ossl::PkeyPtr NewKey(NewKeyType type) {
    const std::string what = Tr("Could not make a new key");
    if (type == NewKeyType::P256) {
        return ossl::PkeyPtr(
            ossl::Check(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"), status::Failed, what));
    }
    return ossl::PkeyPtr(
        ossl::Check(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<std::size_t>(3072)),
                    status::Failed, what));
}

void AddExtension(X509* x509, int nid, const std::string& value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, x509, x509, nullptr, nullptr, 0);
    const std::string what = Tr("Could not make the certificate");
    ossl::X509ExtensionPtr extension(ossl::Check(
        X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str()), status::Failed, what));
    ossl::Check(X509_add_ext(x509, extension.get(), -1), status::Failed, what);
}

std::string PemOf(X509* x509, const std::string& what) {
    ossl::BioPtr out(ossl::Check(BIO_new(BIO_s_mem()), status::Failed, what));
    ossl::Check(PEM_write_bio_X509(out.get(), x509), status::Failed, what);
    return ossl::MemoryText(out.get());
}

// The bytes of a file already read, for the armour decoder.
class HeldSource : public ContentSource {
  public:
    explicit HeldSource(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    std::optional<std::uint64_t> Size() const override { return bytes_.size(); }
    std::size_t Read(std::span<std::uint8_t> buffer) override {
        const std::size_t size = std::min(buffer.size(), bytes_.size() - at_);
        std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(at_), size, buffer.begin());
        at_ += size;
        return size;
    }

  private:
    std::span<const std::uint8_t> bytes_;
    std::size_t at_ = 0;
};

// The signed message in `bytes`; null when they hold none.
ossl::CmsPtr SignedMessageIn(std::span<const std::uint8_t> bytes) {
    std::vector<std::uint8_t> der;
    try {
        HeldSource held(bytes);
        streaming::ArmourDecoder decoder(held, 1 << 16);
        std::uint8_t chunk[1 << 16];
        while (const std::size_t size = decoder.Read(chunk)) {
            der.insert(der.end(), chunk, chunk + size);
        }
    } catch (const Error&) {
        return nullptr;
    }
    ossl::ErrorMark mark;  // other bytes are an answer, not an error
    const unsigned char* at = der.data();
    ossl::CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &at, static_cast<long>(der.size())));
    if (!cms || OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed) {
        return nullptr;
    }
    return cms;
}

TrustCandidate CandidateOf(X509* certificate) {
    TrustCandidate candidate;
    candidate.name = ossl::NameOf(certificate);
    candidate.fingerprint = ossl::Fingerprint(certificate);
    candidate.pem = PemOf(certificate, Tr("Could not write the certificate"));
    ossl::ErrorMark mark;
    candidate.root = X509_self_signed(certificate, 0) == 1;
    return candidate;
}

}  // namespace

NewCertificateFiles MakeSelfSignedCertificate(const NewCertificate& details,
                                              const Secret& passphrase) {
    const std::string what = Tr("Could not make the certificate");
    if (details.name.empty()) {
        throw Error(status::Failed, Format(Tr("%1: it needs a name."), what));
    }
    if (passphrase.text().empty()) {
        throw Error(status::Failed, Format(Tr("%1: its key needs a passphrase."), what));
    }
    ossl::PkeyPtr key = NewKey(details.keyType);
    ossl::X509Ptr x509(ossl::Check(X509_new(), status::Failed, what));
    ossl::Check(X509_set_version(x509.get(), X509_VERSION_3), status::Failed, what);

    // A random positive serial number of 127 bits, as CAs make them.
    ossl::BignumPtr serial(ossl::Check(BN_new(), status::Failed, what));
    ossl::Check(BN_rand(serial.get(), 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY), status::Failed,
                what);
    ossl::Check(BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(x509.get())), status::Failed,
                what);

    ossl::X509NamePtr name(ossl::Check(X509_NAME_new(), status::Failed, what));
    const auto add = [&](const char* field, const std::string& value) {
        ossl::Check(X509_NAME_add_entry_by_txt(
                        name.get(), field, MBSTRING_UTF8,
                        reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1, 0),
                    status::Failed, Format(Tr("%1 for %2"), what, Quoted(value)));
    };
    add("CN", details.name);
    if (!details.email.empty()) {
        add("emailAddress", details.email);
    }
    ossl::Check(X509_set_subject_name(x509.get(), name.get()), status::Failed, what);
    ossl::Check(X509_set_issuer_name(x509.get(), name.get()), status::Failed, what);
    ossl::Check(X509_gmtime_adj(X509_getm_notBefore(x509.get()), 0) != nullptr ? 1 : 0,
                status::Failed, what);
    ossl::Check(
        X509_time_adj_ex(X509_getm_notAfter(x509.get()), kValidDays, 0, nullptr) != nullptr ? 1 : 0,
        status::Failed, what);
    ossl::Check(X509_set_pubkey(x509.get(), key.get()), status::Failed, what);

    // No key usage: a self-signed certificate is then also its own issuer,
    // which is what lets a person trust it as a root for co-signing.
    AddExtension(x509.get(), NID_basic_constraints, "critical,CA:FALSE");
    AddExtension(x509.get(), NID_subject_key_identifier, "hash");
    if (!details.email.empty()) {
        AddExtension(x509.get(), NID_subject_alt_name, "email:" + details.email);
    }
    ossl::Check(X509_sign(x509.get(), key.get(), EVP_sha256()), status::Failed, what);

    NewCertificateFiles files;
    files.certificate = PemOf(x509.get(), what);
    ossl::BioPtr out(ossl::Check(BIO_new(BIO_s_mem()), status::Failed, what));
    ossl::Check(PEM_write_bio_PKCS8PrivateKey(
                    out.get(), key.get(), EVP_aes_256_cbc(), passphrase.text().data(),
                    static_cast<int>(passphrase.text().size()), nullptr, nullptr),
                status::Failed, Tr("Could not protect the new key"));
    files.withKey = files.certificate + ossl::MemoryText(out.get());
    return files;
}

std::string CertificatePem(const Certificate& certificate) {
    return PemOf(certificate.impl().x509.get(), Tr("Could not write the certificate"));
}

namespace {

// Raises when a file given to import or trust yields no certificate.
void RequireCertificates(const CertificateFile& contents, const std::string& file) {
    if (contents.certificates.empty() && !contents.warnings.empty()) {
        // A passphrase wrong every time: the reader passed the file over.
        throw Error(status::WrongPassphrase, Format(Tr("The passphrase for %1 is wrong."), file));
    }
    if (contents.certificates.empty()) {
        throw Error(status::BadMessage,
                    Format(Tr("The file %1 holds no certificate that can be read."), file));
    }
}

}  // namespace

ImportCheck CheckImport(std::span<const std::uint8_t> bytes, const std::string& fileName,
                        const SecretPrompt& prompt) {
    // The reader passes over a PKCS #12 file whose passphrase is not given;
    // here that is the person's cancel.
    bool cancelled = false;
    const SecretPrompt asking = [&](const SecretRequest& request) {
        std::optional<Secret> answer = prompt ? prompt(request) : std::nullopt;
        cancelled = cancelled || !answer || answer->text().empty();
        return answer;
    };
    CertificateFile contents = ReadCertificateBytes(Text(bytes), fileName, &asking);
    if (cancelled) {
        throw CancelledError();
    }
    const std::string file = Quoted(fileName);
    RequireCertificates(contents, file);

    ossl::ErrorMark mark;
    for (std::string& pem : contents.lockedKeys) {
        std::optional<Secret> passphrase =
            asking({SecretRequest::Kind::Passphrase,
                    Format(Tr("Enter the passphrase for the private key in %1:"), file), false});
        if (!passphrase) {
            throw CancelledError();
        }
        ossl::BioPtr in(ossl::Check(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())),
                                    status::Failed,
                                    Format(Tr("Could not read the private key in %1"), file)));
        // Without a callback, OpenSSL takes the last argument as the passphrase.
        ossl::PkeyPtr key(PEM_read_bio_PrivateKey(in.get(), nullptr, nullptr,
                                                  const_cast<char*>(passphrase->text().c_str())));
        WipeText(pem);
        if (key == nullptr) {
            throw Error(status::WrongPassphrase,
                        Format(Tr("The passphrase for the private key in %1 is wrong."), file));
        }
        contents.keys.push_back(std::move(key));
    }

    ImportCheck check;
    for (const ossl::X509Ptr& certificate : contents.certificates) {
        check.names.push_back(ossl::NameOf(certificate.get()));
        EVP_PKEY* publicKey = X509_get0_pubkey(certificate.get());
        for (const ossl::PkeyPtr& key : contents.keys) {
            check.withKey = check.withKey || (publicKey && EVP_PKEY_eq(key.get(), publicKey) == 1);
        }
    }
    const auto* der = bytes.data();
    if (ossl::Pkcs12Ptr{d2i_PKCS12(nullptr, &der, static_cast<long>(bytes.size()))}) {
        for (const auto* list : {&contents.certificates, &contents.authorities}) {
            for (const ossl::X509Ptr& certificate : *list) {
                check.certificatesPem +=
                    PemOf(certificate.get(), Tr("Could not keep the certificate"));
            }
        }
    }
    return check;
}

TrustCandidate ReadTrustCandidate(std::span<const std::uint8_t> bytes,
                                  const std::string& fileName) {
    CertificateFile contents = ReadCertificateBytes(Text(bytes), fileName, nullptr);
    const std::string file = Quoted(fileName);
    RequireCertificates(contents, file);
    X509* x509 = contents.certificates.front().get();
    ossl::ErrorMark mark;
    if (X509_check_ca(x509) == 0 && X509_self_signed(x509, 1) != 1) {
        throw Error(status::CertificateUnsuitable,
                    Format(Tr("The certificate of %1 in %2 is neither a certificate authority nor "
                              "self-signed: it cannot be a trust anchor."),
                           ossl::NameOf(x509), file));
    }
    return CandidateOf(x509);
}

bool IsSignedMessage(std::span<const std::uint8_t> bytes) {
    return SignedMessageIn(bytes) != nullptr;
}

std::vector<TrustCandidate> SignedMessageTrustCandidates(std::span<const std::uint8_t> bytes,
                                                         const std::string& fileName) {
    ossl::CmsPtr cms = SignedMessageIn(bytes);
    if (!cms) {
        throw Error(status::BadMessage, Format(Tr("%1 is not a signed file."), Quoted(fileName)));
    }
    std::vector<TrustCandidate> candidates;
    ossl::X509StackPtr carried;
    {
        ossl::ErrorMark mark;  // a message without certificates offers none
        carried.reset(CMS_get1_certs(cms.get()));
    }
    for (int i = 0; i < sk_X509_num(carried.get()); ++i) {
        if (TrustCandidate candidate = CandidateOf(sk_X509_value(carried.get(), i));
            candidate.root) {
            candidates.push_back(std::move(candidate));
        }
    }
    return candidates;
}

}  // namespace quilvane
