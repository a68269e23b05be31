#include "crypto/Certificate.h"

#include <openssl/err.h>
#include <openssl/x509v3.h>

#include "crypto/Error.h"
#include "crypto/SafeText.h"
#include "crypto/Text.h"
#include "internal/CertificateImpl.h"
#include "internal/Names.h"
#include "internal/Times.h"

namespace quilvane {
namespace {

// The alternative names of the certificate's subject or issuer (null when
// there are none).
ossl::GeneralNamesPtr AltNames(const X509* x509, int nid) {
    ossl::ErrorMark mark;
    auto* names = static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(x509, nid, nullptr, nullptr));
    // A damaged extension only means there is no e-mail address to fall back on.
    return ossl::GeneralNamesPtr(names);
}

}  // namespace

Certificate::Certificate(std::shared_ptr<const Impl> impl) : impl_(std::move(impl)) {
    if (!impl_ || !impl_->x509) {
        throw Error(status::Failed, Tr("A certificate object was made without a certificate."));
    }
}

std::string Certificate::GetInfo(CertInfo type) const {
    const X509* x509 = impl_->x509.get();
    switch (type) {
        case CertInfo::SubjectSimpleName:
            return ossl::SimpleName(X509_get_subject_name(x509),
                                    AltNames(x509, NID_subject_alt_name).get());
        case CertInfo::IssuerSimpleName:
            return ossl::SimpleName(X509_get_issuer_name(x509),
                                    AltNames(x509, NID_issuer_alt_name).get());
    }
    throw Error(status::Failed, Format(Tr("The certificate cannot tell information of kind %1."),
                                       std::to_string(static_cast<int>(type))));
}

std::time_t Certificate::ValidTo() const {
    std::optional<std::time_t> end = ossl::ToTime(X509_get0_notAfter(impl_->x509.get()));
    if (!end) {
        throw Error(status::Failed,
                    Format(Tr("The end of validity of the certificate of %1 cannot be read."),
                           SafeText(GetInfo(CertInfo::SubjectSimpleName))));
    }
    return *end;
}

const std::string& Certificate::Location() const {
    return impl_->location;
}

void Certificate::UnlockKey() const {
    if (!impl_->keys || impl_->keys->KeyFor(impl_->x509.get()) == nullptr) {
        throw NoPrivateKeyError(impl_->x509.get());
    }
}

bool Certificate::KeyOneAtATime() const {
    return impl_->keys && impl_->keys->OneAtATime();
}

Certificate MakeCertificate(X509* x, std::string location, std::shared_ptr<KeyHolder> keys) {
    auto impl = std::make_shared<Certificate::Impl>();
    impl->x509 = ossl::Share(x);
    impl->location = std::move(location);
    impl->keys = std::move(keys);
    return Certificate(std::move(impl));
}

Error NoPrivateKeyError(X509* certificate) {
    return Error(
        status::NoPrivateKey,
        Format(Tr("There is no private key in the store for the certificate of %1."),
               SafeText(MakeCertificate(certificate).GetInfo(CertInfo::SubjectSimpleName))));
}

const Certificate& Certificates::Item(std::size_t index) const {
    return ItemAt(items_, index);
}

}  // namespace quilvane
