#include "internal/ChainCheck.h"

#include <openssl/objects.h>

#include <filesystem>
#include <vector>

#include "crypto/Store.h"
#include "internal/CertificateFiles.h"
#include "internal/CertificateImpl.h"
#include "internal/Names.h"
#include "internal/Times.h"

namespace quilvane::ossl {
namespace {

namespace fs = std::filesystem;

// The name of a digest too weak to vouch for anything; "" for a sound one.
std::string BrokenDigest(int nid) {
    switch (nid) {
        case NID_md2:
            return "MD2";
        case NID_md4:
            return "MD4";
        case NID_md5:
        case NID_md5_sha1:
            return "MD5";
        case NID_sha1:
            return "SHA-1";
        default:
            return {};
    }
}

// The digest of a signature algorithm such as sha1WithRSAEncryption.
int DigestOfSignature(int signatureNid) {
    int digest = NID_undef;
    return OBJ_find_sigid_algs(signatureNid, &digest, nullptr) == 1 ? digest : NID_undef;
}

int NidOf(const X509_ALGOR* algorithm) {
    const ASN1_OBJECT* object = nullptr;
    if (algorithm != nullptr) {
        X509_ALGOR_get0(&object, nullptr, nullptr, algorithm);
    }
    return object != nullptr ? OBJ_obj2nid(object) : NID_undef;
}

// A broken digest in the signature of `info` or in the one the certificate
// was issued with; "" when there is none.
std::string BrokenDigestOf(CMS_SignerInfo* info, X509* certificate) {
    X509_ALGOR* digest = nullptr;
    X509_ALGOR* signature = nullptr;
    CMS_SignerInfo_get0_algs(info, nullptr, nullptr, &digest, &signature);
    for (int nid : {NidOf(digest), DigestOfSignature(NidOf(signature)),
                    DigestOfSignature(X509_get_signature_nid(certificate))}) {
        if (std::string name = BrokenDigest(nid); !name.empty()) {
            return name;
        }
    }
    return {};
}

}  // namespace

bool IsUntrustedRoot(int error) {
    switch (error) {
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        case X509_V_ERR_CERT_UNTRUSTED:
            return true;
        default:
            return false;
    }
}

StorePtr TrustedRoots() {
    const std::string what = "Could not gather the trusted root certificates";
    StorePtr store(Check(X509_STORE_new(), status::Failed, what));
    Check(X509_STORE_set_default_paths(store.get()), status::Failed, what);
    std::vector<fs::path> files;
    try {
        files = FolderFiles(Store::Folder("Root"));
    } catch (const Error&) {
        return store;  // an unreadable Root folder adds no roots
    }
    for (const fs::path& file : files) {
        CertificateFile contents = ReadCertificateFile(file, nullptr);
        for (auto* list : {&contents.certificates, &contents.authorities}) {
            for (const X509Ptr& certificate : *list) {
                ErrorMark mark;  // a root listed twice is no error
                X509_STORE_add_cert(store.get(), certificate.get());
            }
        }
    }
    return store;
}

ChainCheck CheckChain(X509_STORE* roots, X509* certificate, STACK_OF(X509) * intermediates) {
    const std::string what = "Could not check the certificate of " + NameOf(certificate);
    StoreCtxPtr context(Check(X509_STORE_CTX_new(), status::Failed, what));
    Check(X509_STORE_CTX_init(context.get(), roots, certificate, intermediates), status::Failed,
          what);
    Check(X509_STORE_CTX_set_purpose(context.get(), X509_PURPOSE_ANY), status::Failed, what);
    ChainCheck check;
    {
        ErrorMark mark;  // a refused chain is an answer, told by its error
        if (X509_verify_cert(context.get()) == 1) {
            return check;
        }
    }
    check.error = X509_STORE_CTX_get_error(context.get());
    check.depth = X509_STORE_CTX_get_error_depth(context.get());
    check.at = Share(X509_STORE_CTX_get_current_cert(context.get()));
    return check;
}

CertificateTrust TrustOf(CMS_SignerInfo* info, X509* certificate, X509_STORE* roots,
                         STACK_OF(X509) * intermediates) {
    const Certificate shared = MakeCertificate(certificate);
    CertificateTrust trust;
    trust.subject = shared.GetInfo(CertInfo::SubjectSimpleName);
    trust.issuer = shared.GetInfo(CertInfo::IssuerSimpleName);
    trust.validTo = ToTime(X509_get0_notAfter(certificate)).value_or(0);
    trust.sha256 = Fingerprint(certificate);

    // The reasons against, the gravest first.
    if (trust.detail = BrokenDigestOf(info, certificate); !trust.detail.empty()) {
        trust.verdict = Verdict::BrokenDigest;
    } else if (X509_cmp_time(X509_get0_notAfter(certificate), nullptr) < 0) {
        trust.verdict = Verdict::Expired;
        trust.when = trust.validTo;
    } else if (X509_cmp_time(X509_get0_notBefore(certificate), nullptr) > 0) {
        trust.verdict = Verdict::NotYetValid;
        trust.when = ToTime(X509_get0_notBefore(certificate)).value_or(0);
    } else if (const ChainCheck chain = CheckChain(roots, certificate, intermediates);
               IsUntrustedRoot(chain.error)) {
        trust.verdict = Verdict::UntrustedRoot;
    } else if (chain.error != X509_V_OK) {
        trust.verdict = Verdict::ChainRefused;
        trust.detail = X509_verify_cert_error_string(chain.error);
        if (chain.depth > 0 && chain.at) {
            trust.detail += ", in the certificate of " + NameOf(chain.at.get());
        }
    }
    return trust;
}

}  // namespace quilvane::ossl
