// The signers that sign the whole message themselves rather than a digest:
// their signatures made and checked here, and the document kept for them.

#include <openssl/objects.h>
#include <openssl/pkcs7.h>

#include <span>
#include <vector>

#include "crypto/Text.h"
#include "internal/Handles.h"
#include "internal/SignedDataImpl.h"

namespace quilvane {
namespace signed_data {

bool IsEdDsa(EVP_PKEY* key) {
    return EVP_PKEY_is_a(key, "ED25519") || EVP_PKEY_is_a(key, "ED448");
}

Encoded SignedAttributesDer(CMS_SignerInfo* info, bool signing) {
    const std::string what = Tr("Could not encode the signed attributes");
    // The list only points at the attributes; the signer-info keeps them.
    ossl::AttributeListPtr list(ossl::Check(sk_X509_ATTRIBUTE_new_null(), status::Failed, what));
    for (int i = 0; i < CMS_signed_get_attr_count(info); ++i) {
        ossl::Check(sk_X509_ATTRIBUTE_push(list.get(), CMS_signed_get_attr(info, i)),
                    status::Failed, what);
    }
    unsigned char* der = nullptr;
    int length = ASN1_item_i2d(
        reinterpret_cast<ASN1_VALUE*>(list.get()), &der,
        signing ? ASN1_ITEM_rptr(PKCS7_ATTR_SIGN) : ASN1_ITEM_rptr(PKCS7_ATTR_VERIFY));
    Encoded encoded{ossl::MemPtr<unsigned char>(der)};
    if (length <= 0) {
        ossl::Raise(status::Failed, what);
    }
    encoded.size = static_cast<std::size_t>(length);
    return encoded;
}

void SignEdDsa(CMS_SignerInfo* info, EVP_PKEY* key, const std::string& what) {
    Encoded attributes = SignedAttributesDer(info, true);
    ossl::MdCtxPtr context(ossl::Check(EVP_MD_CTX_new(), status::Failed, what));
    ossl::Check(EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key), status::Failed,
                what);
    std::size_t length = 0;
    ossl::Check(
        EVP_DigestSign(context.get(), nullptr, &length, attributes.bytes.get(), attributes.size),
        status::Failed, what);
    std::vector<unsigned char> signature(length);
    ossl::Check(EVP_DigestSign(context.get(), signature.data(), &length, attributes.bytes.get(),
                               attributes.size),
                status::Failed, what);
    ossl::Check(ASN1_STRING_set(CMS_SignerInfo_get0_signature(info), signature.data(),
                                static_cast<int>(length)),
                status::Failed, what);
}

int VerifyEdDsa(CMS_SignerInfo* info, EVP_PKEY* key, const unsigned char* data, std::size_t size) {
    ossl::MdCtxPtr context(EVP_MD_CTX_new());
    if (!context || EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key) != 1) {
        return -1;
    }
    const ASN1_OCTET_STRING* signature = CMS_SignerInfo_get0_signature(info);
    int result =
        EVP_DigestVerify(context.get(), ASN1_STRING_get0_data(signature),
                         static_cast<std::size_t>(ASN1_STRING_length(signature)), data, size);
    return result == 1 ? 1 : 0;
}

const std::string WholeDocument::kLimitText = "48 MiB";

void WholeDocument::Add(std::span<const std::uint8_t> bytes) {
    if (!keeping_ || tooLarge_) {
        return;
    }
    if (bytes_.size() + bytes.size() > kLimit) {
        tooLarge_ = true;
        std::vector<std::uint8_t>().swap(bytes_);
        return;
    }
    // Reserved once, so that growing never holds two copies; untouched pages
    // take no memory.
    if (bytes_.capacity() == 0) {
        bytes_.reserve(reserve_);
    }
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
}

bool SignsWholeDocument(CMS_SignerInfo* info) {
    X509_ALGOR* algorithm = nullptr;
    CMS_SignerInfo_get0_algs(info, nullptr, nullptr, nullptr, &algorithm);
    const ASN1_OBJECT* object = nullptr;
    if (algorithm != nullptr) {
        X509_ALGOR_get0(&object, nullptr, nullptr, algorithm);
    }
    const int nid = OBJ_obj2nid(object);
    return CMS_signed_get_attr_count(info) < 0 && (nid == NID_ED25519 || nid == NID_ED448);
}

}  // namespace signed_data
}  // namespace quilvane
