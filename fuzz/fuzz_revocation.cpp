// What revocation services send and messages carry, checked in memory
// against the fixed revocable certificate and its issuer, the fixed root.
// The first byte's two low bits pick what the rest is: 0 a nonce (sixteen
// bytes) and the OCSP responder's answer to a request that sent it, 1 an
// answer to a request without one, 2 a CRL fetched now, 3 a signed message
// whose revocation data answers for the certificate. With the first byte's
// bit 2 set, the rest is an OCSP response a message carries instead.

#include <openssl/err.h>
#include <openssl/ocsp.h>
#include <openssl/pem.h>

#include "FuzzSupport.h"
#include "crypto/Error.h"
#include "crypto/Network.h"
#include "internal/Handles.h"
#include "internal/Revocation.h"

using namespace quilvane;

namespace {

constexpr std::size_t kNonceBytes = 16;

ossl::X509Ptr gCertificate;
ossl::X509Ptr gIssuer;
ossl::X509StackPtr gChain;           // the certificate, then its issuer
std::vector<std::uint8_t> gMessage;  // a signed message without revocation data

template <typename T>
T* Must(T* p) {
    if (p == nullptr) {
        std::abort();
    }
    return p;
}

void Must(int result) {
    if (result <= 0) {
        std::abort();
    }
}

ossl::X509Ptr Read(const char* pem) {
    ossl::BioPtr bio(Must(BIO_new_mem_buf(pem, -1)));
    return ossl::X509Ptr(Must(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)));
}

void CheckOcsp(std::span<const std::uint8_t> nonce, std::span<const std::uint8_t> der) {
    using RequestPtr = std::unique_ptr<OCSP_REQUEST, ossl::Deleter<OCSP_REQUEST_free>>;
    RequestPtr request(Must(OCSP_REQUEST_new()));
    Must(OCSP_request_add0_id(request.get(),
                              Must(OCSP_cert_to_id(nullptr, gCertificate.get(), gIssuer.get()))));
    if (!nonce.empty()) {
        Must(OCSP_request_add1_nonce(request.get(), const_cast<std::uint8_t*>(nonce.data()),
                                     static_cast<int>(nonce.size())));
    }
    ossl::OcspReplyStatus(der, request.get(), gCertificate.get(), gIssuer.get());
}

void CheckMessage(std::span<const std::uint8_t> der) {
    const unsigned char* next = der.data();
    ossl::CmsPtr message(d2i_CMS_ContentInfo(nullptr, &next, static_cast<long>(der.size())));
    if (message) {
        ossl::CarriesRevocationData(message.get());
        ossl::RevocationOf(gChain.get(), message.get());
    }
}

void CheckCarried(std::span<const std::uint8_t> response) {
    const unsigned char* next = gMessage.data();
    ossl::CmsPtr message(
        Must(d2i_CMS_ContentInfo(nullptr, &next, static_cast<long>(gMessage.size()))));
    ossl::AddOcspResponse(message.get(), {response.begin(), response.end()}, "fuzz");
    const Bytes der = ossl::EncodeDer(message.get(), "fuzz");
    CheckMessage({der.data(), der.size()});
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    fuzz::EnterScratch();
    // The certificate names services at a port nothing listens on; offline,
    // only what the input says is read.
    UseNetworkSettings({.timestampUrl = {},
                        .checkRevocation = true,
                        .offline = true,
                        .timeoutSeconds = 1,
                        .embedValidationData = false});
    gCertificate = Read(fuzz::kRevocableCertificatePem);
    gIssuer = Read(fuzz::kRootCertificatePem);
    gChain.reset(Must(sk_X509_new_null()));
    for (X509* certificate : {gCertificate.get(), gIssuer.get()}) {
        Must(sk_X509_push(gChain.get(), ossl::Share(certificate).release()));
    }
    // A message to carry the OCSP responses: the document signed by the signer.
    ossl::BioPtr keyPem(Must(BIO_new_mem_buf(fuzz::kSignerKeyPem, -1)));
    ossl::PkeyPtr key(Must(PEM_read_bio_PrivateKey(keyPem.get(), nullptr, nullptr, nullptr)));
    const ossl::X509Ptr signer = Read(fuzz::kSignerCertificatePem);
    ossl::BioPtr document(
        Must(BIO_new_mem_buf(fuzz::kDocument.data(), static_cast<int>(fuzz::kDocument.size()))));
    ossl::CmsPtr message(
        Must(CMS_sign(signer.get(), key.get(), nullptr, document.get(), CMS_BINARY)));
    const Bytes der = ossl::EncodeDer(message.get(), "fuzz");
    gMessage.assign(der.data(), der.data() + der.size());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::optional<fuzz::Input> input = fuzz::Split(data, size);
    if (!input) {
        return 0;
    }
    const std::span<const std::uint8_t> bytes = input->Bytes();
    try {
        if ((input->first & 4) != 0) {
            CheckCarried(bytes);
        } else {
            switch (input->first & 3) {
                case 0:
                    if (bytes.size() >= kNonceBytes) {
                        CheckOcsp(bytes.first(kNonceBytes), bytes.subspan(kNonceBytes));
                    }
                    break;
                case 1:
                    CheckOcsp({}, bytes);
                    break;
                case 2:
                    ossl::CrlStatus(bytes, gCertificate.get(), gIssuer.get());
                    break;
                default:
                    CheckMessage(bytes);
            }
        }
    } catch (const Error&) {
    }
    ERR_clear_error();
    return 0;
}
