// A time-stamping service's reply and a signature's time-stamp token,
// checked in memory as signing and verifying check them. With the first
// byte's low bit clear the input is the nonce the request sent (eight bytes)
// and the reply; the token a reply holds is then checked as a verifier
// would. With it set the input is a token. The signature value stamped is
// the seeds' document, and the authority's chain ends at the fixed root.

#include <openssl/err.h>
#include <openssl/pem.h>

#include "FuzzSupport.h"
#include "crypto/Error.h"
#include "crypto/Network.h"
#include "internal/Handles.h"
#include "internal/TimeStamps.h"

using namespace quilvane;

namespace {

constexpr std::size_t kNonceBytes = 8;

ossl::StorePtr gRoots;
ossl::X509StackPtr gIntermediates;

std::span<const unsigned char> SignatureValue() {
    return {reinterpret_cast<const unsigned char*>(fuzz::kDocument.data()), fuzz::kDocument.size()};
}

// The token as the attribute's value is read from a message.
void CheckToken(std::span<const std::uint8_t> der) {
    const unsigned char* next = der.data();
    std::unique_ptr<ASN1_TYPE, ossl::Deleter<ASN1_TYPE_free>> value(
        d2i_ASN1_TYPE(nullptr, &next, static_cast<long>(der.size())));
    CheckTimeStamp(value.get(), SignatureValue(), gRoots.get(), gIntermediates.get(), nullptr);
}

void CheckReply(std::span<const std::uint8_t> nonceBytes, std::span<const std::uint8_t> answer) {
    ossl::BignumPtr number(
        BN_bin2bn(nonceBytes.data(), static_cast<int>(nonceBytes.size()), nullptr));
    ossl::IntegerPtr nonce(number ? BN_to_ASN1_INTEGER(number.get(), nullptr) : nullptr);
    if (!nonce) {
        std::abort();
    }
    const ossl::TsReqPtr request = TimeStampRequest(SignatureValue(), nonce.get());
    const ossl::AsnStringPtr token = TokenOfReply(answer, request.get());
    CheckToken({ASN1_STRING_get0_data(token.get()),
                static_cast<std::size_t>(ASN1_STRING_length(token.get()))});
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    fuzz::EnterScratch();
    // Nothing here asks the network: the authority's revocation stays unasked.
    UseNetworkSettings({.timestampUrl = {},
                        .checkRevocation = false,
                        .offline = true,
                        .timeoutSeconds = 1,
                        .embedValidationData = false});
    ossl::BioPtr pem(BIO_new_mem_buf(fuzz::kRootCertificatePem, -1));
    ossl::X509Ptr root(pem ? PEM_read_bio_X509(pem.get(), nullptr, nullptr, nullptr) : nullptr);
    gRoots.reset(X509_STORE_new());
    gIntermediates.reset(sk_X509_new_null());
    if (!root || !gRoots || !gIntermediates || X509_STORE_add_cert(gRoots.get(), root.get()) != 1) {
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::optional<fuzz::Input> input = fuzz::Split(data, size);
    if (!input) {
        return 0;
    }
    const std::span<const std::uint8_t> bytes = input->Bytes();
    try {
        if ((input->first & 1) != 0) {
            CheckToken(bytes);
        } else if (bytes.size() >= kNonceBytes) {
            CheckReply(bytes.first(kNonceBytes), bytes.subspan(kNonceBytes));
        }
    } catch (const Error&) {
    }
    ERR_clear_error();
    return 0;
}
