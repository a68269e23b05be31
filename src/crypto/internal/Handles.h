#pragma once
// Owning handles for OpenSSL objects, and the translation of OpenSSL's error
// queue into Error. Only the crypto layer includes this header.

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/cms.h>
#include <openssl/crypto.h>
#include <openssl/ess.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>
#include <openssl/provider.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <cstdint>
#include <memory>
#include <string>

#include <openssl/err.h>

#include "crypto/Bytes.h"
#include "crypto/Error.h"

namespace quilvane::ossl {

template <auto Free>
struct Deleter {
    template <typename T>
    void operator()(T* p) const noexcept {
        Free(p);
    }
};

using BioPtr = std::unique_ptr<BIO, Deleter<BIO_free_all>>;
using CmsPtr = std::unique_ptr<CMS_ContentInfo, Deleter<CMS_ContentInfo_free>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509_free>>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX_free>>;
using MdPtr = std::unique_ptr<EVP_MD, Deleter<EVP_MD_free>>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX_free>>;
using StorePtr = std::unique_ptr<X509_STORE, Deleter<X509_STORE_free>>;
using StoreCtxPtr = std::unique_ptr<X509_STORE_CTX, Deleter<X509_STORE_CTX_free>>;
using Pkcs12Ptr = std::unique_ptr<PKCS12, Deleter<PKCS12_free>>;
using AsnTimePtr = std::unique_ptr<ASN1_TIME, Deleter<ASN1_TIME_free>>;
using OctetStringPtr = std::unique_ptr<ASN1_OCTET_STRING, Deleter<ASN1_OCTET_STRING_free>>;
using CipherPtr = std::unique_ptr<EVP_CIPHER, Deleter<EVP_CIPHER_free>>;
using ProviderPtr = std::unique_ptr<OSSL_PROVIDER, Deleter<OSSL_PROVIDER_unload>>;
using X509SigPtr = std::unique_ptr<X509_SIG, Deleter<X509_SIG_free>>;
using BignumPtr = std::unique_ptr<BIGNUM, Deleter<BN_free>>;
using X509NamePtr = std::unique_ptr<X509_NAME, Deleter<X509_NAME_free>>;
using X509ExtensionPtr = std::unique_ptr<X509_EXTENSION, Deleter<X509_EXTENSION_free>>;
using EncodeCtxPtr = std::unique_ptr<EVP_ENCODE_CTX, Deleter<EVP_ENCODE_CTX_free>>;
using AlgorPtr = std::unique_ptr<X509_ALGOR, Deleter<X509_ALGOR_free>>;
using EssCertPtr = std::unique_ptr<ESS_SIGNING_CERT, Deleter<ESS_SIGNING_CERT_free>>;
using EssCertV2Ptr = std::unique_ptr<ESS_SIGNING_CERT_V2, Deleter<ESS_SIGNING_CERT_V2_free>>;
using Pkcs7Ptr = std::unique_ptr<PKCS7, Deleter<PKCS7_free>>;
using TsReqPtr = std::unique_ptr<TS_REQ, Deleter<TS_REQ_free>>;
using TsRespPtr = std::unique_ptr<TS_RESP, Deleter<TS_RESP_free>>;
using TstInfoPtr = std::unique_ptr<TS_TST_INFO, Deleter<TS_TST_INFO_free>>;
using TsImprintPtr = std::unique_ptr<TS_MSG_IMPRINT, Deleter<TS_MSG_IMPRINT_free>>;
using TsVerifyCtxPtr = std::unique_ptr<TS_VERIFY_CTX, Deleter<TS_VERIFY_CTX_free>>;
using IntegerPtr = std::unique_ptr<ASN1_INTEGER, Deleter<ASN1_INTEGER_free>>;
using AsnStringPtr = std::unique_ptr<ASN1_STRING, Deleter<ASN1_STRING_free>>;
// Memory the library hands over from its own allocator (PEM names, headers, data).
struct MemFree {
    void operator()(void* p) const noexcept { OPENSSL_free(p); }
};
template <typename T>
using MemPtr = std::unique_ptr<T, MemFree>;
using GeneralNamesPtr = std::unique_ptr<GENERAL_NAMES, Deleter<GENERAL_NAMES_free>>;
using KeyPurposesPtr = std::unique_ptr<EXTENDED_KEY_USAGE, Deleter<EXTENDED_KEY_USAGE_free>>;

// A stack of X509 that owns its certificates.
struct X509StackFree {
    void operator()(STACK_OF(X509) * s) const noexcept { sk_X509_pop_free(s, X509_free); }
};
using X509StackPtr = std::unique_ptr<STACK_OF(X509), X509StackFree>;

// A stack that only lists attributes another object owns (a signer-info's):
// freeing it leaves them alone.
struct AttributeListFree {
    void operator()(STACK_OF(X509_ATTRIBUTE) * s) const noexcept { sk_X509_ATTRIBUTE_free(s); }
};
using AttributeListPtr = std::unique_ptr<STACK_OF(X509_ATTRIBUTE), AttributeListFree>;

// A stack that only lists certificates another object owns (a message's).
struct X509ListFree {
    void operator()(STACK_OF(X509) * s) const noexcept { sk_X509_free(s); }
};
using X509ListPtr = std::unique_ptr<STACK_OF(X509), X509ListFree>;

// A CRL, and a stack that owns its CRLs.
using CrlPtr = std::unique_ptr<X509_CRL, Deleter<X509_CRL_free>>;
struct CrlListFree {
    void operator()(STACK_OF(X509_CRL) * s) const noexcept {
        sk_X509_CRL_pop_free(s, X509_CRL_free);
    }
};
using CrlListPtr = std::unique_ptr<STACK_OF(X509_CRL), CrlListFree>;

// Marks OpenSSL's error queue; whatever is queued after the mark is dropped
// when the guard goes. It surrounds calls whose failure is an answer ("not
// this format", "not this key") rather than an error to report.
class ErrorMark {
  public:
    ErrorMark() { ERR_set_mark(); }
    ~ErrorMark() { ERR_pop_to_mark(); }
    ErrorMark(const ErrorMark&) = delete;
    ErrorMark& operator=(const ErrorMark&) = delete;

    // Drops what was queued since the mark and keeps marking.
    void Clear() {
        ERR_pop_to_mark();
        ERR_set_mark();
    }
};

// Takes one more reference on `x` and returns an owner of it.
X509Ptr Share(X509* x);

// The bytes a memory BIO collected.
std::string MemoryText(BIO* bio);

// Drains OpenSSL's error queue into one readable reason ("" when empty).
std::string TakeErrors();

// Raises Error(status, "<what>.") with OpenSSL's reasons as its detail.
// Always clears the queue.
[[noreturn]] void Raise(std::int32_t status, const std::string& what);

// The DER encoding of a whole message, written straight into a buffer of its
// exact size; raises status::Failed with `what` when it cannot be encoded.
Bytes EncodeDer(CMS_ContentInfo* cms, const std::string& what);

// Returns `p` when it is not null; otherwise raises as Raise does.
template <typename T>
T* Check(T* p, std::int32_t status, const std::string& what) {
    if (p == nullptr) {
        Raise(status, what);
    }
    return p;
}

// For OpenSSL's int results: 1 (or more) is success.
inline void Check(int result, std::int32_t status, const std::string& what) {
    if (result <= 0) {
        Raise(status, what);
    }
}

}  // namespace quilvane::ossl
