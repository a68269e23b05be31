#include "internal/ChainCheck.h"

#include <openssl/objects.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <sstream>
#include <vector>

#include "crypto/Store.h"
#include "crypto/Text.h"
#include "internal/CertificateFiles.h"
#include "internal/CertificateImpl.h"
#include "internal/Names.h"
#include "internal/NssBuiltinRoots.h"
#include "internal/Revocation.h"
#include "internal/SignerChecks.h"
#include "internal/TimeStamps.h"
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

bool IsSelfSigned(X509* certificate) {
    ErrorMark mark;
    return X509_self_signed(certificate, 0) == 1;
}

// A broken digest in the signature of `info` or in any signature of its
// chain but a root's on itself, which vouches for nothing; "" when none.
std::string BrokenDigestOf(CMS_SignerInfo* info, STACK_OF(X509) * chain) {
    X509_ALGOR* digest = nullptr;
    X509_ALGOR* signature = nullptr;
    CMS_SignerInfo_get0_algs(info, nullptr, nullptr, &digest, &signature);
    std::vector<int> digests{NidOf(digest), DigestOfSignature(NidOf(signature))};
    const int count = sk_X509_num(chain);
    for (int i = 0; i < count; ++i) {
        X509* certificate = sk_X509_value(chain, i);
        if (i + 1 < count || !IsSelfSigned(certificate)) {
            digests.push_back(DigestOfSignature(X509_get_signature_nid(certificate)));
        }
    }
    for (int nid : digests) {
        if (std::string name = BrokenDigest(nid); !name.empty()) {
            return name;
        }
    }
    return {};
}

// Extended key usages that allow signing a document.
constexpr const char* kSigningPurposes[] = {
    "1.3.6.1.5.5.7.3.4",        // e-mail protection
    "1.3.6.1.5.5.7.3.36",       // document signing
    "1.3.6.1.4.1.311.10.3.12",  // document signing, as one vendor's programs name it
    "1.2.840.113583.1.1.5",     // PDF signing, as another's do
    "2.5.29.37.0",              // any purpose
};

std::string OidText(const ASN1_OBJECT* object) {
    char text[128];
    const int length = OBJ_obj2txt(text, sizeof text, object, 1);
    return length > 0 && static_cast<std::size_t>(length) < sizeof text ? text : "";
}

std::string PurposeWords(const std::string& oid) {
    static const std::pair<const char*, const char*> kWords[] = {
        {"1.3.6.1.5.5.7.3.1", QUILVANE_N_("TLS web server authentication")},
        {"1.3.6.1.5.5.7.3.2", QUILVANE_N_("TLS web client authentication")},
        {"1.3.6.1.5.5.7.3.3", QUILVANE_N_("code signing")},
        {"1.3.6.1.5.5.7.3.4", QUILVANE_N_("e-mail protection")},
        {"1.3.6.1.5.5.7.3.8", QUILVANE_N_("time stamping")},
        {"1.3.6.1.5.5.7.3.9", QUILVANE_N_("OCSP signing")},
        {"1.3.6.1.5.5.7.3.36", QUILVANE_N_("document signing")},
    };
    for (const auto& [known, words] : kWords) {
        if (oid == known) {
            return Tr(words);
        }
    }
    ASN1_OBJECT* object = OBJ_txt2obj(oid.c_str(), 1);
    const int nid = object != nullptr ? OBJ_obj2nid(object) : NID_undef;
    ASN1_OBJECT_free(object);
    return nid != NID_undef ? OBJ_nid2ln(nid) : oid;
}

std::string Joined(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words) {
        text += (text.empty() ? "" : ", ") + word;
    }
    return text.empty() ? Tr("nothing") : text;
}

std::string UsageWords(std::uint32_t usage) {
    static const std::pair<std::uint32_t, const char*> kWords[] = {
        {KU_DIGITAL_SIGNATURE, QUILVANE_N_("digital signature")},
        {KU_NON_REPUDIATION, QUILVANE_N_("non-repudiation")},
        {KU_KEY_ENCIPHERMENT, QUILVANE_N_("key encipherment")},
        {KU_DATA_ENCIPHERMENT, QUILVANE_N_("data encipherment")},
        {KU_KEY_AGREEMENT, QUILVANE_N_("key agreement")},
        {KU_KEY_CERT_SIGN, QUILVANE_N_("certificate signing")},
        {KU_CRL_SIGN, QUILVANE_N_("CRL signing")},
        {KU_ENCIPHER_ONLY, QUILVANE_N_("encipher only")},
        {KU_DECIPHER_ONLY, QUILVANE_N_("decipher only")},
    };
    std::vector<std::string> words;
    for (const auto& [bit, word] : kWords) {
        if ((usage & bit) != 0) {
            words.push_back(Tr(word));
        }
    }
    return Joined(words);
}

// What `certificate` allows in words when it does not allow signing
// documents; nothing when it does. Only a signer's own key usage counts: an
// authority's key signs certificates.
std::optional<std::string> NotMeantForSigning(X509* certificate, bool signer) {
    ErrorMark mark;
    int critical = -1;
    KeyPurposesPtr purposes(static_cast<EXTENDED_KEY_USAGE*>(
        X509_get_ext_d2i(certificate, NID_ext_key_usage, &critical, nullptr)));
    if (!purposes && critical != -1) {
        return Tr("an unreadable extended key usage");
    }
    if (purposes) {
        std::vector<std::string> allowed;
        bool signing = false;
        for (int i = 0; i < sk_ASN1_OBJECT_num(purposes.get()); ++i) {
            const std::string oid = OidText(sk_ASN1_OBJECT_value(purposes.get(), i));
            for (const char* purpose : kSigningPurposes) {
                signing = signing || oid == purpose;
            }
            allowed.push_back(PurposeWords(oid));
        }
        if (!signing) {
            return Joined(allowed);
        }
    }
    if (signer && (X509_get_extension_flags(certificate) & EXFLAG_KUSAGE) != 0) {
        const std::uint32_t usage = X509_get_key_usage(certificate);
        if ((usage & (KU_DIGITAL_SIGNATURE | KU_NON_REPUDIATION)) == 0) {
            return UsageWords(usage);
        }
    }
    return std::nullopt;
}

// Whether the chain allows signing; what stands against it in words when not.
std::optional<std::string> NotForSigningIn(STACK_OF(X509) * chain) {
    for (int i = 0; i < sk_X509_num(chain); ++i) {
        X509* certificate = sk_X509_value(chain, i);
        if (std::optional<std::string> words = NotMeantForSigning(certificate, i == 0)) {
            return i == 0 ? *words
                          : Format(Tr("%1, in the certificate of %2"), *words, NameOf(certificate));
        }
    }
    return std::nullopt;
}

std::string SerialOf(X509* certificate) {
    BignumPtr number(ASN1_INTEGER_to_BN(X509_get0_serialNumber(certificate), nullptr));
    MemPtr<char> hex(number ? BN_bn2hex(number.get()) : nullptr);
    return hex ? hex.get() : "";
}

void AddFolder(X509_STORE* store, const fs::path& folder) {
    std::vector<fs::path> files;
    try {
        files = FolderFiles(folder);
    } catch (const Error&) {
        return;  // an unreadable folder adds no anchors
    }
    for (const fs::path& file : files) {
        CertificateFile contents;
        try {
            contents = ReadCertificateFile(file, nullptr);
        } catch (const Error&) {
            continue;  // nor does a file that holds no certificate
        }
        for (auto* list : {&contents.certificates, &contents.authorities}) {
            for (const X509Ptr& certificate : *list) {
                ErrorMark mark;  // an anchor listed twice is no error
                X509_STORE_add_cert(store, certificate.get());
            }
        }
    }
}

// quilvane/Root under each of $XDG_DATA_DIRS, where administrators put the
// anchors of every user.
std::vector<fs::path> SystemRootFolders() {
    const char* dirs = std::getenv("XDG_DATA_DIRS");
    std::istringstream list(dirs != nullptr && *dirs != '\0' ? dirs
                                                             : "/usr/local/share:/usr/share");
    std::vector<fs::path> folders;
    for (std::string dir; std::getline(list, dir, ':');) {
        if (!dir.empty() && dir.front() == '/') {  // relative entries are invalid
            folders.push_back(fs::path(dir) / "quilvane" / "Root");
        }
    }
    return folders;
}

// What the anchors are read from, as the file system tells it: any file
// added, removed or written in the folders changes it.
std::string StateOf(const std::vector<fs::path>& folders) {
    std::string state;
    for (const fs::path& folder : folders) {
        state += folder.native() + '\n';
        std::vector<fs::path> files;
        try {
            files = FolderFiles(folder);
        } catch (const Error&) {
            state += "unreadable\n";
            continue;
        }
        for (const fs::path& file : files) {
            struct stat status {};
            if (::stat(file.c_str(), &status) != 0) {
                state += file.filename().native() + " gone\n";
                continue;
            }
            state += file.filename().native() + ' ' + std::to_string(status.st_dev) + ' ' +
                     std::to_string(status.st_ino) + ' ' + std::to_string(status.st_size) + ' ' +
                     std::to_string(status.st_mtim.tv_sec) + '.' +
                     std::to_string(status.st_mtim.tv_nsec) + ' ' +
                     std::to_string(status.st_ctim.tv_sec) + '.' +
                     std::to_string(status.st_ctim.tv_nsec) + '\n';
        }
    }
    return state;
}

StorePtr GatherRoots(const std::vector<fs::path>& folders) {
    const std::string what = Tr("Could not gather the trusted root certificates");
    StorePtr store(Check(X509_STORE_new(), status::Failed, what));
    // An issuing authority the person trusted anchors the chains below it.
    Check(X509_STORE_set_flags(store.get(), X509_V_FLAG_PARTIAL_CHAIN), status::Failed, what);
    for (const fs::path& folder : folders) {
        AddFolder(store.get(), folder);
    }
    for (const std::string& der : NssEmailRoots()) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(der.data());
        ErrorMark mark;  // a root OpenSSL cannot read anchors nothing
        if (X509Ptr root{d2i_X509(nullptr, &bytes, static_cast<long>(der.size()))}) {
            X509_STORE_add_cert(store.get(), root.get());
        }
    }
    return store;
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
    std::vector<fs::path> folders = SystemRootFolders();
    folders.insert(folders.begin(), Store::Folder("Root"));
    const std::string state = StateOf(folders);
    // Gathered once for the whole run (a batch checks many files against
    // them), and again only when a file of the folders changed.
    static std::mutex lock;
    static std::string gatheredState;
    static StorePtr gathered;
    const std::lock_guard hold(lock);
    if (!gathered || state != gatheredState) {
        gathered = GatherRoots(folders);
        gatheredState = state;
    }
    Check(X509_STORE_up_ref(gathered.get()), status::Failed,
          Tr("Could not gather the trusted root certificates"));
    return StorePtr(gathered.get());
}

ChainCheck CheckChain(X509_STORE* roots, X509* certificate, STACK_OF(X509) * intermediates,
                      int purpose, std::optional<std::time_t> at) {
    const std::string what =
        Format(Tr("Could not check the certificate of %1"), NameOf(certificate));
    StoreCtxPtr context(Check(X509_STORE_CTX_new(), status::Failed, what));
    Check(X509_STORE_CTX_init(context.get(), roots, certificate, intermediates), status::Failed,
          what);
    Check(X509_STORE_CTX_set_purpose(context.get(), purpose), status::Failed, what);
    if (at) {
        X509_STORE_CTX_set_time(context.get(), 0, *at);
    }
    ChainCheck check;
    {
        ErrorMark mark;  // a refused chain is an answer, told by its error
        if (X509_verify_cert(context.get()) != 1) {
            check.error = X509_STORE_CTX_get_error(context.get());
            check.depth = X509_STORE_CTX_get_error_depth(context.get());
            check.at = Share(X509_STORE_CTX_get_current_cert(context.get()));
        }
        check.chain.reset(X509_STORE_CTX_get1_chain(context.get()));
    }
    if (!check.chain) {
        check.chain.reset(Check(sk_X509_new_null(), status::Failed, what));
        Check(sk_X509_push(check.chain.get(), Share(certificate).release()), status::Failed, what);
    }
    return check;
}

CertificateTrust TrustOf(CMS_ContentInfo* message, CMS_SignerInfo* info, X509* certificate,
                         X509_STORE* roots, STACK_OF(X509) * intermediates) {
    const Certificate shared = MakeCertificate(certificate);
    CertificateTrust trust;
    trust.subject = shared.GetInfo(CertInfo::SubjectSimpleName);
    trust.issuer = shared.GetInfo(CertInfo::IssuerSimpleName);
    trust.validFrom = ToTime(X509_get0_notBefore(certificate)).value_or(0);
    trust.validTo = ToTime(X509_get0_notAfter(certificate)).value_or(0);
    trust.sha256 = Fingerprint(certificate);
    trust.serial = SerialOf(certificate);

    // The first valid time-stamp proves the signature existed then: the chain
    // is judged at that time, so a certificate expired since still holds.
    std::string broken;
    std::optional<std::time_t> proven;
    for (CheckedTimeStamp& stamp : SignatureTimeStampsOf(info, roots, intermediates, message)) {
        if (broken.empty() && !stamp.broken.empty()) {
            broken = stamp.broken;
        }
        if (!proven && stamp.proof.valid) {
            proven = stamp.proof.time;
        }
        trust.timeStamps.push_back(std::move(stamp.proof));
    }
    std::time_t judgedAt = proven.value_or(std::time(nullptr));

    const ChainCheck chain =
        CheckChain(roots, certificate, intermediates, X509_PURPOSE_ANY, proven);
    for (int i = 0; i < sk_X509_num(chain.chain.get()); ++i) {
        X509* link = sk_X509_value(chain.chain.get(), i);
        const Certificate linked = MakeCertificate(link);
        trust.chain.push_back({linked.GetInfo(CertInfo::SubjectSimpleName),
                               linked.GetInfo(CertInfo::IssuerSimpleName), SerialOf(link),
                               Fingerprint(link)});
    }
    // A time-stamp's time stands in for the signer's own claim.
    const std::optional<std::time_t> signedAt =
        proven ? proven : SigningTimeOf(info, NameOf(certificate));

    // The reasons against, the gravest first.
    if (!broken.empty()) {
        trust.verdict = Verdict::TimeStampBroken;
        trust.detail = broken;
    } else if (std::string digest = BrokenDigestOf(info, chain.chain.get()); !digest.empty()) {
        trust.verdict = Verdict::BrokenDigest;
        trust.detail = digest;
    } else if (std::optional<std::string> allows = NotForSigningIn(chain.chain.get())) {
        trust.verdict = Verdict::NotForSigning;
        trust.detail = *allows;
    } else if (X509_cmp_time(X509_get0_notAfter(certificate), &judgedAt) < 0) {
        trust.verdict = Verdict::Expired;
        trust.when = trust.validTo;
    } else if (X509_cmp_time(X509_get0_notBefore(certificate), &judgedAt) > 0) {
        trust.verdict = Verdict::NotYetValid;
        trust.when = trust.validFrom;
    } else if (signedAt && (*signedAt < trust.validFrom || *signedAt > trust.validTo)) {
        trust.verdict = Verdict::SigningTimeOutside;
    } else if (IsUntrustedRoot(chain.error)) {
        trust.verdict = IsSelfSigned(certificate) ? Verdict::SelfSigned : Verdict::UntrustedRoot;
    } else if (chain.error != X509_V_OK) {
        trust.verdict = Verdict::ChainRefused;
        trust.detail = X509_verify_cert_error_string(chain.error);
        if (chain.depth > 0 && chain.at) {
            trust.detail =
                Format(Tr("%1, in the certificate of %2"), trust.detail, NameOf(chain.at.get()));
        }
    }
    // Only a chain trusted otherwise is worth asking the network about.
    if (trust.verdict == Verdict::Trusted) {
        trust.revocation = RevocationOf(chain.chain.get(), message);
        if (trust.revocation.state == RevocationState::Revoked) {
            trust.verdict = Verdict::Revoked;
            trust.when = trust.revocation.revokedAt;
            trust.detail = trust.revocation.reason;
            if (trust.revocation.subject != NameOf(certificate)) {
                trust.detail = Format(Tr("%1, in the certificate of %2"), trust.detail,
                                      trust.revocation.subject);
            }
        }
    }
    return trust;
}

}  // namespace quilvane::ossl
